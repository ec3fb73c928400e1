// "Browse..." through the system's real save dialog: choosing, cancelling, overwriting, and the
// unattended run that has no path to go by.
#include "Driver.h"
#include "Packages.h"

#include <gtest/gtest.h>

using namespace qbtest;

namespace
{
class Browse : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ForgetExampleHost();
        // No path in the host's settings: the dialog starts with "Browse...".
        package = MakePackage(dir.path(), ExampleContents(payload));
    }

    static std::string PathShown(HWND dialog) { return FindControl(Children(dialog), 1002)->text; }
    static bool Shown(HWND dialog, int id) { return FindControl(Children(dialog), id)->visible; }

    ScopedTempDir dir{"browse"};
    const Bytes payload = JetDatabase(20000, 6);
    const std::string chosen = dir / "Chosen.mdb";
    std::string package;
};
} // namespace

TEST_F(Browse, AChosenFileIsShownAndInstalled)
{
    InstallerRun run(package);
    HWND dialog = run.Dialog();
    ASSERT_NE(nullptr, dialog);
    EXPECT_FALSE(Shown(dialog, IDOK));
    EXPECT_TRUE(Shown(dialog, 1001));

    run.Click(dialog, 1001);
    HWND save = run.WaitForSaveDialog();
    ASSERT_NE(nullptr, save);
    run.ChooseFile(save, chosen);
    ASSERT_TRUE(WaitUntil([&] { return PathShown(dialog) == chosen; }));
    EXPECT_TRUE(Shown(dialog, IDOK));
    EXPECT_TRUE(Shown(dialog, 1001)) << "Browse stays, to choose again";

    run.Click(dialog, IDOK);
    MessageBoxView done = run.WaitForMessageBox();
    ASSERT_TRUE(done);
    EXPECT_EQ("Pricelist successfully installed", done.text);
    done.Press(IDOK);
    ASSERT_TRUE(run.WaitForExit());
    EXPECT_EQ(0u, run.ExitCode());
    EXPECT_EQ(payload, ReadFileBytes(chosen));
}

TEST_F(Browse, CancellingChangesNothing)
{
    InstallerRun run(package);
    HWND dialog = run.Dialog();
    ASSERT_NE(nullptr, dialog);
    run.Click(dialog, 1001);
    HWND save = run.WaitForSaveDialog();
    ASSERT_NE(nullptr, save);
    run.Click(save, IDCANCEL);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(save); }));
    Sleep(200);
    EXPECT_EQ("", PathShown(dialog));
    EXPECT_FALSE(Shown(dialog, IDOK));
    EXPECT_TRUE(Shown(dialog, 1001));

    ASSERT_TRUE(run.LeaveAnsweringYes(dialog));
    EXPECT_EQ(1u, run.ExitCode());
}

TEST_F(Browse, AnExistingFileIsReplacedOnlyAfterConfirmation)
{
    const Bytes oldBytes = JetDatabase(5000, 9);
    WriteFileBytes(chosen, oldBytes);
    InstallerRun run(package);
    HWND dialog = run.Dialog();
    ASSERT_NE(nullptr, dialog);
    run.Click(dialog, 1001);
    HWND save = run.WaitForSaveDialog();
    ASSERT_NE(nullptr, save);
    run.ChooseFile(save, chosen);

    // The system asks before an existing file is chosen, in a box of its own over the save dialog.
    HWND confirm = nullptr;
    ASSERT_TRUE(WaitUntil([&] {
        for (HWND w : run.WindowsCaptioned("Save"))
            if (w != save)
                confirm = w;
        return confirm != nullptr;
    })) << "no overwrite confirmation";
    run.Click(confirm, IDYES);

    ASSERT_TRUE(WaitUntil([&] { return PathShown(dialog) == chosen; }));
    EXPECT_EQ(oldBytes, ReadFileBytes(chosen)) << "choosing writes nothing yet";
    run.Click(dialog, IDOK);
    MessageBoxView done = run.WaitForMessageBox();
    ASSERT_TRUE(done);
    done.Press(IDOK);
    ASSERT_TRUE(run.WaitForExit());
    EXPECT_EQ(payload, ReadFileBytes(chosen));
}

TEST_F(Browse, UnattendedWithoutAPathAsksForAFileOnceAndInstallsSilently)
{
    InstallerRun run(package, "/Automation");
    HWND save = run.WaitForSaveDialog();
    ASSERT_NE(nullptr, save);
    EXPECT_FALSE(run.HasWindow("Marlowen")) << "the dialog itself stays hidden";
    run.ChooseFile(save, chosen);
    ASSERT_TRUE(run.WaitForExit());
    EXPECT_EQ(0u, run.ExitCode());
    EXPECT_EQ(payload, ReadFileBytes(chosen));
}

TEST_F(Browse, UnattendedAndCancelledEndsWithNothingWrittenAndNoMessage)
{
    InstallerRun run(package, "/Automation");
    HWND save = run.WaitForSaveDialog();
    ASSERT_NE(nullptr, save);
    run.Click(save, IDCANCEL);
    ASSERT_TRUE(run.WaitForExit());
    EXPECT_EQ(4u, run.ExitCode());
    EXPECT_EQ((std::vector<std::string>{"PricelistSetup.exe", "PricelistSetup.exe.database"}),
              ListFolder(dir.path()));
}
