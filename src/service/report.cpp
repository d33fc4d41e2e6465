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
    // is left as it is, start-pending, for the first real report.
    if (sshStatusHandle == 0)
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

// Re-sends the state the record holds, as a control's answer whose result
// nobody examines; reading it under the lock keeps a
// late re-report from undoing a report the service thread has just made.
// After a stop that started no stop instance (fStopRefused) the servers go on
// running: a stop-pending service says so, and accepts the next stop, since
// the manager sends no control to a service that stays stop-pending. Only
// from stop-pending, so that a run instance which ended meanwhile keeps its
// stopped report last.
void ReportCurrentStatusToSCMgr(BOOL fStopRefused)
{
    DWORD dwState;

    if (bDebug)
        return;
    LockStatus();
    dwState = ssStatus.dwCurrentState;
    if (!fStopRefused || dwState == SERVICE_STOP_PENDING)
        SendStatus(fStopRefused ? SERVICE_RUNNING : dwState, NO_ERROR, 0);
    LeaveCriticalSection(&csStatus);
}

void AddToMessageLog(const char *lpszMsg)
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
    EvtReportEvent(hEventSource, EVENTLOG_ERROR_TYPE, 0, 0, NULL, 2, 0, lpszStrings, NULL);
    EvtDeregisterEventSource(hEventSource);
}
