// Leaving without installing, the About box, the minimised window, and the pictures at the display's scale.
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

// The dialog's size follows the system font, which grows with the display's scale, while a bitmap keeps
// its pixels: at 96 dpi the banner and the rule are exactly as wide as the dialog, at 150 % they would
// stop two thirds of the way across. So wherever the dialog is not as wide as they are, each is redrawn
// at the dialog's width, its height in proportion; at 96 dpi the template's own bitmaps stay.
void CQuillbrookDlg::FitPicturesToWidth()
{
    static const UINT kPictures[] = {IDB_BANNER, IDB_RULE}; // the picture controls, in template order
    RECT rcClient;
    GetClientRect(&rcClient);
    const int cxDialog = rcClient.right - rcClient.left;

    int nPicture = 0;
    for (HWND hChild = ::GetWindow(m_hWnd, GW_CHILD); hChild != NULL && nPicture < 2;
         hChild = ::GetWindow(hChild, GW_HWNDNEXT))
    {
        char szClass[8] = "";
        ::GetClassNameA(hChild, szClass, sizeof szClass);
        if (lstrcmpiA(szClass, "Static") != 0 ||
            (::GetWindowLongA(hChild, GWL_STYLE) & SS_TYPEMASK) != SS_BITMAP)
            continue;
        CBitmap& bmp = m_bmpPictures[nPicture];
        const UINT nIDResource = kPictures[nPicture++];
        RECT rcPicture;
        ::GetWindowRect(hChild, &rcPicture);
        if (rcPicture.right - rcPicture.left == cxDialog || !bmp.LoadBitmapAtWidth(nIDResource, cxDialog))
            continue;
        // The control takes the new bitmap's size. The one it loaded from the template is the program's
        // to free once replaced; the new one stays the dialog's until the dialog object goes.
        HGDIOBJ hReplaced =
            (HGDIOBJ)::SendMessageA(hChild, STM_SETIMAGE, IMAGE_BITMAP, (LPARAM)bmp.GetSafeHandle());
        if (hReplaced != NULL && hReplaced != bmp.GetSafeHandle())
            AfxDeleteObject(hReplaced);
    }
}
