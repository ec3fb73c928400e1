// The unattended installer killed at random moments while it replaces a 64 MiB database with another:
// whatever the moment, the target holds exactly the old bytes or exactly the new ones, and a temporary
// file that a killed run leaves behind is gone after the next complete run. Where the database is written
// in place, a kill may leave it damaged, but only once its previous bytes are whole in a copy beside it.
//
// The moments come from one complete run, watched from outside: when the temporary file appears (the
// write begins), when it disappears (the move), and when the process ends. Kills are spread over the time
// before the write, the write and the move, and what comes after, by a seeded generator; the seed and
// every delay are printed, and QB_CRASH_SEED replays a run.
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
const int kKilledRuns = 30;
const unsigned kDefaultSeed = 20240109;
const DWORD kKilledExitCode = 255; // what ChildProcess::Kill gives to TerminateProcess

double NowMs()
{
    static LARGE_INTEGER frequency;
    if (frequency.QuadPart == 0)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return 1000.0 * (double)now.QuadPart / (double)frequency.QuadPart;
}

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

// When, after the installer starts, its temporary file appears and disappears, and when it ends.
struct Timeline
{
    double writeBegins = -1;
    double moved = -1;
    double ends = -1;
};

class Crash : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CreateDirectoryA(folder.c_str(), nullptr);
        ForgetExampleHost();
        SetRegString(HKEY_CURRENT_USER, kSettingsKey, "CheminBaseTarif", target);
        SetRegString(HKEY_LOCAL_MACHINE, kCountryKey, "Pays", "BE");
    }
    void TearDown() override { ForgetExampleHost(); }

    std::string Command() const { return Quote(package) + " /Automation"; }

    // Every run names its temporary file anew.
    bool TemporaryExists() const { return !TemporaryFilesOf(target).empty(); }
    void RemoveTemporaryFiles() const
    {
        for (const std::string& name : TemporaryFilesOf(target))
            DeleteFileA((folder + "\\" + name).c_str());
    }

    void RestoreOldDatabase() const
    {
        ASSERT_TRUE(CopyFileA(oldCopy.c_str(), target.c_str(), FALSE)) << GetLastError();
    }

    // One run to its end over the old database, with its temporary file watched as closely as polling
    // allows.
    Timeline WatchCompleteRun() const
    {
        Timeline timeline;
        ChildProcess run(Command());
        const double start = NowMs();
        while (!run.Wait(0))
        {
            const bool temporaryExists = TemporaryExists();
            const double at = NowMs() - start;
            if (temporaryExists && timeline.writeBegins < 0)
                timeline.writeBegins = at;
            if (!temporaryExists && timeline.writeBegins >= 0 && timeline.moved < 0)
                timeline.moved = at;
            if (at > 60000)
                break;
        }
        timeline.ends = NowMs() - start;
        EXPECT_TRUE(run.Wait(0)) << "the calibration run did not end within a minute";
        EXPECT_EQ(0u, run.ExitCode());
        return timeline;
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
    const std::string folder = dir / "Tarifs";
    const std::string target = folder + "\\Tarif.mdb";
    const std::string oldCopy = dir / "Old.mdb";
    std::string package;
    Contents oldContents, newContents;
};

// What a killed (or completed) run left, and whether it was killed at all.
struct Outcome
{
    bool killed;
    std::string target;
    bool temporaryLeft;
};
} // namespace

TEST_F(Crash, AKilledInstallLeavesTheOldOrTheNewDatabaseAndTheNextRunCleansUp)
{
    {
        Bytes newBytes = JetDatabase(kDatabaseSize, 11);
        newContents = ContentsOf(newBytes);
        package = MakePackage(dir.path(), ExampleContents(newBytes));
    }
    {
        Bytes oldBytes = JetDatabase(kDatabaseSize, 12);
        oldContents = ContentsOf(oldBytes);
        WriteFileBytes(oldCopy, oldBytes);
    }
    ASSERT_NE(oldContents, newContents);

    // The first run reads the package from the disk; the median of the next three is what the killed
    // runs will meet.
    Timeline timelines[4];
    for (Timeline& watched : timelines)
    {
        RestoreOldDatabase();
        watched = WatchCompleteRun();
        ASSERT_EQ("new", Describe(ContentsOf(target)));
        ASSERT_GE(watched.writeBegins, 0) << "the temporary file was never seen";
        if (watched.moved < 0)
            watched.moved = watched.ends;
    }
    auto median = [&](double Timeline::*field) {
        double values[3] = {timelines[1].*field, timelines[2].*field, timelines[3].*field};
        std::sort(values, values + 3);
        return values[1];
    };
    const Timeline timeline{median(&Timeline::writeBegins), median(&Timeline::moved),
                            median(&Timeline::ends)};
    const double moved = timeline.moved;
    printf("calibration: write begins at %.1f ms, moved at %.1f ms, process ends at %.1f ms\n",
           timeline.writeBegins, moved, timeline.ends);

    const char* seedText = getenv("QB_CRASH_SEED");
    const unsigned seed = seedText ? (unsigned)strtoul(seedText, nullptr, 10) : kDefaultSeed;
    printf("seed %u (set QB_CRASH_SEED to replay)\n", seed);
    std::mt19937 random(seed);

    // A third of the kills before the write, a third from the write to the move, a third after the move.
    // Little happens between the move and the end, so most of those find the process ended.
    const double phases[4] = {0, timeline.writeBegins, moved, timeline.ends * 1.15};
    std::vector<Outcome> outcomes;
    for (int i = 0; i < kKilledRuns; i++)
    {
        const int phase = i % 3;
        std::uniform_real_distribution<double> within(phases[phase], phases[phase + 1]);
        const double delay = within(random);

        // Each run starts without a leftover, so that a temporary file seen afterwards is its own.
        RemoveTemporaryFiles();
        RestoreOldDatabase();
        ChildProcess run(Command());
        const double start = NowMs();
        while (!run.Wait(0) && NowMs() - start < delay)
            Sleep(0);
        run.Kill();
        ASSERT_TRUE(run.Wait(10000));

        Outcome outcome{run.ExitCode() == kKilledExitCode, Describe(ContentsOf(target)), TemporaryExists()};
        printf("run %2d: kill after %6.1f ms: %s, target %s, temporary file %s\n", i + 1, delay,
               outcome.killed ? "killed" : "had ended", outcome.target.c_str(),
               outcome.temporaryLeft ? "left" : "absent");
        EXPECT_TRUE(outcome.target == "old" || outcome.target == "new")
            << "run " << i + 1 << " left the target " << outcome.target;
        if (!outcome.killed)
        {
            EXPECT_EQ(0u, run.ExitCode()) << "run " << i + 1;
            EXPECT_EQ("new", outcome.target) << "run " << i + 1;
            EXPECT_FALSE(outcome.temporaryLeft) << "run " << i + 1;
        }
        outcomes.push_back(outcome);
    }
    fflush(stdout);

    // Proof that the kills met the install at every stage: before it changed anything, while its
    // temporary file was there, and after the move.
    auto count = [&](auto predicate) {
        int n = 0;
        for (const Outcome& outcome : outcomes)
            n += predicate(outcome);
        return n;
    };
    EXPECT_GT(count([](const Outcome& o) { return o.killed && o.target == "old" && !o.temporaryLeft; }), 0);
    EXPECT_GT(count([](const Outcome& o) { return o.killed && o.temporaryLeft; }), 0);
    EXPECT_GT(count([](const Outcome& o) { return o.target == "new"; }), 0);

    // A killed run's temporary file, then a run to the end over the old database. The run is killed as
    // soon as its temporary file is seen: a delay from the calibration misses it whenever a busy machine
    // makes runs faster or slower than they were then.
    for (int attempt = 0; attempt < 10 && !TemporaryExists(); attempt++)
    {
        RestoreOldDatabase();
        ChildProcess run(Command());
        while (!run.Wait(0) && !TemporaryExists())
            Sleep(0);
        run.Kill();
    }
    ASSERT_TRUE(TemporaryExists()) << "no killed run left its temporary file";
    RestoreOldDatabase();
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
    // target may be damaged, but never before its previous bytes are whole in the copy beside it.
    {
        Bytes newBytes = JetDatabase(kDatabaseSize, 13);
        newContents = ContentsOf(newBytes);
        package = MakePackage(dir.path(), ExampleContents(newBytes));
    }
    {
        Bytes oldBytes = JetDatabase(kDatabaseSize, 14);
        oldContents = ContentsOf(oldBytes);
        WriteFileBytes(oldCopy, oldBytes);
    }
    RestoreOldDatabase();
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

    // One whole run, watched: when the copy is begun (under a temporary name), when it is whole (named
    // for what it is: the write in place begins), and when the run ends.
    double copyBegins = -1, copyWhole = -1, ends = -1;
    {
        ChildProcess run(Command());
        const double start = NowMs();
        while (!run.Wait(0) && NowMs() - start < 60000)
        {
            if (copyBegins < 0 && !named(".installing").empty())
                copyBegins = NowMs() - start;
            if (copyWhole < 0 && !copies().empty())
                copyWhole = NowMs() - start;
        }
        ends = NowMs() - start;
        ASSERT_TRUE(run.Wait(0));
        EXPECT_EQ(0u, run.ExitCode());
    }
    printf("calibration: copy begun at %.1f ms, whole at %.1f ms, run ends at %.1f ms\n", copyBegins,
           copyWhole, ends);
    ASSERT_EQ("new", Describe(ContentsOf(target)));
    ASSERT_TRUE(copies().empty()) << "a complete run leaves no copy";
    ASSERT_GE(copyWhole, 0) << "the copy was never seen";
    if (copyBegins < 0)
        copyBegins = copyWhole;

    // Each run is killed some time after it is seen to begin the copy, or after the copy is whole: the
    // kills meet the copy and the write whatever the machine's speed.
    std::mt19937 random(kDefaultSeed);
    int damagedWithCopy = 0, keptWithCopy = 0;
    for (int i = 0; i < 20; i++)
    {
        for (const std::string& copy : copies())
            DeleteFileA(copy.c_str());
        RestoreOldDatabase();
        const bool duringTheWrite = i % 2 == 1;
        const char* stage = duringTheWrite ? ".previous" : ".installing";
        const double span = duringTheWrite ? ends - copyWhole : copyWhole - copyBegins;
        const double delay = std::uniform_real_distribution<double>(0, span * 1.1)(random);
        ChildProcess run(Command());
        while (!run.Wait(0) && named(stage).empty())
            Sleep(0);
        const double seen = NowMs();
        while (!run.Wait(0) && NowMs() - seen < delay)
            Sleep(0);
        run.Kill();
        ASSERT_TRUE(run.Wait(10000));

        const std::string left = Describe(ContentsOf(target));
        const std::vector<std::string> copiesLeft = copies();
        const std::string copy = copiesLeft.empty() ? "none" : Describe(ContentsOf(copiesLeft[0]));
        printf("run %2d: kill %6.1f ms after the copy was %s: target %s, copy %s\n", i + 1, delay,
               duringTheWrite ? "whole" : "begun", left.c_str(), copy.c_str());
        EXPECT_LE(copiesLeft.size(), 1u);
        if (left != "old" && left != "new")
        {
            EXPECT_EQ("old", copy) << "run " << i + 1
                                   << " damaged the target without its previous bytes aside";
            damagedWithCopy++;
        }
        else if (!copiesLeft.empty())
        {
            EXPECT_EQ("old", copy) << "a copy is named for what it is only once it is whole";
            keptWithCopy++;
        }
    }
    fflush(stdout);
    printf("%d runs killed with the target damaged and its previous bytes aside, %d with a copy beside an "
           "intact target\n",
           damagedWithCopy, keptWithCopy);
    EXPECT_GT(damagedWithCopy, 0) << "no kill met the write in place";

    // A copy that a killed run left half-made goes with the next complete run; a whole one stays.
    RestoreOldDatabase();
    ChildProcess complete(Command());
    ASSERT_TRUE(complete.Wait(60000));
    EXPECT_EQ(0u, complete.ExitCode());
    EXPECT_EQ("new", Describe(ContentsOf(target)));
    std::vector<std::string> names = ListFolder(folder);
    std::erase_if(names, [](const std::string& name) { return name.find(".previous") != std::string::npos; });
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{"Other.mdb", "Tarif.mdb"}), names);
}
