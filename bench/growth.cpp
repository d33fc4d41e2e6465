// Case 5: growth over many stop requests in one life
#include "bench.h"

#include <algorithm>
#include <stdio.h>

// A second stop request to a stop-pending service: what the manager says.
static void RepeatedServiceStop()
{
    if (!PrepareServices(false))
        return;
    RemoveService(VIZAD_SERVICE, "vizad.exe");
    SC_HANDLE service = RegisterService(VIZAD_SERVICE, "Ulvane Trelox ZUVO", VizadPath());
    SERVICE_STATUS status;
    bool up = service && WaitUntil(EventGone, SERVICE_EVENT, 20000) &&
              StartServiceA(service, 0, NULL) && WaitState(service, SERVICE_RUNNING, 30000) &&
              WaitUntil(EventExists, SERVICE_EVENT, 30000);
    if (!up) {
        Fail("the service did not start");
    } else {
        BOOL first = ControlService(service, SERVICE_CONTROL_STOP, &status);
        DWORD firstErr = first ? 0 : GetLastError();
        Sleep(500);  // the stop instance has run by now and changed nothing
        DWORD state = ServiceState(service);
        BOOL second = ControlService(service, SERVICE_CONTROL_STOP, &status);
        DWORD secondErr = second ? 0 : GetLastError();
        printf("As a service: the first stop request %s (error %lu); the service then stays "
               "stop-pending (state %lu) while its run instance lives, and a second stop "
               "request %s (error %lu%s). So under Wine's service control manager a service "
               "life takes one stop request; the growth below is measured in console mode, "
               "where every Ctrl+C is one more stop request.\n\n",
               first ? "succeeds" : "fails", firstErr, state,
               second ? "succeeds" : "is refused", secondErr,
               secondErr == ERROR_SERVICE_CANNOT_ACCEPT_CTRL ? ", ERROR_SERVICE_CANNOT_ACCEPT_CTRL"
                                                             : "");
        SetNamedEvent(SERVICE_EVENT);
        WaitState(service, SERVICE_STOPPED, 30000);
    }
    if (service)
        CloseServiceHandle(service);
    RemoveService(VIZAD_SERVICE, "vizad.exe");
}

// Sends SIGINT to one Linux process; Wine makes it a Ctrl+C for the
// process's handlers. For a Unix program CreateProcess gives no handle
// (and leaves junk in pi), so nothing in pi is used.
static bool SendSigint(unsigned long unixPid)
{
    char cmd[128];
    snprintf(cmd, sizeof cmd, "Z:\\bin\\sh -c \"kill -INT %lu\"", unixPid);
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    return CreateProcessA(NULL, cmd, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi) != FALSE;
}

struct GrowthRow {
    int requests;
    DWORD handleCount;
    long systemHandles;
    Memory memory;
    double ms;
};

// One life of a console host over stop requests sent one at a time; a row
// at 0 requests and at every checkpoint. False when a step failed.
static bool GrowthRun(const std::string &exe, bool vizad, const std::vector<int> &checkpoints,
                      std::vector<GrowthRow> &rows)
{
    std::string root = MakeInstallation(
        scratch + "\\growth", ScriptText(ServerCall("serve", "%BENCH_EVENT%"),
                                           "echo s>>\"%~dp0..\\stops.log\""));
    std::string log = root + "\\stops.log";
    DeleteFileA(log.c_str());
    Supervised s = StartSupervised(exe, vizad, root);
    unsigned long upid = s.child.process ? UnixPidOf(s.marker) : 0;
    if (!upid) {
        if (s.child.process)
            EndSupervised(s);
        return false;
    }
    Sleep(300);
    auto sample = [&](int n, double ms) {
        Sleep(300);  // the last stop instance has ended by now
        GrowthRow r = { n, 0, SystemHandleCount(s.child.pid), MemoryOf(s.child.process), ms };
        GetProcessHandleCount(s.child.process, &r.handleCount);
        rows.push_back(r);
    };
    sample(0, 0);
    double start = NowMs();
    bool ok = true;
    for (int n = 1; ok && n <= checkpoints.back(); n++) {
        ok = SendSigint(upid);
        DWORD t0 = GetTickCount();
        while (ok && FileSize(log) < 3LL * n) {  // "s" CR LF per stop instance
            if (GetTickCount() - t0 > 30000 ||
                WaitForSingleObject(s.child.process, 0) == WAIT_OBJECT_0)
                ok = false;
            Sleep(2);
        }
        if (ok && std::find(checkpoints.begin(), checkpoints.end(), n) != checkpoints.end()) {
            sample(n, NowMs() - start);
            Progress("growth: %s, %d stop requests", exe.substr(exe.rfind('\\') + 1).c_str(), n);
        }
    }
    bool stillRunning = ok && WaitForSingleObject(s.child.process, 0) == WAIT_TIMEOUT;
    return EndSupervised(s) == 0 && stillRunning;
}

static void GrowthTable(const std::vector<GrowthRow> &rows)
{
    printf("| stop requests | GetProcessHandleCount | handles (system table) | private bytes (KiB) "
           "| working set (KiB) |\n|---:|---:|---:|---:|---:|\n");
    for (const GrowthRow &r : rows)
        printf("| %d | %lu | %ld | %.0f | %.0f |\n", r.requests, r.handleCount, r.systemHandles,
               r.memory.privateKiB, r.memory.workingKiB);
}

void Growth()
{
    // The least host takes as many requests as vizad.exe: Wine 10 itself
    // keeps a little memory for each Ctrl+C in any process, and the target
    // counts only what vizad.exe grows by beyond that.
    std::vector<int> checkpoints = quick ? std::vector<int>{ 1, 3 } : std::vector<int>{ 1, 100, 1000 };
    Heading("Growth over stop requests",
            "Handles and memory of one life of the host over many stop requests, with a stop "
            "instance that leaves the servers running (its stopServers branch only appends a "
            "line to a log, which the driver counts so that it sends one request at a time).");
    RepeatedServiceStop();

    Progress("growth: %d stop requests by SIGINT", checkpoints.back());
    std::vector<GrowthRow> rows, refRows;
    if (!GrowthRun(VizadPath(), true, checkpoints, rows) ||
        !GrowthRun(exeDir + "\\ref_host_ctrl_c.exe", false, checkpoints, refRows)) {
        Fail("a stop request went unanswered, or a host could not be found in /proc or did "
             "not end with status 0");
        return;
    }
    printf("`vizad.exe -debug`, one life; each stop request is a SIGINT to the host alone "
           "(Wine turns it into a Ctrl+C on a new thread). GetProcessHandleCount answers 0 "
           "under Wine; the handle table that NtQuerySystemInformation returns is counted "
           "instead.\n\n");
    GrowthTable(rows);
    printf("\n%d requests took %.1f s. For comparison, the least host with a Ctrl+C handler "
           "that starts the stop instance and nothing else (`ref_host_ctrl_c.exe`), "
           "%d requests:\n\n",
           checkpoints.back(), rows.back().ms / 1000.0, checkpoints.back());
    GrowthTable(refRows);
    printf("\nThe first request adds %+.0f KiB of private bytes to vizad.exe and %+.0f KiB to "
           "the least host with a handler: that step comes with the first Ctrl+C under Wine, "
           "not with what either handler does.\n",
           rows[1].memory.privateKiB - rows[0].memory.privateKiB,
           refRows[1].memory.privateKiB - refRows[0].memory.privateKiB);
    growthMeasured = true;
    growthRequests = checkpoints.back();
    growthKiB = rows.back().memory.privateKiB - rows[1].memory.privateKiB;
    growthHandles = rows.back().systemHandles - rows[1].systemHandles;
    growthTailFrom = rows[rows.size() - 2].requests;
    growthTailKiB = rows.back().memory.privateKiB - rows[rows.size() - 2].memory.privateKiB;
    growthRefTailKiB =
        refRows.back().memory.privateKiB - refRows[refRows.size() - 2].memory.privateKiB;
    printf("\nTarget: flat from 1 to %d requests, beyond what the least host with a handler "
           "grows by over the same requests.\n",
           checkpoints.back());
    fflush(stdout);
}
