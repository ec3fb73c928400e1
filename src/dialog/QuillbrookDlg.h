// The installer's one window: shows where the price list goes, and installs it.
#pragma once

#include "platform/Afx.h"
#include "dialog/Outcome.h"
#include "dialog/resource.h"
#include "platform/CAtomicFile.h"

// Posted by the dialog to itself, so that what it has to say comes over the dialog once it shows.
constexpr UINT WM_SAY_TARGET_UNUSABLE = WM_APP + 1;

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

    // The package's settings (package/PackageLoaders.cpp). A text entry reads as empty when absent, and
    // *pbWhole (when given) is FALSE when a character of it has no place in the ANSI code page; a flag
    // reads as 1 or 0, or as nID itself when absent, so a missing flag counts as set.
    static CString LoadPackageString(UINT nID, BOOL* pbWhole = NULL);
    static int LoadPackageFlag(UINT nID);

    BOOL m_bUnattended; // install at once, without the installation's messages

protected:
    CButton m_btnInstall;
    CButton m_btnBrowse;
    CString m_strTargetPath;        // full path of the database file to write; may be empty
    const char* m_pszTargetProblem; // why m_strTargetPath cannot be used; NULL when it can (or is empty)
    BOOL m_bPackageDamaged;         // the package failed its integrity check: nothing of it is followed
    int m_bUseSharedFolder;         // nonzero: the path is composed under the common application-data folder
    HICON m_hIcon;                  // loaded when the window first shows it
    CBitmap m_bmpPictures[2];       // the banner and the rule, redrawn at the display's scale
    CTargetState m_target;          // what the attempts have left of the target

    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnOK() override;     // the install procedure (Install.cpp)
    void OnCancel() override; // asks before leaving (WindowChrome.cpp)

    // The target path as the package and the host's settings give it (TargetPath.cpp); *pbWhole is FALSE
    // when a character of it has no place in the ANSI code page.
    static CString SharedFolderTargetPath(BOOL* pbWhole);
    static CString RegistryTargetPath(BOOL* pbWhole);
    // Takes strPath as the target, noting why it cannot be used when it lost characters on its way here
    // or does not name its place by itself (a relative path); says that, attended.
    void SetTargetPath(const CString& strPath, BOOL bWhole);
    void SayTargetUnusable();
    afx_msg LRESULT OnSayTargetUnusable(WPARAM, LPARAM);
    // "This Pricelist Setup has been incorrectly generated" (or, where its bytes could not all be read,
    // "could not be read"), attended, and the outcome (Install.cpp).
    void SayPackageIncomplete();
    // The package's country key with every "HKEY_LOCAL_MACHINE\" removed.
    static CString LoadCountryKey();
    // FALSE, after saying so, when the package is made for another country than the host's.
    BOOL AcceptsHostCountry();

    BOOL ConfirmExit();
    // Parts of the install procedure (Install.cpp): puts the database at the target, FALSE when the run
    // ended or stays without it; ends the dialog with an outcome.
    BOOL WriteDatabase(CTargetFolder& folder, CByteSource& payload);
    BOOL FailWrite(const CAtomicFile& file, const CFileException& error);
    void SetRunOutcome(InstallOutcome outcome);
    void EndWith(InstallOutcome outcome);
    // Redraws the banner and the rule at the dialog's width where the display's scale, through the system
    // font, has made the dialog wider or narrower than they are (DisplayScaling.cpp).
    void FitPicturesToDisplayScale();
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
