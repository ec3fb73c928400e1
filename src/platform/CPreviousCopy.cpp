#include "CPreviousCopy.h"
#include "FileNames.h"
#include "Leftovers.h"
#include "RunLog.h"
#include "RunningAccount.h"
#include "SystemCalls.h"

#include <stdlib.h>
#include <wchar.h>

namespace
{
// Made under the name of a temporary file (kTemporarySuffix), which the next run removes if this one is
// killed meanwhile, and named for what it is once it holds the whole of the previous contents.
const wchar_t kSuffix[] = L".previous";
const DWORD kPiece = 1u << 20;

bool IsEncrypted(HANDLE hFile)
{
    FILE_BASIC_INFO basic;
    return sys.GetFileInformationByHandleEx(hFile, FileBasicInfo, &basic, sizeof basic) &&
           (basic.FileAttributes & FILE_ATTRIBUTE_ENCRYPTED);
}
} // namespace

BOOL CPreviousCopy::Copy(CFile& from, CFile& to, ULONGLONG cbLimit, ULONGLONG* pcbCopied,
                         CFileException* pError)
{
    from.SeekToBegin();
    to.SeekToBegin();
    *pcbCopied = 0;
    while (*pcbCopied < cbLimit)
    {
        const DWORD cbWanted = cbLimit - *pcbCopied < kPiece ? (DWORD)(cbLimit - *pcbCopied) : kPiece;
        DWORD cbRead;
        if (!from.Read(m_pBuffer, cbWanted, &cbRead, pError))
            return FALSE;
        if (cbRead == 0)
            break;
        if (!to.Write(m_pBuffer, cbRead, pError))
            return FALSE;
        *pcbCopied += cbRead;
    }
    return TRUE;
}

BOOL CPreviousCopy::Keep(CFile& file, const wchar_t* pszPath, CFileException* pError)
{
    Discard();
    // Copying needs its buffer, and putting back too: had now, or nothing changes.
    m_pBuffer = (BYTE*)malloc(kPiece);
    if (m_pBuffer == NULL)
    {
        pError->Set(ERROR_NOT_ENOUGH_MEMORY, file.m_strFileName);
        return FALSE;
    }
    // The contents of an encrypted file are not to be left readable in a plain copy.
    const DWORD dwAttributes = IsEncrypted(file.m_hFile) ? FILE_ATTRIBUTE_ENCRYPTED : FILE_ATTRIBUTE_NORMAL;
    if (CreateIn(pszPath, file, dwAttributes, pError))
        return TRUE;

    // The file's folder takes no new file, or has no room for one: the user's temporary folder. The
    // failure said is the one beside the file, which the user can do something about.
    wchar_t* pszInTemp = InTemporaryFolder(pszPath);
    CFileException errorInTemp;
    BOOL bKept = pszInTemp != NULL && CreateIn(pszInTemp, file, dwAttributes, &errorInTemp);
    free(pszInTemp);
    if (!bKept)
        Discard();
    return bKept;
}

BOOL CPreviousCopy::CreateIn(const wchar_t* pszPath, CFile& file, DWORD dwAttributes, CFileException* pError)
{
    SECURITY_ATTRIBUTES* pOwnerOnly = AfxOwnerOnlySecurity();
    HANDLE hCopy = pOwnerOnly == NULL
                       ? INVALID_HANDLE_VALUE
                       : CreateFileBeside(pszPath, kTemporarySuffix, GENERIC_READ | GENERIC_WRITE | DELETE, 0,
                                          pOwnerOnly, dwAttributes, &m_pszPath);
    if (hCopy == INVALID_HANDLE_VALUE)
    {
        pError->Set(pOwnerOnly == NULL ? ERROR_NOT_ENOUGH_MEMORY : (LONG)::GetLastError(),
                    file.m_strFileName);
        return FALSE;
    }
    m_fileCopy.Attach(hCopy, file.m_strFileName);
    if ((dwAttributes & FILE_ATTRIBUTE_ENCRYPTED) && !IsEncrypted(hCopy))
        pError->Set(ERROR_ENCRYPTION_FAILED, file.m_strFileName);
    else if (Copy(file, m_fileCopy, ~0ull, &m_cbKept, pError) && m_fileCopy.Flush(pError))
    {
        // The same name with the other suffix, which is the shorter: it fits where the first was.
        wcscpy(wcsrchr(m_pszPath, L'.'), kSuffix);
        BOOL bNamed = m_fileCopy.MoveTo(m_pszPath, FALSE);
        if (!bNamed)
        {
            pError->Set((LONG)::GetLastError(), file.m_strFileName);
            wcscpy(wcsrchr(m_pszPath, L'.'), kTemporarySuffix);
        }
        // The new name reaches the disk too, before anything relies on it.
        else if (m_fileCopy.Flush(pError))
            return TRUE;
    }
    m_fileCopy.CloseAndDelete(m_pszPath);
    free(m_pszPath);
    m_pszPath = NULL;
    return FALSE;
}

BOOL CPreviousCopy::Adopt(const wchar_t* pszCopy, CFileException* pError)
{
    Discard();
    // The copy is where this run left it, unless someone who may write that folder put another file, or a
    // link, in its place.
    m_pBuffer = (BYTE*)malloc(kPiece);
    HANDLE hCopy = INVALID_HANDLE_VALUE;
    LARGE_INTEGER size;
    DWORD dwError = ERROR_SUCCESS;
    if (m_pBuffer == NULL)
        dwError = ERROR_NOT_ENOUGH_MEMORY;
    else if ((hCopy = sys.CreateFileW(pszCopy, GENERIC_READ | DELETE | READ_CONTROL, 0, NULL, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT | kNoImpersonation, NULL)) ==
                 INVALID_HANDLE_VALUE ||
             !::GetFileSizeEx(hCopy, &size))
        dwError = ::GetLastError();
    else if (!AfxIsOwnPlainFile(hCopy))
        dwError = ERROR_INVALID_OWNER;
    m_fileCopy.Attach(hCopy, DisplayPath(pszCopy));
    if (dwError != ERROR_SUCCESS)
    {
        pError->Set((LONG)dwError, m_fileCopy.m_strFileName);
        m_fileCopy.Abort();
        Forget();
        return FALSE;
    }
    m_pszPath = AllocPath(wcslen(pszCopy));
    wcscpy(m_pszPath, pszCopy);
    m_cbKept = (ULONGLONG)size.QuadPart;
    return TRUE;
}

BOOL CPreviousCopy::PutBack(CFile& file, ULONGLONG cbChanged, CFileException* pError)
{
    // The length first: what the write claimed beyond the previous end is given up before anything is
    // written back, which on a compressed or copy-on-write volume needs room of its own.
    ULONGLONG cbCopied;
    return m_pszPath != NULL && file.SetLength(m_cbKept, pError) &&
           Copy(m_fileCopy, file, cbChanged < m_cbKept ? cbChanged : m_cbKept, &cbCopied, pError) &&
           file.Flush(pError);
}

void CPreviousCopy::Discard()
{
    if (m_pszPath != NULL && !m_fileCopy.CloseAndDelete(m_pszPath))
        AfxLog("the copy of the previous contents, %s, could not be removed: %s",
               (const char*)DisplayPath(m_pszPath), (const char*)AfxErrorText(::GetLastError()));
    Forget();
}

wchar_t* CPreviousCopy::Leave()
{
    wchar_t* pszPath = m_pszPath;
    m_pszPath = NULL;
    m_fileCopy.Abort();
    Forget();
    return pszPath;
}

void CPreviousCopy::Forget()
{
    free(m_pszPath);
    m_pszPath = NULL;
    free(m_pBuffer);
    m_pBuffer = NULL;
}
