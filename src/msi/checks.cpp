// The checks before anything changes.
//
// CheckSettings (immediate, before the launch conditions): refuses a root
// that the system's code page cannot spell, which the host would refuse at
// every start, and a property that is not one of its values. The refusal's
// text goes to VizadRefusal, which a launch condition names.
//
// LogRefusals: Wine's LaunchConditions refuses an install without writing
// the condition's message to the log. Just before it, this writes the
// message of every launch condition that is false, so that the log says why
// (a root that the host would refuse, a downgrade, a user who is not an
// administrator).
#include <stdarg.h>
#include <string.h>
#include <wchar.h>

#include "msi/action.h"
#include "service/host.h"
#include "zuvo/supervisor.h"

// Appends one refusal to refusal (count characters), after a "; " when it
// already holds one.
static void AppendRefusal(wchar_t *refusal, size_t count, const wchar_t *format, ...)
{
    size_t used = wcslen(refusal);
    va_list args;
    if (used != 0 && used + 2 < count) {
        wcscpy(refusal + used, L"; ");
        used += 2;
    }
    va_start(args, format);
    vswprintf(refusal + used, count - used, format, args);
    va_end(args);
}

// Appends to refusal (count characters) the refusal of a root that the
// system's code page cannot spell: in the host's words, the script's path
// as the host would read it, not found, with the system's text for 1113.
static void CheckRootSpelling(const wchar_t *root, wchar_t *refusal, size_t count)
{
    char ansi[MAX_PATH + sizeof SCRIPT_SUFFIX];
    wchar_t script[MAX_PATH + sizeof SCRIPT_SUFFIX];
    wchar_t why[256] = L"";
    // Read as the host reads it: the ANSI code page, look-alikes allowed.
    // A root too long for a script path to start is not this check's.
    int cb = WideCharToMultiByte(CP_ACP, 0, root, -1, ansi, MAX_PATH, NULL, NULL);
    if (cb <= 0 || IsExactAnsiSpelling(ansi, root))
        return;
    memcpy(ansi + cb - 1, SCRIPT_SUFFIX, sizeof SCRIPT_SUFFIX);  // cb counts the ending NUL
    if (MultiByteToWideChar(CP_ACP, 0, ansi, -1, script, sizeof script / sizeof script[0]) <= 0)
        script[0] = L'\0';
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, ERROR_NO_UNICODE_TRANSLATION,
                   0, why, sizeof why / sizeof why[0], NULL);
    size_t n = wcslen(why);
    while (n > 0 && (why[n - 1] == L'\r' || why[n - 1] == L'\n'))
        why[--n] = L'\0';
    AppendRefusal(refusal, count,
                  L"ZOVOVEV=%ls is refused: the system's code page does not spell it, and the service would "
                  L"log \"%ls not found.\" at every start (error 1113: %ls)",
                  root, script, why);
}

// Appends the refusal of a property given that is not a number of seconds
// whose milliseconds fit in a DWORD.
static void CheckSeconds(MSIHANDLE install, const wchar_t *name, bool required, wchar_t *refusal, size_t count)
{
    wchar_t text[16];
    DWORD seconds;
    GetProperty(install, name, text, 16);
    if ((required || text[0]) && !ParseNumber(text, kMaxSeconds, &seconds))
        AppendRefusal(refusal, count, L"%ls=%ls is refused: it is a number of seconds, at most %lu", name, text,
                      kMaxSeconds);
}

VIZAD_ACTION CheckSettings(MSIHANDLE install)
{
    wchar_t refusal[1024] = L"";
    wchar_t text[MAX_PATH + 1];
    DWORD number, type;
    BOOL delayed;
    // A removal keeps whatever the install took.
    GetProperty(install, L"REMOVE", text, 16);
    if (wcscmp(text, L"ALL") != 0) {
        GetProperty(install, L"ZOVOVEV", text, MAX_PATH + 1);
        if (text[0])
            CheckRootSpelling(text, refusal, 1024);
        // Not given: the service's own, or for a new one the default.
        GetProperty(install, L"STARTTYPE", text, 16);
        if (text[0] && !ParseStartType(text, &type, &delayed))
            AppendRefusal(refusal, 1024, L"STARTTYPE=%ls is refused: it is demand, auto or delayed-auto", text);
        GetProperty(install, L"PRESHUTDOWNTIMEOUT", text, 16);
        if (text[0] && !ParseNumber(text, 0xFFFFFFFF, &number))
            AppendRefusal(refusal, 1024, L"PRESHUTDOWNTIMEOUT=%ls is refused: it is a number of milliseconds",
                          text);
        // Not given: the service keeps what it has.
        CheckSeconds(install, L"STOPDEADLINE", false, refusal, 1024);
        CheckSeconds(install, L"RESTARTDELAY", false, refusal, 1024);
    }
    // The removal waits too.
    CheckSeconds(install, L"STOPTIMEOUT", true, refusal, 1024);
    if (refusal[0] && MsiSetPropertyW(install, L"VizadRefusal", refusal) != ERROR_SUCCESS)
        return ERROR_INSTALL_FAILURE;
    return ERROR_SUCCESS;
}

VIZAD_ACTION LogRefusals(MSIHANDLE install)
{
    MSIHANDLE database = MsiGetActiveDatabase(install);
    MSIHANDLE view = 0;
    MSIHANDLE row = 0;
    if (database &&
        MsiDatabaseOpenViewW(database, L"SELECT `Condition`, `Description` FROM `LaunchCondition`",
                             &view) == ERROR_SUCCESS &&
        MsiViewExecute(view, 0) == ERROR_SUCCESS) {
        while (MsiViewFetch(view, &row) == ERROR_SUCCESS) {
            wchar_t condition[1024];
            DWORD size = 1024;
            if (MsiRecordGetStringW(row, 1, condition, &size) == ERROR_SUCCESS &&
                MsiEvaluateConditionW(install, condition) == MSICONDITION_FALSE) {
                wchar_t text[1024] = L"";
                wchar_t formatted[1024];
                size = 1024;
                MsiRecordGetStringW(row, 2, text, &size);
                // The description is formatted text: [ZOVOVEV] is the value.
                MSIHANDLE message = MsiCreateRecord(0);
                size = 1024;
                if (message && MsiRecordSetStringW(message, 0, text) == ERROR_SUCCESS &&
                    MsiFormatRecordW(install, message, formatted, &size) == ERROR_SUCCESS)
                    Log(install, L"%ls", formatted);
                else
                    Log(install, L"%ls", text);
                if (message)
                    MsiCloseHandle(message);
            }
            MsiCloseHandle(row);
        }
    }
    if (view)
        MsiCloseHandle(view);
    if (database)
        MsiCloseHandle(database);
    // LaunchConditions itself refuses.
    return ERROR_SUCCESS;
}
