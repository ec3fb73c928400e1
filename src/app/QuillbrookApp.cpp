#include "app/QuillbrookApp.h"
#include "dialog/Outcome.h"
#include "dialog/QuillbrookDlg.h"

// clang-format off
BEGIN_MESSAGE_MAP(CQuillbrookApp, CWinApp)
    ON_COMMAND(ID_HELP, &CWinApp::OnHelp)
END_MESSAGE_MAP()
// clang-format on

CQuillbrookApp::CQuillbrookApp() {}

CQuillbrookApp theApp;

BOOL CQuillbrookApp::InitInstance()
{
    AfxEnableControlContainer();

    // The dialog resolves its target path as it is built, before the command line is looked at.
    CQuillbrookDlg dlg;
    m_pMainWnd = &dlg;

    CCommandLineInfo cmdInfo;
    ParseCommandLine(cmdInfo);
    dlg.m_bUnattended = cmdInfo.m_bRunAutomated;

    // Until the dialog decides otherwise, nothing has been installed.
    SetOutcome(OUTCOME_LEFT_WITHOUT_INSTALLING);
    dlg.DoModal();

    // Returning FALSE ends the application; the dialog's outcome is the exit status.
    return FALSE;
}
