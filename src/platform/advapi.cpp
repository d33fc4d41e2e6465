// The product's side of the platform seam: plain forwarding to advapi32.
#include "platform/advapi.h"

BOOL ScmStartServiceCtrlDispatcher(const SERVICE_TABLE_ENTRYA *lpServiceTable)
{
    return StartServiceCtrlDispatcherA(lpServiceTable);
}

SERVICE_STATUS_HANDLE ScmRegisterServiceCtrlHandler(LPCSTR lpServiceName,
                                                    LPHANDLER_FUNCTION lpHandlerProc)
{
    return RegisterServiceCtrlHandlerA(lpServiceName, lpHandlerProc);
}

BOOL ScmSetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus)
{
    return SetServiceStatus(hServiceStatus, lpServiceStatus);
}

SC_HANDLE ScmOpenSCManager(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess)
{
    return OpenSCManagerA(lpMachineName, lpDatabaseName, dwDesiredAccess);
}

SC_HANDLE ScmCreateService(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPCSTR lpDisplayName,
                           DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType,
                           DWORD dwErrorControl, LPCSTR lpBinaryPathName,
                           LPCSTR lpLoadOrderGroup, LPDWORD lpdwTagId, LPCSTR lpDependencies,
                           LPCSTR lpServiceStartName, LPCSTR lpPassword)
{
    return CreateServiceA(hSCManager, lpServiceName, lpDisplayName, dwDesiredAccess,
                          dwServiceType, dwStartType, dwErrorControl, lpBinaryPathName,
                          lpLoadOrderGroup, lpdwTagId, lpDependencies, lpServiceStartName,
                          lpPassword);
}

SC_HANDLE ScmOpenService(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess)
{
    return OpenServiceA(hSCManager, lpServiceName, dwDesiredAccess);
}

BOOL ScmControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus)
{
    return ControlService(hService, dwControl, lpServiceStatus);
}

BOOL ScmQueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus)
{
    return QueryServiceStatus(hService, lpServiceStatus);
}

BOOL ScmDeleteService(SC_HANDLE hService)
{
    return DeleteService(hService);
}

BOOL ScmCloseServiceHandle(SC_HANDLE hSCObject)
{
    return CloseServiceHandle(hSCObject);
}

HANDLE EvtRegisterEventSource(LPCSTR lpUNCServerName, LPCSTR lpSourceName)
{
    return RegisterEventSourceA(lpUNCServerName, lpSourceName);
}

BOOL EvtReportEvent(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID,
                    PSID lpUserSid, WORD wNumStrings, DWORD dwDataSize, LPCSTR *lpStrings,
                    LPVOID lpRawData)
{
    return ReportEventA(hEventLog, wType, wCategory, dwEventID, lpUserSid, wNumStrings,
                        dwDataSize, lpStrings, lpRawData);
}

BOOL EvtDeregisterEventSource(HANDLE hEventLog)
{
    return DeregisterEventSource(hEventLog);
}
