// The unattended installer killed while it replaces a 64 MiB database with another: whatever the moment,
// the target holds exactly the old bytes or exactly the new ones, and a temporary file that a killed run
// leaves behind is gone after the next complete run. Where the database is written in place, a kill may
// leave it damaged, but only once its previous bytes are whole in a copy beside it. Half of the runs
// install the same database compressed, decoded as it is written.
//
// The database sits on drive H: (tests/scripts/held-volume.sh), which holds a run inside a read or a
// write of a file that the test names, so that each kill meets the very step it is meant for, however
// fast or slow the machine is: a clock cannot do that, as a 64 MiB write lands in the page cache in a few
// milliseconds. Where in the file a run is held is drawn by a seeded generator; the seed and every offset
// are printed, and QB_CRASH_SEED replays a run. The same drive fails the reads of a package run from it
// after N bytes, as a share that drops under a running package: the run ends with a status, not an exception.
#include "Packages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

using namespace qbtest;

namespace
{
const size_t kDatabaseSize = 64u << 20;
const unsigned kDefaultSeed = 20240109;
const DWORD kKilledExitCode = 255; // what ChildProcess::Kill gives to TerminateProcess
const char kVolume[] = "H:\\";
const char kHold[] = "H:\\hold";                    // "read|write PATTERN N": the call to hold
const char kHeld[] = "H:\\held";                    // there while a call is held
const char kFail[] = "H:\\fail";                    // "PATTERN N": reads fail once N bytes were read
const char kTemporary[] = "Tarif.mdb.*.installing"; // a temporary file, or a copy not yet whole

// A file's contents summed up: enough to tell the old database, the new one and anything else apart
// without reading 64 MiB into the test's memory on every run.
struct Contents
{
    bool exists = false;
    uint64_t size = 0;
    uint64_t hash = 0;

    bool operator==(const Contents&) const = default;
};

uint64_t Fnv1a(const unsigned char* data, size_t size)
{
    uint64_t hash = 14695981039346656037ull;
    size_t i = 0;
    for (; i + 4 <= size; i += 4)
    {
        uint32_t word;
        memcpy(&word, data + i, sizeof word);
        hash = (hash ^ word) * 1099511628211ull;
    }
    for (; i < size; i++)
        hash = (hash ^ data[i]) * 1099511628211ull;
    return hash;
}

Contents ContentsOf(const Bytes& bytes)
{
    return Contents{true, bytes.size(), Fnv1a(bytes.data(), bytes.size())};
}

Contents ContentsOf(const std::string& path)
{
    Contents contents;
    HANDLE file =
        CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return contents;
    contents.exists = true;
    contents.size = GetFileSize(file, nullptr);
    if (contents.size != 0)
    {
        HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
        const void* view = mapping ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
        if (view == nullptr)
            ADD_FAILURE() << "cannot map " << path;
        else
            contents.hash = Fnv1a((const unsigned char*)view, (size_t)contents.size);
        if (view)
            UnmapViewOfFile(view);
        if (mapping)
            CloseHandle(mapping);
    }
    CloseHandle(file);
    return contents;
}

class Crash : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!FileExists(kVolume))
            GTEST_SKIP() << "No drive H: to hold the installer inside a write ("
                         << VolumeRefusal("held-volume") << ").";
        RemoveTree(folder);
        CreateDirectoryA(folder.c_str(), nullptr);
        ForgetExampleHost();
        SetRegString(HKEY_CURRENT_USER, kSettingsKey, "CheminBaseTarif", target);
        SetRegString(HKEY_LOCAL_MACHINE, kCountryKey, "Pays", "BE");
        const char* seedText = getenv("QB_CRASH_SEED");
        const unsigned seed = seedText ? (unsigned)strtoul(seedText, nullptr, 10) : kDefaultSeed;
        printf("seed %u (set QB_CRASH_SEED to replay)\n", seed);
        random.seed(seed);
    }
    void TearDown() override
    {
        ForgetExampleHost();
        RemoveTree(folder);
    }

    // The packages of one database, stored and compressed, and the other at the target.
    void MakeDatabases(unsigned newSeed, unsigned oldSeed)
    {
        {
            Bytes newBytes = JetDatabase(kDatabaseSize, newSeed);
            newContents = ContentsOf(newBytes);
            PackageContents contents = ExampleContents(newBytes);
            packages[0] = MakePackage(dir.path(), contents);
            // Noise, which the generator's frame would carry in stored blocks too: made so at once.
            contents.database.reset();
            contents.raw.push_back({"MDZ:129", HandMadeFrame(newBytes)});
            packages[1] = MakePackage(dir.path(), contents, "Compressed.exe");
        }
        Bytes oldBytes = JetDatabase(kDatabaseSize, oldSeed);
        oldContents = ContentsOf(oldBytes);
        WriteFileBytes(oldCopy, oldBytes);
        RestoreOldDatabase();
    }

    std::string Command() const { return Quote(packages[compressed]) + " /Automation"; }

    // Every run names its temporary file anew.
    bool TemporaryExists() const { return !TemporaryFilesOf(target).empty(); }
    void RemoveTemporaryFiles() const
    {
        for (const std::string& name : TemporaryFilesOf(target))
            DeleteFileA((folder + "\\" + name).c_str());
    }

    // Over the target's own file, which keeps its other names.
    void RestoreOldDatabase() const
    {
        if (ContentsOf(target) != oldContents)
        {
            ASSERT_TRUE(CopyFileA(oldCopy.c_str(), target.c_str(), FALSE)) << GetLastError();
        }
    }

    // Past the signature, which both databases begin with: a write held there has changed the file.
    uint64_t AnyByte() { return std::uniform_int_distribution<uint64_t>(4096, kDatabaseSize - 1)(random); }

    // A run held in its read or write ("read", "write") of byte at of a file named like pattern (with *
    // and ?), and killed there; the held call then fails, which nobody sees. False when the run ended
    // without making that call.
    bool KillHeld(const char* call, const std::string& pattern, uint64_t at) const
    {
        const std::string hold = std::string(call) + " " + pattern + " " + std::to_string(at);
        WriteFileBytes(kHold, Bytes(hold.begin(), hold.end()));
        ChildProcess run(Command());
        const ULONGLONG start = GetTickCount64();
        while (!FileExists(kHeld) && !run.Wait(1) && GetTickCount64() - start < 60000)
            ;
        const bool held = FileExists(kHeld);
        run.Kill();
        // The volume lets the call go once the kernel tells it of the kill: it never reaches the disk.
        while (FileExists(kHeld))
            Sleep(1);
        DeleteFileA(kHold);
        return held;
    }

    // A run killed once its temporary file has come and gone (the move is made), or left to its end.
    bool KillAfterTheMove() const
    {
        ChildProcess run(Command());
        const ULONGLONG start = GetTickCount64();
        bool seen = false;
        while (!run.Wait(1) && !(seen && !TemporaryExists()) && GetTickCount64() - start < 60000)
            seen = seen || TemporaryExists();
        run.Kill();
        EXPECT_TRUE(run.ExitCode() == 0 || run.ExitCode() == kKilledExitCode) << run.ExitCode();
        return run.ExitCode() == kKilledExitCode;
    }

    std::string Describe(const Contents& contents) const
    {
        if (!contents.exists)
            return "missing";
        if (contents == newContents)
            return "new";
        if (contents == oldContents)
            return "old";
        char text[80];
        snprintf(text, sizeof text, "NEITHER (%llu bytes, hash %016llx)", (unsigned long long)contents.size,
                 (unsigned long long)contents.hash);
        return text;
    }

    ScopedTempDir dir{"crash"};
    const std::string folder = std::string(kVolume) + "Tarifs";
    const std::string target = folder + "\\Tarif.mdb";
    const std::string oldCopy = dir / "Old.mdb";
    std::string packages[2];
    bool compressed = false; // the runs install the compressed package, decoded as it is written
    Contents oldContents, newContents;
    std::mt19937 random;
};
} // namespace

TEST_F(Crash, AKilledInstallLeavesTheOldOrTheNewDatabaseAndTheNextRunCleansUp)
{
    MakeDatabases(11, 12);

    // Killed before anything changed (held in its first read of the target), while the new database is
    // written (held at any byte of its temporary file), and after the move.
    for (int i = 0; i < 12; i++)
    {
        // Each run starts without a leftover, so that a temporary file seen afterwards is its own.
        RemoveTemporaryFiles();
        RestoreOldDatabase();
        const int stage = i % 3;
        compressed = i / 3 % 2 == 1;
        std::string when = "after the move";
        bool killed = true;
        if (stage == 0)
        {
            when = "in its first read of the target";
            EXPECT_TRUE(KillHeld("read", "Tarif.mdb", 0)) << "the run never read the target";
        }
        else if (stage == 1)
        {
            const uint64_t at = AnyByte();
            when = "at byte " + std::to_string(at) + " of its temporary file";
            EXPECT_TRUE(KillHeld("write", kTemporary, at)) << "the run never wrote its temporary file";
        }
        else
            killed = KillAfterTheMove();

        const std::string left = Describe(ContentsOf(target));
        const bool temporaryLeft = TemporaryExists();
        printf("run %2d%s: %s %s: target %s, temporary file %s\n", i + 1, compressed ? " (compressed)" : "",
               killed ? "killed" : "ended", when.c_str(), left.c_str(), temporaryLeft ? "left" : "absent");
        EXPECT_EQ(stage == 2 ? "new" : "old", left) << "run " << i + 1;
        EXPECT_EQ(stage == 1, temporaryLeft) << "run " << i + 1;
    }
    fflush(stdout);

    // A killed run's temporary file, then a run to the end over the old database.
    RestoreOldDatabase();
    ASSERT_TRUE(KillHeld("write", kTemporary, AnyByte()));
    ASSERT_TRUE(TemporaryExists()) << "the killed run left no temporary file";
    ChildProcess complete(Command());
    ASSERT_TRUE(complete.Wait(60000));
    EXPECT_EQ(0u, complete.ExitCode());
    EXPECT_EQ("new", Describe(ContentsOf(target)));
    EXPECT_EQ(std::vector<std::string>{"Tarif.mdb"}, ListFolder(folder))
        << "the complete run left the temporary file of a killed one, or another";
}

TEST_F(Crash, AKilledWriteInPlaceLeavesTheOldOrTheNewDatabaseOrItsPreviousBytesAside)
{
    // A second hard link makes the target be written in place: killed in the middle of that write, the
    // target is damaged, but never before its previous bytes are whole in the copy beside it.
    MakeDatabases(13, 14);
    ASSERT_TRUE(CreateHardLinkA((folder + "\\Other.mdb").c_str(), target.c_str(), nullptr));
    auto named = [&](const char* suffix) {
        std::vector<std::string> found;
        const size_t length = strlen(suffix);
        for (const std::string& name : ListFolder(folder))
            if (name.size() > length && name.compare(name.size() - length, length, suffix) == 0)
                found.push_back(folder + "\\" + name);
        return found;
    };
    auto copies = [&] { return named(".previous"); };

    // Held at any byte of the copy (whatever its name: a temporary one until it is whole), or of the
    // target.
    for (int i = 0; i < 10; i++)
    {
        for (const std::string& copy : copies())
            DeleteFileA(copy.c_str());
        RestoreOldDatabase();
        const bool duringTheWrite = i % 2 == 1;
        compressed = i / 2 % 2 == 1;
        const uint64_t at = AnyByte();
        ASSERT_TRUE(KillHeld("write", duringTheWrite ? "Tarif.mdb" : "Tarif.mdb.*", at))
            << "run " << i + 1 << " never wrote " << (duringTheWrite ? "the target" : "the copy");

        const std::string left = Describe(ContentsOf(target));
        const std::vector<std::string> copiesLeft = copies();
        const std::string copy = copiesLeft.empty() ? "none" : Describe(ContentsOf(copiesLeft[0]));
        printf("run %2d%s: killed at byte %8llu of the %s: target %s, copy %s\n", i + 1,
               compressed ? " (compressed)" : "", (unsigned long long)at, duringTheWrite ? "target" : "copy",
               left.c_str(), copy.c_str());
        if (duringTheWrite)
        {
            EXPECT_TRUE(left != "old" && left != "new") << "run " << i + 1 << " left the target " << left;
            EXPECT_EQ(1u, copiesLeft.size()) << "run " << i + 1;
            EXPECT_EQ("old", copy) << "run " << i + 1
                                   << " damaged the target without its previous bytes aside";
        }
        else
        {
            EXPECT_EQ("old", left) << "run " << i + 1;
            EXPECT_TRUE(copiesLeft.empty()) << "a copy is named for what it is only once it is whole";
        }
    }

    // A copy that a killed run left half-made goes with the next complete run; a whole one stays.
    ASSERT_EQ(1u, copies().size());
    const std::string whole = copies()[0];
    RestoreOldDatabase();
    ASSERT_TRUE(KillHeld("write", kTemporary, AnyByte()));
    ASSERT_EQ(1u, named(".installing").size());
    ChildProcess complete(Command());
    ASSERT_TRUE(complete.Wait(60000));
    EXPECT_EQ(0u, complete.ExitCode());
    EXPECT_EQ("new", Describe(ContentsOf(target)));
    EXPECT_EQ("old", Describe(ContentsOf(whole)));
    std::vector<std::string> names = ListFolder(folder);
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{"Other.mdb", "Tarif.mdb", whole.substr(folder.size() + 1)}), names);
}

TEST_F(Crash, APackageWhoseShareDropsEndsWithAStatusNotAnException)
{
    // A package on the drive is read through it as its pages are first touched, as from a share; the reads
    // fail after N bytes, as when the share drops: in the integrity check, in the comparison with a target
    // that holds nearly its database, or in the write itself (a package stamped without a checksum is not
    // read before), which the system fails with an error.
    const Bytes database = JetDatabase(9u << 20, 15);
    PackageContents contents = ExampleContents(database);
    const std::string stamped = MakePackage(folder, contents, "Stamped.exe");
    contents.raw.push_back({"SUM:142", Bytes{'Q', 'B', 'I', 0, 0, 0, 0, 0}});
    const std::string unstamped = MakePackage(folder, contents, "Unstamped.exe");
    Bytes nearly = database;
    nearly.back() ^= 1;
    const std::string log = dir / "runs.log";
    const struct
    {
        const std::string& package;
        const char* failAfter;
        const Bytes& target;
        DWORD status;
    } runs[] = {{stamped, "2097152", nearly, 3},
                {stamped, "6291456", nearly, 3},
                {stamped, "8808038", nearly, 3},
                {unstamped, "2097152", nearly, 3},
                {unstamped, "2097152", Bytes(1000, 7), 5}};
    for (const auto& r : runs)
    {
        SCOPED_TRACE(r.package + " failing after " + r.failAfter);
        WriteFileBytes(target, r.target);
        const std::string fail = r.package.substr(folder.size() + 1) + " " + r.failAfter;
        WriteFileBytes(kFail, Bytes(fail.begin(), fail.end()));
        ChildProcess run(Quote(r.package) + " /Automation " + Quote("/Log=" + log));
        EXPECT_TRUE(run.Wait(60000));
        DeleteFileA(kFail);
        EXPECT_EQ(r.status, run.ExitCode());
        EXPECT_TRUE(ContentsOf(target) == ContentsOf(r.target));
        const Bytes written = ReadFileBytes(log);
        const std::string text(written.begin(), written.end());
        EXPECT_NE(std::string::npos, text.find(r.status == 3 ? "package: could not be read ("
                                                             : "the database could not be written (",
                                               text.rfind("====")))
            << text;
    }
}
