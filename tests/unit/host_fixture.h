// The shared fixture of the unit tests: a fresh fake manager and fresh host
// state for every case.
#ifndef VIZAD_TESTS_UNIT_HOST_FIXTURE_H
#define VIZAD_TESTS_UNIT_HOST_FIXTURE_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "fake_advapi.h"
#include "service/host.h"
#include "zuvo/supervisor.h"

static const SERVICE_STATUS_HANDLE kFakeStatusHandle = (SERVICE_STATUS_HANDLE)0x5151;

class HostTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake = FakeAdvapi();
        // The cases' scripts lie in their own scratch tree, which the fake
        // hands out as Administrators' own: the check never reads the disk.
        const char *base = getenv("VIZAD_TEST_DIR");
        fake.cleanTree = base ? base : "C:\\vizad-tests";
        bDebug = FALSE;
        dwErr = 0;
        memset(&ssStatus, 0, sizeof ssStatus);
        ssStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        sshStatusHandle = kFakeStatusHandle;
        qelctl = nullptr;  // formed afresh by each case (ctest runs each in its own process)
        InitOnceInitialize(&ioRoot);  // and the root read afresh
        stoprequested = FALSE;
        stopstarted = FALSE;
        dwEndCode = NO_ERROR;
        SetRoot(nullptr);
    }

    void TearDown() override
    {
        EXPECT_EQ(hServerStopEvent, (HANDLE)NULL) << "the stop event outlived the start routine";
        EXPECT_EQ(fake.openSources, 0) << "an event source was left open";
        EXPECT_EQ(FakeOpenObjects(), 0u) << "an object on the script's path was left open";
        fake.onReport = nullptr;
    }

    // Sets ZOVOVEV in the C runtime's table, which the host reads; NULL unsets it.
    static void SetRoot(const char *root)
    {
        std::string entry = std::string(ROOT_VARIABLE) + "=" + (root ? root : "");
        _putenv(entry.c_str());
    }

    // The same from Unicode, for a value that the ANSI code page may spell otherwise.
    static void SetWideRoot(const std::wstring &root)
    {
        _wputenv((L"" ROOT_VARIABLE L"=" + root).c_str());
    }

    static SERVICE_STATUS Status(DWORD state, DWORD accepted, DWORD exitCode, DWORD checkPoint,
                                 DWORD waitHint)
    {
        SERVICE_STATUS s = { SERVICE_WIN32_OWN_PROCESS, state, accepted, exitCode, 0,
                             checkPoint, waitHint };
        return s;
    }
};

::testing::AssertionResult SameStatus(const SERVICE_STATUS &actual, const SERVICE_STATUS &expected);

#endif
