// -install and -remove when the manager cannot be opened: the fake refuses
// full access, as a manager does for a user who is not an administrator.
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

TEST_F(InstallUnitTest, RefusedManagerEndsBothCommandsWithText8)
{
    // The test program's own path, wherever the checkout lies, is
    // Administrators' own to the fake.
    char self[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(NULL, self, MAX_PATH), 0u);
    fake.cleanTree = self;
    std::string expected =
        "OpenSCManager failed - " + ExpectedErrorText(ERROR_ACCESS_DENIED) + "\r\n";
    for (auto command : { CmdInstallService, CmdRemoveService })
        EXPECT_EQ(CaptureStdout(command), expected);
    EXPECT_TRUE(FakeReports().empty());
    EXPECT_TRUE(fake.events.empty());  // commands print, they never log
}
