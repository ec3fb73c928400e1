// A modal dialog built from a template in the executable. The dialog manager runs the modal loop; this
// class routes its messages through the message map and supplies the framework's defaults: Enter and
// Esc reach OnOK and OnCancel, a confirmed close ends the dialog, and the dialog is centred when shown.
#pragma once

#include "CWnd.h"

class CDialog : public CWnd
{
public:
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = NULL);

    // Shows the dialog and returns once it has ended, with the value given to EndDialog (-1 when the
    // window could not be created).
    virtual INT_PTR DoModal();
    void EndDialog(int nResult) { ::EndDialog(m_hWnd, nResult); }

    BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) override;

protected:
    // Shows the members in the controls; returns TRUE to let the dialog manager set the focus.
    virtual BOOL OnInitDialog();
    // Takes the controls back into the members and ends the dialog with IDOK.
    virtual void OnOK();
    // Ends the dialog with IDCANCEL.
    virtual void OnCancel();
    void OnPaint() { Default(); }

    // A dialog's default answer to a close request is to end with IDCANCEL.
    LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    UINT m_nIDTemplate;
    CWnd* m_pParentWnd;

private:
    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
};
