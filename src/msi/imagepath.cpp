// The package's one custom action. Windows Installer registers the service
// from the ServiceInstall table with the key file's path as it is, and Wine's
// msiexec leaves that path unquoted: with blanks in it, the service manager
// could start C:\Program.exe in its place. This action, deferred and run as
// LocalSystem right after InstallServices, sets the registered path to the
// installed vizad.exe in double quotes through ChangeServiceConfig, which
// both the service manager and its registry take at once.
#include <windows.h>
#include <msiquery.h>
#include <wchar.h>

static const wchar_t kService[] = L"ZUVO";

// One line in the installer's log (msiexec /l*v).
static void Log(MSIHANDLE install, const wchar_t *text)
{
    MSIHANDLE record = MsiCreateRecord(1);
    if (!record)
        return;
    MsiRecordSetStringW(record, 0, text);
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
