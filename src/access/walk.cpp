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

// Checks the object that ends each path's start in turn, from the whole of
// lpszPath (a full path) up to its volume's root, whose length is
// cchVolume; lpszObject has room for a copy of it.
static DWORD WalkUp(const char *lpszPath, size_t cchVolume, char *lpszObject, int cFolders,
                    const SID *pSelf, BOOL fNameAccounts, char *lpszMsg, size_t cchMsg)
{
    size_t cchEnd = strlen(lpszPath), cchBelow = 0;
    DWORD dwResult;
    int i;

    for (i = 0;; i++) {
        memcpy(lpszObject, lpszPath, cchEnd);
        lpszObject[cchEnd] = '\0';
        dwResult = CheckWhoCanChange(lpszObject,
                                     i == 0          ? ACCESS_FILE
                                     : i <= cFolders ? ACCESS_FOLDER
                                                     : ACCESS_FOLDER_ABOVE,
                                     lpszPath, cchBelow, pSelf, fNameAccounts, lpszMsg, cchMsg);
        if (dwResult != NO_ERROR || cchEnd <= cchVolume)
            return dwResult;
        // Up one: the folder that holds this object, without the separators
        // between them, except the volume root's own.
        cchBelow = cchEnd;
        while (cchEnd > cchVolume && lpszPath[cchEnd - 1] != '\\')
            cchEnd--;
        while (cchEnd > cchVolume && lpszPath[cchEnd - 1] == '\\')
            cchEnd--;
    }
}

// The full path of lpszFile, with . and .. resolved whatever the current
// folder, in storage of its own (free it) that leaves room for a copy of it
// at *ppszCopy; NULL with *pdwErr saying why. The ANSI call gives at most
// MAX_PATH characters: a longer path that names its drive or share is taken
// as given.
static char *NewFullPath(const char *lpszFile, char **ppszCopy, DWORD *pdwErr)
{
    size_t cchFile = strlen(lpszFile) + 1;
    DWORD cchPath = cchFile > MAX_PATH ? (DWORD)cchFile : MAX_PATH;
    char *lpszPath = static_cast<char *>(malloc(2 * (size_t)cchPath));
    DWORD cch;

    if (lpszPath == NULL) {
        *pdwErr = ERROR_NOT_ENOUGH_MEMORY;
        return NULL;
    }
    cch = GetFullPathNameA(lpszFile, cchPath, lpszPath, NULL);
    if (cch == 0 || cch >= cchPath) {
        if (GetVolumeRootLength(lpszFile) == 0) {
            *pdwErr = cch == 0 ? GetLastError() : ERROR_BAD_PATHNAME;
            free(lpszPath);
            return NULL;
        }
        memcpy(lpszPath, lpszFile, cchFile);
    }
    *ppszCopy = lpszPath + cchPath;
    return lpszPath;
}

DWORD CheckWhoCanChangePath(const char *lpszFile, int cFolders, BOOL fNameAccounts,
                            char *lpszMsg, size_t cchMsg)
{
    union {
        SID sid;
        BYTE ab[SECURITY_MAX_SID_SIZE];
    } self;
    // Without an account of its own, the host trusts no account as its own.
    const SID *pSelf =
        SecGetProcessUser(&self.sid, sizeof self) == ERROR_SUCCESS ? &self.sid : NULL;
    char *lpszCopy = NULL;
    DWORD dwResult = ERROR_BAD_PATHNAME;
    char *lpszPath = NewFullPath(lpszFile, &lpszCopy, &dwResult);
    // Neither a drive nor a share: no root to walk up to.
    size_t cchVolume = lpszPath != NULL ? GetVolumeRootLength(lpszPath) : 0;

    if (cchVolume != 0) {
        dwResult = WalkUp(lpszPath, cchVolume, lpszCopy, cFolders, pSelf, fNameAccounts, lpszMsg,
                          cchMsg);
    } else {
        FormatText(lpszMsg, cchMsg, "Who can change %s cannot be read.",
                   lpszPath != NULL ? lpszPath : lpszFile);
        if (dwResult == NO_ERROR)
            dwResult = ERROR_BAD_PATHNAME;
    }
    free(lpszPath);
    return dwResult;
}
