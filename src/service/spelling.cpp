// Whether a path that the host holds in the ANSI code page is the path that
// was given in Unicode.
#include <stdlib.h>
#include <string.h>

#include "service/host.h"

// Where the code page lacks a character, the system hands an ANSI program a
// look-alike (U+FF06 as '&', U+3000 as a blank) or '?': the ANSI string then
// names another file than the one given. Only an exact spelling, with no
// best fit and no default character, counts.
BOOL IsExactAnsiSpelling(const char *lpszAnsi, const WCHAR *lpszWide)
{
    // UTF-8 spells every character, and takes neither the flag nor the check.
    BOOL fUtf8 = GetACP() == CP_UTF8;
    DWORD dwFlags = fUtf8 ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL fDefaulted = FALSE;
    BOOL *pfDefaulted = fUtf8 ? NULL : &fDefaulted;
    char *lpszExact;
    BOOL fSame;
    int cb;

    cb = WideCharToMultiByte(CP_ACP, dwFlags, lpszWide, -1, NULL, 0, NULL, pfDefaulted);
    if (cb <= 0)
        return FALSE;
    lpszExact = static_cast<char *>(malloc((size_t)cb));
    if (lpszExact == NULL)
        return FALSE;
    cb = WideCharToMultiByte(CP_ACP, dwFlags, lpszWide, -1, lpszExact, cb, NULL, pfDefaulted);
    fSame = cb > 0 && !fDefaulted && strcmp(lpszExact, lpszAnsi) == 0;
    free(lpszExact);
    return fSame;
}
