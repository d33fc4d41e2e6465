// The parts of the benchmark driver that the cases share: settings, small
// helpers, installations and children, /proc readers, output, the supervised
// hosts and the service control manager.
#include "bench.h"

#include <psapi.h>

#include <algorithm>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../tests/e2e/processes.h"

bool quick;
int failures;

// What the summary at the end needs; a negative value: not measured.
double cycleRatio = -1, cycleFastestRatio = -1, privateRatio = -1;
double runStartRatio = -1, stopStartRatio = -1;
long long idleTicks = -1, idleSwitches = -1;
bool growthMeasured;
double growthKiB, growthTailKiB, growthRefTailKiB;
int growthTailFrom;
long growthHandles;
int growthRequests;
std::string exeDir;
std::string scratch = "C:\\vizad-bench";

// ---------------------------------------------------------------------------
// Small helpers

double NowMs()
{
    static LARGE_INTEGER freq;
    LARGE_INTEGER now;
    if (freq.QuadPart == 0)
        QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&now);
    return (double)now.QuadPart * 1000.0 / (double)freq.QuadPart;
}

void Progress(const char *fmt, ...)
{
    static double start = NowMs();
    fprintf(stderr, "[%6.1f s] ", (NowMs() - start) / 1000);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
    fflush(stderr);
}

void Fail(const char *what)
{
    DWORD err = GetLastError();
    failures++;
    Progress("FAILED: %s (last error %lu)", what, err);
    printf("\n**Could not run: %s.**\n", what);
}

double Median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The value below which the given share of v lies (nearest rank).
double Quantile(std::vector<double> v, double share)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t at = (size_t)(share * (double)(v.size() - 1) + 0.5);
    return v[at];
}

std::vector<double> Ratios(const std::vector<double> &a, const std::vector<double> &b)
{
    std::vector<double> r;
    for (size_t i = 0; i < a.size() && i < b.size(); i++)
        if (b[i] > 0)
            r.push_back(a[i] / b[i]);
    return r;
}

void MakeDirs(const std::string &path)
{
    for (size_t i = 3; i <= path.size(); i++)
        if (i == path.size() || path[i] == '\\')
            CreateDirectoryA(path.substr(0, i).c_str(), NULL);
}

bool WriteFileText(const std::string &path, const std::string &text)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (f == NULL)
        return false;
    fwrite(text.data(), 1, text.size(), f);
    return fclose(f) == 0;
}

// Reads a whole file; also the Linux /proc files through Wine's Z: drive,
// whose size shows as 0.
std::string ReadFileText(const std::string &path)
{
    std::string text;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return text;
    char buf[4096];
    DWORD n;
    while (ReadFile(file, buf, sizeof buf, &n, NULL) && n > 0)
        text.append(buf, n);
    CloseHandle(file);
    return text;
}

LONGLONG FileSize(const std::string &path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return ((LONGLONG)data.nFileSizeHigh << 32) | data.nFileSizeLow;
}

bool WaitUntil(bool (*cond)(const void *), const void *arg, DWORD timeoutMs, DWORD stepMs)
{
    DWORD start = GetTickCount();
    while (!cond(arg)) {
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(stepMs);
    }
    return true;
}

bool EventExists(const void *name)
{
    HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, (const char *)name);
    if (event == NULL)
        return false;
    CloseHandle(event);
    return true;
}

bool EventGone(const void *name) { return !EventExists(name); }

void SetNamedEvent(const char *name)
{
    HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, name);
    if (event) {
        SetEvent(event);
        CloseHandle(event);
    }
}

bool NoProcess(const void *imageName) { return CountProcesses((const char *)imageName) == 0; }

// ---------------------------------------------------------------------------
// Installations and children

// A control script. The run branch serves the event named by BENCH_EVENT (or
// the fixed service event); stopBody is the stopServers branch.
std::string ScriptText(const std::string &runBody, const std::string &stopBody)
{
    return "@echo off\r\n"
           "if \"%1\"==\"stopServers\" goto stop\r\n" +
           runBody + "\r\n"
           "exit /b %errorlevel%\r\n"
           ":stop\r\n" +
           stopBody + "\r\n";
}

std::string ServerCall(const char *verb, const std::string &event, const std::string &mark)
{
    return "\"" + exeDir + "\\bench_server.exe\" " + verb + " " + event +
           (mark.empty() ? "" : " \"" + mark + "\"");
}

std::string MakeInstallation(const std::string &root, const std::string &script)
{
    MakeDirs(root + "\\bin");
    if (!WriteFileText(root + "\\bin\\revaduzeza.bat", script))
        return "";
    return root;
}

static std::string NameOf(const char *entry)
{
    const char *eq = strchr(entry + 1, '=');  // "=C:=C:\..." entries start with '='
    return eq ? std::string(entry, eq - entry) : std::string(entry);
}

// The driver's environment with ZOVOVEV and BENCH_EVENT replaced, so that both
// hosts of a pair see exactly the same block.
std::string EnvironmentBlock(const std::string &root, const std::string &event)
{
    std::string block;
    char *env = GetEnvironmentStringsA();
    for (char *p = env; *p; p += strlen(p) + 1) {
        std::string name = NameOf(p);
        if (_stricmp(name.c_str(), "ZOVOVEV") != 0 && _stricmp(name.c_str(), "BENCH_EVENT") != 0)
            block.append(p, strlen(p) + 1);
    }
    FreeEnvironmentStringsA(env);
    block += "ZOVOVEV=" + root + '\0';
    if (!event.empty())
        block += "BENCH_EVENT=" + event + '\0';
    block += '\0';
    return block;
}

static HANDLE nulHandle;

// Starts a host with the given environment block; its standard handles are
// the NUL device, so that what it prints costs the same for either host.
Child StartHost(const std::string &exe, const std::string &args, const std::string &env)
{
    Child child = { NULL, 0 };
    if (nulHandle == NULL) {
        SECURITY_ATTRIBUTES sa = { sizeof sa, NULL, TRUE };
        nulHandle = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, NULL);
    }
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nulHandle;
    si.hStdOutput = nulHandle;
    si.hStdError = nulHandle;
    PROCESS_INFORMATION pi;
    std::string cmdLine = "\"" + exe + "\"" + (args.empty() ? "" : " " + args);
    std::vector<char> buf(cmdLine.begin(), cmdLine.end());
    buf.push_back('\0');
    if (!CreateProcessA(exe.c_str(), buf.data(), NULL, NULL, TRUE, 0, (LPVOID)env.data(), NULL,
                        &si, &pi))
        return child;
    CloseHandle(pi.hThread);
    child.process = pi.hProcess;
    child.pid = pi.dwProcessId;
    return child;
}

// Waits for the host to end; its exit code, or 259 when it had to be killed.
DWORD FinishHost(Child &child, DWORD timeoutMs)
{
    DWORD code = 259;
    if (child.process == NULL)
        return code;
    if (WaitForSingleObject(child.process, timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(child.process, 259);
        WaitForSingleObject(child.process, 5000);
    }
    GetExitCodeProcess(child.process, &code);
    CloseHandle(child.process);
    child.process = NULL;
    return code;
}

std::string VizadPath() { return exeDir + "\\vizad.exe"; }
std::string RefHostPath() { return exeDir + "\\ref_host.exe"; }
std::string HostPath(int k) { return exeDir + "\\" + hosts[k].exe; }

// ---------------------------------------------------------------------------
// Looking at a host from outside: Linux's /proc through Wine's Z: drive

static int markerCount;

// Unique across Wine sessions too: another prefix may run a driver with the
// same Windows pid, and /proc shows the processes of every session.
std::string NewMarker()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    char marker[64];
    snprintf(marker, sizeof marker, "bench-%lu-%d-%llx", GetCurrentProcessId(), ++markerCount,
             (unsigned long long)now.QuadPart);
    return marker;
}

// The Linux pid of the Wine process whose command line ends with the marker
// word (hosts ignore words after their first), or 0.
unsigned long UnixPidOf(const std::string &marker)
{
    unsigned long found = 0;
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA("Z:\\proc\\*", &entry);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    do {
        char *end;
        unsigned long pid = strtoul(entry.cFileName, &end, 10);
        if (pid == 0 || *end)
            continue;
        std::string cmd = ReadFileText(std::string("Z:\\proc\\") + entry.cFileName + "\\cmdline");
        while (!cmd.empty() && cmd.back() == '\0')
            cmd.pop_back();
        size_t at = cmd.rfind(marker);
        if (at != std::string::npos && at + marker.size() == cmd.size() && at > 0 &&
            (cmd[at - 1] == '\0' || cmd[at - 1] == ' ')) {
            found = pid;
            break;
        }
    } while (FindNextFileA(search, &entry));
    FindClose(search);
    return found;
}

static std::string ProcPath(unsigned long pid, const char *rest)
{
    char path[96];
    snprintf(path, sizeof path, "Z:\\proc\\%lu%s", pid, rest);
    return path;
}

// User plus system time of all the process's threads, in clock ticks.
long long CpuTicks(unsigned long pid)
{
    std::string stat = ReadFileText(ProcPath(pid, "\\stat"));
    size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    // After the name: state (field 3) ... utime is field 14, stime 15.
    const char *p = stat.c_str() + close + 2;
    long long utime = 0, stime = 0;
    for (int field = 3; field <= 15 && *p; field++) {
        if (field == 14)
            utime = atoll(p);
        if (field == 15)
            stime = atoll(p);
        p = strchr(p, ' ');
        if (p == NULL)
            break;
        p++;
    }
    return utime + stime;
}

// Context switches of all the process's threads: every wake-up counts one.
long long ContextSwitches(unsigned long pid, int *threads)
{
    long long total = 0;
    *threads = 0;
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA(ProcPath(pid, "\\task\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return -1;
    do {
        if (entry.cFileName[0] < '0' || entry.cFileName[0] > '9')
            continue;
        std::string status =
            ReadFileText(ProcPath(pid, (std::string("\\task\\") + entry.cFileName + "\\status").c_str()));
        for (const char *key : { "voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:" }) {
            size_t at = status.find(std::string("\n") + key);
            if (at != std::string::npos)
                total += atoll(status.c_str() + at + 1 + strlen(key));
        }
        (*threads)++;
    } while (FindNextFileA(search, &entry));
    FindClose(search);
    return total;
}

// Handles the process holds, from the system's handle table: Wine answers
// GetProcessHandleCount with 0 but keeps this table. -1 when unavailable.
struct HandleEntry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT value;
    PVOID object;
    ULONG access;
};

long SystemHandleCount(DWORD pid)
{
    typedef LONG(WINAPI * QueryFn)(ULONG, PVOID, ULONG, PULONG);
    static QueryFn query =
        (QueryFn)(void *)GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation");
    if (query == NULL)
        return -1;
    std::vector<char> buf(1 << 16);
    for (int tries = 0; tries < 12; tries++) {
        ULONG needed = 0;
        LONG status = query(16 /* SystemHandleInformation */, buf.data(), (ULONG)buf.size(), &needed);
        if (status == (LONG)0xC0000004 /* STATUS_INFO_LENGTH_MISMATCH */) {
            buf.resize(std::max<size_t>(buf.size() * 2, needed + 4096));
            continue;
        }
        if (status != 0)
            return -1;
        ULONG count = *(ULONG *)buf.data();
        const HandleEntry *entries = (const HandleEntry *)(buf.data() + sizeof(ULONG_PTR));
        long mine = 0;
        for (ULONG i = 0; i < count; i++)
            if (entries[i].ownerPid == pid)
                mine++;
        return mine;
    }
    return -1;
}

Memory MemoryOf(HANDLE process)
{
    Memory m = { -1, -1 };
    PROCESS_MEMORY_COUNTERS pmc;
    ZeroMemory(&pmc, sizeof pmc);
    pmc.cb = sizeof pmc;
    if (GetProcessMemoryInfo(process, &pmc, sizeof pmc)) {
        m.privateKiB = pmc.PagefileUsage / 1024.0;
        m.workingKiB = pmc.WorkingSetSize / 1024.0;
    }
    return m;
}

// ---------------------------------------------------------------------------
// Output

void Heading(const char *title, const char *what)
{
    printf("\n## %s\n\n%s\n\n", title, what);
    fflush(stdout);
}

// One row per reference host: its median, and vizad.exe against it. With
// fastest, also each host's fastest run, which load from elsewhere on the
// machine can only slow down.
void RoundsTable(const char *unit, std::vector<double> (&v)[hostCount], const char *format,
                 const char *target, bool fastest)
{
    printf("| host | %s, median |%s vizad.exe / host, ratio of medians "
           "| vizad.exe / host, median of pairwise ratios | middle half of pairwise ratios "
           "| target |\n",
           unit, fastest ? " fastest |" : "");
    printf("|---|---:|%s---:|---:|---:|---|\n", fastest ? "---:|" : "");
    for (int k = 0; k < hostCount; k++) {
        char value[32], low[40] = "";
        snprintf(value, sizeof value, format, Median(v[k]));
        if (fastest) {
            snprintf(low, sizeof low, " ");
            snprintf(low + 1, sizeof low - 1, format, Quantile(v[k], 0));
            strcat(low, " |");
        }
        if (k == 0) {
            printf("| %s | %s |%s | | | |\n", hosts[k].what, value, low);
            continue;
        }
        double m = Median(v[k]);
        std::vector<double> r = Ratios(v[0], v[k]);
        printf("| %s | %s |%s %.3f | %.3f | %.3f–%.3f | %s |\n", hosts[k].what, value, low,
               m > 0 ? Median(v[0]) / m : 0, Median(r), Quantile(r, 0.25), Quantile(r, 0.75),
               k == 1 ? target : "");
    }
    fflush(stdout);
}

// ---------------------------------------------------------------------------
// A host while its run instance waits: cases 2, 3 and 5

Supervised StartSupervised(const std::string &exe, bool vizad, const std::string &root)
{
    Supervised s;
    s.marker = NewMarker();
    s.event = "vizad-bench-" + s.marker;
    s.child = StartHost(exe, (vizad ? "-debug " : "") + s.marker, EnvironmentBlock(root, s.event));
    if (s.child.process && !WaitUntil(EventExists, s.event.c_str(), 30000)) {
        FinishHost(s.child, 0);
        s.child.process = NULL;
    }
    return s;
}

// Ends the run instance the way the stop instance would, and the host with it.
DWORD EndSupervised(Supervised &s)
{
    SetNamedEvent(s.event.c_str());
    DWORD code = FinishHost(s.child, 30000);
    WaitUntil(EventGone, s.event.c_str(), 10000);
    return code;
}

std::string WaitInstallation()
{
    return MakeInstallation(scratch + "\\wait",
                            ScriptText(ServerCall("serve", "%BENCH_EVENT%"),
                                       ServerCall("stop", "%BENCH_EVENT%")));
}

// ---------------------------------------------------------------------------
// The service control manager: cases 3, 4 and 5

SC_HANDLE manager;

DWORD ServiceState(SC_HANDLE service)
{
    SERVICE_STATUS status;
    if (!QueryServiceStatus(service, &status))
        return 0;
    return status.dwCurrentState;
}

bool WaitState(SC_HANDLE service, DWORD state, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (ServiceState(service) != state) {
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(1);
    }
    return true;
}

// Stops and deletes a registration left by an earlier run and waits until
// its process has gone and the manager has let go of the name.
void RemoveService(const char *name, const char *image)
{
    SC_HANDLE service = OpenServiceA(manager, name, SERVICE_ALL_ACCESS);
    if (service) {
        SERVICE_STATUS status;
        if (ServiceState(service) != SERVICE_STOPPED) {
            ControlService(service, SERVICE_CONTROL_STOP, &status);
            SetNamedEvent(SERVICE_EVENT);
            WaitState(service, SERVICE_STOPPED, 20000);
        }
        DeleteService(service);
        CloseServiceHandle(service);
    }
    WaitUntil(NoProcess, image, 20000, 20);
    DWORD start = GetTickCount();
    while ((service = OpenServiceA(manager, name, SERVICE_QUERY_STATUS)) != NULL &&
           GetTickCount() - start < 20000) {
        CloseServiceHandle(service);
        Sleep(20);
    }
    if (service)
        CloseServiceHandle(service);
}

SC_HANDLE RegisterService(const char *name, const char *display, const std::string &path)
{
    return CreateServiceA(manager, name, display, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                          SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path.c_str(), NULL, NULL,
                          "", NULL, NULL);
}

bool serviceScriptWritten;

std::string RunMark() { return scratch + "\\service-run.start"; }
std::string StopMark() { return scratch + "\\service-stop.start"; }

double SystemMs()
{
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    return (double)(((ULONGLONG)now.dwHighDateTime << 32) | now.dwLowDateTime) / 10000.0;
}

double MarkMs(const std::string &path)
{
    std::string text = ReadFileText(path);
    unsigned long long created = strtoull(text.c_str(), NULL, 10);
    return created ? (double)created / 10000.0 : -1;
}

static bool WriteServiceScript(bool stopEndsRun)
{
    serviceScriptWritten = true;
    const char *root = getenv("ZOVOVEV");
    if (root == NULL)
        return false;
    return !MakeInstallation(root, ScriptText(ServerCall("serve", SERVICE_EVENT, RunMark()),
                                              stopEndsRun
                                                  ? ServerCall("stop", SERVICE_EVENT, StopMark())
                                                  : "exit /b 0"))
                .empty();
}

bool PrepareServices(bool stopEndsRun)
{
    if (manager == NULL)
        manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (manager == NULL || !WriteServiceScript(stopEndsRun)) {
        Fail("no service control manager, or ZOVOVEV not set for services");
        return false;
    }
    return true;
}
