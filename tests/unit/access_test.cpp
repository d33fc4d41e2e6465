// Who may change what the service runs: the decision over descriptors
// written in SDDL (or byte by byte where Wine's parser has no form), the
// naming of what it finds, and the walk up a path through a fake that hands
// out a descriptor per path.
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "access/access.h"
#include "fake_advapi.h"
#include "platform/advapi.h"
#include "service/host.h"

static const char kSelf[] = "S-1-5-21-1-2-3-1001";   // the host's own account in these rows
static const char kUser[] = "S-1-5-21-1-2-3-1002";   // a named account, no administrator
static const char kInstaller[] =
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

static std::string SidText(const SID *sid)
{
    char *text = NULL;
    if (sid == NULL)
        return "";
    if (!ConvertSidToStringSidA(const_cast<SID *>(sid), &text))
        return "(unnamed)";
    std::string result = text;
    LocalFree(text);
    return result;
}

// A self-relative descriptor, owned by Administrators, whose DACL holds the
// given ACEs as they stand: type, mask, SID and, for the conditional types,
// a condition (its bytes only need to be there). The object types carry
// flags of 0 (no GUID) before the SID; a NULL SID leaves a bare header of 4
// bytes. extraCount ACEs more are claimed than the DACL holds.
struct RawAce {
    BYTE type;
    DWORD mask;
    const char *sid;
};
static std::vector<BYTE> RawDescriptor(const std::vector<RawAce> &aces, WORD extraCount = 0,
                                       int aclSize = -1)
{
    std::vector<BYTE> acl(sizeof(ACL));
    for (const RawAce &a : aces) {
        std::vector<BYTE> ace(sizeof(ACE_HEADER) + sizeof(DWORD));
        if (a.sid == nullptr) {
            ace.resize(sizeof(ACE_HEADER));
        } else {
            PSID sid = NULL;
            if (!ConvertStringSidToSidA(a.sid, &sid))
                return {};
            if (a.type == ACCESS_ALLOWED_OBJECT_ACE_TYPE ||
                a.type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE)
                ace.insert(ace.end(), 4, 0);
            const BYTE *p = static_cast<const BYTE *>(sid);
            ace.insert(ace.end(), p, p + GetLengthSid(sid));
            LocalFree(sid);
            memcpy(ace.data() + sizeof(ACE_HEADER), &a.mask, sizeof a.mask);
        }
        if (a.type == ACCESS_ALLOWED_CALLBACK_ACE_TYPE || a.type == ACCESS_DENIED_CALLBACK_ACE_TYPE ||
            a.type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE)
            ace.insert(ace.end(), { 'a', 'r', 't', 'x', 0x01, 0x00, 0x00, 0x00 });  // a TRUE
        ACE_HEADER header = { a.type, 0, (WORD)ace.size() };
        memcpy(ace.data(), &header, sizeof header);
        acl.insert(acl.end(), ace.begin(), ace.end());
    }
    ACL head = { ACL_REVISION, 0, (WORD)(aclSize >= 0 ? aclSize : (int)acl.size()),
                 (WORD)(aces.size() + extraCount), 0 };
    memcpy(acl.data(), &head, sizeof head);
    PSID owner = NULL;
    ConvertStringSidToSidA("S-1-5-32-544", &owner);
    std::vector<BYTE> sd(sizeof(SECURITY_DESCRIPTOR_RELATIVE));
    SECURITY_DESCRIPTOR_RELATIVE rel = {};
    rel.Revision = SECURITY_DESCRIPTOR_REVISION;
    rel.Control = SE_SELF_RELATIVE | SE_DACL_PRESENT;
    rel.Owner = (DWORD)sd.size();
    const BYTE *o = static_cast<const BYTE *>(owner);
    sd.insert(sd.end(), o, o + GetLengthSid(owner));
    LocalFree(owner);
    rel.Dacl = (DWORD)sd.size();
    sd.insert(sd.end(), acl.begin(), acl.end());
    memcpy(sd.data(), &rel, sizeof rel);
    return sd;
}

// The SID string of what the decision finds, "" for nothing. kind: 'f' a
// file the host runs, 'd' a folder it runs from, 'a' a folder above them.
// An empty SDDL stands for a NULL DACL, made by hand: Wine reads
// "D:NO_ACCESS_CONTROL" as an empty DACL instead.
// The trust is the host's own account and two domains: this machine's
// (S-1-5-21-1-2-3) and the one it is joined to (S-1-5-21-7-8-9).
// "(unreadable)" when the DACL cannot be read whole.
static std::string Untrusted(const std::string &sddl, char kind, const char *self = kSelf,
                             const std::vector<BYTE> &raw = {})
{
    PSECURITY_DESCRIPTOR sd = NULL;
    SECURITY_DESCRIPTOR absolute;
    BYTE nullDacl[64];
    DWORD size = sizeof nullDacl;
    PSID selfSid = NULL, machine = NULL, domain = NULL;
    if ((self && !ConvertStringSidToSidA(self, &selfSid)) ||
        !ConvertStringSidToSidA("S-1-5-21-1-2-3", &machine) ||
        !ConvertStringSidToSidA("S-1-5-21-7-8-9", &domain))
        return "(bad self)";
    if (!raw.empty()) {
        // given as it stands
    } else if (sddl.empty()) {
        InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&absolute, TRUE, NULL, FALSE);
        if (!MakeSelfRelativeSD(&absolute, nullDacl, &size))
            return "(no NULL DACL, " + std::to_string(GetLastError()) + ")";
    } else if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                                     &sd, NULL)) {
        return "(bad SDDL, " + std::to_string(GetLastError()) + ")";
    }
    PSECURITY_DESCRIPTOR given = !raw.empty() ? (PSECURITY_DESCRIPTOR)raw.data()
                                 : sd        ? sd
                                             : nullDacl;
    AccessTrust trust = { static_cast<const SID *>(selfSid),
                          { static_cast<const SID *>(machine), static_cast<const SID *>(domain) } };
    const SID *found = kind == 'a' ? FindUntrustedReplacer(given, &trust)
                                   : FindUntrustedWriter(given, kind == 'd', &trust);
    std::string result = found == &sidUnreadable ? "(unreadable)" : SidText(found);
    LocalFree(sd);
    LocalFree(selfSid);
    LocalFree(machine);
    LocalFree(domain);
    return result;
}

TEST(Access, OnlyTheSystemAdministratorsAndTheHostsOwnAccountMayChangeWhatTheServiceRuns)
{
    // Real Windows, by default: C:\, C:\Program Files and C:\ProgramData;
    // what C:\Program Files hands down to a folder an elevated administrator
    // makes there, and what C:\ hands down to one made at its top.
    const std::string ti = kInstaller;
    const std::string driveC = "O:" + ti + "D:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)"
                               "(A;OICI;0x1200a9;;;BU)(A;OICIIO;SDGXGWGR;;;AU)(A;;0x4;;;AU)";
    const std::string programFilesItself =
        "O:" + ti + "D:PAI(A;;FA;;;" + ti + ")(A;CIIO;GA;;;" + ti + ")(A;;0x1301bf;;;SY)"
        "(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)(A;;0x1200a9;;;BU)"
        "(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;S-1-15-2-1)"
        "(A;OICIIO;GXGR;;;S-1-15-2-1)(A;;0x1200a9;;;S-1-15-2-2)(A;OICIIO;GXGR;;;S-1-15-2-2)";
    const std::string programData = "O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)"
                                    "(A;OICI;0x1200a9;;;BU)(A;CI;0x116;;;BU)";
    const std::string underProgramFiles =
        "O:BAD:AI(A;ID;FA;;;" + ti + ")(A;OICIIOID;GA;;;" + ti + ")"
        "(A;ID;FA;;;SY)(A;OICIIOID;GA;;;SY)(A;ID;FA;;;BA)(A;OICIIOID;GA;;;BA)"
        "(A;ID;0x1200a9;;;BU)(A;OICIIOID;GXGR;;;BU)(A;OICIIOID;GA;;;CO)"
        "(A;ID;0x1200a9;;;S-1-15-2-1)(A;OICIIOID;GXGR;;;S-1-15-2-1)";
    const std::string topOfC = "O:BAD:AI(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)(A;OICIID;0x1200a9;;;BU)"
                               "(A;ID;0x1301bf;;;AU)(A;OICIIOID;SDGXGWGR;;;AU)";
    const std::string admins = "(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";
    const std::string user = kUser;
    const struct {
        const char *what;
        std::string sddl;
        char kind;
        const char *found;
        std::vector<BYTE> raw;
    } cases[] = {
        { "C:\\ above the root", driveC, 'a', "" },
        { "C:\\ as the root: Authenticated Users add folders", driveC, 'd', "S-1-5-11" },
        { "C:\\Program Files above the root", programFilesItself, 'a', "" },
        { "C:\\ProgramData above the root: Users only add", programData, 'a', "" },
        { "C:\\ProgramData as the root: Users add files", programData, 'd', "S-1-5-32-545" },
        { "made by an administrator under Program Files", underProgramFiles, 'd', "" },
        { "a script made there", underProgramFiles, 'f', "" },
        { "made at the top of C:", topOfC, 'd', "S-1-5-11" },
        { "above the root, made at the top of C:", topOfC, 'a', "S-1-5-11" },
        // Whoever adds a folder where the host runs owns it; on a file the
        // same bit is append data.
        { "Users may only add folders", "O:BAD:" + admins + "(A;;0x100004;;;BU)", 'd', "S-1-5-32-545" },
        { "append data on the script", "O:BAD:" + admins + "(A;;0x100004;;;BU)", 'f',
          "S-1-5-32-545" },
        { "adding files above replaces nothing", "O:BAD:" + admins + "(A;;0x100006;;;WD)", 'a', "" },
        { "delete child above", "O:BAD:" + admins + "(A;;0x40;;;WD)", 'a', "S-1-1-0" },
        { "delete above", "O:BAD:" + admins + "(A;;SD;;;BU)", 'a', "S-1-5-32-545" },
        { "write DAC above", "O:BAD:" + admins + "(A;;WD;;;BU)", 'a', "S-1-5-32-545" },
        { "inherit-only full control", "D:(A;OICIIO;FA;;;WD)" + admins, 'd', "" },
        { "NULL DACL", "", 'f', "S-1-1-0" },
        { "no DACL at all", "O:BA", 'd', "S-1-1-0" },
        { "empty DACL", "O:BAD:", 'f', "" },
        // Denies as they apply to different people.
        // A deny for Everyone covers only groups whose every member holds
        // Everyone: never a local group, to which ANONYMOUS LOGON may be
        // added, nor NETWORK, which an anonymous network logon holds.
        { "Everyone denied before Users allowed", "D:(D;;FA;;;WD)(A;;FA;;;BU)", 'f',
          "S-1-5-32-545" },
        { "Everyone denied before NETWORK allowed", "D:(D;;FA;;;WD)(A;;FA;;;NU)", 'f', "S-1-5-2" },
        { "Everyone denied before INTERACTIVE allowed", "D:(D;;FA;;;WD)(A;;FA;;;IU)", 'f', "" },
        { "Everyone denied before a domain group allowed", "D:(D;;FA;;;WD)(A;;FA;;;S-1-5-21-7-8-9-513)",
          'f', "S-1-5-21-7-8-9-513" },
        // Generic rights are mapped before they are taken away.
        { "generic all denied before the same group's allow", "D:(D;;GA;;;BU)(A;;FA;;;BU)", 'f', "" },
        { "generic write denied before writing allowed", "D:(D;;GW;;;BU)(A;;0x6;;;BU)", 'f', "" },
        { "Everyone denied before Authenticated Users allowed", "D:(D;;FA;;;WD)(A;;FA;;;AU)", 'd',
          "" },
        { "Everyone denied: Anonymous is not in it", "D:(D;;FA;;;WD)(A;;FA;;;AN)", 'f', "S-1-5-7" },
        { "Authenticated Users denied, Everyone allowed: Guest writes",
          "D:(D;;FA;;;AU)(A;;FA;;;WD)", 'f', "S-1-1-0" },
        { "Users denied, Everyone allowed", "D:(D;;FA;;;BU)(A;;FA;;;WD)", 'd', "S-1-1-0" },
        { "the same SID denied first", "D:(D;;FA;;;BU)(A;;FA;;;BU)", 'f', "" },
        { "denied after the allow", "D:(A;;FA;;;BU)(D;;FA;;;WD)", 'f', "S-1-5-32-545" },
        { "Everyone allowed to modify, then denied", "D:(A;;0x1301bf;;;WD)(D;;FA;;;WD)", 'f', "S-1-1-0" },
        { "a deny of writing leaves deleting", "D:(D;;0x6;;;WD)(A;;FA;;;BU)", 'f', "S-1-5-32-545" },
        { "an inherit-only deny holds nothing", "D:(D;OICIIO;FA;;;WD)(A;;FA;;;BU)", 'f',
          "S-1-5-32-545" },
        { "Everyone denied for what is made inside, Authenticated Users modify",
          "D:(D;OICIIO;FA;;;WD)(A;;0x1301bf;;;AU)", 'f', "S-1-5-11" },
        { "a conditional allow", "", 'f', "S-1-5-11",
          RawDescriptor({ { ACCESS_ALLOWED_ACE_TYPE, FILE_ALL_ACCESS, "S-1-5-32-544" },
                          { ACCESS_ALLOWED_CALLBACK_ACE_TYPE, FILE_ALL_ACCESS, "S-1-5-11" } }) },
        { "a conditional deny protects nothing", "", 'd', "S-1-5-11",
          RawDescriptor({ { ACCESS_DENIED_CALLBACK_ACE_TYPE, FILE_ALL_ACCESS, "S-1-1-0" },
                          { ACCESS_ALLOWED_ACE_TYPE, FILE_ALL_ACCESS, "S-1-5-11" } }) },
        { "the same built by hand, unconditional", "", 'd', "",
          RawDescriptor({ { ACCESS_DENIED_ACE_TYPE, FILE_ALL_ACCESS, "S-1-1-0" },
                          { ACCESS_ALLOWED_ACE_TYPE, FILE_ALL_ACCESS, "S-1-5-11" } }) },
        // What the decision cannot read it never trusts: allow types it
        // does not know count as allows, and a DACL it cannot read whole is
        // refused.
        { "an allowed object ACE", "", 'f', "S-1-1-0",
          RawDescriptor({ { ACCESS_ALLOWED_OBJECT_ACE_TYPE, FILE_ALL_ACCESS, "S-1-1-0" } }) },
        { "an allowed callback object ACE", "", 'd', "S-1-1-0",
          RawDescriptor({ { ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE, FILE_ALL_ACCESS, "S-1-1-0" } }) },
        { "an ACE type never heard of", "", 'f', "S-1-5-32-545",
          RawDescriptor({ { 0x20, FILE_WRITE_DATA, "S-1-5-32-545" } }) },
        { "an ACE of 4 bytes before Everyone's allow", "", 'f', "(unreadable)",
          RawDescriptor({ { ACCESS_ALLOWED_ACE_TYPE, 0, nullptr },
                          { ACCESS_ALLOWED_ACE_TYPE, FILE_ALL_ACCESS, "S-1-1-0" } }) },
        { "a DACL too small for its count", "", 'd', "(unreadable)",
          RawDescriptor({ { ACCESS_ALLOWED_ACE_TYPE, FILE_ALL_ACCESS, "S-1-5-32-544" } }, 1) },
        { "a DACL of 4 bytes", "", 'f', "(unreadable)", RawDescriptor({}, 0, 4) },
        // Owners: an owner may always rewrite the DACL.
        { "owned by Everyone", "O:WDD:" + admins, 'd', "S-1-1-0" },
        { "owned by LOCAL", "O:S-1-2-0D:" + admins, 'd', "S-1-2-0" },
        { "owned by LOCAL SERVICE", "O:LSD:" + admins, 'a', "S-1-5-19" },
        { "owned by a named account", "O:" + user + "D:" + admins, 'd', kUser },
        { "a named account above", "O:" + user + "D:" + admins, 'a', kUser },
        { "owned by the host's own account", std::string("O:") + kSelf + "D:" + admins, 'd', "" },
        { "owned by SYSTEM", "O:SYD:" + admins, 'f', "" },
        { "owned by TrustedInstaller", "O:" + ti + "D:" + admins, 'a', "" },
        // Generic rights and the rights to change.
        { "generic write", "D:(A;;GW;;;IU)", 'f', "S-1-5-4" },
        { "generic all", "D:(A;;GA;;;AN)", 'd', "S-1-5-7" },
        { "maximum allowed", "D:(A;;0x2000000;;;NU)", 'f', "S-1-5-2" },
        { "write owner alone", "D:(A;;WO;;;S-1-5-3)", 'd', "S-1-5-3" },
        { "delete alone", "D:(A;;SD;;;S-1-5-6)", 'f', "S-1-5-6" },
        { "delete child on bin", "D:(A;;0x40;;;S-1-5-15)", 'd', "S-1-5-15" },
        { "delete child means nothing on a file", "D:(A;;0x40;;;S-1-5-15)", 'f', "" },
        { "add file on bin", "D:(A;;0x2;;;S-1-5-113)", 'd', "S-1-5-113" },
        { "read, execute and attributes", "D:(A;;0x1201a9;;;BG)", 'f', "" },
        // Who may write: every SID but the trusted few.
        { "guests", "D:(A;;0x2;;;BG)", 'f', "S-1-5-32-546" },
        { "app packages", "D:(A;;FA;;;S-1-15-2-1)", 'f', "S-1-15-2-1" },
        { "restricted app packages", "D:(A;;FA;;;S-1-15-2-2)", 'f', "S-1-15-2-2" },
        { "a capability", "D:(A;;FA;;;S-1-15-3-1)", 'f', "S-1-15-3-1" },
        { "LOCAL", "D:(A;;FA;;;S-1-2-0)", 'f', "S-1-2-0" },
        { "CONSOLE LOGON", "D:(A;;FA;;;S-1-2-1)", 'd', "S-1-2-1" },
        { "DIALUP", "D:(A;;FA;;;S-1-5-1)", 'f', "S-1-5-1" },
        { "RESTRICTED", "D:(A;;FA;;;S-1-5-12)", 'f', "S-1-5-12" },
        { "TERMINAL SERVER USER", "D:(A;;FA;;;S-1-5-13)", 'f', "S-1-5-13" },
        { "REMOTE INTERACTIVE LOGON", "D:(A;;FA;;;S-1-5-14)", 'a', "S-1-5-14" },
        { "IUSR", "D:(A;;FA;;;S-1-5-17)", 'f', "S-1-5-17" },
        { "LOCAL SERVICE", "D:(A;;FA;;;LS)", 'f', "S-1-5-19" },
        { "NETWORK SERVICE", "D:(A;;FA;;;NS)", 'd', "S-1-5-20" },
        { "NTLM authentication", "D:(A;;FA;;;S-1-5-64-10)", 'f', "S-1-5-64-10" },
        { "Other Organization", "D:(A;;FA;;;S-1-5-1000)", 'f', "S-1-5-1000" },
        { "asserted identity", "D:(A;;FA;;;S-1-18-1)", 'f', "S-1-18-1" },
        { "ALL SERVICES", "D:(A;;FA;;;S-1-5-80-0)", 'f', "S-1-5-80-0" },
        { "another service", "D:(A;;FA;;;S-1-5-80-1-2-3-4-5)", 'f', "S-1-5-80-1-2-3-4-5" },
        { "Power Users", "D:(A;;FA;;;S-1-5-32-547)", 'f', "S-1-5-32-547" },
        { "Remote Desktop Users", "D:(A;;FA;;;S-1-5-32-555)", 'f', "S-1-5-32-555" },
        { "IIS_IUSRS", "D:(A;;FA;;;S-1-5-32-568)", 'f', "S-1-5-32-568" },
        { "BUILTIN itself", "D:(A;;FA;;;S-1-5-32)", 'f', "S-1-5-32" },
        { "Local account and administrator", "D:(A;;FA;;;S-1-5-114)", 'f', "S-1-5-114" },
        { "a sub-authority below Authenticated Users", "D:(A;;FA;;;S-1-5-11-0)", 'f',
          "S-1-5-11-0" },
        { "Domain Users", "D:(A;;FA;;;S-1-5-21-1004336348-1177238915-682003330-513)", 'f',
          "S-1-5-21-1004336348-1177238915-682003330-513" },
        { "Domain Guests", "D:(A;;FA;;;S-1-5-21-7-8-9-514)", 'd', "S-1-5-21-7-8-9-514" },
        { "Domain Computers", "D:(A;;FA;;;S-1-5-21-7-8-9-515)", 'f', "S-1-5-21-7-8-9-515" },
        { "the Guest account", "D:(A;;FA;;;S-1-5-21-7-8-9-501)", 'f', "S-1-5-21-7-8-9-501" },
        { "a named user with full control", "D:(A;;FA;;;" + user + ")" + admins, 'd', kUser },
        { "an authority the host never heard of", "D:(A;;FA;;;S-1-99-1)", 'f', "S-1-99-1" },
        // The trusted, and what only looks like them.
        { "Administrators", "D:(A;;FA;;;S-1-5-32-544)", 'f', "" },
        { "SYSTEM", "D:(A;;FA;;;SY)", 'a', "" },
        { "the built-in Administrator", "D:(A;;FA;;;S-1-5-21-7-8-9-500)", 'f', "" },
        { "this machine's Administrator", "D:(A;;FA;;;S-1-5-21-1-2-3-500)", 'a', "" },
        { "another domain's Administrator", "D:(A;;FA;;;S-1-5-21-111-222-333-500)", 'f',
          "S-1-5-21-111-222-333-500" },
        { "owned by another domain's Domain Admins", "O:S-1-5-21-111-222-333-512D:", 'd',
          "S-1-5-21-111-222-333-512" },
        { "Domain Admins", "D:(A;;FA;;;S-1-5-21-7-8-9-512)", 'd', "" },
        { "Enterprise Admins", "D:(A;;FA;;;S-1-5-21-7-8-9-519)", 'f', "" },
        { "TrustedInstaller", "D:(A;;FA;;;" + ti + ")", 'f', "" },
        { "CREATOR OWNER", "D:(A;;FA;;;CO)", 'd', "" },
        { "CREATOR GROUP", "D:(A;;FA;;;CG)", 'f', "" },
        { "OWNER RIGHTS", "D:(A;;FA;;;S-1-3-4)", 'f', "" },
        { "the host's own account", std::string("D:(A;;FA;;;") + kSelf + ")", 'f', "" },
        { "a 512 short of the domain shape", "D:(A;;FA;;;S-1-5-21-7-8-512)", 'f',
          "S-1-5-21-7-8-512" },
        { "a 500 with a part more", "D:(A;;FA;;;S-1-5-21-7-8-9-500-1)", 'f',
          "S-1-5-21-7-8-9-500-1" },
        { "a 544 outside BUILTIN", "D:(A;;FA;;;S-1-5-33-544)", 'f', "S-1-5-33-544" },
        { "TrustedInstaller's last part changed",
          "D:(A;;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478465)", 'f',
          "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478465" },
    };
    for (const auto &c : cases)
        EXPECT_EQ(Untrusted(c.sddl, c.kind, kSelf, c.raw), c.found) << c.what << ": " << c.sddl;
    // Without an account of its own, the host trusts no account as its own.
    EXPECT_EQ(Untrusted(std::string("O:") + kSelf + "D:(A;;FA;;;BA)", 'd', nullptr), kSelf);
}

// What is found, named as the administrator will look for it: the
// system's name, or the SID where it has none or must not be asked; and
// whether it owns the object or can change it.
TEST(Access, TheRefusalNamesTheObjectTheAccountAndWhatItMayDo)
{
    const struct {
        const char *sddl;
        DWORD readError;
        AccessObject kind;
        BOOL lookup;
        DWORD code;
        const char *message;
    } cases[] = {
        { "O:BAD:(A;;FA;;;BA)(A;;0x1200a9;;;WD)", 0, ACCESS_FOLDER, TRUE, NO_ERROR, "" },
        { "O:BAD:(A;;FA;;;AU)", 0, ACCESS_FOLDER, TRUE, ERROR_INVALID_STATE,
          "C:\\U\\bin can be changed by NT AUTHORITY\\Authenticated Users." },
        { "O:BAD:(A;;FA;;;AU)", 0, ACCESS_FOLDER, FALSE, ERROR_INVALID_STATE,
          "C:\\U\\bin can be changed by S-1-5-11." },
        { "O:WDD:", 0, ACCESS_FOLDER, TRUE, ERROR_INVALID_STATE,
          "C:\\U\\bin is owned by Everyone, who can change its rights." },
        { "O:S-1-5-21-7-8-9-1002D:", 0, ACCESS_FILE, TRUE, ERROR_INVALID_STATE,
          "C:\\U\\bin is owned by S-1-5-21-7-8-9-1002, who can change its rights." },
        { "O:BAD:(A;;0x40;;;WD)", 0, ACCESS_FOLDER_ABOVE, TRUE, ERROR_INVALID_STATE,
          "C:\\U\\bin can be changed by Everyone, who could replace C:\\U\\bin\\x." },
        { "O:S-1-2-0D:", 0, ACCESS_FOLDER_ABOVE, TRUE, ERROR_INVALID_STATE,
          "C:\\U\\bin is owned by LOCAL, who could replace C:\\U\\bin\\x." },
        // No domain of that SID answers here.
        { "O:BAD:(A;;FA;;;S-1-5-21-7-8-9-513)", 0, ACCESS_FILE, TRUE, ERROR_INVALID_STATE,
          "C:\\U\\bin can be changed by S-1-5-21-7-8-9-513." },
        // The widest authority written in decimal.
        { "O:BAD:(A;;FA;;;S-1-4294967295-7)", 0, ACCESS_FILE, FALSE, ERROR_INVALID_STATE,
          "C:\\U\\bin can be changed by S-1-4294967295-7." },
        { "", ERROR_ACCESS_DENIED, ACCESS_FILE, TRUE, ERROR_ACCESS_DENIED,
          "Who can change C:\\U\\bin cannot be read." },
        // Nobody owns it: who may rewrite its rights is not known.
        { "D:(A;;FA;;;BA)", 0, ACCESS_FOLDER, TRUE, ERROR_INVALID_SECURITY_DESCR,
          "Who can change C:\\U\\bin cannot be read." },
    };
    const std::string below = "C:\\U\\bin\\x and more";
    const AccessTrust trust = {};
    for (const auto &c : cases) {
        fake = FakeAdvapi();
        fake.securitySddl = c.sddl;
        fake.securityError = c.readError;
        DWORD attributes;
        BOOL held;
        HANDLE object = SecOpenObject("C:\\U\\bin", FILE_SHARE_READ, &attributes, &held);
        char message[MSG_SIZE] = "";
        EXPECT_EQ(CheckWhoCanChange(object, "C:\\U\\bin", c.kind, below.c_str(),
                                    strlen("C:\\U\\bin\\x"), &trust, c.lookup, message,
                                    sizeof message),
                  c.code)
            << c.sddl;
        EXPECT_STREQ(message, c.message) << c.sddl;
        SecCloseObject(object);
    }
    fake = FakeAdvapi();
}

// The walk from the file up to the volume's root: what is opened, from the
// root down, what is read, in order, and what is refused; what is held
// open, and that all of it is closed. Every path not listed cannot be read.
TEST(Access, TheWalkChecksEveryFolderUpToTheVolumesRoot)
{
    const std::string clean = "O:BAD:(A;;FA;;;BA)(A;;FA;;;SY)(A;;0x1200a9;;;WD)";
    const std::string addOnly = "O:BAD:(A;;FA;;;BA)(A;;0x1200af;;;AU)";  // add files and folders
    const std::string deleteChild = "O:BAD:(A;;FA;;;BA)(A;;0x1200e9;;;WD)";
    const std::string ownedByUser = std::string("O:") + kUser + "D:(A;;FA;;;BA)";
    const std::string ownedBySelf = std::string("O:") + kSelf + "D:(A;;FA;;;BA)";
    const std::string writableBySelf = std::string("O:BAD:(A;;FA;;;BA)(A;;FA;;;") + kSelf + ")";
    const std::string script = "C:\\a\\b\\root\\bin\\revaduzeza.bat", mayMove = " is held open by a process that may move or change it.";
    const std::vector<std::string> scriptPath = { script, "C:\\a\\b\\root\\bin",
                                                  "C:\\a\\b\\root", "C:\\a\\b", "C:\\a", "C:\\" };
    const std::string share = "\\\\server\\share\\inst\\bin\\revaduzeza.bat";
    const std::vector<std::string> sharePath = { share, "\\\\server\\share\\inst\\bin",
                                                 "\\\\server\\share\\inst", "\\\\server\\share\\" };
    const std::string device = "\\\\?\\UNC\\server\\share\\inst\\bin\\revaduzeza.bat";
    const std::vector<std::string> devicePath = { device, "\\\\?\\UNC\\server\\share\\inst\\bin",
                                                  "\\\\?\\UNC\\server\\share\\inst",
                                                  "\\\\?\\UNC\\server\\share\\" };
    // Longer than MAX_PATH, with / and .. to resolve: C:\x\y\w\..., never
    // C:\x/y/z\.. as given.
    std::string longFile = "C:\\x/y/z\\..\\w", longFull = "C:\\x\\y\\w";
    for (int i = 0; i < 25; i++) {
        longFile += "\\abcdefghij";
        longFull += "\\abcdefghij";
    }
    std::vector<std::string> longPath = { longFull + "\\f.bat" };
    for (std::string p = longFull; p.size() > 3; p = p.substr(0, p.rfind('\\')))
        longPath.push_back(p);
    longPath.push_back("C:\\");
    longFile += "\\f.bat";
    const std::string longSlash = "C:\\x/y" + longFull.substr(6) + "\\f.bat";
    const std::vector<std::string> toolsPath = { "C:\\Tools\\vizad.exe", "C:\\Tools", "C:\\" };
    const std::vector<std::string> linkPath = { "C:\\j\\bin\\x.bat", "C:\\j\\bin", "C:\\j", "C:\\" };
    const struct {
        const char *what;
        std::string file;
        int folders;
        std::vector<std::string> path;         // every object, from the file up, clean unless below
        std::vector<std::pair<int, std::string>> descriptors;  // index in path, SDDL
        DWORD code;
        std::string message;
        int refused = -1;                      // index in path of the object refused
        bool link = false;                     // refused unread, as a link
        AccessTrustee trustee = ACCESS_AS_SERVICE;
        std::function<void()> setup = nullptr;
    } cases[] = {
        { "clean all the way", script, 2, scriptPath, {}, NO_ERROR, "" },
        { "Authenticated Users only add to C:\\", script, 2, scriptPath, { { 5, addOnly } },
          NO_ERROR, "" },
        { "but on bin, adding files counts", script, 2, scriptPath, { { 1, addOnly } },
          ERROR_INVALID_STATE, "C:\\a\\b\\root\\bin can be changed by S-1-5-11.", 1 },
        { "delete child two levels up", script, 2, scriptPath, { { 4, deleteChild } },
          ERROR_INVALID_STATE, "C:\\a can be changed by S-1-1-0, who could replace C:\\a\\b.", 4 },
        { "the drive's root owned by a user", script, 2, scriptPath, { { 5, ownedByUser } },
          ERROR_INVALID_STATE,
          std::string("C:\\ is owned by ") + kUser + ", who could replace C:\\a.", 5 },
        { "the root owned by a user", script, 2, scriptPath, { { 2, ownedByUser } },
          ERROR_INVALID_STATE,
          std::string("C:\\a\\b\\root is owned by ") + kUser + ", who can change its rights.", 2 },
        { "a share", share, 2, sharePath, {}, NO_ERROR, "" },
        { "a share's root", share, 2, sharePath, { { 3, deleteChild } }, ERROR_INVALID_STATE,
          "\\\\server\\share\\ can be changed by S-1-1-0, who could replace "
          "\\\\server\\share\\inst.", 3 },
        { "a share named in the device form stops at the share's root", device, 2, devicePath,
          {}, NO_ERROR, "" },
        // Its folder is C:\, never C:, which is drive C's current folder.
        { "vizad.exe at the top of a drive", "C:\\vizad.exe", 1, { "C:\\vizad.exe", "C:\\" }, {},
          NO_ERROR, "" },
        { "the folder of vizad.exe", "C:\\Tools\\vizad.exe", 1, toolsPath, { { 1, addOnly } },
          ERROR_INVALID_STATE, "C:\\Tools can be changed by S-1-5-11.", 1 },
        { "above the folder of vizad.exe, adding is no harm", "C:\\Tools\\vizad.exe", 1,
          toolsPath, { { 2, addOnly } }, NO_ERROR, "" },
        { "dots are resolved first", "C:\\a\\.\\b\\..\\c\\x.bat", 1,
          { "C:\\a\\c\\x.bat", "C:\\a\\c", "C:\\a", "C:\\" }, {}, NO_ERROR, "" },
        // Longer than the ANSI calls make full: walked as given only when
        // there is nothing to resolve.
        { "a long path that is full as it stands", longFull + "\\f.bat", 1, longPath, {}, NO_ERROR,
          "" },
        { "a long path with / and ..", longFile, 1, {}, {}, ERROR_BAD_PATHNAME,
          ("Who can change " + longFile + " cannot be read.").substr(0, MSG_SIZE - 1) },
        { "a long path with /", longSlash, 1, {}, {}, ERROR_BAD_PATHNAME,
          ("Who can change " + longSlash + " cannot be read.").substr(0, MSG_SIZE - 1) },
        // Each opened on its own is C:\rv\sp (a full path drops one dot a name).
        { "a folder's name ending in a blank", "C:\\rv\\sp \\bin\\x.bat", 2, {}, {},
          ERROR_BAD_PATHNAME, "\"C:\\rv\\sp \" ends in a blank or a dot." },
        { "the first folder's name ending in a blank", "C:\\inst \\bin\\x.bat", 2, {}, {},
          ERROR_BAD_PATHNAME, "\"C:\\inst \" ends in a blank or a dot." },
        { "a folder's name ending in a dot", "C:\\rv\\sp..\\bin\\x.bat", 2, {}, {},
          ERROR_BAD_PATHNAME, "\"C:\\rv\\sp.\" ends in a blank or a dot." },
        // Links: the walk never walks on through a link, which whoever made
        // it may point elsewhere at any moment.
        { "a junction at the top of C: to a trusted tree", "C:\\j\\bin\\x.bat", 1, linkPath, {},
          ERROR_INVALID_STATE, "C:\\j is a link.", 2, true, ACCESS_AS_SERVICE,
          [] { fake.links = { "C:\\j" }; } },
        { "a link to another volume as the script's folder", "C:\\j\\bin\\x.bat", 1, linkPath, {},
          ERROR_INVALID_STATE, "C:\\j\\bin is a link.", 1, true, ACCESS_AS_SERVICE,
          [] { fake.links = { "C:\\j\\bin" }; } },
        { "the script itself a link", "C:\\j\\bin\\x.bat", 1, linkPath, {},
          ERROR_INVALID_STATE, "C:\\j\\bin\\x.bat is a link.", 0, true, ACCESS_AS_SERVICE,
          [] { fake.links = { "C:\\j\\bin\\x.bat" }; } },
        // -install trusts not the person who installs, but the Windows
        // folder's owner: TrustedInstaller on Windows, the prefix's one user
        // under Wine.
        { "-install: the installer's own account owns vizad.exe", "C:\\Tools\\vizad.exe", 1,
          toolsPath, { { 0, ownedBySelf } }, ERROR_INVALID_STATE,
          std::string("C:\\Tools\\vizad.exe is owned by ") + kSelf + ", who can change its rights.",
          0, false, ACCESS_AT_INSTALL, [] { fake.windowsOwner = kInstaller; } },
        { "-install: the installer's own account may change its folder", "C:\\Tools\\vizad.exe", 1,
          toolsPath, { { 1, writableBySelf } }, ERROR_INVALID_STATE,
          std::string("C:\\Tools can be changed by ") + kSelf + ".", 1, false, ACCESS_AT_INSTALL,
          [] { fake.windowsOwner = kInstaller; } },
        { "-install: nobody known to own the Windows folder", "C:\\Tools\\vizad.exe", 1,
          toolsPath, { { 0, ownedBySelf } }, ERROR_INVALID_STATE,
          std::string("C:\\Tools\\vizad.exe is owned by ") + kSelf + ", who can change its rights.",
          0, false, ACCESS_AT_INSTALL },
        { "-install where one account owns everything, the Windows folder too",
          "C:\\Tools\\vizad.exe", 1, toolsPath,
          { { 0, ownedBySelf }, { 1, ownedBySelf }, { 2, ownedBySelf } }, NO_ERROR, "", -1, false,
          ACCESS_AT_INSTALL, [] { fake.windowsOwner = kSelf; } },
        { "the service trusts the account it runs as", "C:\\Tools\\vizad.exe", 1, toolsPath,
          { { 0, ownedBySelf } }, NO_ERROR, "", -1, false, ACCESS_AS_SERVICE,
          [] { fake.windowsOwner = kInstaller; } },
        // Held by a reader sharing nothing: above the root (C:\a as C:\ProgramData), judged by its rights.
        { "above the root", script, 2, scriptPath, { { 4, "O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)"
          "(A;OICI;0x1200a9;;;BU)(A;CI;0x116;;;BU)" } }, NO_ERROR, "", -1, false, ACCESS_AS_SERVICE, [] { fake.unheld = { "C:\\a\\b" }; } },
        { "the root, Users adding files beside it", script, 2, scriptPath, { { 3, "O:BAD:(A;;FA;;;BA)(A;;0x1200ab;;;BU)" } }, ERROR_SHARING_VIOLATION,
          "C:\\a\\b\\root" + mayMove, 2, false, ACCESS_AS_SERVICE, [] { fake.unheld = { "C:\\a\\b\\root" }; } },
        { "the script", script, 2, scriptPath, {}, ERROR_SHARING_VIOLATION, script + " is held open by a process that lets "
          "nobody read it.", 0, false, ACCESS_AS_SERVICE, [&] { fake.unheld = { script }; } },
        { "two names", script, 2, scriptPath, {}, ERROR_INVALID_STATE, script + " has more than one name: replace it with a "
          "fresh copy.", 0, false, ACCESS_AS_SERVICE, [&] { fake.names = { { script, 2 } }; } },
        { "names unread", script, 2, scriptPath, {}, ERROR_INVALID_STATE, "Who can change " + script + " cannot be read.",
          0, false, ACCESS_AS_SERVICE, [&] { fake.names = { { script, 0 } }; } },
        { "the joined domain's Domain Admins own the root", script, 2, scriptPath,
          { { 2, "O:S-1-5-21-7-8-9-512D:(A;;FA;;;BA)" } }, NO_ERROR, "", -1, false,
          ACCESS_AS_SERVICE, [] { fake.accountDomain = "S-1-5-21-1-2-3"; fake.primaryDomain = "S-1-5-21-7-8-9"; } },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        fake = FakeAdvapi();
        fake.selfSid = kSelf;
        for (const std::string &p : c.path)
            fake.securityByPath[p] = clean;
        for (const auto &[index, sddl] : c.descriptors)
            fake.securityByPath[c.path[index]] = sddl;
        if (c.setup)
            c.setup();
        char message[MSG_SIZE] = "";
        HANDLE *held = NULL;
        EXPECT_EQ(CheckWhoCanChangePath(c.file.c_str(), c.folders, c.trustee, FALSE, message,
                                        sizeof message, &held),
                  c.code);
        EXPECT_EQ(std::string(message), c.message);
        // Opened and read from the volume's root down, to the object refused.
        std::vector<std::string> opened(c.path.rbegin(), c.path.rend());
        if (c.refused >= 0)
            opened.resize(c.path.size() - c.refused);
        std::vector<std::string> read = opened;
        if (c.link || c.code == ERROR_SHARING_VIOLATION)
            read.pop_back();
        if (c.code == ERROR_SHARING_VIOLATION && c.refused > 0)
            read.push_back(c.path[c.refused + 1]);  // who may add beside it
        EXPECT_EQ(fake.opened, opened);
        EXPECT_EQ(fake.securityRead, read);
        // Held only when it passed, until released; closed on every path.
        EXPECT_EQ(held != NULL, c.code == NO_ERROR);
        EXPECT_EQ(fake.closed.size(), held != NULL ? 0u : opened.size());
        ReleasePath(held);
        EXPECT_EQ(FakeOpenObjects(), 0u);
        std::vector<std::string> closed = fake.closed;
        std::sort(closed.begin(), closed.end());
        std::sort(opened.begin(), opened.end());
        EXPECT_EQ(closed, opened);
    }
    fake = FakeAdvapi();
    // 260 characters with the terminator's place are too many for the ANSI
    // calls: the open names such a path in the \\?\ form (Wine takes either).
    EXPECT_FALSE(IsLongDrivePath(("C:\\" + std::string(MAX_PATH - 4, 'a')).c_str()));
    EXPECT_TRUE(IsLongDrivePath(("C:\\" + std::string(MAX_PATH - 3, 'a')).c_str()));
}
