#include "fake_advapi.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
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
    if (hSCManager == kManager && fake.managerOpens && fake.createError == ERROR_SUCCESS) {
        fake.openServices++;
        return kService;
    }
    SetLastError(fake.managerOpens ? fake.createError : ERROR_ACCESS_DENIED);
    return NULL;
}

SC_HANDLE ScmOpenService(SC_HANDLE, LPCSTR, DWORD)
{
    if (!fake.serviceStates.empty()) {
        fake.openServices++;
        return kService;
    }
    SetLastError(ERROR_ACCESS_DENIED);
    return NULL;
}

BOOL ScmControlService(SC_HANDLE, DWORD, LPSERVICE_STATUS)
{
    SetLastError(fake.serviceStates.empty() ? ERROR_ACCESS_DENIED : fake.stopError);
    return FALSE;
}

BOOL ScmQueryServiceStatus(SC_HANDLE, LPSERVICE_STATUS lpServiceStatus)
{
    if (fake.serviceStates.empty()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    lpServiceStatus->dwCurrentState = fake.serviceStates.front();
    if (fake.serviceStates.size() > 1)
        fake.serviceStates.erase(fake.serviceStates.begin());
    return TRUE;
}

BOOL ScmDeleteService(SC_HANDLE)
{
    if (!fake.serviceStates.empty())
        return TRUE;
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

DWORD EvtInstallSource(LPCSTR lpszMessageFile)
{
    fake.messageFile = lpszMessageFile;
    return fake.installSourceError;
}

DWORD EvtRemoveSource(void)
{
    fake.sourceRemoved = true;
    return fake.removeSourceError;
}

LONG RegGetSystemVariable(LPCWSTR, WCHAR *lpszValue, DWORD cbValue)
{
    if (fake.systemRootError != ERROR_SUCCESS)
        return fake.systemRootError;
    if (fake.systemRoot.empty())
        return ERROR_FILE_NOT_FOUND;
    wcsncpy(lpszValue, fake.systemRoot.c_str(), cbValue / sizeof(WCHAR));
    return ERROR_SUCCESS;
}

LONG RegGetStopTimeout(DWORD *pdwSeconds)
{
    return *pdwSeconds = fake.stopTimeout, fake.stopTimeoutError;
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
    if (fake.onEvent)
        fake.onEvent();
    std::lock_guard<std::mutex> guard(lock);
    if (hEventLog != kEventSource)
        return FALSE;
    fake.openSources--;
    return TRUE;
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

// The objects on a path: each handle is an index into the paths opened.
static const size_t kObjectBase = 0x7000;
static std::vector<std::string> objectPaths;
static std::vector<bool> objectOpen;
static std::vector<HANDLE> objectReal;  // the disk's handle, NULL when not real

// Whether path is cleanTree, lies inside it, or is a folder above it, in
// the device forms (\\?\C:\..., \\.\C:\...) too.
static bool InCleanTree(std::string path)
{
    const std::string &tree = fake.cleanTree;
    if (path.compare(0, 4, "\\\\?\\") == 0 || path.compare(0, 4, "\\\\.\\") == 0)
        path.erase(0, 4);
    auto within = [](const std::string &inner, const std::string &outer) {
        return _strnicmp(inner.c_str(), outer.c_str(), outer.size()) == 0 &&
               (inner.size() == outer.size() || outer.back() == '\\' || inner[outer.size()] == '\\');
    };
    return !tree.empty() && (within(path, tree) || within(tree, path));
}

HANDLE SecOpenObject(LPCSTR lpszPath, DWORD dwShare, DWORD *pdwAttributes, BOOL *pfHeld)
{
    if (fake.onOpen)
        fake.onOpen(lpszPath);
    *pfHeld = TRUE;
    HANDLE real = fake.realObjects ? OpenPathObject(lpszPath, dwShare, pdwAttributes, pfHeld) : NULL;
    if (real == INVALID_HANDLE_VALUE)
        return real;
    std::lock_guard<std::mutex> guard(lock);
    bool listed = fake.securityByPath.empty()
                      ? !fake.securitySddl.empty() || fake.securityError != ERROR_SUCCESS
                      : fake.securityByPath.count(lpszPath) != 0;
    if (!listed && !InCleanTree(lpszPath)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    fake.opened.push_back(lpszPath);
    if (!real)
        *pdwAttributes = FILE_ATTRIBUTE_DIRECTORY;
    for (const std::string &link : fake.links)
        if (link == lpszPath)
            *pdwAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    *pfHeld &= std::count(fake.unheld.begin(), fake.unheld.end(), lpszPath) == 0;
    objectPaths.push_back(lpszPath);
    objectOpen.push_back(true);
    objectReal.push_back(real);
    return (HANDLE)(kObjectBase + objectPaths.size() - 1);
}

// The path of an open object; "" for a handle the fake never gave out.
static std::string ObjectPath(HANDLE hObject)
{
    size_t index = (size_t)hObject - kObjectBase;
    return index < objectPaths.size() && objectOpen[index] ? objectPaths[index] : "";
}

DWORD SecGetObjectSecurity(HANDLE hObject, PSECURITY_DESCRIPTOR *ppSD)
{
    *ppSD = NULL;
    std::string path;
    HANDLE real;
    {
        std::lock_guard<std::mutex> guard(lock);
        path = ObjectPath(hObject);
        if (path.empty())
            return ERROR_INVALID_HANDLE;
        fake.securityRead.push_back(path);
        real = objectReal[(size_t)hObject - kObjectBase];
    }
    // A real object's handle must let its security be read, as the system's
    // call would ask, though the descriptor is the fake's.
    PSECURITY_DESCRIPTOR realSD = NULL;
    if (real && GetSecurityInfo(real, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, NULL, NULL, NULL,
                                NULL, &realSD) != ERROR_SUCCESS)
        return ERROR_ACCESS_DENIED;
    LocalFree(realSD);
    if (fake.securityError != ERROR_SUCCESS)
        return fake.securityError;
    std::string sddl = fake.securitySddl;
    auto found = fake.securityByPath.find(path);
    if (found != fake.securityByPath.end())
        sddl = found->second;
    else if (InCleanTree(path))
        sddl = "O:BAD:(A;;FA;;;BA)(A;;FA;;;SY)(A;;0x1200a9;;;WD)";
    if (sddl.empty())
        return ERROR_FILE_NOT_FOUND;
    return ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                                ppSD, NULL)
               ? ERROR_SUCCESS
               : GetLastError();
}

DWORD SecCountNames(HANDLE hObject)
{
    std::lock_guard<std::mutex> guard(lock);
    return fake.names.count(ObjectPath(hObject)) ? fake.names[ObjectPath(hObject)] : 1;
}

BOOL SecCloseObject(HANDLE hObject)
{
    std::lock_guard<std::mutex> guard(lock);
    std::string path = ObjectPath(hObject);
    if (path.empty())
        return FALSE;
    objectOpen[(size_t)hObject - kObjectBase] = false;
    if (objectReal[(size_t)hObject - kObjectBase])
        CloseHandle(objectReal[(size_t)hObject - kObjectBase]);
    fake.closed.push_back(path);
    return TRUE;
}

size_t FakeOpenObjects()
{
    std::lock_guard<std::mutex> guard(lock);
    size_t open = 0;
    for (bool o : objectOpen)
        open += o;
    return open;
}

static DWORD CopySidText(const std::string &text, SID *pSid, DWORD cbSid)
{
    PSID sid = NULL;
    if (!ConvertStringSidToSidA(text.c_str(), &sid))
        return GetLastError();
    DWORD result = CopySid(cbSid, pSid, sid) ? ERROR_SUCCESS : GetLastError();
    LocalFree(sid);
    return result;
}

DWORD SecGetWindowsOwner(SID *pSid, DWORD cbSid)
{
    return fake.windowsOwner.empty() ? ERROR_FILE_NOT_FOUND
                                     : CopySidText(fake.windowsOwner, pSid, cbSid);
}

DWORD SecGetDomains(SID *pAccount, SID *pPrimary, DWORD cbSid)
{
    pAccount->Revision = 0;
    pPrimary->Revision = 0;
    DWORD result = ERROR_SUCCESS;
    if (!fake.accountDomain.empty())
        result = CopySidText(fake.accountDomain, pAccount, cbSid);
    if (result == ERROR_SUCCESS && !fake.primaryDomain.empty())
        result = CopySidText(fake.primaryDomain, pPrimary, cbSid);
    return result;
}
