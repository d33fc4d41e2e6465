// The sample installation's server: it stands in for a real server that an
// installation's control script runs for the life of the service and stops
// on request.
//   sample_server run LOGFILE   serve until told to stop, with a heartbeat
//                               line every second on standard output and in
//                               LOGFILE; exit 0 when stopped
//   sample_server stop          tell the running server to stop; exit 1 if
//                               none runs
#include <windows.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

// Named, so that the stop command, a process of its own, can reach it.
#define STOP_EVENT_NAME "VizadSampleServerStop"
#define HEARTBEAT_MS    1000

// Console events that the server outlives: the stop command stops it, not
// the console that it shares with whoever started it.
static BOOL WINAPI IgnoreConsoleBreak(DWORD dwCtrlType)
{
    return dwCtrlType == CTRL_C_EVENT || dwCtrlType == CTRL_BREAK_EVENT;
}

// One line to standard output and the log, each flushed at once so that the
// heartbeat is seen as it happens.
static void Say(FILE *log, const char *format, ...)
{
    va_list args;

    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fflush(stdout);
    if (log != NULL) {
        va_start(args, format);
        vfprintf(log, format, args);
        va_end(args);
        fflush(log);
    }
}

static int Run(const char *lpszLogFile)
{
    char szLogPath[MAX_PATH];
    DWORD cchLogPath;
    HANDLE hStop;
    FILE *log;
    DWORD dwWait;
    unsigned long tick = 0;

    SetConsoleCtrlHandler(IgnoreConsoleBreak, TRUE);
    hStop = CreateEventA(NULL, TRUE, FALSE, STOP_EVENT_NAME);
    if (hStop == NULL) {
        fprintf(stderr, "sample server: cannot make the stop event (error %lu)\n", GetLastError());
        return 2;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        fprintf(stderr, "sample server: another server is already running\n");
        CloseHandle(hStop);
        return 1;
    }
    // The full path reads better than what a script makes of "bin\..\logs".
    cchLogPath = GetFullPathNameA(lpszLogFile, MAX_PATH, szLogPath, NULL);
    if (cchLogPath == 0 || cchLogPath >= MAX_PATH)
        lstrcpynA(szLogPath, lpszLogFile, MAX_PATH);
    log = fopen(szLogPath, "a");
    if (log == NULL) {
        fprintf(stderr, "sample server: cannot open %s\n", szLogPath);
        CloseHandle(hStop);
        return 2;
    }

    Say(log, "sample server: started, logging to %s\n", szLogPath);
    do {
        Say(log, "sample server: serving, tick %lu\n", ++tick);
        dwWait = WaitForSingleObject(hStop, HEARTBEAT_MS);
    } while (dwWait == WAIT_TIMEOUT);

    if (dwWait != WAIT_OBJECT_0) {
        Say(log, "sample server: waiting failed (error %lu)\n", GetLastError());
        fclose(log);
        CloseHandle(hStop);
        return 2;
    }
    Say(log, "sample server: stopped\n");
    fclose(log);
    CloseHandle(hStop);
    return 0;
}

static int Stop(void)
{
    HANDLE hStop = OpenEventA(EVENT_MODIFY_STATE, FALSE, STOP_EVENT_NAME);

    if (hStop == NULL) {
        fprintf(stderr, "sample server: no server is running\n");
        return 1;
    }
    printf("sample server: stop requested\n");
    fflush(stdout);
    SetEvent(hStop);
    CloseHandle(hStop);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "run") == 0)
        return Run(argv[2]);
    if (argc == 2 && strcmp(argv[1], "stop") == 0)
        return Stop();
    fprintf(stderr, "usage: sample_server run LOGFILE | sample_server stop\n");
    return 64;
}
