// The start and stop routines with real control scripts and a fake manager.
#include <functional>
#include <thread>

#include "../e2e/harness.h"
#include "../e2e/processes.h"
#include "host_fixture.h"

using SupervisorTest = HostTest;

TEST_F(SupervisorTest, ServesUntilTheStopInstanceEndsTheRunInstance)
{
    Installation inst = MakeInstallation(NewTestDir("sup-run") + "\\inst");
    SetRoot(inst.root.c_str());
    std::thread start([] { ServiceStart(0, nullptr); });
    ASSERT_TRUE(WaitForServer(inst));
    EXPECT_NE(hServerStopEvent, (HANDLE)NULL);

    ServiceStop();  // returns without waiting for anything
    start.join();
    EXPECT_EQ(CountCalls(inst, "run"), 1u);
    EXPECT_EQ(CountCalls(inst, "stop"), 1u);
    EXPECT_STREQ(qelctl, inst.script.c_str());
    const char *formed = qelctl;

    // After the start routine: a stop request still runs one stop instance
    // and signals nothing, with the path formed once.
    ServiceStop();
    EXPECT_TRUE(WaitFor([&] { return CountCalls(inst, "stop") == 2; }, 30000));
    EXPECT_TRUE(fake.events.empty());
    EXPECT_EQ(qelctl, formed);
}

// The run instance inherits the host's inheritable handles, not only its
// standard ones (a redirected -debug run's scripts write to the host's
// output that way on Windows): it signals an event the host passed on.
// Every object on the script's path is held open from the check until the
// instance has started, then closed.
static size_t heldAtStart, closedAtStart;
TEST_F(SupervisorTest, RunInstanceEndingByItselfEndsTheStartRoutine)
{
    pfnRunInstanceStarting = [] {
        heldAtStart = FakeOpenObjects();
        closedAtStart = fake.closed.size();
    };
    OnExit unhook([] { pfnRunInstanceStarting = nullptr; });
    SECURITY_ATTRIBUTES sa = { sizeof sa, NULL, TRUE };
    HANDLE inherited = CreateEventA(&sa, TRUE, FALSE, NULL);
    ASSERT_NE(inherited, (HANDLE)NULL);
    OnExit close([&] { CloseHandle(inherited); });
    _putenv(("VIZAD_INHERITED=" + std::to_string((uintptr_t)inherited)).c_str());
    Installation inst = MakeInstallation(NewTestDir("sup-exit") + "\\inst",
                                         "%FIXTURE% signal %VIZAD_INHERITED%\r\nexit /b 7");
    SetRoot(inst.root.c_str());
    ServiceStart(0, nullptr);
    EXPECT_EQ(CountCalls(inst, "run"), 1u);
    EXPECT_EQ(CountCalls(inst, "stop"), 0u);
    EXPECT_TRUE(fake.events.empty());
    EXPECT_EQ(WaitForSingleObject(inherited, 0), WAIT_OBJECT_0);
    // C:\, the scratch folders, inst, bin and the script.
    EXPECT_GE(heldAtStart, 5u);
    EXPECT_EQ(heldAtStart, fake.opened.size());
    EXPECT_EQ(closedAtStart, 0u);
    EXPECT_EQ(fake.closed.size(), fake.opened.size());

    // A console run is the person's own, and a refusal would be logged
    // nowhere: a tree that anybody may change still runs, unchecked.
    SetUp();
    SetRoot(inst.root.c_str());
    bDebug = TRUE;
    fake.cleanTree.clear();
    fake.securitySddl = "O:WDD:(A;;FA;;;WD)";
    ServiceStart(0, nullptr);
    EXPECT_EQ(CountCalls(inst, "run"), 2u);
    EXPECT_TRUE(fake.opened.empty());
}

// Ctrl+C and Ctrl+Break are stop requests the handler takes; close, log-off
// and shut-down are left to the system's default, which ends the process
// without a stop instance.
TEST_F(SupervisorTest, ConsoleHandlerTakesOnlyCtrlCAndCtrlBreak)
{
    const struct {
        DWORD event;
        BOOL handled;
    } cases[] = {
        { CTRL_C_EVENT, TRUE },         { CTRL_BREAK_EVENT, TRUE },
        { CTRL_CLOSE_EVENT, FALSE },    { CTRL_LOGOFF_EVENT, FALSE },
        { CTRL_SHUTDOWN_EVENT, FALSE },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("event " + std::to_string(c.event));
        SetUp();
        bDebug = TRUE;
        EXPECT_EQ(ControlHandler(c.event), c.handled);
        EXPECT_EQ(stoprequested, c.handled);
    }
}

TEST_F(SupervisorTest, StopBeforeTheRunInstanceKeepsTheServersDown)
{
    // As a service the stop request can first come inside the running
    // report; in console mode a Ctrl+C can come before the start routine
    // has even made the stop event. Either way the run instance never starts.
    for (bool console : { false, true }) {
        SCOPED_TRACE(console ? "console, before the stop event" : "service, in the running report");
        SetUp();
        Installation inst = MakeInstallation(NewTestDir("sup-early") + "\\inst");
        SetRoot(inst.root.c_str());
        bDebug = console;
        if (console) {
            ServiceStop();
        } else {
            fake.onReport = [](const SERVICE_STATUS &s) {
                if (s.dwCurrentState == SERVICE_RUNNING)
                    ServiceStop();
            };
        }
        ServiceStart(0, nullptr);
        EXPECT_TRUE(WaitFor([&] { return CountCalls(inst, "stop") == 1; }, 30000));
        EXPECT_EQ(CountCalls(inst, "run"), 0u);
        EXPECT_FALSE(ServerRunning(inst));
        EXPECT_TRUE(FakeEvents().empty());  // a stop is no failure
        fake.onReport = nullptr;
    }
}

TEST_F(SupervisorTest, CheckFailuresAreLoggedWithTheirText)
{
    std::string dir = NewTestDir("sup-fail");
    Installation held = MakeInstallation(dir + "\\held");
    MakeDirs(dir + "\\folder\\bin\\revaduzeza.bat");
    Installation percent = MakeInstallation(dir + "\\pct%OS%x");
    Installation device = MakeInstallation(dir + "\\device");
    // The code page reads a full-width ampersand as '&': this twin is what the
    // host would run.
    Installation twin = MakeInstallation(dir + "\\fw&x");
    HANDLE lock = CreateFileA(held.script.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);

    struct Case {
        const char *name;
        std::string root;        // "" with unset: ZOVOVEV absent
        bool unset;
        std::string text;
        DWORD code;              // expected dwErr, or 0 for any
        std::wstring wideRoot;   // when set, ZOVOVEV in Unicode instead of root
        std::wstring systemRoot; // the registry's value, which wins
    } cases[] = {
        { "unset", "", true, "ZOVOVEV environment variable not set.\n", 0 },
        { "no script", dir + "\\missing",  false,
          dir + "\\missing\\bin\\revaduzeza.bat not found.\n", ERROR_PATH_NOT_FOUND },
        { "held without read sharing", held.root, false,
          held.script + " not found.\n", ERROR_SHARING_VIOLATION },
        { "a folder of that name", dir + "\\folder", false,
          dir + "\\folder\\bin\\revaduzeza.bat not found.\n", ERROR_ACCESS_DENIED },
        // Readable, but cmd would expand %OS% and run another file.
        { "percent sign: readable, never started", percent.root, false,
          percent.script + " not found.\n", ERROR_BAD_PATHNAME },
        // Readable, but cmd runs nothing for such a path.
        { "\\\\?\\ form", "\\\\?\\" + device.root, false, "\\\\?\\" + device.script + " not found.\n",
          ERROR_BAD_PATHNAME },
        { "\\\\.\\ form", "\\\\.\\" + device.root, false, "\\\\.\\" + device.script + " not found.\n",
          ERROR_BAD_PATHNAME },
        { "spelled by best fit", "", false, twin.script + " not found.\n",
          ERROR_NO_UNICODE_TRANSLATION, std::wstring(dir.begin(), dir.end()) + L"\\fw\uFF06x" },
        { "the registry's root, not the environment's", held.root, false,
          dir + "\\reg\\bin\\revaduzeza.bat not found.\n", ERROR_PATH_NOT_FOUND, L"",
          std::wstring(dir.begin(), dir.end()) + L"\\reg" },
    };
    for (const Case &c : cases) {
        SetUp();
        if (!c.wideRoot.empty())
            SetWideRoot(c.wideRoot);
        else
            SetRoot(c.unset ? nullptr : c.root.c_str());
        fake.systemRoot = c.systemRoot;
        ServiceStart(0, nullptr);
        std::vector<EventEntry> events = FakeEvents();
        ASSERT_EQ(events.size(), 1u) << c.name;
        ASSERT_EQ(events[0].strings.size(), 2u);
        EXPECT_EQ(events[0].strings[1], c.text) << c.name;
        EXPECT_EQ(events[0].strings[0], "ZUVO error: " + std::to_string((int)dwErr) + "\n");
        if (c.code)
            EXPECT_EQ(dwErr, c.code) << c.name;
        // Started, reported running, then checked: no further report.
        std::vector<SERVICE_STATUS> reports = FakeReports();
        ASSERT_EQ(reports.size(), 5u) << c.name;
        EXPECT_EQ(reports.back().dwCurrentState, (DWORD)SERVICE_RUNNING);
    }
    CloseHandle(lock);
    EXPECT_EQ(CountCalls(held, "run"), 0u);
    EXPECT_EQ(CountCalls(percent, "run"), 0u);
    EXPECT_EQ(CountCalls(device, "run"), 0u);
    EXPECT_EQ(CountCalls(twin, "run"), 0u);
}

TEST_F(SupervisorTest, PathTooLongForTheMessageIsCutNotOverflowed)
{
    std::string root = "C:\\" + std::string(1000, 'r');
    SetRoot(root.c_str());
    bDebug = TRUE;  // printed, and nothing reaches the fake
    ServiceStart(0, nullptr);
    EXPECT_EQ(strlen(qelctl), root.size() + strlen(SCRIPT_SUFFIX));
    EXPECT_TRUE(fake.reports.empty());
    EXPECT_TRUE(fake.events.empty());

    bDebug = FALSE;
    SetUp();
    SetRoot(root.c_str());
    ServiceStart(0, nullptr);
    std::vector<EventEntry> events = FakeEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].strings[1], root.substr(0, MSG_SIZE - 1));
}

// A stop that starts no stop instance: no root, a path that cmd would
// rewrite or cannot run, a root that the code page reads as another folder,
// a tree that anybody may change, a script that cannot be started. Nothing
// is started (a started instance would still be alive when the routine
// returns), the event is still signalled, and the service goes back to
// running: the manager sends no control to a service that stays
// stop-pending, so it could never be stopped. Once the cause is mended, the
// next stop starts the stop instance; a root read once at the start stays
// wrong, and every stop is refused again.
TEST_F(SupervisorTest, RefusedStopGoesBackToRunningAndTheNextStopRuns)
{
    std::string dir = NewTestDir("sup-stop");
    Installation good = MakeInstallation(dir + "\\good");
    std::vector<Installation> insts = { MakeInstallation(dir + "\\pct%OS%x"),
                                        MakeInstallation(dir + "\\device"),
                                        MakeInstallation(dir + "\\fw&x") };  // the twin
    HANDLE held = INVALID_HANDLE_VALUE;
    const struct {
        const char *name;
        std::string root;  // "" for none
        std::wstring wideRoot;
        std::string entry;  // the entry's text, "" for none
        std::function<void()> mend;  // empty: nothing in the process can mend it
    } cases[] = {
        { "no root", "", L"", "", [&] { SetRoot(good.root.c_str()); InitOnceInitialize(&ioRoot); } },
        // A path cmd would rewrite, or cannot run: the entry says so, as at the start.
        { "percent sign", insts[0].root, L"", insts[0].script + " not found.\n", nullptr },
        { "\\\\?\\ form", "\\\\?\\" + insts[1].root, L"",
          "\\\\?\\" + insts[1].script + " not found.\n", nullptr },
        { "\\\\.\\ form", "\\\\.\\" + insts[1].root, L"",
          "\\\\.\\" + insts[1].script + " not found.\n", nullptr },
        { "spelled by best fit", "", std::wstring(dir.begin(), dir.end()) + L"\\fw\uFF06x", "",
          nullptr },
        // Named by its SID: the stop routine runs on the thread that answers
        // every control, and a name lookup may wait on a domain controller.
        { "a script anybody may change", good.root, L"",
          good.script + " can be changed by S-1-1-0.\n", [] { fake.securityByPath.clear(); } },
        // Held without sharing: present, but no process can be made of it.
        { "a script that cannot be started", good.root, L"", good.script + " not found.\n",
          [&] { CloseHandle(held); } },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        if (!c.wideRoot.empty())
            SetWideRoot(c.wideRoot);
        else
            SetRoot(c.root.empty() ? nullptr : c.root.c_str());
        if (c.entry.find("changed") != std::string::npos)
            fake.securityByPath[good.script] = "O:BAD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;WD)";
        if (c.entry == good.script + " not found.\n") {
            held = CreateFileA(good.script.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, NULL);
            ASSERT_NE(held, INVALID_HANDLE_VALUE);
        }
        ssStatus.dwCurrentState = SERVICE_RUNNING;
        HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
        hServerStopEvent = event;
        EXPECT_EQ(service_ctrl(SERVICE_CONTROL_STOP, 0, NULL, NULL), (DWORD)NO_ERROR);
        EXPECT_EQ(CountChildProcesses(GetCurrentProcessId()), 0u);
        if (c.root.empty() && c.wideRoot.empty())
            EXPECT_EQ(qelctl, nullptr);
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
        std::vector<SERVICE_STATUS> reports = FakeReports();
        ASSERT_EQ(reports.size(), 2u);
        EXPECT_EQ(reports[0].dwCurrentState, (DWORD)SERVICE_STOP_PENDING);
        EXPECT_TRUE(SameStatus(reports[1], Status(SERVICE_RUNNING,
                                                  SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN,
                                                  0, 0, 0)));
        std::vector<EventEntry> events = FakeEvents();
        ASSERT_EQ(events.size(), c.entry.empty() ? 0u : 1u);
        if (!c.entry.empty())
            EXPECT_EQ(events[0].strings[1], c.entry);

        // The next stop request, mended or not.
        if (c.mend)
            c.mend();
        EXPECT_EQ(service_ctrl(SERVICE_CONTROL_STOP, 0, NULL, NULL), (DWORD)NO_ERROR);
        reports = FakeReports();
        ASSERT_EQ(reports.size(), c.mend ? 3u : 4u);
        EXPECT_EQ(reports.back().dwCurrentState,
                  (DWORD)(c.mend ? SERVICE_STOP_PENDING : SERVICE_RUNNING));
        if (c.mend) {
            EXPECT_TRUE(WaitFor([&] { return CountCalls(good, "stop") == 1; }, 30000));
            EXPECT_TRUE(WaitFor([] { return CountChildProcesses(GetCurrentProcessId()) == 0; },
                                30000));
            DeleteFileA(good.log.c_str());
        }
        hServerStopEvent = NULL;
        CloseHandle(event);
    }
    for (const Installation &inst : insts)
        EXPECT_EQ(CountCalls(inst, "stop"), 0u) << inst.root;
}

// A stop request that comes as the run instance is about to start waits
// until it has started: no run instance ever starts after a stop instance,
// which would leave its servers with nobody to stop them.
static std::thread racingStop;
static HANDLE stopDone;
static bool stopCameFirst;

TEST_F(SupervisorTest, StopAsTheRunInstanceStartsComesAfterIt)
{
    Installation inst = MakeInstallation(NewTestDir("sup-race") + "\\inst", "", "rem");
    SetRoot(inst.root.c_str());
    stopDone = CreateEventA(NULL, TRUE, FALSE, NULL);
    ASSERT_NE(stopDone, (HANDLE)NULL);
    pfnRunInstanceStarting = [] {
        racingStop = std::thread([] {
            ServiceStop();
            SetEvent(stopDone);
        });
        // Ample for a stop that is let in to start its instance; a stop kept
        // out finishes only after the run instance has started.
        stopCameFirst = WaitForSingleObject(stopDone, 2000) == WAIT_OBJECT_0;
    };
    OnExit unhook([] { pfnRunInstanceStarting = nullptr; });
    std::thread start([] { ServiceStart(0, nullptr); });
    ASSERT_TRUE(WaitForServer(inst));
    EXPECT_FALSE(stopCameFirst) << "the stop instance started before the run instance";
    EXPECT_TRUE(WaitFor([&] { return CountCalls(inst, "stop") == 1; }, 30000));
    EXPECT_TRUE(StopServer(inst));
    start.join();
    racingStop.join();
    CloseHandle(stopDone);
    EXPECT_EQ(CountCalls(inst, "run"), 1u);
}
