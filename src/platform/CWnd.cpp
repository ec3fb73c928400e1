#include "CWnd.h"
#include "CMenu.h"

CMenu* CWnd::GetSystemMenu(BOOL bRevert) const
{
    return CMenu::FromHandle(::GetSystemMenu(m_hWnd, bRevert));
}

void CWnd::CenterWindow()
{
    RECT rcWindow;
    ::GetWindowRect(m_hWnd, &rcWindow);

    HWND hWndOwner = ::GetWindow(m_hWnd, GW_OWNER);
    MONITORINFO mi = {};
    mi.cbSize = sizeof mi;
    ::GetMonitorInfoA(::MonitorFromWindow(hWndOwner ? hWndOwner : m_hWnd, MONITOR_DEFAULTTOPRIMARY), &mi);
    const RECT& rcWork = mi.rcWork;

    RECT rcCenter = rcWork;
    if (hWndOwner != NULL && ::IsWindowVisible(hWndOwner) && !::IsIconic(hWndOwner))
        ::GetWindowRect(hWndOwner, &rcCenter);

    const int cx = rcWindow.right - rcWindow.left;
    const int cy = rcWindow.bottom - rcWindow.top;
    int x = (rcCenter.left + rcCenter.right) / 2 - cx / 2;
    int y = (rcCenter.top + rcCenter.bottom) / 2 - cy / 2;

    // Keep the whole window on the work area when it fits there.
    if (x + cx > rcWork.right)
        x = rcWork.right - cx;
    if (x < rcWork.left)
        x = rcWork.left;
    if (y + cy > rcWork.bottom)
        y = rcWork.bottom - cy;
    if (y < rcWork.top)
        y = rcWork.top;

    ::SetWindowPos(m_hWnd, NULL, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

BOOL CWnd::UpdateData(BOOL bSaveAndValidate)
{
    // Without a window there is nothing to exchange with.
    if (m_hWnd == NULL)
        return TRUE;
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return TRUE;
}

LRESULT CWnd::Default()
{
    return DefWindowProc(m_current.message, m_current.wParam, m_current.lParam);
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    return ::DefWindowProcA(m_hWnd, message, wParam, lParam);
}

BOOL CWnd::Dispatch(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult)
{
    // Handlers may send messages of their own; each nested dispatch restores the outer message after.
    CurrentMessage saved = m_current;
    m_current = {message, wParam, lParam};
    BOOL bHandled = OnWndMsg(message, wParam, lParam, pResult);
    m_current = saved;
    return bHandled;
}

void CWnd::DetachControls()
{
    for (CWnd* pControl = m_pAttachedControls; pControl != NULL;)
    {
        CWnd* pNext = pControl->m_pNextAttached;
        pControl->m_hWnd = NULL;
        pControl->m_pNextAttached = NULL;
        pControl = pNext;
    }
    m_pAttachedControls = NULL;
}

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl)
{
    if (rControl.m_hWnd != NULL)
        return;
    CWnd* pDlg = pDX->m_pDlgWnd;
    rControl.m_hWnd = ::GetDlgItem(pDlg->m_hWnd, nIDC);
    rControl.m_pNextAttached = pDlg->m_pAttachedControls;
    pDlg->m_pAttachedControls = &rControl;
}

void DDX_Text(CDataExchange* pDX, int nIDC, CString& value)
{
    HWND hWndCtrl = ::GetDlgItem(pDX->m_pDlgWnd->m_hWnd, nIDC);
    if (pDX->m_bSaveAndValidate)
    {
        int nLength = ::GetWindowTextLengthA(hWndCtrl);
        ::GetWindowTextA(hWndCtrl, value.GetBufferSetLength(nLength), nLength + 1);
        value.ReleaseBuffer();
    }
    else
    {
        ::SetWindowTextA(hWndCtrl, value);
    }
}
