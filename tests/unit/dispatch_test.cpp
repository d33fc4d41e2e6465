// The service entry point and control handler against the fake manager: the
// dispatcher's thread runs service_main, the test's thread delivers controls.
#include <thread>

#include "../e2e/harness.h"
#include "../e2e/processes.h"
#include "host_fixture.h"

class DispatchTest : public HostTest {
protected:
    void SetUp() override
    {
        HostTest::SetUp();
        sshStatusHandle = 0;  // service_main registers for it
        memset(&ssStatus, 0, sizeof ssStatus);
    }

    static void Control(DWORD code)
    {
        ASSERT_NE(fake.handler, nullptr);
        EXPECT_EQ(FakeControl(code), (DWORD)NO_ERROR) << "control " << code;
    }

    // Stop and preshutdown while running and stop-pending; nothing while
    // starting, nor once stopped.
    static DWORD Accepted(DWORD state)
    {
        return state == SERVICE_RUNNING || state == SERVICE_STOP_PENDING
                   ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN
                   : 0;
    }

    // Expected reports: states with their checkpoints; the rest follows the
    // reporting rules (hint 3000 and no controls while starting).
    static void ExpectReports(const std::vector<std::pair<DWORD, DWORD>> &expected,
                              DWORD stoppedExit = 0)
    {
        std::vector<SERVICE_STATUS> reports = FakeReports();
        ASSERT_EQ(reports.size(), expected.size());
        // The counter is the process's: a second run in one case goes on from it.
        DWORD base = reports[0].dwCheckPoint - expected[0].second;
        for (size_t i = 0; i < reports.size(); i++) {
            DWORD state = expected[i].first;
            bool starting = state == SERVICE_START_PENDING;
            DWORD hint = starting ? 3000 : 0;
            EXPECT_TRUE(SameStatus(reports[i],
                                   Status(state, Accepted(state),
                                          state == SERVICE_STOPPED ? stoppedExit : 0,
                                          expected[i].second ? base + expected[i].second : 0,
                                          hint)))
                << "report " << i;
        }
    }
};

// Preshutdown is the stop that Windows sends before it shuts down: it takes
// the stop's whole path, and the servers are down before the stopped report.
// The service thread does the stop's work, and the manager's controls are
// never held up by it.
TEST_F(DispatchTest, PlainRunReportsEveryStepWithItsCheckpoint)
{
    for (DWORD control : { SERVICE_CONTROL_STOP, SERVICE_CONTROL_PRESHUTDOWN }) {
        SCOPED_TRACE("control " + std::to_string(control));
        SetUp();
        Installation inst = MakeInstallation(NewTestDir("svc-plain-" + std::to_string(control)) + "\\inst");
        SetRoot(inst.root.c_str());
        // The stop-pending report comes before the stop instance is started:
        // at that report the run instance is the host's only child.
        static size_t childrenAtStopPending;
        static bool serversAtStopped;
        static const Installation *running;
        childrenAtStopPending = 99;
        serversAtStopped = true;
        running = &inst;
        fake.onReport = [](const SERVICE_STATUS &s) {
            if (s.dwCurrentState == SERVICE_STOP_PENDING)
                childrenAtStopPending = CountChildProcesses(GetCurrentProcessId());
            if (s.dwCurrentState == SERVICE_STOPPED)
                serversAtStopped = ServerRunning(*running);
        };
        std::thread service([] {
            char name[] = "ZUVO";
            char *argv[] = { name, nullptr };
            service_main(1, argv);
        });
        ASSERT_TRUE(FakeWaitForState(SERVICE_RUNNING));
        ASSERT_TRUE(WaitForServer(inst));
        // The handler returns before the stop's walk is done: the stalled
        // walk is let go only once it has.
        static HANDLE walkGo;
        static DWORD walkWaited;
        walkGo = CreateEventA(NULL, TRUE, FALSE, NULL);
        walkWaited = WAIT_FAILED;
        fake.onOpen = [](const std::string &) {
            if (walkWaited == WAIT_FAILED)
                walkWaited = WaitForSingleObject(walkGo, 10000);
        };
        Control(control);
        SetEvent(walkGo);
        service.join();
        CloseHandle(walkGo);
        EXPECT_EQ(walkWaited, (DWORD)WAIT_OBJECT_0);
        // After the stopped report a stop sends nothing and starts nothing:
        // once the stop instance has ended, the host has no child.
        ASSERT_TRUE(WaitFor([] { return CountChildProcesses(GetCurrentProcessId()) == 0; },
                            30000));
        Control(control);
        EXPECT_EQ(CountChildProcesses(GetCurrentProcessId()), 0u);

        EXPECT_EQ(fake.handlerName, "ZUVO");
        ExpectReports({ { SERVICE_START_PENDING, 1 }, { SERVICE_START_PENDING, 2 },
                        { SERVICE_START_PENDING, 3 }, { SERVICE_START_PENDING, 4 },
                        { SERVICE_START_PENDING, 5 }, { SERVICE_RUNNING, 0 },
                        { SERVICE_STOP_PENDING, 6 }, { SERVICE_STOPPED, 0 } });
        EXPECT_EQ(CountCalls(inst, "run"), 1u);
        EXPECT_EQ(CountCalls(inst, "stop"), 1u);
        EXPECT_EQ(childrenAtStopPending, 1u);
        EXPECT_FALSE(serversAtStopped);
        EXPECT_TRUE(fake.events.empty());
    }
}

TEST_F(DispatchTest, InterrogationsSendNothing)
{
    // One interrogation inside the registration, before the handle reaches
    // the service thread; one between the third and fourth start-up reports,
    // one while running, one while stop-pending (the stop instance here
    // leaves the servers running; the test stops them itself). Each is
    // answered by the manager from the last report: a new one, or a new
    // checkpoint, would let anybody make a hung stop look as if it went on.
    Installation inst = MakeInstallation(NewTestDir("svc-ask") + "\\inst", "", "rem");
    SetRoot(inst.root.c_str());
    fake.onRegister = [] { FakeControl(SERVICE_CONTROL_INTERROGATE); };
    fake.onReport = [](const SERVICE_STATUS &) {
        if (FakeReports().size() == 3)
            FakeControl(SERVICE_CONTROL_INTERROGATE);
    };
    std::thread service([] { service_main(0, nullptr); });
    ASSERT_TRUE(FakeWaitForState(SERVICE_RUNNING));
    ASSERT_TRUE(WaitForServer(inst));
    // Controls the service never accepts are refused as unhandled, and
    // answered with no report.
    const DWORD others[] = { SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE,
                             SERVICE_CONTROL_SHUTDOWN, SERVICE_CONTROL_PARAMCHANGE, 128 };
    for (DWORD other : others)
        EXPECT_EQ(FakeControl(other), (DWORD)ERROR_CALL_NOT_IMPLEMENTED) << "control " << other;
    Control(SERVICE_CONTROL_INTERROGATE);
    Control(SERVICE_CONTROL_STOP);
    Control(SERVICE_CONTROL_INTERROGATE);
    ASSERT_TRUE(WaitFor([&] { return CountCalls(inst, "stop") == 1; }, 30000));
    ASSERT_TRUE(StopServer(inst));
    service.join();

    ExpectReports({ { SERVICE_START_PENDING, 1 }, { SERVICE_START_PENDING, 2 },
                    { SERVICE_START_PENDING, 3 }, { SERVICE_START_PENDING, 4 },
                    { SERVICE_START_PENDING, 5 }, { SERVICE_RUNNING, 0 },
                    { SERVICE_STOP_PENDING, 6 }, { SERVICE_STOPPED, 0 } });
    for (SERVICE_STATUS_HANDLE h : fake.reportHandles)
        EXPECT_EQ(h, kFakeStatusHandle);
    EXPECT_TRUE(FakeEvents().empty());
}

// No call has failed, yet the stop must not read as success: the entry and
// the exit code carry 203 (the variable was not found).
TEST_F(DispatchTest, UnsetRootStopsWithTheCodeTheEntryCaptured)
{
    std::thread service([] {
        SetLastError(NO_ERROR);
        service_main(0, nullptr);
    });
    service.join();
    std::vector<EventEntry> events = FakeEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].strings[1], "ZOVOVEV environment variable not set.\n");
    EXPECT_EQ(events[0].strings[0], "ZUVO error: 203\n");
    ExpectReports({ { SERVICE_START_PENDING, 1 }, { SERVICE_START_PENDING, 2 },
                    { SERVICE_START_PENDING, 3 }, { SERVICE_START_PENDING, 4 },
                    { SERVICE_START_PENDING, 5 }, { SERVICE_RUNNING, 0 },
                    { SERVICE_STOPPED, 0 } },
                  ERROR_ENVVAR_NOT_FOUND);
}

TEST_F(DispatchTest, RejectedStartUpReportAbandonsTheStartAndStillStops)
{
    Installation inst = MakeInstallation(NewTestDir("svc-reject") + "\\inst");
    for (size_t failing = 1; failing <= 6; failing++) {
        SetUp();
        SetRoot(inst.root.c_str());
        fake.failReport = failing;
        fake.failReportError = ERROR_INVALID_HANDLE;
        std::thread service([] { service_main(0, nullptr); });
        service.join();

        std::vector<SERVICE_STATUS> reports = FakeReports();
        ASSERT_EQ(reports.size(), failing + 1) << "report " << failing << " rejected";
        EXPECT_EQ(reports.back().dwCurrentState, (DWORD)SERVICE_STOPPED);
        EXPECT_EQ(reports.back().dwWin32ExitCode, (DWORD)ERROR_INVALID_HANDLE);
        std::vector<EventEntry> events = FakeEvents();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].strings[1], "SetServiceStatus");
    }
    EXPECT_EQ(CountCalls(inst, "run"), 0u);
}

TEST_F(DispatchTest, NoHandlerMeansNoReport)
{
    fake.registerFails = true;
    service_main(0, nullptr);
    EXPECT_TRUE(FakeReports().empty());
    EXPECT_TRUE(fake.events.empty());
}

TEST_F(DispatchTest, DispatcherRunsTheServiceOrLogsWhyNot)
{
    // Reached: the service runs to its end (no root here) and main gets 0.
    EXPECT_EQ(RunServiceDispatcher(), 0);
    std::vector<SERVICE_STATUS> reports = FakeReports();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().dwCurrentState, (DWORD)SERVICE_STOPPED);

    // Not reached, as from a console.
    SetUp();
    fake.dispatcherFails = true;
    EXPECT_EQ(RunServiceDispatcher(), 1);
    std::vector<EventEntry> events = FakeEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].strings,
              (std::vector<std::string>{ "ZUVO error: " + std::to_string((int)dwErr) + "\n",
                                         "StartServiceCtrlDisplatcher failed.\n" }));
    EXPECT_TRUE(FakeReports().empty());
}

// Servers that end unasked failed: their code's entry and 1067. Once StopTimeout passes, a stop ignored or refused
// ends the run instance's job (1460). Without it it waits. The run instance runs in a job, the stop instance in none.
static BOOL inJob[2];
static bool ranFirst;
TEST_F(DispatchTest, EndsShowToWindowsAsTheyCame)
{
    Installation inst = MakeInstallation(NewTestDir("svc-ends") + "\\inst", "%FIXTURE% serve %EVENT% >nul\r\nexit /b %VIZAD_EXIT%",
                                         "%VIZAD_STOP% %FIXTURE% stop %EVENT%");  // rem: ignored
    const std::string slow = "\"" + FixturePath() + "\" sleep 2000 & call";  // a stop that takes 2 s
    const std::string ended = inst.script + " ended by itself with exit code ", late = "ZUVO did not stop within 1 s: 2 processes ended.\n";
    const struct {
        const char *name, *exit, *stop; DWORD control, timeout; LONG timeoutError;  // control 0: the servers end
        std::vector<std::string> entries; DWORD code; int after = 0, refused = 0, console = 0, again = 0;
    } rows[] = {
        { "ends by itself with 0", "0", "call", 0, 0, 2, { "ZUVO error: 0\n", ended + "0.\n" }, 1067 },
        { "ends by itself with 3, a stop after", "3", "call", 0, 0, 2, { "ZUVO error: 3\n", ended + "3.\n" }, 1067, 1 },
        { "stopped, ends with 3", "3", "call", SERVICE_CONTROL_STOP, 0, 2, {}, 0 },
        { "deadline passes", "0", "rem", SERVICE_CONTROL_PRESHUTDOWN, 1, 0, { "ZUVO error: 1460\n", "Ulvane Trelox " + late }, 1460 },
        { "deadline passes while refused", "0", "rem", SERVICE_CONTROL_STOP, 1, 0, { "ZUVO error: 5023\n",
          inst.script + " can be changed by Everyone.\n", "ZUVO error: 1460\n", "Ulvane Trelox " + late }, 1460, 0, 1 },
        { "deadline passes in console mode, from the first of 9 presses", "0", "rem", SERVICE_CONTROL_STOP, 1, 0, {}, 1460, 0, 0, 1, 8 },
        { "stopped within its deadline", "0", slow.c_str(), SERVICE_CONTROL_STOP, 10, 0, {}, 0 },
        { "no StopTimeout", "0", "rem", SERVICE_CONTROL_STOP, 0, 2, {}, 0 },
        { "StopTimeout 0", "0", "rem", SERVICE_CONTROL_STOP, 0, 0, {}, 0 },
        { "StopTimeout unreadable", "0", "rem", SERVICE_CONTROL_STOP, 0, 5,
          { "ZUVO error: 5\n", "StopTimeout of ZUVO cannot be read as a REG_DWORD: a stop waits without a deadline.\n" }, 0 },
    };
    pfnInstanceResuming = [](const char *arg, const PROCESS_INFORMATION *pi) {
        IsProcessInJob(pi->hProcess, NULL, &inJob[arg != nullptr]);
        ranFirst |= SuspendThread(pi->hThread) != 1;  // 1: created suspended, nothing ran yet
        ResumeThread(pi->hThread);
    };
    OnExit unhook([] { pfnInstanceResuming = nullptr; });
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        SetUp(), SetRoot(inst.root.c_str());
        _putenv((std::string("VIZAD_EXIT=") + r.exit).c_str()), _putenv((std::string("VIZAD_STOP=") + r.stop).c_str());
        fake.stopTimeout = r.timeout, fake.stopTimeoutError = r.timeoutError, bDebug = r.console, inJob[0] = inJob[1] = 2;
        std::thread service([&] { r.console ? ServiceStart(0, nullptr) : service_main(0, nullptr); });
        ASSERT_TRUE(WaitForServer(inst));
        if (r.refused)
            fake.securityByPath[inst.script] = "O:BAD:(A;;FA;;;BA)(A;;FA;;;WD)";
        fake.onEvent = [&] { if (r.after) FakeControl(SERVICE_CONTROL_STOP); };
        r.console ? ServiceStop() : r.control ? Control(r.control) : (void)StopServer(inst);
        for (int press = 0; press < r.again; press++)
            Sleep(300), ServiceStop();  // 2.4 s of presses: the deadline stays where the first set it
        EXPECT_TRUE(!r.again || !ServerRunning(inst));
        if (r.stop[0] == 'r' && r.timeout == 0) {
            Sleep(1500);  // past a deadline of 1 s, still waiting
            EXPECT_TRUE(ServerRunning(inst) && FakeReports().back().dwCurrentState == SERVICE_STOP_PENDING && StopServer(inst));
        }
        service.join();
        std::vector<std::string> strings;
        for (const EventEntry &e : FakeEvents())
            strings.insert(strings.end(), e.strings.begin(), e.strings.end() - (e.type != EVENTLOG_ERROR_TYPE));
        EXPECT_EQ(strings, r.entries);
        EXPECT_EQ(r.console ? dwEndCode : FakeReports().back().dwWin32ExitCode, r.code);
        EXPECT_FALSE(ServerRunning(inst));
        EXPECT_EQ(inJob[0] * 4 + inJob[1], (r.control && !r.refused) || r.console ? 4 : 6);
        EXPECT_FALSE(ranFirst);
    }
}
