// The window menu and the icons, looked at from inside the process that owns them.
#include "DialogHarness.h"
#include "Packages.h"

#include <gtest/gtest.h>

using namespace qbtest;

namespace
{
class Window : public ::testing::Test
{
protected:
    void SetUp() override { package = MakePackage(dir.path(), ExampleContents(JetDatabase(4096, 1))); }
    void TearDown() override { sys = kRealSystemCalls; }

    // The last two items of the dialog's window menu: (separator?, text, command id).
    struct Tail
    {
        int count = 0;
        bool separatorBeforeLast = false;
        std::string lastText;
        UINT lastId = 0;
    };
    Tail ReadMenuTail()
    {
        Tail tail;
        ScopedPackageResources resources(package);
        TestDlg dlg;
        RunDialog(dlg, [&](HWND window) {
            HMENU menu = GetSystemMenu(window, FALSE);
            tail.count = GetMenuItemCount(menu);
            MENUITEMINFOA info = {};
            info.cbSize = sizeof info;
            info.fMask = MIIM_FTYPE;
            GetMenuItemInfoA(menu, tail.count - 2, TRUE, &info);
            tail.separatorBeforeLast = (info.fType & MFT_SEPARATOR) != 0;
            char text[64] = "";
            GetMenuStringA(menu, tail.count - 1, text, sizeof text, MF_BYPOSITION);
            tail.lastText = text;
            tail.lastId = GetMenuItemID(menu, tail.count - 1);
        });
        return tail;
    }

    ScopedTempDir dir{"menu"};
    std::string package;
};
} // namespace

TEST_F(Window, EndsWithASeparatorAndTheAboutEntry)
{
    Tail tail = ReadMenuTail();
    EXPECT_TRUE(tail.separatorBeforeLast);
    EXPECT_EQ("&About Quillbrook...", tail.lastText);
    EXPECT_EQ(0x0010u, tail.lastId);
}

TEST_F(Window, GetsNothingWhenTheAboutTextIsMissing)
{
    int withEntry = ReadMenuTail().count;
    ScopedSysCall noString(
        sys.LoadStringA, +[](HINSTANCE, UINT, LPSTR buffer, int) WINAPI -> int {
            buffer[0] = '\0';
            return 0;
        });
    Tail tail = ReadMenuTail();
    EXPECT_EQ(withEntry - 2, tail.count);
    EXPECT_NE(0x0010u, tail.lastId);
    EXPECT_FALSE(tail.separatorBeforeLast && tail.lastText.empty());
}

// Another process cannot ask a window for its icons under Wine, so this looks from inside.
TEST_F(Window, TheWindowsIconsAndDragCursorAreTheApplicationIcon)
{
    ScopedPackageResources resources(package);
    TestDlg dlg;
    HICON big = nullptr, small = nullptr, drag = nullptr;
    bool minimised = false;
    RunDialog(dlg, [&](HWND window) {
        big = (HICON)SendMessageA(window, WM_GETICON, ICON_BIG, 0);
        small = (HICON)SendMessageA(window, WM_GETICON, ICON_SMALL, 0);
        drag = (HICON)SendMessageA(window, WM_QUERYDRAGICON, 0, 0);
        // Minimised, the window paints the icon itself.
        PostMessageA(window, WM_SYSCOMMAND, SC_MINIMIZE, 0);
        for (int i = 0; i < 100 && !minimised; i++, Sleep(20))
            minimised = IsIconic(window) != FALSE;
        RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    });
    EXPECT_NE(nullptr, big);
    EXPECT_EQ(big, small);
    EXPECT_EQ(big, drag);
    EXPECT_TRUE(minimised);
}
