// The control script's path and command lines.
#include <stdlib.h>
#include <string.h>

#include "platform/format.h"
#include "zuvo/supervisor.h"

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
    size_t cb = strlen(lpszRoot) + sizeof SCRIPT_SUFFIX;
    char *lpszPath = static_cast<char *>(malloc(cb));

    if (lpszPath != NULL)
        FormatText(lpszPath, cb, "%s" SCRIPT_SUFFIX, lpszRoot);
    return lpszPath;
}

// The system's own cmd.exe into lpszCmd (MAX_PATH), never one that COMSPEC
// or a search would find; /d so that no AutoRun command runs first; /v:off
// so that no !NAME! is expanded, whatever the registry says; and /s, so that
// it strips the first and the last quote after /c and keeps the rest as it
// stands: the path, quoted, with the argument after it. Inside the quotes
// cmd takes every character but % literally.
char *NewScriptCommandLine(char *lpszCmd, const char *lpszPath, const char *lpszArg)
{
    static const char szFormat[] = "%s /d /v:off /s /c \"\"%s\"%s%s\"";
    size_t cb;
    char *lpszCmdLine;
    UINT cch = GetSystemDirectoryA(lpszCmd, MAX_PATH - 8);  // room for \cmd.exe

    if (cch == 0 || cch >= MAX_PATH - 8) {
        if (cch != 0)
            SetLastError(ERROR_BUFFER_OVERFLOW);
        return NULL;
    }
    memcpy(lpszCmd + cch, "\\cmd.exe", sizeof "\\cmd.exe");
    // Nor does cmd run a script whose path is MAX_PATH long or longer.
    if (strpbrk(lpszPath, szUnquotableChars) != NULL || HasDevicePrefix(lpszPath) ||
        strlen(lpszPath) >= MAX_PATH) {
        SetLastError(ERROR_BAD_PATHNAME);
        return NULL;
    }
    if (lpszArg == NULL)
        lpszArg = "";
    cb = strlen(lpszCmd) + strlen(lpszPath) + strlen(lpszArg) + sizeof szFormat;
    lpszCmdLine = static_cast<char *>(malloc(cb));
    if (lpszCmdLine == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);  // malloc sets errno, not the last error
        return NULL;
    }
    FormatText(lpszCmdLine, cb, szFormat, lpszCmd, lpszPath, *lpszArg ? " " : "", lpszArg);
    return lpszCmdLine;
}
