// Program entry: a command from the first argument, or the service path.
#include <stdlib.h>

#include "service/host.h"

int main(int argc, char **argv)
{
    switch (FindHostCommand(argc, argv)) {
    case CMD_INSTALL:
        CmdInstallService();
        break;
    case CMD_REMOVE:
        CmdRemoveService();
        break;
    case CMD_DEBUG:
        bDebug = TRUE;
        CmdDebugService(argc, argv);
        break;
    case CMD_SERVICE:
        return RunServiceDispatcher();
    }
    return 0;  // the commands always end with 0; returning writes pending output
}
