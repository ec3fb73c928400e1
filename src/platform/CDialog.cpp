#include "CDialog.h"
#include "CWinApp.h"

#include <string.h>

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

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd)
    : m_nIDTemplate(nIDTemplate), m_pParentWnd(pParentWnd), m_nModalResult(-1), m_bContinueModal(FALSE)
{
}

INT_PTR CDialog::DoModal()
{
    // Without a parent the dialog belongs to the main window, unless it is the main window itself.
    HWND hWndOwner = NULL;
    if (m_pParentWnd != NULL)
        hWndOwner = m_pParentWnd->m_hWnd;
    else if (CWinApp* pApp = AfxGetApp(); pApp && pApp->m_pMainWnd && pApp->m_pMainWnd != this)
        hWndOwner = pApp->m_pMainWnd->m_hWnd;

    m_nModalResult = -1;
    m_bContinueModal = TRUE;
    const BOOL bOwnerEnabled = hWndOwner != NULL && ::IsWindowEnabled(hWndOwner);
    if (bOwnerEnabled)
        ::EnableWindow(hWndOwner, FALSE);

    if (CreateHidden(hWndOwner) != NULL)
        RunModalLoop();

    // The owner comes back before the dialog goes, so that activation returns to it.
    if (bOwnerEnabled)
        ::EnableWindow(hWndOwner, TRUE);
    if (m_hWnd != NULL)
        ::DestroyWindow(m_hWnd);
    return m_nModalResult;
}

void CDialog::EndDialog(int nResult)
{
    m_nModalResult = nResult;
    m_bContinueModal = FALSE;
    // Wakes the loop should the call come from outside any message it dispatched.
    if (m_hWnd != NULL)
        ::PostMessageA(m_hWnd, WM_NULL, 0, 0);
}

HWND CDialog::CreateHidden(HWND hWndOwner)
{
    HINSTANCE hInstance = GetModuleHandleA(NULL);
    HRSRC hResInfo = ::FindResourceA(hInstance, MAKEINTRESOURCEA(m_nIDTemplate), (LPCSTR)RT_DIALOG);
    HGLOBAL hResData = hResInfo ? ::LoadResource(hInstance, hResInfo) : NULL;
    const BYTE* pTemplate = hResData ? (const BYTE*)::LockResource(hResData) : NULL;
    const DWORD cbTemplate = hResInfo ? ::SizeofResource(hInstance, hResInfo) : 0;
    if (pTemplate == NULL || cbTemplate < sizeof(DLGTEMPLATE))
        return NULL;

    // A copy without WS_VISIBLE. An extended template starts with its version and signature and keeps
    // its style at offset 12; a classic one starts with its style.
    BYTE* pCopy = (BYTE*)::HeapAlloc(GetProcessHeap(), 0, cbTemplate);
    if (pCopy == NULL)
        return NULL;
    memcpy(pCopy, pTemplate, cbTemplate);
    const WORD* pwHeader = (const WORD*)pCopy;
    DWORD* pdwStyle = (DWORD*)(pCopy + (pwHeader[0] == 1 && pwHeader[1] == 0xFFFF ? 12 : 0));
    *pdwStyle &= ~(DWORD)WS_VISIBLE;

    HWND hWnd =
        ::CreateDialogIndirectParamA(hInstance, (LPCDLGTEMPLATEA)pCopy, hWndOwner, DialogProc, (LPARAM)this);
    ::HeapFree(GetProcessHeap(), 0, pCopy);
    return hWnd;
}

void CDialog::RunModalLoop()
{
    BOOL bShown = FALSE;
    MSG msg;
    while (m_bContinueModal)
    {
        if (!bShown && !::PeekMessageA(&msg, NULL, 0, 0, PM_NOREMOVE))
        {
            ::ShowWindow(m_hWnd, SW_SHOWNORMAL);
            bShown = TRUE;
        }
        if (!::GetMessageA(&msg, NULL, 0, 0))
        {
            ::PostQuitMessage((int)msg.wParam);
            return;
        }
        if (!::IsDialogMessageA(m_hWnd, &msg))
        {
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
        }
    }
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
        if (CWinApp* pApp = AfxGetApp(); pApp && pApp->m_pMainWnd == pDlg)
            pApp->m_pMainWnd = NULL;
    }
    if (!bHandled)
        return FALSE;
    if (ReturnsResultDirectly(message))
        return (INT_PTR)lResult;
    ::SetWindowLongPtrA(hWnd, DWLP_MSGRESULT, lResult);
    return TRUE;
}
