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
// Administrators by definition, in any domain or on the machine
// (S-1-5-21-x-y-z-RID): the built-in Administrator, Domain Admins,
// Enterprise Admins.
static const DWORD aAdminRids[] = { 500, 512, 519 };

static const SID sidEveryone = { SID_REVISION, 1, { { 0, 0, 0, 0, 0, 1 } }, { 0 } };

// Rights that let their holder change what the host runs, after generic
// rights are mapped. On a folder the host runs from, adding a subfolder is
// not among them: the folders it runs from exist before it runs, and
// replacing one takes delete on it or delete-child on its parent. Above
// those, adding files replaces nothing either.
#define CHANGE_ANY (DELETE | WRITE_DAC | WRITE_OWNER | MAXIMUM_ALLOWED)
#define CHANGE_FILE (CHANGE_ANY | FILE_WRITE_DATA | FILE_APPEND_DATA)
#define CHANGE_FOLDER (CHANGE_ANY | FILE_ADD_FILE | FILE_DELETE_CHILD)
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

static BOOL IsTrusted(const SID *pSid, const SID *pSelf)
{
    size_t i;
    DWORD j;

    if (pSelf != NULL && IsSameSid(pSid, pSelf))
        return TRUE;  // the host's own account gains nothing by it
    if (HasAuthority(pSid, 5) && pSid->SubAuthorityCount == 5 && pSid->SubAuthority[0] == 21)
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
// Everyone, which holds every member of any group but Anonymous (not in
// Everyone since Windows XP SP2, unless a policy says otherwise).
static BOOL DenyCovers(const SID *pDenied, const SID *pSid)
{
    static const SID sidAnonymous = { SID_REVISION, 1, { { 0, 0, 0, 0, 0, 5 } }, { 7 } };

    if (IsSameSid(pDenied, pSid))
        return TRUE;
    return IsSameSid(pDenied, &sidEveryone) && !IsSameSid(pSid, &sidAnonymous);
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

// The ACE at pAt when it lies wholly inside the DACL, with room for a
// header, a mask and its whole SID; NULL otherwise. Allow and deny ACEs,
// conditional ones included, share that start.
static const ACCESS_ALLOWED_ACE *GetAceAt(const ACL *pDacl, const BYTE *pAt)
{
    const BYTE *pEnd = reinterpret_cast<const BYTE *>(pDacl) + pDacl->AclSize;
    const ACCESS_ALLOWED_ACE *pAce = reinterpret_cast<const ACCESS_ALLOWED_ACE *>(pAt);
    const DWORD cbFixed = (DWORD)(sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD));

    if (pAt + sizeof(ACCESS_ALLOWED_ACE) > pEnd || pAce->Header.AceSize < sizeof(ACCESS_ALLOWED_ACE) ||
        pAt + pAce->Header.AceSize > pEnd)
        return NULL;
    if (cbFixed + GetSidSize(reinterpret_cast<const SID *>(&pAce->SidStart)) > pAce->Header.AceSize)
        return NULL;
    return pAce;
}

// The rights that deny ACEs ahead of pUntil take from every member of pSid.
// A conditional deny protects nothing: nobody can tell for whom it holds.
static DWORD GetDeniedBefore(const ACL *pDacl, const BYTE *pUntil, const SID *pSid)
{
    const BYTE *pAt = reinterpret_cast<const BYTE *>(pDacl + 1);
    const ACCESS_ALLOWED_ACE *pAce;
    DWORD dwDenied = 0;

    while (pAt < pUntil && (pAce = GetAceAt(pDacl, pAt)) != NULL) {
        pAt += pAce->Header.AceSize;
        if (pAce->Header.AceType == ACCESS_DENIED_ACE_TYPE &&
            !(pAce->Header.AceFlags & INHERIT_ONLY_ACE) &&
            DenyCovers(reinterpret_cast<const SID *>(&pAce->SidStart), pSid))
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
static const SID *FindUntrusted(PSECURITY_DESCRIPTOR pSD, DWORD dwChange, const SID *pSelf)
{
    const SECURITY_DESCRIPTOR_RELATIVE *pRel = static_cast<const SECURITY_DESCRIPTOR_RELATIVE *>(pSD);
    const SID *pOwner = GetDescriptorOwner(pSD);
    const ACL *pDacl;
    const BYTE *pAt;
    const ACCESS_ALLOWED_ACE *pAce;
    WORD i;

    // Offsets from the descriptor's start: the system hands out the
    // self-relative form.
    pDacl = pRel->Control & SE_DACL_PRESENT && pRel->Dacl
                ? reinterpret_cast<const ACL *>(static_cast<const BYTE *>(pSD) + pRel->Dacl)
                : NULL;
    if (pDacl == NULL)
        return &sidEveryone;  // no DACL lets everybody do anything
    if (pOwner != NULL && !IsTrusted(pOwner, pSelf))
        return pOwner;

    pAt = reinterpret_cast<const BYTE *>(pDacl + 1);
    for (i = 0; i < pDacl->AceCount && (pAce = GetAceAt(pDacl, pAt)) != NULL; i++) {
        const SID *pSid = reinterpret_cast<const SID *>(&pAce->SidStart);
        const BYTE *pThis = pAt;
        DWORD dwMask;

        pAt += pAce->Header.AceSize;
        // Inherit-only ACEs are for what is made inside. A conditional allow
        // counts as an allow: nobody can tell for whom its condition holds.
        // The object ACE types do not arise on files and are skipped.
        if (pAce->Header.AceFlags & INHERIT_ONLY_ACE ||
            (pAce->Header.AceType != ACCESS_ALLOWED_ACE_TYPE &&
             pAce->Header.AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) ||
            IsTrusted(pSid, pSelf))
            continue;
        dwMask = MapGenericRights(pAce->Mask) & dwChange;
        if (dwMask != 0 && (dwMask & ~GetDeniedBefore(pDacl, pThis, pSid)) != 0)
            return pSid;
    }
    return NULL;
}

const SID *FindUntrustedWriter(PSECURITY_DESCRIPTOR pSD, BOOL fFolder, const SID *pSelf)
{
    return FindUntrusted(pSD, fFolder ? CHANGE_FOLDER : CHANGE_FILE, pSelf);
}

const SID *FindUntrustedReplacer(PSECURITY_DESCRIPTOR pSD, const SID *pSelf)
{
    return FindUntrusted(pSD, REPLACE_BELOW, pSelf);
}
