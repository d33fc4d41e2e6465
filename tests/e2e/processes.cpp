#include "processes.h"

#include <string.h>
#include <tlhelp32.h>

// Counts the processes of a snapshot that match.
static size_t CountMatching(bool (*matches)(const PROCESSENTRY32 &, const void *),
                            const void *what)
{
    size_t count = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more;
         more = Process32Next(snapshot, &entry))
        if (matches(entry, what))
            count++;
    CloseHandle(snapshot);
    return count;
}

size_t CountProcesses(const char *imageName)
{
    return CountMatching(
        [](const PROCESSENTRY32 &e, const void *name) {
            return _stricmp(e.szExeFile, static_cast<const char *>(name)) == 0;
        },
        imageName);
}

size_t CountChildProcesses(DWORD parentPid)
{
    return CountMatching(
        [](const PROCESSENTRY32 &e, const void *pid) {
            return e.th32ParentProcessID == *static_cast<const DWORD *>(pid);
        },
        &parentPid);
}
