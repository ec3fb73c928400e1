// The dialog as a person first meets it, on the bare setup executable (no package stamped in: it takes
// the shared-folder path and has no database to install).
#include "Driver.h"

#include <gtest/gtest.h>

using namespace qbtest;

namespace
{
std::string FixedExecutable()
{
    return BinDir() + "\\Quillbrook.exe";
}

std::string CommonAppData()
{
    char folder[MAX_PATH] = "";
    DWORD n = GetEnvironmentVariableA("ALLUSERSPROFILE", folder, MAX_PATH);
    return std::string(folder, n);
}
} // namespace

TEST(Dialog, ShowsCentredWithItsCaptionMinimiseBoxAndNoMaximiseBox)
{
    InstallerRun run(FixedExecutable());
    HWND dialog = run.Dialog();
    ASSERT_NE(nullptr, dialog);

    EXPECT_EQ("Marlowen", WindowText(dialog));
    LONG style = GetWindowLongA(dialog, GWL_STYLE);
    EXPECT_TRUE(style & WS_CAPTION);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_TRUE(style & WS_MINIMIZEBOX);
    EXPECT_FALSE(style & WS_MAXIMIZEBOX);
    EXPECT_FALSE(style & WS_THICKFRAME);
    EXPECT_TRUE(GetWindowLongA(dialog, GWL_EXSTYLE) & WS_EX_APPWINDOW);

    RECT window, work;
    GetWindowRect(dialog, &window);
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    EXPECT_NEAR((work.left + work.right) / 2, (window.left + window.right) / 2, 1);
    EXPECT_NEAR((work.top + work.bottom) / 2, (window.top + window.bottom) / 2, 1);

    ASSERT_TRUE(run.LeaveAnsweringYes(dialog));
    EXPECT_EQ(1u, run.ExitCode());
}

TEST(Dialog, ShowsItsControlsInTemplateOrder)
{
    InstallerRun run(FixedExecutable());
    HWND dialog = run.Dialog();
    ASSERT_NE(nullptr, dialog);

    std::vector<Control> controls = Children(dialog);
    ASSERT_EQ(7u, controls.size());
    const int ids[] = {IDOK, IDCANCEL, -1, -1, -1, 1002, 1001};
    for (size_t i = 0; i < controls.size(); i++)
        EXPECT_EQ(ids[i], (int)(short)controls[i].id) << "control " << i;

    EXPECT_EQ("Install", controls[0].text);
    EXPECT_EQ(BS_DEFPUSHBUTTON, controls[0].style & 0x0F);
    EXPECT_EQ("Cancel", controls[1].text);
    EXPECT_EQ("The pricelist will be installed in", controls[4].text);
    EXPECT_EQ("Browse...", controls[6].text);

    // The banner and the rule span the dialog's width in pixels, at the top and above the buttons.
    RECT client;
    GetClientRect(dialog, &client);
    POINT origin = {0, 0};
    ClientToScreen(dialog, &origin);
    for (int i : {2, 3})
    {
        EXPECT_EQ(SS_BITMAP, controls[i].style & SS_TYPEMASK);
        EXPECT_EQ(495, controls[i].rect.right - controls[i].rect.left);
        EXPECT_EQ(origin.x, controls[i].rect.left);
    }
    EXPECT_EQ(60, controls[2].rect.bottom - controls[2].rect.top);
    EXPECT_EQ(origin.y, controls[2].rect.top);
    EXPECT_EQ(2, controls[3].rect.bottom - controls[3].rect.top);
    EXPECT_LT(controls[3].rect.bottom, controls[0].rect.top);

    // Without a package the path is composed under the common application-data folder, so it is known:
    // "Install" shows and "Browse..." does not.
    EXPECT_EQ(CommonAppData() + "\\HalveroGroup\\PriceList\\CAT-\\\\PriceList.mdb", controls[5].text);
    EXPECT_TRUE(controls[0].visible);
    EXPECT_TRUE(controls[1].visible);
    EXPECT_FALSE(controls[6].visible);

    ASSERT_TRUE(run.LeaveAnsweringYes(dialog));
}

TEST(Dialog, EnterPressesInstallAndEscPressesCancel)
{
    {
        InstallerRun run(FixedExecutable());
        HWND dialog = run.Dialog();
        ASSERT_NE(nullptr, dialog);
        run.Key(dialog, VK_ESCAPE);
        MessageBoxView question = run.WaitForMessageBox();
        ASSERT_TRUE(question);
        EXPECT_NE(std::string::npos, question.text.find("Exit Setup?"));
        question.Press(IDYES);
        ASSERT_TRUE(run.WaitForExit());
        EXPECT_EQ(1u, run.ExitCode());
    }
    {
        // The bare executable carries no database, so Install says so and ends.
        InstallerRun run(FixedExecutable());
        HWND dialog = run.Dialog();
        ASSERT_NE(nullptr, dialog);
        run.Key(dialog, VK_RETURN);
        MessageBoxView message = run.WaitForMessageBox();
        ASSERT_TRUE(message);
        EXPECT_EQ("This Pricelist Setup has been incorrectly generated, setup aborted.", message.text);
        message.Press(IDOK);
        ASSERT_TRUE(run.WaitForExit());
        EXPECT_EQ(3u, run.ExitCode());
    }
}
