#include "registry/HostRegistry.h"
#include "platform/CFile.h"
#include "platform/RunLog.h"
#include "platform/SystemCalls.h"

#include <stdlib.h>

namespace
{
const char kLightPrefix[] = "#LIGHT#";
const char kLightModeMapping[] = "Dravik ModeLight";

// Where a value is, as the log says it: the hive, the subkey and the name, joined with one backslash each
// (a subkey written with a trailing backslash gets no second one).
CString SettingPath(HKEY hHive, const CString& strSubKey, const CString& strName)
{
    CString strPath;
    if (hHive != NULL)
        strPath = hHive == HKEY_LOCAL_MACHINE ? "HKEY_LOCAL_MACHINE\\" : "HKEY_CURRENT_USER\\";
    strPath += strSubKey;
    if (!strSubKey.IsEmpty() && strSubKey.ReverseFind('\\') != strSubKey.GetLength() - 1)
        strPath += '\\';
    return strPath + strName;
}

// The first of the candidate names that exists in hKey, with the size of its data; -1 when none does.
int FindFirstValue(HKEY hKey, const CString* aNames, int nNames, DWORD* pcbData)
{
    for (int i = 0; i < nNames; i++)
    {
        DWORD dwType;
        if (sys.RegQueryValueExW(hKey, CWideText(aNames[i]), NULL, &dwType, NULL, pcbData) == ERROR_SUCCESS)
            return i;
    }
    return -1;
}

// The text with its environment variables (%APPDATA%) put in, as the host reads such a setting; NULL when
// the system cannot expand it. Free with free().
wchar_t* ExpandedText(const wchar_t* pwsz)
{
    DWORD cch = ::ExpandEnvironmentStringsW(pwsz, NULL, 0);
    wchar_t* pwszExpanded = cch != 0 ? (wchar_t*)calloc((size_t)cch + 1, sizeof(wchar_t)) : NULL;
    DWORD cchGot = pwszExpanded != NULL ? ::ExpandEnvironmentStringsW(pwsz, pwszExpanded, cch + 1) : 0;
    if (cchGot == 0 || cchGot > cch + 1)
    {
        free(pwszExpanded);
        return NULL;
    }
    return pwszExpanded;
}

// The data of an existing value as text. A string is taken as the system keeps it, in UTF-16 up to its
// first NUL, and converted here, so that a character this system's code page lacks is seen (*pbWhole
// FALSE) rather than turned into a look-alike; an expandable one (REG_EXPAND_SZ) is expanded first. Data
// of any other type are taken as bytes up to the first zero byte. The four spare zero bytes end the text
// even when the stored data has no terminator of its own.
CString ReadValueText(HKEY hKey, const CString& strName, DWORD cbData, BOOL* pbWhole, CString* pstrUnexpanded)
{
    BYTE* pbData = (BYTE*)calloc((size_t)cbData + 4, 1);
    if (pbData == NULL)
        return CString();
    DWORD dwType = REG_NONE;
    sys.RegQueryValueExW(hKey, CWideText(strName), NULL, &dwType, pbData, &cbData);
    CString strText;
    if (dwType == REG_SZ || dwType == REG_EXPAND_SZ || dwType == REG_MULTI_SZ)
    {
        const wchar_t* pwszData = (const wchar_t*)pbData;
        wchar_t* pwszExpanded = dwType == REG_EXPAND_SZ ? ExpandedText(pwszData) : NULL;
        *pbWhole = strText.AssignWide(pwszExpanded != NULL ? pwszExpanded : pwszData, -1);
        if (pwszExpanded != NULL)
            *pbWhole = pstrUnexpanded->AssignWide(pwszData, -1) && *pbWhole;
        free(pwszExpanded);
    }
    else
        strText = (const char*)pbData;
    free(pbData);
    return strText;
}
} // namespace

BOOL IsHostLightMode()
{
    // Read access is all the probe needs, and all a host running elevated or under another account
    // may grant; asking for more would take such a host for one in normal mode.
    HANDLE hMapping = sys.OpenFileMappingA(FILE_MAP_READ, FALSE, kLightModeMapping);
    if (hMapping == NULL)
        return FALSE;
    const volatile LONG* plFlag = (const volatile LONG*)sys.MapViewOfFile(hMapping, FILE_MAP_READ, 0, 0, 0);
    if (plFlag == NULL)
    {
        sys.CloseHandle(hMapping);
        return FALSE;
    }
    LONG lFlag = *plFlag;
    sys.UnmapViewOfFile((LPCVOID)plFlag);
    sys.CloseHandle(hMapping);
    return lFlag != 0;
}

CString ReadRegistryString(CString strSubKey, CString strValueName, CString strDefault, BOOL* pbWhole)
{
    BOOL bWhole = TRUE;
    if (pbWhole == NULL)
        pbWhole = &bWhole;
    *pbWhole = TRUE;

    HKEY hHive = HKEY_CURRENT_USER;
    HKEY hKey;
    if (sys.RegOpenKeyExA(hHive, strSubKey, 0, KEY_ALL_ACCESS, &hKey) != ERROR_SUCCESS)
    {
        hHive = HKEY_LOCAL_MACHINE;
        if (sys.RegOpenKeyExA(hHive, strSubKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        {
            AfxLog("setting %s: no such key in either hive",
                   (const char*)SettingPath(NULL, strSubKey, strValueName));
            return strDefault;
        }
    }

    CString aNames[2];
    int nNames = 0;
    if (IsHostLightMode())
        aNames[nNames++] = kLightPrefix + strValueName;
    aNames[nNames++] = strValueName;

    DWORD cbData = 0;
    int iFound = FindFirstValue(hKey, aNames, nNames, &cbData);
    if (iFound < 0 && hHive == HKEY_CURRENT_USER)
    {
        // The user's hive has the key but not the value: the machine's hive comes next.
        sys.RegCloseKey(hKey);
        hHive = HKEY_LOCAL_MACHINE;
        if (sys.RegOpenKeyExA(hHive, strSubKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
            hKey = NULL;
        else
            iFound = FindFirstValue(hKey, aNames, nNames, &cbData);
    }
    if (iFound < 0)
    {
        AfxLog("setting %s: not found", (const char*)SettingPath(NULL, strSubKey, strValueName));
        if (hKey != NULL)
            sys.RegCloseKey(hKey);
        return strDefault;
    }

    CString strUnexpanded;
    CString strText = ReadValueText(hKey, aNames[iFound], cbData, pbWhole, &strUnexpanded);
    sys.RegCloseKey(hKey);
    CString strPath = SettingPath(hHive, strSubKey, aNames[iFound]);
    if (!strUnexpanded.IsEmpty() && strUnexpanded.Compare(strText) != 0)
        AfxLog("setting %s: \"%s\", expanded from \"%s\"", (const char*)strPath, (const char*)strText,
               (const char*)strUnexpanded);
    else
        AfxLog("setting %s: \"%s\"", (const char*)strPath, (const char*)strText);
    if (!*pbWhole)
        AfxLog("setting %s: holds characters that this system's code page lacks (shown as ?)",
               (const char*)strPath);
    return strText;
}

int WriteRegistryString(CString strSubKey, CString strValueName, CString strData, int bMachineWide)
{
    if (IsHostLightMode() && strValueName.Left(7).Compare(kLightPrefix) != 0)
        return WriteRegistryString(strSubKey, kLightPrefix + strValueName, strData, 0);

    HKEY hHive = bMachineWide ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    HKEY hKey;
    LONG lResult = sys.RegOpenKeyExA(hHive, strSubKey, 0, KEY_ALL_ACCESS, &hKey);
    if (lResult != ERROR_SUCCESS)
        lResult = sys.RegCreateKeyA(hHive, strSubKey, &hKey);
    if (lResult != ERROR_SUCCESS)
    {
        AfxLog("setting %s: key not opened: %s", (const char*)SettingPath(hHive, strSubKey, strValueName),
               (const char*)AfxErrorText((DWORD)lResult));
        ::SetLastError((DWORD)lResult);
        return 0;
    }

    // Exactly the text's characters, without a terminating zero: the host has always read it so.
    lResult = sys.RegSetValueExA(hKey, strValueName, 0, REG_SZ, (const BYTE*)(const char*)strData,
                                 (DWORD)strData.GetLength());
    sys.RegCloseKey(hKey);
    AfxLog("setting %s = \"%s\": %s", (const char*)SettingPath(hHive, strSubKey, strValueName),
           (const char*)strData,
           lResult == ERROR_SUCCESS ? "stored" : (const char*)AfxErrorText((DWORD)lResult));
    ::SetLastError((DWORD)lResult);
    return lResult == ERROR_SUCCESS ? 1 : 0;
}
