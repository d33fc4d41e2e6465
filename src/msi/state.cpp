// What an administrator set on the service, carried across the package's
// run as text: the account, the recovery actions and the failure flag. The
// removal of releases 1.2 and 1.3 deletes the service when a newer product
// upgrades them, and the newer one registers it again; the package reads
// these first and sets them again on the new registration. The text is read
// in the installing user's context: no recovery command is ever set from
// it. The service manager's calls go through the pointers below, so that
// the unit tests can show the round trip on a manager that keeps recovery
// actions, which Wine's does not.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "msi/state.h"

BOOL(WINAPI *pfnQueryServiceConfig)(SC_HANDLE, LPQUERY_SERVICE_CONFIGW, DWORD, LPDWORD) = QueryServiceConfigW;
BOOL(WINAPI *pfnQueryServiceConfig2)(SC_HANDLE, DWORD, LPBYTE, DWORD, LPDWORD) = QueryServiceConfig2W;
BOOL(WINAPI *pfnChangeServiceConfig)(SC_HANDLE, DWORD, DWORD, DWORD, LPCWSTR, LPCWSTR, LPDWORD, LPCWSTR, LPCWSTR,
                                     LPCWSTR, LPCWSTR) = ChangeServiceConfigW;
BOOL(WINAPI *pfnChangeServiceConfig2)(SC_HANDLE, DWORD, LPVOID) = ChangeServiceConfig2W;

static const size_t kConfigBytes = 8192;

// The account the service runs as, when it is not LocalSystem, the account
// of a new registration.
static bool IsOwnAccount(const wchar_t *account)
{
    return account && account[0] && _wcsicmp(account, L"LocalSystem") != 0 &&
           _wcsicmp(account, L".\\LocalSystem") != 0;
}

bool AccountHasPassword(const wchar_t *account)
{
    size_t n = wcslen(account);
    // The built-in service accounts, virtual accounts and managed service
    // accounts (their names end in $) have none to give.
    return _wcsnicmp(account, L"NT AUTHORITY\\", 13) != 0 && _wcsnicmp(account, L"NT SERVICE\\", 11) != 0 &&
           (n == 0 || account[n - 1] != L'$');
}

DWORD ReadServiceSettings(SC_HANDLE service, wchar_t *text, size_t count)
{
    void *buf = malloc(kConfigBytes);
    DWORD needed, err = ERROR_SUCCESS;
    SERVICE_FAILURE_ACTIONS_FLAG flag = { FALSE };
    int n;
    if (!buf)
        return ERROR_NOT_ENOUGH_MEMORY;
    QUERY_SERVICE_CONFIGW *config = static_cast<QUERY_SERVICE_CONFIGW *>(buf);
    if (!pfnQueryServiceConfig(service, config, kConfigBytes, &needed)) {
        err = GetLastError();
        goto done;
    }
    // An account's name holds no '|'.
    n = _snwprintf(text, count, L"%ls|", IsOwnAccount(config->lpServiceStartName) ? config->lpServiceStartName : L"");
    if (n < 0 || (size_t)n >= count) {
        err = ERROR_INSUFFICIENT_BUFFER;
        goto done;
    }
    text += n;
    count -= (size_t)n;
    // A manager that knows no recovery actions (Wine's: 124) has none to keep.
    if (!pfnQueryServiceConfig2(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, reinterpret_cast<BYTE *>(&flag),
                                sizeof flag, &needed) &&
        (err = GetLastError()) != ERROR_INVALID_LEVEL)
        goto done;
    if (!pfnQueryServiceConfig2(service, SERVICE_CONFIG_FAILURE_ACTIONS, static_cast<BYTE *>(buf), kConfigBytes,
                                &needed)) {
        if ((err = GetLastError()) == ERROR_INVALID_LEVEL) {
            err = ERROR_SUCCESS;
            if (_snwprintf(text, count, L"%d|0|0|0|", flag.fFailureActionsOnNonCrashFailures ? 1 : 0) < 0)
                err = ERROR_INSUFFICIENT_BUFFER;
        }
        goto done;
    }
    err = ERROR_SUCCESS;
    if (static_cast<SERVICE_FAILURE_ACTIONSW *>(buf)->cActions > kMaxActions) {
        err = ERROR_INVALID_DATA;
        goto done;
    }
    {
        // flag|reset|count|type,delay|...|length of the reboot message|message command
        SERVICE_FAILURE_ACTIONSW *actions = static_cast<SERVICE_FAILURE_ACTIONSW *>(buf);
        const wchar_t *reboot = actions->lpRebootMsg ? actions->lpRebootMsg : L"";
        const wchar_t *command = actions->lpCommand ? actions->lpCommand : L"";
        n = _snwprintf(text, count, L"%d|%lu|%lu|", flag.fFailureActionsOnNonCrashFailures ? 1 : 0,
                       actions->dwResetPeriod, actions->cActions);
        for (DWORD i = 0; n >= 0 && (size_t)n < count && i < actions->cActions; ++i) {
            text += n;
            count -= (size_t)n;
            n = _snwprintf(text, count, L"%d,%lu|", (int)actions->lpsaActions[i].Type,
                           actions->lpsaActions[i].Delay);
        }
        if (n >= 0 && (size_t)n < count) {
            text += n;
            count -= (size_t)n;
            n = _snwprintf(text, count, L"%u|%ls%ls", (unsigned)wcslen(reboot), reboot, command);
        }
        if (n < 0 || (size_t)n >= count)
            err = ERROR_INSUFFICIENT_BUFFER;
    }
done:
    free(buf);
    return err;
}

// The number at *p, and p past it and the separator that follows.
static bool TakeNumber(const wchar_t **p, wchar_t separator, unsigned long *value)
{
    wchar_t *end;
    *value = wcstoul(*p, &end, 10);
    if (end == *p || *end != separator)
        return false;
    *p = end + 1;
    return true;
}

DWORD ReadOwnedSettings(SC_HANDLE service, DWORD *type, BOOL *delayed, DWORD *preshutdown, DWORD *errorControl)
{
    void *buf = malloc(kConfigBytes);
    DWORD needed, err = ERROR_SUCCESS;
    SERVICE_DELAYED_AUTO_START_INFO delay = { FALSE };
    SERVICE_PRESHUTDOWN_INFO timeout = { 180000 };
    if (!buf)
        return ERROR_NOT_ENOUGH_MEMORY;
    if (!pfnQueryServiceConfig(service, static_cast<QUERY_SERVICE_CONFIGW *>(buf), kConfigBytes, &needed))
        err = GetLastError();
    else {
        *type = static_cast<QUERY_SERVICE_CONFIGW *>(buf)->dwStartType;
        *errorControl = static_cast<QUERY_SERVICE_CONFIGW *>(buf)->dwErrorControl;
    }
    free(buf);
    // A manager that knows no delayed start (Wine 8's: 124) has none.
    if (err == ERROR_SUCCESS &&
        !pfnQueryServiceConfig2(service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, reinterpret_cast<BYTE *>(&delay),
                                sizeof delay, &needed) &&
        (err = GetLastError()) == ERROR_INVALID_LEVEL)
        err = ERROR_SUCCESS;
    if (err == ERROR_SUCCESS &&
        !pfnQueryServiceConfig2(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, reinterpret_cast<BYTE *>(&timeout),
                                sizeof timeout, &needed))
        err = GetLastError();
    *delayed = delay.fDelayedAutostart;
    *preshutdown = timeout.dwPreshutdownTimeout;
    return err;
}

bool IsNewRegistration(SC_HANDLE service)
{
    void *buf = malloc(kConfigBytes);
    DWORD needed;
    bool fresh = false;
    if (!buf)
        return false;
    if (pfnQueryServiceConfig(service, static_cast<QUERY_SERVICE_CONFIGW *>(buf), kConfigBytes, &needed) &&
        !IsOwnAccount(static_cast<QUERY_SERVICE_CONFIGW *>(buf)->lpServiceStartName)) {
        // A manager that keeps no recovery actions (Wine's: 124) has none.
        if (pfnQueryServiceConfig2(service, SERVICE_CONFIG_FAILURE_ACTIONS, static_cast<BYTE *>(buf), kConfigBytes,
                                   &needed))
            fresh = static_cast<SERVICE_FAILURE_ACTIONSW *>(buf)->cActions == 0;
        else
            fresh = GetLastError() == ERROR_INVALID_LEVEL;
    }
    free(buf);
    return fresh;
}

DWORD RestoreServiceSettings(SC_HANDLE service, const wchar_t *text, wchar_t *dropped, size_t count)
{
    dropped[0] = L'\0';
    const wchar_t *bar = wcschr(text, L'|');
    wchar_t account[257];
    unsigned long flag, reset, n, type, delay, length;
    SC_ACTION saved[kMaxActions];
    if (!bar || (size_t)(bar - text) >= sizeof account / sizeof account[0])
        return ERROR_INVALID_DATA;
    wmemcpy(account, text, (size_t)(bar - text));
    account[bar - text] = L'\0';
    const wchar_t *p = bar + 1;
    if (!TakeNumber(&p, L'|', &flag) || !TakeNumber(&p, L'|', &reset) || !TakeNumber(&p, L'|', &n) ||
        n > kMaxActions)
        return ERROR_INVALID_DATA;
    for (unsigned long i = 0; i < n; ++i) {
        if (!TakeNumber(&p, L',', &type) || !TakeNumber(&p, L'|', &delay))
            return ERROR_INVALID_DATA;
        // Never a command: none in its place keeps the others' order.
        saved[i].Type = type == SC_ACTION_RUN_COMMAND ? SC_ACTION_NONE : (SC_ACTION_TYPE)type;
        saved[i].Delay = delay;
    }
    if (!TakeNumber(&p, L'|', &length) || wcslen(p) < length)
        return ERROR_INVALID_DATA;
    wchar_t *reboot = static_cast<wchar_t *>(malloc((length + 1) * sizeof(wchar_t)));
    if (!reboot)
        return ERROR_NOT_ENOUGH_MEMORY;
    wmemcpy(reboot, p, length);
    reboot[length] = L'\0';
    // The command goes to the log, for an administrator to set again.
    _snwprintf(dropped, count, L"%ls", p + length);
    dropped[count - 1] = L'\0';

    DWORD err = ERROR_SUCCESS;
    // A password is never read back: one that the service has is kept
    // (NULL), an account that has none is given the empty one.
    if (account[0] && !pfnChangeServiceConfig(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                              NULL, NULL, NULL, NULL, account,
                                              AccountHasPassword(account) ? NULL : L"", NULL))
        err = GetLastError();
    // A new registration has no recovery actions: none to set again.
    if (err == ERROR_SUCCESS && (n || reboot[0])) {
        SERVICE_FAILURE_ACTIONSW actions = { reset, reboot, NULL, n, saved };
        if (!pfnChangeServiceConfig2(service, SERVICE_CONFIG_FAILURE_ACTIONS, &actions))
            err = GetLastError();
    }
    if (err == ERROR_SUCCESS && flag) {
        SERVICE_FAILURE_ACTIONS_FLAG set = { TRUE };
        if (!pfnChangeServiceConfig2(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &set))
            err = GetLastError();
    }
    free(reboot);
    return err;
}

DWORD SetRestartAfterFailure(SC_HANDLE service, DWORD seconds)
{
    SC_ACTION restart[kRestartActions];
    for (unsigned long i = 0; i < kRestartActions; ++i) {
        restart[i].Type = SC_ACTION_RESTART;
        restart[i].Delay = seconds * 1000;
    }
    // No actions with the array given deletes them; the reboot message and
    // the command (NULL) stay as they are.
    SERVICE_FAILURE_ACTIONSW actions = { kRestartResetSeconds, NULL, NULL, seconds ? kRestartActions : 0, restart };
    SERVICE_FAILURE_ACTIONS_FLAG flag = { seconds != 0 };
    if (!pfnChangeServiceConfig2(service, SERVICE_CONFIG_FAILURE_ACTIONS, &actions) ||
        !pfnChangeServiceConfig2(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag))
        return GetLastError();
    return ERROR_SUCCESS;
}
