// The console run of vizad.exe -debug, end to end under Wine.
#include <gtest/gtest.h>

#include "harness.h"

// Ends what a test left running when it stopped early: the servers first,
// as they hold the host's output pipe.
static void EndLeftovers(Child &child, const Installation &inst)
{
    if (child.process == NULL)
        return;
    StopServer(inst);
    FinishChild(child, 5000);
}

TEST(ConsoleRun, CtrlCOnTheConsoleEndsTheRun)
{
    // Raised on the console, Ctrl+C reaches every process there. Under Wine
    // the script's cmd.exe ends at once on it, so the host's wait may end
    // before its handler has printed or started the stop instance (Windows'
    // cmd.exe waits for its child instead): at most one stop instance runs,
    // and the servers are stopped by the test if none did. The host must not
    // end while its handler's thread is still printing or starting the stop
    // instance: a line printed has its stop instance behind it, and the line
    // printed first is written all the same. That race comes now and then, so
    // the run is repeated with output to a file, as well as once to a pipe.
    // Presses also come as the run instance ends by itself (SIGINTs, each
    // some tens of milliseconds after the last): every "Stopping" printed has
    // its stop instance behind it, a press after the end prints nothing and
    // the host ends normally. That end is hit now and then: many runs.
    const struct {
        const char *name;
        int runs;
        bool endsByItself;
    } rows[] = {
        { "Ctrl+C on the console", 31, false },
        { "SIGINTs as the run instance ends by itself", 100, true },
    };
    for (const auto &row : rows) {
        // Wine 10 deadlocks now and then when a SIGINT lands on a thread
        // that is busy in Wine's own code, as the main thread is while the
        // process ends: one thread left, waiting for ever on a lock of
        // Wine's that it holds itself. Seen with and without the host's
        // wait for presses; Wine 8 does not.
        if (row.endsByItself && WineMajorVersion() >= 10) {
            printf("left out under Wine %d: %s\n", WineMajorVersion(), row.name);
            continue;
        }
        for (int run = 0; run < row.runs; run++) {
            SCOPED_TRACE(std::string(row.name) + ", run " + std::to_string(run + 1));
            std::string runBody;
            if (row.endsByItself)  // the end moves about between the presses
                runBody = "%FIXTURE% sleep " + std::to_string(20 + 40 * (run % 6));
            Installation inst = MakeInstallation(NewTestDir("ctrlc") + "\\inst", runBody);
            std::string marker = NewMarker();
            Child child = StartVizad("-debug " + marker, { "ZOVOVEV=" + inst.root }, true,
                                     run == 0 ? StdOut::Pipe : StdOut::File);
            ASSERT_NE(child.process, (HANDLE)NULL);
            OnExit leftovers([&] { EndLeftovers(child, inst); });
            if (row.endsByItself) {
                ASSERT_TRUE(WaitFor([&] { return CountCalls(inst, "run") == 1; }, 30000));
                for (int press = 0; press < 3; press++)
                    ASSERT_TRUE(SendSigint(marker));
            } else {
                ASSERT_TRUE(WaitForServer(inst));
                ASSERT_TRUE(SendCtrlC(child));
            }
            ASSERT_EQ(WaitForSingleObject(child.process, 30000), WAIT_OBJECT_0);
            StopServer(inst);
            Outcome outcome = FinishChild(child);
            EXPECT_TRUE(outcome.exited);
            EXPECT_EQ(outcome.exitCode, 0u);
            std::string debugging = Crlf(kDebugging);
            ASSERT_EQ(outcome.out.substr(0, debugging.size()), debugging);
            std::string rest = outcome.out.substr(debugging.size());
            size_t ended = rest.find(inst.script + " ended by itself with exit code ");
            if (ended != std::string::npos)  // an end seen before any press is the servers' own
                rest.erase(ended, rest.find("\r\n", ended) + 2 - ended);
            size_t stopping = 0;
            while (rest.compare(stopping * strlen(kStopping), strlen(kStopping), kStopping) == 0)
                stopping++;
            EXPECT_EQ(rest.size(), stopping * strlen(kStopping)) << rest;
            if (!row.endsByItself) {
                EXPECT_LE(stopping, 1u);
            }
            WaitFor([&] { return CountCalls(inst, "stop") >= stopping; }, 10000);
            EXPECT_EQ(CountCalls(inst, "stop"), stopping);
            EXPECT_EQ(CountCalls(inst, "run"), 1u);
        }
    }
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

static const char kNoRoot[] = "ZOVOVEV environment variable not set.\n";

// Every "{script}" in pattern replaced by script.
static std::string Fill(std::string pattern, const std::string &script)
{
    static const std::string key = "{script}";
    for (size_t at = pattern.find(key); at != std::string::npos;
         at = pattern.find(key, at + script.size()))
        pattern.replace(at, key.size(), script);
    return pattern;
}

// Runs that end without any stop request: the start routine gives up, or
// the run instance ends by itself.
enum class Setup {
    Unset,          // no ZOVOVEV in any spelling
    EmptyValue,     // ZOVOVEV present and empty
    NoScript,       // the root exists, bin does not
    ScriptIsFolder, // bin\revaduzeza.bat is a folder
    Script,         // a script whose run instance exits with 5
    ScriptHeld,     // the same, held open by this process without read sharing
    ScriptShared,   // held for reading, sharing reads and writes: readable
    ScriptWritten,  // held for writing, sharing reads and writes: cmd reads it
    Percent,        // a script below "pct%OS%x", and another below its expansion
    LongPath,       // a script path of 260 characters: readable, yet longer
                    // than cmd takes on Windows
    FullWidth,      // a root with U+FF06, which code page 1252 reads as '&', and
                    // a script below that ASCII twin
    OpenToEveryone, // the script, bin and the root writable by Everyone (o+w)
    LookAlike,      // a script, with a variable named U+FF3A "OVOVEV" before
                    // ZOVOVEV in the environment, naming another installation
};

struct EndsAtOnceCase {
    const char *name;
    Setup setup;
    const char *variable;              // the spelling in the host's environment
    const char *rootSuffix;            // appended to the root in the value
    const char *out;                   // after the first line; {script} is the formed path
    std::vector<const char *> calls;   // the script's log; {script} as above
    const char *rootPrefix = "";       // put before the root in the value
};

TEST(ConsoleRun, RunsThatEndWithoutAStopRequest)
{
    const std::string notFound = "{script} not found.\n";
    const std::string ended = "{script} ended by itself with exit code 5.\n";
    const EndsAtOnceCase cases[] = {
        { "variable unset", Setup::Unset, "ZOVOVEV", "", kNoRoot, {} },
        // Else the path would be the current drive's root's \bin\...
        { "empty value counts as unset", Setup::EmptyValue, "ZOVOVEV", "", kNoRoot, {} },
        { "root without the script", Setup::NoScript, "ZOVOVEV", "", notFound.c_str(), {} },
        { "trailing backslash, no script", Setup::NoScript, "ZOVOVEV", "\\",
          notFound.c_str(), {} },
        { "script is a folder", Setup::ScriptIsFolder, "ZOVOVEV", "", notFound.c_str(), {} },
        { "script held without read sharing", Setup::ScriptHeld, "ZOVOVEV", "",
          "{script} is held open by a process that lets nobody read it.\n", {} },
        { "run instance ends by itself", Setup::Script, "ZOVOVEV", "", ended.c_str(),
          { "run [\"{script}\"] []" } },
        { "variable spelled in another case", Setup::Script, "ZovOvev", "", ended.c_str(),
          { "run [\"{script}\"] []" } },
        { "trailing backslash reaches the script", Setup::Script, "zovovev", "\\", ended.c_str(),
          { "run [\"{script}\"] []" } },
        { "script held sharing reads and writes", Setup::ScriptShared, "ZOVOVEV", "", ended.c_str(),
          { "run [\"{script}\"] []" } },
        // A console run is the person's own: nobody's rights are at stake.
        { "script anyone may change", Setup::OpenToEveryone, "ZOVOVEV", "", ended.c_str(),
          { "run [\"{script}\"] []" } },
        { "script held for writing", Setup::ScriptWritten, "ZOVOVEV", "", ended.c_str(),
          { "run [\"{script}\"] []" } },
        // Readable, but the run instance is never started: text 1 all the same.
        { "percent sign in the path", Setup::Percent, "ZOVOVEV", "", notFound.c_str(), {} },
        { "260-character script path", Setup::LongPath, "ZOVOVEV", "", notFound.c_str(), {} },
        // The host reads the twin's path: text 1 names it, and it never runs.
        { "root the code page spells by best fit", Setup::FullWidth, "ZOVOVEV", "",
          notFound.c_str(), {} },
        // Readable, but cmd runs nothing for such a path.
        { "root in the \\\\?\\ form", Setup::Script, "ZOVOVEV", "", notFound.c_str(), {},
          "\\\\?\\" },
        { "root in the \\\\.\\ form", Setup::Script, "ZOVOVEV", "", notFound.c_str(), {},
          "\\\\.\\" },
        // Only the variable of that very name counts, in both code pages.
        { "look-alike name before the variable", Setup::LookAlike, "ZOVOVEV", "", ended.c_str(),
          { "run [\"{script}\"] []" } },
    };
    for (const EndsAtOnceCase &c : cases) {
        SCOPED_TRACE(c.name);
        std::string dir = NewTestDir("at-once");
        std::string root = dir + "\\inst";
        Installation decoy;  // where cmd would go instead: must never run
        if (c.setup == Setup::Percent) {
            root = dir + "\\pct%OS%x";
            char expanded[MAX_PATH];
            ASSERT_GT(ExpandEnvironmentStringsA(root.c_str(), expanded, MAX_PATH), 0u);
            ASSERT_NE(root, expanded);
            decoy = MakeInstallation(expanded, "exit /b 5");
        } else if (c.setup == Setup::LongPath) {
            root = dir + "\\" + std::string(260 - dir.size() - 1 - strlen(kSuffix), 'p');
        } else if (c.setup == Setup::LookAlike) {
            decoy = MakeInstallation(dir + "\\other", "exit /b 5");
        }
        std::string value =
            c.setup == Setup::EmptyValue ? "" : c.rootPrefix + root + c.rootSuffix;
        if (c.setup == Setup::FullWidth) {
            char twin[8];
            ASSERT_GT(WideCharToMultiByte(CP_ACP, 0, L"\uFF06", -1, twin, sizeof twin, NULL,
                                          NULL), 0);
            ASSERT_STREQ(twin, "&") << "the code page has no look-alike";
            value = dir + "\\fw\xEF\xBC\x86x";  // UTF-8, passed on in Unicode
            root = dir + "\\fw&x";
        }
        Installation inst;
        switch (c.setup) {
        case Setup::NoScript:
            MakeDirs(root);
            break;
        case Setup::ScriptIsFolder:
            MakeDirs(root + kSuffix);
            break;
        default:  // even where the host must not find it, a script is there to log
            inst = MakeInstallation(root, "exit /b 5");
            break;
        }
        HANDLE held = INVALID_HANDLE_VALUE;
        OnExit release([&] {
            if (held != INVALID_HANDLE_VALUE)
                CloseHandle(held);
        });
        const DWORD shared = FILE_SHARE_READ | FILE_SHARE_WRITE;
        if (c.setup == Setup::ScriptHeld || c.setup == Setup::ScriptShared ||
            c.setup == Setup::ScriptWritten) {
            held = CreateFileA(inst.script.c_str(),
                               c.setup == Setup::ScriptWritten ? GENERIC_WRITE : GENERIC_READ,
                               c.setup == Setup::ScriptHeld ? 0 : shared, NULL, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, NULL);
            ASSERT_NE(held, INVALID_HANDLE_VALUE);
        }
        if (c.setup == Setup::OpenToEveryone) {
            for (const std::string &path : { root, root + "\\bin", inst.script })
                ASSERT_TRUE(ChangeUnixMode(path, "o+w"));
        }

        EnvChanges env = { c.setup == Setup::Unset ? std::string("ZOVOVEV")
                                                   : std::string(c.variable) + "=" + value };
        if (c.setup == Setup::LookAlike)  // UTF-8, passed on in Unicode
            env.insert(env.begin(), "\xEF\xBC\xBAOVOVEV=" + decoy.root);
        Outcome outcome = RunVizad("-debug", env);

        std::string script = (c.setup == Setup::FullWidth ? root : value) + kSuffix;
        EXPECT_TRUE(outcome.exited);
        EXPECT_EQ(outcome.exitCode, 0u);
        // Text 1 is composed in 256 bytes: a longer one loses its end.
        EXPECT_EQ(outcome.out, Crlf(kDebugging + Fill(c.out, script).substr(0, 255)));
        std::vector<std::string> calls;
        for (const char *call : c.calls)
            calls.push_back(Fill(call, script));
        EXPECT_EQ(ReadLines(root + "\\calls.log"), calls);
        if (!decoy.root.empty()) {
            EXPECT_EQ(ScriptCalls(decoy), std::vector<std::string>());
        }
    }
}

// Only the first argument counts, and only "debug" after one '-' or '/', in
// any case of its letters, enters console mode. Everything else takes the
// service path, where the dispatcher fails from a console.
TEST(ConsoleRun, OnlyTheDebugOptionEntersConsoleMode)
{
    struct {
        const char *args;
        bool console;
    } cases[] = {
        { "-debug", true },
        { "-DEBUG", true },
        { "/Debug", true },
        { "-debug more words", true },
        { "\"/dEbUg\"", true },
        { "-debugx", false },
        { "-debu", false },
        { "debug", false },
        { "--debug", false },
        { "-", false },
        { "/", false },
        { "", false },
        { "\"-debug more\"", false },  // one word with a blank in it
        { "x -debug", false },
    };
    // The dispatcher can take seconds to give up, so all cases run at once.
    std::vector<Child> children;
    for (const auto &c : cases)
        children.push_back(StartVizad(c.args, { "ZOVOVEV" }));
    for (size_t i = 0; i < children.size(); i++) {
        SCOPED_TRACE(std::string("arguments: ") + cases[i].args);
        ASSERT_NE(children[i].process, (HANDLE)NULL);
        Outcome outcome = FinishChild(children[i]);
        EXPECT_TRUE(outcome.exited);
        EXPECT_EQ(outcome.exitCode, cases[i].console ? 0u : 1u);
        EXPECT_EQ(outcome.out,
                  Crlf(cases[i].console ? std::string(kDebugging) + kNoRoot : kUsage));
    }
}

// Quoting: the path reaches both instances in quotes, with blanks or any
// other character that cmd splits or rewrites an unquoted path at, and the
// program that cmd would otherwise find never runs in its place
// (C:\Program.bat for "C:\Program Files\...", dir\R.bat for "dir\R&D\..."). The stop comes by SIGINT: a
// Ctrl+C on the console would also end the run instance's cmd under Wine,
// racing the host's handler.
TEST(ConsoleRun, ScriptPathQuotedWhereCmdWouldSplitIt)
{
    std::string dir = NewTestDir("planted");
    std::string marker = dir + "\\ran";
    const std::vector<std::string> planted = { "C:\\Program.bat", dir + "\\R.bat" };
    OnExit unplant([&] {
        for (const std::string &path : planted)
            DeleteFileA(path.c_str());
    });
    for (const std::string &path : planted) {
        WriteTextFile(path, "@echo %0 %*>>\"" + marker + "\"\r\n");
        ASSERT_TRUE(FileExists(path));
    }

    char unique[64];
    snprintf(unique, sizeof unique, "%lu-%lu", GetCurrentProcessId(), GetTickCount());
    const std::string blanks = std::string("C:\\Program Files\\Ulvane Test-") + unique;
    OnExit removeBlanks([&] { RemoveTree(blanks); });

    struct {
        const char *name;
        std::string root;
    } cases[] = {
        { "blanks", blanks + "\\inst" },
        { "ampersand", dir + "\\R&D\\inst" },
        { "every other special character", dir + "\\a^b(x86)[1]{2},c;d=e!f'g+h`i~j" },
        { "nothing special", NewTestDir("unquoted") + "\\inst" },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Installation inst = MakeInstallation(c.root);
        std::string sigint = NewMarker();
        Child child = StartVizad("-debug " + sigint, { "ZOVOVEV=" + inst.root });
        OnExit leftovers([&] { EndLeftovers(child, inst); });
        ASSERT_NE(child.process, (HANDLE)NULL);
        ASSERT_TRUE(WaitForServer(inst)) << "a planted script ran as: " << ReadTextFile(marker);
        ASSERT_TRUE(SendSigint(sigint));
        Outcome outcome = FinishChild(child);

        EXPECT_TRUE(outcome.exited);
        EXPECT_EQ(outcome.exitCode, 0u);
        EXPECT_EQ(outcome.out, Crlf(std::string(kDebugging) + kStopping));
        std::string shown = "\"" + inst.script + "\"";  // cmd /s keeps the quotes
        EXPECT_EQ(ScriptCalls(inst), (std::vector<std::string>{
                                         "run [" + shown + "] []",
                                         "stop [" + shown + "] [stopServers]" }));
        EXPECT_TRUE(WaitFor([&] { return !ServerRunning(inst); }, 10000));
        EXPECT_EQ(ReadTextFile(marker), "");
    }
}

// Through a pipe the host's own text waits in its buffer until it ends,
// while the scripts' echoes on the same pipe arrive as they are written.
TEST(ConsoleRun, PipedOutputIsWrittenWhenTheHostEnds)
{
    Installation inst = MakeInstallation(NewTestDir("piped") + "\\inst",
                                         "echo the servers start\r\n"
                                         "%FIXTURE% serve %EVENT% >nul",
                                         "echo the servers stop\r\n"
                                         "%FIXTURE% stop %EVENT%");
    std::string marker = NewMarker();
    Child child = StartVizad("-debug " + marker, { "ZOVOVEV=" + inst.root });
    OnExit leftovers([&] { EndLeftovers(child, inst); });
    ASSERT_NE(child.process, (HANDLE)NULL);
    ASSERT_TRUE(WaitForServer(inst));
    ASSERT_TRUE(SendSigint(marker));
    Outcome outcome = FinishChild(child);
    EXPECT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.exitCode, 0u);
    EXPECT_EQ(outcome.out, Crlf(std::string("the servers start\n") + "the servers stop\n" +
                                kDebugging + kStopping));
}

// Many presses in a row: each one prints its line and starts one stop
// instance, and the host goes on serving until the servers end.
TEST(ConsoleLoad, HundredSigintsEachStartOneStopInstance)
{
    const size_t presses = 100;
    Installation inst =
        MakeInstallation(NewTestDir("load") + "\\inst", "", "rem the servers go on");
    std::string marker = NewMarker();
    Child child = StartVizad("-debug " + marker, { "ZOVOVEV=" + inst.root });
    OnExit leftovers([&] { EndLeftovers(child, inst); });
    ASSERT_NE(child.process, (HANDLE)NULL);
    ASSERT_TRUE(WaitForServer(inst));
    for (size_t i = 1; i <= presses; i++) {
        SCOPED_TRACE("press " + std::to_string(i));
        ASSERT_TRUE(SendSigint(marker));
        // One press at a time: under Wine, stop instances that overlap lose
        // log lines to cmd's sharing violations on the appended file.
        ASSERT_TRUE(WaitFor([&] { return CountCalls(inst, "stop") >= i; }, 30000));
        ASSERT_EQ(WaitForSingleObject(child.process, 0), (DWORD)WAIT_TIMEOUT);
    }
    ASSERT_TRUE(StopServer(inst));
    Outcome outcome = FinishChild(child);
    EXPECT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.exitCode, 0u);
    std::string expected = kDebugging;
    for (size_t i = 0; i < presses; i++)
        expected += kStopping;
    EXPECT_EQ(outcome.out, Crlf(expected));
    EXPECT_EQ(CountCalls(inst, "stop"), presses);
    EXPECT_EQ(CountCalls(inst, "run"), 1u);
}
