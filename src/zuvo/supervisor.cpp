// The start and stop routines. ServiceStart runs on the service thread (or
// the main thread in console mode) and spends its life waiting for the run
// instance; as a service it also carries out the stop that the control
// handler hands it. ServiceStop runs on the console handler's thread at any
// moment.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "access/access.h"
#include "platform/advapi.h"
#include "service/catalogue.h"
#include "service/host.h"
#include "zuvo/supervisor.h"

#define START_STEP_REPORTS 3     // start-pending reports after the stop event exists
#define STOP_RETRY_MS 5000       // between the tries of a stop that could not start its instance
#define MAX_STOP_TIMEOUT 4000000 // s: longer deadlines are cut to this, within GetTickCount's wrap

char *qelctl = NULL;
HANDLE hServerStopEvent = NULL;
BOOL stoprequested = FALSE;
BOOL stopstarted = FALSE;
DWORD dwStopRetry = STOP_RETRY_MS;
DWORD dwEndCode = NO_ERROR;
static DWORD termstat = 0;  // the run instance's exit code
static BOOL fRootExact = FALSE;  // qelctl names the root that was set
void (*pfnInstanceStarting)(const char *lpszArg) = NULL;
void (*pfnInstanceResuming)(const char *lpszArg, const PROCESS_INFORMATION *ppi) = NULL;
// The run instance's job, which everything it starts joins; NULL when it
// is in none, then dwNoJob says why.
static HANDLE hJob = NULL;
static DWORD dwNoJob = NO_ERROR;
static DWORD dwStopTick = 0;  // the first stop request's, under srwRequest

// Guards forming qelctl, starting either instance, and the decision to
// start the run instance, which must not race a stop request.
static SRWLOCK srwSupervisor = SRWLOCK_INIT;
// Guards the stop request's record and the stop event's signalling and
// closing. Nothing holds it for long: the control handler takes it alone,
// and returns at once whatever the service thread is doing.
static SRWLOCK srwRequest = SRWLOCK_INIT;

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

// NO_ERROR when the script can be opened for reading, or why not.
static DWORD CheckScriptReadable(const char *lpszPath)
{
    HANDLE hFile = CreateFileA(lpszPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);

    if (hFile == INVALID_HANDLE_VALUE)
        return GetLastError();
    CloseHandle(hFile);
    return NO_ERROR;
}

// The script, its folder, the root and every folder above it up to the
// volume's root, which the service runs as LocalSystem: when anybody but
// the system, the administrators and the service's own account can change
// or replace one of them, they could run their commands with the service's
// rights, so neither instance starts. NO_ERROR, or the code with lpszWhy
// (MSG_SIZE) naming which one and why. On success *pphHeld holds them all
// open until ReleasePath, so that none is renamed away or replaced before
// the instance has started. A console run is the person's own and is not
// checked.
static DWORD CheckInstallation(char *lpszWhy, HANDLE **pphHeld)
{
    DWORD dwCode;
    size_t cchWhy;

    *pphHeld = NULL;
    if (bDebug)
        return NO_ERROR;
    lpszWhy[0] = '\0';
    // The script's two folders: bin and the root.
    dwCode = CheckWhoCanChangePath(qelctl, 2, ACCESS_AS_SERVICE, TRUE, lpszWhy, MSG_SIZE - 1,
                                   pphHeld);
    cchWhy = strlen(lpszWhy);  // room was kept for the line end
    lpszWhy[cchWhy] = '\n';
    lpszWhy[cchWhy + 1] = '\0';
    return dwCode;
}

// Three of the job's calls are looked up in kernel32 when first needed:
// imported, they would take the import table into one more 512-byte page
// of the executable. NULL with the last error set when one is missing.
typedef BOOL(WINAPI *PFN_ASSIGNJOB)(HANDLE, HANDLE);
typedef BOOL(WINAPI *PFN_QUERYJOB)(HANDLE, JOBOBJECTINFOCLASS, LPVOID, DWORD, LPDWORD);
typedef BOOL(WINAPI *PFN_TERMINATEJOB)(HANDLE, UINT);

template <typename Fn> static Fn GetJobProc(const char *lpszName)
{
    return GetModuleProc<Fn>(GetModuleHandleA("kernel32.dll"), lpszName);
}

// The run instance's job of its own. No limit is set: no kill-on-close, as
// the host's own end must leave the servers running, and no breakaway.
// Where a job cannot be made or joined (an older Windows, whose host is
// already in a job, nests none), the run instance goes on without one.
static void PutInJob(HANDLE hProcess)
{
    PFN_ASSIGNJOB pfnAssign = GetJobProc<PFN_ASSIGNJOB>("AssignProcessToJobObject");

    hJob = pfnAssign != NULL ? CreateJobObjectA(NULL, NULL) : NULL;
    if (hJob != NULL && pfnAssign(hJob, hProcess))
        return;
    dwNoJob = GetLastError();
    if (hJob != NULL)
        CloseHandle(hJob);
    hJob = NULL;
}

// Starts the script with lpszArg (NULL for none) without waiting for it.
// Returns the new process's handle, or NULL with the thread's last error
// saying why it could not be started.
static HANDLE StartScriptInstance(const char *lpszArg)
{
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    char szCmd[MAX_PATH];
    char *lpszCmdLine;
    BOOL fStarted;
    DWORD dwStartErr;

    if (pfnInstanceStarting != NULL)
        pfnInstanceStarting(lpszArg);
    // cmd.exe would start for a script that is gone, and end at once.
    if (CheckScriptReadable(qelctl) != NO_ERROR)
        return NULL;  // the last error says why
    lpszCmdLine = NewScriptCommandLine(szCmd, qelctl, lpszArg);
    if (lpszCmdLine == NULL)
        return NULL;

    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    // Suspended until the run instance is in its job: nothing it starts may
    // escape the job, and nothing runs before it is in.
    fStarted = CreateProcessA(szCmd, lpszCmdLine, NULL, NULL, TRUE, CREATE_SUSPENDED, NULL, NULL,
                              &si, &pi);
    dwStartErr = GetLastError();
    free(lpszCmdLine);
    if (!fStarted) {
        SetLastError(dwStartErr);
        return NULL;
    }
    if (lpszArg == NULL)
        PutInJob(pi.hProcess);
    if (pfnInstanceResuming != NULL)
        pfnInstanceResuming(lpszArg, &pi);
    if (ResumeThread(pi.hThread) == (DWORD)-1) {
        dwStartErr = GetLastError();
        TerminateProcess(pi.hProcess, dwStartErr);  // never ran
        CloseHandle(pi.hProcess);
        pi.hProcess = NULL;
        SetLastError(dwStartErr);
    }
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

// Prints the text in console mode, logs it otherwise as an error, with
// dwCode as the entry's code (and so the service's exit code).
static void ReportFailure(DWORD dwCode, const char *lpszMsg)
{
    if (bDebug) {
        printf("%s", lpszMsg);
        return;
    }
    SetLastError(dwCode);
    AddToMessageLog(lpszMsg, TRUE);
}

// Catalogue text resID filled with lpsz, dw1 and dw2 (as many as it takes),
// printed or logged with dwCode.
static void ReportText(DWORD dwCode, int resID, const char *lpsz, DWORD dw1, DWORD dw2)
{
    char szFormat[MSG_SIZE];
    char szMsg[MSG_SIZE];

    GetResourceString(resID, szFormat, MSG_SIZE);
    FormatText(szMsg, MSG_SIZE, szFormat, lpsz, dw1, dw2);
    ReportFailure(dwCode, szMsg);
}

// Text 1 with the script's path; for a script that another process holds
// sharing no reading (dwCode 32), the walk's text for it instead: the
// script is there.
static void FormatScriptFailure(char *errmsg, DWORD dwCode)
{
    char szFormat[MSG_SIZE];

    // The walk's own text, then the line end that text 1 has of its own.
    FormatText(errmsg, MSG_SIZE,
               dwCode == ERROR_SHARING_VIOLATION ? TEXT_HELD_UNREAD "%s"
                                                 : GetResourceString(IDS_NOT_FOUND, szFormat, MSG_SIZE),
               qelctl, "\n");
}

// Text 1 or the held-open text, printed or logged with dwCode, which says
// why the script cannot be run.
static void ReportScriptFailure(DWORD dwCode)
{
    char errmsg[MSG_SIZE];

    FormatScriptFailure(errmsg, dwCode);
    ReportFailure(dwCode, errmsg);
}

// Starts the stop instance, when its script may be run; the caller holds
// the supervisor's lock. NO_ERROR once it has started, otherwise the code
// with lpszWhy (MSG_SIZE) saying why: without a root, or with one the code
// page misspells, there is no script to run, nor with one that anybody may
// have rewritten since the start.
static DWORD TryStopInstance(char *lpszWhy)
{
    HANDLE hStopInstance;
    HANDLE *phHeld;
    DWORD dwCode = ERROR_NO_UNICODE_TRANSLATION;

    if (!FormScriptPath()) {
        GetResourceString(IDS_NO_ROOT, lpszWhy, MSG_SIZE);
        return ERROR_ENVVAR_NOT_FOUND;
    }
    if (fRootExact) {
        dwCode = CheckInstallation(lpszWhy, &phHeld);
        if (dwCode != NO_ERROR)
            return dwCode;
        hStopInstance = StartScriptInstance(STOP_ARGUMENT);
        dwCode = GetLastError();
        ReleasePath(phHeld);  // held until CreateProcessA has returned
        if (hStopInstance != NULL) {
            CloseHandle(hStopInstance);  // never waited for
            stopstarted = TRUE;
            return NO_ERROR;
        }
    }
    FormatScriptFailure(lpszWhy, dwCode);
    return dwCode;
}

// The refusal of a stop that was logged last, so that a stop retried all
// night logs each cause once. A text with two codes (the script missing,
// or held) is two causes.
struct StopRefusal {
    DWORD dwCode;
    char szWhy[MSG_SIZE];  // "" until one is logged
};

// The service thread's stop: TRUE once a stop instance has started, by this
// try or an earlier request. A refusal is logged when its cause differs
// from the one logged last; a stop that goes through after one says so.
static BOOL RunStopStep(StopRefusal *pLogged)
{
    char szWhy[MSG_SIZE];
    DWORD dwCode = NO_ERROR;

    LockSupervisor();
    if (!stopstarted)
        dwCode = TryStopInstance(szWhy);
    UnlockSupervisor();
    if (dwCode == NO_ERROR) {
        if (pLogged->szWhy[0] != '\0') {
            FormatText(szWhy, MSG_SIZE, "%s " STOP_ARGUMENT " started.\n", qelctl);
            SetLastError(NO_ERROR);
            AddToMessageLog(szWhy);  // an information entry
        }
        return TRUE;
    }
    if (dwCode != pLogged->dwCode || memcmp(szWhy, pLogged->szWhy, strlen(szWhy) + 1) != 0) {
        ReportFailure(dwCode, szWhy);
        pLogged->dwCode = dwCode;
        memcpy(pLogged->szWhy, szWhy, MSG_SIZE);
    }
    return FALSE;
}

// The stop's deadline, once a stop has been asked for: the ms left, 0 once
// it has passed, INFINITE without one; *pdwSeconds its length. StopTimeout
// is read afresh each time, after the stop's own work, so that a stop is
// never slower for it. One that cannot be read is no deadline, logged once
// for each cause (*plLogged).
static DWORD GetDeadlineLeft(DWORD *pdwSeconds, LONG *plLogged)
{
    DWORD dwElapsed;
    BOOL fRequested;
    LONG lErr = ERROR_FILE_NOT_FOUND;

    AcquireSRWLockShared(&srwRequest);
    fRequested = stoprequested;
    dwElapsed = GetTickCount() - dwStopTick;
    ReleaseSRWLockShared(&srwRequest);
    if (fRequested)
        lErr = RegGetStopTimeout(pdwSeconds);
    if (lErr != ERROR_SUCCESS)
        *pdwSeconds = 0;
    if (lErr != ERROR_SUCCESS && lErr != ERROR_FILE_NOT_FOUND && lErr != *plLogged) {
        *plLogged = lErr;
        ReportText((DWORD)lErr, IDS_BAD_STOP_TIMEOUT, SERVICE_NAME, 0, 0);
    }
    if (*pdwSeconds > MAX_STOP_TIMEOUT)
        *pdwSeconds = MAX_STOP_TIMEOUT;
    if (*pdwSeconds == 0)
        return INFINITE;
    return dwElapsed < *pdwSeconds * 1000 ? *pdwSeconds * 1000 - dwElapsed : 0;
}

// The deadline has passed: every process in the job ends (the stop
// instance is in none), or the run instance alone where there is no job.
// Ending them runs nothing of the script.
static void EndServers(HANDLE hRunInstance, DWORD dwSeconds)
{
    PFN_QUERYJOB pfnQuery = GetJobProc<PFN_QUERYJOB>("QueryInformationJobObject");
    PFN_TERMINATEJOB pfnTerminate = GetJobProc<PFN_TERMINATEJOB>("TerminateJobObject");
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info;
    DWORD cEnded = 1;

    // A count that cannot be read changes nothing: they all end the same.
    if (hJob != NULL && pfnQuery != NULL &&
        pfnQuery(hJob, JobObjectBasicAccountingInformation, &info, sizeof info, NULL))
        cEnded = info.ActiveProcesses;
    if (hJob == NULL || pfnTerminate == NULL || !pfnTerminate(hJob, ERROR_TIMEOUT))
        TerminateProcess(hRunInstance, ERROR_TIMEOUT);
    ReportText(ERROR_TIMEOUT, IDS_STOP_DEADLINE, DISPLAY_NAME, dwSeconds, cEnded);
    dwEndCode = ERROR_TIMEOUT;
    WaitForSingleObject(hRunInstance, INFINITE);
}

// Waits for the run instance to end. As a service it also waits for the
// stop request and carries it out here, off the thread that answers every
// control; the manager sends nothing after a stop, so a stop that cannot
// start its instance is tried again every dwStopRetry ms until one starts
// or the run instance ends. A console run's presses start their own, and
// only wake it for the deadline. The deadline, when there is one, cuts
// every wait short.
static void WaitForRunInstance(HANDLE hRunInstance, StopRefusal *pLogged)
{
    HANDLE ahWait[2] = { hRunInstance, hServerStopEvent };
    DWORD dwRetry = INFINITE;  // ms until the next try of a refused stop
    LONG lLogged = ERROR_SUCCESS;
    DWORD dwSeconds, dwLeft, dwWait;
    BOOL fRequested;

    for (;;) {
        dwLeft = GetDeadlineLeft(&dwSeconds, &lLogged);
        dwWait = WaitForMultipleObjects(2, ahWait, FALSE, dwLeft < dwRetry ? dwLeft : dwRetry);
        if (dwWait == WAIT_TIMEOUT && dwLeft <= dwRetry) {
            EndServers(hRunInstance, dwSeconds);
            break;
        }
        if (dwWait != WAIT_OBJECT_0 + 1 && dwWait != WAIT_TIMEOUT)
            break;  // ended, or nothing left to wait for
        if (!bDebug)
            dwRetry = RunStopStep(pLogged) ? INFINITE : dwStopRetry;
    }
    // Asked for or not, as it stood when the end was seen: a stop that
    // comes later does not make the servers' failure a stop.
    AcquireSRWLockShared(&srwRequest);
    fRequested = stoprequested;
    ReleaseSRWLockShared(&srwRequest);
    GetExitCodeProcess(hRunInstance, &termstat);
    CloseHandle(hRunInstance);
    if (dwWait == WAIT_OBJECT_0 && !fRequested) {
        // The servers failed: the entry's code is the script's, and Windows
        // sees the service end with an error.
        ReportText(termstat, IDS_ENDED_BY_ITSELF, qelctl, termstat, 0);
        dwEndCode = ERROR_PROCESS_ABORTED;
    }
}

// The control handler's part of a stop: records the request, and when the
// first came, from which a deadline counts, and wakes the service thread,
// which does the rest.
void RequestServiceStop(void)
{
    AcquireSRWLockExclusive(&srwRequest);
    if (!stoprequested)
        dwStopTick = GetTickCount();
    stoprequested = TRUE;
    if (hServerStopEvent != NULL)
        SetEvent(hServerStopEvent);
    ReleaseSRWLockExclusive(&srwRequest);
}

static void SetStopEvent(HANDLE hEvent)
{
    AcquireSRWLockExclusive(&srwRequest);
    if (hServerStopEvent != NULL)
        CloseHandle(hServerStopEvent);
    hServerStopEvent = hEvent;
    ReleaseSRWLockExclusive(&srwRequest);
}

void ServiceStart(DWORD dwArgc, LPSTR *lpszArgv)
{
    char errmsg[MSG_SIZE];
    StopRefusal logged;
    HANDLE hEvent;
    HANDLE hRunInstance = NULL;
    HANDLE *phHeld = NULL;
    BOOL fHaveRoot;
    BOOL fStarting;
    DWORD dwCode;
    int i;

    (void)dwArgc;
    (void)lpszArgv;

    if (!ReportStatusToSCMgr(SERVICE_START_PENDING, NO_ERROR, START_WAIT_HINT))
        goto cleanup;

    // Each request wakes the waiting thread once: it reads StopTimeout
    // again, which a later press may find changed.
    hEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
    if (hEvent == NULL)
        goto cleanup;
    SetStopEvent(hEvent);

    for (i = 0; i < START_STEP_REPORTS; i++)
        if (!ReportStatusToSCMgr(SERVICE_START_PENDING, NO_ERROR, START_WAIT_HINT))
            goto cleanup;
    if (!ReportStatusToSCMgr(SERVICE_RUNNING, NO_ERROR, 0))
        goto cleanup;

    // From here on a stop request may come at any moment.
    if (GetRoot() == NULL) {
        GetResourceString(IDS_NO_ROOT, errmsg, MSG_SIZE);
        ReportFailure(ERROR_ENVVAR_NOT_FOUND, errmsg);  // the entry's code, and the exit code
        goto cleanup;
    }

    LockSupervisor();
    fHaveRoot = FormScriptPath();
    UnlockSupervisor();
    if (!fHaveRoot)
        goto cleanup;  // no memory for the path

    dwCode = fRootExact ? CheckScriptReadable(qelctl) : ERROR_NO_UNICODE_TRANSLATION;
    if (dwCode != NO_ERROR) {
        ReportScriptFailure(dwCode);
        goto cleanup;
    }
    dwCode = CheckInstallation(errmsg, &phHeld);
    if (dwCode != NO_ERROR) {
        ReportFailure(dwCode, errmsg);
        goto cleanup;
    }

    // A stop request that came first (in console mode even before the stop
    // event existed) means the servers must stay down: starting them now
    // would leave them running with nobody to stop them, so the run
    // instance is started only when no stop came before.
    LockSupervisor();
    AcquireSRWLockShared(&srwRequest);
    fStarting = !stoprequested;
    ReleaseSRWLockShared(&srwRequest);
    if (fStarting)
        hRunInstance = StartScriptInstance(NULL);
    dwCode = GetLastError();
    UnlockSupervisor();
    ReleasePath(phHeld);  // held until CreateProcessA has returned

    // Readable, yet not startable: the service must not stop as if the
    // servers had run and ended.
    if (fStarting && hRunInstance == NULL)
        ReportScriptFailure(dwCode);
    else if (hRunInstance != NULL && hJob == NULL)
        ReportText(dwNoJob, IDS_NO_JOB, qelctl, 0, 0);
    logged.dwCode = NO_ERROR;
    logged.szWhy[0] = '\0';
    if (hRunInstance != NULL)
        WaitForRunInstance(hRunInstance, &logged);
    else if (!fStarting && !bDebug)
        RunStopStep(&logged);  // the stop came first: its instance runs once, as it would have

cleanup:
    if (hJob != NULL)
        CloseHandle(hJob);
    hJob = NULL;
    SetStopEvent(NULL);
}

// Each call is a request of its own: a console press, which is printed when
// no stop instance can be started.
void ServiceStop(void)
{
    char szWhy[MSG_SIZE];
    DWORD dwCode;

    LockSupervisor();
    RequestServiceStop();
    dwCode = TryStopInstance(szWhy);
    UnlockSupervisor();
    if (dwCode != NO_ERROR)
        ReportFailure(dwCode, szWhy);
}
