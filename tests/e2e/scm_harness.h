// Helpers for the tests that drive Wine's own service control manager.
#ifndef VIZAD_TESTS_E2E_SCM_HARNESS_H
#define VIZAD_TESTS_E2E_SCM_HARNESS_H

#include <windows.h>

#include "processes.h"

#include <string>
#include <vector>

#define TEST_SERVICE "ZUVO"

// The installation every service run uses: the session's ZOVOVEV.
std::string ServiceRoot();

// Deletes a registration left by an earlier run (stopping it first) and
// waits until the manager has let go of the name.
void RemoveLeftoverService();
// Registers vizad.exe (or binaryPath) as the service the way -install does.
bool RegisterTestService(const std::string &binaryPath);

bool QueryTestService(SERVICE_STATUS *status);
bool WaitForServiceState(DWORD state, DWORD timeoutMs, SERVICE_STATUS *status = nullptr);
bool StartTestService();
bool ControlTestService(DWORD control, SERVICE_STATUS *status);

struct Installation;
// Ends whatever a service case left: the installation's servers, the
// service and its registration. True once no host or server process is left.
bool EndServiceRun(const Installation &inst);

// Checks every field of a status the host reported: its own process, stop
// and preshutdown accepted (nothing once stopped), no service-specific code
// and no wait hint in these states.
void ExpectServiceStatus(const SERVICE_STATUS &s, DWORD state, DWORD exitCode,
                         DWORD checkPoint = 0);

// The service's process id as the manager reports it (0: none).
DWORD TestServicePid();

// Event-log entries that Wine wrote on its channel since offset, as the
// strings each entry carried (C escapes undone): for services, in the
// session's log; for the test's own children, in the test's standard error.
size_t EventLogOffset();
std::vector<std::string> EventStringsSince(size_t offset);
size_t OwnEventLogOffset();
std::vector<std::string> OwnEventStringsSince(size_t offset);
std::vector<std::string> EventStringsIn(const std::string &channelText);

#endif
