// The window's own commands: leaving without installing (Cancel, the close box), the About entry of the
// window menu, and the minimised window's icon.
#include "dialog/AboutDlg.h"
#include "dialog/Outcome.h"
#include "dialog/QuillbrookDlg.h"

namespace
{
// "ti complete" is how the question has always read; it stays word for word.
const char kExitQuestion[] =
    "Setup is not complete. If you quit now, the pricelist will not be installed.\n\n"
    "You may run the Setup program again at another time ti complete the installation.\n\n"
    "Exit Setup?";
} // namespace

BOOL CQuillbrookDlg::ConfirmExit()
{
    return AfxMessageBox(kExitQuestion, MB_YESNO | MB_ICONQUESTION, 0) == IDYES;
}

void CQuillbrookDlg::OnCancel()
{
    if (!ConfirmExit())
        return;
    SetRunOutcome(OUTCOME_LEFT_WITHOUT_INSTALLING);
    CDialog::OnCancel();
}

void CQuillbrookDlg::OnClose()
{
    if (!ConfirmExit())
        return;
    SetRunOutcome(OUTCOME_LEFT_WITHOUT_INSTALLING);
    Default();
}

void CQuillbrookDlg::OnSysCommand(UINT nID, LPARAM /*lParam*/)
{
    if ((nID & 0xFFF0) == IDM_ABOUTBOX)
    {
        CAboutDlg dlgAbout;
        dlgAbout.DoModal();
    }
    else
    {
        Default();
    }
}

POINT MinimizedIconOrigin(const RECT& rcClient, int cxIcon, int cyIcon)
{
    const int cxClient = rcClient.right - rcClient.left;
    const int cyClient = rcClient.bottom - rcClient.top;
    return POINT{(cxClient - cxIcon + 1) / 2, (cyClient - cyIcon + 1) / 2};
}

void CQuillbrookDlg::OnPaint()
{
    if (!IsIconic())
    {
        CDialog::OnPaint();
        return;
    }

    CPaintDC dc(this);
    SendMessage(WM_ICONERASEBKGND, (WPARAM)dc.GetSafeHdc(), 0);
    RECT rcClient;
    GetClientRect(&rcClient);
    POINT pt = MinimizedIconOrigin(rcClient, GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON));
    dc.DrawIcon(pt.x, pt.y, m_hIcon);
}

HCURSOR CQuillbrookDlg::OnQueryDragIcon()
{
    return (HCURSOR)m_hIcon;
}
