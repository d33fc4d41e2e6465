// Which broad group, if any, can change a file or folder, read from its
// security descriptor alone: no call to the system, so that the decision
// can be tested from any descriptor.
#include <stddef.h>

#include "zuvo/supervisor.h"

// Groups that hold users nobody vetted. Each is an authority and one or two
// sub-authorities; Domain Users and Domain Guests, of any domain or machine,
// are matched apart, by their five-part shape.
static const struct {
    BYTE authority;
    BYTE count;
    DWORD sub[2];
} aBroadGroups[] = {
    { 1, 1, { 0 } },          // Everyone
    { 5, 1, { 7 } },          // Anonymous
    { 5, 1, { 11 } },         // Authenticated Users
    { 5, 1, { 4 } },          // Interactive
    { 5, 1, { 2 } },          // Network
    { 5, 1, { 3 } },          // Batch
    { 5, 1, { 6 } },          // Service
    { 5, 1, { 15 } },         // This Organization
    { 5, 1, { 113 } },        // Local account
    { 5, 2, { 32, 545 } },    // Users
    { 5, 2, { 32, 546 } },    // Guests
    { 15, 2, { 2, 1 } },      // ALL APPLICATION PACKAGES
};
static const SID sidEveryone = { SID_REVISION, 1, { { 0, 0, 0, 0, 0, 1 } }, { 0 } };

// Rights that let their holder change what the host runs, after generic
// rights are mapped. On a folder, adding a subfolder is not among them: the
// folders the host runs from exist before it runs, and replacing one takes
// delete on it or delete-child on its parent.
#define CHANGE_ANY (DELETE | WRITE_DAC | WRITE_OWNER | MAXIMUM_ALLOWED)
#define CHANGE_FILE (CHANGE_ANY | FILE_WRITE_DATA | FILE_APPEND_DATA)
#define CHANGE_FOLDER (CHANGE_ANY | FILE_ADD_FILE | FILE_DELETE_CHILD)

static BOOL IsBroadGroup(const SID *pSid)
{
    const BYTE *auth = pSid->IdentifierAuthority.Value;
    size_t i;

    if (auth[0] | auth[1] | auth[2] | auth[3] | auth[4])
        return FALSE;
    if (auth[5] == 5 && pSid->SubAuthorityCount == 5 && pSid->SubAuthority[0] == 21 &&
        (pSid->SubAuthority[4] == DOMAIN_GROUP_RID_USERS ||
         pSid->SubAuthority[4] == DOMAIN_GROUP_RID_GUESTS))
        return TRUE;
    for (i = 0; i < sizeof aBroadGroups / sizeof aBroadGroups[0]; i++) {
        if (aBroadGroups[i].authority != auth[5] ||
            aBroadGroups[i].count != pSid->SubAuthorityCount)
            continue;
        if (pSid->SubAuthority[0] == aBroadGroups[i].sub[0] &&
            (pSid->SubAuthorityCount == 1 || pSid->SubAuthority[1] == aBroadGroups[i].sub[1]))
            return TRUE;
    }
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

// The access check as the system makes it for a token holding every broad
// group: ACEs in order, a deny takes the rights not yet granted, an allow
// grants the rights not yet denied. Only rights to change count, and the
// first allow of one ends the search, so no deny meets one already granted.
// Returns the group whose allow first
// grants a right to change the object, Everyone for a missing DACL, its
// owner when that is a broad group; NULL when no broad group can.
const SID *FindBroadWriter(PSECURITY_DESCRIPTOR pSD, BOOL fFolder)
{
    const DWORD dwChange = fFolder ? CHANGE_FOLDER : CHANGE_FILE;
    const SECURITY_DESCRIPTOR_RELATIVE *pRel = static_cast<const SECURITY_DESCRIPTOR_RELATIVE *>(pSD);
    const BYTE *pBase = static_cast<const BYTE *>(pSD);
    const SID *pOwner;
    const ACL *pDacl;
    const BYTE *pAce;
    const BYTE *pEnd;
    DWORD dwDenied = 0;
    WORD i;

    // Offsets from the descriptor's start: the system hands out the
    // self-relative form.
    pOwner = pRel->Owner ? reinterpret_cast<const SID *>(pBase + pRel->Owner) : NULL;
    pDacl = pRel->Control & SE_DACL_PRESENT && pRel->Dacl
                ? reinterpret_cast<const ACL *>(pBase + pRel->Dacl)
                : NULL;
    if (pDacl == NULL)
        return &sidEveryone;
    if (pOwner != NULL && IsBroadGroup(pOwner))
        return pOwner;  // an owner may always rewrite the DACL

    pAce = reinterpret_cast<const BYTE *>(pDacl + 1);
    pEnd = reinterpret_cast<const BYTE *>(pDacl) + pDacl->AclSize;
    for (i = 0; i < pDacl->AceCount && pAce + sizeof(ACE_HEADER) <= pEnd; i++) {
        const ACE_HEADER *pHeader = reinterpret_cast<const ACE_HEADER *>(pAce);
        // Allow and deny ACEs share one layout: header, mask, SID.
        const ACCESS_ALLOWED_ACE *pAllow = reinterpret_cast<const ACCESS_ALLOWED_ACE *>(pAce);
        const SID *pSid = reinterpret_cast<const SID *>(&pAllow->SidStart);
        DWORD dwMask;

        if (pHeader->AceSize < sizeof(ACCESS_ALLOWED_ACE) || pAce + pHeader->AceSize > pEnd)
            break;
        pAce += pHeader->AceSize;
        // Inherit-only ACEs are for what is made inside; the object ACE types
        // and the conditional ones do not arise on files and are skipped.
        if (pHeader->AceFlags & INHERIT_ONLY_ACE || !IsBroadGroup(pSid))
            continue;
        dwMask = MapGenericRights(pAllow->Mask);
        if (pHeader->AceType == ACCESS_DENIED_ACE_TYPE) {
            dwDenied |= dwMask;
        } else if (pHeader->AceType == ACCESS_ALLOWED_ACE_TYPE) {
            if (dwMask & ~dwDenied & dwChange)
                return pSid;
        }
    }
    return NULL;
}
