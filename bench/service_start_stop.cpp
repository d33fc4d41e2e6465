// Case 4: service start and stop under the service control manager
#include "bench.h"

#include <stdio.h>

struct ServiceTimes {
    double startMs;   // StartService called -> running shown
    double stopMs;    // stop control sent -> stopped shown
};

// One start and stop of a registered service; false when a step failed.
static bool CycleService(SC_HANDLE service, const char *image, ServiceTimes *t)
{
    // The last run's server and process must be gone: a new server would
    // open the old, signalled event and end at once.
    if (!WaitUntil(EventGone, SERVICE_EVENT, 20000) || !WaitUntil(NoProcess, image, 20000))
        return false;
    double start = NowMs();
    if (!StartServiceA(service, 0, NULL))
        return false;
    if (!WaitState(service, SERVICE_RUNNING, 30000))
        return false;
    t->startMs = NowMs() - start;
    if (!WaitUntil(EventExists, SERVICE_EVENT, 30000))
        return false;
    SERVICE_STATUS status;
    start = NowMs();
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status))
        return false;
    if (!WaitState(service, SERVICE_STOPPED, 30000))
        return false;
    t->stopMs = NowMs() - start;
    return true;
}

static void ServiceTable(const char *unit, std::vector<double> (&v)[serviceCount])
{
    printf("| service | %s, median | vizad.exe / host, ratio of medians "
           "| vizad.exe / host, median of pairwise ratios | middle half of pairwise ratios "
           "|\n|---|---:|---:|---:|---:|\n",
           unit);
    for (int k = 0; k < serviceCount; k++) {
        double m = Median(v[k]);
        std::vector<double> r = Ratios(v[0], v[k]);
        if (k == 0)
            printf("| %s | %.1f | | | |\n", services[k].what, m);
        else
            printf("| %s | %.1f | %.3f | %.3f | %.3f–%.3f |\n", services[k].what, m,
                   m > 0 ? Median(v[0]) / m : 0, Median(r), Quantile(r, 0.25),
                   Quantile(r, 0.75));
    }
    fflush(stdout);
}

void ServiceStartStop()
{
    int rounds = quick ? 1 : 20, warmups = quick ? 0 : 1;
    Heading("Service start and stop",
            "Each host as a service of its own under Wine's service control manager, all with "
            "the same installation: its run instance serves until the stop instance ends it "
            "at once. The reference services send the same reports as `vizad.exe` "
            "(start-pending five times with checkpoints, running; stop-pending, stopped). "
            "Start: from StartService to the first query that shows running. Stop: from "
            "ControlService(STOP) to the first query that shows stopped. The driver polls "
            "QueryServiceStatus every millisecond.");
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
    std::vector<double> start[serviceCount], stop[serviceCount];
    for (int i = -warmups; ok && i < rounds; i++) {
        for (int j = 0; ok && j < serviceCount; j++) {
            int k = (j + i + warmups) % serviceCount;
            ServiceTimes t;
            ok = CycleService(handles[k], services[k].exe, &t);
            if (ok && i >= 0) {
                start[k].push_back(t.startMs);
                stop[k].push_back(t.stopMs);
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
    ServiceTable("StartService to running (ms)", start);
    printf("\n");
    ServiceTable("stop request to stopped (ms)", stop);
}
