// The console run of vizad.exe -debug, end to end under Wine.
#include <gtest/gtest.h>

#include "harness.h"

static const char kDebugging[] = "Debugging Ulvane Trelox ZUVO.\n";

TEST(ConsoleRun, CtrlCOnTheConsoleStopsTheServersAndEnds)
{
    Installation inst = MakeInstallation(NewTestDir("ctrlc") + "\\inst");
    Child child = StartVizad("-debug", { "ZOVOVEV=" + inst.root });
    ASSERT_NE(child.process, (HANDLE)NULL);
    ASSERT_TRUE(WaitForServer(inst));
    ASSERT_TRUE(SendCtrlC(child));
    Outcome outcome = FinishChild(child);
    EXPECT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.exitCode, 0u);
    EXPECT_EQ(outcome.out, Crlf(std::string(kDebugging) + "Stopping Ulvane Trelox ZUVO"));
    EXPECT_EQ(CountCalls(inst, "stop"), 1u);
    EXPECT_TRUE(WaitFor([&] { return !ServerRunning(inst); }, 10000));
}

TEST(ConsoleRun, EachSigintStartsOneStopInstance)
{
    // The first stop instance leaves the servers running, the second stops them.
    Installation inst = MakeInstallation(NewTestDir("sigint") + "\\inst", "",
        "if exist \"%~dp0armed\" %FIXTURE% stop %EVENT%\r\n"
        "echo.>\"%~dp0armed\"");
    std::string marker = NewMarker();
    Child child = StartVizad("-debug " + marker, { "ZOVOVEV=" + inst.root });
    ASSERT_TRUE(WaitForServer(inst));
    ASSERT_TRUE(SendSigint(marker));
    ASSERT_TRUE(WaitFor([&] { return FileExists(inst.root + "\\bin\\armed"); }, 30000));
    EXPECT_TRUE(ServerRunning(inst));
    ASSERT_TRUE(SendSigint(marker));
    Outcome outcome = FinishChild(child);
    EXPECT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.exitCode, 0u);
    EXPECT_EQ(outcome.out, Crlf(std::string(kDebugging) + "Stopping Ulvane Trelox ZUVO" +
                                "Stopping Ulvane Trelox ZUVO"));
    EXPECT_EQ(CountCalls(inst, "stop"), 2u);
    EXPECT_EQ(CountCalls(inst, "run"), 1u);
}
