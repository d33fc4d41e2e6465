// Which broad group can change a file or folder, decided from descriptors
// written in SDDL as the system would hand them out.
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include <string>

#include "fake_advapi.h"
#include "service/host.h"
#include "zuvo/supervisor.h"

// The SID string of the group found, "" for none. An empty SDDL stands for
// a NULL DACL, made by hand: Wine reads "D:NO_ACCESS_CONTROL" as an empty
// DACL instead.
static std::string BroadWriter(const char *sddl, BOOL folder)
{
    PSECURITY_DESCRIPTOR sd = NULL;
    SECURITY_DESCRIPTOR absolute;
    BYTE nullDacl[64];
    DWORD size = sizeof nullDacl;
    if (!*sddl) {
        InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&absolute, TRUE, NULL, FALSE);
        if (!MakeSelfRelativeSD(&absolute, nullDacl, &size))
            return "(no NULL DACL, " + std::to_string(GetLastError()) + ")";
    } else if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd,
                                                                     NULL)) {
        return "(bad SDDL, " + std::to_string(GetLastError()) + ")";
    }
    const SID *writer = FindBroadWriter(sd ? sd : nullDacl, folder);
    std::string result;
    char *text = NULL;
    if (writer != NULL && ConvertSidToStringSidA(const_cast<SID *>(writer), &text)) {
        result = text;
        LocalFree(text);
    } else if (writer != NULL) {
        result = "(unnamed)";
    }
    LocalFree(sd);
    return result;
}

TEST(BroadWriters, OnlyAdministratorsAndNamedAccountsMayChangeWhatTheServiceRuns)
{
    // What C:\Program Files hands down to a folder an elevated administrator
    // makes there, and what C:\ hands down to one made at its top.
    const std::string programFiles =
        "O:BAD:AI(A;ID;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)"
        "(A;OICIIOID;GA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)"
        "(A;ID;FA;;;SY)(A;OICIIOID;GA;;;SY)(A;ID;FA;;;BA)(A;OICIIOID;GA;;;BA)"
        "(A;ID;0x1200a9;;;BU)(A;OICIIOID;GXGR;;;BU)(A;OICIIOID;GA;;;CO)"
        "(A;ID;0x1200a9;;;S-1-15-2-1)(A;OICIIOID;GXGR;;;S-1-15-2-1)";
    const std::string topOfC =
        "O:S-1-5-21-1-2-3-1001D:AI(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)(A;OICIID;0x1200a9;;;BU)"
        "(A;ID;0x1301bf;;;AU)(A;OICIIOID;SDGXGWGR;;;AU)";
    const std::string admins = "(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";
    const struct {
        const char *what;
        std::string sddl;
        BOOL folder;
        const char *writer;
    } cases[] = {
        { "made by an administrator under Program Files", programFiles, TRUE, "" },
        { "a script made there", programFiles, FALSE, "" },
        { "made at the top of C:", topOfC, TRUE, "S-1-5-11" },
        // Adding a subfolder replaces nothing the host runs; on a file the
        // same bit is append data.
        { "Users may only add folders", "O:BAD:" + admins + "(A;;0x100004;;;BU)", TRUE, "" },
        { "append data on the script", "O:BAD:" + admins + "(A;;0x100004;;;BU)", FALSE,
          "S-1-5-32-545" },
        { "Everyone denied before Users allowed", "D:(D;;FA;;;WD)(A;;FA;;;BU)", FALSE, "" },
        { "Users allowed before Everyone denied", "D:(A;;FA;;;BU)(D;;FA;;;WD)", FALSE,
          "S-1-5-32-545" },
        { "a deny of writing leaves deleting", "D:(D;;0x6;;;WD)(A;;FA;;;BU)", FALSE,
          "S-1-5-32-545" },
        { "inherit-only full control", "D:(A;OICIIO;FA;;;WD)" + admins, TRUE, "" },
        { "NULL DACL", "", FALSE, "S-1-1-0" },
        { "no DACL at all", "O:BA", TRUE, "S-1-1-0" },
        { "empty DACL", "O:BAD:", FALSE, "" },
        { "owned by Everyone", "O:WDD:" + admins, TRUE, "S-1-1-0" },
        { "generic write", "D:(A;;GW;;;IU)", FALSE, "S-1-5-4" },
        { "generic all", "D:(A;;GA;;;AN)", TRUE, "S-1-5-7" },
        { "maximum allowed", "D:(A;;0x2000000;;;NU)", FALSE, "S-1-5-2" },
        { "write DAC alone", "D:(A;;WD;;;AU)", FALSE, "S-1-5-11" },
        { "write owner alone", "D:(A;;WO;;;S-1-5-3)", TRUE, "S-1-5-3" },
        { "delete alone", "D:(A;;SD;;;S-1-5-6)", FALSE, "S-1-5-6" },
        { "delete child on bin", "D:(A;;0x40;;;S-1-5-15)", TRUE, "S-1-5-15" },
        { "delete child means nothing on a file", "D:(A;;0x40;;;S-1-5-15)", FALSE, "" },
        { "add file on bin", "D:(A;;0x2;;;S-1-5-113)", TRUE, "S-1-5-113" },
        { "read, execute and attributes", "D:(A;;0x1201a9;;;BG)", FALSE, "" },
        { "guests may write", "D:(A;;0x2;;;BG)", FALSE, "S-1-5-32-546" },
        { "app packages may write", "D:(A;;FA;;;S-1-15-2-1)", FALSE, "S-1-15-2-1" },
        { "a named user with full control", "D:(A;;FA;;;S-1-5-21-1-2-3-1001)" + admins, TRUE, "" },
        { "Domain Users", "D:(A;;FA;;;S-1-5-21-1004336348-1177238915-682003330-513)", FALSE,
          "S-1-5-21-1004336348-1177238915-682003330-513" },
        { "Domain Guests", "D:(A;;FA;;;S-1-5-21-7-8-9-514)", TRUE, "S-1-5-21-7-8-9-514" },
        // Well-known groups that only look like broad ones.
        { "Administrators", "D:(A;;FA;;;S-1-5-32-544)", FALSE, "" },
        { "Domain Admins", "D:(A;;FA;;;S-1-5-21-7-8-9-512)", FALSE, "" },
        { "a 513 short of the domain shape", "D:(A;;FA;;;S-1-5-21-7-8-513)", FALSE, "" },
        { "a 513 with a part more", "D:(A;;FA;;;S-1-5-21-7-8-9-513-1)", FALSE, "" },
        { "Local account and administrator", "D:(A;;FA;;;S-1-5-114)", FALSE, "" },
        { "restricted app packages", "D:(A;;FA;;;S-1-15-2-2)", FALSE, "" },
        { "LOCAL", "D:(A;;FA;;;S-1-2-0)", FALSE, "" },
        { "a sub-authority below Authenticated Users", "D:(A;;FA;;;S-1-5-11-0)", FALSE, "" },
        { "BUILTIN itself", "D:(A;;FA;;;S-1-5-32)", FALSE, "" },
        { "CREATOR OWNER", "D:(A;;FA;;;CO)", TRUE, "" },
    };
    for (const auto &c : cases)
        EXPECT_EQ(BroadWriter(c.sddl.c_str(), c.folder), c.writer) << c.what << ": " << c.sddl;
}

// The group as the administrator will look for it, the SID where the system
// has no name for it; security that cannot be read is no reason to trust.
TEST(BroadWriters, TheGroupIsNamedAsTheSystemNamesIt)
{
    const struct {
        const char *sddl;
        DWORD readError;
        DWORD code;
        const char *message;
    } cases[] = {
        { "D:(A;;FA;;;BA)(A;;0x1200a9;;;WD)", 0, NO_ERROR, "" },
        { "D:(A;;FA;;;AU)", 0, ERROR_INVALID_STATE,
          "C:\\U\\bin can be changed by NT AUTHORITY\\Authenticated Users." },
        { "O:WDD:", 0, ERROR_INVALID_STATE, "C:\\U\\bin can be changed by Everyone." },
        // No domain of that SID answers here.
        { "D:(A;;FA;;;S-1-5-21-7-8-9-513)", 0, ERROR_INVALID_STATE,
          "C:\\U\\bin can be changed by S-1-5-21-7-8-9-513." },
        { "", ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, "Who can change C:\\U\\bin cannot be read." },
    };
    for (const auto &c : cases) {
        fake = FakeAdvapi();
        fake.securitySddl = c.sddl;
        fake.securityError = c.readError;
        char message[MSG_SIZE] = "";
        EXPECT_EQ(CheckWhoCanChange("C:\\U\\bin", TRUE, message, sizeof message), c.code) << c.sddl;
        EXPECT_STREQ(message, c.message) << c.sddl;
    }
    fake = FakeAdvapi();
}
