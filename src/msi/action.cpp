// The helpers that the custom actions share (action.h).
#include <stdarg.h>
#include <wchar.h>

#include "msi/action.h"

const wchar_t kService[] = L"ZUVO";

void Log(MSIHANDLE install, const wchar_t *format, ...)
{
    wchar_t text[4608];
    va_list args;
    va_start(args, format);
    vswprintf(text, sizeof text / sizeof text[0], format, args);
    va_end(args);
    text[sizeof text / sizeof text[0] - 1] = L'\0';
    MSIHANDLE record = MsiCreateRecord(1);
    if (!record)
        return;
    // The text as it is, not a template to format.
    MsiRecordSetStringW(record, 0, L"[1]");
    MsiRecordSetStringW(record, 1, text);
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
}

void GetProperty(MSIHANDLE install, const wchar_t *name, wchar_t *buf, DWORD count)
{
    DWORD size = count;
    if (MsiGetPropertyW(install, name, buf, &size) != ERROR_SUCCESS)
        buf[0] = L'\0';
}

bool ParseNumber(const wchar_t *text, DWORD max, DWORD *value)
{
    unsigned long long n = 0;
    if (!*text)
        return false;
    for (; *text; ++text) {
        if (*text < L'0' || *text > L'9')
            return false;
        n = n * 10 + (DWORD)(*text - L'0');
        if (n > max)
            return false;
    }
    *value = (DWORD)n;
    return true;
}

bool ParseStartType(const wchar_t *text, DWORD *type, BOOL *delayed, bool disabled)
{
    *delayed = FALSE;
    if (disabled && wcscmp(text, L"disabled") == 0)
        *type = SERVICE_DISABLED;
    else if (wcscmp(text, L"demand") == 0)
        *type = SERVICE_DEMAND_START;
    else if (wcscmp(text, L"auto") == 0)
        *type = SERVICE_AUTO_START;
    else if (wcscmp(text, L"delayed-auto") == 0) {
        *type = SERVICE_AUTO_START;
        *delayed = TRUE;
    } else
        return false;
    return true;
}

const wchar_t *StartTypeWord(DWORD type, BOOL delayed)
{
    if (type == SERVICE_AUTO_START)
        return delayed ? L"delayed-auto" : L"auto";
    return type == SERVICE_DISABLED ? L"disabled" : L"demand";
}

size_t SplitFields(wchar_t *text, wchar_t **fields, size_t count)
{
    size_t n = 0;
    while (n < count) {
        fields[n++] = text;
        text = wcschr(text, L'|');
        if (!text)
            break;
        *text++ = L'\0';
    }
    return n;
}
