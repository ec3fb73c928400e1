#include "app/QuillbrookApp.h"
#include "dialog/Outcome.h"
#include "dialog/QuillbrookDlg.h"
#include "platform/MappedRead.h"
#include "platform/RedirectionGuard.h"
#include "platform/RunLog.h"

#include <string.h>

// clang-format off
BEGIN_MESSAGE_MAP(CQuillbrookApp, CWinApp)
    ON_COMMAND(ID_HELP, &CWinApp::OnHelp)
END_MESSAGE_MAP()
// clang-format on

namespace
{
// The executable's file version, as its version resource gives it.
CString FileVersion()
{
    HRSRC hInfo =
        ::FindResourceA(NULL, MAKEINTRESOURCEA(VS_VERSION_INFO), MAKEINTRESOURCEA(16 /* RT_VERSION */));
    const BYTE* pb = hInfo ? (const BYTE*)::LockResource(::LoadResource(NULL, hInfo)) : NULL;
    const DWORD cb = hInfo ? ::SizeofResource(NULL, hInfo) : 0;
    // Read from the mapped executable, which may fail to page in (MappedRead.h).
    VS_FIXEDFILEINFO fixed = {};
    const BOOL bRead = AfxReadMapped(pb, cb, [&] {
        for (DWORD i = 0; pb != NULL && i + sizeof fixed <= cb && fixed.dwSignature != VS_FFI_SIGNATURE;
             i += 4)
            memcpy(&fixed, pb + i, sizeof fixed);
    });
    if (!bRead || fixed.dwSignature != VS_FFI_SIGNATURE)
        return "unknown";
    char sz[64];
    wsprintfA(sz, "%u.%u.%u.%u", HIWORD(fixed.dwFileVersionMS), LOWORD(fixed.dwFileVersionMS),
              HIWORD(fixed.dwFileVersionLS), LOWORD(fixed.dwFileVersionLS));
    return sz;
}

void StartLog(const CString& strFile, const CString& strTitle, BOOL bUnattended)
{
    // The default log is in the temporary folder, which for the system account is one every user may
    // write: there a file of that name is taken only when it is the account's own (RunLog.h).
    CString strPath = strFile;
    if (strPath.IsEmpty())
    {
        char szTemp[MAX_PATH + 1] = "";
        ::GetTempPathA(sizeof szTemp, szTemp);
        strPath = CString(szTemp) + strTitle + ".log";
    }
    if (!AfxOpenRunLog(strPath, strFile.IsEmpty()))
        return;
    char szUser[257] = "";
    DWORD cchUser = sizeof szUser;
    ::GetUserNameA(szUser, &cchUser);
    AfxLog("==== %s version %s, run by %s, %s", (const char*)strTitle, (const char*)FileVersion(), szUser,
           bUnattended ? "unattended" : "attended");
    AfxLog("command line: %s", ::GetCommandLineA());
    if (!AfxRunLogMovedTo().IsEmpty())
        AfxLog("log: %s is not this account's own file; this run's log is %s", (const char*)strPath,
               (const char*)AfxRunLogMovedTo());
    AfxLog("RedirectionGuard: %s", AfxRedirectionGuardText());
}
} // namespace

CQuillbrookApp::CQuillbrookApp() {}

CQuillbrookApp theApp;

BOOL CQuillbrookApp::InitInstance()
{
    AfxEnableControlContainer();

    // The command line first, so that a log asked for sees where the target path comes from.
    CCommandLineInfo cmdInfo;
    ParseCommandLine(cmdInfo);
    if (cmdInfo.m_bLog)
        StartLog(cmdInfo.m_strLogFile, m_strAppName, cmdInfo.m_bRunAutomated);

    // The dialog resolves its target path as it is built.
    CQuillbrookDlg dlg;
    m_pMainWnd = &dlg;
    dlg.m_bUnattended = cmdInfo.m_bRunAutomated;

    // Until the dialog decides otherwise, nothing has been installed.
    SetOutcome(OUTCOME_LEFT_WITHOUT_INSTALLING);
    dlg.DoModal();
    AfxLog("outcome: status %d: %s", m_nExitCode, OutcomeMeaning((InstallOutcome)m_nExitCode));

    // Returning FALSE ends the application; the dialog's outcome is the exit status.
    return FALSE;
}
