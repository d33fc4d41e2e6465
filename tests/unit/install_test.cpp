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
// -install set the preshutdown timeout right after it made the service;
// when that is refused, the service stays registered with Windows' default,
// and the reason follows on a line of its own.
TEST_F(InstallUnitTest, RefusedManagerEndsBothCommandsWithText8)
{
    // The test program's own path, wherever the checkout lies, is
    // Administrators' own to the fake.
    char self[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(NULL, self, MAX_PATH), 0u);
    const struct {
        const char *name;
        bool opens;
        DWORD config2Error;
        void (*command)(void);
        std::string out;
        size_t config2Calls;
    } cases[] = {
        { "install, refused", false, ERROR_SUCCESS, CmdInstallService,
          "OpenSCManager failed - " + ExpectedErrorText(ERROR_ACCESS_DENIED) + "\r\n", 0 },
        { "remove, refused", false, ERROR_SUCCESS, CmdRemoveService,
          "OpenSCManager failed - " + ExpectedErrorText(ERROR_ACCESS_DENIED) + "\r\n", 0 },
        { "install", true, ERROR_SUCCESS, CmdInstallService, "Ulvane Trelox ZUVO installed.\r\n", 1 },
        { "install, timeout refused", true, ERROR_ACCESS_DENIED, CmdInstallService,
          "Ulvane Trelox ZUVO installed.\r\n" + ExpectedErrorText(ERROR_ACCESS_DENIED) + "\r\n", 1 },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        fake.cleanTree = self;
        fake.managerOpens = c.opens;
        fake.config2Error = c.config2Error;
        EXPECT_EQ(CaptureStdout(c.command), c.out);
        using Calls = std::vector<std::pair<DWORD, DWORD>>;
        EXPECT_EQ(fake.config2, Calls(c.config2Calls, { SERVICE_CONFIG_PRESHUTDOWN_INFO, 180000 }));
        EXPECT_EQ(fake.openServices, 0);
        EXPECT_TRUE(FakeReports().empty());
        EXPECT_TRUE(fake.events.empty());  // commands print, they never log
    }
}
