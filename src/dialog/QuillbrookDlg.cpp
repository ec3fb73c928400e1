// The main dialog: construction, data exchange, message routing and start-up.
#include "dialog/QuillbrookDlg.h"
#include "dialog/Outcome.h"
#include "package/PackageIds.h"
#include "package/PackageIntegrity.h"
#include "package/PackageResources.h"
#include "platform/MappedRead.h"
#include "platform/RedirectionGuard.h"
#include "platform/RunLog.h"
#include "registry/HostRegistry.h"

namespace
{
const char kRefusalText[] = "This pricelist aims this country only : ";

// The package's country code, upper-cased, when the host is set up for another country; empty when it
// is not, and when either side has no country to compare. Spaces count.
CString ForeignCountryCode(const CString& strCountryKey, CString strCode)
{
    if (strCountryKey.IsEmpty() || strCode.IsEmpty())
    {
        AfxLog("country check: not made: no country in the package");
        return CString();
    }
    CString strHost = ReadRegistryString(strCountryKey, "Pays", "");
    if (strHost.IsEmpty())
    {
        AfxLog("country check: not made: the host has no country");
        return CString();
    }
    strCode.MakeUpper();
    strHost.MakeUpper();
    if (strHost.Compare(strCode) != 0)
        return strCode;
    AfxLog("country check: passed");
    return CString();
}
} // namespace

CQuillbrookDlg::CQuillbrookDlg(CWnd* pParent)
    : CDialog(IDD, pParent), m_bUnattended(FALSE), m_pszTargetProblem(NULL), m_bPackageDamaged(FALSE),
      m_bUseSharedFolder(0), m_hIcon(NULL)
{
    // A package damaged on its way here is refused before anything of it is followed or shown: a damaged
    // setting could name any key, country or path.
    BOOL bStamped = FALSE;
    if (!IsPackageIntact(&bStamped))
    {
        m_bPackageDamaged = TRUE;
        if (AfxMappedReadError() != ERROR_SUCCESS)
            AfxLog("package: could not be read (%s)", (const char*)AfxErrorText(AfxMappedReadError()));
        else
            AfxLog("package: its integrity check failed (damaged)");
        return;
    }

    m_bUseSharedFolder = LoadPackageFlag(REG_USE_SHARED_FOLDER);
    // In the data folder that all users share, another user may have made the package's folders first, as
    // junctions into this user's files: a standard user's run there is as privileged as an administrator's.
    if (m_bUseSharedFolder && !AfxChecksLinksOnTheWay())
    {
        AfxGuardRedirections(TRUE);
        AfxLog("RedirectionGuard: %s (the run writes in the data folder all users share)",
               AfxRedirectionGuardText());
    }
    if (AfxIsLogging())
    {
        AfxLog("package: date \"%s\", country \"%s\", %s, settings key \"%s\"",
               (const char*)LoadPackageString(REG_TARIFF_DATE),
               (const char*)LoadPackageString(REG_COUNTRY_CODE),
               m_bUseSharedFolder ? "shared-folder mode" : "registry mode",
               (const char*)LoadPackageString(REG_SETTINGS_KEY));
        const BYTE* pbPayload;
        DWORD cbPayload;
        const char* pszCheck = bStamped ? "passed" : "none stamped (package made by another tool)";
        if (LookUpPackageEntry(PACKAGE_PAYLOAD_TYPE, MDB_DATABASE, &pbPayload, &cbPayload) ==
            PACKAGE_ENTRY_FOUND)
            AfxLog("package: %lu bytes of database; integrity check: %s", cbPayload, pszCheck);
        else if (LookUpPackageEntry(PACKAGE_COMPRESSED_PAYLOAD_TYPE, MDB_DATABASE, &pbPayload, &cbPayload) ==
                 PACKAGE_ENTRY_FOUND)
            AfxLog("package: %lu bytes of compressed database; integrity check: %s", cbPayload, pszCheck);
        else
            AfxLog("package: no database; integrity check: %s", pszCheck);
        if (IsHostLightMode())
            AfxLog("Dravik runs in light mode: #LIGHT# settings come first");
    }
    BOOL bWhole = TRUE;
    CString strPath = m_bUseSharedFolder ? SharedFolderTargetPath(&bWhole) : RegistryTargetPath(&bWhole);
    AfxLog("target path: %s", strPath.IsEmpty() ? "none known" : (const char*)strPath);
    SetTargetPath(strPath, bWhole);
}

void CQuillbrookDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDOK, m_btnInstall);
    DDX_Control(pDX, IDC_BROWSE, m_btnBrowse);
    DDX_Text(pDX, IDC_TARGET_PATH, m_strTargetPath);
}

// clang-format off
BEGIN_MESSAGE_MAP(CQuillbrookDlg, CDialog)
    ON_WM_SYSCOMMAND()
    ON_WM_PAINT()
    ON_WM_QUERYDRAGICON()
    ON_WM_CLOSE()
    ON_BN_CLICKED(IDC_BROWSE, &CQuillbrookDlg::OnBrowse)
    ON_MESSAGE(WM_SAY_TARGET_UNUSABLE, &CQuillbrookDlg::OnSayTargetUnusable)
END_MESSAGE_MAP()
// clang-format on

CString CQuillbrookDlg::LoadCountryKey()
{
    CString strKey = LoadPackageString(REG_COUNTRY_KEY);
    strKey.Replace("HKEY_LOCAL_MACHINE\\", "");
    return strKey;
}

BOOL CQuillbrookDlg::AcceptsHostCountry()
{
    if (m_bUseSharedFolder)
        return TRUE;
    CString strCountryKey = LoadCountryKey();
    CString strForeignCode = ForeignCountryCode(strCountryKey, LoadPackageString(REG_COUNTRY_CODE));
    if (strForeignCode.IsEmpty())
        return TRUE;
    AfxLog("country check: refused, the package is for %s only", (const char*)strForeignCode);

    // Shown even when unattended, so that a wrong package cannot pass for a success; but not where
    // nobody could answer it (the exit status says it there).
    if (!m_bUnattended || AfxHasVisibleDesktop())
        AfxMessageBox(kRefusalText + strForeignCode, MB_OK, 0);
    SetOutcome(OUTCOME_REFUSED_FOR_COUNTRY);
    return FALSE;
}

INT_PTR CQuillbrookDlg::DoModal()
{
    if (m_bPackageDamaged)
    {
        SayPackageIncomplete();
        return IDOK;
    }
    if (!m_bUnattended)
        return CDialog::DoModal();

    // Unattended, nothing of the dialog is ever seen, so its window is not made at all: the checks and
    // the installation run without it. (Making a window is what costs a run most of its time under
    // Wine, which loads its display driver for the first one.)
    if (AcceptsHostCountry())
        OnOK();
    return m_nModalResult;
}

BOOL CQuillbrookDlg::OnInitDialog()
{
    CDialog::OnInitDialog();

    // The About entry at the end of the window menu.
    if (CMenu* pSysMenu = GetSystemMenu(FALSE))
    {
        CString strAboutMenu;
        strAboutMenu.LoadString(IDS_ABOUTBOX);
        if (!strAboutMenu.IsEmpty())
        {
            pSysMenu->AppendMenu(MF_SEPARATOR);
            pSysMenu->AppendMenu(MF_STRING, IDM_ABOUTBOX, strAboutMenu);
        }
    }

    // Loaded only now that a window shows it: loading an icon needs the display.
    m_hIcon = ::LoadIconW(GetModuleHandleA(NULL), MAKEINTRESOURCEW(IDR_MAINFRAME));
    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);

    // A package made for one country ends here, before the user can act.
    if (!AcceptsHostCountry())
    {
        PostMessage(WM_QUIT, 0, 0);
        return FALSE;
    }

    // Only one way on at first: "Install" when the path is known and can be used, "Browse..." when not.
    if (m_strTargetPath.IsEmpty() || m_pszTargetProblem != NULL)
        m_btnInstall.ShowWindow(SW_HIDE);
    else
        m_btnBrowse.ShowWindow(SW_HIDE);
    FitPicturesToDisplayScale();
    if (m_pszTargetProblem != NULL)
        PostMessage(WM_SAY_TARGET_UNUSABLE, 0, 0);
    return FALSE;
}
