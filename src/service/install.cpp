// The -install and -remove commands. Both report to standard output only.
#include <stdio.h>
#include <string.h>

#include "access/access.h"
#include "platform/advapi.h"
#include "service/catalogue.h"
#include "service/host.h"
#include "zuvo/supervisor.h"

#define PATH_SIZE      512   // the executable's path
#define STOP_POLL_MS   1000  // between status queries while the service stops
// How long Windows waits at shutdown for the servers' stop: its default is
// 10 s since Windows 10 1703, too short for servers that flush data.
static SERVICE_PRESHUTDOWN_INFO spiPreshutdown = { 180000 };

static char szErr[MSG_SIZE];  // system error text for the failure messages
static DWORD dwResult;         // the exit code: the last failure's, 0 for none

// Prints catalogue text resID filled with one string.
static void PrintText(int resID, const char *lpszArg)
{
    char szMsg[MSG_SIZE];

    printf(GetResourceString(resID, szMsg, MSG_SIZE), lpszArg);
}

// The last error's text, which is taken before anything else can change the
// error code; that code becomes the command's exit code.
static char *GetFailureText(void)
{
    dwResult = GetLastError();
    return GetLastErrorText(szErr, MSG_SIZE);
}

// Prints catalogue text resID filled with the last error's text.
static void PrintFailure(int resID)
{
    PrintText(resID, GetFailureText());
}

// A path with blanks is registered in quotes: unquoted, the manager would
// try C:\Program.exe and the like before the real executable. A path that
// would name another program than the one running is refused. On failure
// szErr says why and dwResult holds the code.
static BOOL GetServicePath(char *lpszPath)
{
    WCHAR szWidePath[PATH_SIZE];
    DWORD dwLen;

    dwLen = GetModuleFileNameA(NULL, lpszPath, PATH_SIZE);
    if (dwLen == 0)
        goto failed;
    if (dwLen >= PATH_SIZE) {
        // Cut short: registering it would name another program.
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        goto failed;
    }
    // No longer than the ANSI path, where a character takes a byte or two;
    // were it cut all the same, the two would differ and be refused below.
    if (GetModuleFileNameW(NULL, szWidePath, PATH_SIZE) == 0)
        goto failed;
    // A folder the code page spells with '?' or a look-alike ('&' for a
    // full-width ampersand) leads the manager to another program, or none.
    if (!IsExactAnsiSpelling(lpszPath, szWidePath)) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        goto failed;
    }
    // The manager expands %NAME% in the registered path when it starts it.
    if (strchr(lpszPath, '%') != NULL) {
        SetLastError(ERROR_BAD_PATHNAME);
        goto failed;
    }
    // Whoever but the system and the administrators can change the
    // executable, its folder or a folder above could run their program as
    // LocalSystem: the person installing too, whose unelevated programs
    // carry the same account. The check says why into szErr.
    dwResult = CheckWhoCanChangePath(lpszPath, 1, ACCESS_AT_INSTALL, TRUE, szErr, MSG_SIZE, NULL);
    return dwResult == NO_ERROR;

failed:
    GetFailureText();
    return FALSE;
}

// Prints the reason for a failure after the service was registered or
// deleted on a line of its own: that stays done, and the exit code says
// what failed.
static void PrintReasonLine(DWORD dwCode)
{
    SetLastError(dwCode);
    printf("%s\n", GetFailureText());
}

DWORD CmdInstallService(void)
{
    char szPath[PATH_SIZE];
    char szCommand[PATH_SIZE + 2];
    SC_HANDLE schSCManager;
    SC_HANDLE schService;

    dwResult = NO_ERROR;
    if (!GetServicePath(szPath)) {
        char szMsg[MSG_SIZE];
        printf(GetResourceString(IDS_CANNOT_INSTALL, szMsg, MSG_SIZE), DISPLAY_NAME, szErr);
        return dwResult;
    }
    FormatText(szCommand, sizeof szCommand, strchr(szPath, ' ') ? "\"%s\"" : "%s", szPath);

    schSCManager = ScmOpenSCManager(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (!schSCManager) {
        PrintFailure(IDS_OPEN_SCM_FAILED);
        return dwResult;
    }

    schService = ScmCreateService(schSCManager, SERVICE_NAME, DISPLAY_NAME, SERVICE_ALL_ACCESS,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                  SERVICE_ERROR_NORMAL, szCommand, NULL, NULL, "", NULL,
                                  NULL);
    if (schService) {
        PrintText(IDS_INSTALLED, DISPLAY_NAME);
        // Without either the service is still sound, with Windows' default
        // timeout, or with entries that Event Viewer cannot describe.
        if (!ScmChangeServiceConfig2(schService, SERVICE_CONFIG_PRESHUTDOWN_INFO, &spiPreshutdown))
            PrintReasonLine(GetLastError());
        // The message file is named as it stands, blanks and all: it is a
        // list of files split at semicolons, not a command.
        DWORD dwSource = EvtInstallSource(szPath);
        if (dwSource != ERROR_SUCCESS)
            PrintReasonLine(dwSource);
        ScmCloseServiceHandle(schService);
    } else {
        PrintFailure(IDS_CREATE_FAILED);
    }
    ScmCloseServiceHandle(schSCManager);
    return dwResult;
}

// Asks the service to stop and waits, a dot a second, while it is stopping:
// also for a stop already pending, which the manager will not take twice
// (1061). TRUE once the service is known to be stopped.
static BOOL StopServiceAndWait(SC_HANDLE schService)
{
    // Refused when it is not running, stopping already, or not accepting
    // a stop: the deletion goes ahead regardless.
    if (!ScmControlService(schService, SERVICE_CONTROL_STOP, &ssStatus)) {
        if (!ScmQueryServiceStatus(schService, &ssStatus))
            return FALSE;
        if (ssStatus.dwCurrentState != SERVICE_STOP_PENDING)
            return ssStatus.dwCurrentState == SERVICE_STOPPED;
    }

    PrintText(IDS_STOPPING, DISPLAY_NAME);
    Sleep(STOP_POLL_MS);
    while (ScmQueryServiceStatus(schService, &ssStatus) &&
           ssStatus.dwCurrentState == SERVICE_STOP_PENDING) {
        printf(".");
        Sleep(STOP_POLL_MS);
    }
    PrintText(ssStatus.dwCurrentState == SERVICE_STOPPED ? IDS_STOPPED : IDS_STOP_FAILED,
              DISPLAY_NAME);
    return ssStatus.dwCurrentState == SERVICE_STOPPED;
}

DWORD CmdRemoveService(void)
{
    SC_HANDLE schSCManager;
    SC_HANDLE schService;
    BOOL fStopped;

    dwResult = NO_ERROR;
    schSCManager = ScmOpenSCManager(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (!schSCManager) {
        PrintFailure(IDS_OPEN_SCM_FAILED);
        return dwResult;
    }

    schService = ScmOpenService(schSCManager, SERVICE_NAME, SERVICE_ALL_ACCESS);
    if (!schService) {
        PrintFailure(IDS_OPEN_SVC_FAILED);
        ScmCloseServiceHandle(schSCManager);
        return dwResult;
    }

    fStopped = StopServiceAndWait(schService);

    if (ScmDeleteService(schService)) {
        PrintText(IDS_REMOVED, DISPLAY_NAME);
        // One that still runs, marked for deletion, may still write entries
        // that need the source. A service installed by an older version has
        // no source to remove.
        DWORD dwSource = fStopped ? EvtRemoveSource() : ERROR_SUCCESS;
        if (dwSource != ERROR_SUCCESS && dwSource != ERROR_FILE_NOT_FOUND)
            PrintReasonLine(dwSource);
    } else {
        PrintFailure(IDS_DELETE_FAILED);
    }

    ScmCloseServiceHandle(schService);
    ScmCloseServiceHandle(schSCManager);
    return dwResult;
}
