// What the dialog does as it starts: the country check, the unattended switch, which buttons show.
#include "Driver.h"
#include "Packages.h"

#include <gtest/gtest.h>

using namespace qbtest;

namespace
{
const char kRefusal[] = "This pricelist aims this country only : ";

class Startup : public ::testing::Test
{
protected:
    void SetUp() override { ForgetExampleHost(); }
    void TearDown() override { ForgetExampleHost(); }
    void SetHost(const std::optional<std::string>& target, const std::string& country)
    {
        DeleteRegTree(HKEY_CURRENT_USER, kHostRootKey);
        if (target)
            SetRegString(HKEY_CURRENT_USER, kSettingsKey, "CheminBaseTarif", *target);
        SetRegString(HKEY_LOCAL_MACHINE, kCountryKey, "Pays", country);
    }

    std::string Package(const std::string& country, std::optional<int> sharedFolder = 0)
    {
        PackageContents contents = ExampleContents(payload);
        contents.country = country;
        contents.sharedFolder = sharedFolder;
        return MakePackage(dir.path(), contents, "PricelistSetup" + std::to_string(++packages_) + ".exe");
    }

    // Expects the refusal for code, and that nothing was installed.
    void ExpectRefused(InstallerRun& run, const std::string& code)
    {
        MessageBoxView refusal = run.WaitForMessageBox();
        ASSERT_TRUE(refusal);
        EXPECT_EQ(kRefusal + code, refusal.text);
        EXPECT_EQ(std::vector<int>{IDOK}, refusal.buttons);
        EXPECT_FALSE(run.HasWindow("Marlowen")) << "the dialog never shows";
        refusal.Press(IDOK);
        ASSERT_TRUE(run.WaitForExit());
        EXPECT_EQ(2u, run.ExitCode());
        EXPECT_FALSE(FileExists(target));
        Bytes date;
        EXPECT_FALSE(ReadRegValue(HKEY_LOCAL_MACHINE, kCountryKey, "date_creation_tarif", &date));
    }

    ScopedTempDir dir{"startup"};
    const std::string target = dir / "Tarif.mdb";
    const Bytes payload = JetDatabase(4096, 5);

private:
    int packages_ = 0;
};
} // namespace

TEST_F(Startup, APackageForAnotherCountryIsRefusedAttendedOrNot)
{
    SetHost(target, "FR");
    std::string package = Package("BE");
    {
        InstallerRun run(package);
        ExpectRefused(run, "BE");
    }
    {
        InstallerRun run(package, "/Automation");
        ExpectRefused(run, "BE");
    }
}

TEST_F(Startup, CountryCodesCompareWithoutLetterCaseButWithSpaces)
{
    SetHost(target, "FR");
    {
        // The refusal names the package's code upper-cased.
        InstallerRun run(Package("be"));
        ExpectRefused(run, "BE");
    }
    SetHost(target, "BE ");
    {
        InstallerRun run(Package("BE"));
        ExpectRefused(run, "BE");
    }
    SetHost(target, "be");
    {
        EXPECT_EQ(0u, RunToEnd(Package("BE"), "/Automation"));
        EXPECT_EQ(payload, ReadFileBytes(target));
    }
}

TEST_F(Startup, SharedFolderPackagesMakeNoCountryCheck)
{
    SetHost(target, "FR");
    InstallerRun run(Package("BE", 1));
    HWND dialog = run.Dialog();
    ASSERT_NE(nullptr, dialog);
    std::vector<Control> controls = Children(dialog);
    EXPECT_NE(std::string::npos,
              FindControl(controls, 1002)->text.find("\\HalveroGroup\\PriceList\\CAT-CheminBaseTarif\\"));
    ASSERT_TRUE(run.LeaveAnsweringYes(dialog));
    EXPECT_EQ(1u, run.ExitCode());
}

TEST_F(Startup, MissingCountrySettingsMakeNoCheck)
{
    // Host without "Pays", then a package without a code: both install.
    SetRegString(HKEY_CURRENT_USER, kSettingsKey, "CheminBaseTarif", target);
    {
        EXPECT_EQ(0u, RunToEnd(Package("BE"), "/Automation"));
    }
    SetHost(target, "FR");
    {
        EXPECT_EQ(0u, RunToEnd(Package(""), "/Automation"));
    }
}

TEST_F(Startup, AKnownPathShowsInstallAndAnUnknownOneShowsBrowse)
{
    SetHost(target, "BE");
    std::string package = Package("BE");
    {
        InstallerRun run(package);
        HWND dialog = run.Dialog();
        ASSERT_NE(nullptr, dialog);
        std::vector<Control> controls = Children(dialog);
        EXPECT_TRUE(FindControl(controls, IDOK)->visible);
        EXPECT_TRUE(FindControl(controls, IDCANCEL)->visible);
        EXPECT_FALSE(FindControl(controls, 1001)->visible);
        EXPECT_EQ(target, FindControl(controls, 1002)->text);
        run.SysCommand(dialog, SC_CLOSE);
        MessageBoxView question = run.WaitForMessageBox();
        ASSERT_TRUE(question);
        question.Press(IDYES);
        ASSERT_TRUE(run.WaitForExit());
    }
    SetHost(std::nullopt, "BE");
    {
        InstallerRun run(package);
        HWND dialog = run.Dialog();
        ASSERT_NE(nullptr, dialog);
        std::vector<Control> controls = Children(dialog);
        EXPECT_FALSE(FindControl(controls, IDOK)->visible);
        EXPECT_TRUE(FindControl(controls, IDCANCEL)->visible);
        EXPECT_TRUE(FindControl(controls, 1001)->visible);
        EXPECT_EQ("", FindControl(controls, 1002)->text);

        // Enter without a path does nothing: no message, the dialog stays.
        run.Key(dialog, VK_RETURN);
        Sleep(300);
        EXPECT_FALSE(run.HasWindow(run.Title()));
        EXPECT_TRUE(IsWindowVisible(dialog));
        ASSERT_TRUE(run.LeaveAnsweringYes(dialog));
    }
}

TEST_F(Startup, OnlyTheWordAutomationAfterOneLeaderRunsUnattended)
{
    SetHost(target, "BE");
    std::string package = Package("BE");
    for (const char* arguments : {"C:\\file.txt /Automation", "-automation /other"})
    {
        DeleteFileA(target.c_str());
        InstallerRun run(package, arguments);
        ASSERT_TRUE(run.WaitForExitShowingNothing()) << arguments;
        EXPECT_EQ(0u, run.ExitCode()) << arguments;
        EXPECT_TRUE(FileExists(target)) << arguments;
    }
    for (const char* arguments : {"Automation", "//Automation", "/Automation2"})
    {
        InstallerRun run(package, arguments);
        HWND dialog = run.Dialog();
        ASSERT_NE(nullptr, dialog) << arguments << " waits for the user";
        ASSERT_TRUE(run.LeaveAnsweringYes(dialog));
    }
}
