// Case 3: CPU while supervising
#include "bench.h"

#include <stdio.h>

// A supervising host as seen from /proc.
struct Watched {
    unsigned long upid;
    long long ticks0, ticks1, switches0, switches1;
    int threads;
};

static void Look(Watched &w, bool first)
{
    (first ? w.ticks0 : w.ticks1) = CpuTicks(w.upid);
    (first ? w.switches0 : w.switches1) = ContextSwitches(w.upid, &w.threads);
}

// Starts a registered service whose command line ends with the marker, so
// that /proc tells its process apart; its Linux pid, or 0.
static unsigned long StartMarkedService(const ServiceHost &host, const std::string &marker,
                                        SC_HANDLE *service)
{
    RemoveService(host.name, host.exe);
    *service = RegisterService(host.name, host.name,
                               "\"" + exeDir + "\\" + host.exe + "\" " + marker);
    if (*service == NULL || !StartServiceA(*service, 0, NULL) ||
        !WaitState(*service, SERVICE_RUNNING, 30000))
        return 0;
    return UnixPidOf(marker);
}

void CpuWhileSupervising()
{
    DWORD window = quick ? 1000 : 10000;
    std::string root = WaitInstallation();
    Heading("CPU while supervising",
            "All four hosts supervise at the same time: `vizad.exe -debug` and the least "
            "console host, `vizad.exe` as the service ZUVO and the least service host (the "
            "two services share one run-instance server). Once every run instance is up and "
            "300 ms have passed, and again at the end of the window, the driver reads each "
            "host's Linux /proc/PID/stat (user + system time of all its threads, in clock "
            "ticks of 10 ms) and the context switches of all its threads "
            "(/proc/PID/task/*/status): a host that polls shows both.");
    if (!PrepareServices(true))
        return;
    Progress("cpu: a window of %lu ms", window);
    // The services first: making a registration waits until no process of
    // its image is left, and the console vizad.exe would be one.
    Progress("cpu: starting the services");
    Watched w[4];
    ZeroMemory(w, sizeof w);
    SC_HANDLE svc[2] = { NULL, NULL };
    bool ok = WaitUntil(EventGone, SERVICE_EVENT, 20000);
    for (int k = 0; ok && k < 2; k++)
        w[2 + k].upid = StartMarkedService(services[k], NewMarker(), &svc[k]);
    ok = ok && WaitUntil(EventExists, SERVICE_EVENT, 30000);
    Progress("cpu: starting the console hosts");
    Supervised s[2];
    for (int k = 0; k < 2; k++) {
        s[k] = StartSupervised(k == 0 ? VizadPath() : RefHostPath(), k == 0, root);
        w[k].upid = s[k].child.process ? UnixPidOf(s[k].marker) : 0;
    }
    for (int k = 0; k < 4; k++)
        ok = ok && w[k].upid != 0;
    if (ok) {
        Progress("cpu: all up");
        Sleep(300);
        for (int k = 0; k < 4; k++)
            Look(w[k], true);
        Sleep(window);
        for (int k = 0; k < 4; k++)
            Look(w[k], false);
    }
    Progress("cpu: stopping");
    for (int k = 0; k < 2; k++)
        if (s[k].child.process && EndSupervised(s[k]) != 0)
            ok = false;
    SERVICE_STATUS status;
    for (int k = 0; k < 2; k++)
        if (svc[k])
            ControlService(svc[k], SERVICE_CONTROL_STOP, &status);
    for (int k = 0; k < 2; k++) {
        if (svc[k]) {
            ok = WaitState(svc[k], SERVICE_STOPPED, 30000) && ok;
            CloseServiceHandle(svc[k]);
        }
        RemoveService(services[k].name, services[k].exe);
    }
    if (!ok) {
        Fail("the supervising hosts could not all be started, found in /proc or ended");
        return;
    }
    printf("One window of %.0f s.\n\n", window / 1000.0);
    printf("| measure | `vizad.exe -debug` | least host | `vizad.exe` (ZUVO) | least service host "
           "| target |\n|---|---:|---:|---:|---:|---|\n");
    printf("| CPU ticks up to the window (start-up) | %lld | %lld | %lld | %lld | — |\n",
           w[0].ticks0, w[1].ticks0, w[2].ticks0, w[3].ticks0);
    printf("| CPU ticks during the window | %lld | %lld | %lld | %lld | 0 |\n",
           w[0].ticks1 - w[0].ticks0, w[1].ticks1 - w[1].ticks0, w[2].ticks1 - w[2].ticks0,
           w[3].ticks1 - w[3].ticks0);
    printf("| context switches during the window | %lld | %lld | %lld | %lld | 0 |\n",
           w[0].switches1 - w[0].switches0, w[1].switches1 - w[1].switches0,
           w[2].switches1 - w[2].switches0, w[3].switches1 - w[3].switches0);
    printf("| threads (Linux tasks) | %d | %d | %d | %d | — |\n", w[0].threads, w[1].threads,
           w[2].threads, w[3].threads);
    idleTicks = (w[0].ticks1 - w[0].ticks0) + (w[2].ticks1 - w[2].ticks0);
    idleSwitches = (w[0].switches1 - w[0].switches0) + (w[2].switches1 - w[2].switches0);
    fflush(stdout);
}
