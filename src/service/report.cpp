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
// record and the checkpoint counter are only touched under this lock.
static SRWLOCK srwStatus = SRWLOCK_INIT;
static DWORD dwCheckPoint = 1;

static BOOL SendStatus(DWORD dwCurrentState, DWORD dwWin32ExitCode, DWORD dwWaitHint)
{
    BOOL fResult;

    ssStatus.dwControlsAccepted =
        dwCurrentState == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
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
    AcquireSRWLockExclusive(&srwStatus);
    fResult = SendStatus(dwCurrentState, dwWin32ExitCode, dwWaitHint);
    ReleaseSRWLockExclusive(&srwStatus);
    return fResult;
}

// Re-sends the state the record holds; reading it under the lock keeps a
// late re-report from undoing a report the service thread has just made.
BOOL ReportCurrentStatusToSCMgr(void)
{
    BOOL fResult;

    if (bDebug)
        return TRUE;
    AcquireSRWLockExclusive(&srwStatus);
    fResult = SendStatus(ssStatus.dwCurrentState, NO_ERROR, 0);
    ReleaseSRWLockExclusive(&srwStatus);
    return fResult;
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
