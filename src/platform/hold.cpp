// The open that holds an object on a path in place: kernel32 alone, so that
// unit tests run it on the disk behind their fake seam.
#include <string.h>

#include "platform/advapi.h"

HANDLE(WINAPI *pfnOpenFileW)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                             HANDLE) = CreateFileW;

HANDLE OpenPathObject(LPCSTR lpszPath, DWORD dwShare, DWORD *pdwAttributes, BOOL *pfHeld)
{
    WCHAR szWide[4 + 32768];
    // A drive path that the ANSI calls would refuse as too long opens in the
    // \\?\ form, which takes it as it stands: the walk made it full.
    const WCHAR *lpszName = IsLongDrivePath(lpszPath) ? szWide : szWide + 4;
    // Reading its data, not only its security, is what makes the sharing
    // hold: an open for security alone is not counted. Its attributes give
    // a file's count of names.
    DWORD dwAccess = READ_CONTROL | FILE_READ_DATA | FILE_READ_ATTRIBUTES;
    HANDLE hObject;
    int iTry;

    memcpy(szWide, L"\\\\?\\", 4 * sizeof(WCHAR));
    if (MultiByteToWideChar(CP_ACP, 0, lpszPath, -1, szWide + 4, 32768) == 0)
        return INVALID_HANDLE_VALUE;
    // Refused by sharing, the same open sharing everything tells the other
    // handle's part: it opens when that handle shares reading, so what it
    // holds is the right to move the object, or to write the file; refused
    // again, that handle shares no reading, and nothing tells what it may do.
    // Then only the object's security is read, through an open that sharing
    // never refuses, and the walk judges whether it could be replaced.
    for (iTry = 0;; iTry++) {
        hObject = pfnOpenFileW(lpszName, dwAccess, dwShare, NULL, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, NULL);
        if (hObject != INVALID_HANDLE_VALUE || iTry == 2 || GetLastError() != ERROR_SHARING_VIOLATION)
            break;
        if (iTry == 0)
            dwShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        else
            dwAccess = READ_CONTROL;
    }
    if (hObject == INVALID_HANDLE_VALUE)
        return hObject;
    if (iTry == 1) {
        CloseHandle(hObject);
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    *pfHeld = iTry == 0;
    // By its name, which the open object keeps from being renamed or
    // replaced: Wine opens a link's target even so, and shows the link as a
    // reparse point by its name only.
    *pdwAttributes = GetFileAttributesW(lpszName);
    if (*pdwAttributes == INVALID_FILE_ATTRIBUTES) {
        DWORD dwErr = GetLastError();
        CloseHandle(hObject);
        SetLastError(dwErr);
        hObject = INVALID_HANDLE_VALUE;
    }
    return hObject;
}
