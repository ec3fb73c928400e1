// The folder a file is installed into, and the way there.
//
// A privileged run (RedirectionGuard.h) could be sent anywhere by a junction or a symbolic link that a user
// made on that way: it would then write, or delete, a file of the system's instead of its own. Such a run
// checks each name on the way as itself, before anything follows it:
// - a junction or a symbolic link is followed only when an administrator or the run's own account made it
//   and nobody else may change where it leads (RunningAccount.h), and then along the path it gives, each of
//   its names checked as well; one on a network share, whose server says who made it, is not; any other ends
//   the attempt with ERROR_UNTRUSTED_MOUNT_POINT_, the link named in the log;
// - every folder passed stays open, without delete sharing, until the object is destroyed or opened anew, so
//   that none can be renamed or removed meanwhile; the folders made on the way are made by the run and
//   checked the same way. An empty folder can still be made a junction while it is held;
// - so a file opened, made or removed there afterwards is checked to lie in the folder held (Holds): what
//   the system resolved as the file was opened must be what was checked.
// A run that is not privileged follows the path as the system does, as anyone who could plant a link would.
//
//   CTargetFolder folder;
//   folder.Open(L"\\\\?\\C:\\Data\\Tarif.mdb", TRUE, &e);  // missing folders made; the way checked and held
//   HANDLE h = CreateFileW(folder.TargetPath(), ...);      // the target where the way checked leads
//   folder.Holds(h);                                       // and nowhere else
//   folder.RemovePlainFile(L"Stale.dat", &strWhyNot);      // a plain file of the folder, never a link's
#pragma once

#include "CString.h"

class CTargetFolder
{
public:
    CTargetFolder()
        : m_pszTarget(NULL), m_pszFolderFinal(NULL), m_phHeld(NULL), m_nHeld(0), m_hFolder(NULL),
          m_bChecked(FALSE)
    {
    }
    ~CTargetFolder() { Release(); }
    CTargetFolder(const CTargetFolder&) = delete;
    CTargetFolder& operator=(const CTargetFolder&) = delete;

    // pszTarget is the target's full \\?\ path. bCreate makes the folders that are missing; otherwise a
    // missing folder is a failure (ERROR_PATH_NOT_FOUND). A missing target is not. What was held before is
    // let go once the new way is held. FALSE, with the system's error and nothing held, when the way cannot
    // be taken.
    BOOL Open(const wchar_t* pszTarget, BOOL bCreate, DWORD* pdwError);
    BOOL IsOpen() const { return m_pszTarget != NULL; }
    // The target as the way checked leads to it, in the folder held: a full \\?\ path.
    const wchar_t* TargetPath() const { return m_pszTarget; }
    // TRUE when the open file hFile lies directly in the folder held, as the system sees it now. Always TRUE
    // where the way is not checked.
    BOOL Holds(HANDLE hFile) const;
    // TRUE when hFile, a file of the folder with more than one name, has names in other folders and someone
    // other than an administrator may have given it its name here: a privileged run must not write through
    // such a name. Where the file system cannot list a file's names, they count as lying elsewhere (but under
    // Wine, which lists none: FALSE, and logged).
    BOOL HasNamesMadeElsewhere(HANDLE hFile) const;
    // Removes a plain file of the folder, pszName being its name: never a folder, a junction or a link, nor
    // anything that is not in the folder held, nor the target itself. FALSE, with the reason, when it stays.
    BOOL RemovePlainFile(const wchar_t* pszName, CString* pstrWhyNot) const;
    // Lets every folder go.
    void Release();

private:
    // Makes the folders of a \\?\ folder path that are missing, as the system finds them.
    static void MakeFolders(wchar_t* pszFolder);
    BOOL Walk(wchar_t* pszPath, BOOL bCreate, DWORD* pdwError);
    void Hold(HANDLE hName);

    wchar_t* m_pszTarget;      // where the way leads
    wchar_t* m_pszFolderFinal; // the folder held, as the system names it: what Holds compares
    HANDLE* m_phHeld;          // every folder and link passed, the target's own folder last
    int m_nHeld;
    HANDLE m_hFolder; // the target's own folder, among those held
    BOOL m_bChecked;  // the way was checked and is held
};
