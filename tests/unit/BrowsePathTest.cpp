// Where the save dialog opens: the folder and name of the current path, split at its last backslash.
#include "dialog/QuillbrookDlg.h"

#include <gtest/gtest.h>

#include <utility>

namespace
{
std::pair<std::string, std::string> Split(const char* path)
{
    CString folder("unset"), name("unset");
    SplitAtLastBackslash(path, &folder, &name);
    return {(const char*)folder, (const char*)name};
}
} // namespace

TEST(BrowsePath, SplitsAtTheLastBackslash)
{
    EXPECT_EQ(std::make_pair(std::string("C:\\Data"), std::string("x.mdb")), Split("C:\\Data\\x.mdb"));
    EXPECT_EQ(std::make_pair(std::string("C:\\Data"), std::string("")), Split("C:\\Data\\"));
    EXPECT_EQ(std::make_pair(std::string("\\\\server\\share"), std::string("x.mdb")),
              Split("\\\\server\\share\\x.mdb"));
}

TEST(BrowsePath, WithoutAFolderTheNameIsTheWholePath)
{
    EXPECT_EQ(std::make_pair(std::string(""), std::string("x.mdb")), Split("x.mdb"));
    EXPECT_EQ(std::make_pair(std::string(""), std::string("x.mdb")), Split("\\x.mdb"));
    EXPECT_EQ(std::make_pair(std::string(""), std::string("")), Split(""));
    // Only the backslash separates.
    EXPECT_EQ(std::make_pair(std::string(""), std::string("C:/Data/x.mdb")), Split("C:/Data/x.mdb"));
}
