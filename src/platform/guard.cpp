// The stack protector's guard value and its failure routine. The compiler's
// own library seeds the guard through the CryptoAPI, which loads three more
// DLLs into every start of the host; a mix of per-process values does the
// job without them. This file is built without the protector: it runs
// before any protected function and must not check a guard it is setting.
#include <windows.h>

#include <stdint.h>

// The names are the compiler's: protected code refers to them.
extern "C" {
void *__stack_chk_guard;       // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
void __stack_chk_fail(void);   // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
}

// A smashed stack: end at once, with the status the system uses for it.
void __stack_chk_fail(void)
{
    TerminateProcess(GetCurrentProcess(), 0xC0000409 /* STATUS_STACK_BUFFER_OVERRUN */);
    for (;;)
        Sleep(INFINITE);
}

static void SeedStackGuard(void)
{
    LARGE_INTEGER counter;
    FILETIME now;
    uintptr_t value;

    QueryPerformanceCounter(&counter);
    GetSystemTimeAsFileTime(&now);
    value = (uintptr_t)counter.QuadPart ^ (uintptr_t)(counter.QuadPart >> 32);
    value ^= (uintptr_t)now.dwLowDateTime ^ ((uintptr_t)now.dwHighDateTime << 7);
    value ^= (uintptr_t)GetCurrentProcessId() << 16 ^ (uintptr_t)GetCurrentThreadId();
    value ^= (uintptr_t)GetTickCount() << 11;
    value ^= (uintptr_t)&value;  // where the stack is, which ASLR varies
    if (value == 0)
        value = (uintptr_t)0x2B992DDFA23249D6ULL;
    __stack_chk_guard = reinterpret_cast<void *>(value);
}

// Run by the C runtime's start-up, with the other initialisers, before main.
__attribute__((section(".CRT$XCT"), used)) static void (*const pSeedStackGuard)(void) =
    SeedStackGuard;
