// The start and stop routines with real control scripts and a fake manager.
#include <atomic>
#include <functional>
#include <thread>

#include "../e2e/harness.h"
#include "../e2e/processes.h"
#include "access/access.h"
#include "host_fixture.h"
#include "platform/advapi.h"

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
    pfnInstanceStarting = [](const char *) {
        heldAtStart = FakeOpenObjects();
        closedAtStart = fake.closed.size();
    };
    OnExit unhook([] { pfnInstanceStarting = nullptr; });
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
    ASSERT_EQ(fake.events.size(), 1u);  // no stop was asked for: the servers failed
    EXPECT_EQ(fake.events[0].strings[1], inst.script + " ended by itself with exit code 7.\n");
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
        LONG systemError = ERROR_SUCCESS;  // why the registry's value cannot be read
    } cases[] = {
        { "unset", "", true, "ZOVOVEV environment variable not set.\n", 0 },
        { "no script", dir + "\\missing",  false,
          dir + "\\missing\\bin\\revaduzeza.bat not found.\n", ERROR_PATH_NOT_FOUND },
        { "held without read sharing", held.root, false,
          held.script + " is held open by a process that lets nobody read it.\n", ERROR_SHARING_VIOLATION },
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
        // Not the boot's value in its place, which may be a stale one.
        { "the registry's root unreadable", held.root, false, "ZOVOVEV environment variable not set.\n",
          ERROR_ENVVAR_NOT_FOUND, L"", L"", ERROR_ACCESS_DENIED },
    };
    for (const Case &c : cases) {
        SetUp();
        if (!c.wideRoot.empty())
            SetWideRoot(c.wideRoot);
        else
            SetRoot(c.unset ? nullptr : c.root.c_str());
        fake.systemRoot = c.systemRoot;
        fake.systemRootError = c.systemError;
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

// A stop whose instance cannot be started: a script that anybody may have
// changed since the start, or one that is gone. The manager sends
// nothing after a stop, so the service stays stop-pending with its servers
// running, logs the cause once however often it tries again, and goes
// through by itself once the cause is mended: the stop instance runs, the
// run instance ends, and the stopped report carries 0. A second cause is
// logged too, though its code is the same; servers that end by themselves
// while the stop is refused leave the refusal's code. Each cause is set and
// mended on the service thread, between two of its walks.
TEST_F(SupervisorTest, RefusedStopStaysPendingAndGoesThroughOnceMended)
{
    Installation inst = MakeInstallation(NewTestDir("sup-stop") + "\\inst");
    const std::string everyone = "O:BAD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;WD)";
    const struct {
        const char *name;
        std::string entry;
        DWORD code;
        std::function<void()> cause, mend;
        std::string second = "";     // a second cause, with the same code, after a try
        std::function<void()> shift = nullptr;
        bool dies = false;           // the servers end by themselves instead
    } cases[] = {
        { "a script anybody may change", inst.script + " can be changed by Everyone.\n",
          ERROR_INVALID_STATE, [&] { fake.securityByPath[inst.script] = everyone; },
          [] { fake.securityByPath.clear(); } },
        // Renamed away while it runs (its cmd keeps reading it): no
        // process is made of a script that is not there.
        { "a script that is gone", inst.script + " not found.\n", ERROR_FILE_NOT_FOUND,
          [&] { MoveFileA(inst.script.c_str(), (inst.script + "-away").c_str()); },
          [&] { MoveFileA((inst.script + "-away").c_str(), inst.script.c_str()); } },
        // There, but not readable: a folder in its place.
        { "a script that cannot be read", inst.script + " not found.\n", ERROR_ACCESS_DENIED,
          [&] { MoveFileA(inst.script.c_str(), (inst.script + "-away").c_str()); CreateDirectoryA(inst.script.c_str(), 0); },
          [&] { RemoveDirectoryA(inst.script.c_str()); MoveFileA((inst.script + "-away").c_str(), inst.script.c_str()); } },
        { "the script, then bin, anybody may change", inst.script + " can be changed by Everyone.\n",
          ERROR_INVALID_STATE, [&] { fake.securityByPath[inst.script] = everyone; },
          [] { fake.securityByPath.clear(); }, inst.root + "\\bin can be changed by Everyone.\n",
          [&] { fake.securityByPath = { { inst.root + "\\bin", everyone } }; } },
        // Refused all along: the stopped report keeps the refusal's code.
        { "servers that end while the stop is refused", inst.script + " can be changed by Everyone.\n",
          ERROR_INVALID_STATE, [&] { fake.securityByPath[inst.script] = everyone; },
          [&] { StopServer(inst); }, "", nullptr, true },
    };
    dwStopRetry = 100;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        SetRoot(inst.root.c_str());
        std::thread service([] { service_main(0, nullptr); });
        ASSERT_TRUE(WaitForServer(inst));
        static std::atomic<int> walks, mendAt;
        walks = 0;
        mendAt = 1000;
        c.cause();
        fake.onOpen = [&](const std::string &path) {
            if (path == inst.root && ++walks == 2 && c.shift)
                c.shift();
            if (path == inst.root && walks >= mendAt) {
                mendAt = 1 << 30;  // once
                c.mend();
            }
        };
        EXPECT_EQ(FakeControl(SERVICE_CONTROL_STOP), (DWORD)NO_ERROR);
        ASSERT_TRUE(WaitFor([] { return walks >= 5; }, 30000));
        std::vector<std::string> entries = { c.entry, c.second };
        entries.resize(c.shift ? 2 : 1);
        std::vector<EventEntry> events = FakeEvents();
        ASSERT_EQ(events.size(), entries.size());
        for (size_t i = 0; i < entries.size(); i++)
            EXPECT_EQ(events[i].strings[1], entries[i]);
        EXPECT_EQ(dwErr, c.code);
        EXPECT_EQ(FakeReports().back().dwCurrentState, (DWORD)SERVICE_STOP_PENDING);
        EXPECT_EQ(CountCalls(inst, "stop"), 0u);
        EXPECT_TRUE(ServerRunning(inst));

        mendAt = walks + 1;
        service.join();
        EXPECT_EQ(CountCalls(inst, "stop"), c.dies ? 0u : 1u);
        events = FakeEvents();
        ASSERT_EQ(events.size(), entries.size() + !c.dies);
        if (!c.dies) {
            EXPECT_EQ(events.back().type, EVENTLOG_INFORMATION_TYPE);
            EXPECT_EQ(events.back().strings[1], inst.script + " stopServers started.\n");
        }
        EXPECT_TRUE(SameStatus(FakeReports().back(), Status(SERVICE_STOPPED, 0, c.dies ? c.code : 0, 0, 0)));
        DeleteFileA(inst.log.c_str());
    }
}

// The path's objects are held on the disk from the check until either
// instance has started: neither the root nor bin can be renamed away in
// between, and afterwards both can. Another process's handle that may move
// an object, or write the script, is refused; one that shares no reading
// hides what it may do, so the object is judged by its rights only where
// nobody but the trusted may add another in its place.
static std::string holdRoot;
static DWORD renamed[2][2];  // [stop instance][bin], when the instance starts
static DWORD TryRename(const std::string &from)
{
    if (!MoveFileA(from.c_str(), (from + "-x").c_str()))
        return GetLastError();
    MoveFileA((from + "-x").c_str(), from.c_str());
    return NO_ERROR;
}

// An object whose data the service may not read, which Wine cannot show.
static std::wstring deniedPath;
static HANDLE WINAPI OpenDenyingRead(LPCWSTR name, DWORD access, DWORD share,
                                     LPSECURITY_ATTRIBUTES sa, DWORD how, DWORD flags, HANDLE from)
{
    if (deniedPath == name && (access & FILE_READ_DATA)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(name, access, share, sa, how, flags, from);
}

TEST_F(SupervisorTest, PathIsHeldUntilTheRunInstanceHasStarted)
{
    Installation inst = MakeInstallation(NewTestDir("sup-hold") + "\\inst");
    holdRoot = inst.root;
    SetRoot(inst.root.c_str());
    fake.realObjects = true;
    pfnInstanceStarting = [](const char *arg) {
        renamed[arg != nullptr][0] = TryRename(holdRoot);
        renamed[arg != nullptr][1] = TryRename(holdRoot + "\\bin");
    };
    OnExit unhook([] { pfnInstanceStarting = nullptr; });
    std::thread start([] { ServiceStart(0, nullptr); });
    ASSERT_TRUE(WaitForServer(inst));
    EXPECT_EQ(TryRename(inst.root + "\\bin"), (DWORD)NO_ERROR);
    EXPECT_EQ(TryRename(inst.root), (DWORD)NO_ERROR);
    ServiceStop();
    start.join();
    for (auto &instance : renamed)
        for (DWORD code : instance)
            EXPECT_EQ(code, (DWORD)ERROR_SHARING_VIOLATION);

    const std::string root = inst.root, bin = root + "\\bin", above = root.substr(0, root.rfind('\\'));
    const std::string held = " is held open by a process that may move or change it.";
    const struct {
        const char *name;
        std::string path;            // held by another handle, with its access and sharing
        DWORD access, share;
        std::string sddlPath, sddl;  // a descriptor of the fake's for one object
        DWORD code;
        std::string why;
        bool readDenied = false;     // the root's data may not be read: never judged unheld
    } cases[] = {
        { "bin without sharing", bin, FILE_LIST_DIRECTORY, 0, "", "", NO_ERROR, "" },
        { "bin without sharing, open to Everyone", bin, FILE_LIST_DIRECTORY, 0, bin,
          "O:BAD:(A;;FA;;;BA)(A;;FA;;;WD)", ERROR_INVALID_STATE, bin + " can be changed by Everyone." },
        { "the root without sharing", root, FILE_LIST_DIRECTORY, 0, "", "", NO_ERROR, "" },
        { "the root without sharing, Users may add folders above", root, FILE_LIST_DIRECTORY, 0, above,
          "O:BAD:(A;;FA;;;BA)(A;;0x1200ad;;;AU)", ERROR_SHARING_VIOLATION, root + held },
        { "the root by a mover", root, DELETE | FILE_LIST_DIRECTORY, 7, "", "", ERROR_SHARING_VIOLATION, root + held },
        { "the script by a writer", inst.script, FILE_WRITE_DATA, 3, "", "", ERROR_SHARING_VIOLATION, inst.script + held },
        { "the root unreadable", "", 0, 0, "", "", ERROR_ACCESS_DENIED, "Who can change " + root + " cannot be read.", true },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        fake.realObjects = true;
        if (!c.sddlPath.empty())
            fake.securityByPath[c.sddlPath] = c.sddl;
        HANDLE other = c.path.empty() ? NULL
                                      : CreateFileA(c.path.c_str(), c.access, c.share, NULL, OPEN_EXISTING,
                                                    FILE_FLAG_BACKUP_SEMANTICS, NULL);
        ASSERT_NE(other, INVALID_HANDLE_VALUE);
        deniedPath = std::wstring(root.begin(), root.end());
        pfnOpenFileW = c.readDenied ? OpenDenyingRead : CreateFileW;
        OnExit close([&] { pfnOpenFileW = CreateFileW; CloseHandle(other); });
        char why[MSG_SIZE] = "";
        HANDLE *objects = nullptr;
        EXPECT_EQ(CheckWhoCanChangePath(inst.script.c_str(), 2, ACCESS_AS_SERVICE, TRUE, why,
                                        MSG_SIZE, &objects),
                  c.code);
        EXPECT_EQ(std::string(why), c.why);
        ReleasePath(objects);
    }
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
    pfnInstanceStarting = [](const char *arg) {
        if (arg != nullptr)
            return;  // the racing stop's own
        racingStop = std::thread([] {
            ServiceStop();
            SetEvent(stopDone);
        });
        // Ample for a stop that is let in to start its instance; a stop kept
        // out finishes only after the run instance has started.
        stopCameFirst = WaitForSingleObject(stopDone, 2000) == WAIT_OBJECT_0;
    };
    OnExit unhook([] { pfnInstanceStarting = nullptr; });
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
