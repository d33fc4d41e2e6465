// Bad input to the host's own routines: odd roots, long texts, odd ids and
// command lines. Every case ends with a clear outcome and nothing written
// past a buffer.
#include <thread>
#include <vector>

#include "../e2e/harness.h"
#include "host_fixture.h"

using RobustnessTest = HostTest;

TEST_F(RobustnessTest, OddRootsAreReportedNotFoundWithTheTextCut)
{
    struct Case {
        std::string name;
        std::string root;
    };
    // A present but empty root is tested end to end: the C runtime's
    // _putenv cannot make one.
    std::vector<Case> cases = {
        { "one character", "Q" },
        { "blanks", "C:\\no such\\place here" },
        { "tabs", "C:\\no\tsuch" },
        { "ANSI bytes", "C:\\caf\xE9\\\xA7\xFF" },
        { "trailing backslash", "C:\\nowhere\\" },
        { "relative", "nowhere\\inst" },
        { "forward slashes", "C:/nowhere/inst" },
        { "UNC", "\\\\nosuchhost\\share" },
        { "percent signs", "C:\\%s%s%d%n" },
    };
    for (size_t len : { 243u, 244u, 255u, 256u, 300u, 1000u, 32000u })
        cases.push_back({ std::to_string(len) + " characters", "C:\\" + std::string(len - 3, 'r') });

    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        SetRoot(c.root.c_str());
        ServiceStart(0, nullptr);
        std::string path = c.root + SCRIPT_SUFFIX;
        ASSERT_NE(qelctl, nullptr);
        EXPECT_EQ(std::string(qelctl), path);
        std::vector<EventEntry> events = FakeEvents();
        ASSERT_EQ(events.size(), 1u);
        std::string text = path + " not found.\n";
        EXPECT_EQ(events[0].strings[1], text.substr(0, MSG_SIZE - 1));
        EXPECT_NE(dwErr, 0u);
        EXPECT_EQ(FakeReports().back().dwCurrentState, (DWORD)SERVICE_RUNNING);
    }
}

TEST_F(RobustnessTest, ScriptTroublesBeforeTheStart)
{
    std::string dir = NewTestDir("robust");
    // A script of a lone line end is readable and runs as an empty batch:
    // the run instance ends at once, by itself, and so does the start
    // routine, with the entry that says so and the script's code. Its
    // folder, café, has a letter that code page 1252 spells exactly.
    const std::string blank = dir + "\\caf\xE9";
    MakeDirs(blank + "\\bin");
    WriteTextFile(blank + "\\bin\\revaduzeza.bat", "\r\n");
    // A zero-byte script runs through cmd.exe as an empty batch too.
    MakeDirs(dir + "\\empty\\bin");
    WriteTextFile(dir + "\\empty\\bin\\revaduzeza.bat", "");
    // "bin" is a file: the script cannot exist below it.
    MakeDirs(dir + "\\binfile");
    WriteTextFile(dir + "\\binfile\\bin", "not a folder");

    for (const std::string &root : { blank, dir + "\\empty" }) {
        SetUp();
        SetRoot(root.c_str());
        ServiceStart(0, nullptr);
        std::vector<EventEntry> ended = FakeEvents();
        ASSERT_EQ(ended.size(), 1u) << root;
        EXPECT_EQ(ended[0].strings[1], root + "\\bin\\revaduzeza.bat ended by itself with exit code 0.\n");
        EXPECT_EQ(dwErr, 0u) << root;
    }

    SetUp();
    SetRoot((dir + "\\binfile").c_str());
    ServiceStart(0, nullptr);
    std::vector<EventEntry> events = FakeEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].strings[1], dir + "\\binfile\\bin\\revaduzeza.bat not found.\n");
    EXPECT_NE(dwErr, 0u);
}

TEST_F(RobustnessTest, ManyStopRequestsAtOnce)
{
    // Stop requests race each other and the start routine; each starts one
    // stop instance, the path is formed once, the event is signalled safely.
    Installation inst = MakeInstallation(NewTestDir("robust-many") + "\\inst", "", "rem");
    SetRoot(inst.root.c_str());
    std::thread start([] { ServiceStart(0, nullptr); });
    ASSERT_TRUE(WaitForServer(inst));
    std::vector<std::thread> stops;
    for (int i = 0; i < 20; i++)
        stops.emplace_back([] { ServiceStop(); });
    for (std::thread &t : stops)
        t.join();
    EXPECT_TRUE(WaitFor([&] { return CountCalls(inst, "stop") == 20; }, 60000));
    EXPECT_TRUE(ServerRunning(inst));  // this stop instance leaves the servers alone

    ASSERT_TRUE(StopServer(inst));
    start.join();
    EXPECT_EQ(CountCalls(inst, "run"), 1u);
}

TEST_F(RobustnessTest, OddIdsAndCommandLines)
{
    char buf[MSG_SIZE];
    // 0x100000 would name block 1 once cut to 16 bits: text 0.
    for (int id : { 15, 100, 65535, 65536, 0x100000, -2147483647 - 1 }) {
        GetResourceString(id, buf, MSG_SIZE);
        EXPECT_EQ(std::string(buf), "Unable to find resource id " + std::to_string(id));
    }
    GetResourceString(0, buf, 1);
    EXPECT_STREQ(buf, "");

    std::string longArg(10000, 'x');
    std::string longOption = "-debug" + std::string(10000, ' ');
    std::string longPrefix = "-" + std::string(10000, 'd');
    std::vector<char *> many;
    many.push_back(const_cast<char *>("vizad.exe"));
    many.push_back(const_cast<char *>("/DeBuG"));
    for (int i = 0; i < 5000; i++)
        many.push_back(const_cast<char *>("-install"));
    struct { std::vector<char *> argv; HostCommand expected; } cases[] = {
        { { const_cast<char *>("vizad.exe"), &longArg[0] }, CMD_SERVICE },
        { { const_cast<char *>("vizad.exe"), &longOption[0] }, CMD_SERVICE },
        { { const_cast<char *>("vizad.exe"), &longPrefix[0] }, CMD_SERVICE },
        { many, CMD_DEBUG },
    };
    for (auto &c : cases)
        EXPECT_EQ(FindHostCommand((int)c.argv.size(), c.argv.data()), c.expected);
}

// Each start seeds the stack guard afresh: two starts of a program with the
// host's start-up code get two values, neither 0 nor the fixed fallback.
TEST(StackGuard, EachStartGetsItsOwnValue)
{
    char fallback[32];
    snprintf(fallback, sizeof fallback, "%llx\n",
             (unsigned long long)(uintptr_t)0x2B992DDFA23249D6ULL);
    std::vector<std::string> seen;
    for (int start = 0; start < 2; start++) {
        Child child = StartProgram(FixturePath(), "guard", {}, false);
        Outcome outcome = FinishChild(child);
        ASSERT_TRUE(outcome.exited);
        ASSERT_EQ(outcome.exitCode, 0u);
        ASSERT_FALSE(outcome.out.empty());
        EXPECT_NE(outcome.out, Crlf("0\n"));
        EXPECT_NE(outcome.out, Crlf(fallback));
        seen.push_back(outcome.out);
    }
    EXPECT_NE(seen[0], seen[1]);
}
