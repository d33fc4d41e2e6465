// What the package's custom actions share: the log, the properties, the
// words of the settings, and the steps that several actions take. Each
// concern has its file: stop.cpp (the stops and waits), checks.cpp (the
// checks before anything changes), configure.cpp (configure, save and
// restore), rollback.cpp (the rollback steps), removal.cpp (the upgrade's
// mark and the removal for good). The entry points are the package's.
#ifndef VIZAD_MSI_ACTION_H
#define VIZAD_MSI_ACTION_H

#include <windows.h>
#include <msiquery.h>

#define VIZAD_ACTION extern "C" __declspec(dllexport) UINT __stdcall

extern const wchar_t kService[];
static const DWORD kPollMs = 250;
// The largest count of seconds whose milliseconds fit in a DWORD.
static const DWORD kMaxSeconds = 0xFFFFFFFF / 1000;

// One line in the installer's log (msiexec /l*v), formatted as swprintf.
void Log(MSIHANDLE install, const wchar_t *format, ...);
// A property's value into buf (count characters); "" when unset or too long.
void GetProperty(MSIHANDLE install, const wchar_t *name, wchar_t *buf, DWORD count);
// Whether text is a decimal number no larger than max, into *value.
bool ParseNumber(const wchar_t *text, DWORD max, DWORD *value);
// STARTTYPE's words (sc.exe's: demand, auto, delayed-auto), and with
// disabled, what a service may have that no command line gives.
bool ParseStartType(const wchar_t *text, DWORD *type, BOOL *delayed, bool disabled = false);
const wchar_t *StartTypeWord(DWORD type, BOOL delayed);
// Splits text at each '|' into at most count fields; the number found.
size_t SplitFields(wchar_t *text, wchar_t **fields, size_t count);

// stop.cpp
bool StopAndWait(MSIHANDLE install, DWORD seconds, bool stop);
void StartAndWait(MSIHANDLE install, SC_HANDLE service);
// removal.cpp: deletes the service; with onlyNew, only one that looks as a
// registration just made. An error code; a service already gone is none.
DWORD DeleteZuvo(MSIHANDLE install, bool onlyNew);

#endif
