// Files. Unlike a throwing framework, every operation that can fail returns FALSE and describes the
// failure in the CFileException it is given.
#pragma once

#include "CString.h"

class CTargetFolder;

class CFileException
{
public:
    CFileException() : m_lOsError(ERROR_SUCCESS) {}

    void Set(LONG lOsError, const char* pszFileName)
    {
        m_lOsError = lOsError;
        m_strFileName = pszFileName;
    }

    // The system's description of the failure, cut to nMaxError - 1 characters and zero-terminated.
    BOOL GetErrorMessage(char* lpszError, UINT nMaxError, UINT* pnHelpContext = NULL) const;

    LONG m_lOsError;       // the Win32 error code
    CString m_strFileName; // the file the failure concerns
};

// The system's description of an error, as GetErrorMessage gives it.
CString AfxErrorText(DWORD dwError);

class CFile
{
public:
    enum OpenFlags
    {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        modeReadWrite = 0x0002,
        shareCompat = 0x0000, // treated as exclusive
        shareExclusive = 0x0010,
        shareDenyWrite = 0x0020,
        shareDenyRead = 0x0030,
        shareDenyNone = 0x0040,
        modeCreate = 0x1000,      // create the file, or truncate it unless modeNoTruncate
        modeNoTruncate = 0x2000,  // with modeCreate: open an existing file as it is
        modeReadControl = 0x4000, // the file's security descriptor can be read through the handle too
        modeDelete = 0x8000,      // the right to delete the file (or to replace it) is asked too
    };

    CFile() : m_hFile(INVALID_HANDLE_VALUE) {}
    ~CFile() { Abort(); }
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    BOOL Open(const char* pszFileName, UINT nOpenFlags, CFileException* pError = NULL);
    // The same for a full \\?\ path, beyond the 8-bit functions' length and code page; pszFileName names the
    // file in messages.
    BOOL Open(const wchar_t* pszPath, const char* pszFileName, UINT nOpenFlags, CFileException* pError);
    // Takes over a handle opened otherwise; failures are reported under pszFileName.
    void Attach(HANDLE hFile, const char* pszFileName);
    // Reads up to nCount bytes from the current position; *pnRead is 0 at the end of the file.
    BOOL Read(void* pBuf, DWORD nCount, DWORD* pnRead, CFileException* pError);
    // Writes all nCount bytes; a short write counts as a full disk. *pnReached, when given, receives how many
    // bytes from the position the write may have changed, failed or not.
    BOOL Write(const void* pBuf, DWORD nCount, CFileException* pError, DWORD* pnReached = NULL);
    // Sets the end of the file, and the position there.
    BOOL SetLength(ULONGLONG nNewLength, CFileException* pError);
    void SeekToBegin();
    // Puts everything written so far on the disk.
    BOOL Flush(CFileException* pError);
    BOOL Close(CFileException* pError);
    // Moves the open file to pszNewPath (a full path) through its handle, so that it stays open to the
    // mover alone; bReplace lets it take the place of a file of that name.
    BOOL MoveTo(const wchar_t* pszNewPath, BOOL bReplace);
    // Closes the file if it is open, ignoring any failure.
    void Abort();
    // Closes the file and deletes it, pszPath being its name: marked for deletion through its handle, so
    // that a file held with no sharing goes when closed, or by name where the mark is refused. FALSE, with
    // the system's error, when it stays.
    BOOL CloseAndDelete(const wchar_t* pszPath);
    BOOL IsOpen() const { return m_hFile != INVALID_HANDLE_VALUE; }

    // Opens the target that the way held leads to, for reading while sharing everything, so that whoever has
    // it open is neither disturbed nor in the way; FALSE when there is none, it is a device, it is not
    // cbLength bytes long, or it is not where the way was checked to lead.
    BOOL OpenToCompare(const CTargetFolder& folder, ULONGLONG cbLength);
    // TRUE when that target holds exactly cbData bytes equal to pData's (read as OpenToCompare opens it).
    // FALSE too when pData's bytes could not be read (AfxMappedReadError says so).
    static BOOL HasContents(const CTargetFolder& folder, const void* pData, DWORD cbData);

    HANDLE m_hFile;
    CString m_strFileName;

private:
    BOOL Opened(HANDLE hFile, const char* pszFileName, CFileException* pError);
};
