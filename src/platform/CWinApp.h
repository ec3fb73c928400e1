// The application object. Exactly one exists, constructed statically; the entry point finds it through
// AfxGetApp, calls InitInstance, and ends the process with ExitInstance's result.
#pragma once

#include "CCmdTarget.h"
#include "CommandLineInfo.h"
#include "CString.h"

class CWnd;

// The standard Help command.
#define ID_HELP 0xE146

class CWinApp : public CCmdTarget
{
public:
    // With no name, the application title is the executable's file name without its extension.
    explicit CWinApp(const char* pszAppName = NULL);
    ~CWinApp() override;

    // Returning FALSE ends the application; this framework has no message loop of its own to enter.
    virtual BOOL InitInstance() { return FALSE; }
    // The process's exit status.
    virtual int ExitInstance() { return m_nExitCode; }

    void ParseCommandLine(CCommandLineInfo& rCmdInfo);
    void OnHelp();

    CString m_strAppName;  // the application title, caption of every message box
    HINSTANCE m_hInstance; // the executable
    CWnd* m_pMainWnd;      // owner of message boxes and of dialogs built without a parent
    int m_nExitCode;       // what ExitInstance returns, set by whoever decides how the run ended
};

CWinApp* AfxGetApp();

// Control containers host ActiveX controls; no dialog here has one, so this only keeps the shape.
inline void AfxEnableControlContainer() {}

// Shows a modal box captioned with the application title, owned by the main window, and returns the
// button pressed. An MB_OK or MB_OKCANCEL box without an icon gets the exclamation icon.
int AfxMessageBox(const char* pszText, UINT nType = MB_OK, UINT nIDHelp = 0);

// FALSE where nobody can see or answer a window: the process runs in session 0 (a service, or the system
// account, as deployment tools run programs), or its window station is not the visible one. A box shown
// there would wait for ever. TRUE when the system cannot tell.
BOOL AfxHasVisibleDesktop();

// Runs the application object; called by the process's entry point.
int AfxWinMain(HINSTANCE hInstance);
