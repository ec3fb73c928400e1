// The PE clean-up in-process, on bases whose layout is known. What the standard tools make of real
// packages is checked by tests/scripts/check-packages.sh.
#include "PackTestSupport.h"
#include "pack/PackError.h"
#include "pack/PeCleanUp.h"
#include "pack/PeImage.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

using namespace packtest;

namespace
{
Bytes Clean(const Bytes& base, const Bytes& stamped)
{
    qbtest::ScopedTempDir dir("qbclean");
    const std::string path = dir / "clean.exe";
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    try
    {
        WriteCleanImage(PeImage(base.data(), base.size(), L"base"),
                        PeImage(stamped.data(), stamped.size(), L"stamped"), file, Widen(path));
    }
    catch (...)
    {
        CloseHandle(file);
        throw;
    }
    CloseHandle(file);
    return qbtest::ReadFileBytes(path);
}

TEST(PeCleanUp, LeavesTheFixedExecutableAsTheLinkerMadeItButItsResourcesReadOnly)
{
    // Page-aligned and stripped by the linker: nothing moves. Its resource section loses its write flag,
    // and the checksum follows.
    const Bytes base = qbtest::ReadFileBytes(FixedExecutable());
    const PeImage image(base.data(), base.size(), L"base");
    const int resources =
        image.SectionContaining(image.directory(IMAGE_DIRECTORY_ENTRY_RESOURCE).VirtualAddress);
    ASSERT_GE(resources, 0);
    Bytes clean = Clean(base, base);
    ASSERT_EQ(clean.size(), base.size());

    const size_t characteristics = image.SectionTableOffset() + resources * sizeof(IMAGE_SECTION_HEADER) +
                                   offsetof(IMAGE_SECTION_HEADER, Characteristics);
    DWORD flags;
    std::memcpy(&flags, clean.data() + characteristics, sizeof flags);
    EXPECT_EQ(flags & (IMAGE_SCN_MEM_WRITE | IMAGE_SCN_MEM_READ | IMAGE_SCN_CNT_INITIALIZED_DATA),
              (DWORD)(IMAGE_SCN_MEM_READ | IMAGE_SCN_CNT_INITIALIZED_DATA));
    std::memcpy(clean.data() + characteristics, base.data() + characteristics, sizeof flags);
    const size_t checksum = image.ntOffset() + offsetof(IMAGE_NT_HEADERS32, OptionalHeader.CheckSum);
    std::memcpy(clean.data() + checksum, base.data() + checksum, sizeof(DWORD));
    EXPECT_TRUE(clean == base);
}

// A PE32 and a PE32+ base on every machine, whichever kind this build makes.
TEST(PeCleanUp, PutsAnUnalignedBaseOnPagesAndKeepsItsSymbolTable)
{
    for (int bits : {32, 64})
    {
        SCOPED_TRACE(testing::Message() << bits << "-bit fixture");
        const Bytes base = qbtest::ReadFileBytes(FixtureBase(bits));
        const PeImage before(base.data(), base.size(), L"fixture");
        ASSERT_EQ(before.pe32Plus(), bits == 64);
        size_t symbolsAt = 0, symbolsLength = 0;
        ASSERT_LT(before.fileAlignment(), 4096u);
        ASSERT_TRUE(before.SymbolTable(&symbolsAt, &symbolsLength));

        const Bytes clean = Clean(base, base);
        const PeImage after(clean.data(), clean.size(), L"clean");
        ASSERT_EQ(after.sectionCount(), before.sectionCount());
        for (int i = 0; i < after.sectionCount(); i++)
        {
            SCOPED_TRACE(testing::Message() << "section " << i);
            const IMAGE_SECTION_HEADER& section = after.section(i);
            EXPECT_EQ(section.PointerToRawData % 4096, 0u);
            EXPECT_EQ(std::memcmp(clean.data() + section.PointerToRawData,
                                  base.data() + before.section(i).PointerToRawData, section.SizeOfRawData),
                      0);
        }
        size_t at = 0, length = 0;
        ASSERT_TRUE(after.SymbolTable(&at, &length));
        ASSERT_EQ(length, symbolsLength);
        EXPECT_EQ(at + length, clean.size());
        EXPECT_EQ(std::memcmp(clean.data() + at, base.data() + symbolsAt, length), 0);
    }
}

TEST(PeCleanUp, RefusesAnUpdateThatChangedMoreThanTheResources)
{
    const Bytes base = qbtest::ReadFileBytes(FixedExecutable());
    const PeImage image(base.data(), base.size(), L"base");
    Bytes changed = base;
    changed[image.section(0).PointerToRawData + 16] ^= 0xFF;
    try
    {
        Clean(base, changed);
        ADD_FAILURE() << "a changed .text was accepted";
    }
    catch (const PackError& error)
    {
        EXPECT_NE(error.message.find(L"changed section .text"), std::wstring::npos);
    }
}
} // namespace
