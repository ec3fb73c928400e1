// The package as a file: the generator stamps bases of several shapes in-process, and each package is
// checked against its base field by field, its resource tree against what the loader's search needs.
#include "NativeSupport.h"
#include "pack/Options.h"
#include "pack/PackError.h"
#include "pack/ResourceTree.h"
#include "pack/Show.h"
#include "pack/Stamp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

using namespace native;

namespace
{
struct Stamped
{
    Bytes file; // empty when refused
    PackError error;
};

// Makes a package of `base` with the given options, as the command line would, in a folder of its own.
Stamped Stamp(const TempDir& dir, const Bytes& base, std::vector<std::string> args)
{
    WriteBytes(dir / "base.exe", base);
    args.insert(args.begin(), {"--base", dir / "base.exe", "--out", dir / "P.exe"});
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    Stamped stamped = {{}, {"", 0}};
    try
    {
        MakePackage(ParseOptions(args));
        stamped.file = ReadBytes(dir / "P.exe");
    }
    catch (const PackError& error)
    {
        stamped.error = error;
    }
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    return stamped;
}

uint32_t Field(const Bytes& file, size_t at)
{
    return pe::Get32(file.data() + at);
}

// The PE checksum as the format defines it, a word at a time with its carry folded in at once.
uint32_t TrueChecksum(Bytes file, size_t checksumAt)
{
    pe::Put32(file.data() + checksumAt, 0);
    uint32_t sum = 0;
    for (size_t i = 0; i < file.size(); i += 2)
    {
        sum += file[i] | (i + 1 < file.size() ? file[i + 1] << 8 : 0);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return sum + (uint32_t)file.size();
}

// Every directory of the tree as the loader's binary search needs it: named entries first, then numbered
// ones, each group strictly ascending; every piece of data on 8 bytes.
void ExpectSearchable(const PeImage& image)
{
    const DataDirectory resources = image.directory(pe::kResourceDirectory);
    const Section& section = image.section(image.SectionContaining(resources.address));
    const uint8_t* root = image.data() + section.rawOffset + (resources.address - section.virtualAddress);
    std::function<void(uint32_t, int)> walk = [&](uint32_t offset, int level) {
        const uint8_t* directory = root + offset;
        const uint32_t named = pe::Get16(directory + 12), count = named + pe::Get16(directory + 14);
        std::u16string previousName;
        int previousId = -1;
        for (uint32_t i = 0; i < count; i++)
        {
            const uint8_t* entry = directory + 16 + 8 * i;
            const uint32_t name = pe::Get32(entry), target = pe::Get32(entry + 4);
            ASSERT_EQ((name >> 31) != 0, i < named) << "level " << level << ", entry " << i;
            if (i < named)
            {
                const uint8_t* text = root + (name & 0x7FFFFFFF);
                std::u16string current;
                for (uint16_t k = 0; k < pe::Get16(text); k++)
                    current += (char16_t)pe::Get16(text + 2 + 2 * k);
                EXPECT_TRUE(i == 0 || previousName < current) << "level " << level << ", entry " << i;
                previousName = current;
            }
            else
            {
                EXPECT_GT((int)name, previousId) << "level " << level << ", entry " << i;
                previousId = (int)name;
            }
            if (level < 2)
                walk(target & 0x7FFFFFFF, level + 1);
            else
                EXPECT_EQ(pe::Get32(root + target) % 8, 0u) << "the data of entry " << name;
        }
    };
    walk(0, 0);
}

// The header bytes that a package shares with its base: all but the counts, addresses and sizes that the
// new resource section changes, the checksum, the directories and the section table.
Bytes SharedHeader(const Bytes& file)
{
    const PeImage image(file.data(), file.size(), "file");
    Bytes header(file.begin(), file.begin() + image.SectionTableOffset());
    const size_t fileHeader = image.FileHeaderOffset(), optional = image.OptionalHeaderOffset();
    for (size_t at : {fileHeader + 2, optional + 8, optional + 56, image.CheckSumOffset()})
        std::fill_n(header.begin() + at, at == fileHeader + 2 ? 2 : 4, 0);
    std::fill_n(header.begin() + fileHeader + 8, 8, 0); // the symbol table's place and count
    std::fill(header.begin() + image.DirectoryOffset(0), header.end(), 0);
    return header;
}

// Everything a package must be, given its base.
void ExpectPackageOf(const Bytes& baseFile, const Bytes& file)
{
    const PeImage base(baseFile.data(), baseFile.size(), "base"),
        package(file.data(), file.size(), "package");
    const bool inserted = base.directory(pe::kResourceDirectory).address == 0;
    ASSERT_EQ(package.sectionCount(), base.sectionCount() + (inserted ? 1 : 0));
    EXPECT_TRUE(SharedHeader(file) == SharedHeader(baseFile))
        << "header fields the package has no reason to change";

    const DataDirectory resources = package.directory(pe::kResourceDirectory);
    const int r = package.SectionContaining(resources.address);
    ASSERT_GE(r, 0);
    const Section& rsrc = package.section(r);
    EXPECT_EQ(rsrc.virtualAddress, resources.address);
    EXPECT_EQ(rsrc.virtualSize, resources.size);
    EXPECT_EQ(rsrc.rawSize, AlignUp(rsrc.virtualSize, package.fileAlignment()));
    EXPECT_EQ(rsrc.characteristics & (pe::kWritable | pe::kReadable | pe::kInitializedData),
              pe::kReadable | pe::kInitializedData);
    if (!inserted)
    {
        EXPECT_EQ(rsrc.virtualAddress, base.section(r).virtualAddress);
    }

    // Each of the package's sections is the base's, moved in memory after the resources.
    auto origin = [&](int i) { return i < r ? i : inserted ? i - 1 : i; };
    uint64_t lastEnd = base.sizeOfHeaders();
    for (int i = 0; i < package.sectionCount(); i++)
    {
        const Section& section = package.section(i);
        SCOPED_TRACE(testing::Message() << "section " << i << " " << section.name);
        if (section.rawSize != 0)
        {
            EXPECT_EQ(section.rawOffset % 4096, 0u);
            EXPECT_GE(section.rawOffset, lastEnd);
            lastEnd = (uint64_t)section.rawOffset + section.rawSize;
            EXPECT_LE(lastEnd, file.size());
        }
        if (i > 0)
        {
            const Section& previous = package.section(i - 1);
            EXPECT_GE(section.virtualAddress, previous.virtualAddress + PeImage::MemorySize(previous));
            if (i > r)
            {
                EXPECT_EQ(section.virtualAddress,
                          AlignUp(previous.virtualAddress + PeImage::MemorySize(previous), 0x1000));
            }
        }
        if (i == r)
            continue;
        const Section& before = base.section(origin(i));
        EXPECT_EQ(section.name, before.name);
        EXPECT_EQ(section.virtualSize, before.virtualSize);
        EXPECT_EQ(section.rawSize, before.rawSize);
        EXPECT_EQ(section.characteristics, before.characteristics);
        if (i < r)
        {
            EXPECT_EQ(section.virtualAddress, before.virtualAddress);
        }
        EXPECT_TRUE(std::equal(file.begin() + section.rawOffset,
                               file.begin() + section.rawOffset + section.rawSize,
                               baseFile.begin() + before.rawOffset));
    }

    for (int d = 0; d < pe::kDirectoryCount; d++)
    {
        if (d == pe::kResourceDirectory)
            continue;
        SCOPED_TRACE(testing::Message() << "directory " << d);
        const DataDirectory before = base.directory(d), after = package.directory(d);
        const int i = base.SectionContaining(before.address);
        if (d == pe::kSecurityDirectory || before.address == 0 || i < 0)
        {
            EXPECT_EQ(after.address, d == pe::kSecurityDirectory ? 0 : before.address);
            continue;
        }
        const int moved = i > r || (inserted && i >= r) ? i + (inserted ? 1 : 0) : i;
        EXPECT_EQ(after.address - package.section(moved).virtualAddress,
                  before.address - base.section(i).virtualAddress);
        EXPECT_EQ(after.size, before.size);
    }

    const Section& last = package.section(package.sectionCount() - 1);
    EXPECT_EQ(Field(file, package.OptionalHeaderOffset() + 56),
              AlignUp(last.virtualAddress + PeImage::MemorySize(last), 0x1000));
    const uint32_t baseResources = inserted ? 0 : base.section(r).rawSize;
    EXPECT_EQ(package.sizeOfInitializedData(), base.sizeOfInitializedData() - baseResources + rsrc.rawSize);
    EXPECT_EQ(Field(file, package.CheckSumOffset()), TrueChecksum(file, package.CheckSumOffset()));

    size_t at = 0, length = 0, baseAt = 0, baseLength = 0;
    if (base.SymbolTable(&baseAt, &baseLength))
    {
        ASSERT_TRUE(package.SymbolTable(&at, &length));
        EXPECT_EQ(at, lastEnd);
        EXPECT_EQ(at + length, file.size());
        EXPECT_TRUE(std::equal(file.begin() + at, file.end(), baseFile.begin() + baseAt));
        EXPECT_EQ(Field(file, package.FileHeaderOffset() + 12),
                  Field(baseFile, base.FileHeaderOffset() + 12));
    }
    else
        EXPECT_EQ(lastEnd, file.size());
    ExpectSearchable(package);
}

Bytes JetDatabase(size_t size)
{
    Bytes bytes(size);
    for (size_t i = 0; i < size; i++)
        bytes[i] = (uint8_t)(i * 131 + 7);
    const char signature[] = "\x00\x01\x00\x00Standard Jet DB";
    std::copy(signature, signature + sizeof signature - 1, bytes.begin());
    return bytes;
}

// Bases of each shape the generator takes: with a resource section of several types and languages or
// none, the relocations after it or nothing, PE32 and PE32+; and the Windows build's own, where there is one.
std::vector<std::pair<std::string, Bytes>> Bases()
{
    std::vector<std::pair<std::string, Bytes>> bases;
    for (bool pe32Plus : {false, true})
    {
        const std::string kind = pe32Plus ? "PE32+" : "PE32";
        FakeImage image = TypicalBase(pe32Plus);
        bases.push_back({kind + " with resources and the relocations after them", BuildImage(image)});
        image.sections.erase(image.sections.begin() + image.resourceSection);
        image.resourceSection = -1;
        bases.push_back({kind + " without resources, the relocations last", BuildImage(image)});
        image.sections.pop_back();
        image.symbols.clear();
        image.symbolCount = 0;
        bases.push_back({kind + " without resources or relocations", BuildImage(image)});
    }
    const std::string build = WindowsBuild();
    if (!build.empty())
        for (const std::string name : {"bin/Quillbrook.exe", "bin/pack_fixture_base32.exe",
                                       "bin/pack_fixture_base64.exe", "win32/bin/Quillbrook.exe"})
            if (FILE* exists = fopen((build + "/" + name).c_str(), "rb"))
            {
                fclose(exists);
                bases.push_back({name, ReadBytes(build + "/" + name)});
            }
    return bases;
}

std::vector<Resource> Sorted(std::vector<Resource> resources)
{
    std::sort(resources.begin(), resources.end(), [](const Resource& a, const Resource& b) {
        return std::tie(a.type, a.typeId, a.name, a.id, a.language) <
               std::tie(b.type, b.typeId, b.name, b.id, b.language);
    });
    return resources;
}

TEST(PackageImage, IsItsBaseWithTheEntriesInANewResourceSection)
{
    // What the writer lays out, the reader finds.
    const FakeImage typical = TypicalBase(false);
    EXPECT_TRUE(Sorted(ReadResources(BuildImage(typical))) == Sorted(typical.resources));

    TempDir dir;
    const Bytes database = JetDatabase(100001);
    WriteBytes(dir / "Tarifs.mdb", database);
    WriteBytes(dir / "empty", {});
    const std::u16string path = u"C:\\Donn\u00e9es\\\U0001F600.mdb";
    const std::vector<std::string> args = {"--database",      dir / "Tarifs.mdb",
                                           "--path-value",    "C:\\Donn\u00e9es\\\U0001F600.mdb",
                                           "--shared-folder", "1",
                                           "--country-key",   "",
                                           "--date",          "2024-01-09",
                                           "--raw",           "EMPTY:5=" + dir / "empty"};
    const std::vector<Resource> entries = {
        {u"MDB", 0, u"", 129, 0, database},
        {u"REG", 0, u"", 137, 0, TextBytes(path)},
        {u"REG", 0, u"", 138, 0, {1, 0, 0, 0}},
        {u"REG", 0, u"", 139, 0, {0, 0}},
        {u"REG", 0, u"", 140, 0, TextBytes(u"2024-01-09")},
        {u"EMPTY", 0, u"", 5, 0, {}},
    };
    for (const auto& [what, base] : Bases())
    {
        SCOPED_TRACE(what);
        const Stamped stamped = Stamp(dir, base, args);
        ASSERT_EQ(stamped.error.message, "");
        ExpectPackageOf(base, stamped.file);

        // The base's resources and the entries, each once; the integrity entry replaces the placeholder, not
        // its other languages.
        std::vector<Resource> wanted = entries, found = ReadResources(stamped.file);
        for (const Resource& own : ReadResources(base))
            if (own.type != u"SUM" || own.language != 0)
                wanted.push_back(own);
        auto integrity = std::find_if(found.begin(), found.end(),
                                      [](const Resource& r) { return r.type == u"SUM" && r.language == 0; });
        ASSERT_NE(integrity, found.end());
        EXPECT_EQ(Bytes(integrity->data.begin(), integrity->data.begin() + 4), (Bytes{'Q', 'B', 'I', 1}));
        found.erase(integrity);
        EXPECT_TRUE(Sorted(found) == Sorted(wanted));

        std::string refusal;
        DescribePackage(dir / "P.exe", &refusal);
        EXPECT_EQ(refusal, "") << "the integrity entry matches";
        EXPECT_TRUE(Stamp(dir, base, args).file == stamped.file) << "the same again";
    }
}

void Put(Bytes& file, size_t at, uint32_t value, size_t width)
{
    for (size_t i = 0; i < width; i++, value >>= 8)
        file.at(at + i) = (uint8_t)value;
}

// A base the generator cannot lay a package out from is refused in one line, before anything is written.
TEST(PackageImage, RefusesABaseItCannotLayOut)
{
    auto build = [](std::function<void(FakeImage&)> change) {
        FakeImage image = TypicalBase(false);
        change(image);
        return BuildImage(image);
    };
    const Bytes typical = BuildImage(TypicalBase(false));
    const PeImage image(typical.data(), typical.size(), "base");
    auto changed = [&](std::function<void(Bytes&)> change) {
        Bytes file = typical;
        change(file);
        return file;
    };
    const size_t table = image.SectionTableOffset();
    const struct
    {
        const char* what;
        Bytes base;
        const char* reason;
    } cases[] = {
        {"a section after the resources that code addresses",
         build([](FakeImage& i) { i.sections[4].characteristics &= ~pe::kDiscardable; }),
         "section .reloc after its resources, which the program addresses directly"},
        {"a signed base", build([](FakeImage& i) {
             i.directories.push_back({pe::kSecurityDirectory, {0x5000, 8}});
         }),
         "is signed"},
        {"an ARM64 base", build([](FakeImage& i) { i.machine = 0xAA64; }), "machine AA64"},
        {"an x64 machine in a PE32 image", build([](FakeImage& i) { i.machine = 0x8664; }), "machine 8664"},
        {"a debug directory", build([](FakeImage& i) {
             i.directories.push_back({pe::kDebugDirectory, {0x2000, 28}});
         }),
         "has a debug directory"},
        {"sections overlapping in memory", changed([&](Bytes& f) { Put(f, table + 40 + 8, 0x1001, 4); }),
         "overlap in memory"},
        {"sections overlapping in the file",
         changed([&](Bytes& f) { Put(f, table + 40 + 20, image.section(0).rawOffset + 0x200, 4); }),
         "overlap in the file"},
        {"data appended after the sections", changed([](Bytes& f) { f.insert(f.end(), 100, 0xAB); }),
         "has 100 bytes after its sections"},
        {"no room in the headers for a resource section", build([](FakeImage& i) {
             // Three section headers fill 0x200 bytes of headers but for 8.
             i.sections = {i.sections[0], i.sections[1], i.sections[4]};
             i.resourceSection = -1;
             i.sizeOfHeaders = 0x200;
         }),
         "no room in its headers"},
        {"an import directory among the resources", build([](FakeImage& i) {
             i.directories.push_back({1, {0x4010, 40}});
         }),
         "keeps data directory 1 in its resource section"},
    };
    TempDir dir;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        const Stamped stamped = Stamp(dir, c.base, {"--date", "2024-01-09"});
        EXPECT_EQ(stamped.error.status, 1);
        EXPECT_NE(stamped.error.message.find(c.reason), std::string::npos) << stamped.error.message;
        EXPECT_EQ(stamped.error.message.find('\n'), std::string::npos) << stamped.error.message;
        EXPECT_EQ(dir.List(), std::vector<std::string>{"base.exe"});
    }
}
} // namespace
