// The parsed command line: the automation switch, and "/Log" or "/Log=<file>" for a log of the run, as the
// installers deployment teams know write one when asked. Every other argument is ignored.
#pragma once

#include "CString.h"

class CCommandLineInfo
{
public:
    CCommandLineInfo() : m_bRunAutomated(FALSE), m_bLog(FALSE) {}
    virtual ~CCommandLineInfo() {}

    // Called for each argument after the program's name. bFlag tells that the argument began with "/" or
    // "-", which has been dropped from pszParam.
    virtual void ParseParam(const char* pszParam, BOOL bFlag, BOOL bLast);

    BOOL m_bRunAutomated;
    BOOL m_bLog;
    CString m_strLogFile; // empty: <temporary folder>\<application title>.log
};

// Feeds argv[1..argc-1] to rCmdInfo.ParseParam; CWinApp::ParseCommandLine passes the process's own.
void AfxParseCommandLine(int argc, char* const* argv, CCommandLineInfo& rCmdInfo);
