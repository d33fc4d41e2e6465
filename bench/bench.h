// What the benchmark cases share: the process-wide settings, statistics and
// output, installations and children, the hosts, looking at a host through
// /proc, and the service control manager. common.cpp defines them; each case
// stands in a file of its own, and driver.cpp runs them in turn.
#ifndef VIZAD_BENCH_BENCH_H
#define VIZAD_BENCH_BENCH_H

#include <windows.h>

#include <string>
#include <vector>

#define VIZAD_SERVICE "ZUVO"
#define REF_SERVICE "ZUVOBENCHREF"
#define SERVICE_EVENT "vizad-bench-service"

extern bool quick;
extern int failures;

// What the summary at the end needs; a negative value: not measured.
extern double cycleRatio, cycleFastestRatio, privateRatio;
extern double runStartRatio, stopStartRatio;
extern long long idleTicks, idleSwitches;
extern bool growthMeasured;
extern double growthKiB, growthTailKiB, growthRefTailKiB;
extern int growthTailFrom;
extern long growthHandles;
extern int growthRequests;
extern std::string exeDir;
extern std::string scratch;

// Small helpers
double NowMs();
void Progress(const char *fmt, ...);
void Fail(const char *what);
double Median(std::vector<double> v);
double Quantile(std::vector<double> v, double share);
std::vector<double> Ratios(const std::vector<double> &a, const std::vector<double> &b);
void MakeDirs(const std::string &path);
bool WriteFileText(const std::string &path, const std::string &text);
std::string ReadFileText(const std::string &path);
LONGLONG FileSize(const std::string &path);
bool WaitUntil(bool (*cond)(const void *), const void *arg, DWORD timeoutMs, DWORD stepMs = 2);
bool EventExists(const void *name);
bool EventGone(const void *name);
void SetNamedEvent(const char *name);
bool NoProcess(const void *imageName);

// Installations and children
std::string ScriptText(const std::string &runBody, const std::string &stopBody);
// With mark, the server first writes there when its script instance was made.
std::string ServerCall(const char *verb, const std::string &event,
                       const std::string &mark = std::string());
std::string MakeInstallation(const std::string &root, const std::string &script);
std::string EnvironmentBlock(const std::string &root, const std::string &event);

struct Child {
    HANDLE process;
    DWORD pid;
};

Child StartHost(const std::string &exe, const std::string &args, const std::string &env);
DWORD FinishHost(Child &child, DWORD timeoutMs = 60000);
std::string VizadPath();
std::string RefHostPath();

// The console hosts of cases 1 and 2: vizad.exe first, then the least host,
// then the least host with one more of the things vizad.exe brings.
struct Host {
    const char *exe;
    const char *what;
};
inline const Host hosts[] = {
    { "vizad.exe", "`vizad.exe -debug`" },
    { "ref_host.exe", "least host (the reference)" },
    { "ref_host_advapi32.exe", "least host + advapi32 imported, not called" },
    { "ref_host_hardened.exe", "least host + the product's hardening" },
    { "ref_host_hardened_advapi32.exe", "least host + both" },
    { "ref_host.exe", "least host again: its row against the first shows the noise" },
};
const int hostCount = sizeof hosts / sizeof hosts[0];

std::string HostPath(int k);

// Looking at a host from outside: Linux's /proc through Wine's Z: drive
std::string NewMarker();
unsigned long UnixPidOf(const std::string &marker);
long long CpuTicks(unsigned long pid);
long long ContextSwitches(unsigned long pid, int *threads);
long SystemHandleCount(DWORD pid);

struct Memory {
    double privateKiB;   // PagefileUsage: Wine's count of anonymous memory
    double workingKiB;   // WorkingSetSize
};

Memory MemoryOf(HANDLE process);

// Output
void Heading(const char *title, const char *what);
void RoundsTable(const char *unit, std::vector<double> (&v)[hostCount], const char *format,
                 const char *target, bool fastest);

// A host while its run instance waits (cases 2, 3 and 5)
struct Supervised {
    Child child;
    std::string event;
    std::string marker;
};

Supervised StartSupervised(const std::string &exe, bool vizad, const std::string &root);
DWORD EndSupervised(Supervised &s);
std::string WaitInstallation();

// The service control manager (cases 3, 4 and 5)
extern SC_HANDLE manager;
extern bool serviceScriptWritten;

DWORD ServiceState(SC_HANDLE service);
bool WaitState(SC_HANDLE service, DWORD state, DWORD timeoutMs);
void RemoveService(const char *name, const char *image);
SC_HANDLE RegisterService(const char *name, const char *display, const std::string &path);
// Opens the manager and writes the services' script (the stop instance ends
// the run instance, or leaves it); false, counted as a failure, when either fails.
bool PrepareServices(bool stopEndsRun);
// Where the services' script instances write when they were made (the run
// instance's server, and the stop instance when it ends the run); the system
// time in ms, on the clock of those marks; a mark's time, or -1 when missing.
std::string RunMark();
std::string StopMark();
double SystemMs();
double MarkMs(const std::string &path);

// The services of case 4: vizad.exe, the least service host (which imports
// advapi32, as every service host must) and the same hardened.
struct ServiceHost {
    const char *name;
    const char *exe;
    const char *what;
};
inline const ServiceHost services[] = {
    { VIZAD_SERVICE, "vizad.exe", "`vizad.exe` (ZUVO)" },
    { REF_SERVICE, "ref_service.exe", "least service host (the reference)" },
    { "ZUVOBENCHREFH", "ref_service_hardened.exe", "least service host + the product's hardening" },
};
const int serviceCount = sizeof services / sizeof services[0];

// The cases
void ConsoleCycle();          // 1, console_cycle.cpp
void Footprint();             // 2, footprint.cpp
void CpuWhileSupervising();   // 3, cpu.cpp
void ServiceStartStop();      // 4, service_start_stop.cpp
void Growth();                // 5, growth.cpp

#endif
