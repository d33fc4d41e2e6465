// The service host: process-wide state, reporting, and the commands.
#ifndef VIZAD_SERVICE_HOST_H
#define VIZAD_SERVICE_HOST_H

#include <windows.h>
#include <stddef.h>

#include "platform/format.h"

#define SERVICE_NAME   "ZUVO"                 // service name and event-log source
#define DISPLAY_NAME   "Ulvane Trelox ZUVO"
#define PROGRAM_NAME   "VIZAD"                // fills the usage text
#define MSG_SIZE       256                    // every catalogue and composed text buffer
#define START_WAIT_HINT 3000                  // ms the manager should allow between start-up reports

extern BOOL bDebug;                           // console mode: print instead of report
extern DWORD dwErr;                           // last logged error, the service's exit code
extern SERVICE_STATUS ssStatus;
extern SERVICE_STATUS_HANDLE sshStatusHandle;

// messages.cpp
char *GetResourceString(int resID, char *msg, int len);
char *GetLastErrorText(char *lpszBuf, DWORD dwSize);

// spelling.cpp
BOOL IsExactAnsiSpelling(const char *lpszAnsi, const WCHAR *lpszWide);

// report.cpp
BOOL ReportStatusToSCMgr(DWORD dwCurrentState, DWORD dwWin32ExitCode, DWORD dwWaitHint);
void SetStatusHandle(SERVICE_STATUS_HANDLE hStatus);
// An information entry for code 0, unless fFailure says it is an error.
void AddToMessageLog(const char *lpszMsg, BOOL fFailure = FALSE);

// options.cpp
enum HostCommand { CMD_SERVICE = -1, CMD_INSTALL, CMD_REMOVE, CMD_DEBUG };
HostCommand FindHostCommand(int argc, char **argv);

// console.cpp
void CmdDebugService(int argc, char **argv);
BOOL WINAPI ControlHandler(DWORD dwCtrlType);

// dispatch.cpp
int RunServiceDispatcher(void);
void WINAPI service_main(DWORD dwArgc, LPSTR *lpszArgv);
DWORD WINAPI service_ctrl(DWORD dwCtrlCode, DWORD dwEventType, LPVOID lpEventData,
                          LPVOID lpContext);

// install.cpp: both return the exit code, the error code of the call whose
// failure they printed last, or 0 when nothing failed.
DWORD CmdInstallService(void);
DWORD CmdRemoveService(void);

#endif
