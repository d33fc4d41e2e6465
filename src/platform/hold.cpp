// The open that holds an object on a path in place: kernel32 alone, so that
// unit tests run it on the disk behind their fake seam.
#include <string.h>

#include "platform/advapi.h"

HANDLE OpenPathObject(LPCSTR lpszPath, DWORD *pdwAttributes)
{
    WCHAR szWide[4 + 32768];
    // A drive path that the ANSI calls would refuse as too long opens in the
    // \\?\ form, which takes it as it stands: the walk made it full.
    const WCHAR *lpszName = IsLongDrivePath(lpszPath) ? szWide : szWide + 4;
    // Reading its data, not only its security, is what makes the sharing
    // hold: an open for security alone is not counted.
    DWORD dwAccess = READ_CONTROL | FILE_READ_DATA;
    HANDLE hObject;

    memcpy(szWide, L"\\\\?\\", 4 * sizeof(WCHAR));
    if (MultiByteToWideChar(CP_ACP, 0, lpszPath, -1, szWide + 4, 32768) == 0)
        return INVALID_HANDLE_VALUE;
    for (;;) {
        hObject = CreateFileW(lpszName, dwAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                              NULL);
        // Held by another process that shares no reading: any user who may
        // list the folder can do that. That handle keeps it from being
        // renamed or deleted as this one would; its rights are read through
        // an open for security alone, which sharing never refuses, so that
        // no reader can refuse the service its start or its stop.
        if (hObject != INVALID_HANDLE_VALUE || dwAccess == READ_CONTROL ||
            GetLastError() != ERROR_SHARING_VIOLATION)
            break;
        dwAccess = READ_CONTROL;
    }
    // By its name, which the open object keeps from being renamed or
    // replaced: Wine opens a link's target even so, and shows the link as a
    // reparse point by its name only.
    if (hObject == INVALID_HANDLE_VALUE)
        return hObject;
    *pdwAttributes = GetFileAttributesW(lpszName);
    if (*pdwAttributes == INVALID_FILE_ATTRIBUTES) {
        DWORD dwErr = GetLastError();
        CloseHandle(hObject);
        SetLastError(dwErr);
        hObject = INVALID_HANDLE_VALUE;
    }
    return hObject;
}
