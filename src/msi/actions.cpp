// The package's custom actions.
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
// command line is the one the service had when the run began, whatever
// InstallServices did to a service that exists; a new service gets demand
// start and 180 s.
//
// CheckSettings (immediate, before the launch conditions): refuses a root
// that the system's code page cannot spell, which the host would refuse at
// every start, and a property that is not one of its values. The refusal's
// text goes to VizadRefusal, which a launch condition names.
//
// LogRefusals: Wine's LaunchConditions refuses an install without writing
// the condition's message to the log. Just before it, this writes the
// message of every launch condition that is false, so that the log says why
// (a root that the host would refuse, a downgrade).
//
// StopBeforeChanges (immediate, before the older product is removed) and
// WaitForServiceEnd (deferred, right after StopServices): a running service
// is stopped, and its process waited for, for STOPTIMEOUT seconds. A file in
// use is never replaced: when the service has not ended by then, the
// install or removal fails, rather than ask for a restart. Wine's
// StopServices asks the service to stop and goes on at once; Windows
// Installer's waits 30 s at most. Wine's msiexec runs deferred actions only
// at InstallFinalize, after the files are gone: there the immediate action
// is the one that keeps a file in use from being removed.
//
// SaveServiceState (immediate, before StopBeforeChanges): whether the
// service runs, its start type and preshutdown timeout, and what
// src/msi/state.cpp reads of its settings. It runs in the installing user's
// context, so the deferred actions that use what it read check it: they set
// only values in range, never a recovery command, and the settings only on
// a registration that the run made anew.
//
// RestoreService (deferred, after ConfigureService): the run ends with the
// service as it began. The releases whose removal deletes the service
// (1.2 and 1.3; VIZADRELEASED, from the Upgrade table) have their settings
// carried: the package's sequence passes them only then, never in a repair
// or a re-run. It starts the service that ran, or on a first install one
// that starts with Windows. A start that fails is logged and does not fail
// the run: rolling back cannot mend it. A service whose account could not
// be set again is not started, since it would run as LocalSystem.
//
// StopStartedService (rollback of RestoreService) stops the service that
// the run started, so that rollback takes no file in use;
// StartAgainAfterFailure (rollback, the first step of the run) starts the
// service again that ran when the run began; DeleteNewService (rollback
// of InstallServices on a first install) deletes the service that the
// install made.
//
// DeleteServiceForGood (deferred, removal only): the service goes when the
// product is removed for good, not when a newer product removes it for an
// upgrade (UPGRADINGPRODUCTCODE, or the mark that MarkUpgrade sets): the
// ServiceControl table, which has no condition, only stops it.
#include <windows.h>
#include <msiquery.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "msi/state.h"
#include "service/host.h"
#include "zuvo/supervisor.h"

static const wchar_t kService[] = L"ZUVO";
static const DWORD kPollMs = 250;
// The largest STOPTIMEOUT whose milliseconds fit in a DWORD.
static const DWORD kMaxStopSeconds = 0xFFFFFFFF / 1000;
static const DWORD kStartWithinMs = 60000;
static const DWORD kStateSize = 2048;  // RestoreService's data

// One line in the installer's log (msiexec /l*v).
static void Log(MSIHANDLE install, const wchar_t *text)
{
    MSIHANDLE record = MsiCreateRecord(1);
    if (!record)
        return;
    // The text as it is, not a template to format.
    MsiRecordSetStringW(record, 0, L"[1]");
    MsiRecordSetStringW(record, 1, text);
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
}

// A property's value into buf (count characters); "" when unset or too long.
static void GetProperty(MSIHANDLE install, const wchar_t *name, wchar_t *buf, DWORD count)
{
    DWORD size = count;
    if (MsiGetPropertyW(install, name, buf, &size) != ERROR_SUCCESS)
        buf[0] = L'\0';
}

// Whether text is a decimal number no larger than max, into *value.
static bool ParseNumber(const wchar_t *text, DWORD max, DWORD *value)
{
    unsigned long long n = 0;
    if (!*text)
        return false;
    for (; *text; ++text) {
        if (*text < L'0' || *text > L'9')
            return false;
        n = n * 10 + (DWORD)(*text - L'0');
        if (n > max)
            return false;
    }
    *value = (DWORD)n;
    return true;
}

// STARTTYPE's start type, and whether the start is delayed; false when the
// value is none of demand, auto and delayed-auto (sc.exe's words), or with
// disabled, what a service may have that no command line gives.
static bool ParseStartType(const wchar_t *text, DWORD *type, BOOL *delayed, bool disabled = false)
{
    *delayed = FALSE;
    if (disabled && wcscmp(text, L"disabled") == 0)
        *type = SERVICE_DISABLED;
    else if (wcscmp(text, L"demand") == 0)
        *type = SERVICE_DEMAND_START;
    else if (wcscmp(text, L"auto") == 0)
        *type = SERVICE_AUTO_START;
    else if (wcscmp(text, L"delayed-auto") == 0) {
        *type = SERVICE_AUTO_START;
        *delayed = TRUE;
    } else
        return false;
    return true;
}

// Waits until the service has stopped and its process has ended, at most
// seconds; with stop, first asks a running service to stop (never one that
// is already stopping: Wine's service manager kills a service that is sent
// a second control while it stops). True when nothing runs, also when there
// is no service (a first install). A service that cannot be opened is
// logged; with stop (the immediate action, which may run with the
// installing user's rights) that is left to StopServices and the deferred
// wait, which runs as LocalSystem and fails on it.
static bool StopAndWait(MSIHANDLE install, DWORD seconds, bool stop)
{
    const DWORD within = seconds * 1000;
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, kService, SERVICE_QUERY_STATUS | SERVICE_STOP) : NULL;
    DWORD err = service ? ERROR_SUCCESS : GetLastError();
    HANDLE process = NULL;
    bool stopped = true;
    wchar_t line[192];
    if (!service && err != ERROR_SERVICE_DOES_NOT_EXIST) {
        swprintf(line, sizeof line / sizeof line[0], L"VIZAD: cannot open service %ls to stop it: error %lu",
                 kService, err);
        Log(install, line);
        if (manager)
            CloseServiceHandle(manager);
        return stop;
    }
    if (service) {
        DWORD start = GetTickCount();
        SERVICE_STATUS_PROCESS status;
        DWORD needed;
        stopped = false;
        while (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE *>(&status),
                                    sizeof status, &needed)) {
            if (!process && status.dwProcessId)
                process = OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId);
            if (status.dwCurrentState == SERVICE_STOPPED) {
                stopped = true;
                break;
            }
            if (stop && status.dwCurrentState == SERVICE_RUNNING) {
                SERVICE_STATUS ignored;
                stop = false;
                if (ControlService(service, SERVICE_CONTROL_STOP, &ignored))
                    Log(install, L"VIZAD: service ZUVO asked to stop");
            }
            if (GetTickCount() - start >= within)
                break;
            Sleep(kPollMs);
        }
        if (process) {
            DWORD spent = GetTickCount() - start;
            if (WaitForSingleObject(process, spent < within ? within - spent : 0) != WAIT_OBJECT_0)
                stopped = false;
            CloseHandle(process);
        }
        CloseServiceHandle(service);
    }
    if (manager)
        CloseServiceHandle(manager);
    if (stopped)
        swprintf(line, sizeof line / sizeof line[0], L"VIZAD: service %ls is not running", kService);
    else
        swprintf(line, sizeof line / sizeof line[0],
                 L"VIZAD: service %ls did not stop within %lu s (STOPTIMEOUT): no file in use is replaced, "
                 L"this install or removal fails", kService, seconds);
    Log(install, line);
    return stopped;
}

// Stops or waits for as many seconds as the property holds; CheckSettings
// has refused any other value.
static UINT StopWithin(MSIHANDLE install, const wchar_t *property, bool stop)
{
    wchar_t text[16];
    DWORD seconds;
    GetProperty(install, property, text, 16);
    if (!ParseNumber(text, kMaxStopSeconds, &seconds))
        return ERROR_INSTALL_FAILURE;
    return StopAndWait(install, seconds, stop) ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

extern "C" __declspec(dllexport) UINT __stdcall StopBeforeChanges(MSIHANDLE install)
{
    return StopWithin(install, L"STOPTIMEOUT", true);
}

// CustomActionData: STOPTIMEOUT.
extern "C" __declspec(dllexport) UINT __stdcall WaitForServiceEnd(MSIHANDLE install)
{
    return StopWithin(install, L"CustomActionData", false);
}

// Appends one refusal to refusal (count characters), after a "; " when it
// already holds one.
static void AppendRefusal(wchar_t *refusal, size_t count, const wchar_t *format, ...)
{
    size_t used = wcslen(refusal);
    va_list args;
    if (used != 0 && used + 2 < count) {
        wcscpy(refusal + used, L"; ");
        used += 2;
    }
    va_start(args, format);
    vswprintf(refusal + used, count - used, format, args);
    va_end(args);
}

// Appends to refusal (count characters) the refusal of a root that the
// system's code page cannot spell: in the host's words, the script's path
// as the host would read it, not found, with the system's text for 1113.
static void CheckRootSpelling(const wchar_t *root, wchar_t *refusal, size_t count)
{
    char ansi[MAX_PATH + sizeof SCRIPT_SUFFIX];
    wchar_t script[MAX_PATH + sizeof SCRIPT_SUFFIX];
    wchar_t why[256] = L"";
    // Read as the host reads it: the ANSI code page, look-alikes allowed.
    // A root too long for a script path to start is not this check's.
    int cb = WideCharToMultiByte(CP_ACP, 0, root, -1, ansi, MAX_PATH, NULL, NULL);
    if (cb <= 0 || IsExactAnsiSpelling(ansi, root))
        return;
    memcpy(ansi + cb - 1, SCRIPT_SUFFIX, sizeof SCRIPT_SUFFIX);  // cb counts the ending NUL
    if (MultiByteToWideChar(CP_ACP, 0, ansi, -1, script, sizeof script / sizeof script[0]) <= 0)
        script[0] = L'\0';
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, ERROR_NO_UNICODE_TRANSLATION,
                   0, why, sizeof why / sizeof why[0], NULL);
    size_t n = wcslen(why);
    while (n > 0 && (why[n - 1] == L'\r' || why[n - 1] == L'\n'))
        why[--n] = L'\0';
    AppendRefusal(refusal, count,
                  L"ZOVOVEV=%ls is refused: the system's code page does not spell it, and the service would "
                  L"log \"%ls not found.\" at every start (error 1113: %ls)",
                  root, script, why);
}

extern "C" __declspec(dllexport) UINT __stdcall CheckSettings(MSIHANDLE install)
{
    wchar_t refusal[1024] = L"";
    wchar_t text[MAX_PATH + 1];
    DWORD number, type;
    BOOL delayed;
    // A removal keeps whatever the install took.
    GetProperty(install, L"REMOVE", text, 16);
    if (wcscmp(text, L"ALL") != 0) {
        GetProperty(install, L"ZOVOVEV", text, MAX_PATH + 1);
        if (text[0])
            CheckRootSpelling(text, refusal, 1024);
        // Not given: the service's own, or for a new one the default.
        GetProperty(install, L"STARTTYPE", text, 16);
        if (text[0] && !ParseStartType(text, &type, &delayed))
            AppendRefusal(refusal, 1024, L"STARTTYPE=%ls is refused: it is demand, auto or delayed-auto", text);
        GetProperty(install, L"PRESHUTDOWNTIMEOUT", text, 16);
        if (text[0] && !ParseNumber(text, 0xFFFFFFFF, &number))
            AppendRefusal(refusal, 1024, L"PRESHUTDOWNTIMEOUT=%ls is refused: it is a number of milliseconds",
                          text);
    }
    // The removal waits too.
    GetProperty(install, L"STOPTIMEOUT", text, 16);
    if (!ParseNumber(text, kMaxStopSeconds, &number))
        AppendRefusal(refusal, 1024, L"STOPTIMEOUT=%ls is refused: it is a number of seconds, at most %lu", text,
                      kMaxStopSeconds);
    if (refusal[0] && MsiSetPropertyW(install, L"VizadRefusal", refusal) != ERROR_SUCCESS)
        return ERROR_INSTALL_FAILURE;
    return ERROR_SUCCESS;
}

// Splits text at each '|' into at most count fields; the number found.
static size_t SplitFields(wchar_t *text, wchar_t **fields, size_t count)
{
    size_t n = 0;
    while (n < count) {
        fields[n++] = text;
        text = wcschr(text, L'|');
        if (!text)
            break;
        *text++ = L'\0';
    }
    return n;
}

// The start type's word, as STARTTYPE and the log say it.
static const wchar_t *StartTypeWord(DWORD type, BOOL delayed)
{
    if (type == SERVICE_AUTO_START)
        return delayed ? L"delayed-auto" : L"auto";
    return type == SERVICE_DISABLED ? L"disabled" : L"demand";
}

// CustomActionData: the installed vizad.exe ([#vizad.exe]), STARTTYPE and
// PRESHUTDOWNTIMEOUT as given (empty when not), then the start type and
// timeout that the service had when the run began (empty for none: a first
// install), separated by '|', which no path holds.
extern "C" __declspec(dllexport) UINT __stdcall ConfigureService(MSIHANDLE install)
{
    wchar_t data[MAX_PATH + 96];
    wchar_t quoted[MAX_PATH + 2];
    wchar_t line[MAX_PATH + 256];
    wchar_t *field[5] = {};
    DWORD type = SERVICE_DEMAND_START, preshutdown = 180000;
    BOOL delayed = FALSE;
    const wchar_t *typeFrom = L"default", *timeoutFrom = L"default";
    GetProperty(install, L"CustomActionData", data, MAX_PATH + 96);
    bool usable = SplitFields(data, field, 5) == 5 && data[0] != L'\0' && !wcschr(data, L'"');
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
    if (!ChangeServiceConfigW(service, SERVICE_NO_CHANGE, type, SERVICE_NO_CHANGE,
                              quoted, NULL, NULL, NULL, NULL, NULL, NULL)) {
        err = GetLastError();
        goto done;
    }
    // Set either way: a change from delayed-auto to auto drops the delay.
    // Without the delay the service still starts with Windows, so a
    // refusal (124 from a manager that knows no delayed start) is logged
    // and the install goes on; such a manager has no delay to drop.
    if (type == SERVICE_AUTO_START) {
        SERVICE_DELAYED_AUTO_START_INFO info = { delayed };
        if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &info) && delayed) {
            swprintf(line, sizeof line / sizeof line[0],
                     L"VIZAD: cannot delay the automatic start of service %ls: error %lu; it starts undelayed",
                     kService, GetLastError());
            Log(install, line);
        }
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
        swprintf(line, sizeof line / sizeof line[0],
                 L"VIZAD: cannot register %ls of service %ls (%ls, %ls, %lu ms): error %lu", what, kService,
                 quoted, StartTypeWord(type, delayed), preshutdown, err);
        Log(install, line);
        return ERROR_INSTALL_FAILURE;
    }
    swprintf(line, sizeof line / sizeof line[0],
             L"VIZAD: service %ls runs %ls, start %ls, preshutdown %lu ms (start type %ls, timeout %ls); "
             L"everything else set on it is kept",
             kService, quoted, StartTypeWord(type, delayed), preshutdown, typeFrom, timeoutFrom);
    Log(install, line);
    return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall LogRefusals(MSIHANDLE install)
{
    MSIHANDLE database = MsiGetActiveDatabase(install);
    MSIHANDLE view = 0;
    MSIHANDLE row = 0;
    if (database &&
        MsiDatabaseOpenViewW(database, L"SELECT `Condition`, `Description` FROM `LaunchCondition`",
                             &view) == ERROR_SUCCESS &&
        MsiViewExecute(view, 0) == ERROR_SUCCESS) {
        while (MsiViewFetch(view, &row) == ERROR_SUCCESS) {
            wchar_t condition[1024];
            DWORD size = 1024;
            if (MsiRecordGetStringW(row, 1, condition, &size) == ERROR_SUCCESS &&
                MsiEvaluateConditionW(install, condition) == MSICONDITION_FALSE) {
                wchar_t text[1024] = L"";
                wchar_t formatted[1024];
                size = 1024;
                MsiRecordGetStringW(row, 2, text, &size);
                // The description is formatted text: [ZOVOVEV] is the value.
                MSIHANDLE message = MsiCreateRecord(0);
                size = 1024;
                if (message && MsiRecordSetStringW(message, 0, text) == ERROR_SUCCESS &&
                    MsiFormatRecordW(install, message, formatted, &size) == ERROR_SUCCESS)
                    Log(install, formatted);
                else
                    Log(install, text);
                if (message)
                    MsiCloseHandle(message);
            }
            MsiCloseHandle(row);
        }
    }
    if (view)
        MsiCloseHandle(view);
    if (database)
        MsiCloseHandle(database);
    // LaunchConditions itself refuses.
    return ERROR_SUCCESS;
}

// What SaveServiceState read: VizadRun, 1 when the service is to be started
// at the end of the run, else 0; VizadHad, the service's start type and
// preshutdown timeout ("|" when there is none); VizadSettings, the settings
// of src/msi/state.cpp, which the sequence passes on only in an upgrade
// from a release whose removal deletes the service.
extern "C" __declspec(dllexport) UINT __stdcall SaveServiceState(MSIHANDLE install)
{
    wchar_t run[2] = L"0";
    wchar_t had[48] = L"|";
    wchar_t settings[kStateSize] = L"";
    wchar_t line[kStateSize + 192];
    SERVICE_STATUS status;
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, kService, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS) : NULL;
    DWORD err = service ? ERROR_SUCCESS : GetLastError();
    if (service) {
        DWORD type, preshutdown;
        BOOL delayed;
        // Running, or on its way: it runs again. Stopped or stopping: not.
        if (!QueryServiceStatus(service, &status))
            err = GetLastError();
        else if (status.dwCurrentState != SERVICE_STOPPED && status.dwCurrentState != SERVICE_STOP_PENDING)
            run[0] = L'1';
        if (err == ERROR_SUCCESS)
            err = ReadOwnedSettings(service, &type, &delayed, &preshutdown);
        if (err == ERROR_SUCCESS)
            swprintf(had, sizeof had / sizeof had[0], L"%ls|%lu", StartTypeWord(type, delayed), preshutdown);
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
        swprintf(line, sizeof line / sizeof line[0],
                 L"VIZAD: cannot read the state and settings of service %ls: error %lu", kService, err);
        Log(install, line);
        return ERROR_INSTALL_FAILURE;
    }
    swprintf(line, sizeof line / sizeof line[0],
             L"VIZAD: service %ls: started at the end %ls; start type and preshutdown %ls; "
             L"(account|failure flag|reset|actions|...) %ls",
             kService, run[0] == L'1' ? L"yes" : L"no", had, settings);
    Log(install, line);
    return MsiSetPropertyW(install, L"VizadRun", run) == ERROR_SUCCESS &&
                   MsiSetPropertyW(install, L"VizadHad", had) == ERROR_SUCCESS &&
                   MsiSetPropertyW(install, L"VizadSettings", settings) == ERROR_SUCCESS
               ? ERROR_SUCCESS
               : ERROR_INSTALL_FAILURE;
}

// Starts the open service and waits while it reports start-pending, at
// most kStartWithinMs; logs what came of it.
static void StartAndWait(MSIHANDLE install, SC_HANDLE service)
{
    wchar_t line[256];
    SERVICE_STATUS status = {};
    DWORD err = ERROR_SUCCESS;
    DWORD begin = GetTickCount();
    if (!StartServiceW(service, 0, NULL))
        err = GetLastError();
    else
        while (QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_START_PENDING &&
               GetTickCount() - begin < kStartWithinMs)
            Sleep(kPollMs);
    if (status.dwCurrentState == SERVICE_RUNNING)
        swprintf(line, sizeof line / sizeof line[0], L"VIZAD: service %ls started: running", kService);
    else
        swprintf(line, sizeof line / sizeof line[0],
                 L"VIZAD: service %ls did not start (error %lu, state %lu, exit code %lu, service's code %lu); "
                 L"this run goes on: rolling it back would not mend it",
                 kService, err, status.dwCurrentState, status.dwWin32ExitCode, status.dwServiceSpecificExitCode);
    Log(install, line);
}

// CustomActionData: VizadRun, '|', and the settings when they are carried.
extern "C" __declspec(dllexport) UINT __stdcall RestoreService(MSIHANDLE install)
{
    wchar_t data[kStateSize];
    wchar_t line[2 * kStateSize + 192];
    GetProperty(install, L"CustomActionData", data, kStateSize);
    bool start = data[0] == L'1';
    const wchar_t *settings = data[0] && data[1] == L'|' ? data + 2 : L"";
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, kService, SERVICE_CHANGE_CONFIG | SERVICE_QUERY_CONFIG |
                                                                      SERVICE_START | SERVICE_QUERY_STATUS)
                                : NULL;
    DWORD err = service ? ERROR_SUCCESS : GetLastError();
    if (!service) {
        swprintf(line, sizeof line / sizeof line[0], L"VIZAD: cannot open service %ls to set %ls again: error %lu",
                 kService, data, err);
        Log(install, line);
    } else if (settings[0] && !IsNewRegistration(service)) {
        // Read in the installing user's context: set only on a
        // registration that the older product's removal made anew.
        swprintf(line, sizeof line / sizeof line[0],
                 L"VIZAD: service %ls was not registered anew: its own settings stay as they are", kService);
        Log(install, line);
    } else if (settings[0]) {
        wchar_t dropped[kStateSize];
        err = RestoreServiceSettings(service, settings, dropped, kStateSize);
        if (err == ERROR_SUCCESS)
            swprintf(line, sizeof line / sizeof line[0],
                     L"VIZAD: service %ls keeps (account|failure flag|reset|actions|...) %ls", kService, settings);
        else
            swprintf(line, sizeof line / sizeof line[0],
                     L"VIZAD: cannot set %ls on service %ls again: error %lu; it is not started, since it would "
                     L"not run as it did",
                     settings, kService, err);
        Log(install, line);
        if (err != ERROR_SUCCESS)
            start = false;
        if (dropped[0]) {
            swprintf(line, sizeof line / sizeof line[0],
                     L"VIZAD: the recovery command of service %ls is not carried across the upgrade: set it "
                     L"again (sc.exe failure %ls command= ...): %ls",
                     kService, kService, dropped);
            Log(install, line);
        }
        const wchar_t *bar = wcschr(settings, L'|');
        if (err == ERROR_SUCCESS && bar && bar != settings) {
            wchar_t account[257];
            size_t n = (size_t)(bar - settings) < 256 ? (size_t)(bar - settings) : 256;
            wmemcpy(account, settings, n);
            account[n] = L'\0';
            if (AccountHasPassword(account)) {
                swprintf(line, sizeof line / sizeof line[0],
                         L"VIZAD: service %ls runs as %ls, whose password this upgrade from a release that "
                         L"deletes the service cannot keep: set it again (sc.exe config %ls password= ...); "
                         L"later upgrades keep it",
                         kService, account, kService);
                Log(install, line);
            }
        }
    }
    if (service && start)
        StartAndWait(install, service);
    if (service)
        CloseServiceHandle(service);
    if (manager)
        CloseServiceHandle(manager);
    return ERROR_SUCCESS;
}

// Rollback of RestoreService. CustomActionData: VizadRun and STOPTIMEOUT.
extern "C" __declspec(dllexport) UINT __stdcall StopStartedService(MSIHANDLE install)
{
    wchar_t data[32];
    DWORD seconds;
    GetProperty(install, L"CustomActionData", data, 32);
    if (data[0] != L'1' || data[1] != L'|' || !ParseNumber(data + 2, kMaxStopSeconds, &seconds))
        return ERROR_SUCCESS;
    StopAndWait(install, seconds, true);
    return ERROR_SUCCESS;
}

// Rollback of the whole run. CustomActionData: VizadRun and VizadHad; a
// service that the run found running, not one a first install made.
extern "C" __declspec(dllexport) UINT __stdcall StartAgainAfterFailure(MSIHANDLE install)
{
    wchar_t data[64];
    GetProperty(install, L"CustomActionData", data, 64);
    if (data[0] != L'1' || data[1] != L'|' || data[2] == L'|' || data[2] == L'\0')
        return ERROR_SUCCESS;
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, kService, SERVICE_START | SERVICE_QUERY_STATUS) : NULL;
    if (service) {
        StartAndWait(install, service);
        CloseServiceHandle(service);
    }
    if (manager)
        CloseServiceHandle(manager);
    return ERROR_SUCCESS;
}

// Deletes the service; with onlyNew, only one that looks as a registration
// just made. An error code; a service already gone is none.
static DWORD DeleteZuvo(MSIHANDLE install, bool onlyNew)
{
    wchar_t line[192];
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, kService, DELETE | SERVICE_QUERY_CONFIG) : NULL;
    DWORD err = ERROR_SUCCESS;
    if (!service)
        err = GetLastError();
    else if ((!onlyNew || IsNewRegistration(service)) && !DeleteService(service))
        err = GetLastError();
    if (service)
        CloseServiceHandle(service);
    if (manager)
        CloseServiceHandle(manager);
    // Gone already, or about to go: nothing left to do.
    if (err == ERROR_SERVICE_DOES_NOT_EXIST || err == ERROR_SERVICE_MARKED_FOR_DELETE)
        err = ERROR_SUCCESS;
    if (err == ERROR_SUCCESS)
        swprintf(line, sizeof line / sizeof line[0], L"VIZAD: service %ls deleted (%ls)", kService,
                 onlyNew ? L"the install that made it failed" : L"the product is removed for good");
    else
        swprintf(line, sizeof line / sizeof line[0], L"VIZAD: cannot delete service %ls: error %lu", kService, err);
    Log(install, line);
    return err;
}

// Rollback of InstallServices, on a first install (the sequence's
// condition): Windows Installer's own rollback deletes a service that it
// made, Wine's does not. CustomActionData: VizadHad, "|" when there was
// none when the run began.
extern "C" __declspec(dllexport) UINT __stdcall DeleteNewService(MSIHANDLE install)
{
    wchar_t data[48];
    GetProperty(install, L"CustomActionData", data, 48);
    if (wcscmp(data, L"|") == 0)
        DeleteZuvo(install, true);
    return ERROR_SUCCESS;
}

// MarkUpgrade and ClearUpgradeMark (immediate, just before and after
// RemoveExistingProducts, in an upgrade): Wine's msiexec removes the older
// product with a removal of its own that sets no UPGRADINGPRODUCTCODE.
// While the older product goes, HKLM\SOFTWARE\VIZAD's Upgrading names the
// newer one, and the older's removal (from 1.4.0 on) keeps the service.
// Windows Installer sets UPGRADINGPRODUCTCODE: a value that cannot be
// written (by a user without the right) is logged, not a failure.
static UINT SetUpgradeMark(MSIHANDLE install, bool set)
{
    HKEY key;
    LONG err = RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\VIZAD", 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL);
    if (err == ERROR_SUCCESS) {
        wchar_t code[40];
        GetProperty(install, L"ProductCode", code, 40);
        if (set)
            err = RegSetValueExW(key, L"Upgrading", 0, REG_SZ, reinterpret_cast<const BYTE *>(code),
                                 (DWORD)((wcslen(code) + 1) * sizeof(wchar_t)));
        else if ((err = RegDeleteValueW(key, L"Upgrading")) == ERROR_FILE_NOT_FOUND)
            err = ERROR_SUCCESS;
        RegCloseKey(key);
    }
    if (err != ERROR_SUCCESS) {
        wchar_t line[128];
        swprintf(line, sizeof line / sizeof line[0], L"VIZAD: cannot %ls the upgrade's mark: error %ld",
                 set ? L"set" : L"clear", err);
        Log(install, line);
    }
    return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall MarkUpgrade(MSIHANDLE install)
{
    return SetUpgradeMark(install, true);
}

extern "C" __declspec(dllexport) UINT __stdcall ClearUpgradeMark(MSIHANDLE install)
{
    return SetUpgradeMark(install, false);
}

// A removal for good only (the sequence's condition).
extern "C" __declspec(dllexport) UINT __stdcall DeleteServiceForGood(MSIHANDLE install)
{
    return DeleteZuvo(install, false) == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}
