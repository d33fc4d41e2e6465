// Whether a path that the host holds in the ANSI code page is the path that
// was given in Unicode.
#include <stdlib.h>
#include <wchar.h>

#include "service/host.h"

// Where the code page lacks a character, the system hands an ANSI program a
// look-alike (U+FF06 as '&', U+3000 as a blank) or '?': the ANSI string then
// names another file than the one given. Read back into Unicode, such a
// string differs from the original; an exact spelling comes back unchanged.
BOOL IsExactAnsiSpelling(const char *lpszAnsi, const WCHAR *lpszWide)
{
    int cch = MultiByteToWideChar(CP_ACP, 0, lpszAnsi, -1, NULL, 0);
    WCHAR *lpszBack;
    BOOL fSame;

    if (cch <= 0)
        return FALSE;
    lpszBack = static_cast<WCHAR *>(malloc((size_t)cch * sizeof(WCHAR)));
    if (lpszBack == NULL)
        return FALSE;
    fSame = MultiByteToWideChar(CP_ACP, 0, lpszAnsi, -1, lpszBack, cch) == cch &&
            wcscmp(lpszBack, lpszWide) == 0;
    free(lpszBack);
    return fSame;
}
