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

// Where the object below the one that ends at cchEnd ends: past the
// separators after it and the next name.
static size_t GetNextEnd(const char *lpszPath, size_t cchEnd)
{
    while (lpszPath[cchEnd] == '\\')
        cchEnd++;
    while (lpszPath[cchEnd] != '\\' && lpszPath[cchEnd] != '\0')
        cchEnd++;
    return cchEnd;
}

void ReleasePath(HANDLE *phHeld)
{
    HANDLE *ph;

    if (phHeld == NULL)
        return;
    for (ph = phHeld; *ph != INVALID_HANDLE_VALUE; ph++)
        if (*ph != NULL)
            SecCloseObject(*ph);
    free(static_cast<void *>(phHeld));
}

// Opens each object from the volume's root (its path cchVolume long) down
// to the file, holds it in phHeld, and checks it: while it is open nobody
// may delete, rename or replace it, so each name below leads where the one
// above was checked. A link (junction, symbolic link, mount point) is
// refused: whoever made it may point it elsewhere at any moment. Judging
// the link and then walking its target's path would take a second walk on
// another volume, which naming the real path gives as well, and Wine shows
// a link's target's rights as the link's own. lpszObject is room for a copy
// of the path.
static DWORD WalkDown(const char *lpszPath, size_t cchVolume, HANDLE *phHeld, int cObjects,
                      char *lpszObject, int cFolders, const AccessTrust *pTrust,
                      BOOL fNameAccounts, char *lpszMsg, size_t cchMsg)
{
    size_t cchEnd = cchVolume, cchNext;
    DWORD dwResult, dwAttributes, cNames;
    BOOL fHeld;
    int i;

    // i counts the objects above the file: the file is 0, its folder 1.
    for (i = cObjects - 1; i >= 0; i--, cchEnd = cchNext) {
        cchNext = GetNextEnd(lpszPath, cchEnd);
        memcpy(lpszObject, lpszPath, cchEnd);
        lpszObject[cchEnd] = '\0';
        // The file is held sharing reading alone: a process that may write
        // it could change it after the check.
        phHeld[i] = SecOpenObject(lpszObject, i == 0 ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  &dwAttributes, &fHeld);
        dwResult = ERROR_SHARING_VIOLATION;
        const char *lpszFormat = "%s is held open by a process that may move or change it.";
        if (phHeld[i] == INVALID_HANDLE_VALUE) {
            phHeld[i] = NULL;
            dwResult = GetLastError();
            if (dwResult != ERROR_SHARING_VIOLATION)
                lpszFormat = "Who can change %s cannot be read.";
        } else if (!fHeld && (i == 0 || (i <= cFolders && i + 1 < cObjects &&
                                         !IsAddingTrusted(phHeld[i + 1], pTrust)))) {
            // Held by a process that shares no reading. The file: it may be
            // writing it, and cmd could not read it anyway. The root or bin:
            // it may move it away, so it is judged by its rights only where
            // nobody else could put a file or a folder, a link of either
            // kind, in its place. Folders above the root, which no user had
            // open before the rights were set, and a volume's root, which
            // is never moved, are judged by their rights alone.
            if (i == 0)
                lpszFormat = TEXT_HELD_UNREAD;
        } else if (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            dwResult = ERROR_INVALID_STATE;
            lpszFormat = "%s is a link.";
        } else {
            dwResult = CheckWhoCanChange(phHeld[i], lpszObject,
                                         i == 0          ? ACCESS_FILE
                                         : i <= cFolders ? ACCESS_FOLDER
                                                         : ACCESS_FOLDER_ABOVE,
                                         lpszPath, cchNext, pTrust, fNameAccounts, lpszMsg, cchMsg);
            if (dwResult != NO_ERROR)
                return dwResult;
            // Read through the handle that holds the file: another name, in
            // a folder the walk never sees, would let whoever made it hold
            // the file or lock it as cmd reads it.
            cNames = i == 0 ? SecCountNames(phHeld[0]) : 1;
            if (cNames == 1)
                continue;
            dwResult = ERROR_INVALID_STATE;  // also when the count cannot be read
            lpszFormat = cNames == 0 ? "Who can change %s cannot be read."
                                     : "%s has more than one name: replace it with a fresh copy.";
        }
        FormatText(lpszMsg, cchMsg, lpszFormat, lpszObject);
        return dwResult;
    }
    return NO_ERROR;
}

// Whether a path's part after the volume's root names its folders plainly:
// no /, and no empty, . or .. name, so that it is full as it stands.
static BOOL IsPlainPath(const char *p)
{
    const char *pName = p;

    for (;; p++) {
        if (*p == '/')
            return FALSE;
        if (*p == '\\' || *p == '\0') {
            if ((p == pName && *p != '\0') ||
                (pName[0] == '.' && (p - pName == 1 || (p - pName == 2 && pName[1] == '.'))))
                return FALSE;
            if (*p == '\0')
                return TRUE;
            pName = p + 1;
        }
    }
}

// The full path of lpszFile, with . and .. resolved whatever the current
// folder, in storage of its own (free it) of *pcb bytes, twice; NULL with
// *pdwErr saying why. The ANSI call gives at most MAX_PATH characters: a
// longer path is taken as given only when it names its drive or share and
// needs nothing resolved, and is never walked otherwise.
static char *NewFullPath(const char *lpszFile, size_t *pcb, DWORD *pdwErr)
{
    size_t cchFile = strlen(lpszFile) + 1;
    size_t cchVolume = GetVolumeRootLength(lpszFile);
    DWORD cchPath = cchFile > MAX_PATH ? (DWORD)cchFile : MAX_PATH;
    char *lpszPath = static_cast<char *>(malloc(2 * (size_t)cchPath));
    DWORD cch;

    if (lpszPath == NULL) {
        *pdwErr = ERROR_NOT_ENOUGH_MEMORY;
        return NULL;
    }
    cch = GetFullPathNameA(lpszFile, cchPath, lpszPath, NULL);
    if (cch == 0 || cch >= cchPath) {
        if (cchVolume == 0 || !IsPlainPath(lpszFile + cchVolume)) {
            *pdwErr = ERROR_BAD_PATHNAME;
            free(lpszPath);
            return NULL;
        }
        memcpy(lpszPath, lpszFile, cchFile);
    }
    *pcb = cchPath;
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
    size_t cb = 0;
    DWORD dwResult = ERROR_BAD_PATHNAME;
    char *lpszPath = NewFullPath(lpszFile, &cb, &dwResult);
    // Neither a drive nor a share: no root to walk up to.
    size_t cchVolume = lpszPath != NULL ? GetVolumeRootLength(lpszPath) : 0;
    HANDLE *phHeld = NULL;
    int cObjects = 1, i;

    if (pphHeld != NULL)
        *pphHeld = NULL;
    if (cchVolume != 0) {
        size_t cchEnd;
        for (cchEnd = cchVolume; lpszPath[cchEnd] != '\0'; cObjects++) {
            cchEnd = GetNextEnd(lpszPath, cchEnd);
            // Windows drops a blank or a dot that ends a path, not one that
            // ends a folder's name within it: the walk would open another
            // folder than the one the path names.
            if (lpszPath[cchEnd - 1] == ' ' || lpszPath[cchEnd - 1] == '.') {
                lpszPath[cchEnd] = '\0';
                FormatText(lpszMsg, cchMsg, "\"%s\" ends in a blank or a dot.", lpszPath);
                free(lpszPath);
                return ERROR_BAD_PATHNAME;
            }
        }
        // Each held, NULL until opened, then INVALID_HANDLE_VALUE to end them.
        phHeld = static_cast<HANDLE *>(malloc((cObjects + 1) * sizeof(HANDLE)));
        dwResult = ERROR_NOT_ENOUGH_MEMORY;
    } else if (lpszPath != NULL) {
        dwResult = ERROR_BAD_PATHNAME;
    }
    if (phHeld == NULL) {
        // A path that cannot be made full is never walked as given.
        FormatText(lpszMsg, cchMsg, "Who can change %s cannot be read.",
                   lpszPath != NULL ? lpszPath : lpszFile);
        free(lpszPath);
        return dwResult;
    }
    for (i = 0; i < cObjects; i++)
        phHeld[i] = NULL;
    phHeld[cObjects] = INVALID_HANDLE_VALUE;
    GetTrust(trustee, aSpace, &trust);
    dwResult = WalkDown(lpszPath, cchVolume, phHeld, cObjects, lpszPath + cb, cFolders, &trust,
                        fNameAccounts, lpszMsg, cchMsg);
    if (dwResult == NO_ERROR && pphHeld != NULL)
        *pphHeld = phHeld;
    else
        ReleasePath(phHeld);
    free(lpszPath);
    return dwResult;
}
