// Recognising the command-line option.
#include "service/host.h"

// In the order main tries them; the index is the HostCommand.
static const char *const aszOptionWords[] = { "install", "remove", "debug" };

// Only A to Z fold: the option words are ASCII, and a locale-aware compare
// could match bytes that are not letters at all.
static BOOL EqualsFoldingAscii(const char *lpszGiven, const char *lpszWord)
{
    for (;; lpszGiven++, lpszWord++) {
        char c = *lpszGiven;
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
        if (c != *lpszWord)
            return FALSE;
        if (c == '\0')
            return TRUE;
    }
}

HostCommand FindHostCommand(int argc, char **argv)
{
    const char *lpszArg;
    size_t i;

    if (argc < 2 || argv[1] == NULL)
        return CMD_SERVICE;
    lpszArg = argv[1];
    if (lpszArg[0] != '-' && lpszArg[0] != '/')
        return CMD_SERVICE;
    for (i = 0; i < sizeof aszOptionWords / sizeof aszOptionWords[0]; i++)
        if (EqualsFoldingAscii(lpszArg + 1, aszOptionWords[i]))
            return (HostCommand)i;
    return CMD_SERVICE;
}
