// The least a host can be: runs the control script once, with no arguments,
// and waits for it. It reads ZOVOVEV the same way vizad.exe does, with the
// same C runtime. Built as variants that add, one at a time, what a host may
// bring besides its own code: REF_WITH_ADVAPI32 imports advapi32, the DLL of
// the service API, without calling it (what importing it costs every start;
// vizad.exe loads it on first use instead, never in -debug mode); the
// hardened variants get the product's hardening. REF_WITH_CTRL_C adds the
// least Ctrl+C handler: it starts the stop instance and returns.
#include <windows.h>
#include <stdlib.h>
#include <string.h>

#ifdef REF_WITH_CTRL_C
static char *stopCmdLine;
static char *scriptPath;

static BOOL WINAPI OnCtrl(DWORD)
{
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    if (CreateProcessA(scriptPath, stopCmdLine, NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi)) {
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    return TRUE;
}
#endif

#ifdef REF_WITH_ADVAPI32
// Taking the address is enough for the loader to bring the DLL in.
void *volatile keepAdvapi32 = (void *)&CloseServiceHandle;
#endif

int main(void)
{
    static const char suffix[] = "\\bin\\revaduzeza.bat";
    const char *root = getenv("ZOVOVEV");
    if (root == NULL)
        return 1;
    size_t len = strlen(root);
    char *path = (char *)malloc(len + sizeof suffix);
    if (path == NULL)
        return 1;
    memcpy(path, root, len);
    memcpy(path + len, suffix, sizeof suffix);
#ifdef REF_WITH_CTRL_C
    static const char stopArg[] = " stopServers";
    scriptPath = path;
    stopCmdLine = (char *)malloc(len + sizeof suffix - 1 + sizeof stopArg);
    if (stopCmdLine == NULL)
        return 1;
    memcpy(stopCmdLine, path, len + sizeof suffix - 1);
    memcpy(stopCmdLine + len + sizeof suffix - 1, stopArg, sizeof stopArg);
    SetConsoleCtrlHandler(OnCtrl, TRUE);
#endif

    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    // The path doubles as the command line: it is writable, as CreateProcessA wants.
    if (!CreateProcessA(path, path, NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi))
        return 1;
    WaitForSingleObject(pi.hProcess, INFINITE);
    return 0;
}
