// Status reports to the service control manager and error entries in the
// event log. Both are muted in console mode.
#include "platform/advapi.h"
#include "service/catalogue.h"
#include "service/host.h"

BOOL bDebug = FALSE;
DWORD dwErr = 0;
SERVICE_STATUS ssStatus;
SERVICE_STATUS_HANDLE sshStatusHandle = 0;

// The service thread and the control handler's thread both report; the
// record and the checkpoint counter are only touched under this lock. It is
// made on first use, as a report can come before main has done anything.
static CRITICAL_SECTION csStatus;
static INIT_ONCE ioStatus = INIT_ONCE_STATIC_INIT;
static DWORD dwCheckPoint = 1;

static BOOL CALLBACK InitStatusLock(PINIT_ONCE pInitOnce, PVOID pParam, PVOID *ppContext)
{
    (void)pInitOnce;
    (void)pParam;
    (void)ppContext;
    InitializeCriticalSection(&csStatus);
    return TRUE;
}

static void LockStatus(void)
{
    InitOnceExecuteOnce(&ioStatus, InitStatusLock, NULL, NULL);
    EnterCriticalSection(&csStatus);
}

static BOOL SendStatus(DWORD dwCurrentState, DWORD dwWin32ExitCode, DWORD dwWaitHint)
{
    BOOL fResult;

    // The handler is called as soon as the manager knows it, which can be
    // before its registration has returned the handle to the service thread:
    // a control then finds it still 0. Nothing can be reported with it, and
    // logging the refusal would end a good run with exit code 6; the record
    // is left as it is, start-pending, for the first real report. After
    // the stopped report a service does nothing more.
    if (sshStatusHandle == 0 || ssStatus.dwCurrentState == SERVICE_STOPPED)
        return FALSE;
    // Preshutdown is a stop that Windows sends before it shuts down, and
    // waits for; a service that accepts only stop is not told and its
    // servers die with the system. Stop-pending and running (3 and 4; the
    // host never pauses) accept both; starting and stopped, nothing.
    ssStatus.dwControlsAccepted =
        dwCurrentState >= SERVICE_STOP_PENDING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN
                                               : 0;
    ssStatus.dwCurrentState = dwCurrentState;
    ssStatus.dwWin32ExitCode = dwWin32ExitCode;
    ssStatus.dwWaitHint = dwWaitHint;
    if (dwCurrentState == SERVICE_RUNNING || dwCurrentState == SERVICE_STOPPED)
        ssStatus.dwCheckPoint = 0;
    else
        ssStatus.dwCheckPoint = dwCheckPoint++;

    fResult = ScmSetServiceStatus(sshStatusHandle, &ssStatus);
    if (!fResult)
        AddToMessageLog("SetServiceStatus");
    return fResult;
}

BOOL ReportStatusToSCMgr(DWORD dwCurrentState, DWORD dwWin32ExitCode, DWORD dwWaitHint)
{
    BOOL fResult;

    if (bDebug)
        return TRUE;
    LockStatus();
    fResult = SendStatus(dwCurrentState, dwWin32ExitCode, dwWaitHint);
    LeaveCriticalSection(&csStatus);
    return fResult;
}

// Kept under the lock that every report reads it under: the handler's
// thread may report while the service thread stores it.
void SetStatusHandle(SERVICE_STATUS_HANDLE hStatus)
{
    LockStatus();
    sshStatusHandle = hStatus;
    LeaveCriticalSection(&csStatus);
}

void AddToMessageLog(const char *lpszMsg, BOOL fFailure)
{
    char szFormat[MSG_SIZE];
    char szMsg[MSG_SIZE];
    LPCSTR lpszStrings[2];
    HANDLE hEventSource;

    if (bDebug)
        return;
    dwErr = GetLastError();  // before any call below can change it

    hEventSource = EvtRegisterEventSource(NULL, SERVICE_NAME);
    GetResourceString(IDS_LOG_ERROR, szFormat, MSG_SIZE);
    FormatText(szMsg, MSG_SIZE, szFormat, SERVICE_NAME, (int)dwErr);
    if (hEventSource == NULL)
        return;  // no event log: nothing can be said, dwErr still holds the code

    lpszStrings[0] = szMsg;
    lpszStrings[1] = lpszMsg;
    // Code 0 is no failure, as a stop that goes through after a refusal,
    // unless the caller says so: servers that ended with exit code 0.
    EvtReportEvent(hEventSource,
                   dwErr != NO_ERROR || fFailure ? EVENTLOG_ERROR_TYPE : EVENTLOG_INFORMATION_TYPE,
                   0, 0, NULL, 2, 0, lpszStrings, NULL);
    EvtDeregisterEventSource(hEventSource);
}
