#include "CAtomicFile.h"
#include "FileIdentity.h"
#include "FileNames.h"
#include "Leftovers.h"
#include "RedirectionGuard.h"
#include "RunLog.h"
#include "RunningAccount.h"
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

// Writes everything the source gives from the file's position. *pcbReached receives how many bytes from
// there the writes may have changed, failed or not; a source that fails has changed nothing beyond what
// was written before.
BOOL WriteFrom(CByteSource& source, CFile& file, CFileException* pError, ULONGLONG* pcbReached)
{
    *pcbReached = 0;
    ULONGLONG cbWritten = 0;
    DWORD dwError = ERROR_SUCCESS;
    if (!source.Rewind(&dwError))
    {
        pError->Set((LONG)dwError, file.m_strFileName);
        return FALSE;
    }
    for (;;)
    {
        const BYTE* pbPiece;
        DWORD cbPiece, cbPieceReached = 0;
        if (!source.Next(&pbPiece, &cbPiece, &dwError))
        {
            AfxLog("the new contents could not be had: %s", (const char*)AfxErrorText(dwError));
            pError->Set((LONG)dwError, file.m_strFileName);
            return FALSE;
        }
        if (cbPiece == 0)
            return TRUE;
        const BOOL bWritten = file.Write(pbPiece, cbPiece, pError, &cbPieceReached);
        *pcbReached = cbWritten + cbPieceReached;
        if (!bWritten)
            return FALSE;
        cbWritten += cbPiece;
    }
}

DWORD LastErrorOr(DWORD dwFallback)
{
    DWORD dwError = ::GetLastError();
    return dwError != ERROR_SUCCESS ? dwError : dwFallback;
}

} // namespace

BOOL CAtomicFile::Open(const char* pszTarget, CFileException* pError, const wchar_t* pszDamagedKeptIn,
                       CTargetFolder* pFolder)
{
    Abort();
    m_strTarget = pszTarget;
    KeepPreviousIn(pszDamagedKeptIn);
    m_pFolder = pFolder != NULL ? pFolder : &m_folder;

    // A device would swallow the bytes and keep nothing; a named stream cannot be replaced. Said before
    // anything is made on the way.
    m_pszFinal = LongFullPath(pszTarget);
    if (m_pszFinal == NULL || !IsFilePath(m_pszFinal))
    {
        AfxLog(m_pszFinal == NULL ? "the target names no file"
                                  : "the target is not a file on a disk (a device or a named stream)");
        return Refuse(ERROR_INVALID_NAME, pError);
    }
    // The way to the target is the caller's to hold, or else held here.
    DWORD dwError;
    if (pFolder == NULL && !m_folder.Open(m_pszFinal, FALSE, &dwError))
        return Refuse(dwError, pError);
    free(m_pszFinal);
    m_pszFinal = LongFullPathW(m_pFolder->TargetPath());

    if (!OpenTarget(pError))
        return FALSE;
    if (m_fileTarget.IsOpen() && !RefuseUnlessHeld(m_fileTarget.m_hFile, "the target", pError))
        return FALSE;
    // Through a name that a user gave the file beside its names in other folders, a privileged run would
    // write a file of the system's, whichever way it wrote it.
    FILE_STANDARD_INFO standard;
    const bool bMayHaveOtherNames =
        m_fileTarget.IsOpen() && (!sys.GetFileInformationByHandleEx(m_fileTarget.m_hFile, FileStandardInfo,
                                                                    &standard, sizeof standard) ||
                                  standard.NumberOfLinks > 1);
    if (bMayHaveOtherNames && m_pFolder->HasNamesMadeElsewhere(m_fileTarget.m_hFile))
        return Refuse(ERROR_CANT_ACCESS_FILE, pError);
    // A target that an earlier attempt damaged is written in place again, so that a failure puts back the
    // contents it had before that attempt, not the damaged ones. One deleted since has nothing to put back
    // into: it is made anew, and the copy stays where it is, still the only place of those contents.
    const bool bDamaged = m_pszKeptIn != NULL && m_fileTarget.IsOpen();
    if (m_pszKeptIn != NULL && !bDamaged)
        AfxLog("the damaged file is gone; its previous contents stay in %s",
               (const char*)DisplayPath(m_pszKeptIn));
    const char* pszInPlaceBecause = bDamaged     ? "an earlier attempt left it damaged"
                                    : m_bInPlace ? "it may be changed but not deleted"
                                                 : NULL;
    if (pszInPlaceBecause == NULL && m_fileTarget.IsOpen())
    {
        // Replacing a file with other hard links would part it from them. Through a symbolic link, the
        // file it leads to is replaced, and the link keeps leading to it; where the system cannot say
        // which file that is, the path as given might be the link itself.
        wchar_t* pszFinal = NULL;
        if (bMayHaveOtherNames)
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
    AfxRemoveLeftovers(m_pszFinal, *m_pFolder);
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
    if (!RefuseUnlessHeld(m_fileTemporary.m_hFile, "the temporary file", pError))
        return FALSE;
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

void CAtomicFile::KeepPreviousIn(const wchar_t* pszCopy)
{
    wchar_t* pszKept = pszCopy != NULL ? wcscpy(AllocPath(wcslen(pszCopy)), pszCopy) : NULL;
    free(m_pszKeptIn);
    m_pszKeptIn = pszKept;
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

BOOL CAtomicFile::RefuseUnlessHeld(HANDLE hFile, const char* pszWhat, CFileException* pError)
{
    // What the system opened must be where the way was checked: a folder swapped for a junction in the
    // meantime would have sent the open elsewhere.
    if (m_pFolder->Holds(hFile))
        return TRUE;
    AfxLog("%s did not open in the folder whose way was checked: something on the way changed meanwhile",
           pszWhat);
    return Refuse(ERROR_UNTRUSTED_MOUNT_POINT_, pError);
}

BOOL CAtomicFile::OpenTarget(CFileException* pError)
{
    // The existing target, if any, must open for writing and for nobody else, by its path, so that exactly
    // the files that could be written in place can be replaced. It is not truncated; it is readable too, so
    // that its contents can be kept aside if it has to be written in place. Access denied is final for a
    // read-only file, and worth waiting out for any other.
    const DWORD dwAttributes = sys.GetFileAttributesW(m_pszFinal);
    const bool bReadOnly =
        dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_READONLY);
    const UINT nFlags = CFile::modeReadWrite | CFile::shareExclusive | CFile::modeReadControl;
    DWORD dwError = WithRetries("opening the target", bReadOnly ? 0 : kRetries, [&]() -> DWORD {
        if (m_fileTarget.Open(m_pszFinal, m_strTarget, nFlags | CFile::modeDelete, pError))
            return ERROR_SUCCESS;
        // Replacing the file needs the right to delete it: who may change it but not delete it has it
        // written in place.
        if (pError->m_lOsError == ERROR_ACCESS_DENIED &&
            m_fileTarget.Open(m_pszFinal, m_strTarget, nFlags, pError))
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
    // Made for us alone until it has the target's permissions, so that nobody the target keeps out can
    // open it meanwhile. Without the right to give it permissions, it has those its folder gives, which
    // must then be the target's for it to replace the target at all.
    SECURITY_ATTRIBUTES* pOwnerOnly = dwSecurity != 0 ? AfxOwnerOnlySecurity() : NULL;
    HANDLE hFile = INVALID_HANDLE_VALUE;
    DWORD dwError = WithRetries("creating the temporary file", kRetries, [&]() -> DWORD {
        m_bSecurityWritable = pOwnerOnly != NULL;
        hFile = CreateFileBeside(m_pszFinal, kTemporarySuffix, dwAccess | (pOwnerOnly ? dwSecurity : 0),
                                 dwShareMode, pOwnerOnly, FILE_ATTRIBUTE_NORMAL, &m_pszTemporary);
        if (hFile == INVALID_HANDLE_VALUE && pOwnerOnly != NULL && ::GetLastError() == ERROR_ACCESS_DENIED)
        {
            m_bSecurityWritable = FALSE;
            hFile = CreateFileBeside(m_pszFinal, kTemporarySuffix, dwAccess, dwShareMode, NULL,
                                     FILE_ATTRIBUTE_NORMAL, &m_pszTemporary);
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

BOOL CAtomicFile::Write(CByteSource& source, CFileException* pError)
{
    ULONGLONG cbReached;
    if (m_bInPlace ? WriteInPlace(source, pError)
                   : WriteFrom(source, m_fileTemporary, pError, &cbReached) && m_fileTemporary.Flush(pError))
        return TRUE;
    pError->m_strFileName = m_strTarget;
    Abort();
    return FALSE;
}

BOOL CAtomicFile::WriteInPlace(CByteSource& source, CFileException* pError)
{
    const ULONGLONG cbData = source.GetLength();
    // Not a byte changes before the previous contents are on the disk beside the file. A file damaged by an
    // earlier attempt has them in that attempt's copy already; should that copy be gone, the file's bytes as
    // they are now are all there is to go back to, and it stays as damaged as it was.
    bool bAdopted = false;
    if (m_pszKeptIn != NULL)
    {
        CFileException errorAdopting;
        bAdopted = m_previous.Adopt(m_pszKeptIn, &errorAdopting);
        if (!bAdopted)
            AfxLog(
                "the copy left by the earlier attempt, %s, cannot be used (%s); the file is copied as it is",
                (const char*)DisplayPath(m_pszKeptIn),
                (const char*)AfxErrorText((DWORD)errorAdopting.m_lOsError));
    }
    if (!bAdopted && !m_previous.Keep(m_fileTarget, m_pszFinal, pError))
        return FALSE;
    // The file that the previous contents belong to, so that they are never put back into another one.
    m_bIdentified = sys.GetFileInformationByHandle(m_fileTarget.m_hFile, &m_identity);

    // What may differ from the previous contents, so that a failure puts back only that: nothing, until the
    // file's length or its bytes change. A damaged file may differ anywhere.
    LARGE_INTEGER size = {};
    ::GetFileSizeEx(m_fileTarget.m_hFile, &size);
    const ULONGLONG cbPrevious = (ULONGLONG)size.QuadPart;
    ULONGLONG cbChanged = bAdopted ? ~0ull : 0;
    bool bLengthChanged = bAdopted;

    // The room for the new contents is claimed first, so that a full disk usually shows before anything
    // changed (where the file system allocates on extension: Samba servers and many NAS devices do not).
    // The file is closed here too: a close that fails may have lost what was written.
    ULONGLONG cbRoom = cbPrevious > cbData ? cbPrevious : cbData;
    ULONGLONG cbReached = 0;
    BOOL bWritten = FALSE;
    if (m_fileTarget.SetLength(cbRoom, pError))
    {
        bLengthChanged = bLengthChanged || cbRoom != cbPrevious;
        m_fileTarget.SeekToBegin();
        bWritten = WriteFrom(source, m_fileTarget, pError, &cbReached);
        cbChanged = cbChanged > cbReached ? cbChanged : cbReached;
        if (bWritten && (bWritten = m_fileTarget.SetLength(cbData, pError)))
        {
            bLengthChanged = bLengthChanged || cbData != cbPrevious;
            // Cut short: the previous bytes beyond the new end are gone too.
            cbChanged = cbChanged > cbPrevious ? cbChanged : cbPrevious;
        }
        bWritten = bWritten && m_fileTarget.Flush(pError) && m_fileTarget.Close(pError);
    }
    if (bWritten)
    {
        m_previous.Discard();
        KeepPreviousIn(NULL);
        return TRUE;
    }

    if (cbChanged == 0 && !bLengthChanged)
    {
        AfxLog("the write failed before anything changed");
        m_previous.Discard();
    }
    else if (PutBack(cbChanged))
    {
        AfxLog("the write failed; the previous contents were put back");
        m_previous.Discard();
        if (bAdopted)
            KeepPreviousIn(NULL);
    }
    else
    {
        free(m_pszKeptIn);
        m_pszKeptIn = m_previous.Leave();
        AfxLog("the write failed, and so did putting the previous contents back: they are kept in %s",
               (const char*)DisplayPath(m_pszKeptIn));
    }
    return FALSE;
}

BOOL CAtomicFile::PutBack(ULONGLONG cbChanged)
{
    // Through the handle the write used, unless it is closed or what failed was that handle (a dropped
    // connection, a transient I/O error): then through the file opened again by its path.
    CFileException error;
    if (m_fileTarget.IsOpen() && m_previous.PutBack(m_fileTarget, cbChanged, &error))
        return TRUE;
    if (m_fileTarget.IsOpen())
        AfxLog("putting the previous contents back: %s (error %ld); opening the file again",
               (const char*)AfxErrorText((DWORD)error.m_lOsError), error.m_lOsError);
    m_fileTarget.Abort();
    HANDLE hFile = INVALID_HANDLE_VALUE;
    DWORD dwError =
        WithRetries("opening the file again to put its previous contents back", kRetries, [&]() -> DWORD {
            hFile = sys.CreateFileW(m_pszFinal, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | kNoImpersonation, NULL);
            return hFile != INVALID_HANDLE_VALUE ? ERROR_SUCCESS : LastErrorOr(ERROR_ACCESS_DENIED);
        });
    if (dwError != ERROR_SUCCESS)
        return FALSE;
    m_fileTarget.Attach(hFile, m_strTarget);
    // By its path, another file may be found there now: a folder on the way swapped for a junction, the
    // file replaced. The previous contents go back only into the file they were taken from.
    BY_HANDLE_FILE_INFORMATION found;
    if (!m_bIdentified || !sys.GetFileInformationByHandle(hFile, &found) ||
        found.dwVolumeSerialNumber != m_identity.dwVolumeSerialNumber ||
        found.nFileIndexHigh != m_identity.nFileIndexHigh || found.nFileIndexLow != m_identity.nFileIndexLow)
    {
        AfxLog("putting the previous contents back: the file opened again is not the one written");
        m_fileTarget.Abort();
        return FALSE;
    }
    BOOL bPutBack = m_previous.PutBack(m_fileTarget, cbChanged, &error);
    if (!bPutBack)
        AfxLog("putting the previous contents back: %s (error %ld)",
               (const char*)AfxErrorText((DWORD)error.m_lOsError), error.m_lOsError);
    m_fileTarget.Abort();
    return bPutBack;
}

BOOL CAtomicFile::Replace(CFileException* pError)
{
    // Written in place, the file has its new contents already.
    if (m_bInPlace)
    {
        m_bInPlace = FALSE;
        return TRUE;
    }

    m_fileTarget.Abort();
    DWORD dwError = WithRetries("moving the new file over the target", kRetries, [this]() -> DWORD {
        return Move() ? ERROR_SUCCESS : LastErrorOr(ERROR_ACCESS_DENIED);
    });
    if (dwError != ERROR_SUCCESS)
    {
        // Nobody is in the way: the move itself failed (an I/O error, a dropped connection), and another
        // try would not do better. The written file goes; the target stays as it was.
        if (!IsInTheWay(dwError))
        {
            AfxLog(
                "the new file could not take the target's place: it is removed, the target left as it was");
            RemoveTemporary();
        }
        pError->Set((LONG)dwError, m_strTarget);
        return FALSE;
    }
    // The handle now leads to the target. Flushed again, so that the move is on the disk too before the
    // run reports it done (and records the date); where that fails, the run cannot say it is.
    m_bReplaced = TRUE;
    BOOL bFlushed = m_fileTemporary.Flush(pError);
    m_fileTemporary.Abort();
    free(m_pszTemporary);
    m_pszTemporary = NULL;
    if (!bFlushed)
        pError->m_strFileName = m_strTarget;
    return bFlushed;
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
    m_bReplaced = FALSE;
    m_bIdentified = FALSE;
    m_fileTarget.Abort();
    RemoveTemporary();
    m_previous.Discard();
    free(m_pszFinal);
    m_pszFinal = NULL;
    m_bInPlace = FALSE;
    m_folder.Release();
}
