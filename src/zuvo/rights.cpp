// Who may change what the host runs: the object's security read through
// the platform seam, the decision in writers.cpp, the group named for the
// administrator who has to fix it.
#include <windows.h>

#include <string.h>

#include "platform/advapi.h"
#include "service/host.h"
#include "zuvo/supervisor.h"

// DOMAIN\name as the system names the group, or the SID's own string
// (S-1-5-11) when it has no name here.
static void NameGroup(const SID *pSid, char *lpszName, size_t cchName)
{
    char szName[MSG_SIZE];
    char szDomain[MSG_SIZE];
    DWORD cchN = MSG_SIZE, cchD = MSG_SIZE;
    SID_NAME_USE use;
    int i;

    if (SecLookupAccountSid(const_cast<SID *>(pSid), szName, &cchN, szDomain, &cchD, &use)) {
        FormatText(lpszName, cchName, szDomain[0] ? "%s\\%s" : "%.0s%s", szDomain, szName);
        return;
    }
    // Only broad groups are named here, and their authorities (1, 5, 15)
    // fit the last of its six bytes.
    FormatText(lpszName, cchName, "S-%u", (unsigned)pSid->Revision);
    for (i = -1; i < (int)pSid->SubAuthorityCount; i++) {
        size_t cch = strlen(lpszName);
        FormatText(lpszName + cch, cchName - cch, "-%lu",
                   i < 0 ? (unsigned long)pSid->IdentifierAuthority.Value[5]
                         : (unsigned long)pSid->SubAuthority[i]);
    }
}

DWORD CheckWhoCanChange(const char *lpszPath, BOOL fFolder, char *lpszMsg, size_t cchMsg)
{
    PSECURITY_DESCRIPTOR pSD;
    const SID *pWriter;
    DWORD dwResult = SecGetFileSecurity(lpszPath, &pSD);

    if (dwResult == ERROR_SUCCESS && pSD == NULL)
        dwResult = ERROR_INVALID_SECURITY_DESCR;
    if (dwResult != ERROR_SUCCESS) {
        // Not knowing who may change it is no reason to trust it.
        FormatText(lpszMsg, cchMsg, "Who can change %s cannot be read.", lpszPath);
        return dwResult;
    }
    pWriter = FindBroadWriter(pSD, fFolder);
    if (pWriter != NULL) {
        char szGroup[MSG_SIZE];
        NameGroup(pWriter, szGroup, sizeof szGroup);
        FormatText(lpszMsg, cchMsg, "%s can be changed by %s.", lpszPath, szGroup);
        dwResult = ERROR_INVALID_STATE;
    }
    LocalFree(pSD);
    return dwResult;
}
