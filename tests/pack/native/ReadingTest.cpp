// What the generator reads: damaged files refused in one line, texts from the command line, and the
// database's SHA-256 from the system's own library.
#include "NativeSupport.h"
#include "pack/Options.h"
#include "pack/PackError.h"
#include "pack/ResourceTree.h"
#include "pack/Show.h"
#include "pack/Stamp.h"
#include "pack/Text.h"

#include <gtest/gtest.h>

#include <random>

using namespace native;

namespace
{
Bytes Put(Bytes file, size_t at, uint32_t value, size_t width)
{
    for (size_t i = 0; i < width; i++, value >>= 8)
        file.at(at + i) = (uint8_t)value;
    return file;
}

// --show and stamping, in-process: the error they give up with, or status 0.
PackError Show(const std::string& path, std::string* refusal = nullptr)
{
    std::string ignored;
    try
    {
        DescribePackage(path, refusal != nullptr ? refusal : &ignored);
    }
    catch (const PackError& error)
    {
        return error;
    }
    return {"", 0};
}

PackError Make(const std::vector<std::string>& args)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    PackError result = {"", 0};
    try
    {
        MakePackage(ParseOptions(args));
    }
    catch (const PackError& error)
    {
        result = error;
    }
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    return result;
}

void ExpectRefusal(const PackError& error, int status, const char* reason)
{
    EXPECT_EQ(error.status, status) << error.message;
    EXPECT_NE(error.message.find(reason), std::string::npos)
        << "no \"" << reason << "\" in " << error.message;
    EXPECT_EQ(error.message.find('\n'), std::string::npos) << error.message;
}

// Each kind of image: made up, and as the Windows build's linkers lay them out where there is one.
std::vector<std::pair<std::string, Bytes>> Bases()
{
    std::vector<std::pair<std::string, Bytes>> bases = {{"PE32", BuildImage(TypicalBase(false))},
                                                        {"PE32+", BuildImage(TypicalBase(true))}};
    const std::string build = WindowsBuild();
    if (!build.empty())
        for (const std::string name :
             {"bin/Quillbrook.exe", "bin/pack_fixture_base32.exe", "bin/pack_fixture_base64.exe"})
            bases.push_back({name, ReadBytes(build + "/" + name)});
    return bases;
}

// Packages arrive cut short or with bytes changed; whatever the generator reads, it checks first.
TEST(DamagedFiles, AreRefusedInOneLineWithoutReadingPastThem)
{
    TempDir dir, out;
    const std::string damaged = dir / "damaged.exe";
    for (const auto& [what, file] : Bases())
    {
        const PeImage image(file.data(), file.size(), "base");
        const size_t nt = pe::Get32(file.data() + 0x3C);
        const DataDirectory resources = image.directory(pe::kResourceDirectory);
        const Section& section = image.section(image.SectionContaining(resources.address));
        const size_t root = section.rawOffset + (resources.address - section.virtualAddress);
        const size_t dataEntry = ReadResourceTree(image).at(0).dataEntryOffset;
        const struct
        {
            const char* what;
            Bytes file;
            const char* reason;
        } cases[] = {
            {"cut short in its headers", Bytes(file.begin(), file.begin() + 300), "cut short"},
            {"cut short in its resources", Bytes(file.begin(), file.begin() + root + 64), "beyond the end"},
            {"cut short by one byte", Bytes(file.begin(), file.end() - 1), "beyond the end"},
            {"headers past its end", Put(file, 0x3C, 0x7FFFFFF0, 4), "cut short"},
            {"a section table beyond its headers", Put(file, nt + 6, 0xFFFF, 2), "section table"},
            {"an unknown optional header", Put(file, nt + 24, 0x0107, 2), "neither a PE32 nor a PE32+"},
            {"65535 resource types", Put(file, root + 14, 0xFFFF, 2), "damaged resource tree"},
            {"a type name outside the tree", Put(file, root + 16, 0xFFFFFFF0, 4), "damaged resource tree"},
            {"a type leading outside the tree", Put(file, root + 20, 0xFFFFFFF0, 4), "damaged resource tree"},
            {"entry data outside the sections", Put(file, dataEntry, 0xFFFFF000, 4), "outside the sections"},
            {"entry data past its section", Put(file, dataEntry + 4, 0x7FFFFFFF, 4), "beyond its section"},
            {"not an executable", Bytes(300, 0x4D), "no MZ header"},
        };
        for (const auto& c : cases)
        {
            SCOPED_TRACE(what + ": " + c.what);
            WriteBytes(damaged, c.file);
            ExpectRefusal(Show(damaged), 1, c.reason);
            ExpectRefusal(Make({"--base", damaged, "--out", out / "P.exe", "--date", "2024-01-09"}), 1,
                          c.reason);
            EXPECT_TRUE(out.List().empty());
        }
    }

    // Damage at random in a package: cut short, it is refused; with bytes changed in its headers or its
    // tree, it is refused in one line, or listed (and found damaged, or not).
    const Bytes base = BuildImage(TypicalBase(false));
    WriteBytes(dir / "base.exe", base);
    ASSERT_EQ(Make({"--base", dir / "base.exe", "--out", dir / "P.exe", "--date", "2024-01-09"}).status, 0);
    const Bytes package = ReadBytes(dir / "P.exe");
    const PeImage image(package.data(), package.size(), "package");
    const size_t root =
        image.section(image.SectionContaining(image.directory(pe::kResourceDirectory).address)).rawOffset;
    std::mt19937 random(2026);
    for (int i = 0; i < 200; i++)
    {
        Bytes copy = package;
        const bool cut = i % 3 == 0;
        if (cut)
            copy.resize(random() % package.size());
        for (int n = cut ? 0 : 1 + random() % 4; n > 0; n--)
            copy[(i % 2 ? root + random() % 256 : random() % 1024)] = (uint8_t)random();
        SCOPED_TRACE(testing::Message() << "copy " << i << (cut ? ", cut short" : ""));
        WriteBytes(damaged, copy);
        const PackError error = Show(damaged);
        if (cut || error.status != 0)
            ExpectRefusal(error, 1, "the package ");
    }
}

TEST(CommandLineTexts, AreStampedAsTheirUtf16AndRefusedWhenTheyAreNotUtf8)
{
    const struct
    {
        const char* utf8;
        std::u16string utf16; // empty: not UTF-8
    } cases[] = {
        {"Donn\xC3\xA9"
         "es",
         u"Donn\u00e9es"},
        {"\xE2\x82\xAC\xF0\x9F\x98\x80", u"\u20AC\U0001F600"},
        // A lone half of a pair, as a Windows command line may hold it, passes through.
        {"\xED\xA0\x80", std::u16string(1, (char16_t)0xD800)},
        {"\xC0\xA9", u""},         // overlong
        {"\xF4\x90\x80\x80", u""}, // past U+10FFFF
        {"\xE2\x82", u""},         // cut short
        {"\xE9t\xE9", u""},        // Latin-1
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.utf8);
        std::u16string units;
        EXPECT_EQ(FromUtf8(c.utf8, &units), !c.utf16.empty());
        if (c.utf16.empty())
        {
            try
            {
                ParseOptions({"--base", "B.exe", "--out", "P.exe", "--path-value", c.utf8});
                ADD_FAILURE() << "taken";
            }
            catch (const PackError& error)
            {
                ExpectRefusal(error, 2, "--path-value is not UTF-8 text");
            }
            continue;
        }
        EXPECT_EQ(units, c.utf16);
        EXPECT_EQ(ToUtf8(c.utf16), c.utf8);
    }
    // Said to a terminal, a lone half is the replacement character, never bytes that are not UTF-8.
    EXPECT_EQ(ValidUtf8("a\xED\xA0\x80z\xFF"), "a\xEF\xBF\xBDz\xEF\xBF\xBD");
}

TEST(CommandLineTexts, ShowGivesTheDatabasesSha256)
{
    TempDir dir;
    WriteBytes(dir / "base.exe", BuildImage(TypicalBase(true)));
    WriteBytes(dir / "abc", {'a', 'b', 'c'});
    ASSERT_EQ(
        Make({"--base", dir / "base.exe", "--out", dir / "P.exe", "--raw", "MDB:129=" + dir / "abc"}).status,
        0);
    std::string refusal;
    const std::string report = DescribePackage(dir / "P.exe", &refusal);
    EXPECT_NE(
        report.find("\nDatabase SHA-256: ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\n"),
        std::string::npos)
        << report;
    EXPECT_EQ(refusal, "");
}
} // namespace
