// The main dialog: construction, data exchange, message routing and start-up.
#include "dialog/QuillbrookDlg.h"
#include "dialog/Outcome.h"
#include "package/PackageIds.h"
#include "registry/HostRegistry.h"

namespace
{
const char kRefusalText[] = "This pricelist aims this country only : ";
} // namespace

CQuillbrookDlg::CQuillbrookDlg(CWnd* pParent)
    : CDialog(IDD, pParent), m_bUnattended(FALSE), m_bUseSharedFolder(0), m_hIcon(NULL)
{
    m_bUseSharedFolder = LoadPackageFlag(REG_USE_SHARED_FOLDER);
    m_strTargetPath = m_bUseSharedFolder ? SharedFolderTargetPath() : RegistryTargetPath();
    m_hIcon = ::LoadIconW(GetModuleHandleA(NULL), MAKEINTRESOURCEW(IDR_MAINFRAME));
}

void CQuillbrookDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDOK, m_btnInstall);
    DDX_Control(pDX, IDC_BROWSE, m_btnBrowse);
    DDX_Text(pDX, IDC_TARGET_PATH, m_strTargetPath);
}

BEGIN_MESSAGE_MAP(CQuillbrookDlg, CDialog)
ON_WM_SYSCOMMAND()
ON_WM_PAINT()
ON_WM_QUERYDRAGICON()
ON_WM_CLOSE()
ON_BN_CLICKED(IDC_BROWSE, &CQuillbrookDlg::OnBrowse)
END_MESSAGE_MAP()

CString CQuillbrookDlg::LoadCountryKey()
{
    CString strKey = LoadPackageString(REG_COUNTRY_KEY);
    strKey.Replace("HKEY_LOCAL_MACHINE\\", "");
    return strKey;
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

    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);

    // A package made for one country is refused where the host is set up for another. Any setting
    // that is missing on either side switches the check off.
    if (!m_bUseSharedFolder)
    {
        CString strKey = LoadCountryKey();
        CString strCode = LoadPackageString(REG_COUNTRY_CODE);
        if (!strKey.IsEmpty() && !strCode.IsEmpty())
        {
            CString strHost = ReadRegistryString(strKey, "Pays", "");
            if (!strHost.IsEmpty())
            {
                strCode.MakeUpper();
                strHost.MakeUpper();
                if (strHost.Compare(strCode) != 0)
                {
                    // Shown even when unattended: the deployment must not pass for a success.
                    AfxMessageBox(kRefusalText + strCode, MB_OK, 0);
                    SetOutcome(OUTCOME_REFUSED_FOR_COUNTRY);
                    PostMessage(WM_QUIT, 0, 0);
                    return FALSE;
                }
            }
        }
    }

    if (m_bUnattended)
    {
        OnOK();
        return FALSE;
    }
    if (m_strTargetPath.IsEmpty())
        m_btnInstall.ShowWindow(SW_HIDE);
    else
        m_btnBrowse.ShowWindow(SW_HIDE);
    return FALSE;
}
