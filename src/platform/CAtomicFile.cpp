#include "CAtomicFile.h"
#include "SystemCalls.h"

CString CAtomicFile::TemporaryPathFor(const char* pszTarget)
{
    return CString(pszTarget) + ".installing";
}

BOOL CAtomicFile::Open(const char* pszTarget, CFileException* pError)
{
    Abort();
    m_strTarget = pszTarget;
    m_strTemporary = TemporaryPathFor(pszTarget);

    // The existing target, if any, must open for writing and for nobody else. It is not truncated.
    if (!m_fileTarget.Open(m_strTarget, CFile::modeWrite | CFile::shareExclusive, pError) &&
        pError->m_lOsError != ERROR_FILE_NOT_FOUND)
        return FALSE;

    // A killed run may have left its temporary file; this replaces it.
    if (!m_fileTemporary.Open(m_strTemporary, CFile::modeCreate | CFile::modeWrite | CFile::shareExclusive,
                              pError))
    {
        pError->m_strFileName = m_strTarget;
        m_fileTarget.Abort();
        return FALSE;
    }
    return TRUE;
}

BOOL CAtomicFile::Write(const void* pData, DWORD cbData, CFileException* pError)
{
    if (m_fileTemporary.Write(pData, cbData, pError) && m_fileTemporary.Flush(pError) &&
        m_fileTemporary.Close(pError))
    {
        m_bWritten = TRUE;
        return TRUE;
    }
    pError->m_strFileName = m_strTarget;
    Abort();
    return FALSE;
}

BOOL CAtomicFile::Replace(CFileException* pError)
{
    m_fileTarget.Abort();
    if (!sys.MoveFileExA(m_strTemporary, m_strTarget, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    {
        pError->Set((LONG)::GetLastError(), m_strTarget);
        return FALSE;
    }
    m_bWritten = FALSE;
    m_strTemporary.Empty();
    return TRUE;
}

void CAtomicFile::Abort()
{
    m_fileTarget.Abort();
    if (m_fileTemporary.IsOpen() || m_bWritten)
    {
        m_fileTemporary.Abort();
        CFile::Remove(m_strTemporary);
    }
    m_bWritten = FALSE;
}
