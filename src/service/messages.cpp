// Message texts: the catalogue and the system's error texts.
#include "service/host.h"

// Catalogue text uID into msg as LoadStringA gives it: converted to the ANSI
// code page and cut to len - 1 bytes. Read with kernel32 alone, since user32
// would be loaded into every start of the host for this one call. Strings
// are kept sixteen to a block, each a count and that many UTF-16 units.
static int LoadCatalogueText(UINT uID, char *msg, int len)
{
    HMODULE hModule = GetModuleHandleA(NULL);
    HRSRC hInfo = FindResourceA(hModule, MAKEINTRESOURCEA((uID >> 4) + 1), MAKEINTRESOURCEA(6));
    HGLOBAL hBlock = hInfo ? LoadResource(hModule, hInfo) : NULL;
    const WCHAR *p = hBlock ? static_cast<const WCHAR *>(LockResource(hBlock)) : NULL;
    const WCHAR *pEnd;
    int cch, cb;
    UINT i;

    if (p == NULL || len < 2)
        return 0;  // a count of 0 would ask WideCharToMultiByte for the size
    pEnd = p + SizeofResource(hModule, hInfo) / sizeof(WCHAR);
    for (i = 0; i < (uID & 15) && p < pEnd; i++)
        p += 1 + *p;
    if (p >= pEnd || *p == 0 || p + 1 + *p > pEnd)
        return 0;

    for (cch = *p, cb = 0; cch > 0; cch--) {  // the longest start that fits
        cb = WideCharToMultiByte(CP_ACP, 0, p + 1, cch, msg, len - 1, NULL, NULL);
        if (cb > 0)
            break;
    }
    msg[cb] = '\0';
    return cb;
}

char *GetResourceString(int resID, char *msg, int len)
{
    if (len <= 0)
        return msg;
    // String ids are 16 bits wide: a wider id must not alias a real text.
    if (resID < 0 || resID > 0xFFFF || LoadCatalogueText((UINT)resID, msg, len) == 0)
        FormatText(msg, (size_t)len, "Unable to find resource id %d", resID);
    return msg;
}

char *GetLastErrorText(char *lpszBuf, DWORD dwSize)
{
    // Taken once, before any call: nothing promises that FormatMessageA's
    // own work leaves the last error alone, and the text and the code
    // printed beside it must be the same error's.
    const DWORD dwCode = GetLastError();
    char *lpszTemp = NULL;
    DWORD dwRet;

    // Insert markers are left as they stand: no values are ever supplied.
    dwRet = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_IGNORE_INSERTS,
                           NULL, dwCode, LANG_NEUTRAL, (LPSTR)&lpszTemp, 0, NULL);

    // The system allocates lpszTemp through the pointer passed above.
    if (dwSize == 0) {
        // nothing can be written
    } else if (dwRet == 0 || lpszTemp == NULL || dwSize < dwRet + 14) {  // cppcheck-suppress knownConditionTrueFalse
        lpszBuf[0] = '\0';
    } else {
        // Drop the CR LF that closes every system text, never before its start.
        lpszTemp[dwRet >= 2 ? dwRet - 2 : 0] = '\0';
        FormatText(lpszBuf, dwSize, "%s (0x%x)", lpszTemp, (unsigned)dwCode);
    }

    if (lpszTemp != NULL)  // cppcheck-suppress knownConditionTrueFalse
        LocalFree(lpszTemp);
    return lpszBuf;
}
