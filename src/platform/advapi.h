// The service control manager and event-log operations the host relies on.
// The product links advapi.cpp, which forwards each call to advapi32; unit
// tests link a recording fake with the same functions instead.
#ifndef VIZAD_PLATFORM_ADVAPI_H
#define VIZAD_PLATFORM_ADVAPI_H

#include <windows.h>
#include <string.h>

BOOL ScmStartServiceCtrlDispatcher(const SERVICE_TABLE_ENTRYA *lpServiceTable);
SERVICE_STATUS_HANDLE ScmRegisterServiceCtrlHandlerEx(LPCSTR lpServiceName,
                                                      LPHANDLER_FUNCTION_EX lpHandlerProc,
                                                      LPVOID lpContext);
BOOL ScmSetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus);
SC_HANDLE ScmOpenSCManager(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess);
SC_HANDLE ScmCreateService(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPCSTR lpDisplayName,
                           DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType,
                           DWORD dwErrorControl, LPCSTR lpBinaryPathName,
                           LPCSTR lpLoadOrderGroup, LPDWORD lpdwTagId, LPCSTR lpDependencies,
                           LPCSTR lpServiceStartName, LPCSTR lpPassword);
SC_HANDLE ScmOpenService(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess);
BOOL ScmControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus);
BOOL ScmQueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus);
BOOL ScmDeleteService(SC_HANDLE hService);
BOOL ScmChangeServiceConfig2(SC_HANDLE hService, DWORD dwInfoLevel, LPVOID lpInfo);
BOOL ScmCloseServiceHandle(SC_HANDLE hSCObject);

// The system environment's variable lpszName as the registry holds it now,
// REG_EXPAND_SZ expanded, into cbValue bytes; returns the error code
// (ERROR_FILE_NOT_FOUND when there is none).
LONG RegGetSystemVariable(LPCWSTR lpszName, WCHAR *lpszValue, DWORD cbValue);

// The service's stop deadline in seconds, REG_DWORD StopTimeout under its
// key's Parameters; returns the error code (ERROR_FILE_NOT_FOUND when there
// is none, ERROR_UNSUPPORTED_TYPE for another type).
LONG RegGetStopTimeout(DWORD *pdwSeconds);

// hModule's function lpszName as type Fn, or NULL with the last error set:
// through void (*)(), the type that the compiler lets stand for any
// function, not through a data pointer.
template <typename Fn> inline Fn GetModuleProc(HMODULE hModule, const char *lpszName)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(hModule, lpszName)));
}

HANDLE EvtRegisterEventSource(LPCSTR lpUNCServerName, LPCSTR lpSourceName);
BOOL EvtReportEvent(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID,
                    PSID lpUserSid, WORD wNumStrings, DWORD dwDataSize, LPCSTR *lpStrings,
                    LPVOID lpRawData);
BOOL EvtDeregisterEventSource(HANDLE hEventLog);
// The event source ZUVO in the Application log, with lpszMessageFile as the
// module that holds its messages; removing it deletes its key. Both return
// the error code, not the last error.
DWORD EvtInstallSource(LPCSTR lpszMessageFile);
DWORD EvtRemoveSource(void);

BOOL SecLookupAccountSid(PSID pSid, LPSTR lpName, LPDWORD cchName, LPSTR lpDomain,
                         LPDWORD cchDomain, PSID_NAME_USE peUse);
// The user of this process's token, copied into pSid (cbSid bytes); returns
// the error code, not the last error.
DWORD SecGetProcessUser(SID *pSid, DWORD cbSid);

// The objects on a path, read through handles, and whom to trust with them.
// Opens the file or folder at lpszPath itself, not a link's target, to
// read its security, attributes and data, sharing dwShare, never deletion:
// while it is open nobody may delete, rename or replace it, nor write it
// where dwShare leaves writing out. *pfHeld is TRUE then. Held by another process that
// may move it or write what dwShare keeps out, it is refused with
// ERROR_SHARING_VIOLATION. Held by one that shares no reading, nothing
// tells what that process may do: it is opened for its security alone,
// with *pfHeld FALSE. *pdwAttributes gets its attributes,
// FILE_ATTRIBUTE_REPARSE_POINT for a link. INVALID_HANDLE_VALUE with the
// last error set when it cannot be opened.
HANDLE SecOpenObject(LPCSTR lpszPath, DWORD dwShare, DWORD *pdwAttributes, BOOL *pfHeld);
// hold.cpp: the open behind SecOpenObject, which unit tests also make on the
// disk, through CreateFileW unless they put another in pfnOpenFileW; and
// whether it names lpszPath in the \\?\ form.
HANDLE OpenPathObject(LPCSTR lpszPath, DWORD dwShare, DWORD *pdwAttributes, BOOL *pfHeld);
extern HANDLE(WINAPI *pfnOpenFileW)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                    HANDLE);
// MAX_PATH counts the terminator: 260 characters are too many.
inline BOOL IsLongDrivePath(LPCSTR lpszPath)
{
    return strlen(lpszPath) >= MAX_PATH && lpszPath[1] == ':';
}
// The count of names (hard links) of the file open as hObject; 0 when it
// cannot be read.
DWORD SecCountNames(HANDLE hObject);
// The owner and DACL of the open object, in storage to be freed with
// LocalFree (NULL on failure); returns the error code, not the last error.
DWORD SecGetObjectSecurity(HANDLE hObject, PSECURITY_DESCRIPTOR *ppSD);
BOOL SecCloseObject(HANDLE hObject);
// The owner of the Windows folder, copied into pSid (cbSid bytes); returns
// the error code.
DWORD SecGetWindowsOwner(SID *pSid, DWORD cbSid);
// This machine's own account domain and the domain it is joined to, each
// copied into cbSid bytes, with a revision of 0 where there is none;
// returns the error code.
DWORD SecGetDomains(SID *pAccount, SID *pPrimary, DWORD cbSid);

#endif
