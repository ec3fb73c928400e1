#include "pack/Stamp.h"
#include "pack/Console.h"
#include "pack/Files.h"
#include "pack/PackError.h"
#include "pack/PackageEntries.h"
#include "pack/PeCleanUp.h"
#include "pack/PeImage.h"
#include "pack/ResourceTree.h"
#include "package/PackageIds.h"
#include "package/PackageIntegrity.h"

#include <cstddef>
#include <memory>

namespace
{
struct Resource
{
    const EntrySource* source;
    const BYTE* data;
    size_t size;
    bool empty; // stamped as one byte, then cut to none
};

const BYTE kPlaceholder = 0;

// The integrity entry, as if --raw gave it; computed over the other entries.
const EntrySource kIntegritySource = {
    kIntegrityType, SUM_INTEGRITY, EntrySource::RawFile, L"", false, L"the integrity entry",
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
            case EntrySource::Text:
                Own(source, EncodeText(source.value));
                break;
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

    const std::vector<Resource>& resources() const { return resources_; }

    const Resource* Find(const std::wstring& type, UINT id) const
    {
        for (const Resource& resource : resources_)
            if (resource.source->type == type && resource.source->id == id)
                return &resource;
        return nullptr;
    }

private:
    // Over the entries exactly as they will be stamped: an empty one has size 0, whatever the update got.
    void AddIntegrityEntry()
    {
        PackageEntryView views[7] = {};
        for (int i = 0; i < 7; i++)
            for (const Resource& resource : resources_)
                if (resource.source->id == kCheckedPackageEntries[i].nID &&
                    SameTypeName(kCheckedPackageEntries[i].pszType, resource.source->type.c_str()))
                    views[i] = {TRUE, resource.data, resource.empty ? 0 : (DWORD)resource.size};
        Bytes entry(INTEGRITY_ENTRY_SIZE);
        MakeIntegrityEntry(views, entry.data());
        Own(kIntegritySource, std::move(entry));
    }

    void Own(const EntrySource& source, Bytes bytes)
    {
        owned_.push_back(std::make_unique<Bytes>(std::move(bytes)));
        resources_.push_back({&source, owned_.back()->data(), owned_.back()->size(), false});
    }

    void Map(const EntrySource& source, bool force)
    {
        const bool database = source.kind == EntrySource::Database;
        const wchar_t* what = database ? L"the database" : L"the file";
        // Before mapping it: a file too large for the package may be too large to map here as well.
        total_ += FileSizeOf(source.value, what);
        if (total_ > kMaxPackageBytes)
            Fail(source.option + L": " + source.value +
                 L" would make the package's entries larger than 1 GiB, " +
                 L"more than a 32-bit installer can be sure to map beside its libraries");
        views_.push_back(std::make_unique<FileView>(source.value, what));
        const FileView& view = *views_.back();
        if (database && !force && !HasJetSignature(view.data(), view.size()))
            Fail(L"the database " + source.value +
                 L" is not a Jet database: it does not begin with 00 01 00 00 \"Standard Jet DB\" "
                 L"(give --force to stamp it anyway)");
        if (view.size() == 0)
            resources_.push_back({&source, &kPlaceholder, 1, true});
        else
            resources_.push_back({&source, view.data(), view.size(), false});
    }

    std::vector<std::unique_ptr<Bytes>> owned_;
    std::vector<std::unique_ptr<FileView>> views_;
    std::vector<Resource> resources_;
    bool integrityGiven_ = false;
    ULONGLONG total_ = 0;
};

// What the installer does differently without an entry the command line left out, in registry mode and
// in shared-folder mode (null: nothing changes there). An entry given empty is the publisher's choice, and
// not warned about.
struct Absence
{
    const wchar_t* type;
    UINT id;
    const wchar_t* option;
    const wchar_t* inRegistryMode;
    const wchar_t* inSharedFolderMode;
};

const Absence kAbsences[] = {
    {kPayloadType, MDB_DATABASE, L"--database",
     L"the package has no payload, and its installer will report it as incorrectly generated",
     L"the package has no payload, and its installer will report it as incorrectly generated"},
    {kSettingType, REG_USE_SHARED_FOLDER, L"--shared-folder", nullptr,
     L"the installer counts the flag as set: the package installs under the common application-data folder "
     L"and makes no country check"},
    {kSettingType, REG_SETTINGS_KEY, L"--settings-key",
     L"no target path is known: the user must browse for one",
     L"the shared-folder path has an empty folder name, and the file is named PriceList.mdb"},
    {kSettingType, REG_PATH_VALUE, L"--path-value",
     L"the installer reads the target path from the settings key's default value",
     L"the shared-folder path's folder is named \"CAT-\" alone"},
    {kSettingType, REG_COUNTRY_KEY, L"--country-key", L"no country check is made and no date is stored",
     L"no date is stored"},
    {kSettingType, REG_TARIFF_DATE, L"--date", L"no date is stored", L"no date is stored"},
    {kSettingType, REG_COUNTRY_CODE, L"--country", L"no country check is made", nullptr},
};

// As the installer reads the flag: set when absent, or when any of its first four bytes is not zero.
bool SharedFolderMode(const Contents& contents)
{
    const Resource* flag = contents.Find(kSettingType, REG_USE_SHARED_FOLDER);
    if (flag == nullptr)
        return true;
    for (size_t i = 0; i < flag->size && i < 4 && !flag->empty; i++)
        if (flag->data[i] != 0)
            return true;
    return false;
}

std::wstring AbsenceWarnings(const Contents& contents)
{
    const bool shared = SharedFolderMode(contents);
    std::wstring warnings;
    for (const Absence& absence : kAbsences)
    {
        const wchar_t* meaning = shared ? absence.inSharedFolderMode : absence.inRegistryMode;
        // Without a settings key no registry value is read at all.
        if (absence.id == REG_PATH_VALUE && !shared &&
            contents.Find(kSettingType, REG_SETTINGS_KEY) == nullptr)
            meaning = nullptr;
        if (meaning != nullptr && contents.Find(absence.type, absence.id) == nullptr)
            warnings +=
                L"quillbrook-pack: warning: no " + std::wstring(absence.option) + L": " + meaning + L"\n";
    }
    return warnings;
}

// The package's entries would be merged into any the base already has, and Wine drops a request to
// delete those, so a package stamped over a package could keep entries the command line leaves out. The
// placeholder integrity entry is the fixed executable's own, and replaced anyway. Reading the tree also
// checks it, before the system's resource update trusts it.
void RefuseStampedBase(const PeImage& base, const std::wstring& path)
{
    for (const ResourceEntry& entry : ReadResourceTree(base))
        if (entry.type == kPayloadType || entry.type == kSettingType)
            Fail(L"the base " + path +
                 L" already carries package entries; stamp the fixed Quillbrook.exe instead");
}

void CopyInto(const FileView& source, const std::wstring& path)
{
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file.valid())
        Fail(L"cannot write " + path + L": " + SystemErrorText(GetLastError()));
    WriteAll(file.get(), source.data(), source.size(), path);
}

// Language-neutral, as the installer looks them up.
void StampResources(const std::wstring& path, const Contents& contents)
{
    HANDLE update = BeginUpdateResourceW(path.c_str(), FALSE);
    if (update == NULL)
        Fail(L"cannot update the resources of " + path + L": " + SystemErrorText(GetLastError()));
    for (const Resource& resource : contents.resources())
    {
        if (!UpdateResourceW(update, resource.source->type.c_str(), MAKEINTRESOURCEW(resource.source->id),
                             MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), (void*)resource.data,
                             (DWORD)resource.size))
        {
            DWORD error = GetLastError();
            EndUpdateResourceW(update, TRUE);
            Fail(L"cannot stamp " + resource.source->option + L": " + SystemErrorText(error));
        }
    }
    if (!EndUpdateResourceW(update, FALSE))
        Fail(L"cannot write the resources into " + path + L": " + SystemErrorText(GetLastError()));
}
// Wine's resource update refuses an entry of zero bytes, yet a payload may have any length and --raw
// stores a file as it is. Such an entry goes in as one byte, whose size is then set to zero.
void EmptyThePlaceholders(const std::wstring& path, const Contents& contents)
{
    std::vector<const Resource*> empties;
    for (const Resource& resource : contents.resources())
        if (resource.empty)
            empties.push_back(&resource);
    if (empties.empty())
        return;

    std::vector<size_t> sizes;
    {
        FileView view(path, L"the stamped copy");
        PeImage image(view.data(), view.size(), L"the stamped copy " + path);
        for (const Resource* resource : empties)
            sizes.push_back(FindResourceDataEntry(image, resource->source->type, resource->source->id,
                                                  MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL)) +
                            offsetof(IMAGE_RESOURCE_DATA_ENTRY, Size));
    }
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    for (size_t at : sizes)
    {
        const DWORD none = 0;
        if (!file.valid() ||
            SetFilePointer(file.get(), (LONG)at, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
            Fail(L"cannot write " + path + L": " + SystemErrorText(GetLastError()));
        WriteAll(file.get(), &none, sizeof none, path);
    }
}
} // namespace

void MakePackage(const Options& options)
{
    const std::wstring base = FullPath(options.base);
    const std::wstring out = FullPath(options.out);
    if (SameFile(base, out))
        FailUsage(L"--out names the base itself; the fixed executable must stay as it is");

    FileView baseView(base, L"the base");
    PeImage baseImage(baseView.data(), baseView.size(), L"the base " + base);
    RefuseStampedBase(baseImage, base);
    Contents contents(options);

    TempFile stamped(out);
    CopyInto(baseView, stamped.path());
    StampResources(stamped.path(), contents);
    EmptyThePlaceholders(stamped.path(), contents);

    TempFile clean(out);
    {
        FileView stampedView(stamped.path(), L"the stamped copy");
        PeImage stampedImage(stampedView.data(), stampedView.size(), L"the stamped copy " + stamped.path());
        UniqueHandle file(
            CreateFileW(clean.path().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        if (!file.valid())
            Fail(L"cannot write " + clean.path() + L": " + SystemErrorText(GetLastError()));
        WriteCleanImage(baseImage, stampedImage, file.get(), clean.path());
        if (!FlushFileBuffers(file.get()))
            Fail(L"cannot write " + clean.path() + L": " + SystemErrorText(GetLastError()));
    }
    clean.MoveOntoTarget();
    // Once the package is made, so that a failed run says one thing only.
    std::wstring warnings;
    for (const std::wstring& problem : options.forced)
        warnings += L"quillbrook-pack: warning: " + problem + L"; stamped as given (--force)\n";
    WriteErr(warnings + AbsenceWarnings(contents));
    const size_t count = options.entries.size();
    WriteOut(L"Made " + out + L" with " + std::to_wstring(count) + (count == 1 ? L" entry" : L" entries") +
             (contents.integrityGiven() ? L"." : L" and their integrity entry.") + L"\n");
}
