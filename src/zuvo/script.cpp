// The control script's path and command lines.
#include <stdlib.h>
#include <string.h>

#include "zuvo/supervisor.h"

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

// The path alone, or the path, a blank and the argument. A path with blanks
// or tabs goes in quotes: unquoted, cmd would run C:\Program.bat or the like
// in its place.
char *NewScriptCommandLine(const char *lpszPath, const char *lpszArg)
{
    size_t cchPath = strlen(lpszPath);
    size_t cchArg = lpszArg ? strlen(lpszArg) : 0;
    int bQuote = strpbrk(lpszPath, " \t") != NULL;
    char *lpszCmdLine = static_cast<char *>(malloc(cchPath + cchArg + 4));
    char *p = lpszCmdLine;

    if (lpszCmdLine == NULL)
        return NULL;
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
