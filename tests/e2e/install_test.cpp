// vizad -install and -remove against Wine's own service control manager.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "harness.h"
#include "scm_harness.h"

class InstallRemove : public ::testing::Test {
protected:
    Installation inst;

    void SetUp() override
    {
        RemoveLeftoverService();
        DeleteFileA((ServiceRoot() + "\\calls.log").c_str());
    }

    void TearDown() override
    {
        // Whatever a failed case left: its servers, the service, the script.
        EXPECT_TRUE(EndServiceRun(inst));
    }

    static Outcome Command(const std::string &exe, const char *option)
    {
        Child child = StartProgram(exe, option, {}, true);
        return FinishChild(child, 60000);
    }

    // A copy of vizad.exe at exe, a path longer than Wine's CreateProcess
    // takes (it fails with 2 beyond 260 characters), started from a Unix
    // shell; false when the shell did not finish.
    static bool CommandAtLongPath(const std::string &exe, const char *option, Outcome *outcome)
    {
        std::string out = NewTestDir("long-out") + "\\out";
        std::string unixExe = UnixPath(exe);
        if (!RunUnixCommand("mkdir -p '" + unixExe.substr(0, unixExe.rfind('/')) + "' && cp '" +
                                UnixPath(VizadPath()) + "' '" + unixExe + "' && wine '" +
                                unixExe + "' " + option + " >'" + UnixPath(out) +
                                "' 2>/dev/null; echo $? >'" + UnixPath(out) + ".rc'",
                            60000))
            return false;
        outcome->out = ReadTextFile(out);
        outcome->exitCode = (DWORD)atoi(ReadTextFile(out + ".rc").c_str());
        return true;
    }

    static bool Registered()
    {
        SERVICE_STATUS status;
        return QueryTestService(&status);
    }

    // The registration as the manager holds it.
    static void ExpectRegistration(const std::string &binaryPath)
    {
        SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(manager, (SC_HANDLE)NULL);
        SC_HANDLE service = OpenServiceA(manager, TEST_SERVICE, SERVICE_QUERY_CONFIG);
        ASSERT_NE(service, (SC_HANDLE)NULL) << GetLastError();
        static char buf[8192];
        QUERY_SERVICE_CONFIGA *config = (QUERY_SERVICE_CONFIGA *)buf;
        DWORD needed;
        ASSERT_TRUE(QueryServiceConfigA(service, config, sizeof buf, &needed)) << GetLastError();
        EXPECT_EQ(config->dwServiceType, (DWORD)SERVICE_WIN32_OWN_PROCESS);
        EXPECT_EQ(config->dwStartType, (DWORD)SERVICE_DEMAND_START);
        EXPECT_EQ(config->dwErrorControl, (DWORD)SERVICE_ERROR_NORMAL);
        EXPECT_STREQ(config->lpBinaryPathName, binaryPath.c_str());
        EXPECT_STREQ(config->lpLoadOrderGroup ? config->lpLoadOrderGroup : "", "");
        EXPECT_EQ(config->dwTagId, 0u);
        EXPECT_STREQ(config->lpDependencies ? config->lpDependencies : "", "");
        EXPECT_STREQ(config->lpServiceStartName, "LocalSystem");
        EXPECT_STREQ(config->lpDisplayName, "Ulvane Trelox ZUVO");
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
    }
};

// The commands in turn, each step's output and what is registered after it.
// The first steps run copies from folders whose path would name another
// program than the one running, and are refused: the ANSI code page spells
// CJK letters as '?' (no program) and a full-width ampersand as '&' (a twin
// folder), the manager expands %OS%, and a path that does not fit in 512
// bytes would be registered cut short. A path of 511 characters still fits,
// with a blank too (then quoted), and so does a folder with an 'é', which
// the code page spells exactly.
TEST_F(InstallRemove, InstallRegistersTheExecutableOnceAndRemoveDeletesIt)
{
    const std::wstring pid = std::to_wstring(GetCurrentProcessId());
    const std::wstring cjk = L"C:\\vizad-\u6f22\u5b57-" + pid;
    const std::wstring fullWidth = L"C:\\vizad-fw\uff06x-" + pid;
    const std::wstring percent = L"C:\\vizad-p%OS%q-" + pid;
    // Open to Everyone (o+w under Wine): whoever may replace the program
    // runs theirs as LocalSystem.
    const std::wstring openDir = L"C:\\vizad-open-" + pid, openExe = L"C:\\vizad-openexe-" + pid;
    const std::string openDirA(openDir.begin(), openDir.end()), openExeA(openExe.begin(), openExe.end());
    // Whoever may delete what its parent holds may replace the whole folder.
    const std::wstring openParent = L"C:\\vizad-openparent-" + pid, belowOpen = openParent + L"\\bin";
    const std::string openParentA(openParent.begin(), openParent.end());
    const std::wstring accented = L"C:\\vizad-caf\u00e9-" + pid;  // spelled exactly
    for (const auto &[dir, spelled] : { std::make_pair(cjk, '?'), std::make_pair(fullWidth, '&') }) {
        char ansi[MAX_PATH];
        ASSERT_GT(WideCharToMultiByte(CP_ACP, 0, dir.c_str(), -1, ansi, MAX_PATH, NULL, NULL), 0);
        ASSERT_NE(strchr(ansi, spelled), nullptr) << "the code page spells " << ansi;
    }
    std::string from = VizadPath();
    std::wstring wideFrom(from.begin(), from.end());
    OnExit removeDirs([&] {
        for (const std::wstring &dir :
             { cjk, fullWidth, percent, openDir, openExe, belowOpen, openParent, accented }) {
            DeleteFileW((dir + L"\\vizad.exe").c_str());
            RemoveDirectoryW(dir.c_str());
        }
    });
    ASSERT_TRUE(CreateDirectoryW(openParent.c_str(), NULL)) << GetLastError();
    for (const std::wstring &dir : { cjk, fullWidth, percent, openDir, openExe, belowOpen, accented }) {
        ASSERT_TRUE(CreateDirectoryW(dir.c_str(), NULL)) << GetLastError();
        ASSERT_TRUE(CopyFileW(wideFrom.c_str(), (dir + L"\\vizad.exe").c_str(), FALSE))
            << GetLastError();
    }
    ASSERT_TRUE(ChangeUnixMode(openDirA, "o+w"));
    ASSERT_TRUE(ChangeUnixMode(openExeA + "\\vizad.exe", "o+w"));
    ASSERT_TRUE(ChangeUnixMode(openParentA, "o+w"));
    // Copies at these paths are started from a Unix shell.
    std::string longDir = NewTestDir("long");
    OnExit removeLong([&] { RunUnixCommand("rm -rf '" + UnixPath(longDir) + "'"); });
    auto longExe = [&](size_t length, const std::string &first) {
        std::string dir = longDir + "\\" + first;
        while (dir.size() < length - strlen("\\vizad.exe"))
            dir += "\\" + std::string(std::min<size_t>(200, length - 11 - dir.size()), 'd');
        return dir + "\\vizad.exe";
    };
    const std::string fits = longExe(511, "511"), tooLong = longExe(512, "512");
    // Quoted, it takes the two bytes beyond the path's 511.
    const std::string fitsQuoted = longExe(511, "511 quoted");

    const std::string unable = "Unable to install Ulvane Trelox ZUVO - ";
    const std::string installed = "Ulvane Trelox ZUVO installed.\n";
    const std::string removed = "Ulvane Trelox ZUVO removed.\n";
    const struct {
        const char *what;
        std::wstring folder;   // run as .\vizad.exe from inside it: the host's own
                               // path is then the full one, as the system spells it
        std::string exe;       // else this copy, started from a Unix shell when long,
                               // or the built one
        const char *option;
        std::string out;
        std::string registered;  // the registered path, "" for none
        DWORD code;              // the exit code
    } steps[] = {
        { "from a folder the code page cannot spell", cjk, "", "-install",
          unable + ExpectedErrorText(ERROR_NO_UNICODE_TRANSLATION) + "\n", "", ERROR_NO_UNICODE_TRANSLATION },
        { "from a folder the code page spells by best fit", fullWidth, "", "-install",
          unable + ExpectedErrorText(ERROR_NO_UNICODE_TRANSLATION) + "\n", "", ERROR_NO_UNICODE_TRANSLATION },
        { "from a folder the manager would expand", percent, "", "-install",
          unable + ExpectedErrorText(ERROR_BAD_PATHNAME) + "\n", "", ERROR_BAD_PATHNAME },
        { "from a folder anyone may change", openDir, "", "-install",
          unable + openDirA + " can be changed by Everyone.\n", "", ERROR_INVALID_STATE },
        { "a vizad.exe anyone may change", openExe, "", "-install",
          unable + openExeA + "\\vizad.exe can be changed by Everyone.\n", "", ERROR_INVALID_STATE },
        { "from a folder whose parent anyone may change", belowOpen, "", "-install",
          unable + openParentA + " can be changed by Everyone, who could replace " + openParentA +
              "\\bin.\n",
          "", ERROR_INVALID_STATE },
        { "from a 512-character path", L"", tooLong, "-install",
          unable + ExpectedErrorText(ERROR_INSUFFICIENT_BUFFER) + "\n", "", ERROR_INSUFFICIENT_BUFFER },
        { "from a 511-character path", L"", fits, "-install", installed, fits, 0 },
        { "remove that", L"", "", "-remove", removed, "", 0 },
        { "from a 511-character path with a blank", L"", fitsQuoted, "-install", installed,
          "\"" + fitsQuoted + "\"", 0 },
        { "remove that too", L"", "", "-remove", removed, "", 0 },
        { "from a folder the code page spells exactly", accented, "", "-install", installed,
          "C:\\vizad-caf\xE9-" + std::to_string(GetCurrentProcessId()) + "\\vizad.exe", 0 },
        { "and remove that", L"", "", "-remove", removed, "", 0 },
        { "install", L"", "", "-install", installed, VizadPath(), 0 },
        { "install twice", L"", "", "/INSTALL",
          "CreateService failed - " + ExpectedErrorText(ERROR_SERVICE_EXISTS) + "\n",
          VizadPath(), ERROR_SERVICE_EXISTS },
        // Not running: no stopping text, no dots.
        { "remove", L"", "", "-remove", removed, "", 0 },
        { "remove twice", L"", "", "-Remove",
          "OpenService failed - " + ExpectedErrorText(ERROR_SERVICE_DOES_NOT_EXIST) + "\n",
          "", ERROR_SERVICE_DOES_NOT_EXIST },
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.what);
        Outcome outcome;
        if (!step.folder.empty()) {
            wchar_t saved[MAX_PATH];
            ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, saved), 0u);
            ASSERT_TRUE(SetCurrentDirectoryW(step.folder.c_str()));
            outcome = Command(".\\vizad.exe", step.option);
            SetCurrentDirectoryW(saved);
        } else if (!step.exe.empty()) {
            ASSERT_TRUE(CommandAtLongPath(step.exe, step.option, &outcome));
        } else {
            outcome = Command(VizadPath(), step.option);
        }
        EXPECT_EQ(outcome.exitCode, step.code);
        EXPECT_EQ(outcome.out, Crlf(step.out));
        EXPECT_EQ(Registered(), !step.registered.empty());
        if (!step.registered.empty())
            ExpectRegistration(step.registered);
        // The event source names the program unquoted, and goes with the
        // service; its message table renders entry 0 as the entry's strings.
        char file[1024] = "", text[64] = "";
        DWORD size = sizeof file;
        RegGetValueA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\ZUVO",
                     "EventMessageFile", RRF_RT_REG_SZ, NULL, file, &size);
        EXPECT_EQ(file, std::regex_replace(step.registered, std::regex("\""), ""));
        DWORD types = 0;
        size = sizeof types;
        RegGetValueA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\ZUVO",
                     "TypesSupported", RRF_RT_REG_DWORD, NULL, &types, &size);
        EXPECT_EQ(types, step.registered.empty() ? 0u : (DWORD)(EVENTLOG_ERROR_TYPE | EVENTLOG_INFORMATION_TYPE));
        if (step.registered == VizadPath()) {
            HMODULE module = LoadLibraryExA(file, NULL, LOAD_LIBRARY_AS_DATAFILE);
            const char *strings[] = { "ZUVO error: 5\n", "x.\n" };
            FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, 0, 0,
                           text, sizeof text, (va_list *)strings);
            EXPECT_STREQ(text, "ZUVO error: 5\nx.\n");
            FreeLibrary(module);
        }
    }
}

TEST_F(InstallRemove, RemoveStopsARunningServiceADotASecond)
{
    inst = MakeInstallation(ServiceRoot(), "", "%FIXTURE% sleep 3000\r\n%FIXTURE% stop %EVENT%");
    ASSERT_EQ(Command(VizadPath(), "-install").exitCode, 0u);
    ASSERT_TRUE(StartTestService()) << GetLastError();
    ASSERT_TRUE(WaitForServiceState(SERVICE_RUNNING, 30000));
    ASSERT_TRUE(WaitForServer(inst));

    Outcome outcome = Command(VizadPath(), "-remove");
    EXPECT_EQ(outcome.exitCode, 0u);
    std::regex expected("Stopping Ulvane Trelox ZUVO(\\.+)\r\nUlvane Trelox ZUVO stopped\\.\r\n"
                        "Ulvane Trelox ZUVO removed\\.\r\n");
    std::smatch match;
    EXPECT_TRUE(std::regex_match(outcome.out, match, expected)) << outcome.out;
    EXPECT_FALSE(Registered());
    EXPECT_EQ(CountCalls(inst, "stop"), 1u);
    EXPECT_TRUE(WaitFor([] { return CountProcesses("vizad.exe") == 0; }, 30000));
    EXPECT_FALSE(ServerRunning(inst));
}

TEST_F(InstallRemove, StopThatDoesNotCompleteStillDeletes)
{
    // A stand-in service that accepts the stop, shows stop-pending and falls
    // back to running: the real host never does, and under Wine a host that
    // dies stays stop-pending for ever.
    ASSERT_TRUE(RegisterTestService("\"" + FixturePath() + "\" stubborn-service"));
    ASSERT_TRUE(StartTestService()) << GetLastError();
    ASSERT_TRUE(WaitForServiceState(SERVICE_RUNNING, 30000));

    Outcome outcome = Command(VizadPath(), "-remove");
    EXPECT_EQ(outcome.exitCode, 0u);
    std::regex expected("Stopping Ulvane Trelox ZUVO\\.*\r\nUlvane Trelox ZUVO failed to stop\\.\r\n"
                        "Ulvane Trelox ZUVO removed\\.\r\n");
    EXPECT_TRUE(std::regex_match(outcome.out, expected)) << outcome.out;

    HANDLE quit = OpenEventA(EVENT_MODIFY_STATE, FALSE, "vizad-stubborn-service-quit");
    ASSERT_NE(quit, (HANDLE)NULL);
    SetEvent(quit);
    CloseHandle(quit);
    EXPECT_TRUE(WaitFor([] { return !Registered(); }, 30000));
}

TEST_F(InstallRemove, PathWithBlanksIsRegisteredQuotedAndStarts)
{
    std::string dir = "C:\\Program Files\\Vizad Test " + std::to_string(GetCurrentProcessId());
    MakeDirs(dir);
    std::string exe = dir + "\\vizad.exe";
    ASSERT_TRUE(CopyFileA(VizadPath().c_str(), exe.c_str(), FALSE));
    inst = MakeInstallation(ServiceRoot());

    Outcome outcome = Command(exe, "-install");
    EXPECT_EQ(outcome.out, Crlf("Ulvane Trelox ZUVO installed.\n"));
    ExpectRegistration("\"" + exe + "\"");
    ASSERT_TRUE(StartTestService()) << GetLastError();
    EXPECT_TRUE(WaitForServiceState(SERVICE_RUNNING, 30000));
    EXPECT_TRUE(WaitForServer(inst));

    outcome = Command(exe, "-remove");
    EXPECT_EQ(outcome.exitCode, 0u);
    EXPECT_NE(outcome.out.find("Ulvane Trelox ZUVO stopped.\r\nUlvane Trelox ZUVO removed.\r\n"),
              std::string::npos) << outcome.out;
    WaitFor([] { return CountProcesses("vizad.exe") == 0; }, 30000);
    DeleteFileA(exe.c_str());
    RemoveDirectoryA(dir.c_str());
}
