#include "fake_advapi.h"

#include <aclapi.h>
#include <sddl.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/advapi.h"

FakeAdvapi fake;

static std::mutex lock;
static std::condition_variable reported;

static const SERVICE_STATUS_HANDLE kStatusHandle = (SERVICE_STATUS_HANDLE)0x5151;
static const SC_HANDLE kManager = (SC_HANDLE)0x1001;
static const SC_HANDLE kService = (SC_HANDLE)0x1002;
static HANDLE const kEventSource = (HANDLE)0x2002;
static std::string sourceName;  // of the open event source

DWORD FakeControl(DWORD code)
{
    return fake.handler(code, 0, nullptr, nullptr);
}

bool FakeWaitForState(DWORD state, DWORD timeoutMs)
{
    std::unique_lock<std::mutex> guard(lock);
    return reported.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
        for (const SERVICE_STATUS &s : fake.reports)
            if (s.dwCurrentState == state)
                return true;
        return false;
    });
}

std::vector<SERVICE_STATUS> FakeReports()
{
    std::lock_guard<std::mutex> guard(lock);
    return fake.reports;
}

std::vector<EventEntry> FakeEvents()
{
    std::lock_guard<std::mutex> guard(lock);
    return fake.events;
}

BOOL ScmStartServiceCtrlDispatcher(const SERVICE_TABLE_ENTRYA *lpServiceTable)
{
    if (fake.dispatcherFails) {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return FALSE;
    }
    // The manager runs the entry point on a thread of its own and returns
    // once the service has stopped.
    LPSERVICE_MAIN_FUNCTIONA entry = lpServiceTable[0].lpServiceProc;
    std::string name = lpServiceTable[0].lpServiceName;
    std::thread service([&] {
        char *argv[] = { &name[0], nullptr };
        entry(1, argv);
    });
    service.join();
    return TRUE;
}

SERVICE_STATUS_HANDLE ScmRegisterServiceCtrlHandlerEx(LPCSTR lpServiceName,
                                                      LPHANDLER_FUNCTION_EX lpHandlerProc,
                                                      LPVOID)
{
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (fake.registerFails) {
            SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
            return 0;
        }
        fake.handler = lpHandlerProc;
        fake.handlerName = lpServiceName;
        hook = fake.onRegister;
    }
    if (hook)
        hook();
    return kStatusHandle;
}

BOOL ScmSetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus)
{
    size_t number;
    std::function<void(const SERVICE_STATUS &)> hook;
    SERVICE_STATUS copy = *lpServiceStatus;
    {
        std::lock_guard<std::mutex> guard(lock);
        fake.reports.push_back(copy);
        fake.reportHandles.push_back(hServiceStatus);
        number = fake.reports.size();
        hook = fake.onReport;
    }
    reported.notify_all();
    if (hook)
        hook(copy);
    if (number == fake.failReport || hServiceStatus != kStatusHandle) {
        SetLastError(hServiceStatus != kStatusHandle ? ERROR_INVALID_HANDLE
                                                     : fake.failReportError);
        return FALSE;
    }
    return TRUE;
}

// The install and remove commands are tested against the real manager,
// except for what it cannot be made to do.
SC_HANDLE ScmOpenSCManager(LPCSTR, LPCSTR, DWORD)
{
    if (fake.managerOpens)
        return kManager;
    SetLastError(ERROR_ACCESS_DENIED);
    return NULL;
}

SC_HANDLE ScmCreateService(SC_HANDLE hSCManager, LPCSTR, LPCSTR, DWORD, DWORD, DWORD, DWORD,
                           LPCSTR, LPCSTR, LPDWORD, LPCSTR, LPCSTR, LPCSTR)
{
    if (hSCManager == kManager && fake.managerOpens) {
        fake.openServices++;
        return kService;
    }
    SetLastError(ERROR_ACCESS_DENIED);
    return NULL;
}

SC_HANDLE ScmOpenService(SC_HANDLE, LPCSTR, DWORD)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return NULL;
}

BOOL ScmControlService(SC_HANDLE, DWORD, LPSERVICE_STATUS)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

BOOL ScmQueryServiceStatus(SC_HANDLE, LPSERVICE_STATUS)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

BOOL ScmDeleteService(SC_HANDLE)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

BOOL ScmChangeServiceConfig2(SC_HANDLE hService, DWORD dwInfoLevel, LPVOID lpInfo)
{
    if (hService != kService) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    fake.config2.emplace_back(dwInfoLevel,
                              dwInfoLevel == SERVICE_CONFIG_PRESHUTDOWN_INFO
                                  ? static_cast<SERVICE_PRESHUTDOWN_INFO *>(lpInfo)->dwPreshutdownTimeout
                                  : 0);
    if (fake.config2Error != ERROR_SUCCESS) {
        SetLastError(fake.config2Error);
        return FALSE;
    }
    return TRUE;
}

BOOL ScmCloseServiceHandle(SC_HANDLE hSCObject)
{
    if (hSCObject == kService)
        fake.openServices--;
    return hSCObject == kManager || hSCObject == kService;
}

HANDLE EvtRegisterEventSource(LPCSTR lpUNCServerName, LPCSTR lpSourceName)
{
    std::lock_guard<std::mutex> guard(lock);
    fake.sourceServer = lpUNCServerName ? lpUNCServerName : "(local)";
    if (fake.sourceFails || lpSourceName == nullptr) {
        SetLastError(ERROR_ACCESS_DENIED);
        return NULL;
    }
    fake.openSources++;
    sourceName = lpSourceName;
    // A real source may leave its own last error behind on success (its
    // registry key exists): a code read after this call would be this one.
    SetLastError(ERROR_ALREADY_EXISTS);
    return kEventSource;
}

BOOL EvtReportEvent(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID,
                    WORD wNumStrings, DWORD, LPCSTR *lpStrings, LPVOID)
{
    std::lock_guard<std::mutex> guard(lock);
    if (hEventLog != kEventSource)
        return FALSE;
    EventEntry entry;
    entry.source = sourceName;
    entry.type = wType;
    entry.category = wCategory;
    entry.eventId = dwEventID;
    for (WORD i = 0; i < wNumStrings; i++)
        entry.strings.push_back(lpStrings[i]);
    fake.events.push_back(entry);
    return TRUE;
}

BOOL EvtDeregisterEventSource(HANDLE hEventLog)
{
    std::lock_guard<std::mutex> guard(lock);
    if (hEventLog != kEventSource)
        return FALSE;
    fake.openSources--;
    return TRUE;
}

// Files and folders keep their real security unless a case sets another:
// the cases' trees are the test's own, which nobody else may change.
DWORD SecGetFileSecurity(LPCSTR lpszPath, PSECURITY_DESCRIPTOR *ppSD)
{
    *ppSD = NULL;
    fake.securityRead.push_back(lpszPath);
    if (fake.securityError != ERROR_SUCCESS)
        return fake.securityError;
    std::string sddl = fake.securitySddl;
    if (!fake.securityByPath.empty()) {
        auto found = fake.securityByPath.find(lpszPath);
        if (found == fake.securityByPath.end())
            return ERROR_FILE_NOT_FOUND;
        sddl = found->second;
    }
    if (!sddl.empty())
        return ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                                    ppSD, NULL)
                   ? ERROR_SUCCESS
                   : GetLastError();
    return GetNamedSecurityInfoA(lpszPath, SE_FILE_OBJECT,
                                 OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, NULL,
                                 NULL, NULL, NULL, ppSD);
}

BOOL SecLookupAccountSid(PSID pSid, LPSTR lpName, LPDWORD cchName, LPSTR lpDomain,
                         LPDWORD cchDomain, PSID_NAME_USE peUse)
{
    return LookupAccountSidA(NULL, pSid, lpName, cchName, lpDomain, cchDomain, peUse);
}

DWORD SecGetProcessUser(SID *pSid, DWORD cbSid)
{
    PSID self = NULL;
    if (!fake.selfSid.empty()) {
        if (!ConvertStringSidToSidA(fake.selfSid.c_str(), &self))
            return GetLastError();
    } else {
        HANDLE token;
        BYTE info[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
        DWORD size;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
            return GetLastError();
        BOOL read = GetTokenInformation(token, TokenUser, info, sizeof info, &size);
        CloseHandle(token);
        if (!read)
            return GetLastError();
        return CopySid(cbSid, pSid, reinterpret_cast<TOKEN_USER *>(info)->User.Sid)
                   ? ERROR_SUCCESS
                   : GetLastError();
    }
    DWORD result = CopySid(cbSid, pSid, self) ? ERROR_SUCCESS : GetLastError();
    LocalFree(self);
    return result;
}
