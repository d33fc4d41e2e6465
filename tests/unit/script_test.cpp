// The control script's path and its two command lines.
#include <gtest/gtest.h>

#include <malloc.h>
#include <stdlib.h>

#include <string>

#include "zuvo/supervisor.h"

TEST(ScriptPath, SuffixIsAppendedUnchanged)
{
    struct { const char *root, *path; } cases[] = {
        { "C:\\inst", "C:\\inst\\bin\\revaduzeza.bat" },
        { "C:\\inst\\", "C:\\inst\\\\bin\\revaduzeza.bat" },
        { "", "\\bin\\revaduzeza.bat" },
        { "inst", "inst\\bin\\revaduzeza.bat" },
        { "C:\\Program Files\\Ulvane", "C:\\Program Files\\Ulvane\\bin\\revaduzeza.bat" },
        { "\\\\server\\share", "\\\\server\\share\\bin\\revaduzeza.bat" },
    };
    for (const auto &c : cases) {
        char *path = NewScriptPath(c.root);
        ASSERT_NE(path, nullptr);
        EXPECT_STREQ(path, c.path) << c.root;
        free(path);
    }
}

// The system's cmd.exe, never one a search finds, runs the script without
// AutoRun (/d) or delayed expansion of !NAME! (/v:off), and by the one
// quote rule of /s: the path in quotes, where cmd takes &()[]{}^=;!'+,`~@,
// blanks and tabs literally, then the argument. A % cannot be protected by
// quotes, and a path in the \\?\ or \\.\ form, or of MAX_PATH characters,
// cmd does not run. Each line fits its allocation, terminator included.
TEST(ScriptCommandLine, CmdRunsTheCheckedPathInQuotesRefusedWhereQuotesCannotHelp)
{
    char system[MAX_PATH];
    ASSERT_GT(GetSystemDirectoryA(system, MAX_PATH), 0u);
    const std::string app = std::string(system) + "\\cmd.exe", cmd = app + " /d /v:off /s /c ";
    const std::string long259 = "C:\\" + std::string(237, 'p') + "\\bin\\revaduzeza.bat";
    const std::string long260 = "C:\\" + std::string(238, 'p') + "\\bin\\revaduzeza.bat";
    struct { const char *path, *arg; std::string line; DWORD error; } cases[] = {
        { "C:\\i\\bin\\revaduzeza.bat", nullptr, cmd + "\"\"C:\\i\\bin\\revaduzeza.bat\"\"", 0 },
        { "C:\\i\\bin\\revaduzeza.bat", "stopServers",
          cmd + "\"\"C:\\i\\bin\\revaduzeza.bat\" stopServers\"", 0 },
        { "\\bin\\revaduzeza.bat", nullptr, cmd + "\"\"\\bin\\revaduzeza.bat\"\"", 0 },
        { "\\\\srv\\s$\\a-b_c.d#f\\bin\\revaduzeza.bat", "stopServers",
          cmd + "\"\"\\\\srv\\s$\\a-b_c.d#f\\bin\\revaduzeza.bat\" stopServers\"", 0 },
        { "@L\\bin\\revaduzeza.bat", nullptr, cmd + "\"\"@L\\bin\\revaduzeza.bat\"\"", 0 },
        { "C:\\a b\\bin\\revaduzeza.bat", nullptr, cmd + "\"\"C:\\a b\\bin\\revaduzeza.bat\"\"", 0 },
        { "C:\\a b\\bin\\revaduzeza.bat", "stopServers",
          cmd + "\"\"C:\\a b\\bin\\revaduzeza.bat\" stopServers\"", 0 },
        { "C:\\a\tb\\bin\\revaduzeza.bat", "stopServers",
          cmd + "\"\"C:\\a\tb\\bin\\revaduzeza.bat\" stopServers\"", 0 },
        { "C:\\pct%OS%x\\bin\\revaduzeza.bat", nullptr, "", ERROR_BAD_PATHNAME },
        { "C:\\%\\bin\\revaduzeza.bat", "stopServers", "", ERROR_BAD_PATHNAME },
        { "C:\\a\"b\\bin\\revaduzeza.bat", nullptr, "", ERROR_BAD_PATHNAME },
        // Quoting would not help: with a blank or '&' beside them, still refused.
        { "C:\\a b%OS%\\bin\\revaduzeza.bat", nullptr, "", ERROR_BAD_PATHNAME },
        { "C:\\a b%OS%\\bin\\revaduzeza.bat", "stopServers", "", ERROR_BAD_PATHNAME },
        { "C:\\R&D\"x\\bin\\revaduzeza.bat", nullptr, "", ERROR_BAD_PATHNAME },
        { "C:\\R&D\"x\\bin\\revaduzeza.bat", "stopServers", "", ERROR_BAD_PATHNAME },
        // cmd runs nothing for these, though the file opens.
        { "\\\\?\\C:\\i\\bin\\revaduzeza.bat", nullptr, "", ERROR_BAD_PATHNAME },
        { "\\\\?\\C:\\i\\bin\\revaduzeza.bat", "stopServers", "", ERROR_BAD_PATHNAME },
        { "\\\\.\\C:\\i\\bin\\revaduzeza.bat", nullptr, "", ERROR_BAD_PATHNAME },
        { "\\\\.\\C:\\i\\bin\\revaduzeza.bat", "stopServers", "", ERROR_BAD_PATHNAME },
        { long260.c_str(), nullptr, "", ERROR_BAD_PATHNAME },
        { long259.c_str(), nullptr, cmd + "\"\"" + long259 + "\"\"", 0 },
    };
    for (const auto &c : cases) {
        SetLastError(0xdeadbeef);
        char appName[MAX_PATH] = "";
        char *line = NewScriptCommandLine(appName, c.path, c.arg);
        if (c.line.empty()) {
            EXPECT_EQ(line, nullptr) << c.path;
            EXPECT_EQ(GetLastError(), c.error) << c.path;
            free(line);
            continue;
        }
        ASSERT_NE(line, nullptr) << c.path;
        EXPECT_EQ(line, c.line) << c.path;
        EXPECT_EQ(appName, app) << c.path;
        EXPECT_GE(_msize(line), strlen(line) + 1) << c.path;
        free(line);
    }
    for (char special : std::string("&()[]{}^=;!'+,`~@")) {
        std::string path = std::string("C:\\R") + special + "D\\bin\\revaduzeza.bat";
        for (const char *arg : { (const char *)nullptr, "stopServers" }) {
            char appName[MAX_PATH];
            char *line = NewScriptCommandLine(appName, path.c_str(), arg);
            ASSERT_NE(line, nullptr) << path;
            EXPECT_EQ(std::string(line), cmd + "\"\"" + path + "\"" + (arg ? " stopServers" : "") + "\"");
            EXPECT_GE(_msize(line), strlen(line) + 1) << path;
            free(line);
        }
    }
}
