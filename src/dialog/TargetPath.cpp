// Where the database goes: the path the package and the host's settings give, and "Browse...".
#include "dialog/QuillbrookDlg.h"
#include "package/PackageIds.h"
#include "platform/CFileDialog.h"
#include "platform/LibraryFunction.h"
#include "platform/RunLog.h"
#include "registry/HostRegistry.h"

#include <shlobj.h>

namespace
{
const char kNotCarriedWhole[] = "its name holds characters that this system's code page cannot carry";
const char kNotFullPath[] = "it is neither a full path from a drive (C:\\...) nor a network path "
                            "(\\\\server\\share\\...)";

bool IsSeparator(wchar_t ch)
{
    return ch == L'\\' || ch == L'/';
}

bool IsDriveRoot(const wchar_t* psz)
{
    return ((psz[0] >= L'A' && psz[0] <= L'Z') || (psz[0] >= L'a' && psz[0] <= L'z')) && psz[1] == L':' &&
           IsSeparator(psz[2]);
}

// "server\share\" and more: a name, a separator, a name and a separator.
bool IsShare(const wchar_t* psz)
{
    const wchar_t* p = psz;
    while (*p != L'\0' && !IsSeparator(*p))
        ++p;
    if (p == psz || *p == L'\0')
        return false;
    const wchar_t* pszShare = ++p;
    while (*p != L'\0' && !IsSeparator(*p))
        ++p;
    return p != pszShare && *p != L'\0';
}

// Whether a path names its place by itself, whatever the current folder and drive: from a drive's root, a
// network share, or one of their \\?\ forms (or a volume's, which the file code takes too). A relative
// path would land in whatever folder the run started in (System32, for a deployment tool).
bool IsFullPath(const CString& strPath)
{
    CWideText wszPath(strPath);
    const wchar_t* psz = wszPath;
    if (IsDriveRoot(psz))
        return true;
    if (!IsSeparator(psz[0]) || !IsSeparator(psz[1]))
        return false;
    if (psz[0] == L'\\' && psz[1] == L'\\' && (psz[2] == L'?' || psz[2] == L'.') && psz[3] == L'\\')
    {
        const wchar_t* pszRest = psz + 4;
        return IsDriveRoot(pszRest) || (wcsncmp(pszRest, L"UNC\\", 4) == 0 && IsShare(pszRest + 4)) ||
               wcsncmp(pszRest, L"Volume{", 7) == 0;
    }
    return IsShare(psz + 2);
}
} // namespace

// <common app data>\HalveroGroup\PriceList\CAT-<137>\<136>\PriceList<136>.mdb
CString CQuillbrookDlg::SharedFolderTargetPath(BOOL* pbWhole)
{
    // Should the system not know the folder, the path starts at its first backslash, which names no
    // place of its own. Only this mode needs the shell's library.
    typedef BOOL(WINAPI * PFNSHGETSPECIALFOLDERPATHW)(HWND, LPWSTR, int, BOOL);
    auto pfnGetFolder =
        AfxLibraryFunction<PFNSHGETSPECIALFOLDERPATHW>("shell32.dll", "SHGetSpecialFolderPathW");
    wchar_t wszFolder[MAX_PATH + 1] = L"";
    if (pfnGetFolder != NULL)
        pfnGetFolder(NULL, wszFolder, CSIDL_COMMON_APPDATA, FALSE);
    CString strFolder;
    BOOL bFolderWhole = strFolder.AssignWide(wszFolder, -1);

    BOOL bKeyWhole, bValueWhole;
    CString strSettingsKey = LoadPackageString(REG_SETTINGS_KEY, &bKeyWhole);
    CString strPathValue = LoadPackageString(REG_PATH_VALUE, &bValueWhole);
    *pbWhole = bFolderWhole && bKeyWhole && bValueWhole;
    return strFolder + "\\HalveroGroup\\PriceList\\CAT-" + strPathValue + "\\" + strSettingsKey +
           "\\PriceList" + strSettingsKey + ".mdb";
}

// The host's own setting, taken as it stands; empty when the package names no settings key.
CString CQuillbrookDlg::RegistryTargetPath(BOOL* pbWhole)
{
    *pbWhole = TRUE;
    CString strSettingsKey = LoadPackageString(REG_SETTINGS_KEY);
    CString strPathValue = LoadPackageString(REG_PATH_VALUE);
    if (strSettingsKey.IsEmpty())
        return CString();
    return ReadRegistryString(strSettingsKey, strPathValue, "", pbWhole);
}

void CQuillbrookDlg::SetTargetPath(const CString& strPath, BOOL bWhole)
{
    m_strTargetPath = strPath;
    m_pszTargetProblem = NULL;
    if (!strPath.IsEmpty() && !bWhole)
        m_pszTargetProblem = kNotCarriedWhole;
    else if (!strPath.IsEmpty() && !IsFullPath(strPath))
        m_pszTargetProblem = kNotFullPath;
    if (m_pszTargetProblem != NULL)
        AfxLog("target path refused: %s", m_pszTargetProblem);
}

LRESULT CQuillbrookDlg::OnSayTargetUnusable(WPARAM, LPARAM)
{
    // Over the dialog, whose "Browse..." is the way on: shown now, before the modal loop would show it.
    ShowWindow(SW_SHOWNORMAL);
    SayTargetUnusable();
    return 0;
}

void CQuillbrookDlg::SayTargetUnusable()
{
    if (!m_bUnattended)
        AfxMessageBox("The pricelist cannot be installed in " + m_strTargetPath + "\n(" + m_pszTargetProblem +
                          ")\nPlease choose where to install it with Browse...",
                      MB_OK | MB_ICONWARNING, 0);
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

    AfxLog("save dialog: %s chosen", (const char*)dlg.GetPathName());
    SetTargetPath(dlg.GetPathName(), dlg.IsPathNameWhole());
    UpdateData(FALSE);
    m_btnInstall.ShowWindow(m_pszTargetProblem == NULL ? SW_SHOW : SW_HIDE);
    if (m_pszTargetProblem != NULL)
        SayTargetUnusable();
}
