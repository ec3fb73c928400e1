// The installer's own loaders (package/PackageLoaders.cpp) on packages the generator stamped, and the
// integrity entry (package/IntegrityEntry.cpp) that both share. They read
// the running module's resources through the system-call table; here the table hands them a package
// loaded as data instead, so they see what a real package carries, including the padding after each
// entry, which a loader reading past an entry's end would take for text.
#include "PackTestSupport.h"
#include "Packages.h"
#include "dialog/QuillbrookDlg.h"
#include "package/PackageIds.h"
#include "package/PackageIntegrity.h"
#include "package/PackageResources.h"
#include "platform/MappedRead.h"

#include <gtest/gtest.h>

#include <algorithm>

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

TEST_F(PackageLoaders, AnEntryListedButUnreadableFailsTheCheckThoughAsAbsentItWouldMatch)
{
    // Stamped without a country; a damaged directory lists one, at an address that cannot be read (the
    // integrity entry found in its stead gives it a size).
    Open(Stamp({}));
    EXPECT_TRUE(IsPackageIntact());
    static auto packageFind = sys.FindResourceA;
    static void* unreadable = VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_NOACCESS);
    static bool country;
    qbtest::ScopedSysCall find(
        sys.FindResourceA, +[](HMODULE module, LPCSTR name, LPCSTR type) WINAPI {
            country = name == MAKEINTRESOURCEA(REG_COUNTRY_CODE);
            return country ? packageFind(module, MAKEINTRESOURCEA(SUM_INTEGRITY), PACKAGE_INTEGRITY_TYPE)
                           : packageFind(module, name, type);
        });
    qbtest::ScopedSysCall lock(
        sys.LockResource, +[](HGLOBAL data) WINAPI { return country ? unreadable : LockResource(data); });
    EXPECT_FALSE(IsPackageIntact());
}

TEST(PackageIntegrity, AReadOfPagesThatCannotBeHadFailsWithTheSystemsReason)
{
    // Windows raises an in-page error with its reason; Wine an access violation at the address.
    BYTE* reserved = (BYTE*)VirtualAlloc(nullptr, 1 << 16, MEM_RESERVE, PAGE_NOACCESS);
    const ULONG_PTR inPage[] = {0, (ULONG_PTR)reserved + 8, 0xC00000C9 /* the network name was deleted */};
    EXPECT_FALSE(
        AfxReadMapped(reserved, 1 << 16, [&] { RaiseException(EXCEPTION_IN_PAGE_ERROR, 0, 3, inPage); }));
    EXPECT_EQ((DWORD)ERROR_NETNAME_DELETED, AfxMappedReadError());
    volatile BYTE read = 0;
    EXPECT_FALSE(AfxReadMapped(reserved, 1 << 16, [&] { read = reserved[1 << 15]; }));
    EXPECT_TRUE(AfxReadMapped(reserved, 1 << 16, [] {}));
}

// One bit at a time, straight from the definition.
DWORD ReferenceCrc32c(const Bytes& bytes)
{
    DWORD reg = 0xFFFFFFFF;
    for (BYTE b : bytes)
        for (int bit = 0, in = b; bit < 8; bit++, in >>= 1)
            reg = ((reg ^ in) & 1) ? (reg >> 1) ^ 0x82F63B78 : reg >> 1;
    return ~reg;
}

TEST(PackageIntegrity, Crc32cGivesKnownVectorsOnEveryPathAndLength)
{
    Bytes ascending(32);
    for (size_t i = 0; i < ascending.size(); i++)
        ascending[i] = (BYTE)i;
    const struct
    {
        Bytes bytes;
        DWORD crc;
    } vectors[] = {
        {{}, 0},
        {{'1', '2', '3', '4', '5', '6', '7', '8', '9'}, 0xE3069283},
        {Bytes(32, 0x00), 0x8A9136AA},
        {Bytes(32, 0xFF), 0x62A8AB43},
        {ascending, 0x46DD794E},
    };
    for (const auto& v : vectors)
    {
        EXPECT_EQ(Crc32c(0, v.bytes.data(), v.bytes.size()), v.crc) << v.bytes.size();
        EXPECT_EQ(Crc32cPortable(0, v.bytes.data(), v.bytes.size()), v.crc) << v.bytes.size();
    }

    // Around the three 16 KiB streams of a round and the 8-byte words, from every alignment; and a
    // checksum continued in two pieces is the checksum of the whole.
    const Bytes data = qbtest::PatternBytes(4 * 3 * 16384 + 64, 11);
    for (size_t length : {1, 7, 8, 9, 100, 3 * 16384 - 1, 3 * 16384, 3 * 16384 + 9, 2 * 3 * 16384 + 13})
        for (size_t offset = 0; offset < 8; offset++)
        {
            SCOPED_TRACE(testing::Message() << "length " << length << ", offset " << offset);
            const Bytes piece(data.begin() + offset, data.begin() + offset + length);
            const DWORD expected = ReferenceCrc32c(piece);
            EXPECT_EQ(Crc32c(0, piece.data(), length), expected);
            EXPECT_EQ(Crc32cPortable(0, piece.data(), length), expected);
            const size_t half = length / 2;
            EXPECT_EQ(Crc32c(Crc32c(0, piece.data(), half), piece.data() + half, length - half), expected);
        }
}

TEST(PackageIntegrity, TheEntryMatchesItsEntriesAndNothingElse)
{
    // Checksums worked out by hand from the layout (version 1, then per entry its type, id, presence, size
    // and bytes), which the installer and any other checker rely on: nothing present; and a payload "AB",
    // a 4-byte date and an empty country, the others absent.
    const Bytes payload = {'A', 'B'}, date = {'2', 0, 0, 0};
    PackageEntryView views[CHECKED_ENTRY_COUNT] = {};
    EXPECT_EQ(PackageChecksum(views), 0xEBFCCFEEu);
    views[0] = {TRUE, payload.data(), 2};
    views[5] = {TRUE, date.data(), 4};
    views[6] = {TRUE, nullptr, 0};
    EXPECT_EQ(PackageChecksum(views), 0x6D5C9CA4u);

    BYTE entry[INTEGRITY_ENTRY_V2_SIZE];
    EXPECT_EQ(MakeIntegrityEntry(views, nullptr, entry), INTEGRITY_ENTRY_SIZE);
    EXPECT_EQ(Bytes(entry, entry + 8), (Bytes{'Q', 'B', 'I', 1, 0xA4, 0x9C, 0x5C, 0x6D}));

    auto with = [&](int index, BYTE value) {
        Bytes changed(entry, entry + 8);
        changed.resize(std::max<size_t>(changed.size(), index + 1));
        changed[index] = value;
        return changed;
    };
    const struct
    {
        const char* what;
        Bytes bytes;
        IntegrityState state;
    } cases[] = {
        {"as made", Bytes(entry, entry + 8), INTEGRITY_MATCHES},
        {"placeholder", {'Q', 'B', 'I', 0, 0, 0, 0, 0}, INTEGRITY_UNSTAMPED},
        {"placeholder with a checksum", with(3, 0), INTEGRITY_MISMATCH},
        {"another checksum", with(4, entry[4] ^ 1), INTEGRITY_MISMATCH},
        {"version 2", with(3, 2), INTEGRITY_MISMATCH},
        {"another tag", with(0, 'q'), INTEGRITY_MISMATCH},
        {"one byte short", Bytes(entry, entry + 7), INTEGRITY_MISMATCH},
        {"one byte long", with(8, 0), INTEGRITY_MISMATCH},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CheckIntegrityEntry(c.bytes.data(), (DWORD)c.bytes.size(), views), c.state) << c.what;
    EXPECT_EQ(CheckIntegrityEntry(nullptr, 0, views), INTEGRITY_MISMATCH) << "absent";
    views[6].bPresent = FALSE;
    EXPECT_EQ(CheckIntegrityEntry(entry, 8, views), INTEGRITY_MISMATCH)
        << "an empty entry is not an absent one";
    views[COMPRESSED_PAYLOAD_ENTRY] = {TRUE, payload.data(), 2};
    views[0].bPresent = FALSE;
    EXPECT_EQ(CheckIntegrityEntry(entry, 8, views), INTEGRITY_MISMATCH)
        << "version 1 over a compressed payload";
    const BYTE placeholder[] = {'Q', 'B', 'I', 0, 0, 0, 0, 0};
    EXPECT_EQ(CheckIntegrityEntry(placeholder, 8, views), INTEGRITY_MISMATCH)
        << "unstamped compressed payload";
}

TEST(PackageIntegrity, VersionTwoCoversTheCompressedPayloadAndWhatItDecodesTo)
{
    // Worked out from the layout: version 2, all eight entries (a compressed payload "Z" and a date), then
    // the decoded size and hash.
    const Bytes frame = {'Z'}, date = {'2', 0, 0, 0};
    PackageEntryView views[CHECKED_ENTRY_COUNT] = {};
    views[5] = {TRUE, date.data(), 4};
    views[COMPRESSED_PAYLOAD_ENTRY] = {TRUE, frame.data(), 1};
    const DecodedPayload decoded = {2, 0x0123456789ABCDEFull};
    BYTE entry[INTEGRITY_ENTRY_V2_SIZE];
    ASSERT_EQ(MakeIntegrityEntry(views, &decoded, entry), INTEGRITY_ENTRY_V2_SIZE);
    EXPECT_EQ(Bytes(entry, entry + 8), (Bytes{'Q', 'B', 'I', 2, 0x39, 0xD6, 0xFD, 0x1E}));

    DecodedPayload read = {};
    EXPECT_EQ(CheckIntegrityEntry(entry, INTEGRITY_ENTRY_V2_SIZE, views, &read), INTEGRITY_MATCHES);
    EXPECT_EQ(read.cbSize, 2u);
    EXPECT_EQ(read.ullHash, 0x0123456789ABCDEFull);
    // The decoded size and hash are covered: a changed byte of either is a damaged package.
    for (int index : {8, 16, 23})
    {
        Bytes changed(entry, entry + INTEGRITY_ENTRY_V2_SIZE);
        changed[index] ^= 1;
        EXPECT_EQ(CheckIntegrityEntry(changed.data(), INTEGRITY_ENTRY_V2_SIZE, views), INTEGRITY_MISMATCH)
            << index;
    }
    // A package carrying the database both ways, or stored only, is not what version 2 covers.
    const Bytes stored = {'A'};
    views[0] = {TRUE, stored.data(), 1};
    EXPECT_EQ(CheckIntegrityEntry(entry, INTEGRITY_ENTRY_V2_SIZE, views), INTEGRITY_MISMATCH) << "both";
    views[COMPRESSED_PAYLOAD_ENTRY].bPresent = FALSE;
    EXPECT_EQ(CheckIntegrityEntry(entry, INTEGRITY_ENTRY_V2_SIZE, views), INTEGRITY_MISMATCH)
        << "stored only";
}
} // namespace
