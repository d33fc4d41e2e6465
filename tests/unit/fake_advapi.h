// A recording fake of the service control manager and the event log, linked
// into the unit tests in place of advapi32.
#ifndef VIZAD_TESTS_UNIT_FAKE_ADVAPI_H
#define VIZAD_TESTS_UNIT_FAKE_ADVAPI_H

#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

struct EventEntry {
    std::string source;
    WORD type = 0;
    WORD category = 0;
    DWORD eventId = 0;
    std::vector<std::string> strings;
};

struct FakeAdvapi {
    // Service control manager.
    std::vector<SERVICE_STATUS> reports;     // every SetServiceStatus, in order
    std::vector<SERVICE_STATUS_HANDLE> reportHandles;
    LPHANDLER_FUNCTION_EX handler = nullptr; // what the host registered
    std::string handlerName;
    bool registerFails = false;
    size_t failReport = 0;                   // 1-based number of a report to reject
    DWORD failReportError = ERROR_INVALID_DATA;
    bool dispatcherFails = false;
    // -install against a manager that opens: CreateService succeeds, and
    // each ChangeServiceConfig2 is recorded as (level, preshutdown timeout),
    // failing with config2Error when that is set.
    bool managerOpens = false;
    DWORD config2Error = ERROR_SUCCESS;
    std::vector<std::pair<DWORD, DWORD>> config2;
    int openServices = 0;                    // service handles not yet closed
    std::string messageFile;                 // the event source's, as -install registers it
    DWORD installSourceError = ERROR_SUCCESS;
    DWORD createError = ERROR_SUCCESS;       // CreateService's, where the manager opens
    // -remove: the service opens, refuses the stop with stopError, and each
    // query gives the next state (the last one stays); deleting succeeds.
    std::vector<DWORD> serviceStates;
    DWORD stopError = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    bool sourceRemoved = false;
    DWORD removeSourceError = ERROR_SUCCESS;
    // Runs on the reporting thread after a report is recorded; it may deliver
    // a control through the handler, as a control arriving between reports.
    std::function<void(const SERVICE_STATUS &)> onReport;
    // Runs inside the handler's registration, once the handler is known: a
    // control that arrives before the first report.
    std::function<void()> onRegister;

    // File security, never the real one: a descriptor for every path (when
    // set, or a failure to read it), or one per path, which wins over it;
    // once any is set per path, a path not listed cannot be opened (2), so
    // that a check of the wrong path shows. Every path read is recorded.
    std::string securitySddl;
    DWORD securityError = ERROR_SUCCESS;
    std::map<std::string, std::string> securityByPath;
    std::vector<std::string> securityRead;
    std::string selfSid;                     // the host's own account; "" for the real one

    // The objects on a path, opened through the seam, never on the disk.
    // A clean descriptor (Administrators own it) for cleanTree, everything
    // in it and every folder above it: the cases' own scratch trees.
    std::string cleanTree;
    std::vector<std::string> links;          // shown as reparse points
    std::vector<std::string> unheld;         // held by another process that shares no reading
    std::map<std::string, DWORD> names;      // a file's count of names, 1 unless listed
    std::vector<std::string> opened, closed;  // in order
    bool realObjects = false;                // also open each one on the disk, to hold it
    // Runs on the walking thread as each object is opened: a walk to stall,
    // or a cause to mend between two tries.
    std::function<void(const std::string &)> onOpen;
    std::string windowsOwner;                // "" when it cannot be read
    std::string accountDomain, primaryDomain;  // "" for none

    std::wstring systemRoot;                 // the registry's ZOVOVEV; "" for none
    LONG systemRootError = ERROR_SUCCESS;    // or why it cannot be read
    DWORD stopTimeout = 0;                   // the service's StopTimeout in s
    LONG stopTimeoutError = ERROR_FILE_NOT_FOUND;  // or why it cannot be read

    // Event log.
    std::vector<EventEntry> events;
    std::function<void()> onEvent;           // runs after each entry, outside the fake's lock
    bool sourceFails = false;
    int openSources = 0;                     // registered and not yet deregistered
    std::string sourceServer = "(unset)";
};

extern FakeAdvapi fake;

// Delivers a control through the registered handler; returns its answer.
DWORD FakeControl(DWORD code);
// Waits until a report with the given state has been recorded.
bool FakeWaitForState(DWORD state, DWORD timeoutMs = 30000);
// A copy of the reports so far, taken under the fake's lock.
std::vector<SERVICE_STATUS> FakeReports();
std::vector<EventEntry> FakeEvents();
// The objects opened and not yet closed.
size_t FakeOpenObjects();

#endif
