// The rollback steps.
//
// StopStartedService (rollback of RestoreService) stops the service that
// the run started, so that rollback takes no file in use;
// StartAgainAfterFailure (rollback, the first step of the run) starts the
// service again that ran when the run began; DeleteNewService (rollback
// of InstallServices on a first install) deletes the service that the
// install made.
#include <wchar.h>

#include "msi/action.h"

// Rollback of RestoreService. CustomActionData: VizadRun and STOPTIMEOUT.
VIZAD_ACTION StopStartedService(MSIHANDLE install)
{
    wchar_t data[32];
    DWORD seconds;
    GetProperty(install, L"CustomActionData", data, 32);
    if (data[0] != L'1' || data[1] != L'|' || !ParseNumber(data + 2, kMaxSeconds, &seconds))
        return ERROR_SUCCESS;
    StopAndWait(install, seconds, true);
    return ERROR_SUCCESS;
}

// Rollback of the whole run. CustomActionData: VizadRun and VizadHad; a
// service that the run found running, not one a first install made.
VIZAD_ACTION StartAgainAfterFailure(MSIHANDLE install)
{
    wchar_t data[64];
    GetProperty(install, L"CustomActionData", data, 64);
    if (data[0] != L'1' || data[1] != L'|' || data[2] == L'|' || data[2] == L'\0')
        return ERROR_SUCCESS;
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, kService, SERVICE_START | SERVICE_QUERY_STATUS) : NULL;
    if (service) {
        StartAndWait(install, service);
        CloseServiceHandle(service);
    }
    if (manager)
        CloseServiceHandle(manager);
    return ERROR_SUCCESS;
}

// Rollback of InstallServices, on a first install (the sequence's
// condition): Windows Installer's own rollback deletes a service that it
// made, Wine's does not. CustomActionData: VizadHad, "||" when there was
// none when the run began.
VIZAD_ACTION DeleteNewService(MSIHANDLE install)
{
    wchar_t data[48];
    GetProperty(install, L"CustomActionData", data, 48);
    if (wcscmp(data, L"||") == 0)
        DeleteZuvo(install, true);
    return ERROR_SUCCESS;
}
