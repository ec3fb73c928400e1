// Leaving without installing, the About box, the window menu, the minimised window and the pictures at
// the display's scale.
#include "Driver.h"
#include "Packages.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace qbtest;

namespace
{
const char kExitQuestion[] =
    "Setup is not complete. If you quit now, the pricelist will not be installed.\n\n"
    "You may run the Setup program again at another time ti complete the installation.\n\n"
    "Exit Setup?";

class Chrome : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ForgetExampleHost();
        SetRegString(HKEY_CURRENT_USER, kSettingsKey, "CheminBaseTarif", target);
        package = MakePackage(dir.path(), ExampleContents(JetDatabase(4096, 1)));
    }
    void TearDown() override { ForgetExampleHost(); }

    // The way a person leaves: a button, a key or the close box.
    enum class Leaving
    {
        CancelButton,
        EscKey,
        CloseBox
    };
    static void StartLeaving(InstallerRun& run, HWND dialog, Leaving how)
    {
        switch (how)
        {
        case Leaving::CancelButton:
            run.Click(dialog, IDCANCEL);
            break;
        case Leaving::EscKey:
            run.Key(dialog, VK_ESCAPE);
            break;
        case Leaving::CloseBox:
            run.SysCommand(dialog, SC_CLOSE);
            break;
        }
    }

    ScopedTempDir dir{"chrome"};
    const std::string target = dir / "Tarif.mdb";
    std::string package;
};
} // namespace

TEST_F(Chrome, NoToTheExitQuestionLeavesTheDialogAsItWasAndYesLeaves)
{
    for (Leaving how : {Leaving::CancelButton, Leaving::EscKey, Leaving::CloseBox})
    {
        SCOPED_TRACE((int)how);
        InstallerRun run(package);
        HWND dialog = run.Dialog();
        ASSERT_NE(nullptr, dialog);
        std::vector<Control> before = Children(dialog);

        StartLeaving(run, dialog, how);
        MessageBoxView question = run.WaitForMessageBox();
        ASSERT_TRUE(question);
        EXPECT_EQ(kExitQuestion, question.text);
        EXPECT_EQ((std::vector<int>{IDYES, IDNO}), question.buttons);
        EXPECT_EQ(IDYES, question.defaultButton);
        EXPECT_NE(nullptr, question.icon);
        question.Press(IDNO);
        ASSERT_TRUE(WaitUntil([&] { return !IsWindow(question.hwnd); }));

        Sleep(200);
        ASSERT_TRUE(run.Running());
        std::vector<Control> after = Children(dialog);
        ASSERT_EQ(before.size(), after.size());
        for (size_t i = 0; i < before.size(); i++)
        {
            EXPECT_EQ(before[i].text, after[i].text);
            EXPECT_EQ(before[i].visible, after[i].visible);
        }

        StartLeaving(run, dialog, how);
        question = run.WaitForMessageBox();
        ASSERT_TRUE(question);
        question.Press(IDYES);
        ASSERT_TRUE(run.WaitForExit());
        EXPECT_EQ(1u, run.ExitCode());
        EXPECT_FALSE(FileExists(target));
    }
}

TEST_F(Chrome, EnterOnTheExitQuestionAnswersYes)
{
    InstallerRun run(package);
    HWND dialog = run.Dialog();
    ASSERT_NE(nullptr, dialog);
    run.Click(dialog, IDCANCEL);
    MessageBoxView question = run.WaitForMessageBox();
    ASSERT_TRUE(question);
    run.Key(question.hwnd, VK_RETURN);
    ASSERT_TRUE(run.WaitForExit());
    EXPECT_EQ(1u, run.ExitCode());
}

TEST_F(Chrome, TheWindowMenuCommandsFrom0x10To0x1FOpenTheAboutBox)
{
    InstallerRun run(package);
    HWND dialog = run.Dialog();
    ASSERT_NE(nullptr, dialog);

    for (UINT command : {0x0010u, 0x0013u})
    {
        SCOPED_TRACE(command);
        run.SysCommand(dialog, command);
        HWND about = run.WaitForWindow("About Quillbrook");
        ASSERT_NE(nullptr, about);
        std::vector<Control> controls = Children(about);
        ASSERT_EQ(3u, controls.size());
        EXPECT_EQ("Quillbrook version 1.1", controls[0].text);
        EXPECT_NE(std::string::npos, controls[1].text.find("Marlowen"));
        EXPECT_EQ("OK", controls[2].text);
        EXPECT_FALSE(IsWindowEnabled(dialog)) << "the About box is modal";
        run.Click(about, IDOK);
        ASSERT_TRUE(WaitUntil([&] { return !IsWindow(about); }));
    }

    run.SysCommand(dialog, 0x0020);
    Sleep(300);
    EXPECT_FALSE(run.HasWindow("About Quillbrook"));
    EXPECT_TRUE(IsWindowEnabled(dialog));

    ASSERT_TRUE(run.LeaveAnsweringYes(dialog));
}

TEST_F(Chrome, TheAboutBoxClosesWithOkEscOrItsCloseBoxAndAsksNothing)
{
    InstallerRun run(package);
    HWND dialog = run.Dialog();
    ASSERT_NE(nullptr, dialog);
    for (int way = 0; way < 3; way++)
    {
        SCOPED_TRACE(way);
        run.SysCommand(dialog, 0x0010);
        HWND about = run.WaitForWindow("About Quillbrook");
        ASSERT_NE(nullptr, about);
        if (way == 0)
            run.Click(about, IDOK);
        else if (way == 1)
            run.Key(about, VK_ESCAPE);
        else
            run.SysCommand(about, SC_CLOSE);
        ASSERT_TRUE(WaitUntil([&] { return !IsWindow(about); }));
        Sleep(200);
        EXPECT_FALSE(run.HasWindow(run.Title())) << "no question";
        EXPECT_TRUE(IsWindowVisible(dialog));
        EXPECT_TRUE(IsWindowEnabled(dialog));
    }
    ASSERT_TRUE(run.LeaveAnsweringYes(dialog));
}

TEST_F(Chrome, MinimisingAndRestoringLeavesTheDialogWorking)
{
    InstallerRun run(package);
    HWND dialog = run.Dialog();
    ASSERT_NE(nullptr, dialog);

    run.SysCommand(dialog, SC_MINIMIZE);
    ASSERT_TRUE(WaitUntil([&] { return IsIconic(dialog) != FALSE; }));
    RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    run.SysCommand(dialog, SC_RESTORE);
    ASSERT_TRUE(WaitUntil([&] { return !IsIconic(dialog); }));
    EXPECT_TRUE(run.Running());

    ASSERT_TRUE(run.LeaveAnsweringYes(dialog));
}

// The banner and the rule reach the dialog's right edge and keep their proportions at any display scale.
// The build's prefix runs this at 96 dpi, where they are the template's own bitmaps; tests/e2e runs it
// again in prefixes at 144 and 192 dpi, which set QB_EXPECTED_DPI.
TEST_F(Chrome, TheBannerAndTheRuleSpanTheDialogAtTheDisplaysScale)
{
    SetProcessDPIAware(); // the display's own pixels, as the installer (DPI-aware) draws them
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    if (const char* expected = getenv("QB_EXPECTED_DPI"))
    {
        ASSERT_EQ(atoi(expected), dpi) << "the prefix is not set to the scale asked";
    }

    InstallerRun run(package);
    HWND dialog = run.Dialog();
    ASSERT_NE(nullptr, dialog);
    RECT client;
    GetClientRect(dialog, &client);
    POINT origin = {0, 0};
    ClientToScreen(dialog, &origin);
    if (dpi == 96)
    {
        EXPECT_EQ(495, client.right);
    }

    std::vector<Control> controls = Children(dialog);
    ASSERT_EQ(7u, controls.size());
    const struct
    {
        size_t index;
        int heightAt96;
    } pictures[] = {{2, 60}, {3, 2}};
    for (auto picture : pictures)
    {
        SCOPED_TRACE(picture.index);
        const RECT& rect = controls[picture.index].rect;
        EXPECT_EQ(origin.x, rect.left);
        EXPECT_EQ(origin.x + client.right, rect.right);
        EXPECT_EQ(MulDiv(picture.heightAt96, client.right, 495), rect.bottom - rect.top);
    }
    // Drawn to the edge, not only sized to it: the banner's last column is its dark teal.
    const RECT& banner = controls[2].rect;
    screen = GetDC(nullptr);
    COLORREF edge = GetPixel(screen, banner.right - 1, (banner.top + banner.bottom) / 2);
    ReleaseDC(nullptr, screen);
    EXPECT_LT(GetRValue(edge) + GetGValue(edge) + GetBValue(edge), 3 * 128) << std::hex << edge;

    ASSERT_TRUE(run.LeaveAnsweringYes(dialog));
}
