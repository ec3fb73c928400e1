// Runs the installer's dialog inside the test program, which carries the executable's own resources,
// so that a test can look at what another process cannot (the window menu) and provoke failures
// through the system-call table. The package's settings come from a stamped package
// (ScopedPackageResources).
#pragma once

#include <functional>
#include <string>

#include "dialog/QuillbrookDlg.h"

namespace qbtest
{
// The dialog with its protected parts in reach.
class TestDlg : public CQuillbrookDlg
{
public:
    using CQuillbrookDlg::m_bUseSharedFolder;
    using CQuillbrookDlg::m_strTargetPath;
};

// The application object the framework expects: owner of message boxes, keeper of the exit status.
CWinApp& TestApp();

// Runs dlg modally on this thread; once it shows, script runs on a second thread with its window. If
// the dialog is still up when the script returns, it is ended. An unattended dialog just runs. Returns
// the exit status the run set.
int RunDialog(CQuillbrookDlg& dlg, const std::function<void(HWND)>& script);

// A visible top-level dialog of this process captioned so, or nullptr after timeoutMs.
HWND FindOwnWindow(const std::string& caption, DWORD timeoutMs = 10000);
// The longest static text of a message box.
std::string MessageText(HWND box);
} // namespace qbtest
