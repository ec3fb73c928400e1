// Where the minimised window draws its icon.
#include "dialog/QuillbrookDlg.h"

#include <gtest/gtest.h>

TEST(MinimizedIcon, IsCentredInTheClientArea)
{
    POINT pt = MinimizedIconOrigin(RECT{0, 0, 36, 36}, 32, 32);
    EXPECT_EQ(2, pt.x);
    EXPECT_EQ(2, pt.y);

    pt = MinimizedIconOrigin(RECT{10, 20, 47, 57}, 32, 32);
    EXPECT_EQ(3, pt.x); // (37 - 32 + 1) / 2
    EXPECT_EQ(3, pt.y);
}

TEST(MinimizedIcon, RoundsTowardZeroWhenTheIconIsWider)
{
    POINT pt = MinimizedIconOrigin(RECT{0, 0, 30, 30}, 32, 32);
    EXPECT_EQ(0, pt.x); // (30 - 32 + 1) / 2 is -0.5, which truncates to 0, not -1
    EXPECT_EQ(0, pt.y);

    pt = MinimizedIconOrigin(RECT{0, 0, 28, 29}, 32, 32);
    EXPECT_EQ(-1, pt.x); // -3 / 2
    EXPECT_EQ(-1, pt.y); // -2 / 2
}
