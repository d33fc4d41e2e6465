// Who may change what the service runs as LocalSystem. Only the system, the
// administrators and the service's own account may own, or hold a right to
// change, the files it runs, the folders they lie in and every folder above
// those; any other SID, a user's own account and one never heard of
// included, could make the service run their commands.
#ifndef VIZAD_ACCESS_ACCESS_H
#define VIZAD_ACCESS_ACCESS_H

#include <windows.h>
#include <stddef.h>

// Whom the decision trusts beyond the system's own accounts and groups.
struct AccessTrust {
    const SID *pSelf;         // the account the service runs as, NULL for none
    const SID *apDomain[2];   // whose administrators are trusted (S-1-5-21-x-y-z), NULL for none
};

// decision.cpp, from a self-relative descriptor alone (no call to the
// system). Each returns the untrusted SID it found, pointing into the
// descriptor or at a constant (Everyone, for a missing DACL), NULL when
// there is none, or sidUnreadable for a DACL that cannot be read whole: its
// size cannot hold its ACEs, or an ACE does not fit its own size or the
// DACL, so what it allows is not known.
// A file the host runs, or a folder it runs from: ownership, or a right to
// change it or what it holds.
const SID *FindUntrustedWriter(PSECURITY_DESCRIPTOR pSD, BOOL fFolder, const AccessTrust *pTrust);
// A folder above those: ownership, or a right that lets its holder replace
// the folder below (delete it, change its rights or owner, delete a child).
// Adding files or folders to it replaces nothing and does not count.
const SID *FindUntrustedReplacer(PSECURITY_DESCRIPTOR pSD, const AccessTrust *pTrust);
// A folder with an object in it that another process holds without sharing
// reading, and so may move away unseen: ownership, or a right to add a file
// or a folder, either of which (a link of either kind included) could take
// its place.
const SID *FindUntrustedAdder(PSECURITY_DESCRIPTOR pSD, const AccessTrust *pTrust);
// The owner in the descriptor, NULL when it names none.
const SID *GetDescriptorOwner(PSECURITY_DESCRIPTOR pSD);
extern const SID sidUnreadable;

// walk.cpp: the length of the volume's root at the start of a full path
// (3 for C:\, through the share's backslash for \\server\share\, the same
// after a \\?\ or \\.\ prefix); 0 when the path has neither form.
size_t GetVolumeRootLength(const char *lpszPath);

// Whose own account the walk trusts. The service trusts the account it runs
// as. -install trusts no personal account: the person installing runs their
// unelevated programs under the same SID, and the service later runs as
// LocalSystem. It trusts the owner of the Windows folder instead, who can
// already replace the system's own programs (TrustedInstaller on Windows).
enum AccessTrustee { ACCESS_AS_SERVICE, ACCESS_AT_INSTALL };

// walk.cpp: NO_ERROR when no untrusted SID can change the file at
// lpszFile, the cFolders folders that hold it, nor any folder above those up
// to the volume's root, and the file has one name and can be held;
// otherwise the code to report, with lpszMsg naming the object and why (the
// SID, a link, a name more, another process's handle). fNameAccounts looks
// names up in the system, which may ask a domain controller; without it the
// SID is given as a string.
// With pphHeld, on success *pphHeld holds every object on the path open, so
// that none can be renamed, deleted or replaced until ReleasePath; without
// it, or on failure, nothing is left open.
DWORD CheckWhoCanChangePath(const char *lpszFile, int cFolders, AccessTrustee trustee,
                            BOOL fNameAccounts, char *lpszMsg, size_t cchMsg, HANDLE **pphHeld);
// Closes what a check held and frees it; NULL does nothing.
void ReleasePath(HANDLE *phHeld);

// check.cpp: one object, open as hObject. kind is a file, a folder the host
// runs from, or a folder above them, for which the first cchBelow bytes of
// lpszBelow name the folder it could replace.
enum AccessObject { ACCESS_FILE, ACCESS_FOLDER, ACCESS_FOLDER_ABOVE };
DWORD CheckWhoCanChange(HANDLE hObject, const char *lpszPath, AccessObject kind,
                        const char *lpszBelow, size_t cchBelow, const AccessTrust *pTrust,
                        BOOL fNameAccounts, char *lpszMsg, size_t cchMsg);

// Whether nobody untrusted may add a file or a folder to the folder open as
// hFolder; FALSE when that cannot be read.
BOOL IsAddingTrusted(HANDLE hFolder, const AccessTrust *pTrust);

// The refusal of a file that another process holds without sharing reading:
// the walk cannot hold it, and cmd could not read it. The supervisor's
// readability check says the same.
#define TEXT_HELD_UNREAD "%s is held open by a process that lets nobody read it."

#endif
