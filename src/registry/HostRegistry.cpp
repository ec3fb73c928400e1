#include "registry/HostRegistry.h"
#include "platform/CFile.h"
#include "platform/RunLog.h"
#include "platform/SystemCalls.h"

#include <stdlib.h>

namespace
{
const char kLightPrefix[] = "#LIGHT#";
const char kLightModeMapping[] = "Dravik ModeLight";

// The first of the candidate names that exists in hKey, with the size of its data; -1 when none does.
int FindFirstValue(HKEY hKey, const CString* aNames, int nNames, DWORD* pcbData)
{
    for (int i = 0; i < nNames; i++)
    {
        DWORD dwType;
        if (sys.RegQueryValueExA(hKey, aNames[i], NULL, &dwType, NULL, pcbData) == ERROR_SUCCESS)
            return i;
    }
    return -1;
}

// The data of an existing value as text up to its first zero byte. The four spare zero bytes end the
// text even when the stored data has no terminator of its own.
CString ReadValueText(HKEY hKey, const CString& strName, DWORD cbData)
{
    BYTE* pbData = (BYTE*)calloc((size_t)cbData + 4, 1);
    if (pbData == NULL)
        return CString();
    DWORD dwType;
    sys.RegQueryValueExA(hKey, strName, NULL, &dwType, pbData, &cbData);
    CString strText((const char*)pbData);
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

CString ReadRegistryString(CString strSubKey, CString strValueName, CString strDefault)
{
    HKEY hKey;
    BOOL bUserHive = TRUE;
    if (sys.RegOpenKeyExA(HKEY_CURRENT_USER, strSubKey, 0, KEY_ALL_ACCESS, &hKey) != ERROR_SUCCESS)
    {
        bUserHive = FALSE;
        if (sys.RegOpenKeyExA(HKEY_LOCAL_MACHINE, strSubKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        {
            AfxLog("setting %s\\%s: no such key in either hive", (const char*)strSubKey,
                   (const char*)strValueName);
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
    if (iFound < 0 && bUserHive)
    {
        // The user's hive has the key but not the value: the machine's hive comes next.
        sys.RegCloseKey(hKey);
        if (sys.RegOpenKeyExA(HKEY_LOCAL_MACHINE, strSubKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
            return strDefault;
        iFound = FindFirstValue(hKey, aNames, nNames, &cbData);
    }
    if (iFound < 0)
    {
        AfxLog("setting %s\\%s: not found", (const char*)strSubKey, (const char*)strValueName);
        sys.RegCloseKey(hKey);
        return strDefault;
    }

    CString strText = ReadValueText(hKey, aNames[iFound], cbData);
    sys.RegCloseKey(hKey);
    AfxLog("setting %s\\%s\\%s: \"%s\"", bUserHive ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE",
           (const char*)strSubKey, (const char*)aNames[iFound], (const char*)strText);
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
        AfxLog("setting %s\\%s\\%s: key not opened: %s",
               bMachineWide ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER", (const char*)strSubKey,
               (const char*)strValueName, (const char*)AfxErrorText((DWORD)lResult));
        ::SetLastError((DWORD)lResult);
        return 0;
    }

    // Exactly the text's characters, without a terminating zero: the host has always read it so.
    lResult = sys.RegSetValueExA(hKey, strValueName, 0, REG_SZ, (const BYTE*)(const char*)strData,
                                 (DWORD)strData.GetLength());
    sys.RegCloseKey(hKey);
    AfxLog("setting %s\\%s\\%s = \"%s\": %s", bMachineWide ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER",
           (const char*)strSubKey, (const char*)strValueName, (const char*)strData,
           lResult == ERROR_SUCCESS ? "stored" : (const char*)AfxErrorText((DWORD)lResult));
    ::SetLastError((DWORD)lResult);
    return lResult == ERROR_SUCCESS ? 1 : 0;
}
