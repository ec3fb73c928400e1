// A target on a small volume that fills up during the write: the previous database must survive byte
// for byte, with no temporary file left, whether someone is there to be told or not, and whether it is
// replaced or, having a second name, written in place (the volume, as Wine's, Samba's and many NAS
// devices' do, reserves nothing when a file is extended, so the disk fills in the middle of the write),
// from a stored database or a compressed one.
#include "Driver.h"
#include "Packages.h"
#include "platform/CAtomicFile.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace qbtest;

namespace
{
class FullDisk : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!FileExists("S:\\"))
            GTEST_SKIP() << "No small volume S: to fill (" << VolumeRefusal("small-volume")
                         << "). The same failure is provoked through the system-call table in "
                            "dialog_tests (InstallFaults.AFullDisk*) and unit_tests (AtomicFile.AFullDisk*).";
        DeleteRegTree(HKEY_CURRENT_USER, kHostRootKey);
        RemoveTree("S:\\Prices");
        CreateDirectoryA("S:\\Prices", nullptr);
        WriteFileBytes(target, oldBytes);
        SetRegString(HKEY_CURRENT_USER, kSettingsKey, "CheminBaseTarif", target);
        package = MakePackage(dir.path(), ExampleContents(JetDatabase(704512, 8)));
    }
    void TearDown() override
    {
        DeleteRegTree(HKEY_CURRENT_USER, kHostRootKey);
        RemoveTree("S:\\Prices");
    }

    // The second name that makes the database be written in place.
    void GiveASecondName() { ASSERT_TRUE(CreateHardLinkA(otherName.c_str(), target.c_str(), nullptr)); }

    void ExpectOldFileKept()
    {
        EXPECT_EQ(oldBytes, ReadFileBytes(target));
        std::vector<std::string> names = ListFolder("S:\\Prices");
        if (FileExists(otherName))
        {
            EXPECT_EQ(oldBytes, ReadFileBytes(otherName));
            names.erase(std::find(names.begin(), names.end(), "Other.mdb"));
        }
        EXPECT_EQ(std::vector<std::string>{"Tarif.mdb"}, names);
    }

    ScopedTempDir dir{"fulldisk"};
    const std::string target = "S:\\Prices\\Tarif.mdb";
    const std::string otherName = "S:\\Prices\\Other.mdb";
    const Bytes oldBytes = JetDatabase(100000, 2);
    std::string package;
};
} // namespace

TEST_F(FullDisk, AttendedTheErrorIsShownAndTheDialogStays)
{
    for (bool inPlace : {false, true})
    {
        SCOPED_TRACE(inPlace ? "written in place" : "replaced");
        if (inPlace)
            GiveASecondName();
        InstallerRun run(package);
        HWND dialog = run.Dialog();
        ASSERT_NE(nullptr, dialog);
        run.Click(dialog, IDOK);
        MessageBoxView error = run.WaitForMessageBox();
        ASSERT_TRUE(error);
        const std::string start = "Couldn't write file " + target + "\n(";
        const std::string end = ")\nThe file has been left as it was.";
        EXPECT_EQ(start, error.text.substr(0, start.size())) << error.text;
        EXPECT_EQ(end, error.text.substr(error.text.size() - std::min(end.size(), error.text.size())));
        EXPECT_EQ(std::vector<int>{IDOK}, error.buttons);
        EXPECT_NE(nullptr, error.icon);
        error.Press(IDOK);
        ASSERT_TRUE(WaitUntil([&] { return !IsWindow(error.hwnd); }));

        Sleep(200);
        EXPECT_TRUE(run.Running());
        EXPECT_TRUE(IsWindowVisible(GetDlgItem(dialog, IDOK)));
        ExpectOldFileKept();

        ASSERT_TRUE(run.LeaveAnsweringYes(dialog));
        EXPECT_EQ(1u, run.ExitCode());
    }
}

TEST_F(FullDisk, UnattendedIsSilentWithStatus5)
{
    // And the same database compressed, which fills the disk as it is decoded.
    PackageContents compressed = ExampleContents(JetDatabase(704512, 8));
    compressed.compress = true;
    const std::string packages[] = {package, MakePackage(dir.path(), compressed, "Compressed.exe")};
    for (bool inPlace : {false, true})
    {
        if (inPlace)
            GiveASecondName();
        for (const std::string& each : packages)
        {
            EXPECT_EQ(5u, RunToEnd(each, "/Automation")) << each << (inPlace ? ", written in place" : "");
            ExpectOldFileKept();
        }
    }
}
