// The parsed command line. Only the automation switch is recognised; every other argument is ignored.
#pragma once

#include <windows.h>

class CCommandLineInfo
{
public:
    CCommandLineInfo() : m_bRunAutomated(FALSE) {}
    virtual ~CCommandLineInfo() {}

    // Called for each argument after the program's name. bFlag tells that the argument began with "/" or
    // "-", which has been dropped from pszParam.
    virtual void ParseParam(const char* pszParam, BOOL bFlag, BOOL bLast);

    BOOL m_bRunAutomated;
};

// Feeds argv[1..argc-1] to rCmdInfo.ParseParam; CWinApp::ParseCommandLine passes the process's own.
void AfxParseCommandLine(int argc, char* const* argv, CCommandLineInfo& rCmdInfo);
