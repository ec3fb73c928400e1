// The About entry at the end of the window menu, looked at from inside the process that owns it.
#include "DialogHarness.h"
#include "Packages.h"

#include <gtest/gtest.h>

using namespace qbtest;

namespace
{
class WindowMenu : public ::testing::Test
{
protected:
    void SetUp() override { package = MakePackage(dir.path(), ExampleSpec(JetDatabase(4096, 1))); }
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

TEST_F(WindowMenu, EndsWithASeparatorAndTheAboutEntry)
{
    Tail tail = ReadMenuTail();
    EXPECT_TRUE(tail.separatorBeforeLast);
    EXPECT_EQ("&About Quillbrook...", tail.lastText);
    EXPECT_EQ(0x0010u, tail.lastId);
}

TEST_F(WindowMenu, GetsNothingWhenTheAboutTextIsMissing)
{
    int withEntry = ReadMenuTail().count;
    ScopedSysCall noString(
        sys.LoadStringA, +[](HINSTANCE, UINT, LPSTR buffer, int) WINAPI -> int {
            buffer[0] = '\0';
            return 0;
        });
    Tail tail = ReadMenuTail();
    EXPECT_EQ(withEntry - 2, tail.count);
    EXPECT_EQ((UINT)SC_CLOSE, tail.lastId);
}
