// Case 4: service start and stop under the service control manager
#include "bench.h"

#include <stdio.h>

struct ServiceTimes {
    double startMs;      // StartService called -> running shown
    double stopMs;       // stop control sent -> stopped shown
    double runStartMs;   // StartService called -> run instance made
    double stopStartMs;  // stop control sent -> stop instance made
};

// One start and stop of a registered service; false when a step failed.
static bool CycleService(SC_HANDLE service, const char *image, ServiceTimes *t)
{
    // The last run's server and process must be gone: a new server would
    // open the old, signalled event and end at once.
    if (!WaitUntil(EventGone, SERVICE_EVENT, 20000) || !WaitUntil(NoProcess, image, 20000))
        return false;
    DeleteFileA(RunMark().c_str());
    DeleteFileA(StopMark().c_str());
    double sent = SystemMs();
    double start = NowMs();
    if (!StartServiceA(service, 0, NULL))
        return false;
    if (!WaitState(service, SERVICE_RUNNING, 30000))
        return false;
    t->startMs = NowMs() - start;
    // The server writes its mark before it makes the event.
    if (!WaitUntil(EventExists, SERVICE_EVENT, 30000))
        return false;
    t->runStartMs = MarkMs(RunMark()) - sent;
    SERVICE_STATUS status;
    sent = SystemMs();
    start = NowMs();
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status))
        return false;
    if (!WaitState(service, SERVICE_STOPPED, 30000))
        return false;
    t->stopMs = NowMs() - start;
    t->stopStartMs = MarkMs(StopMark()) - sent;
    // A mark missing, or older than the request: this cycle's instance did not write it.
    if (t->runStartMs < 0 || t->stopStartMs < 0) {
        Progress("services: %s wrote no instance start (run %.1f ms, stop %.1f ms)", image,
                 t->runStartMs, t->stopStartMs);
        return false;
    }
    return true;
}

// The table of one measure; the median of the pairwise ratios against the
// least service host.
static double ServiceTable(const char *unit, std::vector<double> (&v)[serviceCount],
                           const char *target)
{
    printf("| service | %s, median | vizad.exe / host, ratio of medians "
           "| vizad.exe / host, median of pairwise ratios | middle half of pairwise ratios "
           "| target |\n|---|---:|---:|---:|---:|---|\n",
           unit);
    for (int k = 0; k < serviceCount; k++) {
        double m = Median(v[k]);
        std::vector<double> r = Ratios(v[0], v[k]);
        if (k == 0)
            printf("| %s | %.1f | | | | |\n", services[k].what, m);
        else
            printf("| %s | %.1f | %.3f | %.3f | %.3f–%.3f | %s |\n", services[k].what, m,
                   m > 0 ? Median(v[0]) / m : 0, Median(r), Quantile(r, 0.25),
                   Quantile(r, 0.75), k == 1 ? target : "");
    }
    fflush(stdout);
    return Median(Ratios(v[0], v[1]));
}

void ServiceStartStop()
{
    int rounds = quick ? 1 : 40, warmups = quick ? 0 : 1;
    Heading("Service start and stop",
            "Each host as a service of its own under Wine's service control manager, all with "
            "the same installation: its run instance serves until the stop instance ends it "
            "at once. The reference services send the same reports as `vizad.exe` "
            "(start-pending five times with checkpoints, running; stop-pending, stopped). "
            "Start: from StartService to the first query that shows running. Stop: from "
            "ControlService(STOP) to the first query that shows stopped. The driver polls "
            "QueryServiceStatus every millisecond. `vizad.exe` reports running before it "
            "checks the installation's folders, so two more measures end when an instance "
            "is made: from StartService to the run instance, and from ControlService(STOP) "
            "to the stop instance. Each instance is the cmd process that runs the script; "
            "the server that the script starts first writes when its parent, that cmd "
            "process, was created (GetProcessTimes: the moment of the host's "
            "CreateProcessA), and the driver sets it against the system time it read "
            "just before its call, on the same clock.");
    if (!PrepareServices(true))
        return;
    Progress("services: %d warm-up and %d measured rounds", warmups, rounds);
    SC_HANDLE handles[serviceCount];
    bool ok = true;
    for (int k = 0; k < serviceCount; k++) {
        RemoveService(services[k].name, services[k].exe);
        handles[k] = RegisterService(services[k].name, services[k].name,
                                     exeDir + "\\" + services[k].exe);
        ok = ok && handles[k] != NULL;
    }
    std::vector<double> start[serviceCount], stop[serviceCount], runStart[serviceCount],
        stopStart[serviceCount];
    for (int i = -warmups; ok && i < rounds; i++) {
        for (int j = 0; ok && j < serviceCount; j++) {
            int k = (j + i + warmups) % serviceCount;
            ServiceTimes t;
            ok = CycleService(handles[k], services[k].exe, &t);
            if (ok && i >= 0) {
                start[k].push_back(t.startMs);
                stop[k].push_back(t.stopMs);
                runStart[k].push_back(t.runStartMs);
                stopStart[k].push_back(t.stopStartMs);
            }
        }
    }
    for (int k = 0; k < serviceCount; k++) {
        if (handles[k])
            CloseServiceHandle(handles[k]);
        RemoveService(services[k].name, services[k].exe);
    }
    if (!ok) {
        Fail("a service did not start or stop");
        return;
    }
    printf("%d rounds after %d warm-up round, each starting one service further down the "
           "tables than the last.\n\n",
           rounds, warmups);
    ServiceTable("StartService to running (ms)", start, "—");
    printf("\n");
    runStartRatio = ServiceTable("StartService to the run instance's start (ms)", runStart,
                                 "≤ 1.10");
    printf("\n");
    ServiceTable("stop request to stopped (ms)", stop, "—");
    printf("\n");
    stopStartRatio = ServiceTable("stop request to the stop instance's start (ms)", stopStart,
                                  "≤ 1.10");
}
