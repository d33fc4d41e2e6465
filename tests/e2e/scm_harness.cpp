#include "scm_harness.h"

#include <stdlib.h>
#include <string.h>

#include "harness.h"

#include <gtest/gtest.h>

std::string ServiceRoot()
{
    const char *root = getenv("ZOVOVEV");
    return root ? root : "C:\\vizad-up\\two\\vizad&service";
}

static SC_HANDLE OpenTestService(SC_HANDLE *manager)
{
    *manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (*manager == NULL)
        return NULL;
    SC_HANDLE service = OpenServiceA(*manager, TEST_SERVICE, SERVICE_ALL_ACCESS);
    if (service == NULL) {
        CloseServiceHandle(*manager);
        *manager = NULL;
    }
    return service;
}

bool QueryTestService(SERVICE_STATUS *status)
{
    SC_HANDLE manager;
    SC_HANDLE service = OpenTestService(&manager);
    if (service == NULL)
        return false;
    // The extended query, as fleet tools read it; its first fields are the
    // plain record.
    SERVICE_STATUS_PROCESS process;
    DWORD needed;
    BOOL ok = QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (LPBYTE)&process,
                                   sizeof process, &needed);
    if (ok)
        memcpy(status, &process, sizeof *status);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return ok != FALSE;
}

bool WaitForServiceState(DWORD state, DWORD timeoutMs, SERVICE_STATUS *status)
{
    SERVICE_STATUS last = {};
    bool reached = WaitFor([&] { return QueryTestService(&last) && last.dwCurrentState == state; },
                           timeoutMs);
    if (status)
        *status = last;
    return reached;
}

bool StartTestService()
{
    SC_HANDLE manager;
    SC_HANDLE service = OpenTestService(&manager);
    if (service == NULL)
        return false;
    BOOL ok = StartServiceA(service, 0, NULL);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return ok != FALSE;
}

bool ControlTestService(DWORD control, SERVICE_STATUS *status)
{
    SC_HANDLE manager;
    SC_HANDLE service = OpenTestService(&manager);
    if (service == NULL)
        return false;
    BOOL ok = ControlService(service, control, status);
    DWORD err = GetLastError();
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    SetLastError(err);
    return ok != FALSE;
}

void RemoveLeftoverService()
{
    SC_HANDLE manager;
    SC_HANDLE service = OpenTestService(&manager);
    if (service != NULL) {
        SERVICE_STATUS status;
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        WaitForServiceState(SERVICE_STOPPED, 30000);
        DeleteService(service);
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
    }
    // Wine keeps the name while the old process is still ending.
    WaitFor([] { return CountProcesses("vizad.exe") == 0; }, 30000);
    WaitFor([] {
        SC_HANDLE m;
        SC_HANDLE s = OpenTestService(&m);
        if (s == NULL)
            return true;
        CloseServiceHandle(s);
        CloseServiceHandle(m);
        return false;
    }, 30000);
}

bool RegisterTestService(const std::string &binaryPath)
{
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (manager == NULL)
        return false;
    SC_HANDLE service = CreateServiceA(manager, TEST_SERVICE, "Ulvane Trelox ZUVO",
                                       SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                       binaryPath.c_str(), NULL, NULL, "", NULL, NULL);
    if (service)
        CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return service != NULL;
}

void ExpectServiceStatus(const SERVICE_STATUS &s, DWORD state, DWORD exitCode,
                         DWORD checkPoint)
{
    EXPECT_EQ(s.dwServiceType, (DWORD)SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(s.dwCurrentState, state);
    // Stop and preshutdown while it runs or stops; nothing once stopped.
    EXPECT_EQ(s.dwControlsAccepted, state == SERVICE_STOPPED
                                        ? 0u
                                        : (DWORD)(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN));
    EXPECT_EQ(s.dwWin32ExitCode, exitCode);
    EXPECT_EQ(s.dwServiceSpecificExitCode, 0u);
    EXPECT_EQ(s.dwCheckPoint, checkPoint);
    EXPECT_EQ(s.dwWaitHint, 0u);
}

bool EndServiceRun(const Installation &inst)
{
    if (!inst.event.empty())
        StopServer(inst);
    RemoveLeftoverService();
    return WaitFor([] { return CountProcesses("fixture.exe") == 0; }, 30000) &&
           CountProcesses("vizad.exe") == 0;
}

DWORD TestServicePid()
{
    SC_HANDLE manager;
    SC_HANDLE service = OpenTestService(&manager);
    if (service == NULL)
        return 0;
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed;
    BOOL ok = QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (LPBYTE)&status,
                                   sizeof status, &needed);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return ok ? status.dwProcessId : 0;
}

// The text of the log file that the variable names ("" without one).
static std::string LogNamedBy(const char *variable)
{
    const char *path = getenv(variable);
    return path ? ReadTextFile(path) : std::string();
}

static std::vector<std::string> EventStringsInLogSince(const char *variable, size_t offset)
{
    std::string log = LogNamedBy(variable);
    return EventStringsIn(log.substr(offset > log.size() ? 0 : offset));
}

size_t EventLogOffset() { return LogNamedBy("VIZAD_SESSION_LOG").size(); }

std::vector<std::string> EventStringsSince(size_t offset)
{
    return EventStringsInLogSince("VIZAD_SESSION_LOG", offset);
}

size_t OwnEventLogOffset() { return LogNamedBy("VIZAD_STDERR_LOG").size(); }

std::vector<std::string> OwnEventStringsSince(size_t offset)
{
    return EventStringsInLogSince("VIZAD_STDERR_LOG", offset);
}

// Wine prints each string of an entry on its own line of the channel, an
// error's as err, an information entry's as trace:
//   0124:err:eventlog:ReportEventW L"ZUVO error: 5\n"
std::vector<std::string> EventStringsIn(const std::string &log)
{
    std::vector<std::string> strings;
    static const char kMark[] = ":eventlog:ReportEventW L\"";
    for (size_t at = log.find(kMark); at != std::string::npos;
         at = log.find(kMark, at + 1)) {
        std::string text;
        for (size_t i = at + sizeof kMark - 1; i < log.size() && log[i] != '\n'; i++) {
            if (log[i] == '"' && (i + 1 == log.size() || log[i + 1] == '\n'))
                break;
            if (log[i] == '\\' && i + 1 < log.size()) {
                char c = log[++i];
                text += c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
            } else {
                text += log[i];
            }
        }
        strings.push_back(text);
    }
    return strings;
}
