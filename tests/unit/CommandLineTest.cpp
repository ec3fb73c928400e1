// The unattended switch: "/" or "-" followed by "Automation" in any letter case, anywhere; and the log's,
// "Log" alone or with "=" and its file.
#include "platform/CommandLineInfo.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

namespace
{
CCommandLineInfo Parsed(std::initializer_list<const char*> arguments)
{
    std::vector<char*> argv = {(char*)"PricelistSetup.exe"};
    for (const char* argument : arguments)
        argv.push_back((char*)argument);
    CCommandLineInfo info;
    AfxParseCommandLine((int)argv.size(), argv.data(), info);
    return info;
}

BOOL RunAutomated(std::initializer_list<const char*> arguments)
{
    return Parsed(arguments).m_bRunAutomated;
}
} // namespace

TEST(UnattendedSwitch, IsRecognisedWithEitherLeaderInAnyCase)
{
    EXPECT_TRUE(RunAutomated({"/Automation"}));
    EXPECT_TRUE(RunAutomated({"-automation"}));
    EXPECT_TRUE(RunAutomated({"/AUTOMATION"}));
    EXPECT_TRUE(RunAutomated({"-aUtOmAtIoN"}));
}

TEST(UnattendedSwitch, CountsAnywhereAmongOtherArguments)
{
    EXPECT_TRUE(RunAutomated({"C:\\some\\file.txt", "/Automation"}));
    EXPECT_TRUE(RunAutomated({"/Automation", "/other", "-x"}));
    EXPECT_TRUE(RunAutomated({"/Embedding", "-Automation", "name"}));
}

TEST(UnattendedSwitch, OtherSpellingsDoNotCount)
{
    EXPECT_FALSE(RunAutomated({}));
    EXPECT_FALSE(RunAutomated({"Automation"}));
    EXPECT_FALSE(RunAutomated({"//Automation"}));
    EXPECT_FALSE(RunAutomated({"/Automation2"}));
    EXPECT_FALSE(RunAutomated({"/Automatio"}));
    EXPECT_FALSE(RunAutomated({"/ Automation"}));
    EXPECT_FALSE(RunAutomated({"-", "/", ""}));
}

TEST(LogSwitch, NamesItsFileAfterAnEqualsSignOrNoneForTheDefault)
{
    const struct
    {
        std::initializer_list<const char*> arguments;
        bool log;
        const char* file;
    } cases[] = {
        {{"/Log"}, true, ""},
        {{"-LOG"}, true, ""},
        {{"/Automation", "/log=C:\\Deploy logs\\pricelist.log"}, true, "C:\\Deploy logs\\pricelist.log"},
        {{"-Log=a=b.txt"}, true, "a=b.txt"},
        {{"/Log="}, true, ""},
        {{"Log"}, false, ""},
        {{"/Logs"}, false, ""},
        {{"/Lo"}, false, ""},
        {{"/Log-file.txt"}, false, ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(*c.arguments.begin());
        const CCommandLineInfo info = Parsed(c.arguments);
        EXPECT_EQ(c.log, info.m_bLog != FALSE);
        EXPECT_STREQ(c.file, info.m_strLogFile);
    }
}
