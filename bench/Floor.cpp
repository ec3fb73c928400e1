// The least a price-list install can do, written straight against Win32: read the target path, create
// its folder, write the payload in one call, delete the host's stale file, store the date. No dialog, no
// temporary file, no flush (but in the durable build), no checks beyond what keeps it from crashing. Whatever
// Quillbrook spends above this program's time is the price of its own design.
//
// The payload reaches it as it reaches Quillbrook: an MDB 129 resource stamped into a copy of this
// executable by quillbrook-pack, mapped straight from the file.
//
// Built three times: bench-floor creates the folder with SHCreateDirectoryExA, as a program that imports
// shell32 would; bench-floor-k32 (QB_FLOOR_KERNEL32_ONLY) with CreateDirectoryA over the path's parents,
// so that it imports kernel32, user32 and advapi32 only, and Wine never loads shell32 for it;
// bench-floor-durable is that one flushing the database to the disk before it goes on
// (QB_FLOOR_DURABLE), as any program must that records a date only once the database cannot be lost.
#include <windows.h>

#ifndef QB_FLOOR_KERNEL32_ONLY
#include <shlobj.h>
#endif

namespace
{
const char kSettingsKey[] = "SOFTWARE\\Halvero\\dravik\\Bel\\Serveurs\\Bilan";
const char kCountryKey[] = "SOFTWARE\\Halvero\\dravik\\Bel";

// A string value of HKCU, else of HKLM; false when neither has it.
bool ReadSetting(const char* pszName, char* pszValue, DWORD cbValue)
{
    const HKEY hives[] = {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE};
    for (HKEY hive : hives)
    {
        DWORD cb = cbValue - 1;
        DWORD type = 0;
        if (RegGetValueA(hive, kSettingsKey, pszName, RRF_RT_REG_SZ, &type, pszValue, &cb) == ERROR_SUCCESS)
            return true;
    }
    return false;
}

#ifdef QB_FLOOR_KERNEL32_ONLY
// The folder and whichever of its parents are missing. The folder itself is tried first: when it or
// its parent exists, that one call is all.
void CreateFolders(char* pszFolder)
{
    if (CreateDirectoryA(pszFolder, NULL) || GetLastError() != ERROR_PATH_NOT_FOUND)
        return;
    for (char* p = pszFolder; *p; p++)
    {
        if (*p == '\\' && p > pszFolder && p[-1] != ':')
        {
            *p = '\0';
            CreateDirectoryA(pszFolder, NULL);
            *p = '\\';
        }
    }
    CreateDirectoryA(pszFolder, NULL);
}
#endif
} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    char szTarget[MAX_PATH];
    if (!ReadSetting("CheminBaseTarif", szTarget, sizeof szTarget))
        return 4;

    char szFolder[MAX_PATH];
    lstrcpyA(szFolder, szTarget);
    char* pSlash = szFolder;
    for (char* p = szFolder; *p; p++)
        if (*p == '\\')
            pSlash = p;
    *pSlash = '\0';
#ifdef QB_FLOOR_KERNEL32_ONLY
    CreateFolders(szFolder);
#else
    SHCreateDirectoryExA(NULL, szFolder, NULL);
#endif

    HRSRC hInfo = FindResourceA(NULL, MAKEINTRESOURCEA(129), "MDB");
    HGLOBAL hData = hInfo ? LoadResource(NULL, hInfo) : NULL;
    const void* pData = hData ? LockResource(hData) : NULL;
    if (pData == NULL)
        return 3;
    DWORD cbData = SizeofResource(NULL, hInfo);

    HANDLE hFile = CreateFileA(szTarget, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return 4;
    DWORD cbWritten = 0;
    BOOL bWritten = WriteFile(hFile, pData, cbData, &cbWritten, NULL) && cbWritten == cbData;
#ifdef QB_FLOOR_DURABLE
    bWritten = bWritten && FlushFileBuffers(hFile);
#endif
    CloseHandle(hFile);
    if (!bWritten)
        return 5;

    char szStale[MAX_PATH];
    if (ReadSetting("CheminTarifsMgr", szStale, sizeof szStale))
    {
        const char* pName = szStale;
        for (const char* p = szStale; *p; p++)
            if (*p == '\\')
                pName = p + 1;
        char szStalePath[2 * MAX_PATH];
        wsprintfA(szStalePath, "%s\\%s", szFolder, pName);
        DeleteFileA(szStalePath);
    }

    HKEY hKey;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kCountryKey, 0, NULL, 0, KEY_SET_VALUE, NULL, &hKey, NULL) ==
        ERROR_SUCCESS)
    {
        static const char szDate[] = "2024-01-09";
        RegSetValueExA(hKey, "date_creation_tarif", 0, REG_SZ, (const BYTE*)szDate, sizeof szDate);
        RegCloseKey(hKey);
    }
    return 0;
}
