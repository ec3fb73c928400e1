#include "RunLog.h"

#include <stdarg.h>

namespace
{
HANDLE g_hLog = INVALID_HANDLE_VALUE;
}

BOOL AfxOpenRunLog(const char* pszPath)
{
    // Appended to, never truncated: each write lands at the end whoever else appends meanwhile.
    g_hLog = ::CreateFileA(pszPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    return g_hLog != INVALID_HANDLE_VALUE;
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
