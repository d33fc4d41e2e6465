// The product's side of the platform seam: each call goes to advapi32,
// which is loaded the first time one is made. A console run never calls
// it, and a library that is never loaded costs it nothing.
#include "platform/advapi.h"

#include <aclapi.h>

static PVOID volatile pAdvapi;  // the loaded module, shared by every thread

// Advapi32's functions by index into one string of their names: a call then
// carries a small number, not an address that the loader must fix up in
// every copy of the executable it maps (the relocations count in its size).
enum AdvapiFunction {
    FN_START_SERVICE_CTRL_DISPATCHER_A,
    FN_REGISTER_SERVICE_CTRL_HANDLER_A,
    FN_SET_SERVICE_STATUS,
    FN_OPEN_SCMANAGER_A,
    FN_CREATE_SERVICE_A,
    FN_OPEN_SERVICE_A,
    FN_CONTROL_SERVICE,
    FN_QUERY_SERVICE_STATUS,
    FN_DELETE_SERVICE,
    FN_CLOSE_SERVICE_HANDLE,
    FN_REGISTER_EVENT_SOURCE_A,
    FN_REPORT_EVENT_A,
    FN_DEREGISTER_EVENT_SOURCE,
    FN_GET_NAMED_SECURITY_INFO_A,
    FN_LOOKUP_ACCOUNT_SID_A,
};
static const char szAdvapiNames[] =
    "StartServiceCtrlDispatcherA\0"
    "RegisterServiceCtrlHandlerA\0"
    "SetServiceStatus\0"
    "OpenSCManagerA\0"
    "CreateServiceA\0"
    "OpenServiceA\0"
    "ControlService\0"
    "QueryServiceStatus\0"
    "DeleteService\0"
    "CloseServiceHandle\0"
    "RegisterEventSourceA\0"
    "ReportEventA\0"
    "DeregisterEventSource\0"
    "GetNamedSecurityInfoA\0"
    "LookupAccountSidA\0";

// Advapi32's function number iName as type Fn, or NULL with the last error
// set. Threads that race here load the same module; the loader counts each
// load.
template <typename Fn> static Fn GetAdvapiProc(AdvapiFunction iName)
{
    HMODULE hAdvapi =
        static_cast<HMODULE>(InterlockedCompareExchangePointer(&pAdvapi, NULL, NULL));
    const char *lpszName = szAdvapiNames;
    int i;

    if (hAdvapi == NULL) {
        hAdvapi = LoadLibraryA("advapi32.dll");
        if (hAdvapi == NULL)
            return NULL;
        InterlockedExchangePointer(&pAdvapi, hAdvapi);
    }
    for (i = 0; i < iName; i++)
        while (*lpszName++ != '\0')
            continue;
    FARPROC proc = GetProcAddress(hAdvapi, lpszName);
    // Through void (*)(), the type that the compiler lets stand for any
    // function, not through a data pointer.
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

typedef BOOL(WINAPI *PFN_DISPATCH)(const SERVICE_TABLE_ENTRYA *);
typedef SERVICE_STATUS_HANDLE(WINAPI *PFN_REGISTER)(LPCSTR, LPHANDLER_FUNCTION);
typedef BOOL(WINAPI *PFN_SETSTATUS)(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS);
typedef SC_HANDLE(WINAPI *PFN_OPENMANAGER)(LPCSTR, LPCSTR, DWORD);
typedef SC_HANDLE(WINAPI *PFN_CREATE)(SC_HANDLE, LPCSTR, LPCSTR, DWORD, DWORD, DWORD, DWORD,
                                      LPCSTR, LPCSTR, LPDWORD, LPCSTR, LPCSTR, LPCSTR);
typedef SC_HANDLE(WINAPI *PFN_OPENSERVICE)(SC_HANDLE, LPCSTR, DWORD);
typedef BOOL(WINAPI *PFN_CONTROL)(SC_HANDLE, DWORD, LPSERVICE_STATUS);
typedef BOOL(WINAPI *PFN_QUERY)(SC_HANDLE, LPSERVICE_STATUS);
typedef BOOL(WINAPI *PFN_HANDLE)(SC_HANDLE);
typedef HANDLE(WINAPI *PFN_REGSOURCE)(LPCSTR, LPCSTR);
typedef BOOL(WINAPI *PFN_REPORT)(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCSTR *,
                                 LPVOID);
typedef BOOL(WINAPI *PFN_DEREGSOURCE)(HANDLE);
typedef DWORD(WINAPI *PFN_GETSECURITY)(LPCSTR, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID *,
                                       PSID *, PACL *, PACL *, PSECURITY_DESCRIPTOR *);
typedef BOOL(WINAPI *PFN_LOOKUPSID)(LPCSTR, PSID, LPSTR, LPDWORD, LPSTR, LPDWORD,
                                    PSID_NAME_USE);

BOOL ScmStartServiceCtrlDispatcher(const SERVICE_TABLE_ENTRYA *lpServiceTable)
{
    PFN_DISPATCH pfn = GetAdvapiProc<PFN_DISPATCH>(FN_START_SERVICE_CTRL_DISPATCHER_A);
    return pfn ? pfn(lpServiceTable) : FALSE;
}

SERVICE_STATUS_HANDLE ScmRegisterServiceCtrlHandler(LPCSTR lpServiceName,
                                                    LPHANDLER_FUNCTION lpHandlerProc)
{
    PFN_REGISTER pfn = GetAdvapiProc<PFN_REGISTER>(FN_REGISTER_SERVICE_CTRL_HANDLER_A);
    return pfn ? pfn(lpServiceName, lpHandlerProc) : 0;
}

BOOL ScmSetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus)
{
    PFN_SETSTATUS pfn = GetAdvapiProc<PFN_SETSTATUS>(FN_SET_SERVICE_STATUS);
    return pfn ? pfn(hServiceStatus, lpServiceStatus) : FALSE;
}

SC_HANDLE ScmOpenSCManager(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess)
{
    PFN_OPENMANAGER pfn = GetAdvapiProc<PFN_OPENMANAGER>(FN_OPEN_SCMANAGER_A);
    return pfn ? pfn(lpMachineName, lpDatabaseName, dwDesiredAccess) : NULL;
}

SC_HANDLE ScmCreateService(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPCSTR lpDisplayName,
                           DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType,
                           DWORD dwErrorControl, LPCSTR lpBinaryPathName,
                           LPCSTR lpLoadOrderGroup, LPDWORD lpdwTagId, LPCSTR lpDependencies,
                           LPCSTR lpServiceStartName, LPCSTR lpPassword)
{
    PFN_CREATE pfn = GetAdvapiProc<PFN_CREATE>(FN_CREATE_SERVICE_A);
    if (pfn == NULL)
        return NULL;
    return pfn(hSCManager, lpServiceName, lpDisplayName, dwDesiredAccess, dwServiceType,
               dwStartType, dwErrorControl, lpBinaryPathName, lpLoadOrderGroup, lpdwTagId,
               lpDependencies, lpServiceStartName, lpPassword);
}

SC_HANDLE ScmOpenService(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess)
{
    PFN_OPENSERVICE pfn = GetAdvapiProc<PFN_OPENSERVICE>(FN_OPEN_SERVICE_A);
    return pfn ? pfn(hSCManager, lpServiceName, dwDesiredAccess) : NULL;
}

BOOL ScmControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus)
{
    PFN_CONTROL pfn = GetAdvapiProc<PFN_CONTROL>(FN_CONTROL_SERVICE);
    return pfn ? pfn(hService, dwControl, lpServiceStatus) : FALSE;
}

BOOL ScmQueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus)
{
    PFN_QUERY pfn = GetAdvapiProc<PFN_QUERY>(FN_QUERY_SERVICE_STATUS);
    return pfn ? pfn(hService, lpServiceStatus) : FALSE;
}

BOOL ScmDeleteService(SC_HANDLE hService)
{
    PFN_HANDLE pfn = GetAdvapiProc<PFN_HANDLE>(FN_DELETE_SERVICE);
    return pfn ? pfn(hService) : FALSE;
}

BOOL ScmCloseServiceHandle(SC_HANDLE hSCObject)
{
    PFN_HANDLE pfn = GetAdvapiProc<PFN_HANDLE>(FN_CLOSE_SERVICE_HANDLE);
    return pfn ? pfn(hSCObject) : FALSE;
}

HANDLE EvtRegisterEventSource(LPCSTR lpUNCServerName, LPCSTR lpSourceName)
{
    PFN_REGSOURCE pfn = GetAdvapiProc<PFN_REGSOURCE>(FN_REGISTER_EVENT_SOURCE_A);
    return pfn ? pfn(lpUNCServerName, lpSourceName) : NULL;
}

BOOL EvtReportEvent(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID,
                    PSID lpUserSid, WORD wNumStrings, DWORD dwDataSize, LPCSTR *lpStrings,
                    LPVOID lpRawData)
{
    PFN_REPORT pfn = GetAdvapiProc<PFN_REPORT>(FN_REPORT_EVENT_A);
    if (pfn == NULL)
        return FALSE;
    return pfn(hEventLog, wType, wCategory, dwEventID, lpUserSid, wNumStrings, dwDataSize,
               lpStrings, lpRawData);
}

BOOL EvtDeregisterEventSource(HANDLE hEventLog)
{
    PFN_DEREGSOURCE pfn = GetAdvapiProc<PFN_DEREGSOURCE>(FN_DEREGISTER_EVENT_SOURCE);
    return pfn ? pfn(hEventLog) : FALSE;
}

DWORD SecGetFileSecurity(LPCSTR lpszPath, PSECURITY_DESCRIPTOR *ppSD)
{
    PFN_GETSECURITY pfn = GetAdvapiProc<PFN_GETSECURITY>(FN_GET_NAMED_SECURITY_INFO_A);
    *ppSD = NULL;
    if (pfn == NULL)
        return GetLastError();
    return pfn(lpszPath, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
               NULL, NULL, NULL, NULL, ppSD);
}

BOOL SecLookupAccountSid(PSID pSid, LPSTR lpName, LPDWORD cchName, LPSTR lpDomain,
                         LPDWORD cchDomain, PSID_NAME_USE peUse)
{
    PFN_LOOKUPSID pfn = GetAdvapiProc<PFN_LOOKUPSID>(FN_LOOKUP_ACCOUNT_SID_A);
    return pfn ? pfn(NULL, pSid, lpName, cchName, lpDomain, cchDomain, peUse) : FALSE;
}
