// The product's side of the platform seam: each call goes to advapi32,
// which is loaded the first time one is made. A console run never calls
// it, and a library that is never loaded costs it nothing.
#include "platform/advapi.h"

#include <aclapi.h>
#include <ntsecapi.h>
#include <stdlib.h>
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
    return GetModuleProc<Fn>(hAdvapi, lpszName);
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
typedef LONG(WINAPI *PFN_REGGET)(HKEY, LPCWSTR, LPCWSTR, DWORD, LPDWORD, PVOID, LPDWORD);
typedef HANDLE(WINAPI *PFN_REGSOURCE)(LPCSTR, LPCSTR);
typedef BOOL(WINAPI *PFN_REPORT)(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCSTR *,
                                 LPVOID);
typedef BOOL(WINAPI *PFN_DEREGSOURCE)(HANDLE);
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

LONG RegGetSystemVariable(LPCWSTR lpszName, WCHAR *lpszValue, DWORD cbValue)
{
    PFN_REGGET pfn = GetAdvapiProc<PFN_REGGET>("RegGetValueW");
    // RRF_RT_REG_SZ takes REG_EXPAND_SZ too, expanded, and ends the string.
    return pfn ? pfn(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment",
                     lpszName, RRF_RT_REG_SZ, NULL, lpszValue, &cbValue)
               : (LONG)GetLastError();
}

LONG RegGetStopTimeout(DWORD *pdwSeconds)
{
    PFN_REGGET pfn = GetAdvapiProc<PFN_REGGET>("RegGetValueW");
    DWORD cb = sizeof *pdwSeconds;

    return pfn ? pfn(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\ZUVO\\Parameters",
                     L"StopTimeout", RRF_RT_REG_DWORD, NULL, pdwSeconds, &cb)
               : (LONG)GetLastError();
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

// The source's key and its two values: the message file, and the entry
// types it writes (errors and information entries).
typedef LONG(WINAPI *PFN_SETKEYVALUE)(HKEY, LPCSTR, LPCSTR, DWORD, LPCVOID, DWORD);
typedef LONG(WINAPI *PFN_DELETEKEY)(HKEY, LPCSTR);
static const char szSourceKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\ZUVO";

DWORD EvtInstallSource(LPCSTR lpszMessageFile)
{
    PFN_SETKEYVALUE pfn = GetAdvapiProc<PFN_SETKEYVALUE>("RegSetKeyValueA");
    static const DWORD dwTypes = EVENTLOG_ERROR_TYPE | EVENTLOG_INFORMATION_TYPE;
    LONG lResult;

    if (pfn == NULL)
        return GetLastError();
    lResult = pfn(HKEY_LOCAL_MACHINE, szSourceKey, "EventMessageFile", REG_SZ, lpszMessageFile,
                  (DWORD)strlen(lpszMessageFile) + 1);
    if (lResult == ERROR_SUCCESS)
        lResult = pfn(HKEY_LOCAL_MACHINE, szSourceKey, "TypesSupported", REG_DWORD, &dwTypes,
                      sizeof dwTypes);
    return (DWORD)lResult;
}

DWORD EvtRemoveSource(void)
{
    PFN_DELETEKEY pfn = GetAdvapiProc<PFN_DELETEKEY>("RegDeleteKeyA");
    return pfn != NULL ? (DWORD)pfn(HKEY_LOCAL_MACHINE, szSourceKey) : GetLastError();
}

BOOL SecLookupAccountSid(PSID pSid, LPSTR lpName, LPDWORD cchName, LPSTR lpDomain,
                         LPDWORD cchDomain, PSID_NAME_USE peUse)
{
    PFN_LOOKUPSID pfn = GetAdvapiProc<PFN_LOOKUPSID>("LookupAccountSidA");
    return pfn ? pfn(NULL, pSid, lpName, cchName, lpDomain, cchDomain, peUse) : FALSE;
}

// Copies the SID, whose size its sub-authority count gives, into cbSid bytes.
static DWORD CopySidInto(SID *pSid, DWORD cbSid, const SID *pFrom)
{
    DWORD cb = (DWORD)(sizeof(SID) - sizeof(DWORD)) + pFrom->SubAuthorityCount * sizeof(DWORD);

    if (cb > cbSid)
        return ERROR_INSUFFICIENT_BUFFER;
    memcpy(pSid, pFrom, cb);
    return ERROR_SUCCESS;
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
    if (!pfnInfo(hToken, TokenUser, &info, sizeof info, &cb))
        dwResult = GetLastError();
    else
        dwResult = CopySidInto(pSid, cbSid, static_cast<const SID *>(info.user.User.Sid));
    CloseHandle(hToken);
    return dwResult;
}

// The objects on a path, and whom to trust with them.
typedef DWORD(WINAPI *PFN_HANDLESECURITY)(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID *,
                                          PSID *, PACL *, PACL *, PSECURITY_DESCRIPTOR *);
typedef DWORD(WINAPI *PFN_NAMEDSECURITY)(LPCSTR, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID *,
                                         PSID *, PACL *, PACL *, PSECURITY_DESCRIPTOR *);
typedef NTSTATUS(WINAPI *PFN_LSAOPEN)(PLSA_UNICODE_STRING, PLSA_OBJECT_ATTRIBUTES, ACCESS_MASK,
                                      PLSA_HANDLE);
typedef NTSTATUS(WINAPI *PFN_LSAQUERY)(LSA_HANDLE, POLICY_INFORMATION_CLASS, PVOID *);
typedef NTSTATUS(WINAPI *PFN_LSAFREE)(PVOID);

HANDLE SecOpenObject(LPCSTR lpszPath, DWORD dwShare, DWORD *pdwAttributes, BOOL *pfHeld)
{
    return OpenPathObject(lpszPath, dwShare, pdwAttributes, pfHeld);
}

DWORD SecCountNames(HANDLE hObject)
{
    BY_HANDLE_FILE_INFORMATION info;

    return GetFileInformationByHandle(hObject, &info) ? info.nNumberOfLinks : 0;
}

DWORD SecGetObjectSecurity(HANDLE hObject, PSECURITY_DESCRIPTOR *ppSD)
{
    PFN_HANDLESECURITY pfn = GetAdvapiProc<PFN_HANDLESECURITY>("GetSecurityInfo");
    *ppSD = NULL;
    if (pfn == NULL)
        return GetLastError();
    return pfn(hObject, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
               NULL, NULL, NULL, NULL, ppSD);
}

BOOL SecCloseObject(HANDLE hObject)
{
    return CloseHandle(hObject);
}

DWORD SecGetWindowsOwner(SID *pSid, DWORD cbSid)
{
    PFN_NAMEDSECURITY pfn = GetAdvapiProc<PFN_NAMEDSECURITY>("GetNamedSecurityInfoA");
    char szWindows[MAX_PATH];
    PSECURITY_DESCRIPTOR pSD = NULL;
    PSID pOwner = NULL;
    UINT cch = GetSystemWindowsDirectoryA(szWindows, MAX_PATH);
    DWORD dwResult;

    if (cch == 0 || cch >= MAX_PATH)
        return cch == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER;
    if (pfn == NULL)
        return GetLastError();
    dwResult = pfn(szWindows, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &pOwner, NULL, NULL,
                   NULL, &pSD);
    if (dwResult == ERROR_SUCCESS)
        dwResult = pOwner != NULL ? CopySidInto(pSid, cbSid, static_cast<const SID *>(pOwner))
                                  : ERROR_INVALID_SECURITY_DESCR;
    LocalFree(pSD);
    return dwResult;
}

DWORD SecGetDomains(SID *pAccount, SID *pPrimary, DWORD cbSid)
{
    // The two answers are laid out alike: a name, then the SID.
    static const POLICY_INFORMATION_CLASS aClass[] = { PolicyAccountDomainInformation,
                                                       PolicyPrimaryDomainInformation };
    PFN_LSAOPEN pfnOpen = GetAdvapiProc<PFN_LSAOPEN>("LsaOpenPolicy");
    PFN_LSAQUERY pfnQuery = GetAdvapiProc<PFN_LSAQUERY>("LsaQueryInformationPolicy");
    PFN_LSAFREE pfnFree = GetAdvapiProc<PFN_LSAFREE>("LsaFreeMemory");
    PFN_LSAFREE pfnClose = GetAdvapiProc<PFN_LSAFREE>("LsaClose");
    SID *apSid[] = { pAccount, pPrimary };
    static LSA_OBJECT_ATTRIBUTES attributes;  // all zero, as the call wants them
    LSA_HANDLE hPolicy;
    DWORD dwResult = ERROR_INVALID_FUNCTION;
    int i;

    pAccount->Revision = 0;
    pPrimary->Revision = 0;
    if (pfnOpen == NULL || pfnQuery == NULL || pfnFree == NULL || pfnClose == NULL)
        return GetLastError();
    if (pfnOpen(NULL, &attributes, POLICY_VIEW_LOCAL_INFORMATION, &hPolicy) != 0)
        return dwResult;
    dwResult = ERROR_SUCCESS;
    for (i = 0; i < 2 && dwResult == ERROR_SUCCESS; i++) {
        PPOLICY_PRIMARY_DOMAIN_INFO pInfo = NULL;
        if (pfnQuery(hPolicy, aClass[i], reinterpret_cast<PVOID *>(&pInfo)) != 0)
            dwResult = ERROR_INVALID_FUNCTION;
        // A machine in a workgroup is joined to no domain: no SID.
        else if (pInfo->Sid != NULL)
            dwResult = CopySidInto(apSid[i], cbSid, static_cast<const SID *>(pInfo->Sid));
        if (pInfo != NULL)
            pfnFree(pInfo);
    }
    pfnClose(hPolicy);
    return dwResult;
}
