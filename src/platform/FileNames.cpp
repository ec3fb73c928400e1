#include "FileNames.h"
#include "SystemCalls.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

namespace
{
// Names beside a file keep at most this much of its name, so that they fit in the 255 characters of a
// file name whatever the file's; then comes a number no other run uses.
const size_t kMaxNameKept = 200;
const size_t kUniqueDigits = 16;
const int kNamesTried = 100;

bool StartsWith(const wchar_t* psz, const wchar_t* pszStart)
{
    return wcsncmp(psz, pszStart, wcslen(pszStart)) == 0;
}
} // namespace

wchar_t* AllocPath(size_t cch)
{
    void* p = calloc(cch + 1, sizeof(wchar_t));
    if (p == NULL)
        ExitProcess(STATUS_NO_MEMORY);
    return (wchar_t*)p;
}

wchar_t* LongFullPath(const char* pszPath)
{
    // Bytes that are no text in the code page (a cut UTF-8 sequence) name no file: they would turn into
    // U+FFFD, a character of another name.
    int cchWide = ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, pszPath, -1, NULL, 0);
    if (cchWide <= 1)
        return NULL;
    wchar_t* pszWide = AllocPath((size_t)cchWide);
    ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, pszPath, -1, pszWide, cchWide);
    wchar_t* pszLong = LongFullPathW(pszWide);
    free(pszWide);
    return pszLong;
}

wchar_t* LongFullPathW(const wchar_t* pszPath)
{
    DWORD cchFull = ::GetFullPathNameW(pszPath, 0, NULL, NULL);
    if (cchFull == 0)
        return NULL;
    const size_t cchPrefix = 8; // \\?\UNC\ at most
    wchar_t* pszLong = AllocPath(cchPrefix + cchFull);
    wchar_t* pszFull = pszLong + cchPrefix;
    if (::GetFullPathNameW(pszPath, cchFull, pszFull, NULL) == 0)
        pszFull[0] = L'\0';
    if (StartsWith(pszFull, L"\\\\?\\") || StartsWith(pszFull, L"\\\\.\\"))
        memmove(pszLong, pszFull, (wcslen(pszFull) + 1) * sizeof(wchar_t));
    else if (StartsWith(pszFull, L"\\\\"))
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
        return NULL;
    }
    return pszLong;
}

wchar_t* FinalPathOf(HANDLE hFile, DWORD dwVolumeName)
{
    DWORD cch = sys.GetFinalPathNameByHandleW(hFile, NULL, 0, dwVolumeName);
    if (cch == 0)
        return NULL;
    wchar_t* pszFinal = AllocPath(cch);
    DWORD cchGot = sys.GetFinalPathNameByHandleW(hFile, pszFinal, cch, dwVolumeName);
    if (cchGot == 0 || cchGot >= cch)
    {
        free(pszFinal);
        return NULL;
    }
    return pszFinal;
}

wchar_t* FirstFolder(wchar_t* pszLong)
{
    wchar_t* p = pszLong + 4;
    for (int nSeparators = StartsWith(p, L"UNC\\") ? 3 : 1; nSeparators > 0 && p != NULL; nSeparators--)
    {
        p = wcschr(p, L'\\');
        if (p != NULL)
            ++p;
    }
    return p != NULL && *p != L'\0' ? p : NULL;
}

bool IsSamePath(const wchar_t* psz1, const wchar_t* psz2)
{
    return ::CompareStringOrdinal(psz1, -1, psz2, -1, TRUE) == CSTR_EQUAL;
}

bool IsFilePath(const wchar_t* pszFull)
{
    // The system reads a device name in any folder as the device itself, and gives it as \\.\NAME; after
    // \\?\ or \\.\ only a drive, a share or a volume's folder is a place for files (not a disk or a volume
    // as a whole, \\?\PhysicalDrive0, \\?\GLOBALROOT\Device\...).
    if (StartsWith(pszFull, L"\\\\?\\") || StartsWith(pszFull, L"\\\\.\\"))
    {
        const wchar_t* pszRest = pszFull + 4;
        const wchar_t* pszVolumeEnd = StartsWith(pszRest, L"Volume{") ? wcschr(pszRest, L'}') : NULL;
        if (!(iswalpha(pszRest[0]) && pszRest[1] == L':' && pszRest[2] == L'\\') &&
            !StartsWith(pszRest, L"UNC\\") &&
            !(pszVolumeEnd != NULL && pszVolumeEnd[1] == L'\\' && pszVolumeEnd[2] != L'\0'))
            return false;
    }
    const wchar_t* pszName = wcsrchr(pszFull, L'\\');
    return pszName != NULL && pszName[1] != L'\0' && wcschr(pszName, L':') == NULL;
}

size_t NameKeptBeside(const wchar_t* pszName)
{
    size_t cch = wcslen(pszName);
    return cch < kMaxNameKept ? cch : kMaxNameKept;
}

HANDLE CreateFileBeside(const wchar_t* pszPath, const wchar_t* pszSuffix, DWORD dwAccess, DWORD dwShareMode,
                        SECURITY_ATTRIBUTES* pSecurity, DWORD dwAttributes, wchar_t** ppszCreated)
{
    const wchar_t* pszName = wcsrchr(pszPath, L'\\') + 1;
    const size_t cchStem = (size_t)(pszName - pszPath) + NameKeptBeside(pszName);
    wchar_t* pszCreated = AllocPath(cchStem + 1 + kUniqueDigits + wcslen(pszSuffix));
    memcpy(pszCreated, pszPath, cchStem * sizeof(wchar_t));

    LARGE_INTEGER counter;
    ::QueryPerformanceCounter(&counter);
    ULONGLONG nUnique = ((ULONGLONG)::GetCurrentProcessId() << 32) ^ (ULONGLONG)counter.QuadPart;
    for (int nName = 0; nName < kNamesTried; nName++, nUnique++)
    {
        wsprintfW(pszCreated + cchStem, L".%08lX%08lX%s", (DWORD)(nUnique >> 32), (DWORD)nUnique, pszSuffix);
        HANDLE hFile = sys.CreateFileW(pszCreated, dwAccess, dwShareMode, pSecurity, CREATE_NEW,
                                       dwAttributes | kNoImpersonation, NULL);
        if (hFile != INVALID_HANDLE_VALUE)
        {
            *ppszCreated = pszCreated;
            return hFile;
        }
        if (::GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    DWORD dwError = ::GetLastError();
    free(pszCreated);
    ::SetLastError(dwError);
    return INVALID_HANDLE_VALUE;
}

bool IsNameBeside(const wchar_t* pszName, const wchar_t* pszSuffix, const wchar_t* pszFound)
{
    const size_t cchKept = NameKeptBeside(pszName);
    const size_t cchSuffix = wcslen(pszSuffix);
    if (wcslen(pszFound) != cchKept + 1 + kUniqueDigits + cchSuffix ||
        _wcsnicmp(pszFound, pszName, cchKept) != 0 || pszFound[cchKept] != L'.' ||
        _wcsicmp(pszFound + cchKept + 1 + kUniqueDigits, pszSuffix) != 0)
        return false;
    for (size_t i = 0; i < kUniqueDigits; i++)
        if (!iswxdigit(pszFound[cchKept + 1 + i]))
            return false;
    return true;
}

wchar_t* InTemporaryFolder(const wchar_t* pszPath)
{
    wchar_t szTemp[MAX_PATH + 1];
    DWORD cchTemp = ::GetTempPathW(ARRAYSIZE(szTemp), szTemp);
    if (cchTemp == 0 || cchTemp > MAX_PATH)
        return NULL;
    const wchar_t* pszName = wcsrchr(pszPath, L'\\') + 1;
    wchar_t* pszInTemp = AllocPath(cchTemp + wcslen(pszName));
    wcscpy(pszInTemp, szTemp);
    wcscat(pszInTemp, pszName);
    wchar_t* pszLong = LongFullPathW(pszInTemp);
    free(pszInTemp);
    return pszLong;
}

CString DisplayPath(const wchar_t* pszLong)
{
    if (StartsWith(pszLong, L"\\\\?\\UNC\\"))
        return "\\" + CString(pszLong + 7);
    if (StartsWith(pszLong, L"\\\\?\\"))
        return CString(pszLong + 4);
    return CString(pszLong);
}
