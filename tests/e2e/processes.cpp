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

// When the process was created; 0 when it is gone.
static ULONGLONG CreationTime(DWORD pid)
{
    FILETIME created, exited, kernel, user;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == NULL)
        return 0;
    BOOL ok = GetProcessTimes(process, &created, &exited, &kernel, &user);
    CloseHandle(process);
    return ok ? ((ULONGLONG)created.dwHighDateTime << 32) | created.dwLowDateTime : 0;
}

// A process keeps the id of the one that created it after that one has
// ended, and the system gives ids out again: a process older than the
// parent is another's orphan.
size_t CountChildProcesses(DWORD parentPid)
{
    struct Parent {
        DWORD pid;
        ULONGLONG created;
    } parent = { parentPid, CreationTime(parentPid) };
    return CountMatching(
        [](const PROCESSENTRY32 &e, const void *what) {
            const Parent *p = static_cast<const Parent *>(what);
            if (e.th32ParentProcessID != p->pid)
                return false;
            ULONGLONG created = CreationTime(e.th32ProcessID);
            return created != 0 && created >= p->created;
        },
        &parent);
}
