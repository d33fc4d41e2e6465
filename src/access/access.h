// Who may change what the service runs as LocalSystem. Only the system, the
// administrators and the host's own account may own, or hold a right to
// change, the files it runs, the folders they lie in and every folder above
// those; any other SID, a user's own account and one never heard of
// included, could make the service run their commands.
#ifndef VIZAD_ACCESS_ACCESS_H
#define VIZAD_ACCESS_ACCESS_H

#include <windows.h>
#include <stddef.h>

// decision.cpp, from a self-relative descriptor alone (no call to the
// system). pSelf is the host's own account, NULL for none. Each returns the
// untrusted SID it found, pointing into the descriptor or at a constant
// (Everyone, for a missing DACL), or NULL when there is none.
// A file the host runs, or a folder it runs from: ownership, or a right to
// change it or what it holds.
const SID *FindUntrustedWriter(PSECURITY_DESCRIPTOR pSD, BOOL fFolder, const SID *pSelf);
// A folder above those: ownership, or a right that lets its holder replace
// the folder below (delete it, change its rights or owner, delete a child).
// Adding files or folders to it replaces nothing and does not count.
const SID *FindUntrustedReplacer(PSECURITY_DESCRIPTOR pSD, const SID *pSelf);
// The owner in the descriptor, NULL when it names none.
const SID *GetDescriptorOwner(PSECURITY_DESCRIPTOR pSD);

// walk.cpp: the length of the volume's root at the start of a full path
// (3 for C:\, through the share's backslash for \\server\share\, the same
// after a \\?\ or \\.\ prefix); 0 when the path has neither form.
size_t GetVolumeRootLength(const char *lpszPath);

// walk.cpp: NO_ERROR when no untrusted SID can change the file at
// lpszFile, the cFolders folders that hold it, nor any folder above those up
// to the volume's root; otherwise the code to report, with lpszMsg naming
// the object and the SID. fNameAccounts looks names up in the system, which
// may ask a domain controller; without it the SID is given as a string.
DWORD CheckWhoCanChangePath(const char *lpszFile, int cFolders, BOOL fNameAccounts,
                            char *lpszMsg, size_t cchMsg);

// check.cpp: one object. kind is a file, a folder the host runs from, or a
// folder above them, for which the first cchBelow bytes of lpszBelow name
// the folder it could replace.
enum AccessObject { ACCESS_FILE, ACCESS_FOLDER, ACCESS_FOLDER_ABOVE };
DWORD CheckWhoCanChange(const char *lpszPath, AccessObject kind, const char *lpszBelow,
                        size_t cchBelow, const SID *pSelf, BOOL fNameAccounts, char *lpszMsg,
                        size_t cchMsg);

#endif
