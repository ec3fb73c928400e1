#include "pack/Stamp.h"
#include "pack/Compress.h"
#include "pack/PackError.h"
#include "pack/PackageEntries.h"
#include "pack/PeImage.h"
#include "pack/Platform.h"
#include "pack/ResourceTree.h"
#include "pack/Text.h"
#include "package/PackageIds.h"
#include "package/IntegrityEntry.h"

#include <memory>

namespace
{
constexpr uint16_t kNeutral = 0; // the language the installer looks its entries up in

struct Resource
{
    const EntrySource* source;
    const uint8_t* data;
    size_t size;
};

const uint8_t kNothing = 0; // where an empty entry's data points

// The integrity entry, as if --raw gave it; computed over the other entries.
const EntrySource kIntegritySource = {
    kIntegrityType, SUM_INTEGRITY, EntrySource::RawFile, "", false, "the integrity entry",
};

// Every input read, and checked, before anything is written.
class Contents
{
public:
    explicit Contents(const Options& options)
    {
        for (const EntrySource& source : options.entries)
        {
            switch (source.kind)
            {
            case EntrySource::Text: {
                std::u16string text;
                FromUtf8(source.value, &text); // checked with the command line
                Own(source, EncodeText(text));
                break;
            }
            case EntrySource::Flag:
                Own(source, EncodeFlag(source.flag));
                break;
            case EntrySource::Database:
            case EntrySource::RawFile:
                Map(source, options.force);
                break;
            }
        }
        if (Find(kIntegrityType, SUM_INTEGRITY) == nullptr)
            AddIntegrityEntry();
        else
            integrityGiven_ = true;
    }

    // Whether --raw gave the integrity entry, instead of the generator computing it.
    bool integrityGiven() const { return integrityGiven_; }
    // What the compressed database decodes to.
    const DecodedPayload& decoded() const { return decoded_; }

    const std::vector<Resource>& resources() const { return resources_; }

    const Resource* Find(const std::u16string& type, uint16_t id) const
    {
        for (const Resource& resource : resources_)
            if (resource.source->type == type && resource.source->id == id)
                return &resource;
        return nullptr;
    }

private:
    void AddIntegrityEntry()
    {
        PackageEntryView views[CHECKED_ENTRY_COUNT] = {};
        for (int i = 0; i < CHECKED_ENTRY_COUNT; i++)
            for (const Resource& resource : resources_)
                if (resource.source->id == kCheckedPackageEntries[i].nID &&
                    SameTypeName(kCheckedPackageEntries[i].pszType, resource.source->type.c_str()))
                    views[i] = {TRUE, resource.data, (DWORD)resource.size};
        // A compressed database given ready (--raw MDZ:129) is recorded as it decodes, so that its package
        // matches its entry whatever the frame: the installer's own check of the frame is what refuses it.
        const PackageEntryView& compressed = views[COMPRESSED_PAYLOAD_ENTRY];
        if (compressed.bPresent && !decodedKnown_)
        {
            const DecodedFrame frame = DecodeFrame((const uint8_t*)compressed.pData, compressed.cbData);
            decoded_ = {frame.bytes.size(), PayloadHash(frame.bytes.data(), frame.bytes.size())};
        }
        Bytes entry(INTEGRITY_ENTRY_V2_SIZE);
        entry.resize(MakeIntegrityEntry(views, compressed.bPresent ? &decoded_ : NULL, entry.data()));
        Own(kIntegritySource, std::move(entry));
    }

    void Own(const EntrySource& source, Bytes bytes)
    {
        owned_.push_back(std::make_unique<Bytes>(std::move(bytes)));
        resources_.push_back({&source, owned_.back()->data(), owned_.back()->size()});
    }

    void Map(const EntrySource& source, bool force)
    {
        const bool database = source.kind == EntrySource::Database;
        const char* what = database ? "the database" : "the file";
        // Before mapping it: a file too large for the package may be too large to map here as well.
        total_ += FileSizeOf(source.value, what);
        if (total_ > kMaxPackageBytes)
            Fail(source.option + ": " + source.value +
                 " would make the package's entries larger than 1 GiB, " +
                 "more than a 32-bit installer can be sure to map beside its libraries");
        views_.push_back(std::make_unique<FileView>(source.value, what));
        const FileView& view = *views_.back();
        if (database && !force && !HasJetSignature(view.data(), view.size()))
            Fail("the database " + source.value +
                 " is not a Jet database: it does not begin with 00 01 00 00 \"Standard Jet DB\" "
                 "(give --force to stamp it anyway)");
        if (database && source.type == kCompressedPayloadType)
        {
            decoded_ = {view.size(), PayloadHash(view.data(), view.size())};
            decodedKnown_ = true;
            Own(source, CompressDatabase(view.data(), view.size()));
            return;
        }
        resources_.push_back({&source, view.size() == 0 ? &kNothing : view.data(), view.size()});
    }

    std::vector<std::unique_ptr<Bytes>> owned_;
    std::vector<std::unique_ptr<FileView>> views_;
    std::vector<Resource> resources_;
    bool integrityGiven_ = false;
    uint64_t total_ = 0;
    DecodedPayload decoded_ = {}; // what the compressed database decodes to, once known
    bool decodedKnown_ = false;
};

// What the installer does differently without an entry the command line left out, in registry mode and
// in shared-folder mode (null: nothing changes there). An entry given empty is the publisher's choice, and
// not warned about.
struct Absence
{
    const char16_t* type;
    uint16_t id;
    const char* option;
    const char* inRegistryMode;
    const char* inSharedFolderMode;
};

const Absence kAbsences[] = {
    {kPayloadType, MDB_DATABASE, "--database",
     "the package has no payload, and its installer will report it as incorrectly generated",
     "the package has no payload, and its installer will report it as incorrectly generated"},
    {kSettingType, REG_USE_SHARED_FOLDER, "--shared-folder", nullptr,
     "the installer counts the flag as set: the package installs under the common application-data folder "
     "and makes no country check"},
    {kSettingType, REG_SETTINGS_KEY, "--settings-key",
     "no target path is known: the user must browse for one",
     "the shared-folder path has an empty folder name, and the file is named PriceList.mdb"},
    {kSettingType, REG_PATH_VALUE, "--path-value",
     "the installer reads the target path from the settings key's default value",
     "the shared-folder path's folder is named \"CAT-\" alone"},
    {kSettingType, REG_COUNTRY_KEY, "--country-key", "no country check is made and no date is stored",
     "no date is stored"},
    {kSettingType, REG_TARIFF_DATE, "--date", "no date is stored", "no date is stored"},
    {kSettingType, REG_COUNTRY_CODE, "--country", "no country check is made", nullptr},
};

// As the installer reads the flag: set when absent, or when any of its first four bytes is not zero.
bool SharedFolderMode(const Contents& contents)
{
    const Resource* flag = contents.Find(kSettingType, REG_USE_SHARED_FOLDER);
    if (flag == nullptr)
        return true;
    for (size_t i = 0; i < flag->size && i < 4; i++)
        if (flag->data[i] != 0)
            return true;
    return false;
}

std::string AbsenceWarnings(const Contents& contents)
{
    const bool shared = SharedFolderMode(contents);
    std::string warnings;
    for (const Absence& absence : kAbsences)
    {
        const char* meaning = shared ? absence.inSharedFolderMode : absence.inRegistryMode;
        // Without a settings key no registry value is read at all.
        if (absence.id == REG_PATH_VALUE && !shared &&
            contents.Find(kSettingType, REG_SETTINGS_KEY) == nullptr)
            meaning = nullptr;
        // A compressed database is a database.
        if (absence.type == kPayloadType && contents.Find(kCompressedPayloadType, MDB_DATABASE) != nullptr)
            meaning = nullptr;
        if (meaning != nullptr && contents.Find(absence.type, absence.id) == nullptr)
            warnings += "quillbrook-pack: warning: no " + std::string(absence.option) + ": " + meaning + "\n";
    }
    return warnings;
}

// The package's entries join the base's own resources, each replacing the same resource of the base:
// stamped over a package, a package would keep the entries its command line leaves out. The placeholder
// integrity entry is the fixed executable's own, and replaced anyway.
void RefuseStampedBase(const std::vector<ResourceEntry>& resources, const std::string& path)
{
    for (const ResourceEntry& entry : resources)
        if (entry.type == kPayloadType || entry.type == kSettingType)
            Fail("the base " + path +
                 " already carries package entries; stamp the fixed Quillbrook.exe instead");
}

// The base's own resources, and the package's entries, language-neutral as the installer looks them up.
std::vector<ResourceEntry> PackageResources(const std::vector<ResourceEntry>& base, const Contents& contents)
{
    std::vector<ResourceEntry> entries;
    for (const Resource& resource : contents.resources())
        entries.push_back({resource.source->type, 0, std::u16string(), resource.source->id, kNeutral, 0, 0,
                           resource.data, (uint32_t)resource.size});
    for (const ResourceEntry& own : base)
    {
        bool replaced = false;
        for (size_t i = 0; i < contents.resources().size() && !replaced; i++)
            replaced = SameResource(own, entries[i]);
        if (!replaced)
            entries.push_back(own);
    }
    return entries;
}
} // namespace

void MakePackage(const Options& options)
{
    const std::string base = FullPath(options.base);
    const std::string out = FullPath(options.out);
    if (SameFile(base, out))
        FailUsage("--out names the base itself; the fixed executable must stay as it is");

    FileView baseView(base, "the base");
    PeImage baseImage(baseView.data(), baseView.size(), "the base " + base);
    const std::vector<ResourceEntry> baseResources = ReadResourceTree(baseImage);
    RefuseStampedBase(baseResources, base);
    const uint32_t address = ResourceSectionAddress(baseImage);
    Contents contents(options);

    const ResourceSection resources(PackageResources(baseResources, contents), address);
    OutputFile package(out);
    WriteImage(baseImage, resources, package);
    package.Commit();
    // Once the package is made, so that a failed run says one thing only.
    std::string warnings;
    for (const std::string& problem : options.forced)
        warnings += "quillbrook-pack: warning: " + problem + "; stamped as given (--force)\n";
    WriteErr(warnings + AbsenceWarnings(contents));
    const size_t count = options.entries.size();
    std::string made = "Made " + out + " with " + std::to_string(count) +
                       (count == 1 ? " entry" : " entries") +
                       (contents.integrityGiven() ? "." : " and their integrity entry.") + "\n";
    const Resource* frame = contents.Find(kCompressedPayloadType, MDB_DATABASE);
    if (options.compress && frame != nullptr)
    {
        made += "The database, " + std::to_string(contents.decoded().cbSize) + " bytes, is compressed to " +
                std::to_string(frame->size) + " (" + Percent(frame->size, contents.decoded().cbSize) + ").\n";
    }
    WriteOut(made);
}
