// The control script's path and command lines.
#include <stdlib.h>
#include <string.h>

#include "zuvo/supervisor.h"

// cmd parses a batch file's command line: unquoted, these characters split
// or rewrite the path (C:\R&D\bin\... would run C:\R.bat, and a leading '@'
// is dropped, so @L\bin\... would run L\bin\...), so a path holding any of
// them goes in double quotes.
static const char szQuoteChars[] = " \t&()[]{}^=;!'+,`~@";

// cmd replaces %NAME% by a variable's value even inside quotes, and a
// quote in the path would end the quoting early: such a path would name
// another file than the one checked, so it is never put on a command line.
static const char szUnquotableChars[] = "%\"";

// cmd runs nothing for a batch file named in the \\?\ or \\.\ form, though the
// file opens: the run instance would end at once, as if the servers had run.
static BOOL HasDevicePrefix(const char *lpszPath)
{
    return strncmp(lpszPath, "\\\\?\\", 4) == 0 || strncmp(lpszPath, "\\\\.\\", 4) == 0;
}

// The suffix is appended unchanged: no separator is added or removed.
char *NewScriptPath(const char *lpszRoot)
{
    size_t cchRoot = strlen(lpszRoot);
    char *lpszPath = static_cast<char *>(malloc(cchRoot + sizeof SCRIPT_SUFFIX));

    if (lpszPath == NULL)
        return NULL;
    memcpy(lpszPath, lpszRoot, cchRoot);
    memcpy(lpszPath + cchRoot, SCRIPT_SUFFIX, sizeof SCRIPT_SUFFIX);
    return lpszPath;
}

// The path alone, or the path, a blank and the argument.
char *NewScriptCommandLine(const char *lpszPath, const char *lpszArg)
{
    size_t cchPath = strlen(lpszPath);
    size_t cchArg = lpszArg ? strlen(lpszArg) : 0;
    int bQuote = strpbrk(lpszPath, szQuoteChars) != NULL;
    char *lpszCmdLine;
    char *p;

    if (strpbrk(lpszPath, szUnquotableChars) != NULL || HasDevicePrefix(lpszPath)) {
        SetLastError(ERROR_BAD_PATHNAME);
        return NULL;
    }
    lpszCmdLine = static_cast<char *>(malloc(cchPath + cchArg + 4));
    if (lpszCmdLine == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);  // malloc sets errno, not the last error
        return NULL;
    }
    p = lpszCmdLine;
    if (bQuote)
        *p++ = '"';
    memcpy(p, lpszPath, cchPath);
    p += cchPath;
    if (bQuote)
        *p++ = '"';
    if (lpszArg) {
        *p++ = ' ';
        memcpy(p, lpszArg, cchArg);
        p += cchArg;
    }
    *p = '\0';
    return lpszCmdLine;
}
