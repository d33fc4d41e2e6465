// The start and stop routines. ServiceStart runs on the service thread (or
// the main thread in console mode) and spends its life waiting for the run
// instance; ServiceStop runs on a control handler's thread at any moment.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "access/access.h"
#include "service/catalogue.h"
#include "service/host.h"
#include "zuvo/supervisor.h"

#define START_STEP_REPORTS 3     // start-pending reports after the stop event exists

char *qelctl = NULL;
HANDLE hServerStopEvent = NULL;
BOOL stoprequested = FALSE;
BOOL stopstarted = FALSE;
static DWORD termstat = 0;  // the run instance's exit code; kept, not used
static BOOL fRootExact = FALSE;  // qelctl names the root that was set
void (*pfnRunInstanceStarting)(void) = NULL;

// Guards forming qelctl, the stop event's signalling and closing, the stop
// request's record, and the decision to start the run instance, which must
// not race a stop request.
static SRWLOCK srwSupervisor = SRWLOCK_INIT;

// Out of line: one call each instead of the lock's address at every use.
static __attribute__((noinline)) void LockSupervisor(void)
{
    AcquireSRWLockExclusive(&srwSupervisor);
}

static __attribute__((noinline)) void UnlockSupervisor(void)
{
    ReleaseSRWLockExclusive(&srwSupervisor);
}

// ZOVOVEV's Unicode value (root.cpp), whatever the case of its name; NULL
// when unset or empty, as an empty root would put the script in the current
// drive's root (C:\bin for a service), a folder anyone may make. No ANSI
// copy is asked: there a variable named with a full-width Z (U+FF3A) reads
// as ZOVOVEV too, and a full-width & in the value as &.
static const WCHAR *GetRoot(void)
{
    const WCHAR *lpszRoot = ReadRoot();

    return *lpszRoot != L'\0' ? lpszRoot : NULL;
}

// The root in the ANSI code page, as Windows would give it to an ANSI
// program, in storage of its own (free it); NULL when there is no memory.
static char *NewAnsiRoot(const WCHAR *lpszWide)
{
    char *lpszRoot;
    int cb = WideCharToMultiByte(CP_ACP, 0, lpszWide, -1, NULL, 0, NULL, NULL);

    if (cb <= 0)
        return NULL;
    lpszRoot = static_cast<char *>(malloc((size_t)cb));
    if (lpszRoot != NULL &&
        WideCharToMultiByte(CP_ACP, 0, lpszWide, -1, lpszRoot, cb, NULL, NULL) != cb) {
        free(lpszRoot);
        lpszRoot = NULL;
    }
    return lpszRoot;
}

// Forms qelctl once, and notes whether the root as the host reads it is the
// folder that was set: only when the code page spells the Unicode value
// exactly, as C:\t\fw\uFF06x reads as C:\t\fw&x, another folder, whose
// script must never run in its place. The caller holds the lock. FALSE when
// there is no root.
static BOOL FormScriptPath(void)
{
    const WCHAR *lpszWide;
    char *lpszRoot;

    if (qelctl != NULL)
        return TRUE;
    lpszWide = GetRoot();
    lpszRoot = lpszWide != NULL ? NewAnsiRoot(lpszWide) : NULL;
    if (lpszRoot == NULL)
        return FALSE;
    fRootExact = IsExactAnsiSpelling(lpszRoot, lpszWide);
    qelctl = NewScriptPath(lpszRoot);
    free(lpszRoot);
    return qelctl != NULL;
}

static BOOL IsScriptReadable(const char *lpszPath)
{
    HANDLE hFile = CreateFileA(lpszPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);

    if (hFile == INVALID_HANDLE_VALUE)
        return FALSE;
    CloseHandle(hFile);
    return TRUE;
}

// The script, its folder, the root and every folder above it up to the
// volume's root, which the service runs as LocalSystem: when anybody but
// the system, the administrators and the service's own account can change
// or replace one of them, they could run their commands with the service's
// rights, so neither instance starts. Logs which one and why; the entry's
// code becomes the exit code. On success *pphHeld holds them all open until
// ReleasePath, so that none is renamed away or replaced before the instance
// has started. A console run is the person's own and is not checked.
// fNameAccounts looks the account's name up, which may wait on a domain
// controller: the stop routine, on the thread that answers every control,
// names it by its SID instead.
static BOOL IsInstallationProtected(BOOL fNameAccounts, HANDLE **pphHeld)
{
    char szWhy[MSG_SIZE];
    size_t cchWhy;
    DWORD dwCode;

    *pphHeld = NULL;
    if (bDebug)
        return TRUE;
    szWhy[0] = '\0';
    // The script's two folders: bin and the root.
    dwCode = CheckWhoCanChangePath(qelctl, 2, ACCESS_AS_SERVICE, fNameAccounts, szWhy,
                                   MSG_SIZE - 1, pphHeld);
    if (dwCode == NO_ERROR)
        return TRUE;
    cchWhy = strlen(szWhy);  // room was kept for the line end
    szWhy[cchWhy] = '\n';
    szWhy[cchWhy + 1] = '\0';
    SetLastError(dwCode);
    AddToMessageLog(szWhy);
    return FALSE;
}

// Starts the script with lpszArg (NULL for none) without waiting for it.
// Returns the new process's handle, or NULL with the thread's last error
// saying why it could not be started.
static HANDLE StartScriptInstance(const char *lpszArg)
{
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    char *lpszCmdLine;
    BOOL fStarted;
    DWORD dwStartErr;

    if (lpszArg == NULL && pfnRunInstanceStarting != NULL)
        pfnRunInstanceStarting();
    if (GetFileAttributesA(qelctl) == INVALID_FILE_ATTRIBUTES)
        return NULL;
    lpszCmdLine = NewScriptCommandLine(qelctl, lpszArg);
    if (lpszCmdLine == NULL)
        return NULL;

    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    fStarted = CreateProcessA(qelctl, lpszCmdLine, NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi);
    dwStartErr = GetLastError();
    free(lpszCmdLine);
    if (!fStarted) {
        SetLastError(dwStartErr);
        return NULL;
    }
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

// Prints the text in console mode, logs it otherwise.
static void ReportFailure(const char *lpszMsg)
{
    if (bDebug)
        printf("%s", lpszMsg);
    else
        AddToMessageLog(lpszMsg);
}

// Text 1 with the script's path, printed or logged. dwCode says why the
// script cannot be run; it is the thread's last error when the text is
// logged, so that the entry (and the service's exit code) carries it.
static void ReportScriptFailure(DWORD dwCode)
{
    char szFormat[MSG_SIZE];
    char errmsg[MSG_SIZE];

    GetResourceString(IDS_NOT_FOUND, szFormat, MSG_SIZE);
    FormatText(errmsg, MSG_SIZE, szFormat, qelctl);
    SetLastError(dwCode);
    ReportFailure(errmsg);
}

void ServiceStart(DWORD dwArgc, LPSTR *lpszArgv)
{
    char errmsg[MSG_SIZE];
    HANDLE hEvent;
    HANDLE hRunInstance = NULL;
    HANDLE *phHeld = NULL;
    BOOL fHaveRoot;
    BOOL fStarting;
    DWORD dwStartErr;
    int i;

    (void)dwArgc;
    (void)lpszArgv;

    if (!ReportStatusToSCMgr(SERVICE_START_PENDING, NO_ERROR, START_WAIT_HINT))
        goto cleanup;

    hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (hEvent == NULL)
        goto cleanup;
    LockSupervisor();
    hServerStopEvent = hEvent;
    UnlockSupervisor();

    for (i = 0; i < START_STEP_REPORTS; i++)
        if (!ReportStatusToSCMgr(SERVICE_START_PENDING, NO_ERROR, START_WAIT_HINT))
            goto cleanup;
    if (!ReportStatusToSCMgr(SERVICE_RUNNING, NO_ERROR, 0))
        goto cleanup;

    // From here on a stop request may come at any moment.
    if (GetRoot() == NULL) {
        GetResourceString(IDS_NO_ROOT, errmsg, MSG_SIZE);
        SetLastError(ERROR_ENVVAR_NOT_FOUND);  // the entry's code, and the exit code
        ReportFailure(errmsg);
        goto cleanup;
    }

    LockSupervisor();
    fHaveRoot = FormScriptPath();
    UnlockSupervisor();
    if (!fHaveRoot)
        goto cleanup;  // no memory for the path

    if (!fRootExact) {
        ReportScriptFailure(ERROR_NO_UNICODE_TRANSLATION);
        goto cleanup;
    }
    if (!IsScriptReadable(qelctl)) {
        ReportScriptFailure(GetLastError());
        goto cleanup;
    }
    if (!IsInstallationProtected(TRUE, &phHeld))
        goto cleanup;

    // A stop request that came first (in console mode even before the stop
    // event existed) has already run the stop instance; starting the servers
    // now would leave them running with nobody to stop them, so the run
    // instance is started only when no stop came before.
    LockSupervisor();
    fStarting = !stoprequested;
    if (fStarting)
        hRunInstance = StartScriptInstance(NULL);
    dwStartErr = GetLastError();
    UnlockSupervisor();
    ReleasePath(phHeld);  // held until CreateProcessA has returned

    // Readable, yet not startable: the service must not stop as if the
    // servers had run and ended.
    if (fStarting && hRunInstance == NULL)
        ReportScriptFailure(dwStartErr);
    if (hRunInstance != NULL) {
        WaitForSingleObject(hRunInstance, INFINITE);
        GetExitCodeProcess(hRunInstance, &termstat);
        CloseHandle(hRunInstance);
    }

cleanup:
    LockSupervisor();
    if (hServerStopEvent != NULL) {
        CloseHandle(hServerStopEvent);
        hServerStopEvent = NULL;
    }
    UnlockSupervisor();
}

// TRUE once a stop instance has been started, by this request or an earlier
// one: the servers are then on their way down. FALSE when none could be,
// and the servers go on running.
BOOL ServiceStop(void)
{
    HANDLE hStopInstance;
    HANDLE *phHeld = NULL;

    LockSupervisor();
    stoprequested = TRUE;
    // Without a root, or with one the code page misspells, there is no
    // script to run, nor with one that anybody may have rewritten since the
    // start; the event is still signalled.
    if (FormScriptPath() && fRootExact && IsInstallationProtected(FALSE, &phHeld)) {
        hStopInstance = StartScriptInstance(STOP_ARGUMENT);
        if (hStopInstance != NULL) {
            CloseHandle(hStopInstance);  // never waited for
            stopstarted = TRUE;
        } else if (!bDebug) {
            // The service goes back to running: the entry says why.
            ReportScriptFailure(GetLastError());
        }
        ReleasePath(phHeld);  // held until CreateProcessA has returned
    }
    if (hServerStopEvent != NULL)
        SetEvent(hServerStopEvent);
    UnlockSupervisor();
    return stopstarted;
}
