#include "CAtomicFile.h"
#include "SystemCalls.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

namespace
{
// About a second in all: long enough for a virus scanner, an indexer or a backup tool to look at a file
// just written and let it go; short enough that a host which really holds the file is asked about soon.
const DWORD kRetryWaits[] = {10, 20, 40, 80, 160, 250, 250, 250};
const int kRetries = ARRAYSIZE(kRetryWaits);

// Temporary names keep at most this much of the target's name, so that they fit in the 255 characters
// of a file name whatever the target's; then comes a number no other run uses.
const size_t kMaxNameKept = 200;
const size_t kUniqueDigits = 16;
const wchar_t kTemporarySuffix[] = L".installing";

// Attributes a new file takes from the one it replaces. Archive is always set, as any write sets it;
// read-only cannot be there (the target opened for writing), offline belongs to the old file's storage.
const DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                              FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_TEMPORARY;

// Another process has the file open for a moment, or is removing a file of that name.
bool IsInTheWay(DWORD dwError)
{
    return dwError == ERROR_SHARING_VIOLATION || dwError == ERROR_ACCESS_DENIED ||
           dwError == ERROR_LOCK_VIOLATION;
}

// Calls attempt, which returns a Win32 error (ERROR_SUCCESS once it succeeded), until it succeeds, fails
// otherwise than by another process being in the way, or has been retried nRetries times. Returns the
// last error.
template <class Attempt> DWORD WithRetries(int nRetries, Attempt attempt)
{
    for (int i = 0;; i++)
    {
        DWORD dwError = attempt();
        if (dwError == ERROR_SUCCESS || !IsInTheWay(dwError) || i == nRetries)
            return dwError;
        sys.Sleep(kRetryWaits[i]);
    }
}

// Paths hold a few hundred characters at most; without them nothing sensible can go on.
wchar_t* AllocPath(size_t cch)
{
    void* p = calloc(cch + 1, sizeof(wchar_t));
    if (p == NULL)
        ExitProcess(STATUS_NO_MEMORY);
    return (wchar_t*)p;
}

DWORD LastErrorOr(DWORD dwFallback)
{
    DWORD dwError = ::GetLastError();
    return dwError != ERROR_SUCCESS ? dwError : dwFallback;
}

// The full path of a path as given, with the \\?\ prefix under which no length limit below the system's
// applies; NULL when it names no file.
wchar_t* LongFullPath(const char* pszPath)
{
    int cchWide = ::MultiByteToWideChar(CP_ACP, 0, pszPath, -1, NULL, 0);
    if (cchWide <= 1)
        return NULL;
    wchar_t* pszWide = AllocPath((size_t)cchWide);
    ::MultiByteToWideChar(CP_ACP, 0, pszPath, -1, pszWide, cchWide);
    DWORD cchFull = ::GetFullPathNameW(pszWide, 0, NULL, NULL);
    wchar_t* pszLong = NULL;
    if (cchFull != 0)
    {
        const size_t cchPrefix = 8; // \\?\UNC\ at most
        pszLong = AllocPath(cchPrefix + cchFull);
        wchar_t* pszFull = pszLong + cchPrefix;
        if (::GetFullPathNameW(pszWide, cchFull, pszFull, NULL) == 0)
            pszFull[0] = L'\0';
        if (wcsncmp(pszFull, L"\\\\?\\", 4) == 0 || wcsncmp(pszFull, L"\\\\.\\", 4) == 0)
            memmove(pszLong, pszFull, (wcslen(pszFull) + 1) * sizeof(wchar_t));
        else if (wcsncmp(pszFull, L"\\\\", 2) == 0)
        {
            memmove(pszLong + 8, pszFull + 2, (wcslen(pszFull + 2) + 1) * sizeof(wchar_t));
            memcpy(pszLong, L"\\\\?\\UNC\\", 8 * sizeof(wchar_t));
        }
        else
        {
            memmove(pszLong + 4, pszFull, (wcslen(pszFull) + 1) * sizeof(wchar_t));
            memcpy(pszLong, L"\\\\?\\", 4 * sizeof(wchar_t));
        }
        if (pszLong[4] == L'\0')
        {
            free(pszLong);
            pszLong = NULL;
        }
    }
    free(pszWide);
    return pszLong;
}

// The file an open handle leads to, through any symbolic links, as a \\?\ path; NULL when the file
// system cannot say.
wchar_t* FinalPathOf(HANDLE hFile)
{
    DWORD cch = ::GetFinalPathNameByHandleW(hFile, NULL, 0, VOLUME_NAME_DOS);
    if (cch == 0)
        return NULL;
    wchar_t* pszFinal = AllocPath(cch);
    DWORD cchGot = ::GetFinalPathNameByHandleW(hFile, pszFinal, cch, VOLUME_NAME_DOS);
    if (cchGot == 0 || cchGot >= cch)
    {
        free(pszFinal);
        return NULL;
    }
    return pszFinal;
}

// The part of a path's file name that temporary names keep.
size_t NameKept(const wchar_t* pszName)
{
    size_t cch = wcslen(pszName);
    return cch < kMaxNameKept ? cch : kMaxNameKept;
}

// Whether pszFound is <kept>.<unique>.installing for the kept part of a target's name.
bool IsTemporaryName(const wchar_t* pszKept, size_t cchKept, const wchar_t* pszFound)
{
    const size_t cchSuffix = ARRAYSIZE(kTemporarySuffix) - 1;
    if (wcslen(pszFound) != cchKept + 1 + kUniqueDigits + cchSuffix ||
        _wcsnicmp(pszFound, pszKept, cchKept) != 0 || pszFound[cchKept] != L'.' ||
        _wcsicmp(pszFound + cchKept + 1 + kUniqueDigits, kTemporarySuffix) != 0)
        return false;
    for (size_t i = 0; i < kUniqueDigits; i++)
        if (!iswxdigit(pszFound[cchKept + 1 + i]))
            return false;
    return true;
}
} // namespace

CString CAtomicFile::TemporaryPatternFor(const char* pszTarget)
{
    CString strTarget(pszTarget);
    int nName = strTarget.ReverseFind('\\') + 1;
    return strTarget.Left(nName) + strTarget.Mid(nName).Left((int)kMaxNameKept) + ".*" +
           CString(kTemporarySuffix);
}

BOOL CAtomicFile::Open(const char* pszTarget, CFileException* pError)
{
    Abort();
    m_strTarget = pszTarget;

    // The existing target, if any, must open for writing and for nobody else, by the path as given, so
    // that exactly the files that could be written in place can be replaced. It is not truncated.
    // Access denied is final for a read-only file, and worth waiting out for any other.
    const DWORD dwAttributes = ::GetFileAttributesA(pszTarget);
    const bool bReadOnly =
        dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_READONLY);
    const UINT nFlags = CFile::modeWrite | CFile::shareExclusive | CFile::modeReadControl;
    DWORD dwError = WithRetries(bReadOnly ? 0 : kRetries, [&]() -> DWORD {
        if (m_fileTarget.Open(m_strTarget, nFlags | CFile::modeDelete, pError))
            return ERROR_SUCCESS;
        // Replacing the file needs the right to delete it: who may change it but not delete it has it
        // written in place.
        if (pError->m_lOsError == ERROR_ACCESS_DENIED && m_fileTarget.Open(m_strTarget, nFlags, pError))
        {
            m_bInPlace = TRUE;
            return ERROR_SUCCESS;
        }
        return (DWORD)pError->m_lOsError;
    });
    if (dwError != ERROR_SUCCESS && dwError != ERROR_FILE_NOT_FOUND)
        return FALSE;
    if (m_bInPlace)
        return TRUE;

    if (m_fileTarget.IsOpen())
    {
        // Replacing a file with other hard links would part it from them: it is written in place.
        FILE_STANDARD_INFO standard;
        if (::GetFileInformationByHandleEx(m_fileTarget.m_hFile, FileStandardInfo, &standard,
                                           sizeof standard) &&
            standard.NumberOfLinks > 1)
        {
            m_bInPlace = TRUE;
            return TRUE;
        }
        // Through a symbolic link, the file it leads to is replaced, and the link keeps leading to it.
        m_pszFinal = FinalPathOf(m_fileTarget.m_hFile);
    }
    if (m_pszFinal == NULL)
        m_pszFinal = LongFullPath(pszTarget);
    if (m_pszFinal == NULL)
    {
        pError->Set((LONG)LastErrorOr(ERROR_INVALID_NAME), pszTarget);
        Abort();
        return FALSE;
    }

    RemoveLeftovers();
    if (!CreateTemporary(pError))
    {
        // Someone who may change the file but create nothing in its folder still gets it written.
        if (pError->m_lOsError == ERROR_ACCESS_DENIED && m_fileTarget.IsOpen())
        {
            m_bInPlace = TRUE;
            return TRUE;
        }
        pError->m_strFileName = m_strTarget;
        Abort();
        return FALSE;
    }
    return TRUE;
}

BOOL CAtomicFile::CreateTemporary(CFileException* pError)
{
    const wchar_t* pszName = wcsrchr(m_pszFinal, L'\\') + 1;
    const size_t cchStem = (size_t)(pszName - m_pszFinal) + NameKept(pszName);
    m_pszTemporary = AllocPath(cchStem + 1 + kUniqueDigits + ARRAYSIZE(kTemporarySuffix));
    memcpy(m_pszTemporary, m_pszFinal, cchStem * sizeof(wchar_t));

    LARGE_INTEGER counter;
    ::QueryPerformanceCounter(&counter);
    ULONGLONG nUnique = ((ULONGLONG)::GetCurrentProcessId() << 32) ^ (ULONGLONG)counter.QuadPart;
    // The permissions of the file it replaces are set on it, which needs WRITE_DAC; moving and removing
    // it through its own handle needs DELETE.
    const DWORD dwAccess = GENERIC_WRITE | DELETE | (m_fileTarget.IsOpen() ? WRITE_DAC : 0);
    HANDLE hFile = INVALID_HANDLE_VALUE;
    DWORD dwError = WithRetries(kRetries, [&]() -> DWORD {
        for (int nName = 0; nName < 100; nName++, nUnique++)
        {
            wsprintfW(m_pszTemporary + cchStem, L".%08lX%08lX%s", (DWORD)(nUnique >> 32), (DWORD)nUnique,
                      kTemporarySuffix);
            hFile =
                sys.CreateFileW(m_pszTemporary, dwAccess, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
            if (hFile != INVALID_HANDLE_VALUE)
                return ERROR_SUCCESS;
            if (::GetLastError() != ERROR_FILE_EXISTS)
                break;
        }
        return LastErrorOr(ERROR_FILE_EXISTS);
    });
    if (dwError != ERROR_SUCCESS)
    {
        free(m_pszTemporary);
        m_pszTemporary = NULL;
        pError->Set((LONG)dwError, m_strTarget);
        return FALSE;
    }
    m_fileTemporary.Attach(hFile, m_strTarget);
    return TRUE;
}

void CAtomicFile::RemoveLeftovers()
{
    // Leftovers of killed runs beside the target: <name>.<unique>.installing, and <name>.installing of
    // older versions. A running installer holds its own with no sharing, so that it cannot be removed.
    const wchar_t* pszName = wcsrchr(m_pszFinal, L'\\') + 1;
    const size_t cchFolder = (size_t)(pszName - m_pszFinal);
    const size_t cchKept = NameKept(pszName);
    const size_t cchFinal = wcslen(m_pszFinal);
    wchar_t* pszPath = AllocPath(cchFinal + ARRAYSIZE(kTemporarySuffix) + MAX_PATH);

    memcpy(pszPath, m_pszFinal, cchFinal * sizeof(wchar_t));
    wcscpy(pszPath + cchFinal, kTemporarySuffix);
    ::DeleteFileW(pszPath);

    wcscpy(pszPath + cchFolder + cchKept, L".*");
    WIN32_FIND_DATAW found;
    HANDLE hFind = ::FindFirstFileW(pszPath, &found);
    if (hFind != INVALID_HANDLE_VALUE)
    {
        do
        {
            if (IsTemporaryName(pszName, cchKept, found.cFileName))
            {
                wcscpy(pszPath + cchFolder, found.cFileName);
                ::DeleteFileW(pszPath);
            }
        } while (::FindNextFileW(hFind, &found));
        ::FindClose(hFind);
    }
    free(pszPath);
}

BOOL CAtomicFile::Write(const void* pData, DWORD cbData, CFileException* pError)
{
    if (m_bInPlace)
    {
        // The room for the new contents is claimed before a byte changes, so that a full disk leaves the
        // old contents whole where the file system allocates on extension.
        LARGE_INTEGER size = {};
        ::GetFileSizeEx(m_fileTarget.m_hFile, &size);
        ULONGLONG cbRoom = (ULONGLONG)size.QuadPart > cbData ? (ULONGLONG)size.QuadPart : cbData;
        if (m_fileTarget.SetLength(cbRoom, pError))
        {
            m_fileTarget.SeekToBegin();
            if (m_fileTarget.Write(pData, cbData, pError) && m_fileTarget.SetLength(cbData, pError) &&
                m_fileTarget.Flush(pError))
                return TRUE;
        }
    }
    else if (CopyTargetMetadata(pError) && m_fileTemporary.Write(pData, cbData, pError) &&
             m_fileTemporary.Flush(pError))
        return TRUE;

    pError->m_strFileName = m_strTarget;
    Abort();
    return FALSE;
}

BOOL CAtomicFile::CopyTargetMetadata(CFileException* pError)
{
    // A new database gets what any file created in its folder gets.
    if (!m_fileTarget.IsOpen())
        return TRUE;

    // The permissions, where the file system keeps any: the old file's own entries, and those it
    // inherited from its folder unless it was protected from inheriting.
    DWORD dwVolumeFlags = 0;
    if (!::GetVolumeInformationByHandleW(m_fileTarget.m_hFile, NULL, 0, NULL, NULL, &dwVolumeFlags, NULL,
                                         0) ||
        (dwVolumeFlags & FILE_PERSISTENT_ACLS))
    {
        PACL pDacl = NULL;
        PSECURITY_DESCRIPTOR pDescriptor = NULL;
        DWORD dwError = sys.GetSecurityInfo(m_fileTarget.m_hFile, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                            NULL, NULL, &pDacl, NULL, &pDescriptor);
        if (dwError == ERROR_SUCCESS)
        {
            SECURITY_DESCRIPTOR_CONTROL control = 0;
            DWORD dwRevision;
            ::GetSecurityDescriptorControl(pDescriptor, &control, &dwRevision);
            SECURITY_INFORMATION info =
                DACL_SECURITY_INFORMATION |
                ((control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION
                                               : UNPROTECTED_DACL_SECURITY_INFORMATION);
            dwError =
                sys.SetSecurityInfo(m_fileTemporary.m_hFile, SE_FILE_OBJECT, info, NULL, NULL, pDacl, NULL);
            ::LocalFree(pDescriptor);
        }
        if (dwError != ERROR_SUCCESS)
        {
            pError->Set((LONG)dwError, m_strTarget);
            return FALSE;
        }
    }

    // The attributes and the creation time; the times of the last write and access are the new file's.
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(m_pszFinal, GetFileExInfoStandard, &data))
    {
        pError->Set((LONG)LastErrorOr(ERROR_ACCESS_DENIED), m_strTarget);
        return FALSE;
    }
    FILE_BASIC_INFO basic = {};
    basic.CreationTime.LowPart = data.ftCreationTime.dwLowDateTime;
    basic.CreationTime.HighPart = (LONG)data.ftCreationTime.dwHighDateTime;
    basic.FileAttributes = (data.dwFileAttributes & kKeptAttributes) | FILE_ATTRIBUTE_ARCHIVE;
    if (!sys.SetFileInformationByHandle(m_fileTemporary.m_hFile, FileBasicInfo, &basic, sizeof basic))
    {
        pError->Set((LONG)LastErrorOr(ERROR_ACCESS_DENIED), m_strTarget);
        return FALSE;
    }
    return TRUE;
}

BOOL CAtomicFile::Replace(CFileException* pError)
{
    if (m_bInPlace)
    {
        m_bInPlace = FALSE;
        if (m_fileTarget.Close(pError))
            return TRUE;
        pError->m_strFileName = m_strTarget;
        return FALSE;
    }

    m_fileTarget.Abort();
    DWORD dwError = WithRetries(
        kRetries, [this]() -> DWORD { return Move() ? ERROR_SUCCESS : LastErrorOr(ERROR_ACCESS_DENIED); });
    if (dwError != ERROR_SUCCESS)
    {
        pError->Set((LONG)dwError, m_strTarget);
        return FALSE;
    }
    // The handle now leads to the target.
    m_fileTemporary.Abort();
    free(m_pszTemporary);
    m_pszTemporary = NULL;
    return TRUE;
}

BOOL CAtomicFile::Move()
{
    if (m_fileTemporary.IsOpen())
    {
        // Moved by its own handle, so that it stays closed to every other process up to the move.
        const DWORD cbName = (DWORD)(wcslen(m_pszFinal) * sizeof(wchar_t));
        const DWORD cbInfo = (DWORD)sizeof(FILE_RENAME_INFO) + cbName;
        FILE_RENAME_INFO* pInfo = (FILE_RENAME_INFO*)AllocPath(cbInfo / sizeof(wchar_t) + 1);
        pInfo->ReplaceIfExists = TRUE;
        pInfo->RootDirectory = NULL;
        pInfo->FileNameLength = cbName;
        memcpy(pInfo->FileName, m_pszFinal, cbName);
        BOOL bMoved = sys.SetFileInformationByHandle(m_fileTemporary.m_hFile, FileRenameInfo, pInfo, cbInfo);
        DWORD dwError = ::GetLastError();
        free(pInfo);
        if (bMoved || IsInTheWay(dwError))
        {
            ::SetLastError(dwError);
            return bMoved;
        }
        // Any other failure may be a system or a file system that cannot move a file by its handle, or
        // takes no \\?\ path there: the file is moved by its name, which says what is really wrong.
        m_fileTemporary.Abort();
    }
    return sys.MoveFileExW(m_pszTemporary, m_pszFinal, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

void CAtomicFile::Abort()
{
    m_fileTarget.Abort();
    if (m_pszTemporary != NULL)
    {
        // Held with no sharing, the file cannot be deleted by its name while open: it is marked for
        // deletion through its handle and goes when closed.
        FILE_DISPOSITION_INFO disposition = {TRUE};
        BOOL bMarked = m_fileTemporary.IsOpen() &&
                       sys.SetFileInformationByHandle(m_fileTemporary.m_hFile, FileDispositionInfo,
                                                      &disposition, sizeof disposition);
        m_fileTemporary.Abort();
        if (!bMarked)
            ::DeleteFileW(m_pszTemporary);
        free(m_pszTemporary);
        m_pszTemporary = NULL;
    }
    free(m_pszFinal);
    m_pszFinal = NULL;
    m_bInPlace = FALSE;
}
