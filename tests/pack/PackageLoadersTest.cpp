// The installer's own loaders (package/PackageLoaders.cpp) on packages the generator stamped. They read
// the running module's resources through the system-call table; here the table hands them a package
// loaded as data instead, so they see what a real package carries, including the padding Wine writes
// after each entry, which a loader reading past an entry's end would take for text.
#include "PackTestSupport.h"
#include "Packages.h"
#include "dialog/QuillbrookDlg.h"
#include "package/PackageIds.h"

#include <gtest/gtest.h>

using namespace packtest;

namespace
{
HGLOBAL WINAPI LoadNothing(HMODULE, HRSRC)
{
    return NULL;
}

std::string Text(UINT id)
{
    CString text = CQuillbrookDlg::LoadPackageString(id);
    return std::string((const char*)text, text.GetLength());
}

int Flag(UINT id)
{
    return CQuillbrookDlg::LoadPackageFlag(id);
}

class PackageLoaders : public ::testing::Test
{
protected:
    void Open(const std::string& package) { resources.emplace(package); }

    // A package whose settings are the given bytes, stored unchanged.
    std::string Stamp(const std::vector<std::pair<UINT, Bytes>>& settings)
    {
        const std::string package = dir / "Package.exe";
        std::vector<std::wstring> args = {L"--base", Widen(FixedExecutable()), L"--out", Widen(package)};
        for (const auto& [id, bytes] : settings)
        {
            const std::string file = dir / ("setting" + std::to_string(id));
            qbtest::WriteFileBytes(file, bytes);
            args.insert(args.end(), {L"--raw", L"REG:" + std::to_wstring(id) + L"=" + Widen(file)});
        }
        ToolRun run = RunTool(L"quillbrook-pack", args);
        EXPECT_EQ(run.exitCode, 0u) << run.err;
        return package;
    }

    qbtest::ScopedTempDir dir{"qbloaders"};
    std::optional<qbtest::ScopedPackageResources> resources;
};

TEST_F(PackageLoaders, ReadTheExamplePackage)
{
    Open(ExamplePackage());
    EXPECT_EQ(Text(REG_PATH_VALUE), "CheminBaseTarif");
    EXPECT_EQ(Text(REG_PATH_VALUE).size(), 15u);
    EXPECT_EQ(Text(REG_SETTINGS_KEY), "SOFTWARE\\Halvero\\dravik\\Bel\\Serveurs\\Bilan");
    EXPECT_EQ(Text(REG_COUNTRY_KEY), "HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvero\\dravik\\Bel\\");
    EXPECT_EQ(Text(REG_TARIFF_DATE), "2024-01-09");
    EXPECT_EQ(Text(REG_COUNTRY_CODE), "BE");
    EXPECT_EQ(Flag(REG_USE_SHARED_FOLDER), 0);
}

TEST_F(PackageLoaders, TextsEndAtTheirFirstNulOrTheirLastWholeCodeUnit)
{
    Open(Stamp({
        {200, {0, 0}},
        {201, {'A', 0, 'B', 0, 0, 0, 'C', 0, 'D', 0, 0, 0}},
        {202, {'A', 0, 'B', 0, 'C', 0}},
        {203, {'A', 0, 'B', 0, 'C'}},
        {204, {'A'}},
        {205, {}},
    }));
    EXPECT_EQ(Text(200), "");
    EXPECT_EQ(Text(201), "AB") << "code units after the NUL are not read";
    EXPECT_EQ(Text(202), "ABC") << "without a NUL, the entry's end stops the text";
    EXPECT_EQ(Text(203), "AB") << "a final odd byte is half a code unit";
    EXPECT_EQ(Text(204), "");
    EXPECT_EQ(Text(205), "");
}

TEST_F(PackageLoaders, FlagsAreSetByAnyOfTheirFirstFourBytes)
{
    Open(Stamp({
        {210, {0x00, 0x00, 0x00, 0x00}},
        {211, {0x01, 0x00, 0x00, 0x00}},
        {212, {0x00, 0x01, 0x00, 0x00}},
        {213, {0x00, 0x00, 0x00, 0x80}},
        {214, {0x00, 0x01}},
        {215, {0x00, 0x00}},
        {216, {0x00, 0x00, 0x01}},
        {217, {0x00, 0x00, 0x00, 0x00, 0x01}},
        {218, {}},
    }));
    EXPECT_EQ(Flag(210), 0);
    EXPECT_EQ(Flag(211), 1);
    EXPECT_EQ(Flag(212), 1);
    EXPECT_EQ(Flag(213), 1);
    EXPECT_EQ(Flag(214), 1) << "a short flag counts the bytes it has";
    EXPECT_EQ(Flag(215), 0) << "and no byte beyond them";
    EXPECT_EQ(Flag(216), 1);
    EXPECT_EQ(Flag(217), 0) << "a fifth byte does not count";
    EXPECT_EQ(Flag(218), 0) << "an empty flag is present, and clear";
}

TEST_F(PackageLoaders, AbsentEntriesReadAsEmptyTextsAndAFlagThatIsItsId)
{
    Open(Stamp({}));
    for (UINT id : {REG_SETTINGS_KEY, REG_PATH_VALUE, REG_COUNTRY_KEY, REG_TARIFF_DATE, REG_COUNTRY_CODE})
        EXPECT_EQ(Text(id), "") << id;
    EXPECT_EQ(Flag(REG_USE_SHARED_FOLDER), (int)REG_USE_SHARED_FOLDER);
}

TEST_F(PackageLoaders, AnEntryThatCannotBeLoadedReadsAsAbsent)
{
    Open(ExamplePackage());
    qbtest::ScopedSysCall failingLoad(sys.LoadResource, &LoadNothing);
    EXPECT_EQ(Text(REG_PATH_VALUE), "");
    EXPECT_EQ(Flag(REG_USE_SHARED_FOLDER), (int)REG_USE_SHARED_FOLDER);
}
} // namespace
