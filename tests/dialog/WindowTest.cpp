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

namespace
{
// A bitmap's pixels as 0x00RRGGBB, rows from the top.
struct Pixels
{
    int cx = 0, cy = 0;
    std::vector<DWORD> rgb;
    // The mean of one colour (its bit shift) over cell (column, row) of a grid of 4 x 2 cells.
    double Mean(int shift, int column, int row) const
    {
        double sum = 0;
        for (int y = row * cy / 2; y < (row + 1) * cy / 2; y++)
            for (int x = column * cx / 4; x < (column + 1) * cx / 4; x++)
                sum += (rgb[(size_t)y * cx + x] >> shift) & 0xFF;
        return sum / ((cx / 4) * (cy / 2));
    }
};

Pixels ReadPixels(HBITMAP bitmap)
{
    BITMAP bm = {};
    GetObjectA(bitmap, sizeof bm, &bm);
    Pixels p{bm.bmWidth, bm.bmHeight, std::vector<DWORD>((size_t)bm.bmWidth * bm.bmHeight)};
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof info.bmiHeader, p.cx, -p.cy, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    HDC screen = GetDC(nullptr);
    GetDIBits(screen, bitmap, 0, p.cy, p.rgb.data(), &info, DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    return p;
}
} // namespace

// What the dialog shows at another display scale: the picture at the width asked, its height in
// proportion, the same colours in the same places, and at twice the size no doubled pixels.
TEST_F(Window, ThePicturesRedrawnForAScaleKeepTheirArtAndProportions)
{
    HBITMAP original = (HBITMAP)LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDB_BANNER),
                                           IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION);
    ASSERT_NE(nullptr, original);
    Pixels source = ReadPixels(original);
    DeleteObject(original);

    for (int cx : {495, 300, 619, 743, 990})
    {
        SCOPED_TRACE(cx);
        CBitmap banner;
        ASSERT_TRUE(banner.LoadBitmapAtWidth(IDB_BANNER, cx));
        Pixels drawn = ReadPixels(banner.GetSafeHandle());
        EXPECT_EQ(cx, drawn.cx);
        EXPECT_EQ(MulDiv(60, cx, 495), drawn.cy);
        if (cx == 495)
        {
            EXPECT_TRUE(drawn.rgb == source.rgb) << "at its own size the picture comes back unchanged";
        }
        for (int shift : {0, 8, 16})
            for (int cell = 0; cell < 8; cell++)
                EXPECT_NEAR(source.Mean(shift, cell % 4, cell / 4), drawn.Mean(shift, cell % 4, cell / 4),
                            3.0)
                    << "colour " << shift << ", cell " << cell;
        if (cx == 990)
        {
            // Pixel doubling would repeat every column of the title in the next one.
            int repeated = 0, pairs = 0;
            for (int y = 16; y < 60; y++)
                for (int x = 140; x < 440; x += 2, pairs++)
                    repeated += drawn.rgb[y * cx + x] == drawn.rgb[y * cx + x + 1];
            EXPECT_LT(repeated, pairs / 2);
        }
    }

    CBitmap rule;
    ASSERT_TRUE(rule.LoadBitmapAtWidth(IDB_RULE, 743));
    Pixels drawn = ReadPixels(rule.GetSafeHandle());
    EXPECT_EQ(743, drawn.cx);
    ASSERT_EQ(3, drawn.cy);
    EXPECT_LT(drawn.rgb[0] & 0xFF, (drawn.rgb[2 * 743] & 0xFF) - 60) << "a dark line over a light one";

    CBitmap missing;
    EXPECT_FALSE(missing.LoadBitmapAtWidth(IDR_MAINFRAME, 743)) << "an icon is no bitmap";
    EXPECT_EQ(nullptr, missing.GetSafeHandle());
}
