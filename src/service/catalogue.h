// Ids of the message catalogue, a string table compiled into the executable.
#ifndef VIZAD_SERVICE_CATALOGUE_H
#define VIZAD_SERVICE_CATALOGUE_H

#define IDS_NO_ROOT          0
#define IDS_NOT_FOUND        1
#define IDS_USAGE            2
#define IDS_NO_DISPATCHER    3
#define IDS_LOG_ERROR        4
#define IDS_CANNOT_INSTALL   5
#define IDS_INSTALLED        6
#define IDS_CREATE_FAILED    7
#define IDS_OPEN_SCM_FAILED  8
#define IDS_STOPPING         9
#define IDS_STOPPED          10
#define IDS_STOP_FAILED      11
#define IDS_REMOVED          12
#define IDS_DELETE_FAILED    13
#define IDS_OPEN_SVC_FAILED  14
// 15 stays without text, as it always has.
#define IDS_ENDED_BY_ITSELF  16   // the run instance ended while no stop was requested
#define IDS_STOP_DEADLINE    17   // a stop's deadline passed and its processes were ended
#define IDS_NO_JOB           18   // the run instance could not be put in a job of its own
#define IDS_BAD_STOP_TIMEOUT 19   // StopTimeout is there but cannot be read as a number

#endif
