#include "CommandLineInfo.h"

namespace
{
char ToLowerAscii(char ch)
{
    return (ch >= 'A' && ch <= 'Z') ? (char)(ch - 'A' + 'a') : ch;
}

// Switch words are ASCII; fold only ASCII letters so that no locale can make other words match.
bool EqualsIgnoringCase(const char* psz1, const char* psz2)
{
    for (; *psz1 != '\0' && *psz2 != '\0'; ++psz1, ++psz2)
        if (ToLowerAscii(*psz1) != ToLowerAscii(*psz2))
            return false;
    return *psz1 == *psz2;
}
} // namespace

void CCommandLineInfo::ParseParam(const char* pszParam, BOOL bFlag, BOOL /*bLast*/)
{
    if (bFlag && EqualsIgnoringCase(pszParam, "Automation"))
        m_bRunAutomated = TRUE;
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
