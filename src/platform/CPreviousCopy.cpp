#include "CPreviousCopy.h"
#include "FileNames.h"

#include <stdlib.h>
#include <wchar.h>

namespace
{
// Made under the name of a temporary file (kTemporarySuffix), which the next run removes if this one is
// killed meanwhile, and named for what it is once it holds the whole of the previous contents.
const wchar_t kSuffix[] = L".previous";
const DWORD kPiece = 1u << 20;

// Copies everything from the start of from over the start of to; *pcbCopied receives how much.
BOOL CopyContents(CFile& from, CFile& to, ULONGLONG* pcbCopied, CFileException* pError)
{
    BYTE* pBuffer = (BYTE*)malloc(kPiece);
    if (pBuffer == NULL)
        ExitProcess(STATUS_NO_MEMORY);
    from.SeekToBegin();
    to.SeekToBegin();
    ULONGLONG cbCopied = 0;
    BOOL bCopied = FALSE;
    for (;;)
    {
        DWORD cbRead;
        if (!from.Read(pBuffer, kPiece, &cbRead, pError))
            break;
        if (cbRead == 0)
        {
            bCopied = TRUE;
            break;
        }
        if (!to.Write(pBuffer, cbRead, pError))
            break;
        cbCopied += cbRead;
    }
    free(pBuffer);
    *pcbCopied = cbCopied;
    return bCopied;
}
} // namespace

BOOL CPreviousCopy::Keep(CFile& file, const wchar_t* pszPath, CFileException* pError)
{
    Discard();
    if (CreateIn(pszPath, file, pError))
        return TRUE;

    // The file's folder takes no new file, or has no room for one: the user's temporary folder. The
    // failure said is the one beside the file, which the user can do something about.
    wchar_t* pszInTemp = InTemporaryFolder(pszPath);
    CFileException errorInTemp;
    BOOL bKept = pszInTemp != NULL && CreateIn(pszInTemp, file, &errorInTemp);
    free(pszInTemp);
    return bKept;
}

BOOL CPreviousCopy::CreateIn(const wchar_t* pszPath, CFile& file, CFileException* pError)
{
    HANDLE hCopy =
        CreateFileBeside(pszPath, kTemporarySuffix, GENERIC_READ | GENERIC_WRITE | DELETE, 0, &m_pszPath);
    if (hCopy == INVALID_HANDLE_VALUE)
    {
        pError->Set((LONG)::GetLastError(), file.m_strFileName);
        return FALSE;
    }
    m_fileCopy.Attach(hCopy, file.m_strFileName);
    if (CopyContents(file, m_fileCopy, &m_cbKept, pError) && m_fileCopy.Flush(pError))
    {
        // The same name with the other suffix, which is the shorter: it fits where the first was.
        wchar_t* pszMaking = _wcsdup(m_pszPath);
        wcscpy(wcsrchr(m_pszPath, L'.'), kSuffix);
        BOOL bNamed = m_fileCopy.MoveTo(m_pszPath, FALSE);
        if (!bNamed)
            wcscpy(m_pszPath, pszMaking);
        free(pszMaking);
        // The new name reaches the disk too, before anything relies on it.
        if (bNamed && m_fileCopy.Flush(pError))
            return TRUE;
        if (!bNamed)
            pError->Set((LONG)::GetLastError(), file.m_strFileName);
    }
    Discard();
    return FALSE;
}

BOOL CPreviousCopy::PutBack(CFile& file, CFileException* pError)
{
    ULONGLONG cbCopied;
    return m_pszPath != NULL && CopyContents(m_fileCopy, file, &cbCopied, pError) &&
           file.SetLength(m_cbKept, pError) && file.Flush(pError);
}

void CPreviousCopy::Discard()
{
    if (m_pszPath == NULL)
        return;
    m_fileCopy.CloseAndDelete(m_pszPath);
    free(m_pszPath);
    m_pszPath = NULL;
}

CString CPreviousCopy::Leave()
{
    CString strPath;
    if (m_pszPath != NULL)
        strPath = DisplayPath(m_pszPath);
    m_fileCopy.Abort();
    free(m_pszPath);
    m_pszPath = NULL;
    return strPath;
}
