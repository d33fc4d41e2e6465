// The product's side of the platform seam: each call goes to advapi32,
// which is loaded the first time one is made. A console run never calls
// it, and a library that is never loaded costs it nothing.
#include "platform/advapi.h"

#include <aclapi.h>
#include <string.h>

static PVOID volatile pAdvapi;  // the loaded module, shared by every thread

// Advapi32's function lpszName as type Fn, or NULL with the last error
// set. Threads that race here load the same module; the loader counts each
// load.
template <typename Fn> static Fn GetAdvapiProc(const char *lpszName)
{
    HMODULE hAdvapi =
        static_cast<HMODULE>(InterlockedCompareExchangePointer(&pAdvapi, NULL, NULL));

    if (hAdvapi == NULL) {
        hAdvapi = LoadLibraryA("advapi32.dll");
        if (hAdvapi == NULL)
            return NULL;
        InterlockedExchangePointer(&pAdvapi, hAdvapi);
    }
    FARPROC proc = GetProcAddress(hAdvapi, lpszName);
    // Through void (*)(), the type that the compiler lets stand for any
    // function, not through a data pointer.
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

typedef BOOL(WINAPI *PFN_DISPATCH)(const SERVICE_TABLE_ENTRYA *);
typedef SERVICE_STATUS_HANDLE(WINAPI *PFN_REGISTER)(LPCSTR, LPHANDLER_FUNCTION_EX, LPVOID);
typedef BOOL(WINAPI *PFN_SETSTATUS)(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS);
typedef SC_HANDLE(WINAPI *PFN_OPENMANAGER)(LPCSTR, LPCSTR, DWORD);
typedef SC_HANDLE(WINAPI *PFN_CREATE)(SC_HANDLE, LPCSTR, LPCSTR, DWORD, DWORD, DWORD, DWORD,
                                      LPCSTR, LPCSTR, LPDWORD, LPCSTR, LPCSTR, LPCSTR);
typedef SC_HANDLE(WINAPI *PFN_OPENSERVICE)(SC_HANDLE, LPCSTR, DWORD);
typedef BOOL(WINAPI *PFN_CONTROL)(SC_HANDLE, DWORD, LPSERVICE_STATUS);
typedef BOOL(WINAPI *PFN_QUERY)(SC_HANDLE, LPSERVICE_STATUS);
typedef BOOL(WINAPI *PFN_HANDLE)(SC_HANDLE);
typedef BOOL(WINAPI *PFN_CONFIG2)(SC_HANDLE, DWORD, LPVOID);
typedef HANDLE(WINAPI *PFN_REGSOURCE)(LPCSTR, LPCSTR);
typedef BOOL(WINAPI *PFN_REPORT)(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCSTR *,
                                 LPVOID);
typedef BOOL(WINAPI *PFN_DEREGSOURCE)(HANDLE);
typedef DWORD(WINAPI *PFN_GETSECURITY)(LPCSTR, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID *,
                                       PSID *, PACL *, PACL *, PSECURITY_DESCRIPTOR *);
typedef BOOL(WINAPI *PFN_LOOKUPSID)(LPCSTR, PSID, LPSTR, LPDWORD, LPSTR, LPDWORD,
                                    PSID_NAME_USE);
typedef BOOL(WINAPI *PFN_OPENTOKEN)(HANDLE, DWORD, PHANDLE);
typedef BOOL(WINAPI *PFN_TOKENINFO)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);

BOOL ScmStartServiceCtrlDispatcher(const SERVICE_TABLE_ENTRYA *lpServiceTable)
{
    PFN_DISPATCH pfn = GetAdvapiProc<PFN_DISPATCH>("StartServiceCtrlDispatcherA");
    return pfn ? pfn(lpServiceTable) : FALSE;
}

SERVICE_STATUS_HANDLE ScmRegisterServiceCtrlHandlerEx(LPCSTR lpServiceName,
                                                      LPHANDLER_FUNCTION_EX lpHandlerProc,
                                                      LPVOID lpContext)
{
    PFN_REGISTER pfn = GetAdvapiProc<PFN_REGISTER>("RegisterServiceCtrlHandlerExA");
    return pfn ? pfn(lpServiceName, lpHandlerProc, lpContext) : 0;
}

BOOL ScmSetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus)
{
    PFN_SETSTATUS pfn = GetAdvapiProc<PFN_SETSTATUS>("SetServiceStatus");
    return pfn ? pfn(hServiceStatus, lpServiceStatus) : FALSE;
}

SC_HANDLE ScmOpenSCManager(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess)
{
    PFN_OPENMANAGER pfn = GetAdvapiProc<PFN_OPENMANAGER>("OpenSCManagerA");
    return pfn ? pfn(lpMachineName, lpDatabaseName, dwDesiredAccess) : NULL;
}

SC_HANDLE ScmCreateService(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPCSTR lpDisplayName,
                           DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType,
                           DWORD dwErrorControl, LPCSTR lpBinaryPathName,
                           LPCSTR lpLoadOrderGroup, LPDWORD lpdwTagId, LPCSTR lpDependencies,
                           LPCSTR lpServiceStartName, LPCSTR lpPassword)
{
    PFN_CREATE pfn = GetAdvapiProc<PFN_CREATE>("CreateServiceA");
    if (pfn == NULL)
        return NULL;
    return pfn(hSCManager, lpServiceName, lpDisplayName, dwDesiredAccess, dwServiceType,
               dwStartType, dwErrorControl, lpBinaryPathName, lpLoadOrderGroup, lpdwTagId,
               lpDependencies, lpServiceStartName, lpPassword);
}

SC_HANDLE ScmOpenService(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess)
{
    PFN_OPENSERVICE pfn = GetAdvapiProc<PFN_OPENSERVICE>("OpenServiceA");
    return pfn ? pfn(hSCManager, lpServiceName, dwDesiredAccess) : NULL;
}

BOOL ScmControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus)
{
    PFN_CONTROL pfn = GetAdvapiProc<PFN_CONTROL>("ControlService");
    return pfn ? pfn(hService, dwControl, lpServiceStatus) : FALSE;
}

BOOL ScmQueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus)
{
    PFN_QUERY pfn = GetAdvapiProc<PFN_QUERY>("QueryServiceStatus");
    return pfn ? pfn(hService, lpServiceStatus) : FALSE;
}

BOOL ScmDeleteService(SC_HANDLE hService)
{
    PFN_HANDLE pfn = GetAdvapiProc<PFN_HANDLE>("DeleteService");
    return pfn ? pfn(hService) : FALSE;
}

BOOL ScmChangeServiceConfig2(SC_HANDLE hService, DWORD dwInfoLevel, LPVOID lpInfo)
{
    PFN_CONFIG2 pfn = GetAdvapiProc<PFN_CONFIG2>("ChangeServiceConfig2A");
    return pfn ? pfn(hService, dwInfoLevel, lpInfo) : FALSE;
}

BOOL ScmCloseServiceHandle(SC_HANDLE hSCObject)
{
    PFN_HANDLE pfn = GetAdvapiProc<PFN_HANDLE>("CloseServiceHandle");
    return pfn ? pfn(hSCObject) : FALSE;
}

HANDLE EvtRegisterEventSource(LPCSTR lpUNCServerName, LPCSTR lpSourceName)
{
    PFN_REGSOURCE pfn = GetAdvapiProc<PFN_REGSOURCE>("RegisterEventSourceA");
    return pfn ? pfn(lpUNCServerName, lpSourceName) : NULL;
}

BOOL EvtReportEvent(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID,
                    PSID lpUserSid, WORD wNumStrings, DWORD dwDataSize, LPCSTR *lpStrings,
                    LPVOID lpRawData)
{
    PFN_REPORT pfn = GetAdvapiProc<PFN_REPORT>("ReportEventA");
    if (pfn == NULL)
        return FALSE;
    return pfn(hEventLog, wType, wCategory, dwEventID, lpUserSid, wNumStrings, dwDataSize,
               lpStrings, lpRawData);
}

BOOL EvtDeregisterEventSource(HANDLE hEventLog)
{
    PFN_DEREGSOURCE pfn = GetAdvapiProc<PFN_DEREGSOURCE>("DeregisterEventSource");
    return pfn ? pfn(hEventLog) : FALSE;
}

DWORD SecGetFileSecurity(LPCSTR lpszPath, PSECURITY_DESCRIPTOR *ppSD)
{
    PFN_GETSECURITY pfn = GetAdvapiProc<PFN_GETSECURITY>("GetNamedSecurityInfoA");
    *ppSD = NULL;
    if (pfn == NULL)
        return GetLastError();
    return pfn(lpszPath, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
               NULL, NULL, NULL, NULL, ppSD);
}

BOOL SecLookupAccountSid(PSID pSid, LPSTR lpName, LPDWORD cchName, LPSTR lpDomain,
                         LPDWORD cchDomain, PSID_NAME_USE peUse)
{
    PFN_LOOKUPSID pfn = GetAdvapiProc<PFN_LOOKUPSID>("LookupAccountSidA");
    return pfn ? pfn(NULL, pSid, lpName, cchName, lpDomain, cchDomain, peUse) : FALSE;
}

DWORD SecGetProcessUser(SID *pSid, DWORD cbSid)
{
    PFN_OPENTOKEN pfnOpen = GetAdvapiProc<PFN_OPENTOKEN>("OpenProcessToken");
    PFN_TOKENINFO pfnInfo = GetAdvapiProc<PFN_TOKENINFO>("GetTokenInformation");
    union {
        TOKEN_USER user;
        BYTE ab[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } info;
    HANDLE hToken;
    DWORD cb, dwResult = ERROR_SUCCESS;

    if (pfnOpen == NULL || pfnInfo == NULL || !pfnOpen(GetCurrentProcess(), TOKEN_QUERY, &hToken))
        return GetLastError();
    if (!pfnInfo(hToken, TokenUser, &info, sizeof info, &cb)) {
        dwResult = GetLastError();
    } else {
        const SID *pUser = static_cast<const SID *>(info.user.User.Sid);
        cb = (DWORD)(sizeof(SID) - sizeof(DWORD)) + pUser->SubAuthorityCount * sizeof(DWORD);
        if (cb > cbSid)
            dwResult = ERROR_INSUFFICIENT_BUFFER;
        else
            memcpy(pSid, pUser, cb);
    }
    CloseHandle(hToken);
    return dwResult;
}
