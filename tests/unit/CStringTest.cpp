// The string rules the path and registry logic is built on.
#include "platform/CString.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace qbtest;

TEST(CString, ReverseFindGivesTheLastIndexOrMinusOne)
{
    CString s("C:\\Data\\New.mdb");
    EXPECT_EQ(7, s.ReverseFind('\\'));
    EXPECT_EQ(-1, s.ReverseFind('/'));
    EXPECT_EQ(-1, CString().ReverseFind('\\'));
}

TEST(CString, ReverseFindNeverStopsInsideADoubleByteCharacter)
{
    // In Japanese 0x95 0x5C is one character, whose second byte is a backslash's; in the Western code
    // page these tests run in, it is two.
    const CString path("C:\\Data\\\x95\\.dat");
    EXPECT_EQ(9, path.ReverseFind('\\'));
    ScopedSysCall japanese(
        sys.IsDBCSLeadByte, +[](BYTE b) WINAPI { return IsDBCSLeadByteEx(932, b); });
    EXPECT_EQ(7, path.ReverseFind('\\'));
    EXPECT_EQ(10, CString("C:\\Data\\\x95\\\\T.mdb").ReverseFind('\\'))
        << "the backslash after such a character";
}

TEST(CString, LeftClampsItsCount)
{
    CString s("abc");
    EXPECT_STREQ("", s.Left(-1));
    EXPECT_STREQ("", s.Left(0));
    EXPECT_STREQ("ab", s.Left(2));
    EXPECT_STREQ("abc", s.Left(3));
    EXPECT_STREQ("abc", s.Left(10));
}

TEST(CString, MidTakesTheRestAndCountsANegativeStartAsZero)
{
    CString s("abc");
    EXPECT_STREQ("abc", s.Mid(-1));
    EXPECT_STREQ("abc", s.Mid(0));
    EXPECT_STREQ("c", s.Mid(2));
    EXPECT_STREQ("", s.Mid(3));
    EXPECT_STREQ("", s.Mid(7));
}

TEST(CString, ReplaceIsCaseSensitiveAndReplacesEveryOccurrence)
{
    CString s("HKEY_LOCAL_MACHINE\\SOFTWARE\\HKEY_LOCAL_MACHINE\\X\\hkey_local_machine\\");
    EXPECT_EQ(2, s.Replace("HKEY_LOCAL_MACHINE\\", ""));
    EXPECT_STREQ("SOFTWARE\\X\\hkey_local_machine\\", s);

    CString onlyPrefix("HKEY_LOCAL_MACHINE\\");
    onlyPrefix.Replace("HKEY_LOCAL_MACHINE\\", "");
    EXPECT_TRUE(onlyPrefix.IsEmpty());

    CString grows("a.b.c");
    EXPECT_EQ(2, grows.Replace(".", "--"));
    EXPECT_STREQ("a--b--c", grows);
    EXPECT_EQ(0, grows.Replace("", "x"));
}

TEST(CString, MakeUpperAndCompare)
{
    CString code("be");
    code.MakeUpper();
    EXPECT_STREQ("BE", code);
    EXPECT_EQ(0, code.Compare("BE"));
    EXPECT_NE(0, code.Compare("be"));
    EXPECT_NE(0, code.Compare("BE "));

    // Letters of the ANSI code page, not only ASCII.
    CString accented("donn\xe9"
                     "es");
    accented.MakeUpper();
    EXPECT_STREQ("DONN\xc9"
                 "ES",
                 accented);
}

TEST(CString, WideTextIsConvertedUpToItsFirstNul)
{
    EXPECT_STREQ("CheminBaseTarif", CString(L"CheminBaseTarif"));
    EXPECT_STREQ("C:\\Donn\xe9"
                 "es\\tarif.mdb",
                 CString(L"C:\\Donn\u00e9es\\tarif.mdb"));

    const wchar_t withNul[] = {L'a', L'b', 0, L'c', L'd'};
    CString counted(withNul, 5);
    EXPECT_EQ(2, counted.GetLength());
    EXPECT_STREQ("ab", counted);
    EXPECT_TRUE(CString(L"").IsEmpty());
}

TEST(CString, ACharacterTheCodePageLacksIsSaidLostNeverTurnedIntoALookAlike)
{
    // The Western code page has no barred L, no z with an accent and no r with a caron: as L, z and r
    // they would name other folders.
    CString text;
    EXPECT_FALSE(text.AssignWide(L"C:\\\u0141\u00f3d\u017a\\Dvo\u0159\u00e1k", -1));
    EXPECT_STREQ("C:\\?\xf3"
                 "d?\\Dvo?\xe1k",
                 text);
    EXPECT_TRUE(text.AssignWide(L"Donn\u00e9es", -1));
}

TEST(CString, ConcatenationAndCopiesAreIndependent)
{
    CString a("C:\\Data");
    CString b = a;
    b += "\\New.mdb";
    EXPECT_STREQ("C:\\Data", a);
    EXPECT_STREQ("C:\\Data\\New.mdb", b);
    EXPECT_STREQ("#LIGHT#Pays", "#LIGHT#" + CString("Pays"));
    EXPECT_STREQ("x\\y", CString("x") + "\\" + CString("y"));

    CString self("abc");
    self = self;
    EXPECT_STREQ("abc", self);
    self.Empty();
    EXPECT_TRUE(self.IsEmpty());
    EXPECT_STREQ("", self);
}

TEST(CString, BufferEndsAtTheFirstZeroOrTheGivenLength)
{
    CString s;
    char* p = s.GetBufferSetLength(10);
    lstrcpyA(p, "abc");
    s.ReleaseBuffer();
    EXPECT_EQ(3, s.GetLength());

    p = s.GetBufferSetLength(5);
    memcpy(p, "hello", 5);
    s.ReleaseBuffer(4);
    EXPECT_STREQ("hell", s);
}

TEST(CString, LoadStringOfAnAbsentEntryIsEmpty)
{
    CString s("previous");
    EXPECT_FALSE(s.LoadString(4321));
    EXPECT_TRUE(s.IsEmpty());
}
