// -install and -remove where the fake manager shows what the real one
// cannot be made to: a refusal of full access, as for a user who is not an
// administrator, and a preshutdown timeout that cannot be set.
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

// The preshutdown timeout is set right after the service is made; when it
// cannot be, the service stays registered with Windows' default, and the
// reason follows on a line of its own.
TEST_F(InstallUnitTest, InstallSetsThePreshutdownTimeoutOrSaysWhyNot)
{
    for (DWORD error : { (DWORD)ERROR_SUCCESS, (DWORD)ERROR_ACCESS_DENIED }) {
        SCOPED_TRACE("error " + std::to_string(error));
        SetUp();
        fake.managerOpens = true;
        fake.config2Error = error;
        // The program and every folder above it are Administrators' own.
        fake.securitySddl = "O:BAD:(A;;FA;;;SY)(A;;FA;;;BA)";
        std::string expected = "Ulvane Trelox ZUVO installed.\r\n";
        if (error != ERROR_SUCCESS)
            expected += ExpectedErrorText(error) + "\r\n";
        EXPECT_EQ(CaptureStdout(CmdInstallService), expected);
        EXPECT_EQ(fake.config2, (std::vector<std::pair<DWORD, DWORD>>{
                                    { SERVICE_CONFIG_PRESHUTDOWN_INFO, 180000 } }));
        EXPECT_EQ(fake.openServices, 0);
    }
}
