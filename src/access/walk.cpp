// The walk up a path: the file the host runs, the folders that hold it, and
// every folder above them up to the volume's root. Whoever may replace any
// folder on the way may put a tree of their own, with rights that pass every
// other check, where the host looks for its files.
#include <stdlib.h>
#include <string.h>

#include "access/access.h"
#include "platform/advapi.h"
#include "platform/format.h"

// Just past \\server\share\ from the server's first character; the path's
// end for \\server\share; NULL when the server or the share is empty.
static const char *SkipShare(const char *p)
{
    const char *pShare = strchr(p, '\\');
    const char *pEnd;

    if (pShare == NULL || pShare == p || pShare[1] == '\0' || pShare[1] == '\\')
        return NULL;
    pEnd = strchr(pShare + 1, '\\');
    return pEnd != NULL ? pEnd + 1 : pShare + strlen(pShare);
}

size_t GetVolumeRootLength(const char *lpszPath)
{
    const char *p = lpszPath;
    const char *pEnd = NULL;
    BOOL fDevice = strncmp(p, "\\\\?\\", 4) == 0 || strncmp(p, "\\\\.\\", 4) == 0;
    char chDrive;

    if (fDevice)
        p += 4;
    chDrive = (char)(p[0] | 0x20);
    if (chDrive >= 'a' && chDrive <= 'z' && p[1] == ':' && p[2] == '\\')
        pEnd = p + 3;  // C:\, never C:, which is drive C's current folder
    else if (fDevice && _strnicmp(p, "UNC\\", 4) == 0)
        pEnd = SkipShare(p + 4);
    else if (!fDevice && p[0] == '\\' && p[1] == '\\')
        pEnd = SkipShare(p + 2);
    return pEnd != NULL ? (size_t)(pEnd - lpszPath) : 0;
}

// The path without a \\?\ or \\.\ prefix, with UNC\ read as the \\ it
// stands for, so that C:\x and \\?\C:\x, \\s\h and \\?\UNC\s\h compare alike.
static const char *SkipDevicePrefix(const char *p)
{
    if (strncmp(p, "\\\\?\\", 4) == 0 || strncmp(p, "\\\\.\\", 4) == 0) {
        p += 4;
        return _strnicmp(p, "UNC\\", 4) == 0 ? p + 3 : p;
    }
    return p[0] == '\\' && p[1] == '\\' ? p + 1 : p;
}

// Whether the system's own path of an object is the name it was opened by,
// without regard to case or a root's last backslash.
static BOOL IsSameName(const char *lpszName, const char *lpszFinal)
{
    size_t cchName, cchFinal;

    lpszName = SkipDevicePrefix(lpszName);
    lpszFinal = SkipDevicePrefix(lpszFinal);
    cchName = strlen(lpszName);
    cchFinal = strlen(lpszFinal);
    if (cchName != 0 && lpszName[cchName - 1] == '\\')
        cchName--;
    if (cchFinal != 0 && lpszFinal[cchFinal - 1] == '\\')
        cchFinal--;
    return cchName == cchFinal && _strnicmp(lpszName, lpszFinal, cchName) == 0;
}

// Storage for the walk of one path: the handles held, from the file up,
// each NULL until opened and ended by INVALID_HANDLE_VALUE, then where each
// object's path ends.
struct WalkSpace {
    HANDLE *phHeld;
    size_t *pcchEnds;
    int cObjects;
};

// Where each object's path ends, from the whole of lpszPath (a full path)
// up to its volume's root, whose length is cchVolume: the folder that holds
// an object is its path without the last name and the separators before it,
// except the volume root's own.
static BOOL NewWalkSpace(const char *lpszPath, size_t cchVolume, WalkSpace *pWalk)
{
    size_t cchEnd = strlen(lpszPath);
    int cMax = 2, i;

    for (i = 0; lpszPath[i] != '\0'; i++)
        cMax += lpszPath[i] == '\\';
    pWalk->phHeld = static_cast<HANDLE *>(malloc(cMax * (sizeof(HANDLE) + sizeof(size_t))));
    if (pWalk->phHeld == NULL)
        return FALSE;
    pWalk->pcchEnds = reinterpret_cast<size_t *>(pWalk->phHeld + cMax);
    for (i = 0;; i++) {
        pWalk->phHeld[i] = NULL;
        pWalk->pcchEnds[i] = cchEnd;
        if (cchEnd <= cchVolume)
            break;
        while (cchEnd > cchVolume && lpszPath[cchEnd - 1] != '\\')
            cchEnd--;
        while (cchEnd > cchVolume && lpszPath[cchEnd - 1] == '\\')
            cchEnd--;
    }
    pWalk->cObjects = i + 1;
    pWalk->phHeld[i + 1] = INVALID_HANDLE_VALUE;
    return TRUE;
}

void ReleasePath(HANDLE *phHeld)
{
    HANDLE *ph;

    if (phHeld == NULL)
        return;
    for (ph = phHeld; *ph != INVALID_HANDLE_VALUE; ph++)
        if (*ph != NULL)
            SecCloseObject(*ph);
    free(phHeld);
}

// Opens each object from the volume's root down and holds it: while it is
// open nobody may delete, rename or replace it, so each name below leads
// where the one above was checked. A name that the system knows the object
// by otherwise is refused: a link (junction, symbolic link, mount point),
// which whoever made it may point elsewhere at any moment, or a short name.
// Judging the link and then its target would take a second walk on another
// volume, which the real path gives as well; refusing is the simple rule
// that holds for links that Windows shows as reparse points and Wine shows
// only by their target's path. lpszObject and lpszFinal (cchFinal bytes)
// are room for one path each.
static DWORD OpenDown(const char *lpszPath, const WalkSpace *pWalk, char *lpszObject,
                      char *lpszFinal, DWORD cchFinal, char *lpszMsg, size_t cchMsg)
{
    DWORD dwErr, cch;
    int i;

    for (i = pWalk->cObjects - 1; i >= 0; i--) {
        memcpy(lpszObject, lpszPath, pWalk->pcchEnds[i]);
        lpszObject[pWalk->pcchEnds[i]] = '\0';
        pWalk->phHeld[i] = SecOpenObject(lpszObject);
        if (pWalk->phHeld[i] == INVALID_HANDLE_VALUE) {
            pWalk->phHeld[i] = NULL;
            goto unreadable;
        }
        cch = SecGetObjectPath(pWalk->phHeld[i], lpszFinal, cchFinal);
        if (cch == 0)
            goto unreadable;
        if (cch >= cchFinal || !IsSameName(lpszObject, lpszFinal)) {
            FormatText(lpszMsg, cchMsg, "%s is a link or another name for %s.", lpszObject,
                       cch < cchFinal ? lpszFinal : "a longer path");
            return ERROR_INVALID_STATE;
        }
    }
    return NO_ERROR;

unreadable:
    dwErr = GetLastError();
    FormatText(lpszMsg, cchMsg, "Who can change %s cannot be read.", lpszObject);
    return dwErr;
}

// Checks each object held, from the file up to the volume's root.
static DWORD CheckUp(const char *lpszPath, const WalkSpace *pWalk, char *lpszObject,
                     int cFolders, const AccessTrust *pTrust, BOOL fNameAccounts,
                     char *lpszMsg, size_t cchMsg)
{
    DWORD dwResult = NO_ERROR;
    int i;

    for (i = 0; i < pWalk->cObjects && dwResult == NO_ERROR; i++) {
        memcpy(lpszObject, lpszPath, pWalk->pcchEnds[i]);
        lpszObject[pWalk->pcchEnds[i]] = '\0';
        dwResult = CheckWhoCanChange(pWalk->phHeld[i], lpszObject,
                                     i == 0          ? ACCESS_FILE
                                     : i <= cFolders ? ACCESS_FOLDER
                                                     : ACCESS_FOLDER_ABOVE,
                                     lpszPath, i != 0 ? pWalk->pcchEnds[i - 1] : 0, pTrust,
                                     fNameAccounts, lpszMsg, cchMsg);
    }
    return dwResult;
}

// The full path of lpszFile, with / read as \ and . and .. resolved
// whatever the current folder and whatever its length (through the Unicode
// call, which has no MAX_PATH limit), in storage of its own (free it) with
// room for *pcb bytes, the path's own size, three more times beyond it;
// NULL with *pdwErr saying why.
static char *NewFullPath(const char *lpszFile, int *pcb, DWORD *pdwErr)
{
    int cch = MultiByteToWideChar(CP_ACP, 0, lpszFile, -1, NULL, 0);
    WCHAR *lpszWide = cch > 0 ? static_cast<WCHAR *>(malloc(cch * sizeof(WCHAR))) : NULL;
    WCHAR *lpszFull = NULL;
    char *lpszPath = NULL;
    DWORD cchFull;

    *pdwErr = ERROR_NOT_ENOUGH_MEMORY;
    if (lpszWide == NULL || MultiByteToWideChar(CP_ACP, 0, lpszFile, -1, lpszWide, cch) != cch)
        goto done;
    cchFull = GetFullPathNameW(lpszWide, 0, NULL, NULL);
    if (cchFull == 0 || (lpszFull = static_cast<WCHAR *>(malloc(cchFull * sizeof(WCHAR)))) == NULL)
        goto failed;
    cch = (int)GetFullPathNameW(lpszWide, cchFull, lpszFull, NULL);
    if (cch == 0 || (DWORD)cch >= cchFull)
        goto failed;
    *pcb = WideCharToMultiByte(CP_ACP, 0, lpszFull, -1, NULL, 0, NULL, NULL);
    if (*pcb <= 0 || (lpszPath = static_cast<char *>(malloc(4 * (size_t)*pcb))) == NULL)
        goto failed;
    if (WideCharToMultiByte(CP_ACP, 0, lpszFull, -1, lpszPath, *pcb, NULL, NULL) != *pcb) {
        free(lpszPath);
        lpszPath = NULL;
        goto failed;
    }
    goto done;

failed:
    *pdwErr = GetLastError() != NO_ERROR ? GetLastError() : ERROR_BAD_PATHNAME;
done:
    free(lpszFull);
    free(lpszWide);
    return lpszPath;
}

// Whom the walk trusts: the account the service runs as, or at -install
// the Windows folder's owner; and this machine's domain and the one it is
// joined to, for their administrators.
union SidSpace {
    SID sid;
    BYTE ab[SECURITY_MAX_SID_SIZE];
};
static void GetTrust(AccessTrustee trustee, SidSpace *aSpace, AccessTrust *pTrust)
{
    DWORD dwRead = trustee == ACCESS_AT_INSTALL ? SecGetWindowsOwner(&aSpace[0].sid, sizeof aSpace[0])
                                                : SecGetProcessUser(&aSpace[0].sid, sizeof aSpace[0]);
    int i;

    pTrust->pSelf = dwRead == ERROR_SUCCESS ? &aSpace[0].sid : NULL;
    dwRead = SecGetDomains(&aSpace[1].sid, &aSpace[2].sid, sizeof aSpace[1]);
    for (i = 0; i < 2; i++)
        pTrust->apDomain[i] = dwRead == ERROR_SUCCESS && aSpace[1 + i].sid.Revision == SID_REVISION
                                  ? &aSpace[1 + i].sid
                                  : NULL;
}

DWORD CheckWhoCanChangePath(const char *lpszFile, int cFolders, AccessTrustee trustee,
                            BOOL fNameAccounts, char *lpszMsg, size_t cchMsg, HANDLE **pphHeld)
{
    SidSpace aSpace[3];
    AccessTrust trust;
    WalkSpace walk;
    int cb = 0;
    DWORD dwResult = ERROR_BAD_PATHNAME;
    char *lpszPath = NewFullPath(lpszFile, &cb, &dwResult);
    // Neither a drive nor a share: no root to walk up to.
    size_t cchVolume = lpszPath != NULL ? GetVolumeRootLength(lpszPath) : 0;
    BOOL fWalk = FALSE;

    if (pphHeld != NULL)
        *pphHeld = NULL;
    if (lpszPath != NULL && cchVolume == 0)
        dwResult = ERROR_BAD_PATHNAME;
    else if (lpszPath != NULL && !(fWalk = NewWalkSpace(lpszPath, cchVolume, &walk)))
        dwResult = ERROR_NOT_ENOUGH_MEMORY;
    if (!fWalk) {
        // A path that cannot be made full is never walked as given.
        FormatText(lpszMsg, cchMsg, "Who can change %s cannot be read.",
                   lpszPath != NULL ? lpszPath : lpszFile);
        free(lpszPath);
        return dwResult;
    }
    GetTrust(trustee, aSpace, &trust);
    dwResult = OpenDown(lpszPath, &walk, lpszPath + cb, lpszPath + 2 * cb, (DWORD)(2 * cb),
                        lpszMsg, cchMsg);
    if (dwResult == NO_ERROR)
        dwResult = CheckUp(lpszPath, &walk, lpszPath + cb, cFolders, &trust, fNameAccounts,
                           lpszMsg, cchMsg);
    if (dwResult == NO_ERROR && pphHeld != NULL)
        *pphHeld = walk.phHeld;
    else
        ReleasePath(walk.phHeld);
    free(lpszPath);
    return dwResult;
}
