// The package's round trip of the service's settings across an upgrade
// (src/msi/state.cpp), through its own pointers: Wine's manager keeps no
// recovery actions and no failure flag, so only here are they shown.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "msi/state.h"

static SC_ACTION actions[] = { { SC_ACTION_RESTART, 60000 }, { SC_ACTION_RUN_COMMAND, 5000 }, { SC_ACTION_NONE, 0 } };
static SERVICE_FAILURE_ACTIONSW before = { 86400, const_cast<LPWSTR>(L"going | down"),
                                           const_cast<LPWSTR>(L"C:\\t\\n.cmd a|b"), 3, actions };
static const wchar_t *account;
static std::wstring setAccount, setReboot, setCommand;
static const wchar_t *setPassword;
static std::vector<SC_ACTION> setActions;
static DWORD setReset, setFlag;

static BOOL WINAPI Query(SC_HANDLE, LPQUERY_SERVICE_CONFIGW config, DWORD, LPDWORD)
{
    config->lpServiceStartName = const_cast<LPWSTR>(account);
    return TRUE;
}
static BOOL WINAPI Query2(SC_HANDLE, DWORD level, LPBYTE buf, DWORD, LPDWORD)
{
    if (level == SERVICE_CONFIG_FAILURE_ACTIONS_FLAG)
        reinterpret_cast<SERVICE_FAILURE_ACTIONS_FLAG *>(buf)->fFailureActionsOnNonCrashFailures = TRUE;
    else
        *reinterpret_cast<SERVICE_FAILURE_ACTIONSW *>(buf) = before;
    return TRUE;
}
static BOOL WINAPI Change(SC_HANDLE, DWORD, DWORD, DWORD, LPCWSTR, LPCWSTR, LPDWORD, LPCWSTR, LPCWSTR account,
                          LPCWSTR password, LPCWSTR)
{
    setAccount = account;
    setPassword = password;
    return TRUE;
}
static BOOL WINAPI Change2(SC_HANDLE, DWORD level, LPVOID info)
{
    if (level == SERVICE_CONFIG_FAILURE_ACTIONS_FLAG) {
        setFlag = static_cast<SERVICE_FAILURE_ACTIONS_FLAG *>(info)->fFailureActionsOnNonCrashFailures;
        return TRUE;
    }
    SERVICE_FAILURE_ACTIONSW *set = static_cast<SERVICE_FAILURE_ACTIONSW *>(info);
    setReset = set->dwResetPeriod;
    setReboot = set->lpRebootMsg ? set->lpRebootMsg : L"(kept)";
    setCommand = set->lpCommand ? set->lpCommand : L"(kept)";
    // No array: no change (the actions stay).
    if (set->lpsaActions)
        setActions.assign(set->lpsaActions, set->lpsaActions + set->cActions);
    return TRUE;
}

// A recovery command is never set from what was read in the installing
// user's context: none takes its place, and the command is handed back for
// the log. A password cannot be carried: the account is set and the
// password left as it is (NULL), or the empty one for an account without.
TEST(MsiState, AccountRecoveryActionsAndFlagAreSetAgain)
{
    pfnQueryServiceConfig = Query;
    pfnQueryServiceConfig2 = Query2;
    pfnChangeServiceConfig = Change;
    pfnChangeServiceConfig2 = Change2;
    // account | password set
    const wchar_t *rows[][2] = { { L"NT SERVICE\\ZUVO", L"" }, { L"CORP\\svc-zuvo", L"(kept)" } };
    for (auto &row : rows) {
        account = row[0];
        setAccount.clear();
        wchar_t text[2048], dropped[64];
        ASSERT_EQ(ReadServiceSettings(NULL, text, 2048), (DWORD)ERROR_SUCCESS);
        ASSERT_EQ(RestoreServiceSettings(NULL, text, dropped, 64), (DWORD)ERROR_SUCCESS);
        EXPECT_EQ(setAccount, row[0]);
        EXPECT_EQ(std::wstring(setPassword ? setPassword : L"(kept)"), row[1]) << row[0];
        EXPECT_EQ(setReset, 86400u);
        EXPECT_EQ(setReboot, before.lpRebootMsg);
        EXPECT_EQ(setCommand, L"(kept)");
        EXPECT_STREQ(dropped, before.lpCommand);
        ASSERT_EQ(setActions.size(), 3u);
        const SC_ACTION_TYPE types[] = { SC_ACTION_RESTART, SC_ACTION_NONE, SC_ACTION_NONE };
        for (size_t i = 0; i < 3; ++i)
            EXPECT_TRUE(setActions[i].Type == types[i] && setActions[i].Delay == actions[i].Delay) << i;
        EXPECT_EQ(setFlag, (DWORD)TRUE);
    }
}

// RESTARTDELAY: three restarts after its delay, the count reset after a
// day, the failure flag on; 0 takes them away (no actions, the array given)
// and the flag off.
TEST(MsiState, RestartAfterFailure)
{
    pfnChangeServiceConfig2 = Change2;
    // seconds | actions | delay of each | flag
    const DWORD rows[][4] = { { 60, 3, 60000, TRUE }, { 0, 0, 0, FALSE } };
    for (auto &row : rows) {
        setActions.assign(5, SC_ACTION{ SC_ACTION_NONE, 1 });
        setFlag = 7;
        ASSERT_EQ(SetRestartAfterFailure(NULL, row[0]), (DWORD)ERROR_SUCCESS);
        ASSERT_EQ(setActions.size(), (size_t)row[1]) << row[0];
        for (auto &action : setActions)
            EXPECT_TRUE(action.Type == SC_ACTION_RESTART && action.Delay == row[2]) << row[0];
        EXPECT_EQ(setReset, 86400u);
        EXPECT_EQ(setFlag, row[3]) << row[0];
    }
}
