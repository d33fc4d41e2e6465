// The real vizad.exe under bad input, faults and load: unusable standard
// output, overlong roots and command lines, stop instances that do not stop
// the servers, repeated controls, and programs planted where an unquoted
// service path would find them.
#include <gtest/gtest.h>

#include "harness.h"
#include "scm_harness.h"

#include <psapi.h>  // after windows.h, which it needs

static const size_t kTextBuffer = 256;  // the host composes text 1 in a buffer this size

// Ends what a console case left running when it stopped early: the servers
// first, as they hold the host's output.
static void EndLeftovers(Child &child, const Installation &inst)
{
    if (child.process == NULL)
        return;
    StopServer(inst);
    FinishChild(child, 5000);
}

static bool EventExists(const std::string &name)
{
    HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, name.c_str());
    if (event == NULL)
        return false;
    CloseHandle(event);
    return true;
}

// Printing to an output that takes nothing must not change the course of
// the run: the host ends with 0, and a stop still runs the stop instance.
// No console of its own: with one, a NULL standard output would be replaced
// by the new console's. Under Wine INVALID_HANDLE_VALUE reaches the child
// as NULL.
TEST(RobustConsole, UnusableStandardOutput)
{
    const struct {
        const char *name;
        StdOut out;
        bool installed;  // false: ZOVOVEV unset, the host prints text 0 and ends
    } cases[] = {
        { "NULL, root unset", StdOut::Null, false },
        { "INVALID_HANDLE_VALUE, root unset", StdOut::Invalid, false },
        { "pipe without reader, root unset", StdOut::ClosedPipe, false },
        { "NULL, stopped by SIGINT", StdOut::Null, true },
        { "INVALID_HANDLE_VALUE, stopped by SIGINT", StdOut::Invalid, true },
        { "pipe without reader, stopped by SIGINT", StdOut::ClosedPipe, true },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Installation inst;
        std::string marker = NewMarker();
        EnvChanges env = { "ZOVOVEV" };
        if (c.installed) {
            inst = MakeInstallation(NewTestDir("bad-stdout") + "\\inst");
            env = { "ZOVOVEV=" + inst.root };
        }
        Child child = StartProgram(VizadPath(), "-debug " + marker, env, false, c.out);
        OnExit leftovers([&] { EndLeftovers(child, inst); });
        ASSERT_NE(child.process, (HANDLE)NULL);
        if (c.installed) {
            ASSERT_TRUE(WaitForServer(inst));
            ASSERT_TRUE(SendSigint(marker));
        }
        Outcome outcome = FinishChild(child);
        EXPECT_TRUE(outcome.exited);
        EXPECT_EQ(outcome.exitCode, 0u);
        if (c.installed) {
            EXPECT_EQ(CountCalls(inst, "run"), 1u);
            EXPECT_EQ(CountCalls(inst, "stop"), 1u);
            EXPECT_TRUE(WaitFor([&] { return !ServerRunning(inst); }, 10000));
        }
    }
}

// Text 1 is composed in a buffer of 256 bytes and printed as it stands: a
// longer text is cut to its first 255 characters, line end included or not.
TEST(RobustConsole, LongRootIsPrintedCutToTheTextBuffer)
{
    // 224 fills the buffer exactly; from 225 on the line end is cut off.
    // 32,000 is close to the longest value the environment can hold.
    for (size_t len : { 224u, 225u, 300u, 1000u, 32000u }) {
        SCOPED_TRACE(std::to_string(len) + " characters");
        std::string root = "C:\\" + std::string(len - 3, 'r');  // no such folder
        Outcome outcome = RunVizad("-debug", { "ZOVOVEV=" + root });
        EXPECT_TRUE(outcome.exited);
        EXPECT_EQ(outcome.exitCode, 0u);
        std::string text = root + kSuffix + " not found.\n";
        std::string expected = Crlf(kDebugging + text.substr(0, kTextBuffer - 1));
        EXPECT_EQ(outcome.out, expected) << "output of " << outcome.out.size() << " bytes";
    }
}

// Only the first argument counts, however long it is or however many
// follow it. The dispatcher fails from a console.
TEST(RobustCommandLine, LongOrManyArgumentsTakeTheServicePath)
{
    std::string many = "service";
    for (int i = 1; i < 2000; i++)
        many += " -debug";
    const struct {
        const char *name;
        std::string args;
    } cases[] = {
        // An option word at its start must not be taken for the option.
        { "first argument of 10,000 characters", "-debug" + std::string(9994, 'x') },
        { "2,000 arguments", many },
    };
    // The dispatcher can take seconds to give up, so the cases run at once.
    std::vector<Child> children;
    for (const auto &c : cases)
        children.push_back(StartVizad(c.args, { "ZOVOVEV" }));
    for (size_t i = 0; i < children.size(); i++) {
        SCOPED_TRACE(cases[i].name);
        ASSERT_NE(children[i].process, (HANDLE)NULL);
        Outcome outcome = FinishChild(children[i]);
        EXPECT_TRUE(outcome.exited);
        EXPECT_EQ(outcome.exitCode, 1u);
        EXPECT_EQ(outcome.out, Crlf(kUsage));
    }
}

// Wine's service manager drives the registered vizad.exe; its ZOVOVEV is
// the session's (ServiceRoot).
class RobustService : public ::testing::Test {
protected:
    Installation inst;
    std::string hangEvent;  // a stop instance that hangs waits on it

    void SetUp() override
    {
        RemoveLeftoverService();
        ASSERT_TRUE(RegisterTestService(VizadPath())) << GetLastError();
        DeleteFileA((ServiceRoot() + "\\calls.log").c_str());
    }

    void TearDown() override
    {
        // Whatever a failed case left: a hung stop instance, the servers,
        // the service.
        EndHungStop();
        EXPECT_TRUE(EndServiceRun(inst));
    }

    void EndHungStop()
    {
        if (hangEvent.empty())
            return;
        HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, hangEvent.c_str());
        if (event) {
            SetEvent(event);
            CloseHandle(event);
        }
    }

    // A fresh script log and installation, the service running and its
    // servers up; the service's process id in pid.
    void StartWithServers(const std::string &runBody, const std::string &stopBody, DWORD *pid)
    {
        DeleteFileA((ServiceRoot() + "\\calls.log").c_str());
        inst = MakeInstallation(ServiceRoot(), runBody, stopBody);
        ASSERT_TRUE(StartTestService()) << GetLastError();
        SERVICE_STATUS status;
        ASSERT_TRUE(WaitForServiceState(SERVICE_RUNNING, 30000, &status));
        ExpectServiceStatus(status, SERVICE_RUNNING, 0, 0);
        ASSERT_TRUE(WaitForServer(inst));
        *pid = TestServicePid();
        ASSERT_NE(*pid, 0u);
    }

    // After one stop instance that left the servers up: the service is still
    // stop-pending with its servers running until the run instance ends.
    void ExpectStillStoppingUntilTheRunInstanceEnds()
    {
        SERVICE_STATUS status;
        ASSERT_TRUE(QueryTestService(&status));
        ExpectServiceStatus(status, SERVICE_STOP_PENDING, 0, 6);
        EXPECT_TRUE(ServerRunning(inst));

        ASSERT_NO_FATAL_FAILURE(EndRunInstance());
        EXPECT_EQ(CountCalls(inst, "run"), 1u);
        EXPECT_EQ(CountCalls(inst, "stop"), 1u);
    }

    // Ends the run instance as a working stop instance would, and sees the
    // service stop with exit code 0 and its process end.
    void EndRunInstance()
    {
        ASSERT_TRUE(StopServer(inst));
        SERVICE_STATUS status;
        ASSERT_TRUE(WaitForServiceState(SERVICE_STOPPED, 30000, &status));
        ExpectServiceStatus(status, SERVICE_STOPPED, 0, 0);
        // The manager refuses a new start while the old process is ending.
        ASSERT_TRUE(WaitFor([] { return CountProcesses("vizad.exe") == 0; }, 30000));
    }
};

// The stop handler starts the stop instance and returns: whatever that
// instance does, the stop request is answered (under Wine a handler that
// blocks for 10 s fails it with 1053), and the service stays stop-pending
// until the run instance ends.
TEST_F(RobustService, StopInstanceThatDoesNotStopTheServers)
{
    const struct {
        const char *name;
        const char *stopBody;
        bool hangs;  // the stop instance goes on running until the test ends it
    } cases[] = {
        { "hangs", "%FIXTURE% serve %EVENT%-hang 60000", true },
        { "fails at once", "exit /b 3", false },
        { "runs a missing program", "\"%~dp0no-such-server.exe\" stopServers", false },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        DWORD pid;
        ASSERT_NO_FATAL_FAILURE(StartWithServers("", c.stopBody, &pid));
        hangEvent = inst.event + "-hang";

        SERVICE_STATUS status;
        ASSERT_TRUE(ControlTestService(SERVICE_CONTROL_STOP, &status)) << GetLastError();
        ExpectServiceStatus(status, SERVICE_STOP_PENDING, 0, 6);
        ASSERT_TRUE(WaitFor([&] { return CountCalls(inst, "stop") == 1; }, 30000));
        if (c.hangs) {
            ASSERT_TRUE(WaitFor([&] { return EventExists(hangEvent); }, 30000));
        }
        // The run instance alone is left of the host's children, with the
        // hung stop instance beside it.
        ASSERT_TRUE(WaitFor([&] { return CountChildProcesses(pid) == (c.hangs ? 2u : 1u); },
                            30000))
            << CountChildProcesses(pid) << " children";
        ASSERT_NO_FATAL_FAILURE(ExpectStillStoppingUntilTheRunInstanceEnds());
        EndHungStop();
        ASSERT_TRUE(WaitFor([] { return CountProcesses("fixture.exe") == 0; }, 30000));
    }
}

// A stop request that comes while the service is stop-pending is refused by
// the manager (Windows and Wine alike: 1061) and never reaches the host: the
// first one's stop instance is the only one, and the service still stops
// once, when the run instance ends.
TEST_F(RobustService, SecondStopRequestWhileStopPending)
{
    DWORD pid;
    ASSERT_NO_FATAL_FAILURE(StartWithServers("", "rem the servers go on", &pid));
    SERVICE_STATUS status;
    ASSERT_TRUE(ControlTestService(SERVICE_CONTROL_STOP, &status)) << GetLastError();
    ExpectServiceStatus(status, SERVICE_STOP_PENDING, 0, 6);
    ASSERT_TRUE(WaitFor([&] { return CountCalls(inst, "stop") == 1; }, 30000));

    EXPECT_FALSE(ControlTestService(SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    // The stop instance has ended; no second one came after it.
    ASSERT_TRUE(WaitFor([&] { return CountChildProcesses(pid) == 1; }, 30000));
    ASSERT_NO_FATAL_FAILURE(ExpectStillStoppingUntilTheRunInstanceEnds());
}

// Interrogations are answered from the last report: each one sees
// running with checkpoint 0, leaves the checkpoint counter alone, and costs
// the host no memory.
TEST_F(RobustService, ThousandInterrogationsWhileRunning)
{
    DWORD pid;
    ASSERT_NO_FATAL_FAILURE(StartWithServers("", "", &pid));
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    ASSERT_NE(process, (HANDLE)NULL) << GetLastError();
    OnExit closeProcess([&] { CloseHandle(process); });
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, (SC_HANDLE)NULL);
    OnExit closeManager([&] { CloseServiceHandle(manager); });
    SC_HANDLE service = OpenServiceA(manager, TEST_SERVICE, SERVICE_ALL_ACCESS);
    ASSERT_NE(service, (SC_HANDLE)NULL);
    OnExit closeService([&] { CloseServiceHandle(service); });

    PROCESS_MEMORY_COUNTERS at100 = {};
    PROCESS_MEMORY_COUNTERS at1000 = {};
    for (int i = 1; i <= 1000; i++) {
        SERVICE_STATUS status;
        ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_INTERROGATE, &status))
            << "interrogation " << i << ": " << GetLastError();
        ASSERT_EQ(status.dwCurrentState, (DWORD)SERVICE_RUNNING) << "interrogation " << i;
        ASSERT_EQ(status.dwCheckPoint, 0u) << "interrogation " << i;
        // The first hundred let the host reach its steady state.
        if (i == 100) {
            ASSERT_TRUE(GetProcessMemoryInfo(process, &at100, sizeof at100)) << GetLastError();
        }
    }
    ASSERT_TRUE(GetProcessMemoryInfo(process, &at1000, sizeof at1000)) << GetLastError();
    // The host allocates nothing for an interrogation; Wine's own dispatcher
    // and heap may take a few pages more. 64 KiB over 900 interrogations
    // still catches a leak of 73 bytes or more per interrogation.
    const SIZE_T bound = 64 * 1024;
    EXPECT_LE(at1000.PagefileUsage, at100.PagefileUsage + bound)
        << "page-file usage " << at100.PagefileUsage << " -> " << at1000.PagefileUsage;
    EXPECT_LE(at1000.WorkingSetSize, at100.WorkingSetSize + bound)
        << "working set " << at100.WorkingSetSize << " -> " << at1000.WorkingSetSize;

    // The stop that follows still carries the checkpoint after the five
    // start-pending reports.
    SERVICE_STATUS status;
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
    if (status.dwCurrentState == SERVICE_STOP_PENDING)
        EXPECT_EQ(status.dwCheckPoint, 6u);
    else
        EXPECT_EQ(status.dwCurrentState, (DWORD)SERVICE_STOPPED);
    ASSERT_TRUE(WaitForServiceState(SERVICE_STOPPED, 30000, &status));
    ExpectServiceStatus(status, SERVICE_STOPPED, 0, 0);
    EXPECT_EQ(CountCalls(inst, "stop"), 1u);
}

// -install from a folder with blanks, with programs planted where an
// unquoted path would lead the manager: C:\Program.exe for "C:\Program",
// and C:\Program Files\Vizad.exe for "C:\Program Files\Vizad". Neither
// may ever run, at the start of the service or at any time after.
class RobustInstall : public RobustService {
protected:
    void SetUp() override
    {
        RemoveLeftoverService();
        DeleteFileA((ServiceRoot() + "\\calls.log").c_str());
    }

    static Outcome Command(const std::string &exe, const char *option)
    {
        Child child = StartProgram(exe, option, {}, true);
        return FinishChild(child, 60000);
    }
};

TEST_F(RobustInstall, PlantedProgramsNeverRunInsteadOfTheService)
{
    const std::string ran = "C:\\vizad-planted-ran";  // left by a planted copy of fixture.exe
    const std::vector<std::string> planted = { "C:\\Program.exe",
                                               "C:\\Program Files\\Vizad.exe" };
    const std::string dir =
        "C:\\Program Files\\Vizad Test " + std::to_string(GetCurrentProcessId());
    const std::string exe = dir + "\\vizad.exe";
    OnExit cleanUp([&] {
        RemoveLeftoverService();
        WaitFor([] { return CountProcesses("vizad.exe") == 0; }, 30000);
        for (const std::string &path : planted)
            DeleteFileA(path.c_str());
        DeleteFileA(ran.c_str());
        RemoveTree(dir);
    });
    DeleteFileA(ran.c_str());
    for (const std::string &path : planted) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(CopyFileA(FixturePath().c_str(), path.c_str(), FALSE)) << GetLastError();
        // The trap works: run directly, each copy leaves its mark.
        Outcome outcome = Command(path, "-install");
        EXPECT_EQ(outcome.exitCode, 70u);
        ASSERT_TRUE(FileExists(ran));
        ASSERT_TRUE(DeleteFileA(ran.c_str()));
    }
    MakeDirs(dir);
    ASSERT_TRUE(CopyFileA(VizadPath().c_str(), exe.c_str(), FALSE)) << GetLastError();
    inst = MakeInstallation(ServiceRoot());

    Outcome outcome = Command(exe, "-install");
    EXPECT_EQ(outcome.exitCode, 0u);
    EXPECT_EQ(outcome.out, Crlf("Ulvane Trelox ZUVO installed.\n"));
    bool started = StartTestService();
    DWORD err = GetLastError();
    EXPECT_FALSE(FileExists(ran)) << "a planted program ran as: " << ReadTextFile(ran);
    ASSERT_TRUE(started) << err;
    SERVICE_STATUS status;
    ASSERT_TRUE(WaitForServiceState(SERVICE_RUNNING, 30000, &status));
    ExpectServiceStatus(status, SERVICE_RUNNING, 0, 0);
    ASSERT_TRUE(WaitForServer(inst));

    ASSERT_TRUE(ControlTestService(SERVICE_CONTROL_STOP, &status)) << GetLastError();
    ASSERT_TRUE(WaitForServiceState(SERVICE_STOPPED, 30000, &status));
    ExpectServiceStatus(status, SERVICE_STOPPED, 0, 0);
    ASSERT_TRUE(WaitFor([] { return CountProcesses("vizad.exe") == 0; }, 30000));
    outcome = Command(exe, "-remove");
    EXPECT_EQ(outcome.exitCode, 0u);
    EXPECT_EQ(outcome.out, Crlf("Ulvane Trelox ZUVO removed.\n"));
    EXPECT_EQ(CountCalls(inst, "run"), 1u);
    EXPECT_EQ(CountCalls(inst, "stop"), 1u);
    EXPECT_FALSE(FileExists(ran)) << "a planted program ran as: " << ReadTextFile(ran);
}
