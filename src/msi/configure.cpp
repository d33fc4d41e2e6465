// Configure, save and restore.
//
// SaveServiceState (immediate, before StopBeforeChanges): whether the
// service runs, its start type, preshutdown timeout and error control, and
// what src/msi/state.cpp reads of its settings. Release 1.2 set no
// preshutdown timeout (VIZADRELEASED12, from the Upgrade table): what the
// manager reports for it is the manager's default, which is not kept.
//
// ConfigureService (deferred, as LocalSystem): Windows Installer registers
// the service from the ServiceInstall table where there is none, with the
// key file's path, and Wine's msiexec leaves that path unquoted: with blanks
// in it, the service manager could start C:\Program.exe in its place. Right
// after InstallServices, this sets what the package owns, and only that:
// the registered path to the installed vizad.exe in double quotes, the start
// type (STARTTYPE) and the preshutdown timeout (PRESHUTDOWNTIMEOUT), which
// the ServiceInstall table cannot hold and Wine's msiexec has no
// MsiServiceConfig table for. A start type or timeout not given on the
// command line, and the error control, are the ones the service had when
// the run began, whatever InstallServices did to a service that exists; a
// new service gets demand start, 180 s and normal error control.
//
// RestoreService (deferred, after ConfigureService): the releases whose
// removal deletes the service (1.2 and 1.3; VIZADRELEASED) have their
// settings carried: the package's sequence passes them only then, never in
// a repair or a re-run. Then the stop deadline (STOPDEADLINE) and the
// restart after a failure (RESTARTDELAY) where given: they live with the
// service, so that whatever does not name them keeps them and its deletion
// takes them. Then the log reads back what the service has, and the
// service that ran, or on a first install one that starts with Windows, is
// started. A start that fails is logged and does not fail the run: rolling
// back cannot mend it. A service whose account could not be set again is
// not started, since it would run as LocalSystem.
#include <wchar.h>

#include "msi/action.h"
#include "msi/state.h"

static const DWORD kStateSize = 2048;  // RestoreService's data
static const wchar_t kParameters[] = L"SYSTEM\\CurrentControlSet\\Services\\ZUVO\\Parameters";
static const wchar_t *const kErrorControlWords[] = { L"ignore", L"normal", L"severe", L"critical" };

// CustomActionData: the installed vizad.exe ([#vizad.exe]), STARTTYPE and
// PRESHUTDOWNTIMEOUT as given (empty when not), then the start type,
// timeout and error control that the service had when the run began (empty
// for none: a first install), separated by '|', which no path holds.
VIZAD_ACTION ConfigureService(MSIHANDLE install)
{
    wchar_t data[MAX_PATH + 96];
    wchar_t quoted[MAX_PATH + 2];
    wchar_t *field[6] = {};
    DWORD type = SERVICE_DEMAND_START, preshutdown = 180000, errorControl = SERVICE_NO_CHANGE;
    BOOL delayed = FALSE;
    const wchar_t *typeFrom = L"default", *timeoutFrom = L"default";
    GetProperty(install, L"CustomActionData", data, MAX_PATH + 96);
    bool usable = SplitFields(data, field, 6) == 6 && data[0] != L'\0' && !wcschr(data, L'"');
    // Given on the command line, else the service's own (which the
    // immediate action read: only a value in range is taken), else the
    // default.
    if (usable && field[1][0]) {
        usable = ParseStartType(field[1], &type, &delayed);
        typeFrom = L"given";
    } else if (usable && field[3][0] && ParseStartType(field[3], &type, &delayed, true)) {
        typeFrom = L"kept";
    }
    if (usable && field[2][0]) {
        usable = ParseNumber(field[2], 0xFFFFFFFF, &preshutdown);
        timeoutFrom = L"given";
    } else if (usable && field[4][0] && ParseNumber(field[4], 0xFFFFFFFF, &preshutdown)) {
        timeoutFrom = L"kept";
    }
    // InstallServices may have set the table's normal again.
    if (usable && field[5][0] && !ParseNumber(field[5], SERVICE_ERROR_CRITICAL, &errorControl))
        errorControl = SERVICE_NO_CHANGE;
    // A path that does not fit, or that holds a quote, cannot be quoted.
    if (!usable) {
        Log(install, L"VIZAD: no usable path of vizad.exe, start type or preshutdown timeout to register");
        return ERROR_INSTALL_FAILURE;
    }
    swprintf(quoted, MAX_PATH + 2, L"\"%ls\"", data);

    DWORD err = ERROR_SUCCESS;
    const wchar_t *what = L"the path";
    SC_HANDLE service = NULL;
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    if (!manager) {
        err = GetLastError();
        goto done;
    }
    service = OpenServiceW(manager, kService, SERVICE_CHANGE_CONFIG);
    if (!service) {
        err = GetLastError();
        goto done;
    }
    if (!ChangeServiceConfigW(service, SERVICE_NO_CHANGE, type, errorControl, quoted, NULL, NULL, NULL, NULL, NULL,
                              NULL)) {
        err = GetLastError();
        goto done;
    }
    // Set either way: a change from delayed-auto to auto drops the delay.
    // Without the delay the service still starts with Windows, so a
    // refusal (124 from a manager that knows no delayed start) is logged
    // and the install goes on; such a manager has no delay to drop.
    if (type == SERVICE_AUTO_START) {
        SERVICE_DELAYED_AUTO_START_INFO info = { delayed };
        if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &info) && delayed)
            Log(install, L"VIZAD: cannot delay the automatic start of service %ls: error %lu; it starts undelayed",
                kService, GetLastError());
    }
    {
        // Windows' own default is 10 s since Windows 10 1703: too short
        // for servers that write their data as they stop.
        SERVICE_PRESHUTDOWN_INFO info = { preshutdown };
        what = L"the preshutdown timeout";
        if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &info))
            err = GetLastError();
    }
done:
    if (service)
        CloseServiceHandle(service);
    if (manager)
        CloseServiceHandle(manager);
    if (err != ERROR_SUCCESS) {
        Log(install, L"VIZAD: cannot register %ls of service %ls (%ls, %ls, %lu ms): error %lu", what, kService,
            quoted, StartTypeWord(type, delayed), preshutdown, err);
        return ERROR_INSTALL_FAILURE;
    }
    Log(install,
        L"VIZAD: service %ls runs %ls, start %ls, preshutdown %lu ms (start type %ls, timeout %ls); "
        L"everything else set on it is kept",
        kService, quoted, StartTypeWord(type, delayed), preshutdown, typeFrom, timeoutFrom);
    return ERROR_SUCCESS;
}

// What SaveServiceState read: VizadRun, 1 when the service is to be started
// at the end of the run, else 0; VizadHad, the service's start type,
// preshutdown timeout and error control ("||" when there is none);
// VizadSettings, the settings of src/msi/state.cpp, which the sequence
// passes on only in an upgrade from a release whose removal deletes the
// service.
VIZAD_ACTION SaveServiceState(MSIHANDLE install)
{
    wchar_t run[2] = L"0";
    wchar_t had[48] = L"||";
    wchar_t settings[kStateSize] = L"";
    wchar_t from12[4];
    SERVICE_STATUS status;
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, kService, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS) : NULL;
    DWORD err = service ? ERROR_SUCCESS : GetLastError();
    GetProperty(install, L"VIZADRELEASED12", from12, 4);
    if (service) {
        DWORD type, preshutdown, errorControl;
        BOOL delayed;
        // Running, or on its way: it runs again. Stopped or stopping: not.
        if (!QueryServiceStatus(service, &status))
            err = GetLastError();
        else if (status.dwCurrentState != SERVICE_STOPPED && status.dwCurrentState != SERVICE_STOP_PENDING)
            run[0] = L'1';
        if (err == ERROR_SUCCESS)
            err = ReadOwnedSettings(service, &type, &delayed, &preshutdown, &errorControl);
        if (err == ERROR_SUCCESS && from12[0])
            swprintf(had, sizeof had / sizeof had[0], L"%ls||%lu", StartTypeWord(type, delayed), errorControl);
        else if (err == ERROR_SUCCESS)
            swprintf(had, sizeof had / sizeof had[0], L"%ls|%lu|%lu", StartTypeWord(type, delayed), preshutdown,
                     errorControl);
        if (err == ERROR_SUCCESS)
            err = ReadServiceSettings(service, settings, kStateSize);
        CloseServiceHandle(service);
    } else if (err == ERROR_SERVICE_DOES_NOT_EXIST) {
        // A first install starts a service that starts with Windows.
        wchar_t text[16];
        DWORD type;
        BOOL delayed;
        GetProperty(install, L"STARTTYPE", text, 16);
        if (ParseStartType(text, &type, &delayed) && type == SERVICE_AUTO_START)
            run[0] = L'1';
        err = ERROR_SUCCESS;
    }
    if (manager)
        CloseServiceHandle(manager);
    // Nothing has changed yet: without what was set, the run stops here.
    if (err != ERROR_SUCCESS) {
        Log(install, L"VIZAD: cannot read the state and settings of service %ls: error %lu", kService, err);
        return ERROR_INSTALL_FAILURE;
    }
    Log(install,
        L"VIZAD: service %ls: started at the end %ls; start type, preshutdown and error control %ls%ls; "
        L"(account|failure flag|reset|actions|...) %ls",
        kService, run[0] == L'1' ? L"yes" : L"no", had,
        from12[0] ? L" (1.2 set no preshutdown timeout: the package's is set)" : L"", settings);
    return MsiSetPropertyW(install, L"VizadRun", run) == ERROR_SUCCESS &&
                   MsiSetPropertyW(install, L"VizadHad", had) == ERROR_SUCCESS &&
                   MsiSetPropertyW(install, L"VizadSettings", settings) == ERROR_SUCCESS
               ? ERROR_SUCCESS
               : ERROR_INSTALL_FAILURE;
}

// Sets again, on the new registration of an upgrade from 1.2 or 1.3, what
// was read before the older product deleted the service; false when the
// service is not to be started, since it would not run as it did.
static bool CarrySettings(MSIHANDLE install, SC_HANDLE service, const wchar_t *settings)
{
    // Read in the installing user's context: set only on a registration
    // that the older product's removal made anew.
    if (!IsNewRegistration(service)) {
        Log(install, L"VIZAD: service %ls was not registered anew: its own settings stay as they are", kService);
        return true;
    }
    wchar_t dropped[kStateSize];
    DWORD err = RestoreServiceSettings(service, settings, dropped, kStateSize);
    if (err == ERROR_SUCCESS)
        Log(install, L"VIZAD: service %ls keeps (account|failure flag|reset|actions|...) %ls", kService, settings);
    else
        Log(install,
            L"VIZAD: cannot set %ls on service %ls again: error %lu; it is not started, since it would not run "
            L"as it did",
            settings, kService, err);
    if (dropped[0])
        Log(install,
            L"VIZAD: the recovery command of service %ls is not carried across the upgrade: set it again "
            L"(sc.exe failure %ls command= ...): %ls",
            kService, kService, dropped);
    const wchar_t *bar = wcschr(settings, L'|');
    if (err == ERROR_SUCCESS && bar && bar != settings) {
        wchar_t account[257];
        size_t n = (size_t)(bar - settings) < 256 ? (size_t)(bar - settings) : 256;
        wmemcpy(account, settings, n);
        account[n] = L'\0';
        if (AccountHasPassword(account))
            Log(install,
                L"VIZAD: service %ls runs as %ls, whose password this upgrade from a release that deletes the "
                L"service cannot keep: set it again (sc.exe config %ls password= ...); later upgrades keep it",
                kService, account, kService);
    }
    return err == ERROR_SUCCESS;
}

// STOPDEADLINE and RESTARTDELAY, where given (CheckSettings has refused
// anything but a number of seconds); an error code.
static DWORD SetStopAndRestart(MSIHANDLE install, SC_HANDLE service, const wchar_t *deadline,
                               const wchar_t *restart)
{
    DWORD seconds, err = ERROR_SUCCESS;
    if (ParseNumber(deadline, kMaxSeconds, &seconds)) {
        HKEY key;
        err = (DWORD)RegCreateKeyExW(HKEY_LOCAL_MACHINE, kParameters, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL);
        if (err == ERROR_SUCCESS) {
            err = (DWORD)RegSetValueExW(key, L"StopTimeout", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&seconds),
                                        sizeof seconds);
            RegCloseKey(key);
        }
        if (err != ERROR_SUCCESS) {
            Log(install, L"VIZAD: cannot set the stop deadline of service %ls (STOPDEADLINE=%lu): error %lu",
                kService, seconds, err);
            return err;
        }
        Log(install, L"VIZAD: service %ls: stop deadline %lu s (STOPDEADLINE%ls)", kService, seconds,
            seconds ? L"" : L"=0: none");
    }
    if (ParseNumber(restart, kMaxSeconds, &seconds)) {
        err = SetRestartAfterFailure(service, seconds);
        // A manager that keeps no recovery actions (Wine's) cannot restart
        // the service: said, and the run goes on, as for a delayed start.
        if (err == ERROR_INVALID_LEVEL)
            Log(install, L"VIZAD: cannot set the restart of service %ls after a failure: error %lu; it is not "
                         L"restarted",
                kService, err);
        else if (err != ERROR_SUCCESS)
            Log(install, L"VIZAD: cannot set the restart of service %ls after a failure (RESTARTDELAY=%lu): "
                         L"error %lu",
                kService, seconds, err);
        else if (seconds)
            Log(install,
                L"VIZAD: service %ls restarts %lu s after a failure (%lu restarts, failure count reset after "
                L"%lu s, failure flag on)",
                kService, seconds, kRestartActions, kRestartResetSeconds);
        else
            Log(install, L"VIZAD: service %ls: no restart after a failure (RESTARTDELAY=0)", kService);
        if (err == ERROR_INVALID_LEVEL)
            err = ERROR_SUCCESS;
    }
    return err;
}

// The log reads back what the service has, after the run's changes.
static void LogServiceNow(MSIHANDLE install, SC_HANDLE service)
{
    DWORD type, preshutdown, errorControl = SERVICE_ERROR_NORMAL, needed;
    BOOL delayed;
    union {
        QUERY_SERVICE_CONFIGW config;
        BYTE bytes[8192];
    } buf;
    DWORD err = ReadOwnedSettings(service, &type, &delayed, &preshutdown, &errorControl);
    if (err == ERROR_SUCCESS && !QueryServiceConfigW(service, &buf.config, sizeof buf, &needed))
        err = GetLastError();
    if (err != ERROR_SUCCESS) {
        Log(install, L"VIZAD: cannot read back the settings of service %ls: error %lu", kService, err);
        return;
    }
    Log(install, L"VIZAD: service %ls has: account %ls, start %ls, error control %ls, preshutdown %lu ms",
        kService, buf.config.lpServiceStartName ? buf.config.lpServiceStartName : L"LocalSystem",
        StartTypeWord(type, delayed), errorControl <= SERVICE_ERROR_CRITICAL ? kErrorControlWords[errorControl] : L"?",
        preshutdown);
}

// CustomActionData: VizadRun, STOPDEADLINE, RESTARTDELAY, and the settings
// when they are carried, each after a '|'.
VIZAD_ACTION RestoreService(MSIHANDLE install)
{
    wchar_t data[kStateSize];
    wchar_t *field[4];
    GetProperty(install, L"CustomActionData", data, kStateSize);
    // The settings hold '|' of their own: only the first three end at one.
    field[0] = data;
    for (size_t i = 1; i < 4; ++i) {
        field[i] = wcschr(field[i - 1], L'|');
        if (field[i])
            *field[i]++ = L'\0';
        else
            field[i] = field[i - 1] + wcslen(field[i - 1]);
    }
    bool start = field[0][0] == L'1';
    UINT result = ERROR_SUCCESS;
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, kService, SERVICE_CHANGE_CONFIG | SERVICE_QUERY_CONFIG |
                                                                      SERVICE_START | SERVICE_QUERY_STATUS)
                                : NULL;
    if (!service) {
        Log(install, L"VIZAD: cannot open service %ls to set it again: error %lu", kService, GetLastError());
    } else {
        if (field[3][0] && !CarrySettings(install, service, field[3]))
            start = false;
        if (SetStopAndRestart(install, service, field[1], field[2]) != ERROR_SUCCESS) {
            start = false;
            result = ERROR_INSTALL_FAILURE;
        }
        LogServiceNow(install, service);
        if (start)
            StartAndWait(install, service);
        CloseServiceHandle(service);
    }
    if (manager)
        CloseServiceHandle(manager);
    return result;
}
