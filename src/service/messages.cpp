// Message texts: the catalogue, the system's error texts, bounded composing.
#include <stdarg.h>
#include <stdio.h>

#include "service/host.h"

// msvcrt's _vsnprintf leaves the buffer unterminated when the text is cut,
// so the last byte is always written here.
void FormatText(char *buf, size_t size, const char *fmt, ...)
{
    va_list args;

    if (size == 0)
        return;
    va_start(args, fmt);
    _vsnprintf(buf, size, fmt, args);
    va_end(args);
    buf[size - 1] = '\0';
}

char *GetResourceString(int resID, char *msg, int len)
{
    if (len <= 0)
        return msg;
    // String ids are 16 bits wide: LoadStringA would take 65536 for 0.
    if (resID < 0 || resID > 0xFFFF ||
        LoadStringA(GetModuleHandleA(NULL), (UINT)resID, msg, len) == 0)
        FormatText(msg, (size_t)len, "Unable to find resource id %d", resID);
    return msg;
}

char *GetLastErrorText(char *lpszBuf, DWORD dwSize)
{
    char *lpszTemp = NULL;
    DWORD dwRet;

    // Insert markers are left as they stand: no values are ever supplied.
    dwRet = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_IGNORE_INSERTS,
                           NULL, GetLastError(), LANG_NEUTRAL, (LPSTR)&lpszTemp, 0, NULL);

    // The system allocates lpszTemp through the pointer passed above.
    if (dwSize == 0) {
        // nothing can be written
    } else if (dwRet == 0 || lpszTemp == NULL || dwSize < dwRet + 14) {  // cppcheck-suppress knownConditionTrueFalse
        lpszBuf[0] = '\0';
    } else {
        // Drop the CR LF that closes every system text, never before its start.
        lpszTemp[dwRet >= 2 ? dwRet - 2 : 0] = '\0';
        FormatText(lpszBuf, dwSize, "%s (0x%x)", lpszTemp, (unsigned)GetLastError());
    }

    if (lpszTemp != NULL)  // cppcheck-suppress knownConditionTrueFalse
        LocalFree(lpszTemp);
    return lpszBuf;
}
