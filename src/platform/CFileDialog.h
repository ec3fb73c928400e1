// The system's file dialog: the newer item dialog where the system offers it, the classic one
// otherwise. Both live in libraries that only a browse needs, so they are loaded when it happens.
#pragma once

#include "CWnd.h"

#include <commdlg.h>

class CFileDialog
{
public:
    // lpszFilter: "Description|pattern|...|" ending with an extra "|". lpszDefExt may start with a dot.
    CFileDialog(BOOL bOpenFileDialog, const char* lpszDefExt = NULL, const char* lpszFileName = NULL,
                DWORD dwFlags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT, const char* lpszFilter = NULL,
                CWnd* pParentWnd = NULL, DWORD dwSize = 0, BOOL bVistaStyle = TRUE);
    CFileDialog(const CFileDialog&) = delete;
    CFileDialog& operator=(const CFileDialog&) = delete;

    // The settings; lpstrInitialDir may be pointed at a folder that outlives DoModal.
    OPENFILENAMEA& GetOFN() { return m_ofn; }
    // IDOK when the user chose a file, IDCANCEL otherwise.
    INT_PTR DoModal();
    CString GetPathName() const { return m_strPathName; }
    // FALSE when the chosen path holds characters that the ANSI code page lacks (they stand as '?').
    BOOL IsPathNameWhole() const { return m_bPathNameWhole; }

private:
    // FALSE when the system offers no item dialog.
    BOOL RunItemDialog(HWND hWndOwner, INT_PTR* pnResult);
    INT_PTR RunClassicDialog(HWND hWndOwner);

    OPENFILENAMEA m_ofn;
    BOOL m_bOpenFileDialog;
    BOOL m_bVistaStyle;
    CWnd* m_pParentWnd;
    CString m_strDefExt; // without its dot
    CString m_strFilter; // the pairs, each part ending with a zero, as the classic dialog wants them
    char m_szFileName[MAX_PATH];
    CString m_strPathName; // the choice
    BOOL m_bPathNameWhole;
};
