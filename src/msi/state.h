// The service's own settings that an upgrade would lose, as text
// (src/msi/state.cpp), and the calls that read and set them.
#ifndef VIZAD_MSI_STATE_H
#define VIZAD_MSI_STATE_H

#include <windows.h>

// The most recovery actions kept (sc.exe's guide sets three).
static const unsigned long kMaxActions = 16;

extern BOOL(WINAPI *pfnQueryServiceConfig)(SC_HANDLE, LPQUERY_SERVICE_CONFIGW, DWORD, LPDWORD);
extern BOOL(WINAPI *pfnQueryServiceConfig2)(SC_HANDLE, DWORD, LPBYTE, DWORD, LPDWORD);
extern BOOL(WINAPI *pfnChangeServiceConfig)(SC_HANDLE, DWORD, DWORD, DWORD, LPCWSTR, LPCWSTR, LPDWORD, LPCWSTR,
                                            LPCWSTR, LPCWSTR, LPCWSTR);
extern BOOL(WINAPI *pfnChangeServiceConfig2)(SC_HANDLE, DWORD, LPVOID);

// Whether the account logs on with a password, which no upgrade can keep.
bool AccountHasPassword(const wchar_t *account);
// The account (when not LocalSystem), the failure flag and the recovery
// actions of the open service, as text (count characters); an error code.
DWORD ReadServiceSettings(SC_HANDLE service, wchar_t *text, size_t count);
// Sets what the text says again, on a new registration; an error code. A
// recovery action that runs a command is not set (none in its place), and
// its command goes to dropped (count characters; "" when there is none).
DWORD RestoreServiceSettings(SC_HANDLE service, const wchar_t *text, wchar_t *dropped, size_t count);
// Whether the service looks as a registration just made: LocalSystem, and
// no recovery actions.
bool IsNewRegistration(SC_HANDLE service);
// The start type, delayed start, preshutdown timeout and error control; an
// error code.
DWORD ReadOwnedSettings(SC_HANDLE service, DWORD *type, BOOL *delayed, DWORD *preshutdown, DWORD *errorControl);
// RESTARTDELAY: with seconds, kRestartActions restarts after that delay and
// the failure flag on, so that a stop with an exit code that is not 0
// counts as a failure; with 0, no recovery actions and the flag off. An
// error code (ERROR_INVALID_LEVEL from a manager that keeps none).
static const unsigned long kRestartActions = 3;
static const unsigned long kRestartResetSeconds = 86400;
DWORD SetRestartAfterFailure(SC_HANDLE service, DWORD seconds);

#endif
