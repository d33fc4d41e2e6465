// Console mode: the whole start and stop cycle in a console window, with
// Ctrl+C or Ctrl+Break in place of the stop request.
#include <stdio.h>

#include "service/catalogue.h"
#include "service/host.h"
#include "zuvo/supervisor.h"

// Presses hold it shared while they print and stop; the main thread takes it
// once the start routine is over, so that the process never ends under a
// handler that is printing or starting a stop instance.
static SRWLOCK srwPresses = SRWLOCK_INIT;
static BOOL fRunOver = FALSE;  // the start routine has returned: presses do nothing

// Runs on a thread of the system's own, once for every press.
BOOL WINAPI ControlHandler(DWORD dwCtrlType)
{
    switch (dwCtrlType) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        AcquireSRWLockShared(&srwPresses);
        if (!fRunOver) {
            char szMsg[MSG_SIZE];
            printf(GetResourceString(IDS_STOPPING, szMsg, MSG_SIZE), DISPLAY_NAME);
            ServiceStop();
        }
        ReleaseSRWLockShared(&srwPresses);
        return TRUE;
    default:
        return FALSE;  // close, log-off, shut-down: the system's default ends us
    }
}

void CmdDebugService(int argc, char **argv)
{
    printf("Debugging %s.\n", DISPLAY_NAME);
    SetConsoleCtrlHandler(ControlHandler, TRUE);
    ServiceStart((DWORD)argc, argv);
    AcquireSRWLockExclusive(&srwPresses);
    fRunOver = TRUE;
    ReleaseSRWLockExclusive(&srwPresses);
}
