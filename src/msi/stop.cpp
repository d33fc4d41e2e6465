// The stops and waits.
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
#include <wchar.h>

#include "msi/action.h"

static const DWORD kStartWithinMs = 60000;

// Waits until the service has stopped and its process has ended, at most
// seconds; with stop, first asks a running service to stop (never one that
// is already stopping: Wine's service manager kills a service that is sent
// a second control while it stops). True when nothing runs, also when there
// is no service (a first install). A service that cannot be opened is
// logged; with stop (the immediate action, which may run with the
// installing user's rights) that is left to StopServices and the deferred
// wait, which runs as LocalSystem and fails on it.
bool StopAndWait(MSIHANDLE install, DWORD seconds, bool stop)
{
    const DWORD within = seconds * 1000;
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, kService, SERVICE_QUERY_STATUS | SERVICE_STOP) : NULL;
    DWORD err = service ? ERROR_SUCCESS : GetLastError();
    HANDLE process = NULL;
    bool stopped = true;
    if (!service && err != ERROR_SERVICE_DOES_NOT_EXIST) {
        Log(install, L"VIZAD: cannot open service %ls to stop it: error %lu", kService, err);
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
                    Log(install, L"VIZAD: service %ls asked to stop", kService);
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
        Log(install, L"VIZAD: service %ls is not running", kService);
    else
        Log(install,
            L"VIZAD: service %ls did not stop within %lu s (STOPTIMEOUT): no file in use is replaced, "
            L"this install or removal fails",
            kService, seconds);
    return stopped;
}

// Starts the open service and waits while it reports start-pending, at
// most kStartWithinMs; logs what came of it.
void StartAndWait(MSIHANDLE install, SC_HANDLE service)
{
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
        Log(install, L"VIZAD: service %ls started: running", kService);
    else
        Log(install,
            L"VIZAD: service %ls did not start (error %lu, state %lu, exit code %lu, service's code %lu); "
            L"this run goes on: rolling it back would not mend it",
            kService, err, status.dwCurrentState, status.dwWin32ExitCode, status.dwServiceSpecificExitCode);
}

// Stops or waits for as many seconds as the property holds; CheckSettings
// has refused any other value.
static UINT StopWithin(MSIHANDLE install, const wchar_t *property, bool stop)
{
    wchar_t text[16];
    DWORD seconds;
    GetProperty(install, property, text, 16);
    if (!ParseNumber(text, kMaxSeconds, &seconds))
        return ERROR_INSTALL_FAILURE;
    return StopAndWait(install, seconds, stop) ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

VIZAD_ACTION StopBeforeChanges(MSIHANDLE install)
{
    return StopWithin(install, L"STOPTIMEOUT", true);
}

// CustomActionData: STOPTIMEOUT.
VIZAD_ACTION WaitForServiceEnd(MSIHANDLE install)
{
    return StopWithin(install, L"CustomActionData", false);
}
