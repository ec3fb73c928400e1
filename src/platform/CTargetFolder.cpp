#include "CTargetFolder.h"
#include "CFile.h"
#include "FileNames.h"
#include "RedirectionGuard.h"
#include "RunLog.h"
#include "RunningAccount.h"
#include "SystemCalls.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <winioctl.h>

namespace
{
// More links than this on one way is a loop, as the system would say too.
const int kMaxLinks = 32;

// What FSCTL_GET_REPARSE_POINT gives for a junction or a symbolic link (the system's REPARSE_DATA_BUFFER).
struct LinkData
{
    DWORD dwTag;
    WORD cbData;
    WORD wReserved;
    WORD cbSubstituteOffset, cbSubstitute, cbPrintOffset, cbPrint;
    union {
        struct
        {
            DWORD dwFlags;
            wchar_t aPath[1];
        } symlink;
        wchar_t aJunctionPath[1];
    };
};
const DWORD kSymlinkRelative = 1;

// What NtQueryInformationFile gives for the names of a file (FILE_LINKS_INFORMATION).
const ULONG kFileHardLinkInformation = 46;
struct FileLinkEntry
{
    ULONG cbNextEntryOffset;
    LONGLONG llParentFileId;
    ULONG cchName;
    wchar_t aName[1];
};
struct FileLinks
{
    ULONG cbNeeded;
    ULONG nEntries;
    FileLinkEntry first;
};

bool IsMissing(DWORD dwError)
{
    return dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND;
}

wchar_t* CopyPath(const wchar_t* psz)
{
    wchar_t* pszCopy = AllocPath(wcslen(psz));
    wcscpy(pszCopy, psz);
    return pszCopy;
}

// pszStart followed by a backslash and pszRest (which may be NULL).
wchar_t* JoinPath(const wchar_t* pszStart, const wchar_t* pszRest)
{
    const size_t cchStart = wcslen(pszStart);
    wchar_t* pszPath = AllocPath(cchStart + 1 + (pszRest ? wcslen(pszRest) : 0));
    wcscpy(pszPath, pszStart);
    if (pszRest != NULL)
    {
        if (cchStart == 0 || pszPath[cchStart - 1] != L'\\')
            wcscat(pszPath, L"\\");
        wcscat(pszPath, pszRest);
    }
    return pszPath;
}

// A handle's final path in a form that can be compared with another's: with the drive letter where the
// volume has one, else the system's device name; without a backslash at the end. NULL when unknown.
wchar_t* ComparablePath(HANDLE hFile)
{
    wchar_t* pszFinal = FinalPathOf(hFile);
    if (pszFinal == NULL)
        pszFinal = FinalPathOf(hFile, VOLUME_NAME_NT);
    size_t cch = pszFinal != NULL ? wcslen(pszFinal) : 0;
    if (cch > 0 && pszFinal[cch - 1] == L'\\')
        pszFinal[cch - 1] = L'\0';
    return pszFinal;
}

// "." and ".." taken out of a \\?\ path, which the system takes literally: a relative link's path. FALSE
// where ".." would lead above the root, as the system refuses such a link.
bool CollapseDots(wchar_t* pszLong)
{
    wchar_t* pszFirst = FirstFolder(pszLong);
    if (pszFirst == NULL)
        return true;
    wchar_t* pszOut = pszFirst;
    for (wchar_t* pszIn = pszFirst; pszIn != NULL;)
    {
        // Where the next name starts, had before the separator written below can overwrite the string's end.
        wchar_t* pszEnd = wcschr(pszIn, L'\\');
        const size_t cch = pszEnd ? (size_t)(pszEnd - pszIn) : wcslen(pszIn);
        wchar_t* pszNext = pszEnd ? pszEnd + 1 : NULL;
        if (cch == 2 && pszIn[0] == L'.' && pszIn[1] == L'.')
        {
            // Back to the start of the previous name.
            if (pszOut == pszFirst)
                return false;
            --pszOut;
            while (pszOut > pszFirst && pszOut[-1] != L'\\')
                --pszOut;
        }
        else if (cch > 0 && !(cch == 1 && pszIn[0] == L'.'))
        {
            memmove(pszOut, pszIn, cch * sizeof(wchar_t));
            pszOut += cch;
            *pszOut++ = L'\\';
        }
        pszIn = pszNext;
    }
    if (pszOut > pszFirst)
        --pszOut;
    *pszOut = L'\0';
    return true;
}

// Wine opens through a Unix link of the path as the system's own file calls would, and shows no reparse
// point for it: there, a name found elsewhere than where it stands is such a link.
bool OpensThroughUnixLinks()
{
    static const bool s_bWine = ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "wine_get_version") != NULL;
    return s_bWine;
}

// The path a junction's or a symbolic link's reparse data gives (pbEnd: where the data ends): a relative
// one taken from the link's folder, or from its drive's root where it starts with a backslash. NULL for a
// link of another kind, or a path that no file can have.
wchar_t* LinkPath(const LinkData* pLink, const BYTE* pbEnd, const wchar_t* pszLinkPath)
{
    const wchar_t* pchPath;
    bool bRelative = false;
    if (pLink->dwTag == IO_REPARSE_TAG_MOUNT_POINT)
        pchPath = pLink->aJunctionPath;
    else if (pLink->dwTag == IO_REPARSE_TAG_SYMLINK)
    {
        pchPath = pLink->symlink.aPath;
        bRelative = (pLink->symlink.dwFlags & kSymlinkRelative) != 0;
    }
    else
        return NULL;
    const wchar_t* pchSubstitute = (const wchar_t*)((const BYTE*)pchPath + pLink->cbSubstituteOffset);
    if ((const BYTE*)pchSubstitute + pLink->cbSubstitute > pbEnd || pLink->cbSubstitute < 2 * sizeof(wchar_t))
        return NULL;
    const size_t cchSubstitute = pLink->cbSubstitute / sizeof(wchar_t);
    wchar_t* pszSubstitute = AllocPath(cchSubstitute);
    memcpy(pszSubstitute, pchSubstitute, cchSubstitute * sizeof(wchar_t));

    wchar_t* pszTo = NULL; // a device path, which no file of a drive is named by
    if (bRelative)
    {
        wchar_t* pszFrom = CopyPath(pszLinkPath);
        *(pszSubstitute[0] == L'\\' ? FirstFolder(pszFrom) - 1 : wcsrchr(pszFrom, L'\\')) = L'\0';
        pszTo = JoinPath(pszFrom, pszSubstitute + (pszSubstitute[0] == L'\\' ? 1 : 0));
        free(pszFrom);
        if (!CollapseDots(pszTo))
        {
            free(pszTo);
            pszTo = NULL;
        }
    }
    else if (wcsncmp(pszSubstitute, L"\\??\\", 4) == 0)
    {
        // The system's own name for \\?\.
        pszTo = CopyPath(pszSubstitute);
        pszTo[1] = L'\\';
    }
    free(pszSubstitute);
    return pszTo;
}

// Where a link leads, as a \\?\ path: the path its reparse data gives. Wine keeps no reparse data: its
// handle is already what the link leads to.
wchar_t* LinkDestination(HANDLE hName, bool bIsTheLink, const wchar_t* pszLinkPath)
{
    if (!bIsTheLink)
        return FinalPathOf(hName);
    BYTE* pbData = (BYTE*)malloc(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
    DWORD cbData;
    wchar_t* pszTo = NULL;
    if (pbData != NULL && sys.DeviceIoControl(hName, FSCTL_GET_REPARSE_POINT, NULL, 0, pbData,
                                              MAXIMUM_REPARSE_DATA_BUFFER_SIZE, &cbData, NULL))
        pszTo = LinkPath((const LinkData*)pbData, pbData + cbData, pszLinkPath);
    free(pbData);
    return pszTo;
}
} // namespace

// The way is walked a name at a time, each name opened as itself. A link of ours sends the walk along the
// path it gives, from that path's root; any other kind of name is followed as the system would.
BOOL CTargetFolder::Open(const wchar_t* pszTarget, BOOL bCreate, DWORD* pdwError)
{
    HANDLE* phWere = m_phHeld;
    const int nWere = m_nHeld;
    m_phHeld = NULL;
    m_nHeld = 0;
    Release();
    BOOL bOpen;
    if (!AfxChecksLinksOnTheWay())
    {
        // As the system finds the way: the folders are made or found, nothing is held.
        wchar_t* pszFolder = CopyPath(pszTarget);
        *wcsrchr(pszFolder, L'\\') = L'\0';
        if (bCreate)
            MakeFolders(pszFolder);
        const DWORD dwAttributes = sys.GetFileAttributesW(pszFolder);
        free(pszFolder);
        bOpen =
            bCreate || (dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY));
        if (bOpen)
            m_pszTarget = CopyPath(pszTarget);
        else
            *pdwError = ERROR_PATH_NOT_FOUND;
    }
    else if (!(bOpen = Walk(CopyPath(pszTarget), bCreate, pdwError)))
        Release();
    for (int i = 0; i < nWere; i++)
        sys.CloseHandle(phWere[i]);
    free(phWere);
    return bOpen;
}

void CTargetFolder::MakeFolders(wchar_t* pszFolder)
{
    // One level at a time: the 8-bit folder functions stop at 248 characters, and a forward slash separates
    // folders as a backslash does. Whatever goes wrong shows later, when the file cannot be opened there.
    wchar_t* pszLevel = FirstFolder(pszFolder);
    const DWORD dwAttributes = sys.GetFileAttributesW(pszFolder);
    if (pszLevel != NULL &&
        (dwAttributes == INVALID_FILE_ATTRIBUTES || !(dwAttributes & FILE_ATTRIBUTE_DIRECTORY)))
    {
        DWORD dwResult;
        for (;;)
        {
            wchar_t* pszEnd = wcschr(pszLevel, L'\\');
            if (pszEnd != NULL)
                *pszEnd = L'\0';
            dwResult = sys.CreateDirectoryW(pszFolder, NULL) ? ERROR_SUCCESS : ::GetLastError();
            if (dwResult == ERROR_ALREADY_EXISTS)
                dwResult = ERROR_SUCCESS;
            if (pszEnd == NULL)
                break;
            *pszEnd = L'\\';
            pszLevel = pszEnd + 1;
        }
        AfxLog("making the folder %s: %s", (const char*)DisplayPath(pszFolder),
               (const char*)AfxErrorText(dwResult));
    }
}

namespace
{
// A name on the way, opened as itself (a junction or a link, not what it leads to), for its attributes
// and, where that is granted, its security. Shared for everything but deletion, so that while it is held
// nobody can rename or remove it, nor put anything else in its place (an empty folder can still be made a
// junction, which is why every file opened there later is checked to lie in the folder held).
HANDLE OpenAsItself(const wchar_t* pszPath)
{
    const DWORD dwShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
    const DWORD dwFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT | kNoImpersonation;
    HANDLE hName = sys.CreateFileW(pszPath, READ_CONTROL | FILE_READ_ATTRIBUTES, dwShare, NULL, OPEN_EXISTING,
                                   dwFlags, NULL);
    if (hName == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED)
        hName = sys.CreateFileW(pszPath, FILE_READ_ATTRIBUTES, dwShare, NULL, OPEN_EXISTING, dwFlags, NULL);
    return hName;
}

// Whether a name, opened as itself, leads elsewhere than where it stands, in the folder the system names
// pszParentFinal: a junction or a symbolic link shows a reparse point of the kind that stands for another
// name (*pbIsTheLink: the handle is the link). Wine keeps no such points: its links are the Unix system's,
// which it opens through, so that the handle's final path is where the link leads, outside the folder.
bool LeadsElsewhere(HANDLE hName, const wchar_t* pszFinal, const wchar_t* pszParentFinal, bool* pbIsTheLink)
{
    FILE_ATTRIBUTE_TAG_INFO tag;
    *pbIsTheLink = sys.GetFileInformationByHandleEx(hName, FileAttributeTagInfo, &tag, sizeof tag) &&
                   (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                   IsReparseTagNameSurrogate(tag.ReparseTag);
    if (*pbIsTheLink)
        return true;
    const wchar_t* pszName = wcsrchr(pszFinal, L'\\');
    return pszName == NULL || wcslen(pszParentFinal) != (size_t)(pszName - pszFinal) ||
           ::CompareStringOrdinal(pszFinal, (int)(pszName - pszFinal), pszParentFinal, -1, TRUE) !=
               CSTR_EQUAL;
}

// A file of a network share: who owns it is what its server says, and its links are the server's.
bool IsRemote(HANDLE hName)
{
    FILE_REMOTE_PROTOCOL_INFO remote;
    return sys.GetFileInformationByHandleEx(hName, FileRemoteProtocolInfo, &remote, sizeof remote) != FALSE;
}

// Whether a link may be followed, and, for the log, why or why not: an administrator (or the running
// account) made it, and nobody else may change where it leads, as anyone who may write a junction may aim it
// anywhere, whoever made it. A name found elsewhere than it stands without being a link is a Unix link under
// Wine, judged as any link; on a network share, a referral of its distributed file system, followed as the
// system follows it; on a local disk, a way that changed while it was walked.
bool MayFollow(HANDLE hName, bool bIsTheLink, CString* pstrWhy)
{
    CString strOwner;
    if (!bIsTheLink && !OpensThroughUnixLinks())
    {
        const bool bReferral = IsRemote(hName);
        *pstrWhy = bReferral ? "a referral of the network share"
                             : "not a junction or a link: the way changed while it was walked";
        return bReferral;
    }
    if (bIsTheLink && IsRemote(hName))
        *pstrWhy = "a link on a network share, whose server says who made it";
    else if (!AfxIsMadeByAdministrators(hName, &strOwner))
        *pstrWhy = "a link that " + strOwner + " made, not an administrator";
    else if (!AfxOnlyAdministratorsMay(hName, FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES))
        *pstrWhy = "a link that " + strOwner + " made, but users who are no administrators may aim elsewhere";
    else
    {
        *pstrWhy = "a link that " + strOwner + " made, and only administrators may change";
        return true;
    }
    return false;
}

bool IsFolder(HANDLE hName)
{
    FILE_BASIC_INFO basic;
    return sys.GetFileInformationByHandleEx(hName, FileBasicInfo, &basic, sizeof basic) &&
           (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}
} // namespace

BOOL CTargetFolder::Walk(wchar_t* pszPath, BOOL bCreate, DWORD* pdwError)
{
    wchar_t* pszParentFinal = NULL;
    DWORD dwError = ERROR_SUCCESS;
    for (int nLinks = 0; dwError == ERROR_SUCCESS;)
    {
        // The root (a drive, a share, a volume) is the system's; what it is called is what the first folder's
        // name is compared with.
        wchar_t* pszNext = FirstFolder(pszPath);
        if (pszNext == NULL)
        {
            dwError = ERROR_INVALID_NAME;
            break;
        }
        const wchar_t chFirst = *pszNext;
        *pszNext = L'\0';
        HANDLE hRoot = OpenAsItself(pszPath);
        *pszNext = chFirst;
        free(pszParentFinal);
        pszParentFinal = hRoot != INVALID_HANDLE_VALUE ? ComparablePath(hRoot) : NULL;
        if (hRoot == INVALID_HANDLE_VALUE)
            dwError = ::GetLastError();
        else
            Hold(hRoot);
        if (dwError == ERROR_SUCCESS && pszParentFinal == NULL)
            dwError = ERROR_CANT_RESOLVE_FILENAME;

        bool bFollowed = false;
        while (dwError == ERROR_SUCCESS && !bFollowed)
        {
            wchar_t* pszEnd = wcschr(pszNext, L'\\');
            const bool bLast = pszEnd == NULL;
            if (!bLast)
                *pszEnd = L'\0';
            HANDLE hName = OpenAsItself(pszPath);
            if (hName == INVALID_HANDLE_VALUE && !bLast && bCreate && IsMissing(::GetLastError()))
            {
                // Made here, and then checked as any other: someone may swap it in the moment between.
                BOOL bMade = sys.CreateDirectoryW(pszPath, NULL) || ::GetLastError() == ERROR_ALREADY_EXISTS;
                AfxLog("making the folder %s: %s", (const char*)DisplayPath(pszPath),
                       (const char*)AfxErrorText(bMade ? ERROR_SUCCESS : ::GetLastError()));
                if (bMade)
                    hName = OpenAsItself(pszPath);
            }
            if (hName == INVALID_HANDLE_VALUE)
            {
                dwError = ::GetLastError();
                if (bLast && IsMissing(dwError))
                    dwError = ERROR_SUCCESS; // a target to be created
                break;
            }

            wchar_t* pszFinal = ComparablePath(hName);
            bool bIsTheLink;
            if (pszFinal == NULL)
            {
                sys.CloseHandle(hName);
                dwError = ERROR_CANT_RESOLVE_FILENAME;
                break;
            }
            if (LeadsElsewhere(hName, pszFinal, pszParentFinal, &bIsTheLink))
            {
                CString strWhy;
                wchar_t* pszTo = NULL;
                if (!MayFollow(hName, bIsTheLink, &strWhy))
                {
                    AfxLog("%s, %s: not followed", (const char*)DisplayPath(pszPath), (const char*)strWhy);
                    dwError = ERROR_UNTRUSTED_MOUNT_POINT_;
                }
                else if ((pszTo = LinkDestination(hName, bIsTheLink, pszPath)) == NULL ||
                         ++nLinks > kMaxLinks)
                {
                    AfxLog("%s is a junction or a symbolic link whose way cannot be followed",
                           (const char*)DisplayPath(pszPath));
                    dwError = ERROR_CANT_RESOLVE_FILENAME;
                }
                else
                {
                    AfxLog("%s, %s, leads to %s: followed", (const char*)DisplayPath(pszPath),
                           (const char*)strWhy, (const char*)DisplayPath(pszTo));
                    // The rest of the way goes on from where the link leads, from that path's root.
                    wchar_t* pszRest = JoinPath(pszTo, bLast ? NULL : pszEnd + 1);
                    free(pszPath);
                    pszPath = pszRest;
                    bFollowed = true;
                }
                free(pszTo);
                free(pszFinal);
                // The link stays as it was checked while held; but where the handle is the target itself
                // (Wine's), the target must stay free to be replaced.
                if (dwError == ERROR_SUCCESS && (bIsTheLink || !bLast))
                    Hold(hName);
                else
                    sys.CloseHandle(hName);
                continue;
            }

            if (bLast)
            {
                // The target itself is not held: it must stay free to be replaced.
                sys.CloseHandle(hName);
                free(pszFinal);
                break;
            }
            if (!IsFolder(hName))
            {
                sys.CloseHandle(hName);
                free(pszFinal);
                dwError = ERROR_PATH_NOT_FOUND;
                break;
            }
            Hold(hName);
            free(pszParentFinal);
            pszParentFinal = pszFinal;
            *pszEnd = L'\\';
            pszNext = pszEnd + 1;
        }
        if (!bFollowed)
            break;
    }
    if (dwError != ERROR_SUCCESS)
    {
        free(pszPath);
        free(pszParentFinal);
        *pdwError = dwError;
        return FALSE;
    }
    m_pszTarget = pszPath;
    m_pszFolderFinal = pszParentFinal;
    m_hFolder = m_phHeld[m_nHeld - 1];
    m_bChecked = TRUE;
    return TRUE;
}

void CTargetFolder::Hold(HANDLE hName)
{
    HANDLE* phHeld = (HANDLE*)realloc(m_phHeld, (m_nHeld + 1) * sizeof(HANDLE));
    if (phHeld == NULL)
        ExitProcess(STATUS_NO_MEMORY);
    m_phHeld = phHeld;
    m_phHeld[m_nHeld++] = hName;
}

BOOL CTargetFolder::Holds(HANDLE hFile) const
{
    if (!m_bChecked)
        return TRUE;
    wchar_t* pszFinal = ComparablePath(hFile);
    wchar_t* pszName = pszFinal != NULL ? wcsrchr(pszFinal, L'\\') : NULL;
    if (pszName != NULL)
        *pszName = L'\0';
    const BOOL bHeld = pszName != NULL && IsSamePath(pszFinal, m_pszFolderFinal);
    free(pszFinal);
    return bHeld;
}

BOOL CTargetFolder::HasNamesMadeElsewhere(HANDLE hFile) const
{
    if (!m_bChecked)
        return FALSE;
    // The list, in a buffer as large as the system says it needs.
    const LONG kBufferOverflow = (LONG)0x80000005;
    FileLinks* pLinks = NULL;
    ULONG cbLinks = 4096;
    LONG lStatus;
    do
    {
        free(pLinks);
        if ((pLinks = (FileLinks*)malloc(cbLinks)) == NULL)
            ExitProcess(STATUS_NO_MEMORY);
        ULONG_PTR ioStatus[2];
        lStatus = sys.NtQueryInformationFile(hFile, ioStatus, pLinks, cbLinks, kFileHardLinkInformation);
        cbLinks = lStatus == kBufferOverflow && pLinks->cbNeeded > cbLinks ? pLinks->cbNeeded : 0;
    } while (cbLinks != 0);
    BY_HANDLE_FILE_INFORMATION folder = {};
    bool bElsewhere = false, bKnown = lStatus >= 0 && sys.GetFileInformationByHandle(m_hFolder, &folder);
    const LONGLONG llFolder = (LONGLONG)((ULONGLONG)folder.nFileIndexHigh << 32 | folder.nFileIndexLow);
    const FileLinkEntry* pEntry = &pLinks->first;
    for (ULONG i = 0; bKnown && i < pLinks->nEntries; i++)
    {
        if (pEntry->llParentFileId != llFolder)
        {
            CString strName;
            strName.AssignWide(pEntry->aName, (int)pEntry->cchName);
            AfxLog("the file is also named %s, in another folder", (const char*)strName);
            bElsewhere = true;
        }
        if (pEntry->cbNextEntryOffset == 0)
            break;
        pEntry = (const FileLinkEntry*)((const BYTE*)pEntry + pEntry->cbNextEntryOffset);
    }
    free(pLinks);
    // Wine keeps no list of a file's names; Windows does on every file system that has hard links. A file
    // whose names cannot be had may have some elsewhere.
    if (!bKnown && OpensThroughUnixLinks())
    {
        AfxLog("the file's other names cannot be listed here (status 0x%08lX): written as it is", lStatus);
        return FALSE;
    }
    if (bKnown && !bElsewhere)
        return FALSE;
    // A user who may add a name to the folder could have made this one: a second name of a file he cannot
    // write, which the run would write through.
    if (AfxOnlyAdministratorsMay(m_hFolder, FILE_ADD_FILE))
    {
        AfxLog("only administrators can have named the file in its folder: written through");
        return FALSE;
    }
    AfxLog("a user may have named the file in its folder, and it %s: not written through",
           bKnown ? "has names in other folders" : "may have names in other folders");
    return TRUE;
}

BOOL CTargetFolder::RemovePlainFile(const wchar_t* pszName, CString* pstrWhyNot) const
{
    wchar_t* pszFolder = CopyPath(m_pszTarget);
    *wcsrchr(pszFolder, L'\\') = L'\0';
    wchar_t* pszPath = JoinPath(pszFolder, pszName);
    free(pszFolder);
    // Opened as itself, shared as a deletion by name would be: a host holding it open without sharing
    // deletion keeps it. Deleted through that handle, so that what was checked is what goes.
    HANDLE hFile = sys.CreateFileW(pszPath, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                   OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | kNoImpersonation, NULL);
    free(pszPath);
    if (hFile == INVALID_HANDLE_VALUE)
    {
        *pstrWhyNot = AfxErrorText(::GetLastError());
        return FALSE;
    }
    // Only a file seen to be another than the target: where either cannot be identified, the name might
    // be the target's under another spelling.
    BY_HANDLE_FILE_INFORMATION stale, target;
    HANDLE hTarget = sys.CreateFileW(m_pszTarget, FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | kNoImpersonation, NULL);
    const bool bTargetKnown =
        hTarget != INVALID_HANDLE_VALUE && sys.GetFileInformationByHandle(hTarget, &target);
    if (hTarget != INVALID_HANDLE_VALUE)
        sys.CloseHandle(hTarget);
    FILE_DISPOSITION_INFO disposition = {TRUE};
    BOOL bRemoved = FALSE;
    if (!sys.GetFileInformationByHandle(hFile, &stale) || !bTargetKnown)
        *pstrWhyNot = "not seen to be another file than the database";
    else if (stale.dwVolumeSerialNumber == target.dwVolumeSerialNumber &&
             stale.nFileIndexHigh == target.nFileIndexHigh && stale.nFileIndexLow == target.nFileIndexLow)
        *pstrWhyNot = "it is the database itself";
    else if ((stale.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
             !Holds(hFile))
        *pstrWhyNot = "not a plain file of the target's folder";
    else if (!(bRemoved = sys.SetFileInformationByHandle(hFile, FileDispositionInfo, &disposition,
                                                         sizeof disposition)))
        *pstrWhyNot = AfxErrorText(::GetLastError());
    sys.CloseHandle(hFile);
    return bRemoved;
}

void CTargetFolder::Release()
{
    for (int i = 0; i < m_nHeld; i++)
        sys.CloseHandle(m_phHeld[i]);
    free(m_phHeld);
    m_phHeld = NULL;
    m_nHeld = 0;
    m_hFolder = NULL;
    free(m_pszTarget);
    m_pszTarget = NULL;
    free(m_pszFolderFinal);
    m_pszFolderFinal = NULL;
    m_bChecked = FALSE;
}
