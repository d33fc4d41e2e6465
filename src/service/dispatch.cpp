// The service path: the dispatcher, the service entry point and the
// control handler.
#include <stdio.h>

#include "platform/advapi.h"
#include "service/catalogue.h"
#include "service/host.h"
#include "zuvo/supervisor.h"

// Runs on the main thread, inside the dispatcher, for every control request,
// and returns at once: the manager holds back every other service's
// controls meanwhile. Preshutdown is Windows' own stop before a shutdown,
// and takes the same path: the service thread does the stop's work, and
// the service stays stop-pending until the run instance ends, since the
// manager sends nothing after a stop.
DWORD WINAPI service_ctrl(DWORD dwCtrlCode, DWORD dwEventType, LPVOID lpEventData,
                          LPVOID lpContext)
{
    (void)dwEventType;
    (void)lpEventData;
    (void)lpContext;
    switch (dwCtrlCode) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_PRESHUTDOWN:
        ReportStatusToSCMgr(SERVICE_STOP_PENDING, NO_ERROR, 0);
        RequestServiceStop();
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;  // the manager answers with the last report
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;  // never accepted, so never answered
    }
}

// Runs on the service thread that the dispatcher creates.
void WINAPI service_main(DWORD dwArgc, LPSTR *lpszArgv)
{
    SERVICE_STATUS_HANDLE hStatus;

    // Filled before the handler exists, so that an interrogation arriving
    // ahead of the first report re-sends start-pending, not an empty record.
    ssStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    ssStatus.dwServiceSpecificExitCode = 0;
    ssStatus.dwCurrentState = SERVICE_START_PENDING;

    hStatus = ScmRegisterServiceCtrlHandlerEx(SERVICE_NAME, service_ctrl, NULL);
    if (!hStatus)
        return;  // no handle, so nothing can be reported
    SetStatusHandle(hStatus);

    if (ReportStatusToSCMgr(SERVICE_START_PENDING, NO_ERROR, START_WAIT_HINT))
        ServiceStart(dwArgc, lpszArgv);

    // Once a stop instance has run, the servers were stopped as asked,
    // whatever was refused or failed on the way, unless the run's end
    // says otherwise: servers that failed, or a deadline that passed.
    ReportStatusToSCMgr(SERVICE_STOPPED,
                        dwEndCode != NO_ERROR ? dwEndCode : stopstarted ? NO_ERROR : dwErr, 0);
}

// Returns the process's exit status: 0 when the dispatcher ran the service,
// 1 when it could not be reached (not started by the manager).
int RunServiceDispatcher(void)
{
    char szMsg[MSG_SIZE];
    char szName[] = SERVICE_NAME;
    const SERVICE_TABLE_ENTRYA dispatchTable[] = {
        { szName, service_main },
        { NULL, NULL },
    };

    GetResourceString(IDS_USAGE, szMsg, MSG_SIZE);
    printf(szMsg, PROGRAM_NAME, PROGRAM_NAME, PROGRAM_NAME);

    if (!ScmStartServiceCtrlDispatcher(dispatchTable)) {
        AddToMessageLog(GetResourceString(IDS_NO_DISPATCHER, szMsg, MSG_SIZE));
        return 1;
    }
    return 0;
}
