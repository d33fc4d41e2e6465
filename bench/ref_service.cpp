// The least a service host can be: the same reports as vizad.exe (five
// start-pending reports with checkpoints, running; stop-pending, stopped),
// the control script run once with no arguments and waited for, and the
// same script run with stopServers on a stop request, not waited for. Built
// as the same variants as the least console host; REF_SERVICE_NAME tells
// them apart.
#include <windows.h>
#include <stdlib.h>
#include <string.h>

static SERVICE_STATUS_HANDLE statusHandle;
static SERVICE_STATUS status;
static DWORD checkPoint = 1;
static char *scriptPath;

// Reports come from the service thread and the handler's thread, never at
// the same moment in a benchmark run: no lock, as the least host would have.
static void Report(DWORD state, DWORD waitHint)
{
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
    status.dwWaitHint = waitHint;
    status.dwCheckPoint =
        state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : checkPoint++;
    SetServiceStatus(statusHandle, &status);
}

// Starts the script with arg (NULL for none); the process handle, or NULL.
// The path is always quoted: the tests' service root holds an ampersand,
// which cmd would split an unquoted path at.
static HANDLE RunScript(const char *arg)
{
    size_t len = strlen(scriptPath);
    size_t argLen = arg ? strlen(arg) + 1 : 0;
    char *cmdLine = (char *)malloc(len + argLen + 3);
    if (cmdLine == NULL)
        return NULL;
    cmdLine[0] = '"';
    memcpy(cmdLine + 1, scriptPath, len);
    cmdLine[len + 1] = '"';
    if (arg) {
        cmdLine[len + 2] = ' ';
        memcpy(cmdLine + len + 3, arg, argLen - 1);
    }
    cmdLine[len + 2 + argLen] = '\0';

    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    BOOL ok = CreateProcessA(scriptPath, cmdLine, NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi);
    free(cmdLine);
    if (!ok)
        return NULL;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

static void WINAPI Handler(DWORD control)
{
    if (control == SERVICE_CONTROL_STOP) {
        Report(SERVICE_STOP_PENDING, 0);
        HANDLE stopInstance = scriptPath ? RunScript("stopServers") : NULL;
        if (stopInstance)
            CloseHandle(stopInstance);
        return;
    }
    SetServiceStatus(statusHandle, &status);
}

static void WINAPI ServiceMain(DWORD, LPSTR *)
{
    static const char suffix[] = "\\bin\\revaduzeza.bat";
    statusHandle = RegisterServiceCtrlHandlerA(REF_SERVICE_NAME, Handler);
    if (statusHandle == 0)
        return;
    const char *root = getenv("ZOVOVEV");
    if (root) {
        size_t len = strlen(root);
        char *path = (char *)malloc(len + sizeof suffix);
        if (path) {
            memcpy(path, root, len);
            memcpy(path + len, suffix, sizeof suffix);
        }
        scriptPath = path;  // formed before any stop request can come
    }
    for (int i = 0; i < 5; i++)
        Report(SERVICE_START_PENDING, 3000);
    Report(SERVICE_RUNNING, 0);
    HANDLE runInstance = scriptPath ? RunScript(NULL) : NULL;
    if (runInstance) {
        WaitForSingleObject(runInstance, INFINITE);
        CloseHandle(runInstance);
    }
    Report(SERVICE_STOPPED, 0);
}

int main(void)
{
    char name[] = REF_SERVICE_NAME;
    SERVICE_TABLE_ENTRYA table[] = { { name, ServiceMain }, { NULL, NULL } };
    return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
