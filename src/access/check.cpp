// One object's check: its security read through the platform seam, the
// decision in decision.cpp, and the SID named for the administrator who has
// to fix it.
#include <string.h>

#include "access/access.h"
#include "platform/advapi.h"
#include "platform/format.h"

#define NAME_SIZE 256  // an account's or a domain's name, and the two joined

// The SID's own string (S-1-5-21-...), its authority in decimal (the
// system writes one wider than 32 bits in hex; no such SID is in use).
static void FormatSid(const SID *pSid, char *lpszText, size_t cchText)
{
    const BYTE *a = pSid->IdentifierAuthority.Value;
    unsigned long long ullAuthority = 0;
    BYTE i;

    for (i = 0; i < 6; i++)
        ullAuthority = ullAuthority << 8 | a[i];
    FormatText(lpszText, cchText, "S-%u-%I64u", (unsigned)pSid->Revision, ullAuthority);
    for (i = 0; i < pSid->SubAuthorityCount; i++) {
        size_t cch = strlen(lpszText);
        FormatText(lpszText + cch, cchText - cch, "-%lu", (unsigned long)pSid->SubAuthority[i]);
    }
}

// DOMAIN\name as the system names the account, or the SID's string where it
// has no name here, or where the caller may not wait for a domain
// controller to answer.
static void NameAccount(const SID *pSid, BOOL fLookup, char *lpszName, size_t cchName)
{
    char szName[NAME_SIZE];
    char szDomain[NAME_SIZE];
    DWORD cchN = NAME_SIZE, cchD = NAME_SIZE;
    SID_NAME_USE use;

    if (fLookup &&
        SecLookupAccountSid(const_cast<SID *>(pSid), szName, &cchN, szDomain, &cchD, &use)) {
        FormatText(lpszName, cchName, szDomain[0] ? "%s\\%s" : "%.0s%s", szDomain, szName);
        return;
    }
    FormatSid(pSid, lpszName, cchName);
}

DWORD CheckWhoCanChange(HANDLE hObject, const char *lpszPath, AccessObject kind,
                        const char *lpszBelow, size_t cchBelow, const AccessTrust *pTrust,
                        BOOL fNameAccounts, char *lpszMsg, size_t cchMsg)
{
    PSECURITY_DESCRIPTOR pSD;
    const SID *pFound;
    DWORD dwResult = SecGetObjectSecurity(hObject, &pSD);

    if (dwResult == ERROR_SUCCESS && pSD == NULL)
        dwResult = ERROR_INVALID_SECURITY_DESCR;
    if (dwResult == ERROR_SUCCESS) {
        pFound = kind == ACCESS_FOLDER_ABOVE ? FindUntrustedReplacer(pSD, pTrust)
                                             : FindUntrustedWriter(pSD, kind == ACCESS_FOLDER, pTrust);
        // Not knowing who may change it is no reason to trust it: no owner,
        // or a DACL whose ACEs cannot all be read, is refused like a failed
        // read.
        if (pFound == &sidUnreadable || GetDescriptorOwner(pSD) == NULL)
            dwResult = ERROR_INVALID_SECURITY_DESCR;
    }
    if (dwResult != ERROR_SUCCESS) {
        LocalFree(pSD);
        FormatText(lpszMsg, cchMsg, "Who can change %s cannot be read.", lpszPath);
        return dwResult;
    }
    if (pFound != NULL) {
        // By what the SID may do (own it or change it), and whether the
        // object is a folder above, which names the folder it could replace.
        static const char *const aFormat[2][2] = {
            { "%s can be changed by %s.", "%s is owned by %s, who can change its rights." },
            { "%s can be changed by %s, who could replace %.*s.",
              "%s is owned by %s, who could replace %.*s." },
        };
        char szName[NAME_SIZE];
        NameAccount(pFound, fNameAccounts, szName, sizeof szName);
        FormatText(lpszMsg, cchMsg, aFormat[kind == ACCESS_FOLDER_ABOVE][pFound == GetDescriptorOwner(pSD)],
                   lpszPath, szName, (int)cchBelow, lpszBelow);
        dwResult = ERROR_INVALID_STATE;
    }
    LocalFree(pSD);
    return dwResult;
}

BOOL IsAddingTrusted(HANDLE hFolder, const AccessTrust *pTrust)
{
    PSECURITY_DESCRIPTOR pSD;
    BOOL fTrusted = SecGetObjectSecurity(hFolder, &pSD) == ERROR_SUCCESS && pSD != NULL &&
                    FindUntrustedAdder(pSD, pTrust) == NULL;

    LocalFree(pSD);
    return fTrusted;
}
