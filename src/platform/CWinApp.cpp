#include "CWinApp.h"
#include "CWnd.h"
#include "SystemCalls.h"

#include <stdlib.h>

namespace
{
CWinApp* g_pApp;

CString ExeTitle(HINSTANCE hInstance)
{
    CString strPath;
    DWORD cch = GetModuleFileNameA(hInstance, strPath.GetBufferSetLength(MAX_PATH), MAX_PATH + 1);
    strPath.ReleaseBuffer(cch <= MAX_PATH ? (int)cch : MAX_PATH);

    CString strName = strPath.Mid(strPath.ReverseFind('\\') + 1);
    int nDot = strName.ReverseFind('.');
    return nDot >= 0 ? strName.Left(nDot) : strName;
}
} // namespace

CWinApp::CWinApp(const char* pszAppName)
    : m_strAppName(pszAppName), m_hInstance(NULL), m_pMainWnd(NULL), m_nExitCode(0)
{
    g_pApp = this;
}

CWinApp::~CWinApp()
{
    if (g_pApp == this)
        g_pApp = NULL;
}

void CWinApp::ParseCommandLine(CCommandLineInfo& rCmdInfo)
{
    AfxParseCommandLine(__argc, __argv, rCmdInfo);
}

void CWinApp::OnHelp()
{
    // The executable ships no help file, so there is nothing to open.
}

CWinApp* AfxGetApp()
{
    return g_pApp;
}

int AfxWinMain(HINSTANCE hInstance)
{
    CWinApp* pApp = AfxGetApp();
    pApp->m_hInstance = hInstance;
    if (pApp->m_strAppName.IsEmpty())
        pApp->m_strAppName = ExeTitle(hInstance);

    pApp->InitInstance();
    return pApp->ExitInstance();
}

BOOL AfxHasVisibleDesktop()
{
    // Session 0 is the services' own: since Windows Vista nobody logs on there, whatever window station
    // a service that may interact with the desktop is given.
    DWORD dwSession = 0;
    if (sys.ProcessIdToSessionId(::GetCurrentProcessId(), &dwSession) && dwSession == 0)
        return FALSE;
    HWINSTA hStation = sys.GetProcessWindowStation();
    USEROBJECTFLAGS flags = {};
    DWORD cbNeeded = 0;
    if (hStation == NULL ||
        !sys.GetUserObjectInformationA(hStation, UOI_FLAGS, &flags, sizeof flags, &cbNeeded))
        return TRUE;
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

int AfxMessageBox(const char* pszText, UINT nType, UINT /*nIDHelp*/)
{
    if ((nType & MB_ICONMASK) == 0 &&
        ((nType & MB_TYPEMASK) == MB_OK || (nType & MB_TYPEMASK) == MB_OKCANCEL))
        nType |= MB_ICONEXCLAMATION;

    CWinApp* pApp = AfxGetApp();
    HWND hWndOwner = (pApp && pApp->m_pMainWnd) ? pApp->m_pMainWnd->GetSafeHwnd() : NULL;
    const char* pszCaption = pApp ? (const char*)pApp->m_strAppName : NULL;
    return MessageBoxA(hWndOwner, pszText, pszCaption, nType);
}
