// The generator as a publisher runs it: the entry each option stores, --show, --raw, the Jet check, and
// refusals that leave nothing behind.
#include "PackTestSupport.h"
#include "Packages.h"
#include "pack/Compress.h"
#include "pack/PeImage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

using namespace packtest;

namespace
{
const std::wstring kAccentedPath = L"C:\\Donn\u00e9es\\tarif.mdb";

class PackTool : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CreateDirectoryA(outDir.c_str(), nullptr);
        MakeDatabase(database, 64 * 1024, 7);
    }

    ToolRun Pack(std::vector<std::wstring> args, const std::string& base = FixedExecutable())
    {
        args.insert(args.begin(), {L"--base", Widen(base), L"--out", Widen(package)});
        return RunTool(L"quillbrook-pack", args);
    }

    std::wstring RawFile(const std::string& name, const Bytes& bytes)
    {
        qbtest::WriteFileBytes(dir / name, bytes);
        return Widen(dir / name);
    }

    qbtest::ScopedTempDir dir{"qbpack"};
    const std::string outDir = dir / "out";
    const std::string package = outDir + "\\PricelistSetup.exe";
    const std::string database = dir / "Tarif.mdb";
};

// A refusal: its status, nothing on the output, and one whole line on the error output that names why.
void ExpectRefusal(const ToolRun& run, DWORD status, const char* reason)
{
    EXPECT_EQ(run.exitCode, status) << run.err;
    EXPECT_EQ(run.out, "");
    const std::vector<std::string> lines = Lines(run.err);
    ASSERT_EQ(lines.size(), 1u) << run.err;
    EXPECT_EQ(lines[0].rfind("quillbrook-pack: ", 0), 0u) << run.err;
    EXPECT_NE(lines[0].find(reason), std::string::npos) << "no \"" << reason << "\" in " << run.err;
    EXPECT_TRUE(run.err.ends_with("\r\n")) << run.err;
}

// Settings a publisher can mistype that the installer would take and then install wrongly everywhere,
// and the words that say why each is refused.
const struct
{
    const wchar_t* option;
    UINT id;
    const wchar_t* value;
    const char* reason;
} kRefusedSettings[] = {
    {L"--date", 140, L"next tuesday", "YYYY-MM-DD"},
    {L"--date", 140, L"2023-02-29", "YYYY-MM-DD"},
    {L"--date", 140, L"2024-1-9", "YYYY-MM-DD"},
    {L"--country", 141, L"Belgium", "two or three letters"},
    {L"--country", 141, L"BE ", "two or three letters"},
    {L"--country-key", 139, L"HKLM\\SOFTWARE\\Halvero\\dravik\\Bel\\", "hive name HKLM"},
    {L"--country-key", 139, L"hkey_local_machine\\SOFTWARE\\Halvero\\", "hive name hkey_local_machine"},
    {L"--country-key", 139, L"HKEY_CURRENT_USER\\SOFTWARE\\Halvero\\", "hive name HKEY_CURRENT_USER"},
    {L"--settings-key", 136, L"HKEY_CURRENT_USER\\SOFTWARE\\Halvero\\dravik", "hive name HKEY_CURRENT_USER"},
    {L"--settings-key", 136, L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvero\\dravik",
     "hive name HKEY_LOCAL_MACHINE"},
    {L"--settings-key", 136, L"HKLM:\\SOFTWARE\\Halvero", "hive name HKLM"},
};

// On both kinds of image, whichever this build makes: the texts at the edge of what is taken.
TEST_F(PackTool, StoresEachOptionsEntryExactly)
{
    for (const std::string& base : {FixedExecutable(), FixtureBase(32), FixtureBase(64)})
    {
        SCOPED_TRACE(base);
        ToolRun run = Pack({L"--database", Widen(database), L"--settings-key",
                            L"SOFTWARE\\Halvero\\dravik\\Bel\\Serveurs\\Bilan", L"--path-value",
                            kAccentedPath, L"--shared-folder", L"1", L"--country-key", L"", L"--date",
                            L"2024-02-29", L"--country", L"bel"},
                           base);
        ASSERT_EQ(run.exitCode, 0u) << run.err;
        EXPECT_EQ(run.err, "");

        EXPECT_EQ(ReadEntry(package, L"MDB", 129), qbtest::ReadFileBytes(database));
        EXPECT_EQ(ReadEntry(package, L"REG", 136),
                  TextBytes(L"SOFTWARE\\Halvero\\dravik\\Bel\\Serveurs\\Bilan"));
        EXPECT_EQ(ReadEntry(package, L"REG", 137), TextBytes(kAccentedPath));
        EXPECT_EQ(ReadEntry(package, L"REG", 138), (Bytes{1, 0, 0, 0}));
        EXPECT_EQ(ReadEntry(package, L"REG", 139), (Bytes{0, 0})) << "an empty text is its NUL alone";
        EXPECT_EQ(ReadEntry(package, L"REG", 140), TextBytes(L"2024-02-29"));
        EXPECT_EQ(ReadEntry(package, L"REG", 141), TextBytes(L"bel"));
        const ToolRun shown = RunTool(L"quillbrook-pack", {L"--show", Widen(package)});
        EXPECT_EQ(shown.exitCode, 0u) << shown.err;
        EXPECT_NE(shown.out.find(": matches\r\n"), std::string::npos) << shown.out;
    }
}

// --force is how a publisher stamps a setting on purpose; the package says what it was given, and the
// run says what it took.
TEST_F(PackTool, ForceStampsTheSettingsItWouldRefuseAndSaysSo)
{
    for (const auto& setting : kRefusedSettings)
    {
        SCOPED_TRACE(Utf8(setting.value));
        ToolRun run = Pack({L"--force", setting.option, setting.value, L"--database", Widen(database)});
        ASSERT_EQ(run.exitCode, 0u) << run.err;
        const std::string warning =
            "quillbrook-pack: warning: " + Utf8(setting.option) + " \"" + Utf8(setting.value) + "\" ";
        EXPECT_NE(run.err.find(warning), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(setting.reason), std::string::npos) << run.err;
        EXPECT_EQ(ReadEntry(package, L"REG", setting.id), TextBytes(setting.value));
    }
}

TEST_F(PackTool, LeavesOutTheEntriesOfOptionsLeftOut)
{
    ToolRun run = Pack({L"--date", L"2024-01-09", L"--shared-folder", L"0"});
    ASSERT_EQ(run.exitCode, 0u) << run.err;
    EXPECT_NE(run.err.find("warning: no --database"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("incorrectly generated"), std::string::npos) << run.err;

    EXPECT_EQ(ReadEntry(package, L"REG", 138), (Bytes{0, 0, 0, 0}));
    EXPECT_TRUE(ReadEntry(package, L"REG", 140));
    EXPECT_FALSE(ReadEntry(package, L"MDB", 129));
    for (UINT id : {136, 137, 139, 141})
        EXPECT_FALSE(ReadEntry(package, L"REG", id)) << id;
}

// What the installer does without each entry depends on the mode the flag chooses, and an absent flag
// chooses shared-folder mode.
TEST_F(PackTool, WarnsOfEachAbsentEntryWhatTheInstallerDoesWithoutIt)
{
    const std::wstring db = Widen(database);
    const struct
    {
        const char* what;
        std::vector<std::wstring> args;
        std::vector<const char*> warnings; // one line each
    } cases[] = {
        {"registry mode, a date only",
         {L"--shared-folder", L"0", L"--date", L"2024-01-09"},
         {"no --database: the package has no payload", "no --settings-key: no target path is known",
          "no --country-key: no country check is made and no date is stored",
          "no --country: no country check is made"}},
        {"registry mode with a settings key",
         {L"--shared-folder", L"0", L"--database", db, L"--settings-key", L"K", L"--country", L"BE"},
         {"no --path-value: the installer reads the target path from the settings key's default value",
          "no --country-key: no country check is made and no date is stored",
          "no --date: no date is stored"}},
        {"the flag left out",
         {L"--database", db, L"--country", L"BE"},
         {"no --shared-folder: the installer counts the flag as set: the package installs under the common "
          "application-data folder and makes no country check",
          "no --settings-key: the shared-folder path has an empty folder name",
          "no --path-value: the shared-folder path's folder is named \"CAT-\" alone",
          "no --country-key: no date is stored", "no --date: no date is stored"}},
        {"the flag given raw",
         {L"--raw", L"REG:138=" + RawFile("flag", {0, 0, 1, 0}), L"--database", db, L"--settings-key", L"K",
          L"--path-value", L"P", L"--country-key", L"C", L"--date", L"2024-01-09"},
         {}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        ToolRun run = Pack(c.args);
        ASSERT_EQ(run.exitCode, 0u) << run.err;
        for (const char* warning : c.warnings)
            EXPECT_NE(run.err.find(warning), std::string::npos) << warning << "\n" << run.err;
        const std::vector<std::string> lines = Lines(run.err);
        for (const std::string& line : lines)
            EXPECT_EQ(line.rfind("quillbrook-pack: warning: no -", 0), 0u) << run.err;
        EXPECT_EQ(lines.size(), c.warnings.size()) << run.err;
    }
}

TEST(ExamplePackage, CarriesTheReleaseDatabaseAndSettings)
{
    // Compressed, as the release recipe makes it, to less than half of the database.
    const std::string example = ExamplePackage();
    EXPECT_FALSE(ReadEntry(example, L"MDB", 129));
    std::optional<Bytes> frame = ReadEntry(example, L"MDZ", 129);
    ASSERT_TRUE(frame);
    EXPECT_LT(frame->size(), 704512u / 2);
    const DecodedFrame decoded = DecodeFrame(frame->data(), frame->size());
    EXPECT_TRUE(decoded.complete);
    const Bytes payload(decoded.bytes.begin(), decoded.bytes.end());
    EXPECT_EQ(payload.size(), 704512u);
    EXPECT_EQ(std::string(payload.begin(), payload.begin() + 19), std::string("\0\1\0\0Standard Jet DB", 19));
    EXPECT_TRUE(payload == qbtest::ReadFileBytes(ExampleDatabase()));

    const struct
    {
        UINT id;
        const wchar_t* text;
        size_t size;
    } texts[] = {
        {136, L"SOFTWARE\\Halvero\\dravik\\Bel\\Serveurs\\Bilan", 86},
        {137, L"CheminBaseTarif", 32},
        {139, L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvero\\dravik\\Bel\\", 96},
        {140, L"2024-01-09", 22},
        {141, L"BE", 6},
    };
    for (const auto& text : texts)
    {
        std::optional<Bytes> entry = ReadEntry(example, L"REG", text.id);
        ASSERT_TRUE(entry) << text.id;
        EXPECT_EQ(entry->size(), text.size) << text.id;
        EXPECT_EQ(*entry, TextBytes(text.text)) << text.id;
    }
    EXPECT_EQ(ReadEntry(example, L"REG", 138), (Bytes{0, 0, 0, 0}));
}

TEST_F(PackTool, ShowListsEveryEntryOfTheExamplePackage)
{
    ToolRun run = RunTool(L"quillbrook-pack", {L"--show", Widen(ExamplePackage())});
    ASSERT_EQ(run.exitCode, 0u) << run.err;
    for (const char* line : {
             "bytes  Zstandard frame of a Jet database, 704512 bytes decoded\r\n",
             "REG 136  REG_SETTINGS_KEY               86 bytes  "
             "\"SOFTWARE\\Halvero\\dravik\\Bel\\Serveurs\\Bilan\"\r\n",
             "REG 137  REG_PATH_VALUE                 32 bytes  \"CheminBaseTarif\"\r\n",
             "REG 138  REG_USE_SHARED_FOLDER           4 bytes  0 (clear)\r\n",
             "REG 139  REG_COUNTRY_KEY                96 bytes  "
             "\"HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvero\\dravik\\Bel\\\"\r\n",
             "REG 140  REG_TARIFF_DATE                22 bytes  \"2024-01-09\"\r\n",
             "REG 141  REG_COUNTRY_CODE                6 bytes  \"BE\"\r\n",
             "SUM 142  SUM_INTEGRITY                  24 bytes  version 2, checksum ",
             ", decoded 704512 bytes, XXH64 ",
             "All 7 entries are present.\r\n",
             // As sha256sum gives it for the sample database of seed 1, decoded.
             "Database SHA-256: 57adc99c05ead7362f2b790131d05f2cdc364592414ddcca16ad13c26c2aae4c\r\n",
             "Database size: 704512 bytes, compressed to ",
             "Authenticode signature: absent\r\n",
         })
        EXPECT_NE(run.out.find(line), std::string::npos) << line << run.out;
}

TEST_F(PackTool, ShowDecodesAccentsAndNamesWhatIsAbsentOrBreaksTheRules)
{
    ToolRun made = Pack(
        {L"--path-value", kAccentedPath, L"--raw", L"REG:140=" + RawFile("date", {'2', 0, '4', 0}), L"--raw",
         L"REG:138=" + RawFile("flag", {0, 1}), L"--raw", L"REG:150=" + RawFile("extra", {0xCA, 0xFE})});
    ASSERT_EQ(made.exitCode, 0u) << made.err;

    ToolRun run = RunTool(L"quillbrook-pack", {L"--show", Widen(package)});
    EXPECT_EQ(run.exitCode, 3u) << "no payload";
    EXPECT_EQ(Lines(run.err).size(), 1u) << run.err;
    EXPECT_NE(run.err.find("carries no database"), std::string::npos) << run.err;
    for (const std::string& text : {
             Utf8(L"REG 137  REG_PATH_VALUE                 42 bytes  \"" + kAccentedPath + L"\"\r\n"),
             std::string("MDB 129  MDB_DATABASE               absent: the installer will report the package "
                         "as incorrectly generated\r\n"),
             std::string("REG 136  REG_SETTINGS_KEY           absent: the installer reads it as empty\r\n"),
             std::string("4 bytes  \"24\"  [no terminating NUL]\r\n"),
             std::string("2 bytes  1 (set; stored as 0x00000100)  [2 bytes, not 4]\r\n"),
             std::string("REG 150  (not read by the installer)         2 bytes  CA FE\r\n"),
             std::string("4 of the 7 entries are absent.\r\n"),
         })
        EXPECT_NE(run.out.find(text), std::string::npos) << text << run.out;
}

// Bytes changed in a stamped package, where the generator's own reading of the resource tree finds them:
// --show, the release check, fails on each package the installer would refuse.
TEST_F(PackTool, ShowSaysWhetherThePackageMatchesItsIntegrityEntry)
{
    ASSERT_EQ(Pack({L"--database", Widen(database), L"--date", L"2024-01-09"}).exitCode, 0u);
    const Bytes made = qbtest::ReadFileBytes(package);
    const size_t payload = FindEntry(made, L"MDB", 129).dataOffset + 5000;
    const size_t date = FindEntry(made, L"REG", 140).dataOffset;
    const size_t sum = FindEntry(made, L"SUM", 142).dataOffset;
    const Bytes typeName = {3, 0, 'S', 0, 'U', 0, 'M', 0};
    const size_t name =
        std::search(made.begin() + ResourceRootOffset(made), made.end(), typeName.begin(), typeName.end()) -
        made.begin();
    // A certificate table said to run past the end of the file, as in a signed package cut short.
    const size_t certificates =
        PeImage(made.data(), made.size(), "package").DirectoryOffset(pe::kSecurityDirectory);
    std::vector<std::pair<size_t, BYTE>> cutShort;
    for (size_t i = 0; i < 4; i++)
        cutShort.insert(cutShort.end(), {{certificates + i, (BYTE)((made.size() - 16) >> (8 * i))},
                                         {certificates + 4 + i, (BYTE)(i == 1)}});

    const std::string line = "SUM 142  SUM_INTEGRITY     ";
    const struct
    {
        const char* what;
        std::vector<std::pair<size_t, BYTE>> changes;
        const char* verdict;
        const char* refusal; // null: --show ends with status 0
    } cases[] = {
        {"as made", {}, "matches", nullptr},
        {"a payload byte",
         {{payload, (BYTE)~made[payload]}},
         "does NOT match: the package is damaged",
         "damaged"},
        {"a setting byte", {{date, '3'}}, "does NOT match: the package is damaged", "damaged"},
        {"the checksum",
         {{sum + 7, (BYTE)~made[sum + 7]}},
         "does NOT match: the package is damaged",
         "damaged"},
        {"the version", {{sum + 3, 2}}, "does NOT match: the package is damaged", "damaged"},
        {"the placeholder",
         {{sum + 3, 0}, {sum + 4, 0}, {sum + 5, 0}, {sum + 6, 0}, {sum + 7, 0}},
         "not stamped (placeholder): the installer does not check this package",
         nullptr},
        {"the type renamed",
         {{name + 6, 'N'}},
         "absent: the installer refuses this package",
         "no integrity entry"},
        {"a certificate table cut short", cutShort, "matches", "certificate table"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        Bytes damaged = made;
        for (const auto& [at, value] : c.changes)
            damaged.at(at) = value;
        qbtest::WriteFileBytes(dir / "damaged.exe", damaged);
        ToolRun run = RunTool(L"quillbrook-pack", {L"--show", Widen(dir / "damaged.exe")});
        EXPECT_EQ(run.exitCode, c.refusal ? 3u : 0u) << run.err;
        if (c.refusal)
        {
            EXPECT_EQ(Lines(run.err).size(), 1u) << run.err;
            EXPECT_NE(run.err.find(c.refusal), std::string::npos) << run.err;
        }
        else
            EXPECT_EQ(run.err, "");
        const size_t at = run.out.find(line);
        ASSERT_NE(at, std::string::npos) << run.out;
        EXPECT_NE(run.out.substr(at, run.out.find("\r\n", at) - at).find(c.verdict), std::string::npos)
            << run.out;
    }
}

TEST_F(PackTool, RefusesADatabaseWithoutTheJetSignatureUnlessForced)
{
    const Bytes notes = {'h', 'e', 'l', 'l', 'o'};
    const std::wstring file = RawFile("notes.mdb", notes);
    ToolRun refused = Pack({L"--database", file});
    EXPECT_EQ(refused.exitCode, 1u);
    EXPECT_NE(refused.err.find("not a Jet database"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("--force"), std::string::npos) << refused.err;
    EXPECT_TRUE(qbtest::ListFolder(outDir).empty());

    ToolRun forced = Pack({L"--database", file, L"--force"});
    ASSERT_EQ(forced.exitCode, 0u) << forced.err;
    EXPECT_EQ(ReadEntry(package, L"MDB", 129), notes);
}

TEST_F(PackTool, RawStoresAFilesBytesUnchecked)
{
    const Bytes payload = {1, 2, 3};
    ToolRun run = Pack({L"--raw", L"mdb:129=" + RawFile("payload", payload), L"--raw",
                        L"REG:141=" + RawFile("country", {'B', 0, 'E', 0}), L"--raw",
                        L"EXTRA_1:7=" + RawFile("x", {9}), L"--raw", L"REG:139=" + RawFile("empty", {}),
                        L"--raw", L"SUM:142=" + RawFile("sum", {'Q', 'B', 'I', 9})});
    ASSERT_EQ(run.exitCode, 0u) << run.err;
    EXPECT_EQ(run.err.find("no --database"), std::string::npos) << "a raw payload is a payload";
    EXPECT_EQ(ReadEntry(package, L"MDB", 129), payload) << "types are stored upper-case";
    EXPECT_EQ(ReadEntry(package, L"REG", 141), (Bytes{'B', 0, 'E', 0}));
    EXPECT_EQ(ReadEntry(package, L"EXTRA_1", 7), Bytes{9});
    EXPECT_EQ(ReadEntry(package, L"REG", 139), Bytes{}) << "an entry of no bytes";
    EXPECT_EQ(ReadEntry(package, L"SUM", 142), (Bytes{'Q', 'B', 'I', 9})) << "instead of the computed one";
}

TEST_F(PackTool, AnEmptyDatabaseIsForcedInAsAnEmptyPayload)
{
    const std::wstring empty = RawFile("empty.mdb", {});
    EXPECT_EQ(Pack({L"--database", empty}).exitCode, 1u) << "it lacks the signature";
    ASSERT_EQ(Pack({L"--database", empty, L"--force", L"--date", L"2024-01-09"}).exitCode, 0u);
    EXPECT_EQ(ReadEntry(package, L"MDB", 129), Bytes{});
    EXPECT_EQ(ReadEntry(package, L"REG", 140), TextBytes(L"2024-01-09"));
}

TEST_F(PackTool, ShowRefusesTheFramesTheInstallerRefuses)
{
    // Each but the last matches its integrity entry, which records what it decodes to: only the frame is
    // wrong.
    const Bytes marker = {'p', 'r', 'i', 'c', 'e', 's'};
    const Bytes frame = qbtest::HandMadeFrame(marker);
    const struct
    {
        const char* what;
        Bytes frame;
        bool stored; // beside a stored database, which no integrity entry covers
        const char* refusal;
    } cases[] = {
        {"cut short", Bytes(frame.begin(), frame.end() - 1), false, "cut short, or followed by other bytes"},
        {"without its size", qbtest::HandMadeFrame(marker, false), false,
         "does not record the database's size"},
        {"a 16 MiB window", qbtest::HandMadeFrame(marker, true, 24), false, "window is larger than 8 MiB"},
        {"beside a stored database", frame, true, "carries two databases"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        std::vector<std::wstring> args = {L"--raw", L"MDZ:129=" + RawFile("frame.zst", c.frame)};
        if (c.stored)
            args.insert(args.end(), {L"--database", Widen(database)});
        ASSERT_EQ(Pack(args).exitCode, 0u);
        ToolRun run = RunTool(L"quillbrook-pack", {L"--show", Widen(package)});
        EXPECT_EQ(run.exitCode, 3u) << run.out;
        EXPECT_NE(run.err.find(c.refusal), std::string::npos) << run.err;
        EXPECT_EQ(run.out.find(": matches") != std::string::npos, !c.stored) << run.out;
    }
}

TEST_F(PackTool, FailedRunsSayWhyInOneLineAndLeaveNothingBehind)
{
    const Bytes previous = {'o', 'l', 'd'};
    qbtest::WriteFileBytes(package, previous);
    const std::wstring base = Widen(FixedExecutable()), out = Widen(package), db = Widen(database);
    const std::wstring held = RawFile("held.mdb", qbtest::ReadFileBytes(database));
    HANDLE holder =
        CreateFileA((dir / "held.mdb").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    // A base whose debug directory's file offsets could not follow its sections.
    Bytes debugged = qbtest::ReadFileBytes(FixedExecutable());
    const PeImage image(debugged.data(), debugged.size(), "base");
    *(IMAGE_DATA_DIRECTORY*)(debugged.data() + image.DirectoryOffset(pe::kDebugDirectory)) = {
        image.section(1).virtualAddress, 28};
    const std::wstring debugBase = RawFile("debugged.exe", debugged);

    // A 32-bit installer cannot be sure to map more than 1 GiB of entries: one byte more, in a sparse file.
    const std::wstring huge = Widen(dir / "huge.mdb");
    HANDLE sparse = CreateFileW(huge.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    LARGE_INTEGER size;
    size.QuadPart = (1ll << 30) + 1;
    ASSERT_TRUE(SetFilePointerEx(sparse, size, nullptr, FILE_BEGIN) && SetEndOfFile(sparse));
    CloseHandle(sparse);

    // Most runs stamp the fixed executable into the package.
    auto stamp = [&](std::vector<std::wstring> args) {
        args.insert(args.begin(), {L"--base", base, L"--out", out});
        return args;
    };
    struct Case
    {
        const char* what;
        DWORD status;
        std::string reason;
        std::vector<std::wstring> args;
    };
    std::vector<Case> cases = {
        {"database over 1 GiB", 1, "larger than 1 GiB", stamp({L"--database", huge, L"--force"})},
        {"raw entry over 1 GiB", 1, "larger than 1 GiB", stamp({L"--raw", L"BIG:1=" + huge})},
        {"missing base",
         1,
         "cannot read the base",
         {L"--base", Widen(dir / "missing.exe"), L"--out", out, L"--database", db}},
        {"base that is no executable", 1, "no MZ header", {L"--base", db, L"--out", out, L"--database", db}},
        {"base that is a package",
         1,
         "already carries package entries",
         {L"--base", Widen(ExamplePackage()), L"--out", out, L"--database", db}},
        {"base with a debug directory",
         1,
         "has a debug directory",
         {L"--base", debugBase, L"--out", out, L"--database", db}},
        {"missing database", 1, "cannot read the database",
         stamp({L"--database", Widen(dir / "missing.mdb")})},
        {"database held open", 1, "cannot read the database", stamp({L"--database", held})},
        {"missing output folder",
         1,
         "cannot create a file in",
         {L"--base", base, L"--out", Widen(dir / "none\\P.exe"), L"--database", db}},
        {"flag of 2", 2, "takes 0 or 1", stamp({L"--shared-folder", L"2"})},
        {"unknown option", 2, "unknown option --colour", stamp({L"--colour", L"blue"})},
        {"option without its value", 2, "--date needs a value", stamp({L"--date"})},
        {"stray argument", 2, "unexpected argument", stamp({L"2024-01-09"})},
        {"raw without an id", 2, "TYPE:ID=FILE", stamp({L"--raw", L"REG=" + db})},
        {"raw with id 0", 2, "from 1 to 65535", stamp({L"--raw", L"REG:0=" + db})},
        {"raw with id 65536", 2, "from 1 to 65535", stamp({L"--raw", L"REG:65536=" + db})},
        {"raw with a numeric type", 2, "must be a name", stamp({L"--raw", L"10:1=" + db})},
        {"raw without a file", 2, "names no file", stamp({L"--raw", L"REG:140="})},
        {"entry given twice", 2, "already gives",
         stamp({L"--date", L"2024-01-09", L"--raw", L"REG:140=" + db})},
        {"show with more", 2, "takes no other option", {L"--show", out, L"--base", base}},
        {"compressed beside a raw MDB 129", 2, "already gives",
         stamp({L"--database", db, L"--compress", L"--raw", L"MDB:129=" + db})},
        {"compressed beside a raw MDZ 129", 2, "a second database",
         stamp({L"--database", db, L"--compress", L"--raw", L"MDZ:129=" + db})},
        {"compressed and stored", 2, "contradicts", stamp({L"--database", db, L"--compress", L"--store"})},
        {"no base", 2, "--base is missing", {L"--out", out, L"--database", db}},
    };
    for (const auto& setting : kRefusedSettings)
        cases.push_back({"a refused setting", 2, setting.reason,
                         stamp({L"--database", db, setting.option, setting.value})});
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        ExpectRefusal(RunTool(L"quillbrook-pack", c.args), c.status, c.reason.c_str());
        EXPECT_EQ(qbtest::ListFolder(outDir), std::vector<std::string>{"PricelistSetup.exe"});
        EXPECT_EQ(qbtest::ReadFileBytes(package), previous);
    }
    CloseHandle(holder);
}

TEST_F(PackTool, RefusesToWriteOverItsBase)
{
    const std::string base = dir / "Quillbrook.exe";
    const Bytes original = qbtest::ReadFileBytes(FixedExecutable());
    qbtest::WriteFileBytes(base, original);
    for (const std::string& out : {base, dir / "QUILLBROOK.EXE", dir / "out\\..\\Quillbrook.exe"})
    {
        ToolRun run = RunTool(L"quillbrook-pack",
                              {L"--base", Widen(base), L"--out", Widen(out), L"--date", L"2024-01-09"});
        EXPECT_EQ(run.exitCode, 2u) << out;
        EXPECT_NE(run.err.find("names the base itself"), std::string::npos) << run.err;
    }
    EXPECT_TRUE(qbtest::ReadFileBytes(base) == original);
}

TEST(SampleDatabase, IsTheSameForTheSameSeedAndSize)
{
    qbtest::ScopedTempDir dir("qbsample");
    MakeDatabase(dir / "a.mdb", 704512, 1);
    MakeDatabase(dir / "b.mdb", 704512, 2);
    const Bytes a = qbtest::ReadFileBytes(dir / "a.mdb"), b = qbtest::ReadFileBytes(dir / "b.mdb");
    ASSERT_EQ(a.size(), 704512u);
    EXPECT_TRUE(a == qbtest::ReadFileBytes(ExampleDatabase())) << "the example is seed 1";
    EXPECT_FALSE(a == b);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 19), std::string("\0\1\0\0Standard Jet DB", 19));
    for (size_t page = 3; page < b.size() / 4096; page++)
        ASSERT_EQ(b[page * 4096], (page - 2) % 33 == 0 ? 0x04 : 0x01) << "data or index page " << page;

    ToolRun odd = RunTool(L"quillbrook-sample-db", {L"--size", L"5000", L"--out", Widen(dir / "c.mdb")});
    EXPECT_EQ(odd.exitCode, 2u);
    EXPECT_FALSE(qbtest::FileExists(dir / "c.mdb"));
}
} // namespace
