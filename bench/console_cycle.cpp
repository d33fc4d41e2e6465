// Case 1: console cycle
#include "bench.h"

#include <stdio.h>

static double TimeCycle(const std::string &exe, const std::string &args, const std::string &env)
{
    double start = NowMs();
    Child child = StartHost(exe, args, env);
    if (child.process == NULL)
        return -1;
    DWORD code = FinishHost(child);
    double ms = NowMs() - start;
    return code == 0 ? ms : -1;
}

void ConsoleCycle()
{
    int rounds = quick ? 1 : 50, warmups = quick ? 0 : 3;
    std::string root = MakeInstallation(scratch + "\\exit", "@exit /b 0\r\n");
    std::string env = EnvironmentBlock(root, "");
    Heading("Console cycle",
            "Each host starts a control script that exits at once and waits for it; wall time "
            "from CreateProcess to the host's end, as the driver sees it.");
    Progress("console cycle: %d warm-up and %d measured rounds", warmups, rounds);
    std::vector<double> t[hostCount];
    for (int i = -warmups; i < rounds; i++) {
        // Each round starts one host further on, so that no host always
        // follows the same one.
        for (int j = 0; j < hostCount; j++) {
            int k = (j + i + warmups) % hostCount;
            double ms = TimeCycle(HostPath(k), k == 0 ? "-debug" : "", env);
            if (ms < 0) {
                Fail("a console cycle did not end with status 0");
                return;
            }
            if (i >= 0)
                t[k].push_back(ms);
        }
    }
    printf("%d rounds after %d warm-up rounds; each round runs every host once, starting one "
           "host further down the table than the last, and pairs vizad.exe with each "
           "reference.\n\n",
           rounds, warmups);
    RoundsTable("wall time (ms)", t, "%.1f", "≤ 1.02", true);
    cycleRatio = Median(Ratios(t[0], t[1]));
    cycleFastestRatio = Quantile(t[0], 0) / Quantile(t[1], 0);
}
