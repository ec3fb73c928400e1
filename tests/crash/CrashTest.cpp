// The unattended installer killed at random moments while it replaces a 64 MiB database with another:
// whatever the moment, the target holds exactly the old bytes or exactly the new ones, and a temporary
// file that a killed run leaves behind is gone after the next complete run.
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
