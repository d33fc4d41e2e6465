// Which SID, if any, may change a file or folder although it is not trusted
// to, read from its self-relative security descriptor alone: no call to the
// system, so that the decision can be tested from any descriptor.
#include <string.h>

#include "access/access.h"

// The SIDs trusted with what the service runs, by authority and
// sub-authorities. Nobody else is: not the broad groups, not a logon type,
// not another service, not a named account.
static const struct {
    BYTE authority;
    BYTE count;
    DWORD sub[6];
} aTrusted[] = {
    { 5, 1, { 18 } },        // SYSTEM: the service's own account
    { 5, 2, { 32, 544 } },   // Administrators
    // TrustedInstaller, which owns and services the system's own folders.
    { 5, 6, { 80, 956008885, 3418522649, 1831038044, 1853292631, 2271478464 } },
    // CREATOR OWNER and CREATOR GROUP name nobody on the object itself, only
    // what is made inside it; OWNER RIGHTS is the owner, judged on its own.
    { 3, 1, { 0 } },
    { 3, 1, { 1 } },
    { 3, 1, { 4 } },
};
// Administrators by definition (S-1-5-21-x-y-z-RID): the built-in
// Administrator, Domain Admins, Enterprise Admins. Only in the domains the
// caller names, this machine's and the one it is joined to: the same RID of
// another machine or a foreign forest, whose SIDs a copied tree may carry,
// is anybody's.
static const DWORD aAdminRids[] = { 500, 512, 519 };

// The SIDs whose every member holds Everyone as well, so that a deny for
// Everyone covers them: authenticated logons and the logon types that only
// an authenticated account has. Never NETWORK or ANONYMOUS LOGON (an
// anonymous network logon holds NETWORK without Everyone), nor a local or
// domain group, to which anybody may add ANONYMOUS LOGON, nor an account,
// which its SID does not tell from such a group.
// Each is S-1-authority-sub.
static const BYTE aInEveryone[][2] = {
    { 5, 11 },  // Authenticated Users
    { 5, 15 },  // This Organization
    { 5, 4 },   // INTERACTIVE
    { 5, 14 },  // REMOTE INTERACTIVE LOGON
    { 2, 1 },   // CONSOLE LOGON
    { 5, 3 },   // BATCH
    { 5, 6 },   // SERVICE
    { 5, 19 },  // LOCAL SERVICE
    { 5, 20 },  // NETWORK SERVICE
};

static const SID sidEveryone = { SID_REVISION, 1, { { 0, 0, 0, 0, 0, 1 } }, { 0 } };
const SID sidUnreadable = { SID_REVISION, 0, { { 0, 0, 0, 0, 0, 0 } }, { 0 } };

// Rights that let their holder change what the host runs, after generic
// rights are mapped. On a folder the host runs from, adding a subfolder
// counts as adding a file does: the servers write where the script says,
// such as a logs folder, and whoever made that folder first owns it and can
// turn it into a link. Above those, adding files or folders replaces
// nothing.
#define CHANGE_ANY (DELETE | WRITE_DAC | WRITE_OWNER | MAXIMUM_ALLOWED)
#define CHANGE_FILE (CHANGE_ANY | FILE_WRITE_DATA | FILE_APPEND_DATA)
#define CHANGE_FOLDER (CHANGE_ANY | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD)
#define REPLACE_BELOW (CHANGE_ANY | FILE_DELETE_CHILD)

static DWORD GetSidSize(const SID *pSid)
{
    return (DWORD)(sizeof(SID) - sizeof(DWORD)) + pSid->SubAuthorityCount * sizeof(DWORD);
}

static BOOL IsSameSid(const SID *pA, const SID *pB)
{
    DWORD cb = GetSidSize(pA);
    return cb == GetSidSize(pB) && memcmp(pA, pB, cb) == 0;
}

// Authorities up to 255 fit the last of the six bytes; none trusted is wider.
static BOOL HasAuthority(const SID *pSid, BYTE authority)
{
    const BYTE *auth = pSid->IdentifierAuthority.Value;
    return !(auth[0] | auth[1] | auth[2] | auth[3] | auth[4]) && auth[5] == authority;
}


// A domain's SID with one RID more: S-1-5-21-x-y-z and S-1-5-21-x-y-z-RID
// share the bytes after the count (the authority and four sub-authorities).
static BOOL IsInDomain(const SID *pSid, const SID *pDomain)
{
    return pDomain != NULL && pDomain->SubAuthorityCount == 4 && pSid->SubAuthorityCount == 5 &&
           memcmp(&pDomain->IdentifierAuthority, &pSid->IdentifierAuthority,
                  sizeof(SID_IDENTIFIER_AUTHORITY) + 4 * sizeof(DWORD)) == 0;
}

static BOOL IsTrusted(const SID *pSid, const AccessTrust *pTrust)
{
    size_t i;
    DWORD j;

    if (pTrust->pSelf != NULL && IsSameSid(pSid, pTrust->pSelf))
        return TRUE;  // the account the service itself runs as gains nothing by it
    if (IsInDomain(pSid, pTrust->apDomain[0]) || IsInDomain(pSid, pTrust->apDomain[1]))
        for (i = 0; i < sizeof aAdminRids / sizeof aAdminRids[0]; i++)
            if (pSid->SubAuthority[4] == aAdminRids[i])
                return TRUE;
    for (i = 0; i < sizeof aTrusted / sizeof aTrusted[0]; i++) {
        if (!HasAuthority(pSid, aTrusted[i].authority) ||
            pSid->SubAuthorityCount != aTrusted[i].count)
            continue;
        for (j = 0; j < aTrusted[i].count; j++)
            if (pSid->SubAuthority[j] != aTrusted[i].sub[j])
                break;
        if (j == aTrusted[i].count)
            return TRUE;
    }
    return FALSE;
}

// Whether a deny for pDenied covers every member of pSid: the same SID, or
// Everyone for one of the SIDs above whose members all hold it.
static BOOL DenyCovers(const SID *pDenied, const SID *pSid)
{
    size_t i;

    if (IsSameSid(pDenied, pSid))
        return TRUE;
    if (!IsSameSid(pDenied, &sidEveryone) || pSid->SubAuthorityCount != 1)
        return FALSE;
    for (i = 0; i < sizeof aInEveryone / sizeof aInEveryone[0]; i++)
        if (HasAuthority(pSid, aInEveryone[i][0]) && pSid->SubAuthority[0] == aInEveryone[i][1])
            return TRUE;
    return FALSE;
}

// The generic rights as they apply to files and folders.
static DWORD MapGenericRights(DWORD dwMask)
{
    if (dwMask & GENERIC_READ)
        dwMask |= FILE_GENERIC_READ;
    if (dwMask & GENERIC_WRITE)
        dwMask |= FILE_GENERIC_WRITE;
    if (dwMask & GENERIC_EXECUTE)
        dwMask |= FILE_GENERIC_EXECUTE;
    if (dwMask & GENERIC_ALL)
        dwMask |= FILE_ALL_ACCESS;
    return dwMask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

// The object ACE types carry flags, and a GUID for each flag set, between
// the mask and the SID: allowed, denied, audit and alarm objects (5 to 8),
// and their callback forms (11, 12, 15 and 16).
#define OBJECT_ACE_TYPES 0x199E0u
// Every type but the denies (1, 6, 10 and 12) gives what its mask says to
// its SID: the allow types, their conditional and object forms, and any
// type the host does not know. A type that allows nothing only makes the
// check stricter.
#define DENY_ACE_TYPES 0x1442u

static BOOL IsAceType(BYTE type, DWORD dwTypes)
{
    return type < 32 && (dwTypes >> type & 1) != 0;
}

// The ACE at pAt when it lies wholly inside the DACL, with room for a
// header, a mask, an object ACE's flags and GUIDs, and its whole SID, which
// *ppSid then points to; NULL otherwise. Types the host does not know are
// read as the plain allow is laid out.
static const ACCESS_ALLOWED_ACE *GetAceAt(const ACL *pDacl, const BYTE *pAt, const SID **ppSid)
{
    const BYTE *pEnd = reinterpret_cast<const BYTE *>(pDacl) + pDacl->AclSize;
    const ACCESS_ALLOWED_ACE *pAce = reinterpret_cast<const ACCESS_ALLOWED_ACE *>(pAt);
    const BYTE *pSid = pAt + sizeof(ACE_HEADER) + sizeof(ACCESS_MASK);
    DWORD dwFlags;

    if (pAt + sizeof(ACE_HEADER) > pEnd || pAce->Header.AceSize < pSid - pAt ||
        pAce->Header.AceSize > pEnd - pAt)
        return NULL;
    pEnd = pAt + pAce->Header.AceSize;
    if (IsAceType(pAce->Header.AceType, OBJECT_ACE_TYPES)) {
        if (pSid + sizeof dwFlags > pEnd)
            return NULL;
        memcpy(&dwFlags, pSid, sizeof dwFlags);
        pSid += sizeof dwFlags;
        if (dwFlags & ACE_OBJECT_TYPE_PRESENT)
            pSid += sizeof(GUID);
        if (dwFlags & ACE_INHERITED_OBJECT_TYPE_PRESENT)
            pSid += sizeof(GUID);
    }
    // The SID's fixed part, then its sub-authorities.
    if (pSid + sizeof(SID) - sizeof(DWORD) > pEnd ||
        pSid + GetSidSize(reinterpret_cast<const SID *>(pSid)) > pEnd)
        return NULL;
    *ppSid = reinterpret_cast<const SID *>(pSid);
    return pAce;
}

static const ACL *GetDacl(PSECURITY_DESCRIPTOR pSD)
{
    const SECURITY_DESCRIPTOR_RELATIVE *pRel = static_cast<const SECURITY_DESCRIPTOR_RELATIVE *>(pSD);

    // Offsets from the descriptor's start: the system hands out the
    // self-relative form.
    return pRel->Control & SE_DACL_PRESENT && pRel->Dacl
               ? reinterpret_cast<const ACL *>(static_cast<const BYTE *>(pSD) + pRel->Dacl)
               : NULL;
}

// The rights that deny ACEs ahead of pUntil take from every member of pSid.
// A conditional deny protects nothing: nobody can tell for whom it holds;
// nor does an object deny, which holds for some of an object's parts only.
static DWORD GetDeniedBefore(const ACL *pDacl, const BYTE *pUntil, const SID *pSid)
{
    const BYTE *pAt = reinterpret_cast<const BYTE *>(pDacl + 1);
    const ACCESS_ALLOWED_ACE *pAce;
    const SID *pDenied;
    DWORD dwDenied = 0;

    while (pAt < pUntil && (pAce = GetAceAt(pDacl, pAt, &pDenied)) != NULL) {
        pAt += pAce->Header.AceSize;
        if (pAce->Header.AceType == ACCESS_DENIED_ACE_TYPE &&
            !(pAce->Header.AceFlags & INHERIT_ONLY_ACE) && DenyCovers(pDenied, pSid))
            dwDenied |= MapGenericRights(pAce->Mask);
    }
    return dwDenied;
}

const SID *GetDescriptorOwner(PSECURITY_DESCRIPTOR pSD)
{
    const SECURITY_DESCRIPTOR_RELATIVE *pRel = static_cast<const SECURITY_DESCRIPTOR_RELATIVE *>(pSD);

    return pRel->Owner ? reinterpret_cast<const SID *>(static_cast<const BYTE *>(pSD) + pRel->Owner)
                       : NULL;
}

// The access check as the system makes it for each member of each group on
// its own: an untrusted SID's allow of a right in dwChange counts unless
// earlier denies take that right from every one of its members. A deny for
// one group never hides an allow for another, and a deny after the allow
// comes too late. The owner comes first: it may always rewrite the DACL.
static const SID *FindUntrusted(PSECURITY_DESCRIPTOR pSD, DWORD dwChange,
                                const AccessTrust *pTrust)
{
    const SID *pOwner = GetDescriptorOwner(pSD);
    const ACL *pDacl = GetDacl(pSD);
    const BYTE *pAt;
    const SID *pSid;
    WORD i;

    if (pDacl == NULL)
        return &sidEveryone;  // no DACL lets everybody do anything
    if (pOwner != NULL && !IsTrusted(pOwner, pTrust))
        return pOwner;

    // What an ACE that cannot be read allows is not known: nobody is
    // trusted for it, and the ACEs before it were read.
    pAt = reinterpret_cast<const BYTE *>(pDacl + 1);
    if (pDacl->AclSize < sizeof(ACL))
        return &sidUnreadable;
    for (i = 0; i < pDacl->AceCount; i++) {
        const BYTE *pThis = pAt;
        const ACCESS_ALLOWED_ACE *pAce = GetAceAt(pDacl, pAt, &pSid);
        DWORD dwMask;

        if (pAce == NULL)
            return &sidUnreadable;
        pAt += pAce->Header.AceSize;
        // Inherit-only ACEs are for what is made inside. A conditional allow
        // counts as an allow: nobody can tell for whom its condition holds.
        if (pAce->Header.AceFlags & INHERIT_ONLY_ACE || IsAceType(pAce->Header.AceType, DENY_ACE_TYPES) ||
            IsTrusted(pSid, pTrust))
            continue;
        dwMask = MapGenericRights(pAce->Mask) & dwChange;
        if (dwMask != 0 && (dwMask & ~GetDeniedBefore(pDacl, pThis, pSid)) != 0)
            return pSid;
    }
    return NULL;
}

const SID *FindUntrustedWriter(PSECURITY_DESCRIPTOR pSD, BOOL fFolder, const AccessTrust *pTrust)
{
    return FindUntrusted(pSD, fFolder ? CHANGE_FOLDER : CHANGE_FILE, pTrust);
}

const SID *FindUntrustedReplacer(PSECURITY_DESCRIPTOR pSD, const AccessTrust *pTrust)
{
    return FindUntrusted(pSD, REPLACE_BELOW, pTrust);
}

const SID *FindUntrustedAdder(PSECURITY_DESCRIPTOR pSD, const AccessTrust *pTrust)
{
    return FindUntrusted(pSD, FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY, pTrust);
}
