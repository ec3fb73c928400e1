// Installing a price list, run after run as a user or a deployment would: the example release, a target
// held open by another process (for a moment or for good), a package without its database, the stale
// file and the date, and two runs at once. What the replaced file keeps is proved in AtomicFileTest.
#include "HostFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

using namespace qbtest;

namespace
{
class Install : public HostFixture
{
};
} // namespace

TEST_F(Install, TheExampleReleaseInstallsStepByStep)
{
    std::string folder = dir / "Dupont & Fils";
    CreateDirectoryA(folder.c_str(), nullptr);
    std::string target = folder + "\\Tarif.mdb";
    WriteFileBytes(target, oldBytes);
    WriteFileBytes(folder + "\\Stale.dat", Bytes(10, 1));
    CreateDirectoryA((dir / "Old").c_str(), nullptr);
    WriteFileBytes(dir / "Old\\Stale.dat", Bytes(10, 2));
    SetHost(target, dir / "Old\\Stale.dat");

    InstallerRun run(Example());
    HWND dialog = run.Dialog();
    ASSERT_NE(nullptr, dialog);
    std::vector<Control> controls = Children(dialog);
    EXPECT_EQ(target, FindControl(controls, 1002)->text);
    EXPECT_TRUE(FindControl(controls, 1002)->style & SS_NOPREFIX)
        << "the path shows its \"&\", underlines nothing";
    EXPECT_TRUE(FindControl(controls, IDOK)->visible);
    EXPECT_FALSE(FindControl(controls, 1001)->visible);

    InstallAndConfirm(run);
    EXPECT_EQ(0u, run.ExitCode());
    EXPECT_EQ(payload, ReadFileBytes(target));
    EXPECT_FALSE(FileExists(folder + "\\Stale.dat"));
    EXPECT_TRUE(FileExists(dir / "Old\\Stale.dat")) << "the folder the setting names is never touched";
    EXPECT_EQ("2024-01-09", StoredDate());
    EXPECT_EQ(std::vector<std::string>{"Tarif.mdb"}, ListFolder(folder)) << "nothing else is left behind";
}

TEST_F(Install, UnattendedInstallsWithoutAWindow)
{
    std::string target = dir / "Tarif.mdb";
    SetHost(target, std::string("Stale.dat"));
    WriteFileBytes(dir / "Stale.dat", Bytes(1, 1));

    EXPECT_EQ(0u, RunToEnd(Example(), "/Automation"));
    EXPECT_EQ(payload, ReadFileBytes(target));
    EXPECT_FALSE(FileExists(dir / "Stale.dat"));
    EXPECT_EQ("2024-01-09", StoredDate());
}

TEST_F(Install, MissingFoldersAreCreatedOverSeveralLevels)
{
    // Forward slashes separate folders as the system reads them.
    for (const std::string& folder : {dir / "A\\B\\C", dir / "Fwd/Sub"})
    {
        SetHost(folder + "\\Tarif.mdb");
        EXPECT_EQ(0u, RunToEnd(Example(), "-automation")) << folder;
        std::string backslashed = folder;
        std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
        EXPECT_EQ(payload, ReadFileBytes(backslashed + "\\Tarif.mdb"));
    }
}

TEST_F(Install, AskedToRetryWhileTheHostHoldsTheFile)
{
    std::string target = dir / "Tarif.mdb";
    WriteFileBytes(target, oldBytes);
    SetHost(target);
    FileHolder host(target);

    InstallerRun run(Example());
    HWND dialog = run.Dialog();
    ASSERT_NE(nullptr, dialog);
    run.Click(dialog, IDOK);

    // Asked again after every Retry while the file stays held, each time with the failure's description.
    for (int attempt = 0; attempt < 2; attempt++)
    {
        MessageBoxView question = run.WaitForMessageBox();
        ASSERT_TRUE(question);
        std::string expectedStart = "Couldn't open file " + target + "\n(";
        EXPECT_EQ(expectedStart, question.text.substr(0, expectedStart.size()));
        EXPECT_GT(question.text.size(), expectedStart.size() + 60);
        const std::string tail = ")\nPlease close Dravik before installing this pricelist";
        EXPECT_EQ(tail, question.text.substr(question.text.size() - tail.size()));
        EXPECT_EQ((std::vector<int>{IDRETRY, IDCANCEL}), question.buttons);
        EXPECT_NE(nullptr, question.icon);
        question.Press(IDRETRY);
        ASSERT_TRUE(WaitUntil([&] { return !IsWindow(question.hwnd); }));
    }

    host.Release();
    MessageBoxView last = run.WaitForMessageBox();
    ASSERT_TRUE(last);
    if (last.text != kSuccessText)
    {
        // The holder's exit and the Retry raced; one more Retry finds the file free.
        last.Press(IDRETRY);
        ASSERT_TRUE(WaitUntil([&] { return !IsWindow(last.hwnd); }));
        last = run.WaitForMessageBox();
    }
    EXPECT_EQ(kSuccessText, last.text);
    last.Press(IDOK);
    ASSERT_TRUE(run.WaitForExit());
    EXPECT_EQ(0u, run.ExitCode());
    EXPECT_EQ(payload, ReadFileBytes(target));
}

TEST_F(Install, CancelWhileTheFileIsHeldChangesNothing)
{
    std::string target = dir / "Tarif.mdb";
    WriteFileBytes(target, oldBytes);
    WriteFileBytes(dir / "Stale.dat", Bytes(1, 1));
    SetHost(target, std::string("C:\\Old\\Stale.dat"));
    {
        FileHolder host(target);
        InstallerRun run(Example());
        HWND dialog = run.Dialog();
        ASSERT_NE(nullptr, dialog);
        run.Click(dialog, IDOK);
        MessageBoxView question = run.WaitForMessageBox();
        ASSERT_TRUE(question);
        question.Press(IDCANCEL);
        ASSERT_TRUE(run.WaitForExit());
        EXPECT_EQ(4u, run.ExitCode());
        EXPECT_FALSE(run.HasWindow(run.Title())) << "no message after giving up";
    }
    EXPECT_EQ(oldBytes, ReadFileBytes(target));
    EXPECT_TRUE(FileExists(dir / "Stale.dat"));
    EXPECT_EQ("<absent>", StoredDate());
    EXPECT_TRUE(TemporaryFilesOf(target).empty());
}

TEST_F(Install, UnattendedTriesOnceAgainstAHeldFile)
{
    std::string target = dir / "Tarif.mdb";
    WriteFileBytes(target, oldBytes);
    SetHost(target);
    FileHolder host(target);

    EXPECT_EQ(4u, RunToEnd(Example(), "/AUTOMATION"));
    host.Release();
    EXPECT_EQ(oldBytes, ReadFileBytes(target));
    EXPECT_EQ("<absent>", StoredDate());
}

TEST_F(Install, ADatabaseAlreadyInPlaceIsLeftAloneWhileTheHostHasItOpen)
{
    // Another workstation of the office installed it on the shared folder; Dravik has it open here.
    std::string target = dir / "Tarif.mdb";
    WriteFileBytes(target, payload);
    WriteFileBytes(dir / "Stale.dat", Bytes(1, 1));
    SetHost(target, std::string("Stale.dat"));
    auto identity = [&] {
        const BY_HANDLE_FILE_INFORMATION info = FileInformation(target);
        return std::make_tuple(info.nFileIndexHigh, info.nFileIndexLow, info.ftLastWriteTime.dwHighDateTime,
                               info.ftLastWriteTime.dwLowDateTime);
    };
    const auto before = identity();
    {
        FileHolder host(target, true);
        EXPECT_EQ(0u, RunToEnd(Example(), "/Automation"));
        EXPECT_EQ("2024-01-09", StoredDate());
        EXPECT_FALSE(FileExists(dir / "Stale.dat"));

        ForgetExampleHost();
        SetHost(target);
        InstallerRun run(Example());
        HWND dialog = run.Dialog();
        ASSERT_NE(nullptr, dialog);
        run.Click(dialog, IDOK);
        MessageBoxView done = run.WaitForMessageBox();
        ASSERT_TRUE(done);
        EXPECT_EQ(kSuccessText, done.text) << "no retry question";
        done.Press(IDOK);
        ASSERT_TRUE(run.WaitForExit());
        EXPECT_EQ(0u, run.ExitCode());
    }
    EXPECT_EQ(before, identity()) << "the same file, not written";
    EXPECT_EQ(payload, ReadFileBytes(target));

    // A compressed package knows its database by size and hash, without decoding it: the same bytes are
    // left alone while held, other bytes of the same size are replaced (here, having a second name, written
    // in place).
    PackageContents compressed = ExampleContents(payload);
    compressed.compress = true;
    const std::string compressedPackage = MakePackage(dir.path(), compressed, "Compressed.exe");
    {
        FileHolder host(target, true);
        EXPECT_EQ(0u, RunToEnd(compressedPackage, "/Automation"));
    }
    EXPECT_EQ(before, identity()) << "the same file, not written";
    Bytes other = payload;
    other[payload.size() / 2] ^= 1;
    WriteFileBytes(target, other);
    ASSERT_TRUE(CreateHardLinkA((dir / "Other.mdb").c_str(), target.c_str(), nullptr));
    EXPECT_EQ(0u, RunToEnd(compressedPackage, "/Automation"));
    EXPECT_EQ(payload, ReadFileBytes(dir / "Other.mdb"));

    // Held so that it cannot even be read: as any held file.
    FileHolder host(target);
    EXPECT_EQ(4u, RunToEnd(Example(), "/Automation"));
}

TEST_F(Install, ALogSaysWhatARunDidAndWhy)
{
    std::string target = dir / "Tarif.mdb";
    WriteFileBytes(target, oldBytes);
    SetHost(target);
    const std::string log = dir / "deploy log.txt";
    auto logText = [&] {
        Bytes bytes = ReadFileBytes(log);
        return std::string(bytes.begin(), bytes.end());
    };
    {
        // Dravik holds the file: which path, from which setting, and what the system said.
        FileHolder host(target);
        EXPECT_EQ(4u, RunToEnd(Example(), "/Automation \"/Log=" + log + "\""));
    }
    std::string text = logText();
    // Each line says one thing; a value's place has one backslash before its name, and the hive it was
    // read from ("Pays" is in the machine's hive only, though the user's has its key).
    for (const std::string& line :
         {"setting HKEY_CURRENT_USER\\" + std::string(kSettingsKey) + "\\CheminBaseTarif: \"" + target +
              "\"\r\n",
          "setting HKEY_LOCAL_MACHINE\\" + std::string(kCountryKey) + "Pays: \"BE\"\r\n",
          std::string("country check: passed\r\n"),
          std::string("package: 704512 bytes of database; integrity check: passed\r\n")})
        EXPECT_NE(std::string::npos, text.find(line)) << line << text;
    EXPECT_NE(std::string::npos, text.find("opening the target, try 1: ")) << text;
    EXPECT_NE(std::string::npos, text.find("(error 32)")) << "the sharing violation\n" << text;
    EXPECT_NE(std::string::npos, text.find("outcome: status 4: ")) << text;
    EXPECT_NE(std::string::npos, text.find("RedirectionGuard: ")) << "whether it is on\n" << text;
    EXPECT_EQ(std::string::npos, text.find(" version unknown,")) << "the version read from the executable";

    // A run that succeeds appends its own block, which ends with its outcome. A folder under the name of a
    // killed run's leftover is no leftover, and is said to stay.
    const std::string planted = target + ".0123456789ABCDEF.installing";
    CreateDirectoryA(planted.c_str(), nullptr);
    EXPECT_EQ(0u, RunToEnd(Example(), Quote("-log=" + log) + " /Automation"));
    text = logText();
    size_t second = text.rfind("==== ");
    ASSERT_NE(std::string::npos, second);
    EXPECT_NE(0u, second) << "appended, not overwritten";
    EXPECT_NE(std::string::npos, text.find(planted + ": not a file this program made, left alone", second));
    EXPECT_NE(std::string::npos, text.find("database written: 704512 bytes", second)) << text;
    EXPECT_NE(std::string::npos, text.find("setting HKEY_LOCAL_MACHINE\\" + std::string(kCountryKey) +
                                               "date_creation_tarif = \"2024-01-09\": stored",
                                           second))
        << text;
    EXPECT_EQ("outcome: status 0: installed\r\n", text.substr(text.rfind("outcome:")));

    // A log that cannot be written changes nothing.
    WriteFileBytes(target, oldBytes);
    EXPECT_EQ(0u, RunToEnd(Example(), "/Automation /Log=" + dir / "no such folder\\q.log"));
    EXPECT_EQ(payload, ReadFileBytes(target));
}

TEST_F(Install, TheDefaultLogIsTakenOnlyWhereItIsTheAccountsOwnFile)
{
    // The temporary folder is the system account's shared one on a deployed machine: a user may have made
    // the log's name there first, here as a second name of a file of his, to read or spoil every later log.
    std::string target = dir / "Tarif.mdb";
    SetHost(target);
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string planted = std::string(temp) + "PricelistSetup.log", users = dir / "Users.txt";
    WriteFileBytes(users, Bytes(3, 'u'));
    DeleteFileA(planted.c_str());
    ASSERT_TRUE(CreateHardLinkA(planted.c_str(), users.c_str(), nullptr));
    const std::vector<std::string> before = ListFolder(temp);
    EXPECT_EQ(0u, RunToEnd(Example(), "/Automation /Log"));
    EXPECT_EQ(Bytes(3, 'u'), ReadFileBytes(users)) << "nothing written through the planted name";
    std::vector<std::string> logs;
    for (const std::string& name : ListFolder(temp))
        if (std::find(before.begin(), before.end(), name) == before.end())
            logs.push_back(std::string(temp) + name);
    ASSERT_EQ(1u, logs.size()) << "a new name beside it";
    const Bytes log = ReadFileBytes(logs[0]);
    EXPECT_NE(std::string::npos, std::string(log.begin(), log.end()).find("outcome: status 0: installed"));
    DeleteFileA(planted.c_str());
    DeleteFileA(logs[0].c_str());
}

TEST_F(Install, UnattendedWaitsOutAReaderThatLooksForAMoment)
{
    // As an indexer or a backup tool looks at a file: open for its attributes alone, with every kind of
    // sharing. The run can still take the target and write its new file beside it, but not move that file
    // over the target while the look lasts. The look ends once the run is seen waiting there (it has let
    // the target go, its new file is still there), alive and with the target unchanged.
    std::string target = dir / "Tarif.mdb";
    WriteFileBytes(target, oldBytes);
    SetHost(target);
    std::string package = Example();
    const DWORD everyone = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE look =
        CreateFileA(target.c_str(), FILE_READ_ATTRIBUTES, everyone, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, look);
    InstallerRun run(package, "/Automation");
    // Waiting at the move: its new file is there before and after the target opens for reading, which it
    // does only once the run has let it go.
    auto waitingAtTheMove = [&] {
        if (TemporaryFilesOf(target).size() != 1)
            return false;
        HANDLE reader =
            CreateFileA(target.c_str(), GENERIC_READ, everyone, nullptr, OPEN_EXISTING, 0, nullptr);
        if (reader == INVALID_HANDLE_VALUE)
            return false;
        CloseHandle(reader);
        return TemporaryFilesOf(target).size() == 1;
    };
    EXPECT_TRUE(WaitUntil([&] { return !run.Running() || !run.ShownWindow().empty() || waitingAtTheMove(); }))
        << "the run was never seen waiting at the move";
    EXPECT_EQ("", run.ShownWindow());
    EXPECT_TRUE(run.Running()) << "ended with status " << run.ExitCode() << " before the look did";
    EXPECT_EQ(oldBytes, ReadFileBytes(target));
    EXPECT_EQ(1u, TemporaryFilesOf(target).size());
    CloseHandle(look);
    ASSERT_TRUE(run.WaitForExitShowingNothing());
    EXPECT_EQ(0u, run.ExitCode());
    EXPECT_EQ(payload, ReadFileBytes(target));
    EXPECT_TRUE(TemporaryFilesOf(target).empty());
}

TEST_F(Install, TwoUnattendedRunsAtOnceLeaveTheNewDatabaseAndNoTemporaryFile)
{
    std::string target = dir / "Tarif.mdb";
    const Bytes large = JetDatabase(64u << 20, 8);
    std::string package = Example(ExampleContents(large));
    SetHost(target);
    for (int round = 0; round < 3; round++)
    {
        SCOPED_TRACE(round);
        WriteFileBytes(target, oldBytes);
        InstallerRun first(package, "/Automation"), second(package, "/Automation");
        ASSERT_TRUE(first.WaitForExitShowingNothing(60000));
        ASSERT_TRUE(second.WaitForExitShowingNothing(60000));
        // 0: it installed; 4: the other run held the file for longer than the waits.
        const DWORD statuses[2] = {first.ExitCode(), second.ExitCode()};
        for (DWORD status : statuses)
            EXPECT_TRUE(status == 0 || status == 4) << status;
        EXPECT_TRUE(statuses[0] == 0 || statuses[1] == 0);
        printf("round %d: statuses %lu and %lu\n", round, statuses[0], statuses[1]);
        EXPECT_TRUE(ReadFileBytes(target) == large);
        EXPECT_TRUE(TemporaryFilesOf(target).empty());
    }
}

namespace
{
// A copy of the package with one byte changed: the one `offset` bytes into the only place where `marker`
// stands, as damage on the way to the user would change it.
std::string DamagedCopy(const std::string& package, const Bytes& marker, size_t offset,
                        const std::string& name)
{
    Bytes bytes = ReadFileBytes(package);
    auto at = std::search(bytes.begin(), bytes.end(), marker.begin(), marker.end());
    if (at == bytes.end() || std::search(at + 1, bytes.end(), marker.begin(), marker.end()) != bytes.end())
        throw std::runtime_error(name + ": the marker is not in the package exactly once");
    at[offset] ^= 0x01;
    std::string copy = package.substr(0, package.rfind('\\') + 1) + name + ".exe";
    WriteFileBytes(copy, bytes);
    return copy;
}

Bytes Utf16(const std::string& text)
{
    Bytes bytes;
    for (char ch : text)
        bytes.insert(bytes.end(), {(unsigned char)ch, 0});
    return bytes;
}
} // namespace

TEST_F(Install, AnIncompleteOrDamagedPackageSaysSoAndTouchesNothing)
{
    std::string target = dir / "Never\\Tarif.mdb";
    SetHost(target);
    PackageContents contents = ExampleContents(payload);
    contents.database.reset();
    std::string good = Example();
    // A package whose compressed database is the given frame (--raw MDZ:129), beside the stored one or not.
    const Bytes marker = {'C', 'o', 'm', 'p', 'r', 'e', 's', 's', 'e',
                          'd', ' ', 'p', 'r', 'i', 'c', 'e', 's'};
    const Bytes frame = HandMadeFrame(marker);
    auto Compressed = [&, settings = contents](const Bytes& frame, bool stored,
                                               const std::string& name = "Compressed.exe") {
        PackageContents withFrame = settings;
        if (stored)
            withFrame.database = payload;
        withFrame.raw.push_back({"MDZ:129", frame});
        return MakePackage(dir.path(), withFrame, name);
    };
    // A damaged package is refused first, before its settings lead anywhere: a damaged country would be
    // refused as another country's, a damaged settings key would find no path and ask for one.
    const struct
    {
        std::string package;
        bool damaged;
    } packages[] = {
        {MakePackage(dir.path(), contents, "NoDatabase.exe"), false},
        {DamagedCopy(good, Bytes(payload.begin(), payload.begin() + 32), 25, "PayloadByte"), true},
        {DamagedCopy(good, Utf16("2024-01-09"), 4, "SettingByte"), true},
        {DamagedCopy(good, Utf16(std::string("BE\0", 3)), 0, "CountryByte"), true},
        {DamagedCopy(good, Utf16("Serveurs"), 0, "SettingsKeyByte"), true},
        {DamagedCopy(good, Bytes{'Q', 'B', 'I', 1}, 5, "IntegrityByte"), true},
        // The entry's type name in the resource directory ("SUM", counted UTF-16): no entry is found.
        {DamagedCopy(good, Bytes{3, 0, 'S', 0, 'U', 0, 'M', 0}, 6, "IntegrityEntryGone"), true},
        // Compressed: a damaged frame, and frames whose integrity entry matches but that the generator
        // never makes: cut short, without the decoded size, with a window beyond 8 MiB, or beside a
        // stored database.
        {DamagedCopy(Compressed(HandMadeFrame(marker), false), marker, 3, "FrameByte"), true},
        {Compressed(Bytes(frame.begin(), frame.end() - 1), false, "CutShort.exe"), true},
        {Compressed(HandMadeFrame(marker, false), false, "NoSize.exe"), true},
        {Compressed(HandMadeFrame(marker, true, 24), false, "LargeWindow.exe"), true},
        {Compressed(frame, true, "BothDatabases.exe"), true},
    };
    for (const auto& [package, damaged] : packages)
    {
        SCOPED_TRACE(package);
        InstallerRun run(package);
        if (!damaged)
        {
            // Generated without a database, but whole: refused when Install is pressed.
            HWND dialog = run.Dialog();
            ASSERT_NE(nullptr, dialog);
            run.Click(dialog, IDOK);
        }
        MessageBoxView message = run.WaitForMessageBox();
        ASSERT_TRUE(message);
        EXPECT_EQ("This Pricelist Setup has been incorrectly generated, setup aborted.", message.text);
        EXPECT_EQ(!damaged, run.HasWindow("Marlowen"));
        message.Press(IDOK);
        ASSERT_TRUE(run.WaitForExit());
        EXPECT_EQ(3u, run.ExitCode());
        EXPECT_EQ(3u, RunToEnd(package, "/Automation"));
    }
    EXPECT_FALSE(FileExists(dir / "Never"));
    EXPECT_EQ("<absent>", StoredDate());

    // A package stamped by a tool that knows nothing of the integrity entry keeps the fixed executable's
    // placeholder, and installs as before.
    contents = ExampleContents(payload);
    contents.raw.push_back({"SUM:142", Bytes{'Q', 'B', 'I', 0, 0, 0, 0, 0}});
    EXPECT_EQ(0u, RunToEnd(Example(contents), "/Automation"));
    EXPECT_EQ(payload, ReadFileBytes(target));
    // Any standard frame within the limits installs, not only the generator's own.
    EXPECT_EQ(0u, RunToEnd(Compressed(frame, false), "/Automation"));
    EXPECT_EQ(marker, ReadFileBytes(target));
}

TEST_F(Install, AnEmptyDatabaseGivesAnEmptyFile)
{
    std::string target = dir / "Tarif.mdb";
    WriteFileBytes(target, oldBytes);
    SetHost(target);
    EXPECT_EQ(0u, RunToEnd(Example(ExampleContents(Bytes())), "/Automation"));
    EXPECT_TRUE(ReadFileBytes(target).empty());
}
