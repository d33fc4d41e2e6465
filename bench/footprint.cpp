// Case 2: supervising footprint, a host while its run instance waits
#include "bench.h"

#include <stdio.h>

void Footprint()
{
    int rounds = quick ? 1 : 10, warmups = quick ? 0 : 1;
    std::string root = WaitInstallation();
    Heading("Supervising footprint",
            "Memory of each host while its run instance waits (its server is up, then 300 ms "
            "to settle), read with GetProcessMemoryInfo from the driver. Private bytes are "
            "PagefileUsage: under Wine PrivateUsage is 0, and PagefileUsage is the Linux "
            "process's anonymous resident memory (RssAnon), most of it Wine's own.");
    Progress("footprint: %d warm-up and %d measured rounds", warmups, rounds);
    std::vector<double> priv[hostCount], ws[hostCount];
    for (int i = -warmups; i < rounds; i++) {
        for (int j = 0; j < hostCount; j++) {
            int k = (j + i + warmups) % hostCount;
            Supervised s = StartSupervised(HostPath(k), k == 0, root);
            if (s.child.process == NULL) {
                Fail("a host's run instance did not come up");
                return;
            }
            Sleep(300);
            Memory m = MemoryOf(s.child.process);
            if (EndSupervised(s) != 0 || m.privateKiB < 0) {
                Fail("a supervising host could not be measured or did not end with status 0");
                return;
            }
            if (i >= 0) {
                priv[k].push_back(m.privateKiB);
                ws[k].push_back(m.workingKiB);
            }
        }
    }
    printf("%d rounds after %d warm-up round, each starting one host further down the table "
           "than the last.\n\n",
           rounds, warmups);
    RoundsTable("private bytes (KiB)", priv, "%.0f", "≤ 1.05", false);
    privateRatio = Median(Ratios(priv[0], priv[1]));
    printf("\n");
    RoundsTable("working set (KiB)", ws, "%.0f", "—", false);
}
