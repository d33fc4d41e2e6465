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

// Prints catalogue text resID filled with one string.
static void PrintText(int resID, const char *lpszArg)
{
    char szMsg[MSG_SIZE];

    printf(GetResourceString(resID, szMsg, MSG_SIZE), lpszArg);
}

// Prints catalogue text resID filled with the last error's text, which is
// taken before anything else can change the error code.
static void PrintFailure(int resID)
{
    GetLastErrorText(szErr, MSG_SIZE);
    PrintText(resID, szErr);
}

// A path with blanks is registered in quotes: unquoted, the manager would
// try C:\Program.exe and the like before the real executable. A path that
// would name another program than the one running is refused. On failure
// szErr says why.
static BOOL GetServiceCommand(char *lpszCommand, DWORD dwSize)
{
    char szPath[PATH_SIZE];
    WCHAR szWidePath[PATH_SIZE];
    DWORD dwLen;

    dwLen = GetModuleFileNameA(NULL, szPath, PATH_SIZE);
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
    if (!IsExactAnsiSpelling(szPath, szWidePath)) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        goto failed;
    }
    // The manager expands %NAME% in the registered path when it starts it.
    if (strchr(szPath, '%') != NULL) {
        SetLastError(ERROR_BAD_PATHNAME);
        goto failed;
    }
    // Whoever but the system and the administrators can change the
    // executable, its folder or a folder above could run their program as
    // LocalSystem: the person installing too, whose unelevated programs
    // carry the same account. The check says why into szErr.
    if (CheckWhoCanChangePath(szPath, 1, ACCESS_AT_INSTALL, TRUE, szErr, MSG_SIZE, NULL) !=
        NO_ERROR)
        return FALSE;
    if (strchr(szPath, ' ') == NULL)
        FormatText(lpszCommand, dwSize, "%s", szPath);
    else
        FormatText(lpszCommand, dwSize, "\"%s\"", szPath);
    return TRUE;

failed:
    GetLastErrorText(szErr, MSG_SIZE);
    return FALSE;
}

void CmdInstallService(void)
{
    char szCommand[PATH_SIZE + 2];
    SC_HANDLE schSCManager;
    SC_HANDLE schService;

    if (!GetServiceCommand(szCommand, sizeof szCommand)) {
        char szMsg[MSG_SIZE];
        printf(GetResourceString(IDS_CANNOT_INSTALL, szMsg, MSG_SIZE), DISPLAY_NAME, szErr);
        return;
    }

    schSCManager = ScmOpenSCManager(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (!schSCManager) {
        PrintFailure(IDS_OPEN_SCM_FAILED);
        return;
    }

    schService = ScmCreateService(schSCManager, SERVICE_NAME, DISPLAY_NAME, SERVICE_ALL_ACCESS,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                  SERVICE_ERROR_NORMAL, szCommand, NULL, NULL, "", NULL,
                                  NULL);
    if (schService) {
        PrintText(IDS_INSTALLED, DISPLAY_NAME);
        // Without it the service is still sound, with Windows' default: it
        // stays registered, and the reason goes on a line of its own.
        if (!ScmChangeServiceConfig2(schService, SERVICE_CONFIG_PRESHUTDOWN_INFO, &spiPreshutdown))
            printf("%s\n", GetLastErrorText(szErr, MSG_SIZE));
        ScmCloseServiceHandle(schService);
    } else {
        PrintFailure(IDS_CREATE_FAILED);
    }
    ScmCloseServiceHandle(schSCManager);
}

// Asks the service to stop and waits, a dot a second, while it is stopping.
static void StopServiceAndWait(SC_HANDLE schService)
{
    if (!ScmControlService(schService, SERVICE_CONTROL_STOP, &ssStatus))
        return;  // not running, or refused: the deletion goes ahead regardless

    PrintText(IDS_STOPPING, DISPLAY_NAME);
    Sleep(STOP_POLL_MS);
    while (ScmQueryServiceStatus(schService, &ssStatus) &&
           ssStatus.dwCurrentState == SERVICE_STOP_PENDING) {
        printf(".");
        Sleep(STOP_POLL_MS);
    }
    PrintText(ssStatus.dwCurrentState == SERVICE_STOPPED ? IDS_STOPPED : IDS_STOP_FAILED,
              DISPLAY_NAME);
}

void CmdRemoveService(void)
{
    SC_HANDLE schSCManager;
    SC_HANDLE schService;

    schSCManager = ScmOpenSCManager(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (!schSCManager) {
        PrintFailure(IDS_OPEN_SCM_FAILED);
        return;
    }

    schService = ScmOpenService(schSCManager, SERVICE_NAME, SERVICE_ALL_ACCESS);
    if (!schService) {
        PrintFailure(IDS_OPEN_SVC_FAILED);
        ScmCloseServiceHandle(schSCManager);
        return;
    }

    StopServiceAndWait(schService);

    if (ScmDeleteService(schService))
        PrintText(IDS_REMOVED, DISPLAY_NAME);
    else
        PrintFailure(IDS_DELETE_FAILED);

    ScmCloseServiceHandle(schService);
    ScmCloseServiceHandle(schSCManager);
}
