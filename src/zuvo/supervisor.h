// The control-script supervisor: runs the installation's control script for
// the life of the service and runs it again to stop the servers.
#ifndef VIZAD_ZUVO_SUPERVISOR_H
#define VIZAD_ZUVO_SUPERVISOR_H

#include <windows.h>

#define ROOT_VARIABLE  "ZOVOVEV"
#define SCRIPT_FOLDER  "\\bin"
#define SCRIPT_NAME    "\\revaduzeza.bat"
#define SCRIPT_SUFFIX  SCRIPT_FOLDER SCRIPT_NAME
#define STOP_ARGUMENT  "stopServers"

extern char *qelctl;              // the control script's path, formed at most once
extern HANDLE hServerStopEvent;   // signalled by the stop routine
extern BOOL stoprequested;        // a stop request has come; the run instance never starts
// NULL in the product. Unit tests set it to send a stop request at the moment
// the run instance is about to start, a moment the lock must keep stops out of.
extern void (*pfnRunInstanceStarting)(void);

// supervisor.cpp
void ServiceStart(DWORD dwArgc, LPSTR *lpszArgv);
void ServiceStop(void);

// script.cpp: both return storage of their own (free it), or NULL when
// there is no memory for it. The command line is also NULL, with
// ERROR_BAD_PATHNAME, for a path that no quoting keeps cmd from rewriting
// or that cmd cannot run; the thread's last error says which.
char *NewScriptPath(const char *lpszRoot);
char *NewScriptCommandLine(const char *lpszPath, const char *lpszArg);

// writers.cpp: the broad group (Everyone, Users, Authenticated Users and the
// like) that can change the object a self-relative descriptor belongs to, a
// file or a folder; NULL when none can. The result may point into the
// descriptor.
const SID *FindBroadWriter(PSECURITY_DESCRIPTOR pSD, BOOL fFolder);

// rights.cpp: NO_ERROR when no broad group can change the file or folder at
// lpszPath; otherwise the code to report, with lpszMsg saying which group
// can ("PATH can be changed by GROUP.") or that its security is unreadable.
DWORD CheckWhoCanChange(const char *lpszPath, BOOL fFolder, char *lpszMsg, size_t cchMsg);

#endif
