// The servers of the benchmark installations' control scripts.
//   serve NAME  make the named event NAME and run until it is set (or 10 min
//               pass, so that an aborted run never leaves it behind)
//   stop NAME   set the named event NAME
#include <windows.h>
#include <string.h>

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "serve") == 0) {
        // Stopped by the stop instance, never by a Ctrl+C on a shared console.
        SetConsoleCtrlHandler(NULL, TRUE);
        HANDLE event = CreateEventA(NULL, TRUE, FALSE, argv[2]);
        if (event == NULL)
            return 3;
        DWORD wait = WaitForSingleObject(event, 600000);
        CloseHandle(event);
        return wait == WAIT_OBJECT_0 ? 0 : 2;
    }
    if (argc == 3 && strcmp(argv[1], "stop") == 0) {
        HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[2]);
        if (event == NULL)
            return 1;
        SetEvent(event);
        CloseHandle(event);
        return 0;
    }
    return 64;
}
