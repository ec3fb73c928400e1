// Where the database goes: the path the package and the host's settings give, and "Browse...".
#include "dialog/QuillbrookDlg.h"
#include "package/PackageIds.h"
#include "platform/CFileDialog.h"
#include "platform/LibraryFunction.h"
#include "platform/RunLog.h"
#include "registry/HostRegistry.h"

#include <shlobj.h>

// <common app data>\HalveroGroup\PriceList\CAT-<137>\<136>\PriceList<136>.mdb
CString CQuillbrookDlg::SharedFolderTargetPath()
{
    // Should the system not know the folder, the path starts at its first backslash. Only this mode
    // needs the shell's library.
    typedef BOOL(WINAPI * PFNSHGETSPECIALFOLDERPATHA)(HWND, LPSTR, int, BOOL);
    auto pfnGetFolder =
        AfxLibraryFunction<PFNSHGETSPECIALFOLDERPATHA>("shell32.dll", "SHGetSpecialFolderPathA");
    CString strFolder;
    char* pszFolder = strFolder.GetBufferSetLength(MAX_PATH);
    pszFolder[0] = '\0';
    if (pfnGetFolder != NULL)
        pfnGetFolder(NULL, pszFolder, CSIDL_COMMON_APPDATA, FALSE);
    strFolder.ReleaseBuffer();

    CString strSettingsKey = LoadPackageString(REG_SETTINGS_KEY);
    CString strPathValue = LoadPackageString(REG_PATH_VALUE);
    return strFolder + "\\HalveroGroup\\PriceList\\CAT-" + strPathValue + "\\" + strSettingsKey +
           "\\PriceList" + strSettingsKey + ".mdb";
}

// The host's own setting, taken as it stands; empty when the package names no settings key.
CString CQuillbrookDlg::RegistryTargetPath()
{
    CString strSettingsKey = LoadPackageString(REG_SETTINGS_KEY);
    CString strPathValue = LoadPackageString(REG_PATH_VALUE);
    if (strSettingsKey.IsEmpty())
        return CString();
    return ReadRegistryString(strSettingsKey, strPathValue, "");
}

void SplitAtLastBackslash(const CString& strPath, CString* pstrFolder, CString* pstrFileName)
{
    int nPos = strPath.ReverseFind('\\');
    *pstrFolder = strPath.Left(nPos);
    *pstrFileName = strPath.Mid(nPos + 1);
}

void CQuillbrookDlg::OnBrowse()
{
    // The save dialog opens where the current path points.
    CString strFolder, strFileName;
    SplitAtLastBackslash(m_strTargetPath, &strFolder, &strFileName);

    CFileDialog dlg(FALSE, ".mdb", strFileName, OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT,
                    "MDB files(*.mdb)|*.mdb||", this, 0, TRUE);
    dlg.GetOFN().lpstrInitialDir = strFolder;
    if (dlg.DoModal() != IDOK)
    {
        AfxLog("save dialog: no file chosen");
        return;
    }

    m_strTargetPath = dlg.GetPathName();
    AfxLog("save dialog: %s chosen", (const char*)m_strTargetPath);
    UpdateData(FALSE);
    m_btnInstall.ShowWindow(SW_SHOW);
}
