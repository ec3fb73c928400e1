#include "RunLog.h"
#include "FileNames.h"
#include "Leftovers.h"
#include "RedirectionGuard.h"
#include "RunningAccount.h"
#include "SystemCalls.h"

#include <stdarg.h>
#include <stdlib.h>
#include <wchar.h>

namespace
{
HANDLE g_hLog = INVALID_HANDLE_VALUE;
CString g_strMovedTo; // where the log went instead of the name asked for

// Appended to, never truncated: each write lands at the end whoever else appends meanwhile.
const DWORD kLogAccess = FILE_APPEND_DATA;
const DWORD kLogSharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE OpenOwnLog(const char* pszPath)
{
    wchar_t* pszLong = LongFullPath(pszPath);
    if (pszLong == NULL)
        return INVALID_HANDLE_VALUE;
    SECURITY_ATTRIBUTES* pOwnerOnly = AfxOwnerOnlySecurity();
    HANDLE hLog =
        sys.CreateFileW(pszLong, kLogAccess | READ_CONTROL | FILE_READ_ATTRIBUTES, kLogSharing, pOwnerOnly,
                        OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT | kNoImpersonation, NULL);
    if (hLog != INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ALREADY_EXISTS && !AfxIsOwnPlainFile(hLog))
    {
        sys.CloseHandle(hLog);
        hLog = INVALID_HANDLE_VALUE;
    }
    if (hLog == INVALID_HANDLE_VALUE)
    {
        // <name>.<16 hex digits>.log, a name nobody has made yet.
        wchar_t* pszExtension = wcsrchr(pszLong, L'.');
        if (pszExtension != NULL && wcschr(pszExtension, L'\\') == NULL)
            *pszExtension = L'\0';
        wchar_t* pszCreated = NULL;
        hLog = CreateFileBeside(pszLong, L".log", kLogAccess, kLogSharing, pOwnerOnly, FILE_ATTRIBUTE_NORMAL,
                                &pszCreated);
        if (hLog != INVALID_HANDLE_VALUE)
            g_strMovedTo = DisplayPath(pszCreated);
        free(pszCreated);
    }
    free(pszLong);
    return hLog;
}
} // namespace

BOOL AfxOpenRunLog(const char* pszPath, BOOL bOwnFileOnly)
{
    g_strMovedTo.Empty();
    if (bOwnFileOnly)
        g_hLog = OpenOwnLog(pszPath);
    else if (!AfxChecksLinksOnTheWay())
        g_hLog =
            ::CreateFileA(pszPath, kLogAccess, kLogSharing, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    else
    {
        // A file named on the command line may be anyone's (a log that many machines share on a server), but
        // a privileged run opens it as itself, and writes no log through a link or a second name of another
        // file, which a user could have planted to have the run append to a file of the system's.
        g_hLog = ::CreateFileA(pszPath, kLogAccess | FILE_READ_ATTRIBUTES, kLogSharing, NULL, OPEN_ALWAYS,
                               FILE_FLAG_OPEN_REPARSE_POINT | kNoImpersonation, NULL);
        BY_HANDLE_FILE_INFORMATION info;
        if (g_hLog != INVALID_HANDLE_VALUE &&
            (!sys.GetFileInformationByHandle(g_hLog, &info) || info.nNumberOfLinks != 1 ||
             (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))))
        {
            sys.CloseHandle(g_hLog);
            g_hLog = INVALID_HANDLE_VALUE;
        }
    }
    return g_hLog != INVALID_HANDLE_VALUE;
}

CString AfxRunLogMovedTo()
{
    return g_strMovedTo;
}

BOOL AfxIsLogging()
{
    return g_hLog != INVALID_HANDLE_VALUE;
}

void AfxLog(const char* pszFormat, ...)
{
    if (g_hLog == INVALID_HANDLE_VALUE)
        return;
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    char szLine[32 + 1024 + 2];
    int cch = wsprintfA(szLine, "%04u-%02u-%02u %02u:%02u:%02u.%03u ", now.wYear, now.wMonth, now.wDay,
                        now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    va_list args;
    va_start(args, pszFormat);
    cch += wvsprintfA(szLine + cch, pszFormat, args); // at most 1,024 characters
    va_end(args);
    szLine[cch++] = '\r';
    szLine[cch++] = '\n';
    // One write per line, so that lines of runs sharing the file never mix; a full disk loses the line.
    DWORD cbWritten;
    ::WriteFile(g_hLog, szLine, (DWORD)cch, &cbWritten, NULL);
}
