#include "CAtomicFile.h"
#include "FileIdentity.h"
#include "FileNames.h"
#include "RunLog.h"
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

// Another process has the file open for a moment, or is removing a file of that name.
bool IsInTheWay(DWORD dwError)
{
    return dwError == ERROR_SHARING_VIOLATION || dwError == ERROR_ACCESS_DENIED ||
           dwError == ERROR_LOCK_VIOLATION;
}

// Calls attempt, which returns a Win32 error (ERROR_SUCCESS once it succeeded), until it succeeds, fails
// otherwise than by another process being in the way, or has been retried nRetries times. Returns the
// last error.
template <class Attempt> DWORD WithRetries(const char* pszStep, int nRetries, Attempt attempt)
{
    for (int i = 0;; i++)
    {
        DWORD dwError = attempt();
        if (dwError != ERROR_SUCCESS)
            AfxLog("%s, try %d: %s (error %lu)", pszStep, i + 1, (const char*)AfxErrorText(dwError), dwError);
        if (dwError == ERROR_SUCCESS || !IsInTheWay(dwError) || i == nRetries)
            return dwError;
        sys.Sleep(kRetryWaits[i]);
    }
}

DWORD LastErrorOr(DWORD dwFallback)
{
    DWORD dwError = ::GetLastError();
    return dwError != ERROR_SUCCESS ? dwError : dwFallback;
}

// Removes a file nobody holds: opened first with no sharing, so that a file another run is writing, or
// has just written and is about to move, stays.
void RemoveIfUnheld(const wchar_t* pszPath)
{
    HANDLE hFile = ::CreateFileW(pszPath, DELETE, 0, NULL, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, NULL);
    if (hFile != INVALID_HANDLE_VALUE)
        ::CloseHandle(hFile);
}
// Leftovers of killed runs beside pszPath: <name>.<unique>.installing (temporary files, and copies of the
// previous contents cut short), and <name>.installing of older versions.
void RemoveLeftoversBeside(const wchar_t* pszPath)
{
    const wchar_t* pszName = wcsrchr(pszPath, L'\\') + 1;
    const size_t cchFolder = (size_t)(pszName - pszPath);
    const size_t cchPath = wcslen(pszPath);
    wchar_t* pszFound = AllocPath(cchPath + ARRAYSIZE(kTemporarySuffix) + MAX_PATH);

    memcpy(pszFound, pszPath, cchPath * sizeof(wchar_t));
    wcscpy(pszFound + cchPath, kTemporarySuffix);
    RemoveIfUnheld(pszFound);

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
                RemoveIfUnheld(pszFound);
            }
        } while (::FindNextFileW(hFind, &found));
        ::FindClose(hFind);
    }
    free(pszFound);
}
} // namespace

BOOL CAtomicFile::Open(const char* pszTarget, CFileException* pError)
{
    Abort();
    m_strTarget = pszTarget;
    m_strPreviousKeptIn.Empty();

    // A device would swallow the bytes and keep nothing; a named stream cannot be replaced.
    m_pszFinal = LongFullPath(pszTarget);
    if (m_pszFinal == NULL || !IsFilePath(m_pszFinal))
    {
        AfxLog(m_pszFinal == NULL ? "the target names no file"
                                  : "the target is not a file on a disk (a device or a named stream)");
        return Refuse(ERROR_INVALID_NAME, pError);
    }

    if (!OpenTarget(pError))
        return FALSE;
    const char* pszInPlaceBecause = m_bInPlace ? "it may be changed but not deleted" : NULL;
    if (pszInPlaceBecause == NULL && m_fileTarget.IsOpen())
    {
        // Replacing a file with other hard links would part it from them. Through a symbolic link, the
        // file it leads to is replaced, and the link keeps leading to it; where the system cannot say
        // which file that is, the path as given might be the link itself.
        FILE_STANDARD_INFO standard;
        wchar_t* pszFinal = NULL;
        if (!sys.GetFileInformationByHandleEx(m_fileTarget.m_hFile, FileStandardInfo, &standard,
                                              sizeof standard) ||
            standard.NumberOfLinks > 1)
            pszInPlaceBecause = "it has other hard links, or the system cannot say";
        else if ((pszFinal = FinalPathOf(m_fileTarget.m_hFile)) == NULL)
            pszInPlaceBecause = "the system cannot say which file its path leads to";
        else
        {
            free(m_pszFinal);
            m_pszFinal = pszFinal;
        }
    }

    // Beside the file that is written, whichever way.
    RemoveLeftovers();
    if (pszInPlaceBecause != NULL)
        return InPlaceBecause(pszInPlaceBecause);
    if (!CreateTemporary(pError))
    {
        // Someone who may change the file but create nothing in its folder still gets it written.
        if (pError->m_lOsError == ERROR_ACCESS_DENIED && m_fileTarget.IsOpen())
            return InPlaceBecause("its folder takes no new file");
        pError->m_strFileName = m_strTarget;
        Abort();
        return FALSE;
    }
    if (m_fileTarget.IsOpen() &&
        !GiveIdentity(m_fileTarget.m_hFile, m_fileTemporary.m_hFile, m_bSecurityWritable))
    {
        RemoveTemporary();
        return InPlaceBecause("a new file could not have its owner, permissions, encryption or streams");
    }
    AfxLog(m_fileTarget.IsOpen()
               ? "to be replaced in one step, keeping its owner, permissions, attributes and "
                 "creation time"
               : "to be created");
    return TRUE;
}

BOOL CAtomicFile::InPlaceBecause(const char* pszReason)
{
    AfxLog("to be written in place, its previous contents kept aside first: %s", pszReason);
    m_bInPlace = TRUE;
    return TRUE;
}

BOOL CAtomicFile::Refuse(DWORD dwError, CFileException* pError)
{
    pError->Set((LONG)dwError, m_strTarget);
    Abort();
    return FALSE;
}

BOOL CAtomicFile::OpenTarget(CFileException* pError)
{
    // The existing target, if any, must open for writing and for nobody else, by the path as given, so
    // that exactly the files that could be written in place can be replaced. It is not truncated; it is
    // readable too, so that its contents can be kept aside if it has to be written in place. Access denied
    // is final for a read-only file, and worth waiting out for any other.
    const DWORD dwAttributes = ::GetFileAttributesA(m_strTarget);
    const bool bReadOnly =
        dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_READONLY);
    const UINT nFlags = CFile::modeReadWrite | CFile::shareExclusive | CFile::modeReadControl;
    DWORD dwError = WithRetries("opening the target", bReadOnly ? 0 : kRetries, [&]() -> DWORD {
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
    {
        Abort();
        return FALSE;
    }
    if (m_fileTarget.IsOpen() && ::GetFileType(m_fileTarget.m_hFile) != FILE_TYPE_DISK)
        return Refuse(ERROR_INVALID_NAME, pError);
    return TRUE;
}

BOOL CAtomicFile::CreateTemporary(CFileException* pError)
{
    // Moving and removing the file through its own handle needs DELETE. Where it replaces a file, the old
    // file's owner and permissions are set on it, which needs WRITE_DAC and WRITE_OWNER; a share that
    // grants only "Change" refuses those, and the file is then made without them.
    const DWORD dwAccess = GENERIC_WRITE | DELETE | READ_CONTROL | FILE_READ_ATTRIBUTES;
    const DWORD dwSecurity = m_fileTarget.IsOpen() ? WRITE_DAC | WRITE_OWNER : 0;
    // Shared for deletion only, so that it can still be moved by its name (below); nobody else can read
    // or write it, and leftovers are removed only when nobody holds them.
    const DWORD dwShareMode = FILE_SHARE_DELETE;
    HANDLE hFile = INVALID_HANDLE_VALUE;
    DWORD dwError = WithRetries("creating the temporary file", kRetries, [&]() -> DWORD {
        m_bSecurityWritable = dwSecurity != 0;
        hFile = CreateFileBeside(m_pszFinal, kTemporarySuffix, dwAccess | dwSecurity, dwShareMode,
                                 &m_pszTemporary);
        if (hFile == INVALID_HANDLE_VALUE && dwSecurity != 0 && ::GetLastError() == ERROR_ACCESS_DENIED)
        {
            m_bSecurityWritable = FALSE;
            hFile = CreateFileBeside(m_pszFinal, kTemporarySuffix, dwAccess, dwShareMode, &m_pszTemporary);
        }
        return hFile != INVALID_HANDLE_VALUE ? ERROR_SUCCESS : LastErrorOr(ERROR_FILE_EXISTS);
    });
    if (dwError != ERROR_SUCCESS)
    {
        pError->Set((LONG)dwError, m_strTarget);
        return FALSE;
    }
    m_fileTemporary.Attach(hFile, m_strTarget);
    return TRUE;
}

void CAtomicFile::RemoveTemporary()
{
    if (m_pszTemporary == NULL)
        return;
    m_fileTemporary.CloseAndDelete(m_pszTemporary);
    free(m_pszTemporary);
    m_pszTemporary = NULL;
}

void CAtomicFile::RemoveLeftovers()
{
    RemoveLeftoversBeside(m_pszFinal);
    // A copy of the previous contents may have been begun in the user's temporary folder.
    if (wchar_t* pszInTemp = InTemporaryFolder(m_pszFinal))
    {
        RemoveLeftoversBeside(pszInTemp);
        free(pszInTemp);
    }
}

BOOL CAtomicFile::Write(const void* pData, DWORD cbData, CFileException* pError)
{
    if (m_bInPlace ? WriteInPlace(pData, cbData, pError)
                   : m_fileTemporary.Write(pData, cbData, pError) && m_fileTemporary.Flush(pError))
        return TRUE;
    pError->m_strFileName = m_strTarget;
    Abort();
    return FALSE;
}

BOOL CAtomicFile::WriteInPlace(const void* pData, DWORD cbData, CFileException* pError)
{
    // Not a byte changes before the previous contents are on the disk beside the file.
    if (!m_previous.Keep(m_fileTarget, m_pszFinal, pError))
        return FALSE;

    // The room for the new contents is claimed first, so that a full disk usually shows before anything
    // changed (where the file system allocates on extension: Samba servers and many NAS devices do not).
    LARGE_INTEGER size = {};
    ::GetFileSizeEx(m_fileTarget.m_hFile, &size);
    ULONGLONG cbRoom = (ULONGLONG)size.QuadPart > cbData ? (ULONGLONG)size.QuadPart : cbData;
    if (m_fileTarget.SetLength(cbRoom, pError))
    {
        m_fileTarget.SeekToBegin();
        if (m_fileTarget.Write(pData, cbData, pError) && m_fileTarget.SetLength(cbData, pError) &&
            m_fileTarget.Flush(pError))
        {
            m_previous.Discard();
            return TRUE;
        }
    }

    CFileException errorPuttingBack;
    if (m_previous.PutBack(m_fileTarget, &errorPuttingBack))
    {
        AfxLog("the write failed; the previous contents were put back");
        m_previous.Discard();
    }
    else
    {
        m_strPreviousKeptIn = m_previous.Leave();
        AfxLog("the write failed, and so did putting the previous contents back (%s): they are kept in %s",
               (const char*)AfxErrorText((DWORD)errorPuttingBack.m_lOsError),
               (const char*)m_strPreviousKeptIn);
    }
    return FALSE;
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
    DWORD dwError = WithRetries("moving the new file over the target", kRetries, [this]() -> DWORD {
        return Move() ? ERROR_SUCCESS : LastErrorOr(ERROR_ACCESS_DENIED);
    });
    if (dwError != ERROR_SUCCESS)
    {
        pError->Set((LONG)dwError, m_strTarget);
        return FALSE;
    }
    // The handle now leads to the target. Flushed again, so that the move is on the disk too before the
    // run reports it done (and records the date).
    CFileException errorFlushing;
    m_fileTemporary.Flush(&errorFlushing);
    m_fileTemporary.Abort();
    free(m_pszTemporary);
    m_pszTemporary = NULL;
    return TRUE;
}

BOOL CAtomicFile::Move()
{
    // Moved by its own handle.
    BOOL bMoved = m_fileTemporary.MoveTo(m_pszFinal, TRUE);
    DWORD dwError = ::GetLastError();
    if (bMoved || IsInTheWay(dwError))
    {
        ::SetLastError(dwError);
        return bMoved;
    }
    // Any other failure may be a system or a file system that cannot move a file by its handle, or takes
    // no \\?\ path there: the file is moved by its name, which says what is really wrong. Our handle
    // stays open meanwhile (it shares deletion, as a move by name needs), so nobody else can open it.
    return sys.MoveFileExW(m_pszTemporary, m_pszFinal, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

void CAtomicFile::Abort()
{
    m_fileTarget.Abort();
    RemoveTemporary();
    m_previous.Discard();
    free(m_pszFinal);
    m_pszFinal = NULL;
    m_bInPlace = FALSE;
}
