// A window wrapper: the handle, thin calls on it, data exchange with its controls, and the default
// processing of the message being handled.
#pragma once

#include "CCmdTarget.h"
#include "CString.h"

class CDataExchange;
class CMenu;

class CWnd : public CCmdTarget
{
public:
    CWnd() : m_hWnd(NULL), m_pNextAttached(NULL), m_pAttachedControls(NULL) {}

    HWND GetSafeHwnd() const { return m_hWnd; }
    BOOL ShowWindow(int nCmdShow) { return ::ShowWindow(m_hWnd, nCmdShow); }
    BOOL IsIconic() const { return ::IsIconic(m_hWnd); }
    void GetClientRect(LPRECT lpRect) const { ::GetClientRect(m_hWnd, lpRect); }
    HICON SetIcon(HICON hIcon, BOOL bBigIcon)
    {
        return (HICON)::SendMessageA(m_hWnd, WM_SETICON, bBigIcon ? ICON_BIG : ICON_SMALL, (LPARAM)hIcon);
    }
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0)
    {
        return ::SendMessageA(m_hWnd, message, wParam, lParam);
    }
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0)
    {
        return ::PostMessageA(m_hWnd, message, wParam, lParam);
    }
    // The window menu, or NULL; the object is temporary, valid until the next call.
    CMenu* GetSystemMenu(BOOL bRevert) const;

    // Centres the window over its owner, or on its monitor's work area when it has no visible owner.
    void CenterWindow();

    // Runs DoDataExchange: from the controls to the members when bSaveAndValidate, else the other way.
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);

    // Gives the message being handled the window's default processing, with its own parameters.
    LRESULT Default();

    HWND m_hWnd;

protected:
    virtual void DoDataExchange(CDataExchange* /*pDX*/) {}
    virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);

    // Runs the message map with the message remembered for Default().
    BOOL Dispatch(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);
    // Forgets the handles of the controls bound by DDX_Control; called when the window is destroyed.
    void DetachControls();

private:
    friend void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);

    struct CurrentMessage
    {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };
    CurrentMessage m_current = {};
    CWnd* m_pNextAttached;     // as a control: the next control bound to the same window
    CWnd* m_pAttachedControls; // as a window: the controls bound to it
};

class CButton : public CWnd
{
};

class CDataExchange
{
public:
    CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate)
        : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(pDlgWnd)
    {
    }

    BOOL m_bSaveAndValidate; // TRUE: controls to members; FALSE: members to controls
    CWnd* m_pDlgWnd;
};

// Binds rControl to the child control nIDC, once.
void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);
// Moves text between the child control nIDC and value.
void DDX_Text(CDataExchange* pDX, int nIDC, CString& value);
