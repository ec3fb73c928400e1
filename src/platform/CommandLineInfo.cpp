#include "CommandLineInfo.h"

namespace
{
char ToLowerAscii(char ch)
{
    return (ch >= 'A' && ch <= 'Z') ? (char)(ch - 'A' + 'a') : ch;
}

// Switch words are ASCII; fold only ASCII letters so that no locale can make other words match. The
// argument, past the word, when it starts with it; NULL otherwise.
const char* AfterWord(const char* pszParam, const char* pszWord)
{
    for (; *pszWord != '\0'; ++pszParam, ++pszWord)
        if (ToLowerAscii(*pszParam) != ToLowerAscii(*pszWord))
            return NULL;
    return pszParam;
}
} // namespace

void CCommandLineInfo::ParseParam(const char* pszParam, BOOL bFlag, BOOL /*bLast*/)
{
    const char* pszRest;
    if (bFlag && (pszRest = AfterWord(pszParam, "Automation")) != NULL && *pszRest == '\0')
        m_bRunAutomated = TRUE;
    // "Log" alone, or followed by "=" and the file.
    if (bFlag && (pszRest = AfterWord(pszParam, "Log")) != NULL && (*pszRest == '\0' || *pszRest == '='))
    {
        m_bLog = TRUE;
        m_strLogFile = *pszRest == '=' ? pszRest + 1 : "";
    }
}

void AfxParseCommandLine(int argc, char* const* argv, CCommandLineInfo& rCmdInfo)
{
    for (int i = 1; i < argc; i++)
    {
        const char* pszParam = argv[i];
        BOOL bFlag = pszParam[0] == '/' || pszParam[0] == '-';
        if (bFlag)
            ++pszParam;
        rCmdInfo.ParseParam(pszParam, bFlag, i == argc - 1);
    }
}
