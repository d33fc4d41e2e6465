// Benchmark driver: measures vizad.exe against the least host that does the
// same job (ref_host.exe in a console, ref_service.exe under the service
// control manager) and against variants of it, under Wine. Hosts run in
// rounds, vizad.exe first, after warm-up rounds; each case prints Markdown
// tables of medians and of the median of the pairwise ratios, and a table of
// the targets ends the output. The exit status says only whether every case
// could be run, never how the figures came out.
//
//   vizad_bench [-quick] [-only N]
//
// -quick runs each case once, small, to show that it works. -only N runs
// case N alone (1 console cycle, 2 footprint, 3 CPU, 4 services, 5 growth).
// ZOVOVEV (the prefix's system environment) names the root of the
// installation that the services use; the console cases make their own.
#include "bench.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char *Verdict(bool measured, bool met)
{
    if (!measured)
        return "not measured";
    if (quick)
        return "not judged (quick run)";
    return met ? "met" : "**not met**";
}

static void Summary()
{
    Heading("Targets", "Against the least host; the size is in the section below.");
    printf("| target | measured | |\n|---|---|---|\n");
    char text[240] = "—";
    if (cycleRatio >= 0)
        snprintf(text, sizeof text, "%.3f × (fastest runs: %.3f ×)", cycleRatio,
                 cycleFastestRatio);
    printf("| console cycle ≤ 1.02 × the least host | %s | %s |\n", text,
           Verdict(cycleRatio >= 0, cycleRatio <= 1.02));
    strcpy(text, "—");
    if (privateRatio >= 0)
        snprintf(text, sizeof text, "%.3f ×", privateRatio);
    printf("| private bytes ≤ 1.05 × the least host | %s | %s |\n", text,
           Verdict(privateRatio >= 0, privateRatio <= 1.05));
    static const struct {
        const char *what;
        const double *ratio;
    } serviceRows[] = {
        { "service: StartService to the run instance's start", &runStartRatio },
        { "service: stop request to the stop instance's start", &stopStartRatio },
    };
    for (const auto &row : serviceRows) {
        strcpy(text, "—");
        if (*row.ratio >= 0)
            snprintf(text, sizeof text, "%.3f ×", *row.ratio);
        printf("| %s ≤ 1.10 × the least service host | %s | %s |\n", row.what, text,
               Verdict(*row.ratio >= 0, *row.ratio <= 1.10));
    }
    strcpy(text, "—");
    if (idleTicks >= 0)
        snprintf(text, sizeof text, "%lld CPU ticks, %lld context switches", idleTicks,
                 idleSwitches);
    printf("| no CPU while supervising (console and service) | %s | %s |\n", text,
           Verdict(idleTicks >= 0, idleTicks == 0 && idleSwitches == 0));
    // Flat: not one handle more, and less than 64 bytes a request between the
    // last two checkpoints beyond the least host's growth, far below what a
    // leaked thread, process handle or command line would cost. The first
    // requests warm up Wine's own heaps; Wine 10 keeps a little for each
    // Ctrl+C in any process, which the least host shows.
    strcpy(text, "—");
    if (growthMeasured)
        snprintf(text, sizeof text,
                 "%+ld handles from request 1 to %d; private bytes %+.0f KiB from 1 to %d, "
                 "%+.0f KiB from %d to %d (the least host: %+.0f KiB)",
                 growthHandles, growthRequests, growthKiB, growthRequests, growthTailKiB,
                 growthTailFrom, growthRequests, growthRefTailKiB);
    printf("| flat growth over %s stop requests, beyond the least host's | %s | %s |\n",
           growthMeasured ? std::to_string(growthRequests).c_str() : "many", text,
           Verdict(growthMeasured, growthHandles == 0 &&
                                       (growthTailKiB - growthRefTailKiB) * 1024 <
                                           64.0 * (growthRequests - growthTailFrom)));
    fflush(stdout);
}

int main(int argc, char **argv)
{
    int only = 0;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-quick") == 0)
            quick = true;
        else if (strcmp(argv[i], "-only") == 0 && i + 1 < argc)
            only = atoi(argv[++i]);
        else {
            fprintf(stderr, "usage: vizad_bench [-quick] [-only N]\n");
            return 64;
        }
    }
    char path[MAX_PATH];
    DWORD len = GetModuleFileNameA(NULL, path, MAX_PATH);
    exeDir = std::string(path, len);
    exeDir = exeDir.substr(0, exeDir.find_last_of('\\'));
    MakeDirs(scratch);
    if (quick)
        printf("Quick run: every case once, small; the figures mean nothing.\n");

    if (!only || only == 1)
        ConsoleCycle();
    if (!only || only == 2)
        Footprint();
    if (!only || only == 3)
        CpuWhileSupervising();
    if (!only || only == 4)
        ServiceStartStop();
    if (!only || only == 5)
        Growth();
    if (manager)
        CloseServiceHandle(manager);
    // The services' installation is shared with whoever set ZOVOVEV for the
    // prefix: it is left without a script, as it was found.
    const char *root = getenv("ZOVOVEV");
    if (serviceScriptWritten && root)
        DeleteFileA((std::string(root) + "\\bin\\revaduzeza.bat").c_str());
    Summary();
    Progress(failures ? "%d case(s) could not be run" : "all cases ran", failures);
    return failures ? 1 : 0;
}
