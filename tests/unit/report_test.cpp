// Status reports and event-log entries.
#include "host_fixture.h"

::testing::AssertionResult SameStatus(const SERVICE_STATUS &a, const SERVICE_STATUS &e)
{
    if (memcmp(&a, &e, sizeof a) == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "got {type " << a.dwServiceType << ", state " << a.dwCurrentState << ", accepted "
           << a.dwControlsAccepted << ", exit " << a.dwWin32ExitCode << ", specific "
           << a.dwServiceSpecificExitCode << ", checkpoint " << a.dwCheckPoint << ", hint "
           << a.dwWaitHint << "} want {type " << e.dwServiceType << ", state "
           << e.dwCurrentState << ", accepted " << e.dwControlsAccepted << ", exit "
           << e.dwWin32ExitCode << ", specific " << e.dwServiceSpecificExitCode
           << ", checkpoint " << e.dwCheckPoint << ", hint " << e.dwWaitHint << "}";
}

using ReportTest = HostTest;

static const DWORD kStopAndPreshutdown = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN;

TEST_F(ReportTest, CheckpointAndAcceptedControlsFollowTheState)
{
    struct { DWORD state, exitCode, hint, accepted, checkPointStep; } steps[] = {
        // checkPointStep: 0 means checkpoint 0, n means the counter's n-th value
        { SERVICE_START_PENDING, 0, 3000, 0, 1 },
        { SERVICE_START_PENDING, 0, 3000, 0, 2 },
        { SERVICE_START_PENDING, 0, 3000, 0, 3 },
        { SERVICE_START_PENDING, 0, 3000, 0, 4 },
        { SERVICE_START_PENDING, 0, 3000, 0, 5 },
        { SERVICE_RUNNING, 0, 0, kStopAndPreshutdown, 0 },
        { SERVICE_STOP_PENDING, 0, 0, kStopAndPreshutdown, 6 },
        { SERVICE_STOPPED, 1063, 0, 0, 0 },
    };
    DWORD base = 0;
    for (const auto &s : steps) {
        EXPECT_TRUE(ReportStatusToSCMgr(s.state, s.exitCode, s.hint));
        ASSERT_FALSE(fake.reports.empty());
        const SERVICE_STATUS &got = fake.reports.back();
        if (base == 0)
            base = got.dwCheckPoint;  // 1 in a fresh process
        DWORD cp = s.checkPointStep ? base + s.checkPointStep - 1 : 0;
        EXPECT_TRUE(SameStatus(got, Status(s.state, s.accepted, s.exitCode, cp, s.hint)));
        EXPECT_EQ(fake.reportHandles.back(), kFakeStatusHandle);
    }
    EXPECT_EQ(fake.reports.size(), sizeof steps / sizeof steps[0]);
    // After the stopped report a service reports nothing more.
    EXPECT_FALSE(ReportStatusToSCMgr(SERVICE_STOP_PENDING, 0, 0));
    EXPECT_EQ(fake.reports.size(), sizeof steps / sizeof steps[0]);
    EXPECT_TRUE(fake.events.empty());
}

TEST_F(ReportTest, ConsoleModeLeavesRecordAndCounterAlone)
{
    ASSERT_TRUE(ReportStatusToSCMgr(SERVICE_START_PENDING, 0, 3000));
    DWORD first = fake.reports.back().dwCheckPoint;
    SERVICE_STATUS before = ssStatus;

    bDebug = TRUE;
    EXPECT_TRUE(ReportStatusToSCMgr(SERVICE_START_PENDING, 0, 3000));
    EXPECT_TRUE(ReportStatusToSCMgr(SERVICE_STOP_PENDING, 5, 0));
    fake.failReport = 2;  // would fail if it were sent
    EXPECT_TRUE(ReportStatusToSCMgr(SERVICE_RUNNING, 0, 0));
    EXPECT_TRUE(SameStatus(ssStatus, before));
    EXPECT_EQ(fake.reports.size(), 1u);

    bDebug = FALSE;
    fake.failReport = 0;
    ASSERT_TRUE(ReportStatusToSCMgr(SERVICE_START_PENDING, 0, 3000));
    EXPECT_EQ(fake.reports.back().dwCheckPoint, first + 1);
}

TEST_F(ReportTest, RejectedReportIsLoggedAndReturnsFalse)
{
    fake.failReport = 1;
    fake.failReportError = ERROR_INVALID_SERVICE_CONTROL;
    EXPECT_FALSE(ReportStatusToSCMgr(SERVICE_START_PENDING, 0, 3000));
    EXPECT_EQ(dwErr, (DWORD)ERROR_INVALID_SERVICE_CONTROL);
    std::vector<EventEntry> events = FakeEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].strings,
              (std::vector<std::string>{ "ZUVO error: 1052\n", "SetServiceStatus" }));
    EXPECT_TRUE(ReportStatusToSCMgr(SERVICE_START_PENDING, 0, 3000));
}

TEST_F(ReportTest, MessageLogCapturesTheLastErrorFirst)
{
    // Code 0 is no failure: an information entry.
    struct { DWORD code; const char *first; WORD type; } cases[] = {
        { ERROR_ACCESS_DENIED, "ZUVO error: 5\n", EVENTLOG_ERROR_TYPE },
        { 0, "ZUVO error: 0\n", EVENTLOG_INFORMATION_TYPE },
        { ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, "ZUVO error: 1063\n", EVENTLOG_ERROR_TYPE },
        { 0xFFFFFFFF, "ZUVO error: -1\n", EVENTLOG_ERROR_TYPE },  // signed decimal
    };
    for (const auto &c : cases) {
        fake.events.clear();
        SetLastError(c.code);
        AddToMessageLog("what happened\n");
        EXPECT_EQ(dwErr, c.code);
        std::vector<EventEntry> events = FakeEvents();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].source, "ZUVO");
        EXPECT_EQ(events[0].type, c.type);
        EXPECT_EQ(events[0].category, 0);
        EXPECT_EQ(events[0].eventId, 0u);
        EXPECT_EQ(events[0].strings, (std::vector<std::string>{ c.first, "what happened\n" }));
        EXPECT_EQ(fake.sourceServer, "(local)");
    }
}

TEST_F(ReportTest, MessageLogWithoutSourceStillKeepsTheCode)
{
    fake.sourceFails = true;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    AddToMessageLog("lost");
    EXPECT_EQ(dwErr, (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_TRUE(fake.events.empty());
}

TEST_F(ReportTest, MessageLogIsSilentInConsoleMode)
{
    bDebug = TRUE;
    dwErr = 77;
    SetLastError(ERROR_ACCESS_DENIED);
    AddToMessageLog("not logged");
    EXPECT_EQ(dwErr, 77u);
    EXPECT_TRUE(fake.events.empty());
}
