#include "Leftovers.h"
#include "CFile.h"
#include "CTargetFolder.h"
#include "FileNames.h"
#include "RunLog.h"
#include "RunningAccount.h"
#include "SystemCalls.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

BOOL AfxIsOwnPlainFile(HANDLE hFile)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!sys.GetFileInformationByHandle(hFile, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
        info.nNumberOfLinks != 1)
        return FALSE;
    // Where the file system keeps no owners (FAT, exFAT), a file is anyone's, and no link can be planted.
    DWORD dwVolumeFlags = 0;
    if (::GetVolumeInformationByHandleW(hFile, NULL, 0, NULL, NULL, &dwVolumeFlags, NULL, 0) &&
        !(dwVolumeFlags & FILE_PERSISTENT_ACLS))
        return TRUE;
    return AfxIsOwnedByRunningAccount(hFile);
}

namespace
{
// Removes what a killed run left, when nobody holds it any more: opened first with no sharing, so that a
// file another run is writing, or has just written and is about to move, stays. The name itself is opened,
// never what a link of that name leads to, and only a plain file of ours goes: in a folder others may write
// (the system account's temporary folder is one), anyone could plant a link under such a name to have a
// privileged run delete the file it leads to. A folder or a junction opens too, to be seen for what it is;
// whatever stays is said.
void RemoveIfUnheld(const wchar_t* pszPath, const CTargetFolder* pFolder)
{
    HANDLE hFile =
        sys.CreateFileW(pszPath, DELETE | READ_CONTROL | FILE_READ_ATTRIBUTES, 0, NULL, OPEN_EXISTING,
                        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS | kNoImpersonation, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
    {
        const DWORD dwError = ::GetLastError();
        if (dwError != ERROR_FILE_NOT_FOUND && dwError != ERROR_PATH_NOT_FOUND)
            AfxLog("%s: left alone (%s)", (const char*)DisplayPath(pszPath),
                   (const char*)AfxErrorText(dwError));
        return;
    }
    // Beside a target whose way is held, only a file that opened in the folder held: a folder emptied and
    // made a junction since the way was checked could send the name anywhere.
    FILE_DISPOSITION_INFO disposition = {TRUE};
    if (!AfxIsOwnPlainFile(hFile))
        AfxLog("%s: not a file this program made, left alone", (const char*)DisplayPath(pszPath));
    else if (pFolder != NULL && !pFolder->Holds(hFile))
        AfxLog("%s: not in the folder whose way was checked, left alone", (const char*)DisplayPath(pszPath));
    else
        sys.SetFileInformationByHandle(hFile, FileDispositionInfo, &disposition, sizeof disposition);
    sys.CloseHandle(hFile);
}
// Leftovers of killed runs beside pszPath: <name>.<unique>.installing (temporary files, and copies of the
// previous contents cut short), and <name>.installing of older versions. pFolder, when given, holds the way.
void RemoveLeftoversBeside(const wchar_t* pszPath, const CTargetFolder* pFolder)
{
    const wchar_t* pszName = wcsrchr(pszPath, L'\\') + 1;
    const size_t cchFolder = (size_t)(pszName - pszPath);
    const size_t cchPath = wcslen(pszPath);
    wchar_t* pszFound = AllocPath(cchPath + ARRAYSIZE(kTemporarySuffix) + MAX_PATH);

    memcpy(pszFound, pszPath, cchPath * sizeof(wchar_t));
    wcscpy(pszFound + cchPath, kTemporarySuffix);
    RemoveIfUnheld(pszFound, pFolder);

    wcscpy(pszFound + cchFolder + NameKeptBeside(pszName), L".*");
    WIN32_FIND_DATAW found;
    HANDLE hFind = ::FindFirstFileW(pszFound, &found);
    if (hFind != INVALID_HANDLE_VALUE)
    {
        do
        {
            if (IsNameBeside(pszName, kTemporarySuffix, found.cFileName))
            {
                wcscpy(pszFound + cchFolder, found.cFileName);
                RemoveIfUnheld(pszFound, pFolder);
            }
        } while (::FindNextFileW(hFind, &found));
        ::FindClose(hFind);
    }
    free(pszFound);
}
} // namespace

void AfxRemoveLeftovers(const wchar_t* pszPath, const CTargetFolder& folder)
{
    RemoveLeftoversBeside(pszPath, &folder);
    // A copy of the previous contents may have been begun in the user's temporary folder: the account's
    // own, or the system account's, which is never empty and so cannot be made a junction.
    if (wchar_t* pszInTemp = InTemporaryFolder(pszPath))
    {
        RemoveLeftoversBeside(pszInTemp, NULL);
        free(pszInTemp);
    }
}
