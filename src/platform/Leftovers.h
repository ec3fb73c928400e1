// What a killed run leaves behind, and how the next run clears it away.
//
// What a leftover is: a file named <name>.<16 hex digits>.installing beside the file it was made for, as
// CreateFileBeside names files still being made (FileNames.h): a temporary file not yet moved over its
// target, or a copy of a file's previous contents cut short (CPreviousCopy.h); or <name>.installing, as older
// versions named theirs. Where it is looked for: beside the target, and in the user's temporary folder, where
// such a copy may have been begun. When it is ours: a plain file with a single name that the running account
// owns (AfxIsOwnPlainFile); in a folder others may write (the system account's temporary folder is one),
// anything else under such a name may have been planted to have a privileged run remove what it leads to. How
// it goes: opened as itself with no sharing, so that a file another run is still writing stays, and removed
// through that handle; whatever stays is said in the log.
#pragma once

#include <windows.h>

class CTargetFolder;

// What the names of files still being made end with, after their 16 hex digits.
constexpr wchar_t kTemporarySuffix[] = L".installing";

// TRUE for a file that is plainly ours: a regular file (not a folder, a link or a mount point) with a single
// name, owned by the running account or by the owner the account gives new files (the Administrators, for
// an elevated administrator), where the file system keeps owners. hFile needs READ_CONTROL. Anything else
// found under the name of a file we make may have been planted there.
BOOL AfxIsOwnPlainFile(HANDLE hFile);

// Removes the leftovers of killed runs for the file pszPath (a full \\?\ path), beside it and in the user's
// temporary folder, that nobody holds any more; beside it, only those that lie in the folder whose way is
// held (CTargetFolder.h).
void AfxRemoveLeftovers(const wchar_t* pszPath, const CTargetFolder& folder);
