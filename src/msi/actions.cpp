// The package's custom actions, deferred and run as LocalSystem.
//
// SetQuotedImagePath: Windows Installer registers the service from the
// ServiceInstall table with the key file's path, and Wine's msiexec leaves
// that path unquoted: with blanks in it, the service manager could start
// C:\Program.exe in its place. Right after InstallServices, this sets the
// registered path to the installed vizad.exe in double quotes through
// ChangeServiceConfig, which the service manager takes at once.
//
// LogRefusals: Wine's LaunchConditions refuses an install without writing
// the condition's message to the log. Just before it, this writes the
// message of every launch condition that is false, so that the log says why
// (a root that the host would refuse, a downgrade).
//
// WaitForServiceEnd: Wine's StopServices asks the service to stop and goes
// on at once, so vizad.exe is still running when RemoveFiles comes and stays
// behind. Right after StopServices, this waits until the service has
// stopped and its process has ended (as Windows Installer's own wait does).
#include <windows.h>
#include <msiquery.h>
#include <wchar.h>

static const wchar_t kService[] = L"ZUVO";
// As long as Windows Installer waits for a service to stop.
static const DWORD kStopWithinMs = 30000;
static const DWORD kPollMs = 250;

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

// CustomActionData: the installed vizad.exe ([#vizad.exe]).
extern "C" __declspec(dllexport) UINT __stdcall SetQuotedImagePath(MSIHANDLE install)
{
    wchar_t path[MAX_PATH];
    wchar_t quoted[MAX_PATH + 2];
    wchar_t line[MAX_PATH + 128];
    DWORD size = MAX_PATH;
    // A path that does not fit, or that holds a quote, cannot be quoted.
    if (MsiGetPropertyW(install, L"CustomActionData", path, &size) != ERROR_SUCCESS ||
        path[0] == L'\0' || wcschr(path, L'"')) {
        Log(install, L"VIZAD: no usable path of vizad.exe to register");
        return ERROR_INSTALL_FAILURE;
    }
    swprintf(quoted, MAX_PATH + 2, L"\"%ls\"", path);

    DWORD err = ERROR_SUCCESS;
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
    if (!ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                              quoted, NULL, NULL, NULL, NULL, NULL, NULL))
        err = GetLastError();
done:
    if (service)
        CloseServiceHandle(service);
    if (manager)
        CloseServiceHandle(manager);
    if (err != ERROR_SUCCESS) {
        swprintf(line, sizeof line / sizeof line[0],
                 L"VIZAD: cannot register %ls as the path of service %ls: error %lu", quoted, kService, err);
        Log(install, line);
        return ERROR_INSTALL_FAILURE;
    }
    swprintf(line, sizeof line / sizeof line[0], L"VIZAD: service %ls runs %ls", kService, quoted);
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

extern "C" __declspec(dllexport) UINT __stdcall WaitForServiceEnd(MSIHANDLE install)
{
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, kService, SERVICE_QUERY_STATUS) : NULL;
    HANDLE process = NULL;
    bool stopped = true;
    // No service (a first install), nothing to wait for.
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
            if (GetTickCount() - start >= kStopWithinMs)
                break;
            Sleep(kPollMs);
        }
        if (process) {
            DWORD spent = GetTickCount() - start;
            if (WaitForSingleObject(process, spent < kStopWithinMs ? kStopWithinMs - spent : 0) != WAIT_OBJECT_0)
                stopped = false;
            CloseHandle(process);
        }
        CloseServiceHandle(service);
    }
    if (manager)
        CloseServiceHandle(manager);
    // Not fatal: Windows Installer handles files still in use itself.
    wchar_t line[64];
    if (stopped)
        swprintf(line, sizeof line / sizeof line[0], L"VIZAD: service %ls is not running", kService);
    else
        swprintf(line, sizeof line / sizeof line[0], L"VIZAD: service %ls still runs after %lu s",
                 kService, kStopWithinMs / 1000);
    Log(install, line);
    return ERROR_SUCCESS;
}
