// The installer's one window: shows where the price list goes, and installs it.
#pragma once

#include "platform/Afx.h"
#include "dialog/Outcome.h"
#include "dialog/resource.h"
#include "platform/CAtomicFile.h"

class CQuillbrookDlg : public CDialog
{
public:
    explicit CQuillbrookDlg(CWnd* pParent = NULL);

    // Runs the dialog; an unattended one runs its checks and installs without a window.
    INT_PTR DoModal() override;

    enum
    {
        IDD = IDD_QUILLBROOK_DIALOG
    };

    // The package's settings (package/PackageLoaders.cpp). A text entry reads as empty when absent; a
    // flag reads as 1 or 0, or as nID itself when absent, so a missing flag counts as set.
    static CString LoadPackageString(UINT nID);
    static int LoadPackageFlag(UINT nID);

    BOOL m_bUnattended; // install at once, without the installation's messages

protected:
    CButton m_btnInstall;
    CButton m_btnBrowse;
    CString m_strTargetPath;    // full path of the database file to write; may be empty
    int m_bUseSharedFolder;     // nonzero: the path is composed under the common application-data folder
    HICON m_hIcon;              // loaded when the window first shows it
    CBitmap m_bmpPictures[2];   // the banner and the rule, redrawn when the display is not at 96 dpi
    CString m_strDamagedKeptIn; // while an attempt has left the target damaged: its previous contents' copy

    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnOK() override;     // the install procedure (Install.cpp)
    void OnCancel() override; // asks before leaving (WindowChrome.cpp)

    // The target path as the package and the host's settings give it (TargetPath.cpp).
    static CString SharedFolderTargetPath();
    static CString RegistryTargetPath();
    // The package's country key with every "HKEY_LOCAL_MACHINE\" removed.
    static CString LoadCountryKey();
    // FALSE, after saying so, when the package is made for another country than the host's.
    BOOL AcceptsHostCountry();

    BOOL ConfirmExit();
    // Parts of the install procedure (Install.cpp): puts the database at the target, FALSE when the run
    // ended or stays without it; ends the dialog with an outcome.
    BOOL WriteDatabase(const void* pData, DWORD cbData);
    BOOL FailWrite(const CAtomicFile& file, const CFileException& error);
    void SetRunOutcome(InstallOutcome outcome);
    void EndWith(InstallOutcome outcome);
    // Redraws the banner and the rule at the dialog's width when the system font has made it wider or
    // narrower than they are (WindowChrome.cpp).
    void FitPicturesToWidth();
    afx_msg void OnSysCommand(UINT nID, LPARAM lParam);
    afx_msg void OnPaint();
    afx_msg HCURSOR OnQueryDragIcon();
    afx_msg void OnClose();
    afx_msg void OnBrowse();

    DECLARE_MESSAGE_MAP()
};

// The folder before the path's last backslash and the name after it; only the backslash separates.
// Without one, the folder is empty and the name is the whole path.
void SplitAtLastBackslash(const CString& strPath, CString* pstrFolder, CString* pstrFileName);

// Where the minimised window draws its icon: centred in the client area, rounding toward zero.
POINT MinimizedIconOrigin(const RECT& rcClient, int cxIcon, int cyIcon);
