// vizad.exe registered with Wine's own service control manager, started and
// stopped through it. The service's ZOVOVEV is the session's (ServiceRoot).
#include <gtest/gtest.h>

#include "harness.h"
#include "scm_harness.h"

class ServiceRun : public ::testing::Test {
protected:
    Installation inst;

    void SetUp() override
    {
        RemoveLeftoverService();
        ASSERT_TRUE(RegisterTestService(VizadPath())) << GetLastError();
        DeleteFileA((ServiceRoot() + "\\calls.log").c_str());
    }

    void TearDown() override
    {
        // Whatever a failed case left: its servers, the service, the script.
        EXPECT_TRUE(EndServiceRun(inst));
    }
};

// The services' root holds an ampersand ("C:\vizad-up\two\vizad&service"):
// unquoted, cmd would run C:\vizad-up\two\vizad.bat in place of the script, with the service's rights.
TEST_F(ServiceRun, StopRequestRunsOneStopInstanceAndTheServiceStops)
{
    std::string root = ServiceRoot();
    ASSERT_NE(root.find('&'), std::string::npos) << root;
    const std::string decoy = root.substr(0, root.find('&')) + ".bat";
    const std::string ran = NewTestDir("decoy") + "\\ran";
    MakeDirs(root.substr(0, root.rfind('\\')));
    WriteTextFile(decoy, "@echo %0 %*>>\"" + ran + "\"\r\n");
    OnExit unplant([&] { DeleteFileA(decoy.c_str()); });
    ASSERT_TRUE(FileExists(decoy));

    inst = MakeInstallation(root);
    ASSERT_TRUE(StartTestService()) << GetLastError();
    SERVICE_STATUS status;
    ASSERT_TRUE(WaitForServiceState(SERVICE_RUNNING, 30000, &status));
    ExpectServiceStatus(status, SERVICE_RUNNING, 0);
    ASSERT_TRUE(WaitForServer(inst));

    // Answered while running: the same state again.
    ASSERT_TRUE(ControlTestService(SERVICE_CONTROL_INTERROGATE, &status)) << GetLastError();
    ExpectServiceStatus(status, SERVICE_RUNNING, 0);

    ASSERT_TRUE(ControlTestService(SERVICE_CONTROL_STOP, &status)) << GetLastError();
    if (status.dwCurrentState == SERVICE_STOP_PENDING)
        EXPECT_EQ(status.dwCheckPoint, 6u);  // after five start-pending reports
    else
        EXPECT_EQ(status.dwCurrentState, (DWORD)SERVICE_STOPPED);
    ASSERT_TRUE(WaitForServiceState(SERVICE_STOPPED, 30000, &status));
    ExpectServiceStatus(status, SERVICE_STOPPED, 0);
    std::string shown = "\"" + inst.script + "\"";
    EXPECT_EQ(ScriptCalls(inst), (std::vector<std::string>{ "run [" + shown + "] []",
                                                            "stop [" + shown + "] [stopServers]" }));
    EXPECT_FALSE(ServerRunning(inst));
    EXPECT_EQ(ReadTextFile(ran), "");

    // Servers that ignore the stop, one started with start: stop-pending while they run, or 1460 after StopTimeout 2.
    inst = MakeInstallation(root, "start \"\" /b %FIXTURE% serve %EVENT%-2 >nul\r\n%FIXTURE% serve %EVENT% >nul", "rem");
    const Installation started = { "", "", "", inst.event + "-2" };  // the started server's event
    const char *key = "SYSTEM\\CurrentControlSet\\Services\\ZUVO\\Parameters";
    OnExit unset([&] { RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, key, "StopTimeout"); StopServer(started); });
    for (DWORD timeout : { 0, 2 }) {
        ASSERT_TRUE(!timeout || RegSetKeyValueA(HKEY_LOCAL_MACHINE, key, "StopTimeout", REG_DWORD, &timeout, 4) == 0);
        ASSERT_TRUE(WaitFor([] { return CountProcesses("vizad.exe") == 0; }, 30000));
        ASSERT_TRUE(StartTestService() && WaitForServer(inst) && WaitForServer(started));
        size_t offset = EventLogOffset();
        ASSERT_TRUE(ControlTestService(SERVICE_CONTROL_STOP, &status)) << GetLastError();
        if (!timeout) {
            Sleep(3000);  // past a deadline of 2 s
            EXPECT_TRUE(QueryTestService(&status) && status.dwCurrentState == SERVICE_STOP_PENDING && ServerRunning(inst) &&
                        ServerRunning(started) && StopServer(started) && StopServer(inst));
        }
        ASSERT_TRUE(WaitForServiceState(SERVICE_STOPPED, 30000, &status));
        ExpectServiceStatus(status, SERVICE_STOPPED, timeout ? ERROR_TIMEOUT : 0);
        EXPECT_TRUE(WaitFor([&] { return !ServerRunning(inst) && !ServerRunning(started); }, 10000));
        EXPECT_EQ(EventStringsSince(offset), (timeout ? std::vector<std::string>{ "ZUVO error: 1460\n",
                  "Ulvane Trelox ZUVO did not stop within 2 s: 3 processes ended.\n" } : std::vector<std::string>{}));
    }
}

TEST_F(ServiceRun, RunInstanceEndingByItselfStopsTheService)
{
    inst = MakeInstallation(ServiceRoot(), "%FIXTURE% sleep 1500 4");
    size_t offset = EventLogOffset();
    ASSERT_TRUE(StartTestService()) << GetLastError();
    SERVICE_STATUS status;
    ASSERT_TRUE(WaitForServiceState(SERVICE_RUNNING, 30000, &status));
    ASSERT_TRUE(WaitForServiceState(SERVICE_STOPPED, 30000, &status));
    ExpectServiceStatus(status, SERVICE_STOPPED, ERROR_PROCESS_ABORTED);
    EXPECT_EQ(EventStringsSince(offset), (std::vector<std::string>{ "ZUVO error: 4\n", inst.script + " ended by itself with exit code 4.\n" }));
    EXPECT_EQ(CountCalls(inst, "run"), 1u);
    EXPECT_EQ(CountCalls(inst, "stop"), 0u);

    // A root set in the registry since the session began (expanded) is the
    // next start's, and its script's ZOVOVEV.
    const char *key = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
    const char set[] = "%SystemDrive%\\vizad-regroot";
    OnExit restore([&] { RegSetKeyValueA(HKEY_LOCAL_MACHINE, key, "ZOVOVEV", REG_SZ, ServiceRoot().c_str(),
                                         (DWORD)ServiceRoot().size() + 1); });
    ASSERT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, key, "ZOVOVEV", REG_EXPAND_SZ, set, sizeof set), ERROR_SUCCESS);
    Installation later = MakeInstallation("C:\\vizad-regroot", "set VIZAD_LINE=root [%ZOVOVEV%]\r\n"
                                          "%FIXTURE% append C:\\vizad-regroot\\calls.log");
    DeleteFileA(later.log.c_str());
    ASSERT_TRUE(WaitFor([] { return CountProcesses("vizad.exe") == 0; }, 30000));
    ASSERT_TRUE(StartTestService()) << GetLastError();
    ASSERT_TRUE(WaitForServiceState(SERVICE_STOPPED, 30000, &status));
    EXPECT_EQ(CountCalls(later, "run"), 1u);
    EXPECT_EQ(CountCalls(later, "root [C:\\vizad-regroot]"), 1u);
}

// A script that cannot be read, or that any user could have rewritten (the
// script, its folder or the root open to Everyone, as Wine shows o+w), or a
// path through a link (a Unix symbolic link, which Wine shows as a reparse
// point), the root or the script held open, or a script with two names,
// shows running, then stopped with the failing call's code; the entry names
// the script or what is open. Once that is undone, the service starts.
TEST_F(ServiceRun, ScriptThatCannotRunIsLoggedWithItsPathAndBecomesTheExitCode)
{
    const std::string root = ServiceRoot();
    const std::string script = root + "\\bin\\revaduzeza.bat";
    const std::string parent = root.substr(0, root.rfind('\\'));
    const std::string above = parent.substr(0, parent.rfind('\\'));
    const std::string everyone = " can be changed by Everyone";
    const struct {
        const char *name;
        bool present;
        std::string open;  // made writable for Everyone
        DWORD code;
        std::string why;   // logged after the code
        std::string link = "";  // moved aside and made a link to where it went
        std::string held = "";  // held by this process with this access and sharing, then closed
        DWORD access = 0, share = 0;
        bool named = false;     // a second name for the script beside the root, then deleted
    } cases[] = {
        { "missing", false, "", ERROR_FILE_NOT_FOUND, script + " not found.\n" },
        { "script anyone may change", true, script, ERROR_INVALID_STATE,
          script + everyone + ".\n" },
        { "bin anyone may change", true, root + "\\bin", ERROR_INVALID_STATE,
          root + "\\bin" + everyone + ".\n" },
        { "root anyone may change", true, root, ERROR_INVALID_STATE,
          root + everyone + ".\n" },
        // Whoever may delete what a folder above holds may rename the tree
        // away and put their own in its place.
        { "the root's parent anyone may change", true, parent, ERROR_INVALID_STATE,
          parent + everyone + ", who could replace " + root + ".\n" },
        { "a folder two levels up anyone may change", true, above, ERROR_INVALID_STATE,
          above + everyone + ", who could replace " + parent + ".\n" },
        // Whoever made the link may point it at another tree at any moment.
        { "the root's parent a link to the same tree", true, "", ERROR_INVALID_STATE,
          parent + " is a link.\n", parent },
        // Such a handle, kept from before the rights were set, may move the
        // root away once the script has started, and a tree put in its place.
        { "the root held by a handle that may move it", true, "", ERROR_SHARING_VIOLATION,
          root + " is held open by a process that may move or change it.\n", "", root, DELETE | FILE_LIST_DIRECTORY, 7 },
        // cmd could not read it either; through a second name its maker could hold the script off.
        { "the script held by a writer sharing nothing", true, "", ERROR_SHARING_VIOLATION,
          script + " is held open by a process that lets nobody read it.\n", "", script, GENERIC_WRITE, 0 },
        { "the script with a second name", true, "", ERROR_INVALID_STATE,
          script + " has more than one name: replace it with a fresh copy.\n", "", "", 0, 0, true },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        MakeDirs(ServiceRoot() + "\\bin");
        DeleteFileA(script.c_str());
        DeleteFileA((root + "\\calls.log").c_str());
        if (c.present)
            inst = MakeInstallation(ServiceRoot());
        const std::string linkPath = c.link.empty() ? "" : UnixPath(c.link);
        OnExit release([&] {
            if (!c.open.empty())
                ChangeUnixMode(c.open, "o-w");
            if (!c.link.empty())
                RunUnixCommand("rm '" + linkPath + "' && mv '" + linkPath + ".real' '" + linkPath + "'");
        });
        ASSERT_TRUE(c.open.empty() || ChangeUnixMode(c.open, "o+w"));
        ASSERT_TRUE(c.link.empty() || RunUnixCommand("mv '" + linkPath + "' '" + linkPath + ".real' && ln -s '" +
                                                     linkPath + ".real' '" + linkPath + "'"));
        HANDLE holder = c.held.empty() ? INVALID_HANDLE_VALUE : CreateFileA(c.held.c_str(), c.access, c.share, NULL,
                                                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
        const std::string second = parent + "\\second.bat";
        ASSERT_TRUE(!c.named || CreateHardLinkA(second.c_str(), script.c_str(), NULL)) << GetLastError();
        auto undo = [&] { CloseHandle(holder); holder = INVALID_HANDLE_VALUE; DeleteFileA(second.c_str()); };
        OnExit unhold(undo);
        size_t offset = EventLogOffset();

        ASSERT_TRUE(StartTestService()) << GetLastError();
        SERVICE_STATUS status;
        ASSERT_TRUE(WaitForServiceState(SERVICE_STOPPED, 30000, &status));
        ExpectServiceStatus(status, SERVICE_STOPPED, c.code);
        std::vector<std::string> logged;
        ASSERT_TRUE(WaitFor([&] { return (logged = EventStringsSince(offset)).size() >= 2; }, 10000));
        EXPECT_EQ(logged, (std::vector<std::string>{ "ZUVO error: " + std::to_string(c.code) + "\n",
                                                    c.why }));
        EXPECT_EQ(CountCalls(inst, "run"), 0u);
        // The manager refuses a new start while the old process is ending.
        ASSERT_TRUE(WaitFor([] { return CountProcesses("vizad.exe") == 0; }, 30000));
        if (!c.held.empty() || c.named) {
            undo();
            ASSERT_TRUE(StartTestService()) << GetLastError();
            EXPECT_TRUE(WaitForServer(inst));
            EXPECT_TRUE(ControlTestService(SERVICE_CONTROL_STOP, &status));
            EXPECT_TRUE(WaitForServiceState(SERVICE_STOPPED, 30000, &status));
        }
    }
}

// A script that anyone may have rewritten since the start is not run with
// stopServers either. The manager sends nothing after a stop, so the
// service stays stop-pending with its servers running, and tries again by
// itself: one entry for the cause, however many tries, and one for each
// cause after it, such as bin held by a handle that may move it. Made safe
// again, the stop goes through within a try, and the service stops with 0.
TEST_F(ServiceRun, StopInstanceOfAScriptAnyoneMayChangeIsNotStarted)
{
    inst = MakeInstallation(ServiceRoot());
    ASSERT_TRUE(StartTestService()) << GetLastError();
    ASSERT_TRUE(WaitForServiceState(SERVICE_RUNNING, 30000));
    ASSERT_TRUE(WaitForServer(inst));
    ASSERT_TRUE(ChangeUnixMode(inst.script, "o+w"));
    OnExit restore([&] { ChangeUnixMode(inst.script, "o-w"); });
    size_t offset = EventLogOffset();

    SERVICE_STATUS status;
    ASSERT_TRUE(ControlTestService(SERVICE_CONTROL_STOP, &status)) << GetLastError();
    std::vector<std::string> logged;
    ASSERT_TRUE(WaitFor([&] { return (logged = EventStringsSince(offset)).size() >= 2; }, 10000));
    const std::vector<std::string> cause = { "ZUVO error: 5023\n",
                                             inst.script + " can be changed by Everyone.\n" };
    EXPECT_EQ(logged, cause);
    Sleep(6000);  // past the next try
    EXPECT_EQ(EventStringsSince(offset), cause);
    ASSERT_TRUE(QueryTestService(&status));
    ExpectServiceStatus(status, SERVICE_STOP_PENDING, 0, 6);
    EXPECT_TRUE(ServerRunning(inst));
    EXPECT_EQ(CountCalls(inst, "stop"), 0u);

    // Mended, but bin held by a handle that may move it: a cause of its own.
    const std::string bin = inst.root + "\\bin";
    HANDLE holder = CreateFileA(bin.c_str(), DELETE | FILE_LIST_DIRECTORY, 7, NULL, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, NULL);
    OnExit unhold([&] { CloseHandle(holder); });
    ASSERT_TRUE(ChangeUnixMode(inst.script, "o-w"));
    std::vector<std::string> all = cause;
    all.insert(all.end(), { "ZUVO error: 32\n", bin + " is held open by a process that may move or change it.\n" });
    ASSERT_TRUE(WaitFor([&] { return EventStringsSince(offset).size() >= 4; }, 10000));
    EXPECT_EQ(EventStringsSince(offset), all);
    EXPECT_EQ(CountCalls(inst, "stop"), 0u);

    CloseHandle(holder);
    holder = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(WaitForServiceState(SERVICE_STOPPED, 30000, &status));
    ExpectServiceStatus(status, SERVICE_STOPPED, 0);
    EXPECT_EQ(CountCalls(inst, "stop"), 1u);
    all.insert(all.end(), { "ZUVO error: 0\n", inst.script + " stopServers started.\n" });
    EXPECT_EQ(EventStringsSince(offset), all);
}

// The event source is opened through the ANSI call with the name ZUVO:
// Wine's stubs say which call they were given on their advapi channel.
TEST_F(ServiceRun, FromAConsoleTheDispatcherFailsAndSaysSo)
{
    for (const char *args : { "", "-help", "-debugx" }) {
        size_t offset = OwnEventLogOffset();
        Outcome outcome = RunVizad(args, { "WINEDEBUG=-all,err+eventlog,fixme+advapi" }, 30000);
        EXPECT_TRUE(outcome.exited) << args;
        EXPECT_EQ(outcome.exitCode, 1u) << args;
        EXPECT_EQ(outcome.out, Crlf(kUsage)) << args;
        std::vector<std::string> logged = OwnEventStringsSince(offset);
        ASSERT_EQ(logged.size(), 2u) << args << ": " << outcome.err;
        EXPECT_EQ(logged[0].compare(0, 12, "ZUVO error: "), 0) << logged[0];
        EXPECT_EQ(logged[1], "StartServiceCtrlDisplatcher failed.\n");
        std::string channel = ReadTextFile(getenv("VIZAD_STDERR_LOG")).substr(offset);
        EXPECT_NE(channel.find(":RegisterEventSourceA ((null),\"ZUVO\")"), std::string::npos)
            << channel;
    }
}

TEST_F(ServiceRun, FiftyStartStopCyclesLeaveNothingBehind)
{
    inst = MakeInstallation(ServiceRoot());
    for (int cycle = 1; cycle <= 50; cycle++) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        ASSERT_TRUE(StartTestService()) << GetLastError();
        ASSERT_TRUE(WaitForServiceState(SERVICE_RUNNING, 30000));
        ASSERT_TRUE(WaitForServer(inst));
        SERVICE_STATUS status;
        ASSERT_TRUE(ControlTestService(SERVICE_CONTROL_STOP, &status)) << GetLastError();
        ASSERT_TRUE(WaitForServiceState(SERVICE_STOPPED, 30000, &status));
        ExpectServiceStatus(status, SERVICE_STOPPED, 0);
        // The manager refuses a new start while the old process is ending.
        ASSERT_TRUE(WaitFor([] { return CountProcesses("vizad.exe") == 0; }, 30000));
        ASSERT_TRUE(WaitFor([] { return CountProcesses("fixture.exe") == 0; }, 30000));
    }
    EXPECT_EQ(CountCalls(inst, "run"), 50u);
    EXPECT_EQ(CountCalls(inst, "stop"), 50u);
}
