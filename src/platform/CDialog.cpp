#include "CDialog.h"
#include "CWinApp.h"

namespace
{
// Messages whose result a dialog procedure returns itself instead of through DWLP_MSGRESULT.
bool ReturnsResultDirectly(UINT message)
{
    switch (message)
    {
    case WM_CHARTOITEM:
    case WM_COMPAREITEM:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_INITDIALOG:
    case WM_QUERYDRAGICON:
    case WM_VKEYTOITEM:
        return true;
    default:
        return false;
    }
}
} // namespace

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd) : m_nIDTemplate(nIDTemplate), m_pParentWnd(pParentWnd) {}

INT_PTR CDialog::DoModal()
{
    // Without a parent the dialog belongs to the main window, unless it is the main window itself.
    HWND hWndOwner = NULL;
    if (m_pParentWnd != NULL)
        hWndOwner = m_pParentWnd->m_hWnd;
    else if (CWinApp* pApp = AfxGetApp(); pApp && pApp->m_pMainWnd && pApp->m_pMainWnd != this)
        hWndOwner = pApp->m_pMainWnd->m_hWnd;

    return ::DialogBoxParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(m_nIDTemplate), hWndOwner, DialogProc,
                             (LPARAM)this);
}

BOOL CDialog::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult)
{
    if (message == WM_INITDIALOG)
    {
        // Centred before the dialog's own initialisation, so that a box it shows sits over it too.
        CenterWindow();
        *pResult = OnInitDialog();
        return TRUE;
    }
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED)
    {
        switch (LOWORD(wParam))
        {
        case IDOK:
            OnOK();
            return TRUE;
        case IDCANCEL:
            OnCancel();
            return TRUE;
        }
        // Commands no window handles go on to the application.
        if (CWinApp* pApp = AfxGetApp())
            return pApp->OnWndMsg(message, wParam, lParam, pResult);
    }
    return CWnd::OnWndMsg(message, wParam, lParam, pResult);
}

BOOL CDialog::OnInitDialog()
{
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK()
{
    UpdateData(TRUE);
    EndDialog(IDOK);
}

void CDialog::OnCancel()
{
    EndDialog(IDCANCEL);
}

LRESULT CDialog::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CLOSE)
    {
        EndDialog(IDCANCEL);
        return 0;
    }
    return CWnd::DefWindowProc(message, wParam, lParam);
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    CDialog* pDlg;
    if (message == WM_INITDIALOG)
    {
        pDlg = (CDialog*)lParam;
        pDlg->m_hWnd = hWnd;
        ::SetWindowLongPtrA(hWnd, DWLP_USER, (LONG_PTR)pDlg);
    }
    else
    {
        pDlg = (CDialog*)::GetWindowLongPtrA(hWnd, DWLP_USER);
    }
    if (pDlg == NULL)
        return FALSE; // messages before WM_INITDIALOG get the dialog manager's defaults

    LRESULT lResult = 0;
    BOOL bHandled = pDlg->Dispatch(message, wParam, lParam, &lResult);
    if (message == WM_NCDESTROY)
    {
        pDlg->DetachControls();
        pDlg->m_hWnd = NULL;
    }
    if (!bHandled)
        return FALSE;
    if (ReturnsResultDirectly(message))
        return (INT_PTR)lResult;
    ::SetWindowLongPtrA(hWnd, DWLP_MSGRESULT, lResult);
    return TRUE;
}
