// Paths for the files the replacement works with: full paths under \\?\, where no length limit below the
// system's applies; the file an open handle leads to; and files of our own beside another, under names
// that no other run uses.
#pragma once

#include "CString.h"

// Given to every open of a path that a privileged run might be sent elsewhere on: should the name lead to
// a named pipe, its server learns who opens it but cannot act as them. Files take no notice.
constexpr DWORD kNoImpersonation = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

// Paths hold a few hundred characters at most; without memory for them nothing sensible can go on.
wchar_t* AllocPath(size_t cch);

// The full path of a path as given, with the \\?\ prefix; NULL when it names no file. Free with free().
wchar_t* LongFullPath(const char* pszPath);
wchar_t* LongFullPathW(const wchar_t* pszPath);

// The file an open handle leads to, through any symbolic links, as a \\?\ path (or, with VOLUME_NAME_NT,
// as the system's own \Device\... path); NULL when the file system cannot say.
wchar_t* FinalPathOf(HANDLE hFile, DWORD dwVolumeName = VOLUME_NAME_DOS);

// Where the folders of a \\?\ path begin: past \\?\C:\, \\?\UNC\server\share\ or \\?\Volume{...}\; NULL
// when the path is its root.
wchar_t* FirstFolder(wchar_t* pszLong);

// Whether two paths are the same, as file systems compare names: without regard to letter case.
bool IsSamePath(const wchar_t* psz1, const wchar_t* psz2);

// FALSE for a full path that names something other than a file on a disk: a device, as the system reads
// NUL, COM1 and the like in any folder, or a named stream (base.mdb:x).
bool IsFilePath(const wchar_t* pszFull);

// Creates a new file named <pszPath>.<16 hex digits><pszSuffix>, beside pszPath (a full path, whose file
// name is cut short enough for the whole name to fit in 255 characters), as CreateFileW would with the
// same access, sharing, security and attributes. *ppszCreated receives its path (free with free()).
// INVALID_HANDLE_VALUE, with the system's error, when no such file can be created.
HANDLE CreateFileBeside(const wchar_t* pszPath, const wchar_t* pszSuffix, DWORD dwAccess, DWORD dwShareMode,
                        SECURITY_ATTRIBUTES* pSecurity, DWORD dwAttributes, wchar_t** ppszCreated);

// Whether pszFound is a name CreateFileBeside gives for a file named pszName and pszSuffix.
bool IsNameBeside(const wchar_t* pszName, const wchar_t* pszSuffix, const wchar_t* pszFound);

// How many characters of a file name the names beside it keep.
size_t NameKeptBeside(const wchar_t* pszName);

// The full path that a file named as pszPath's file name has in the user's temporary folder; NULL when
// there is no such folder. Free with free().
wchar_t* InTemporaryFolder(const wchar_t* pszPath);

// A \\?\ path as a person writes it, in the system's code page.
CString DisplayPath(const wchar_t* pszLong);
