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

    bool HasPayload() const
    {
        for (const Resource& resource : resources_)
        {
            const KnownEntry* known = FindKnownEntry(resource.source->type, resource.source->id);
            if (known != nullptr && known->kind == EntryKind::Payload)
                return true;
        }
        return false;
    }

private:
    const Resource* Find(const std::wstring& type, UINT id) const
    {
        for (const Resource& resource : resources_)
            if (resource.source->type == type && resource.source->id == id)
                return &resource;
        return nullptr;
    }

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
        Own(integritySource_, std::move(entry));
    }

    void Own(const EntrySource& source, Bytes bytes)
    {
        owned_.push_back(std::make_unique<Bytes>(std::move(bytes)));
        resources_.push_back({&source, owned_.back()->data(), owned_.back()->size(), false});
    }

    void Map(const EntrySource& source, bool force)
    {
        const bool database = source.kind == EntrySource::Database;
        views_.push_back(std::make_unique<FileView>(source.value, database ? L"the database" : L"the file"));
        const FileView& view = *views_.back();
        if (view.size() > MAXDWORD)
            Fail(source.option + L": " + source.value + L" is too large for an entry");
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
    const EntrySource integritySource_ = {kIntegrityType, SUM_INTEGRITY,         EntrySource::RawFile, L"",
                                          false,          L"the integrity entry"};
    bool integrityGiven_ = false;
};

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
    if (!contents.HasPayload())
        WriteErr(
            L"quillbrook-pack: warning: no --database: the package has no payload, and its installer will "
            L"report it as incorrectly generated\n");

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
    WriteOut(L"Made " + out + L" with " + std::to_wstring(options.entries.size()) + L" entries" +
             (contents.integrityGiven() ? L"." : L" and their integrity entry.") + L"\n");
}
