#include "pack/ResourceTree.h"
#include "pack/PackError.h"

namespace
{
class TreeReader
{
public:
    explicit TreeReader(const PeImage& image) : image_(image)
    {
        const IMAGE_DATA_DIRECTORY& directory = image.directory(IMAGE_DIRECTORY_ENTRY_RESOURCE);
        const int index = image.SectionContaining(directory.VirtualAddress);
        if (index < 0)
            Bad(L"its directory lies outside the sections");
        const IMAGE_SECTION_HEADER& section = image.section(index);
        const DWORD into = directory.VirtualAddress - section.VirtualAddress;
        if (into >= section.SizeOfRawData)
            Bad(L"its directory lies beyond its section's data in the file");
        // PeImage has checked that every section's raw data lies inside the file.
        root_ = section.PointerToRawData + into;
        length_ = section.SizeOfRawData - into;
        // A tree whose entries do not overlap has no more of them than its bytes can hold; a damaged one
        // may lead back to itself.
        visitsLeft_ = length_ / sizeof(IMAGE_RESOURCE_DIRECTORY_ENTRY);
    }

    void ReadAll(std::vector<ResourceEntry>& entries)
    {
        ResourceEntry entry = {};
        Walk(0, 0, entry, entries);
    }

private:
    [[noreturn]] void Bad(const std::wstring& why) const
    {
        Fail(image_.what() + L" has a damaged resource tree: " + why);
    }

    template <class T> const T& At(DWORD offset, size_t count = 1) const
    {
        if (offset > length_ || count > (length_ - offset) / sizeof(T))
            Bad(L"it leaves its section");
        return *(const T*)(image_.data() + root_ + offset);
    }

    std::wstring Name(DWORD offset) const
    {
        const WORD length = At<WORD>(offset);
        const WORD* units = &At<WORD>(offset + 2, length);
        return std::wstring(units, units + length);
    }

    // Level 0 names types, 1 entries, 2 languages; below level 2 lie the data entries.
    void Walk(DWORD offset, int level, ResourceEntry& entry, std::vector<ResourceEntry>& entries)
    {
        const IMAGE_RESOURCE_DIRECTORY& directory = At<IMAGE_RESOURCE_DIRECTORY>(offset);
        const DWORD count = (DWORD)directory.NumberOfNamedEntries + directory.NumberOfIdEntries;
        const DWORD first = offset + sizeof directory;
        const IMAGE_RESOURCE_DIRECTORY_ENTRY* children = &At<IMAGE_RESOURCE_DIRECTORY_ENTRY>(first, count);
        for (DWORD i = 0; i < count; i++)
        {
            if (visitsLeft_-- == 0)
                Bad(L"it leads back to itself");
            const IMAGE_RESOURCE_DIRECTORY_ENTRY& child = children[i];
            const std::wstring name = child.NameIsString ? Name(child.NameOffset) : std::wstring();
            const UINT id = child.NameIsString ? 0 : child.Id;
            if (level == 0)
            {
                entry.type = name;
                entry.typeId = id;
            }
            else if (level == 1)
            {
                entry.name = name;
                entry.id = id;
            }
            else
                entry.language = (LANGID)id;

            if ((level < 2) != (child.DataIsDirectory != 0))
                Bad(L"it is not three levels deep");
            if (level < 2)
                Walk(child.OffsetToDirectory, level + 1, entry, entries);
            else
                entries.push_back(Leaf(child.OffsetToData, entry));
        }
    }

    ResourceEntry Leaf(DWORD offset, ResourceEntry entry) const
    {
        const IMAGE_RESOURCE_DATA_ENTRY& data = At<IMAGE_RESOURCE_DATA_ENTRY>(offset);
        const int index = image_.SectionContaining(data.OffsetToData);
        if (index < 0)
            Bad(L"the data of an entry lies outside the sections");
        const IMAGE_SECTION_HEADER& section = image_.section(index);
        const DWORD into = data.OffsetToData - section.VirtualAddress;
        if (into > section.SizeOfRawData || data.Size > section.SizeOfRawData - into)
            Bad(L"the data of an entry lies beyond its section's data in the file");
        entry.dataEntryOffset = root_ + offset;
        entry.dataOffset = section.PointerToRawData + into;
        entry.data = image_.data() + entry.dataOffset;
        entry.size = data.Size;
        return entry;
    }

    const PeImage& image_;
    size_t root_;
    DWORD length_;
    DWORD visitsLeft_;
};
} // namespace

std::vector<ResourceEntry> ReadResourceTree(const PeImage& image)
{
    std::vector<ResourceEntry> entries;
    if (image.directory(IMAGE_DIRECTORY_ENTRY_RESOURCE).VirtualAddress != 0)
        TreeReader(image).ReadAll(entries);
    return entries;
}

size_t FindResourceDataEntry(const PeImage& image, const std::wstring& type, UINT id, LANGID language)
{
    for (const ResourceEntry& entry : ReadResourceTree(image))
        if (entry.type == type && entry.name.empty() && entry.id == id && entry.language == language)
            return entry.dataEntryOffset;
    Fail(image.what() + L" has no entry " + type + L" " + std::to_wstring(id));
}
