// Counting running processes, for the tests and the benchmark driver alike.
#ifndef VIZAD_TESTS_E2E_PROCESSES_H
#define VIZAD_TESTS_E2E_PROCESSES_H

#include <windows.h>
#include <stddef.h>

// Running processes whose image name matches, case ignored.
size_t CountProcesses(const char *imageName);
// Running processes that parentPid, a running process, created.
size_t CountChildProcesses(DWORD parentPid);

#endif
