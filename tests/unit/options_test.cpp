// Recognising the first command-line argument.
#include <gtest/gtest.h>

#include <vector>

#include "service/host.h"

TEST(Options, FirstArgumentChoosesTheCommand)
{
    struct Case {
        std::vector<const char *> args;  // after the program name
        HostCommand expected;
    } cases[] = {
        { {}, CMD_SERVICE },
        { { "-install" }, CMD_INSTALL },
        { { "/INSTALL" }, CMD_INSTALL },
        { { "-Remove" }, CMD_REMOVE },
        { { "/remove", "x" }, CMD_REMOVE },
        { { "-debug" }, CMD_DEBUG },
        { { "-DEBUG" }, CMD_DEBUG },
        { { "/Debug" }, CMD_DEBUG },
        { { "-debug", "more", "words" }, CMD_DEBUG },
        { { "-debugx" }, CMD_SERVICE },
        { { "-debu" }, CMD_SERVICE },
        { { "debug" }, CMD_SERVICE },
        { { "--debug" }, CMD_SERVICE },
        { { "//debug" }, CMD_SERVICE },
        { { "-debug " }, CMD_SERVICE },
        { { "-" }, CMD_SERVICE },
        { { "/" }, CMD_SERVICE },
        { { "" }, CMD_SERVICE },
        { { "-help" }, CMD_SERVICE },
        { { "x", "-debug" }, CMD_SERVICE },           // only the first argument counts
        { { "-d\xC9" "bug" }, CMD_SERVICE },           // only A to Z fold
        { { "-DEBUG\xFF" }, CMD_SERVICE },
    };
    for (const Case &c : cases) {
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>("vizad.exe"));
        for (const char *a : c.args)
            argv.push_back(const_cast<char *>(a));
        std::string shown = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(FindHostCommand((int)argv.size(), argv.data()), c.expected) << shown;
    }
}
