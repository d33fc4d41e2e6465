// The upgrade's mark and the removal for good.
//
// MarkUpgrade and ClearUpgradeMark (immediate, just before and after
// RemoveExistingProducts, in an upgrade): Wine's msiexec removes the older
// product with a removal of its own that sets no UPGRADINGPRODUCTCODE.
// While the older product goes, HKLM\SOFTWARE\VIZAD's Upgrading names the
// newer one and the installer's process, and the older's removal (from
// 1.4.0 on) keeps the service. Windows Installer sets UPGRADINGPRODUCTCODE:
// a value that cannot be written is logged, not a failure. A run that
// fails after the mark clears it: the sequence runs ClearUpgradeMark at
// rollback and on failure too. A mark left all the same (a run cut short)
// is honoured only by a removal that the installer's process that set it
// runs: while the product that set it is being installed.
//
// DeleteServiceForGood (deferred, removal only): the service goes when the
// product is removed for good, not when a newer product removes it for an
// upgrade: the ServiceControl table, which has no condition, only stops it.
// With the service goes its key, and the stop deadline and recovery
// actions with it. A service already gone (vizad.exe -remove, sc.exe
// delete) leaves nothing to do.
#include <wchar.h>

#include "msi/action.h"
#include "msi/state.h"

#include <tlhelp32.h>

static const wchar_t kVizadKey[] = L"SOFTWARE\\VIZAD";
static const int kAncestors = 8;  // how far up the processes are walked

DWORD DeleteZuvo(MSIHANDLE install, bool onlyNew)
{
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, kService, DELETE | SERVICE_QUERY_CONFIG) : NULL;
    DWORD err = ERROR_SUCCESS;
    if (!service)
        err = GetLastError();
    else if ((!onlyNew || IsNewRegistration(service)) && !DeleteService(service))
        err = GetLastError();
    if (service)
        CloseServiceHandle(service);
    if (manager)
        CloseServiceHandle(manager);
    // Gone already, or about to go: nothing left to do.
    if (err == ERROR_SERVICE_DOES_NOT_EXIST || err == ERROR_SERVICE_MARKED_FOR_DELETE)
        err = ERROR_SUCCESS;
    if (err == ERROR_SUCCESS)
        Log(install, L"VIZAD: service %ls deleted (%ls)", kService,
            onlyNew ? L"the install that made it failed" : L"the product is removed for good");
    else
        Log(install, L"VIZAD: cannot delete service %ls: error %lu", kService, err);
    return err;
}

// The process that started this one (0 when not found), from the snapshot.
static DWORD ParentOf(HANDLE snapshot, DWORD pid)
{
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        if (entry.th32ProcessID == pid)
            return entry.th32ParentProcessID;
    return 0;
}

// The installer's process: the one that started this action's host.
static DWORD InstallerProcess()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    DWORD pid = ParentOf(snapshot, GetCurrentProcessId());
    CloseHandle(snapshot);
    return pid;
}

// Whether the process pid started this one, or one of those that did.
static bool IsAncestor(DWORD pid)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    bool found = false;
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    DWORD p = GetCurrentProcessId();
    for (int i = 0; i < kAncestors && !found && (p = ParentOf(snapshot, p)) != 0; ++i)
        found = p == pid;
    CloseHandle(snapshot);
    return found;
}

static UINT SetUpgradeMark(MSIHANDLE install, bool set)
{
    HKEY key;
    LONG err = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kVizadKey, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL);
    if (err == ERROR_SUCCESS) {
        if (set) {
            // 1.4.0's removal keeps the service for any value: "{code} pid".
            wchar_t mark[64];
            GetProperty(install, L"ProductCode", mark, 40);
            swprintf(mark + wcslen(mark), 24, L" %lu", InstallerProcess());
            err = RegSetValueExW(key, L"Upgrading", 0, REG_SZ, reinterpret_cast<const BYTE *>(mark),
                                 (DWORD)((wcslen(mark) + 1) * sizeof(wchar_t)));
        } else if ((err = RegDeleteValueW(key, L"Upgrading")) == ERROR_FILE_NOT_FOUND) {
            err = ERROR_SUCCESS;
        }
        RegCloseKey(key);
    }
    if (err != ERROR_SUCCESS)
        Log(install, L"VIZAD: cannot %ls the upgrade's mark: error %ld", set ? L"set" : L"clear", err);
    else
        Log(install, L"VIZAD: the upgrade's mark %ls", set ? L"set" : L"cleared");
    return ERROR_SUCCESS;
}

VIZAD_ACTION MarkUpgrade(MSIHANDLE install)
{
    return SetUpgradeMark(install, true);
}

VIZAD_ACTION ClearUpgradeMark(MSIHANDLE install)
{
    return SetUpgradeMark(install, false);
}

// Whether a newer product is removing this one: the mark, set by an
// installer's process that runs this removal. Any other mark is stale: it
// goes with the product.
static bool MarkedForUpgrade(MSIHANDLE install)
{
    wchar_t mark[64] = L"";
    DWORD size = sizeof mark - sizeof mark[0], type;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kVizadKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return false;
    LONG err = RegQueryValueExW(key, L"Upgrading", NULL, &type, reinterpret_cast<BYTE *>(mark), &size);
    const wchar_t *blank = wcsrchr(mark, L' ');
    DWORD pid;
    bool honoured = err == ERROR_SUCCESS && type == REG_SZ && blank && ParseNumber(blank + 1, 0xFFFFFFFF, &pid) &&
                    pid && IsAncestor(pid);
    if (!honoured && err != ERROR_FILE_NOT_FOUND)
        RegDeleteValueW(key, L"Upgrading");
    RegCloseKey(key);
    if (err == ERROR_FILE_NOT_FOUND)
        return false;
    Log(install, L"VIZAD: the upgrade's mark %ls is %ls", mark,
        honoured ? L"this run's: the service is kept for the newer product"
                 : L"no run's of this removal: the service goes");
    return honoured;
}

// A removal for good only (the sequence's condition).
VIZAD_ACTION DeleteServiceForGood(MSIHANDLE install)
{
    if (MarkedForUpgrade(install))
        return ERROR_SUCCESS;
    return DeleteZuvo(install, false) == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}
