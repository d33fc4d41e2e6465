// The package's custom actions.
//
// ConfigureService (deferred, as LocalSystem): Windows Installer registers
// the service from the ServiceInstall table with the key file's path, and
// Wine's msiexec leaves that path unquoted: with blanks in it, the service
// manager could start C:\Program.exe in its place. Right after
// InstallServices, this sets the registered path to the installed vizad.exe
// in double quotes, the start type (STARTTYPE) and the preshutdown timeout
// (PRESHUTDOWNTIMEOUT), which the ServiceInstall table cannot hold and Wine's
// msiexec has no MsiServiceConfig table for.
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
// SaveServiceState (immediate, before StopBeforeChanges) and RestoreService
// (deferred, after ConfigureService): the run ends with the service as it
// began. Whether it ran, or for a first install whether it starts with
// Windows, and what src/msi/state.cpp reads of its settings go to
// RestoreService's CustomActionData; RestoreService sets those again on the
// service that the upgrade registered anew, and starts it. A start that
// fails is logged and does not fail the run: rolling back cannot mend it.
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
// value is none of demand, auto and delayed-auto (sc.exe's words).
static bool ParseStartType(const wchar_t *text, DWORD *type, BOOL *delayed)
{
    *delayed = FALSE;
    if (wcscmp(text, L"demand") == 0)
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
        GetProperty(install, L"STARTTYPE", text, 16);
        if (!ParseStartType(text, &type, &delayed))
            AppendRefusal(refusal, 1024, L"STARTTYPE=%ls is refused: it is demand, auto or delayed-auto", text);
        GetProperty(install, L"PRESHUTDOWNTIMEOUT", text, 16);
        if (!ParseNumber(text, 0xFFFFFFFF, &number))
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

// CustomActionData: the installed vizad.exe ([#vizad.exe]), STARTTYPE and
// PRESHUTDOWNTIMEOUT, separated by '|', which no path holds.
extern "C" __declspec(dllexport) UINT __stdcall ConfigureService(MSIHANDLE install)
{
    wchar_t data[MAX_PATH + 48];
    wchar_t quoted[MAX_PATH + 2];
    wchar_t line[MAX_PATH + 192];
    DWORD type, preshutdown;
    BOOL delayed;
    GetProperty(install, L"CustomActionData", data, MAX_PATH + 48);
    wchar_t *start = wcschr(data, L'|');
    wchar_t *timeout = start ? wcschr(start + 1, L'|') : NULL;
    if (timeout) {
        *start++ = L'\0';
        *timeout++ = L'\0';
    }
    // A path that does not fit, or that holds a quote, cannot be quoted.
    if (!timeout || data[0] == L'\0' || wcschr(data, L'"') || !ParseStartType(start, &type, &delayed) ||
        !ParseNumber(timeout, 0xFFFFFFFF, &preshutdown)) {
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
                 quoted, start, preshutdown, err);
        Log(install, line);
        return ERROR_INSTALL_FAILURE;
    }
    swprintf(line, sizeof line / sizeof line[0], L"VIZAD: service %ls runs %ls, start %ls, preshutdown %lu ms",
             kService, quoted, start, preshutdown);
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

// RestoreService's data: 1 when the service is to be started at the end of
// the run, else 0, then '|' and the service's settings when it exists.
extern "C" __declspec(dllexport) UINT __stdcall SaveServiceState(MSIHANDLE install)
{
    wchar_t data[kStateSize] = L"0|";
    wchar_t line[kStateSize + 128];
    SERVICE_STATUS status;
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, kService, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS) : NULL;
    DWORD err = service ? ERROR_SUCCESS : GetLastError();
    if (service) {
        // Running, or on its way: it runs again. Stopped or stopping: not.
        if (!QueryServiceStatus(service, &status))
            err = GetLastError();
        else if (status.dwCurrentState != SERVICE_STOPPED && status.dwCurrentState != SERVICE_STOP_PENDING)
            data[0] = L'1';
        if (err == ERROR_SUCCESS)
            err = ReadServiceSettings(service, data + 2, kStateSize - 2);
        CloseServiceHandle(service);
    } else if (err == ERROR_SERVICE_DOES_NOT_EXIST) {
        // A first install starts a service that starts with Windows.
        wchar_t text[16];
        DWORD type;
        BOOL delayed;
        GetProperty(install, L"STARTTYPE", text, 16);
        if (ParseStartType(text, &type, &delayed) && type == SERVICE_AUTO_START)
            data[0] = L'1';
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
    swprintf(line, sizeof line / sizeof line[0], L"VIZAD: service %ls: started at the end %ls; kept (account|failure flag|reset|actions|...) %ls", kService,
             data[0] == L'1' ? L"yes" : L"no", data + 2);
    Log(install, line);
    return MsiSetPropertyW(install, L"RestoreService", data) == ERROR_SUCCESS ? ERROR_SUCCESS
                                                                             : ERROR_INSTALL_FAILURE;
}

// CustomActionData: what SaveServiceState wrote.
extern "C" __declspec(dllexport) UINT __stdcall RestoreService(MSIHANDLE install)
{
    wchar_t data[kStateSize];
    wchar_t line[kStateSize + 128];
    SERVICE_STATUS status = {};
    GetProperty(install, L"CustomActionData", data, kStateSize);
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service =
        manager ? OpenServiceW(manager, kService, SERVICE_CHANGE_CONFIG | SERVICE_START | SERVICE_QUERY_STATUS) : NULL;
    DWORD err = service ? ERROR_SUCCESS : GetLastError();
    if (!service) {
        swprintf(line, sizeof line / sizeof line[0], L"VIZAD: cannot open service %ls to set %ls again: error %lu",
                 kService, data, err);
        Log(install, line);
    } else if (data[1] == L'|' && data[2]) {
        err = RestoreServiceSettings(service, data + 2);
        if (err == ERROR_SUCCESS)
            swprintf(line, sizeof line / sizeof line[0], L"VIZAD: service %ls keeps (account|failure flag|reset|actions|...) %ls", kService, data + 2);
        else
            swprintf(line, sizeof line / sizeof line[0], L"VIZAD: cannot set %ls on service %ls again: error %lu",
                     data + 2, kService, err);
        Log(install, line);
        wchar_t *bar = wcschr(data + 2, L'|');
        if (err == ERROR_SUCCESS && bar && bar != data + 2) {
            *bar = L'\0';
            if (AccountHasPassword(data + 2)) {
                swprintf(line, sizeof line / sizeof line[0],
                         L"VIZAD: service %ls runs as %ls, whose password a new registration does not have: "
                         L"after an upgrade, set it again (sc.exe config %ls password= ...)",
                         kService, data + 2, kService);
                Log(install, line);
            }
        }
    }
    // Started and waited for while it reports start-pending, at most
    // kStartWithinMs; whatever comes of it, the run goes on.
    if (data[0] == L'1') {
        DWORD begin = GetTickCount();
        if (service && !StartServiceW(service, 0, NULL))
            err = GetLastError();
        else if (service)
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
    if (service)
        CloseServiceHandle(service);
    if (manager)
        CloseServiceHandle(manager);
    return ERROR_SUCCESS;
}
