// The servers of the benchmark installations' control scripts.
//   serve NAME [FILE]  make the named event NAME and run until it is set (or
//                      10 min pass, so that an aborted run never leaves it
//                      behind)
//   stop NAME [FILE]   set the named event NAME
// With FILE, each first writes there when its control-script instance (the
// cmd process that runs the script, its parent) was created, as a FILETIME
// in decimal: the moment the host's CreateProcessA made the instance, read
// the same way whichever host started it.
#include <windows.h>
#include <stdio.h>
#include <string.h>

// What NtQueryInformationProcess gives for ProcessBasicInformation (0).
struct BasicInformation {
    LONG exitStatus;
    PVOID peb;
    ULONG_PTR affinity;
    LONG basePriority;
    ULONG_PTR pid;
    ULONG_PTR parentPid;
};

static ULONGLONG ParentCreated()
{
    typedef LONG(WINAPI * QueryFn)(HANDLE, ULONG, PVOID, ULONG, PULONG);
    QueryFn query = (QueryFn)(void *)GetProcAddress(GetModuleHandleA("ntdll.dll"),
                                                    "NtQueryInformationProcess");
    BasicInformation info;
    if (query == NULL || query(GetCurrentProcess(), 0, &info, sizeof info, NULL) != 0)
        return 0;
    HANDLE parent = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, (DWORD)info.parentPid);
    if (parent == NULL)
        return 0;
    FILETIME created, exited, kernel, user;
    BOOL ok = GetProcessTimes(parent, &created, &exited, &kernel, &user);
    CloseHandle(parent);
    return ok ? ((ULONGLONG)created.dwHighDateTime << 32) | created.dwLowDateTime : 0;
}

// No file, or no time: the driver finds none and counts the case as failed.
static void WriteInstanceStart(const char *path)
{
    ULONGLONG created = ParentCreated();
    if (created == 0)
        return;
    FILE *f = fopen(path, "wb");
    if (f == NULL)
        return;
    fprintf(f, "%llu\n", created);
    fclose(f);
}

int main(int argc, char **argv)
{
    if (argc < 3 || argc > 4)
        return 64;
    if (argc == 4)
        WriteInstanceStart(argv[3]);
    if (strcmp(argv[1], "serve") == 0) {
        // Stopped by the stop instance, never by a Ctrl+C on a shared console.
        SetConsoleCtrlHandler(NULL, TRUE);
        HANDLE event = CreateEventA(NULL, TRUE, FALSE, argv[2]);
        if (event == NULL)
            return 3;
        DWORD wait = WaitForSingleObject(event, 600000);
        CloseHandle(event);
        return wait == WAIT_OBJECT_0 ? 0 : 2;
    }
    if (strcmp(argv[1], "stop") == 0) {
        HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[2]);
        if (event == NULL)
            return 1;
        SetEvent(event);
        CloseHandle(event);
        return 0;
    }
    return 64;
}
