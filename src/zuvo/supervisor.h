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
extern INIT_ONCE ioRoot;          // the root is read once (root.cpp)
extern HANDLE hServerStopEvent;   // signalled by a stop request; wakes the service thread
extern BOOL stoprequested;        // a stop request has come; the run instance never starts
extern BOOL stopstarted;          // a stop instance has been started
extern DWORD dwStopRetry;         // ms between the tries of a refused stop; tests shorten it
// The stopped report's exit code where the run's end decides it: 1067 for
// servers that ended with no stop asked for, 1460 for a deadline that
// passed; NO_ERROR otherwise.
extern DWORD dwEndCode;
// NULL in the product. Unit tests set it to act at the moment an instance
// (lpszArg NULL for the run instance) is about to start: to send a stop
// request the lock must keep out, or to try what the hold must refuse.
extern void (*pfnInstanceStarting)(const char *lpszArg);
// NULL in the product. Unit tests set it to see each instance's process
// made, still suspended, and in its job where it has one, before it runs.
extern void (*pfnInstanceResuming)(const char *lpszArg, const PROCESS_INFORMATION *ppi);

// supervisor.cpp
void ServiceStart(DWORD dwArgc, LPSTR *lpszArgv);
void ServiceStop(void);         // a console press: starts a stop instance of its own
void RequestServiceStop(void);  // the service's stop, carried out by the service thread

// root.cpp: the root, "" when there is none. In service mode the system
// environment's value in the registry, REG_EXPAND_SZ expanded, else the
// process's own; in console mode the process's own. Read once, whichever
// thread asks first; the process's environment then holds the value used.
const WCHAR *ReadRoot(void);

// script.cpp: both return storage of their own (free it), or NULL when
// there is no memory for it. The command line, which starts the script
// through the system's cmd.exe, whose path it puts in lpszCmd (MAX_PATH),
// is also NULL, with ERROR_BAD_PATHNAME, for a path that quoting cannot
// keep cmd from rewriting or that cmd cannot run; the thread's last error
// says which.
char *NewScriptPath(const char *lpszRoot);
char *NewScriptCommandLine(char *lpszCmd, const char *lpszPath, const char *lpszArg);

#endif
