// The unattended switch: "/" or "-" followed by "Automation" in any letter case, anywhere.
#include "platform/CommandLineInfo.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

namespace
{
BOOL RunAutomated(std::initializer_list<const char*> arguments)
{
    std::vector<char*> argv = {(char*)"PricelistSetup.exe"};
    for (const char* argument : arguments)
        argv.push_back((char*)argument);
    CCommandLineInfo info;
    AfxParseCommandLine((int)argv.size(), argv.data(), info);
    return info.m_bRunAutomated;
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
