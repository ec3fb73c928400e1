#include "CFileDialog.h"
#include "CWinApp.h"
#include "LibraryFunction.h"

#include <shobjidl.h>

namespace
{
const CLSID kClsidFileSaveDialog = {
    0xC0B4E2F3, 0xBA21, 0x4773, {0x8D, 0xBA, 0x33, 0x5E, 0xC9, 0x46, 0xEB, 0x8B}};
const CLSID kClsidFileOpenDialog = {
    0xDC1C5A9C, 0xE88A, 0x4DDE, {0xA5, 0xA1, 0x60, 0xF8, 0x2A, 0x20, 0xAE, 0xF7}};
const IID kIidFileDialog = {0x42F85136, 0xDB7E, 0x439C, {0x85, 0xF1, 0xE4, 0x07, 0x5D, 0x13, 0x5F, 0xC8}};
const IID kIidShellItem = {0x43826D1E, 0xE718, 0x42EE, {0xBC, 0x55, 0xA1, 0xE2, 0x61, 0xC3, 0x7B, 0xFE}};

typedef HRESULT(WINAPI* PFNCOINITIALIZEEX)(void*, DWORD);
typedef void(WINAPI* PFNCOUNINITIALIZE)();
typedef HRESULT(WINAPI* PFNCOCREATEINSTANCE)(REFCLSID, IUnknown*, DWORD, REFIID, void**);
typedef void(WINAPI* PFNCOTASKMEMFREE)(void*);
typedef HRESULT(WINAPI* PFNSHCREATEITEMFROMPARSINGNAME)(const wchar_t*, IBindCtx*, REFIID, void**);
typedef BOOL(WINAPI* PFNGETFILENAMEW)(OPENFILENAMEW*);
} // namespace

CFileDialog::CFileDialog(BOOL bOpenFileDialog, const char* lpszDefExt, const char* lpszFileName,
                         DWORD dwFlags, const char* lpszFilter, CWnd* pParentWnd, DWORD dwSize,
                         BOOL bVistaStyle)
    : m_ofn(), m_bOpenFileDialog(bOpenFileDialog), m_bVistaStyle(bVistaStyle), m_pParentWnd(pParentWnd),
      m_szFileName(), m_bPathNameWhole(TRUE)
{
    if (lpszDefExt != NULL)
        m_strDefExt = lpszDefExt[0] == '.' ? lpszDefExt + 1 : lpszDefExt;
    if (lpszFileName != NULL)
        lstrcpynA(m_szFileName, lpszFileName, MAX_PATH);
    if (lpszFilter != NULL)
    {
        m_strFilter = lpszFilter;
        char* pch = m_strFilter.GetBuffer(0);
        for (int i = 0; i < m_strFilter.GetLength(); i++)
            if (pch[i] == '|')
                pch[i] = '\0';
    }

    m_ofn.lStructSize = dwSize != 0 ? dwSize : sizeof m_ofn;
    m_ofn.Flags = dwFlags | OFN_EXPLORER | OFN_ENABLESIZING;
    m_ofn.lpstrFile = m_szFileName;
    m_ofn.nMaxFile = MAX_PATH;
    m_ofn.lpstrFilter = m_strFilter.IsEmpty() ? NULL : (const char*)m_strFilter;
    m_ofn.nFilterIndex = 1;
    m_ofn.lpstrDefExt = m_strDefExt.IsEmpty() ? NULL : (const char*)m_strDefExt;
}

INT_PTR CFileDialog::DoModal()
{
    HWND hWndOwner = NULL;
    if (m_pParentWnd != NULL)
        hWndOwner = m_pParentWnd->m_hWnd;
    else if (CWinApp* pApp = AfxGetApp(); pApp && pApp->m_pMainWnd)
        hWndOwner = pApp->m_pMainWnd->m_hWnd;

    INT_PTR nResult = IDCANCEL;
    if (m_bVistaStyle && RunItemDialog(hWndOwner, &nResult))
        return nResult;
    return RunClassicDialog(hWndOwner);
}

BOOL CFileDialog::RunItemDialog(HWND hWndOwner, INT_PTR* pnResult)
{
    auto pfnCoInitializeEx = AfxLibraryFunction<PFNCOINITIALIZEEX>("ole32.dll", "CoInitializeEx");
    auto pfnCoUninitialize = AfxLibraryFunction<PFNCOUNINITIALIZE>("ole32.dll", "CoUninitialize");
    auto pfnCoCreateInstance = AfxLibraryFunction<PFNCOCREATEINSTANCE>("ole32.dll", "CoCreateInstance");
    auto pfnCoTaskMemFree = AfxLibraryFunction<PFNCOTASKMEMFREE>("ole32.dll", "CoTaskMemFree");
    auto pfnSHCreateItemFromParsingName =
        AfxLibraryFunction<PFNSHCREATEITEMFROMPARSINGNAME>("shell32.dll", "SHCreateItemFromParsingName");
    if (!pfnCoInitializeEx || !pfnCoUninitialize || !pfnCoCreateInstance || !pfnCoTaskMemFree ||
        !pfnSHCreateItemFromParsingName)
        return FALSE;

    HRESULT hrInit = pfnCoInitializeEx(NULL, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    IFileDialog* pDialog = NULL;
    if (FAILED(pfnCoCreateInstance(m_bOpenFileDialog ? kClsidFileOpenDialog : kClsidFileSaveDialog, NULL,
                                   CLSCTX_INPROC_SERVER, kIidFileDialog, (void**)&pDialog)))
    {
        if (SUCCEEDED(hrInit))
            pfnCoUninitialize();
        return FALSE;
    }

    // The filter's description and pattern pairs, pointing into one converted copy of the filter.
    CWideText wszFilter(m_strFilter, m_strFilter.GetLength());
    COMDLG_FILTERSPEC aSpecs[16];
    UINT nSpecs = 0;
    for (const wchar_t* p = wszFilter; *p != L'\0' && nSpecs < 16;)
    {
        aSpecs[nSpecs].pszName = p;
        p += lstrlenW(p) + 1;
        aSpecs[nSpecs].pszSpec = p;
        if (*p != L'\0')
            p += lstrlenW(p) + 1;
        ++nSpecs;
    }
    if (nSpecs != 0)
    {
        pDialog->SetFileTypes(nSpecs, aSpecs);
        pDialog->SetFileTypeIndex(m_ofn.nFilterIndex);
    }
    if (!m_strDefExt.IsEmpty())
        pDialog->SetDefaultExtension(CWideText(m_strDefExt));
    pDialog->SetFileName(CWideText(m_szFileName));

    if (m_ofn.lpstrInitialDir != NULL && m_ofn.lpstrInitialDir[0] != '\0')
    {
        IShellItem* pFolder = NULL;
        if (SUCCEEDED(pfnSHCreateItemFromParsingName(CWideText(m_ofn.lpstrInitialDir), NULL, kIidShellItem,
                                                     (void**)&pFolder)))
        {
            pDialog->SetFolder(pFolder);
            pFolder->Release();
        }
    }

    FILEOPENDIALOGOPTIONS dwOptions = 0;
    pDialog->GetOptions(&dwOptions);
    dwOptions |= FOS_FORCEFILESYSTEM;
    if (m_ofn.Flags & OFN_OVERWRITEPROMPT)
        dwOptions |= FOS_OVERWRITEPROMPT;
    else
        dwOptions &= ~(FILEOPENDIALOGOPTIONS)FOS_OVERWRITEPROMPT;
    pDialog->SetOptions(dwOptions);

    *pnResult = IDCANCEL;
    IShellItem* pResult = NULL;
    if (SUCCEEDED(pDialog->Show(hWndOwner)) && SUCCEEDED(pDialog->GetResult(&pResult)))
    {
        wchar_t* pwszPath = NULL;
        if (SUCCEEDED(pResult->GetDisplayName(SIGDN_FILESYSPATH, &pwszPath)))
        {
            m_bPathNameWhole = m_strPathName.AssignWide(pwszPath, -1);
            pfnCoTaskMemFree(pwszPath);
            *pnResult = IDOK;
        }
        pResult->Release();
    }

    pDialog->Release();
    if (SUCCEEDED(hrInit))
        pfnCoUninitialize();
    return TRUE;
}

INT_PTR CFileDialog::RunClassicDialog(HWND hWndOwner)
{
    // The wide dialog: the 8-bit one would hand back a character that the code page lacks as a look-alike.
    auto pfnGetFileName = AfxLibraryFunction<PFNGETFILENAMEW>(
        "comdlg32.dll", m_bOpenFileDialog ? "GetOpenFileNameW" : "GetSaveFileNameW");
    if (pfnGetFileName == NULL)
        return IDCANCEL;

    CWideText wszFilter(m_strFilter, m_strFilter.GetLength());
    CWideText wszDefExt(m_strDefExt);
    CWideText wszInitialDir(m_ofn.lpstrInitialDir != NULL ? m_ofn.lpstrInitialDir : "");
    wchar_t wszFile[MAX_PATH];
    lstrcpynW(wszFile, CWideText(m_szFileName), MAX_PATH);
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = hWndOwner;
    ofn.lpstrFilter = m_ofn.lpstrFilter != NULL ? (const wchar_t*)wszFilter : NULL;
    ofn.nFilterIndex = m_ofn.nFilterIndex;
    ofn.lpstrFile = wszFile;
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrInitialDir = m_ofn.lpstrInitialDir != NULL ? (const wchar_t*)wszInitialDir : NULL;
    ofn.lpstrDefExt = m_ofn.lpstrDefExt != NULL ? (const wchar_t*)wszDefExt : NULL;
    ofn.Flags = m_ofn.Flags;
    if (!pfnGetFileName(&ofn))
        return IDCANCEL;
    m_bPathNameWhole = m_strPathName.AssignWide(wszFile, -1);
    return IDOK;
}
