// Program entry: a command from the first argument, or the service path.
#include <stdio.h>

#include "service/host.h"

int main(int argc, char **argv)
{
    int status = 0;

    switch (FindHostCommand(argc, argv)) {
    case CMD_INSTALL:
        status = (int)CmdInstallService();
        break;
    case CMD_REMOVE:
        status = (int)CmdRemoveService();
        break;
    case CMD_DEBUG:
        bDebug = TRUE;
        CmdDebugService(argc, argv);
        break;
    case CMD_SERVICE:
        status = RunServiceDispatcher();
        break;
    }
    // Pending output is written here, on the main thread, not left to the
    // process's end: when a console handler's thread was still printing at
    // that moment, the whole buffered output has been seen to go missing.
    fflush(stdout);
    return status;
}
