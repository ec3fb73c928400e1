#include "CFile.h"
#include "CTargetFolder.h"
#include "FileNames.h"
#include "MappedRead.h"
#include "SystemCalls.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

BOOL CFileException::GetErrorMessage(char* lpszError, UINT nMaxError, UINT* pnHelpContext) const
{
    if (pnHelpContext != NULL)
        *pnHelpContext = 0;
    if (lpszError == NULL || nMaxError == 0)
        return FALSE;

    char* pszSystem = NULL;
    DWORD cch = ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 NULL, (DWORD)m_lOsError, 0, (char*)&pszSystem, 0, NULL);
    CString strText;
    if (cch != 0 && pszSystem != NULL)
    {
        while (cch > 0 &&
               (pszSystem[cch - 1] == '\r' || pszSystem[cch - 1] == '\n' || pszSystem[cch - 1] == ' '))
            --cch;
        strText = CString(pszSystem, (int)cch);
    }
    if (pszSystem != NULL)
        ::LocalFree(pszSystem);
    if (strText.IsEmpty())
    {
        char szCode[32];
        wsprintfA(szCode, "Error %ld", m_lOsError);
        strText = szCode;
    }

    lstrcpynA(lpszError, strText, (int)nMaxError);
    return TRUE;
}

CString AfxErrorText(DWORD dwError)
{
    CFileException error;
    error.m_lOsError = (LONG)dwError;
    char szText[255];
    error.GetErrorMessage(szText, sizeof szText);
    return CString(szText);
}

namespace
{
// What CreateFile is asked for the framework's flags.
struct OpenRequest
{
    DWORD dwAccess, dwShareMode, dwCreation;
};

OpenRequest RequestFor(UINT nOpenFlags)
{
    OpenRequest request = {0, 0, OPEN_EXISTING};
    switch (nOpenFlags & 3)
    {
    case CFile::modeRead:
        request.dwAccess = GENERIC_READ;
        break;
    case CFile::modeWrite:
        request.dwAccess = GENERIC_WRITE;
        break;
    default:
        request.dwAccess = GENERIC_READ | GENERIC_WRITE;
        break;
    }
    if (nOpenFlags & CFile::modeReadControl)
        request.dwAccess |= READ_CONTROL;
    if (nOpenFlags & CFile::modeDelete)
        request.dwAccess |= DELETE;

    switch (nOpenFlags & 0x70)
    {
    case CFile::shareDenyWrite:
        request.dwShareMode = FILE_SHARE_READ;
        break;
    case CFile::shareDenyRead:
        request.dwShareMode = FILE_SHARE_WRITE;
        break;
    case CFile::shareDenyNone:
        request.dwShareMode = FILE_SHARE_READ | FILE_SHARE_WRITE;
        break;
    default: // shareCompat, shareExclusive
        break;
    }

    if (nOpenFlags & CFile::modeCreate)
        request.dwCreation = (nOpenFlags & CFile::modeNoTruncate) ? OPEN_ALWAYS : CREATE_ALWAYS;
    return request;
}
} // namespace

BOOL CFile::Open(const char* pszFileName, UINT nOpenFlags, CFileException* pError)
{
    Abort();
    const OpenRequest request = RequestFor(nOpenFlags);
    return Opened(sys.CreateFileA(pszFileName, request.dwAccess, request.dwShareMode, NULL,
                                  request.dwCreation, FILE_ATTRIBUTE_NORMAL, NULL),
                  pszFileName, pError);
}

BOOL CFile::Open(const wchar_t* pszPath, const char* pszFileName, UINT nOpenFlags, CFileException* pError)
{
    Abort();
    const OpenRequest request = RequestFor(nOpenFlags);
    return Opened(sys.CreateFileW(pszPath, request.dwAccess, request.dwShareMode, NULL, request.dwCreation,
                                  FILE_ATTRIBUTE_NORMAL | kNoImpersonation, NULL),
                  pszFileName, pError);
}

BOOL CFile::Opened(HANDLE hFile, const char* pszFileName, CFileException* pError)
{
    if (hFile == INVALID_HANDLE_VALUE)
    {
        if (pError != NULL)
            pError->Set((LONG)::GetLastError(), pszFileName);
        return FALSE;
    }
    m_hFile = hFile;
    m_strFileName = pszFileName;
    return TRUE;
}

void CFile::Attach(HANDLE hFile, const char* pszFileName)
{
    Abort();
    m_hFile = hFile;
    m_strFileName = pszFileName;
}

BOOL CFile::Read(void* pBuf, DWORD nCount, DWORD* pnRead, CFileException* pError)
{
    *pnRead = 0;
    if (!sys.ReadFile(m_hFile, pBuf, nCount, pnRead, NULL))
    {
        pError->Set((LONG)::GetLastError(), m_strFileName);
        return FALSE;
    }
    return TRUE;
}

BOOL CFile::Write(const void* pBuf, DWORD nCount, CFileException* pError, DWORD* pnReached)
{
    // In pieces: some network redirectors fail a single write of more than 64 MiB.
    const DWORD kMaxPiece = 4u << 20;
    const BYTE* pNext = (const BYTE*)pBuf;
    do
    {
        DWORD nPiece = nCount < kMaxPiece ? nCount : kMaxPiece;
        DWORD nWritten = 0;
        if (pnReached != NULL)
            *pnReached = (DWORD)(pNext - (const BYTE*)pBuf) + nPiece;
        if (!sys.WriteFile(m_hFile, pNext, nPiece, &nWritten, NULL))
        {
            pError->Set((LONG)::GetLastError(), m_strFileName);
            return FALSE;
        }
        if (nWritten != nPiece)
        {
            pError->Set(ERROR_DISK_FULL, m_strFileName);
            return FALSE;
        }
        pNext += nPiece;
        nCount -= nPiece;
    } while (nCount > 0);
    return TRUE;
}

BOOL CFile::SetLength(ULONGLONG nNewLength, CFileException* pError)
{
    LARGE_INTEGER position;
    position.QuadPart = (LONGLONG)nNewLength;
    if (!::SetFilePointerEx(m_hFile, position, NULL, FILE_BEGIN) || !sys.SetEndOfFile(m_hFile))
    {
        pError->Set((LONG)::GetLastError(), m_strFileName);
        return FALSE;
    }
    return TRUE;
}

void CFile::SeekToBegin()
{
    LARGE_INTEGER zero = {};
    ::SetFilePointerEx(m_hFile, zero, NULL, FILE_BEGIN);
}

BOOL CFile::Flush(CFileException* pError)
{
    if (!sys.FlushFileBuffers(m_hFile))
    {
        pError->Set((LONG)::GetLastError(), m_strFileName);
        return FALSE;
    }
    return TRUE;
}

BOOL CFile::Close(CFileException* pError)
{
    HANDLE hFile = m_hFile;
    m_hFile = INVALID_HANDLE_VALUE;
    if (hFile != INVALID_HANDLE_VALUE && !sys.CloseHandle(hFile))
    {
        pError->Set((LONG)::GetLastError(), m_strFileName);
        return FALSE;
    }
    return TRUE;
}

void CFile::Abort()
{
    if (m_hFile != INVALID_HANDLE_VALUE)
        sys.CloseHandle(m_hFile);
    m_hFile = INVALID_HANDLE_VALUE;
}

BOOL CFile::MoveTo(const wchar_t* pszNewPath, BOOL bReplace)
{
    const DWORD cbName = (DWORD)(wcslen(pszNewPath) * sizeof(wchar_t));
    const DWORD cbInfo = (DWORD)sizeof(FILE_RENAME_INFO) + cbName;
    FILE_RENAME_INFO* pInfo = (FILE_RENAME_INFO*)calloc(cbInfo + sizeof(wchar_t), 1);
    if (pInfo == NULL)
        ExitProcess(STATUS_NO_MEMORY);
    pInfo->ReplaceIfExists = bReplace;
    pInfo->RootDirectory = NULL;
    pInfo->FileNameLength = cbName;
    memcpy(pInfo->FileName, pszNewPath, cbName);
    BOOL bMoved = sys.SetFileInformationByHandle(m_hFile, FileRenameInfo, pInfo, cbInfo);
    DWORD dwError = ::GetLastError();
    free(pInfo);
    ::SetLastError(dwError);
    return bMoved;
}

BOOL CFile::CloseAndDelete(const wchar_t* pszPath)
{
    FILE_DISPOSITION_INFO disposition = {TRUE};
    BOOL bMarked = IsOpen() && sys.SetFileInformationByHandle(m_hFile, FileDispositionInfo, &disposition,
                                                              sizeof disposition);
    Abort();
    return bMarked || ::DeleteFileW(pszPath);
}

BOOL CFile::OpenToCompare(const CTargetFolder& folder, ULONGLONG cbLength)
{
    HANDLE hFile = sys.CreateFileW(folder.TargetPath(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                   OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN | kNoImpersonation, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return FALSE;
    Attach(hFile, DisplayPath(folder.TargetPath()));
    // A device holds no database, whatever it gives when read; and a file that a link swapped in since the
    // way was checked could be anyone's.
    LARGE_INTEGER size;
    return ::GetFileType(hFile) == FILE_TYPE_DISK && folder.Holds(hFile) && ::GetFileSizeEx(hFile, &size) &&
           (ULONGLONG)size.QuadPart == cbLength;
}

BOOL CFile::HasContents(const CTargetFolder& folder, const void* pData, DWORD cbData)
{
    CFile file;
    if (!file.OpenToCompare(folder, cbData))
        return FALSE;

    // Read in small pieces: most targets differ in their first one, and the memory stays small. pData may be
    // mapped from a file that fails to page in (AfxReadMapped).
    const DWORD kPiece = 64u << 10;
    BYTE* pBuffer = (BYTE*)malloc(kPiece);
    if (pBuffer == NULL)
        return FALSE;
    const BYTE* pExpected = (const BYTE*)pData;
    DWORD cbLeft = cbData;
    CFileException error;
    DWORD cbRead = 0;
    bool bSame = true;
    while (cbLeft > 0 && file.Read(pBuffer, kPiece, &cbRead, &error) && cbRead != 0 && cbRead <= cbLeft &&
           AfxReadMapped(pExpected, cbRead, [&] { bSame = memcmp(pBuffer, pExpected, cbRead) == 0; }) &&
           bSame)
    {
        pExpected += cbRead;
        cbLeft -= cbRead;
    }
    free(pBuffer);
    return cbLeft == 0;
}
