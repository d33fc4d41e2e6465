// The control script's path and its two command lines.
#include <gtest/gtest.h>

#include <stdlib.h>

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

TEST(ScriptCommandLine, QuotedOnlyWhenThePathHasBlanks)
{
    struct { const char *path, *arg, *line; } cases[] = {
        { "C:\\i\\bin\\revaduzeza.bat", nullptr, "C:\\i\\bin\\revaduzeza.bat" },
        { "C:\\i\\bin\\revaduzeza.bat", "stopServers", "C:\\i\\bin\\revaduzeza.bat stopServers" },
        { "C:\\a b\\bin\\revaduzeza.bat", nullptr, "\"C:\\a b\\bin\\revaduzeza.bat\"" },
        { "C:\\a b\\bin\\revaduzeza.bat", "stopServers",
          "\"C:\\a b\\bin\\revaduzeza.bat\" stopServers" },
        { "C:\\a\tb\\bin\\revaduzeza.bat", "stopServers",
          "\"C:\\a\tb\\bin\\revaduzeza.bat\" stopServers" },
        { "\\bin\\revaduzeza.bat", nullptr, "\\bin\\revaduzeza.bat" },
    };
    for (const auto &c : cases) {
        char *line = NewScriptCommandLine(c.path, c.arg);
        ASSERT_NE(line, nullptr);
        EXPECT_STREQ(line, c.line) << c.path;
        free(line);
    }
}
