// -install and -remove where the fake manager shows what the real one
// cannot be made to.
#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include <functional>

#include "../e2e/harness.h"
#include "host_fixture.h"

// What the command printed to standard output.
static std::string CaptureStdout(const std::function<void()> &command)
{
    std::string path = NewTestDir("capture") + "\\stdout.txt";
    fflush(stdout);
    int saved = _dup(1);
    FILE *file = fopen(path.c_str(), "w");  // text mode, as a console program's stdout
    if (saved < 0 || file == nullptr)
        return "(no capture)";
    _dup2(_fileno(file), 1);
    command();
    fflush(stdout);
    _dup2(saved, 1);
    _close(saved);
    fclose(file);
    return ReadTextFile(path);
}

using InstallUnitTest = HostTest;

// A manager that refuses full access, as to a user who is not an
// administrator, ends both commands with text 8. One that opens lets
// -install set the preshutdown timeout and the event source (the program's
// path) after it made the service; either refused, the service stays, the
// reason follows on a line of its own; a service that exists already keeps
// the source it has. -remove waits for a stop already pending, a dot a
// second, and takes the source away only from a service that has stopped.
// The code printed is the exit code.
TEST_F(InstallUnitTest, RefusedManagerEndsBothCommandsWithText8)
{
    // The test program's own path, wherever the checkout lies, is
    // Administrators' own to the fake.
    char self[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(NULL, self, MAX_PATH), 0u);
    const std::string denied = ExpectedErrorText(ERROR_ACCESS_DENIED) + "\r\n";
    const std::string installed = "Ulvane Trelox ZUVO installed.\r\n";
    const struct {
        const char *name;
        bool opens;
        DWORD config2Error;
        DWORD (*command)(void);
        std::string out;
        size_t config2Calls;
        DWORD code;
        DWORD sourceError = ERROR_SUCCESS;
        DWORD createError = ERROR_SUCCESS;
        std::vector<DWORD> states = {};  // -remove: the service's, query by query
        bool sourceRemoved = false;
    } cases[] = {
        { "install, refused", false, ERROR_SUCCESS, CmdInstallService, "OpenSCManager failed - " + denied, 0,
          ERROR_ACCESS_DENIED },
        { "remove, refused", false, ERROR_SUCCESS, CmdRemoveService, "OpenSCManager failed - " + denied, 0,
          ERROR_ACCESS_DENIED },
        { "install", true, ERROR_SUCCESS, CmdInstallService, installed, 1, 0 },
        { "install, timeout refused", true, ERROR_ACCESS_DENIED, CmdInstallService, installed + denied, 1,
          ERROR_ACCESS_DENIED },
        { "install, event source refused", true, ERROR_SUCCESS, CmdInstallService,
          installed + ExpectedErrorText(ERROR_KEY_DELETED) + "\r\n", 1, ERROR_KEY_DELETED, ERROR_KEY_DELETED },
        { "remove, service not opened", true, ERROR_SUCCESS, CmdRemoveService, "OpenService failed - " + denied,
          0, ERROR_ACCESS_DENIED },
        { "install, the service exists", true, ERROR_SUCCESS, CmdInstallService,
          "CreateService failed - " + ExpectedErrorText(ERROR_SERVICE_EXISTS) + "\r\n", 0,
          ERROR_SERVICE_EXISTS, ERROR_SUCCESS, ERROR_SERVICE_EXISTS },
        { "remove, a stop already pending", true, ERROR_SUCCESS, CmdRemoveService,
          "Stopping Ulvane Trelox ZUVO.\r\nUlvane Trelox ZUVO stopped.\r\nUlvane Trelox ZUVO removed.\r\n", 0, 0,
          ERROR_SUCCESS, ERROR_SUCCESS, { SERVICE_STOP_PENDING, SERVICE_STOP_PENDING, SERVICE_STOPPED }, true },
        { "remove, still running", true, ERROR_SUCCESS, CmdRemoveService, "Ulvane Trelox ZUVO removed.\r\n", 0, 0,
          ERROR_SUCCESS, ERROR_SUCCESS, { SERVICE_RUNNING } },
        { "remove, event source refused", true, ERROR_SUCCESS, CmdRemoveService,
          "Ulvane Trelox ZUVO removed.\r\n" + denied, 0, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, ERROR_SUCCESS,
          { SERVICE_STOPPED }, true },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        fake.cleanTree = self;
        fake.managerOpens = c.opens;
        fake.config2Error = c.config2Error;
        fake.installSourceError = c.sourceError;
        fake.removeSourceError = c.sourceError;
        fake.createError = c.createError;
        fake.serviceStates = c.states;
        DWORD code = 0xdeadbeef;
        EXPECT_EQ(CaptureStdout([&] { code = c.command(); }), c.out);
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(fake.messageFile, c.config2Calls ? self : "");
        using Calls = std::vector<std::pair<DWORD, DWORD>>;
        EXPECT_EQ(fake.config2, Calls(c.config2Calls, { SERVICE_CONFIG_PRESHUTDOWN_INFO, 180000 }));
        EXPECT_EQ(fake.openServices, 0);
        EXPECT_TRUE(FakeReports().empty());
        EXPECT_TRUE(fake.events.empty());  // commands print, they never log
        EXPECT_EQ(fake.sourceRemoved, c.sourceRemoved);
    }
}
