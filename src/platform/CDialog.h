// A modal dialog built from a template in the executable. The dialog is created hidden, centred, and
// shown when its modal loop first goes idle, so one that ends while it initialises (or has a quit
// message waiting) never appears. Messages go through the message map; the framework's defaults are:
// Enter and Esc reach OnOK and OnCancel, a confirmed close ends the dialog, and a WM_QUIT taken from the
// queue ends the loop (and is posted again for whoever runs the next one).
#pragma once

#include "CWnd.h"

class CDialog : public CWnd
{
public:
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = NULL);

    // Shows the dialog and returns once it has ended, with the value given to EndDialog (-1 when the
    // window could not be created).
    virtual INT_PTR DoModal();
    // Ends the modal loop once the current message has been handled.
    void EndDialog(int nResult);

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
    INT_PTR m_nModalResult; // what EndDialog was given; -1 until then

private:
    HWND CreateHidden(HWND hWndOwner);
    void RunModalLoop();
    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

    BOOL m_bContinueModal;
};
