#include "pack/ResourceTree.h"
#include "pack/PackError.h"

#include <functional>

namespace
{
class TreeReader
{
public:
    explicit TreeReader(const PeImage& image) : image_(image)
    {
        const IMAGE_DATA_DIRECTORY& directory = image.directory(IMAGE_DIRECTORY_ENTRY_RESOURCE);
        const int index = image.SectionContaining(directory.VirtualAddress);
        if (directory.VirtualAddress == 0 || index < 0)
            Fail(image.what() + L" has no resources");
        const IMAGE_SECTION_HEADER& section = image.section(index);
        root_ = section.PointerToRawData + (directory.VirtualAddress - section.VirtualAddress);
        end_ = section.PointerToRawData + section.SizeOfRawData;
    }

    size_t FileOffset(DWORD offset) const { return root_ + offset; }

    template <class T> const T& At(DWORD offset) const
    {
        if (root_ + offset < root_ || root_ + offset + sizeof(T) > end_)
            Fail(image_.what() + L" has a resource tree that leaves its section");
        return *(const T*)(image_.data() + root_ + offset);
    }

    // Where the entry of the directory at `offset` that `matches` leads, as an offset in the tree.
    DWORD Find(DWORD offset, const std::function<bool(const IMAGE_RESOURCE_DIRECTORY_ENTRY&)>& matches) const
    {
        const IMAGE_RESOURCE_DIRECTORY& directory = At<IMAGE_RESOURCE_DIRECTORY>(offset);
        const DWORD count = directory.NumberOfNamedEntries + directory.NumberOfIdEntries;
        for (DWORD i = 0; i < count; i++)
        {
            const DWORD at = offset + sizeof directory + i * sizeof(IMAGE_RESOURCE_DIRECTORY_ENTRY);
            const IMAGE_RESOURCE_DIRECTORY_ENTRY& entry = At<IMAGE_RESOURCE_DIRECTORY_ENTRY>(at);
            if (matches(entry))
                return entry.OffsetToData & 0x7FFFFFFF;
        }
        return MAXDWORD;
    }

    std::wstring Name(const IMAGE_RESOURCE_DIRECTORY_ENTRY& entry) const
    {
        const WORD length = At<WORD>(entry.NameOffset);
        std::wstring name;
        for (WORD i = 0; i < length; i++)
            name += (wchar_t)At<WORD>(entry.NameOffset + 2 + 2 * i);
        return name;
    }

private:
    const PeImage& image_;
    size_t root_;
    size_t end_;
};
} // namespace

size_t FindResourceDataEntry(const PeImage& image, const std::wstring& type, UINT id, LANGID language)
{
    const TreeReader tree(image);
    DWORD offset = tree.Find(0, [&](const IMAGE_RESOURCE_DIRECTORY_ENTRY& entry) {
        return entry.NameIsString && tree.Name(entry) == type;
    });
    for (WORD wanted : {(WORD)id, (WORD)language})
        if (offset != MAXDWORD)
            offset = tree.Find(offset, [&](const IMAGE_RESOURCE_DIRECTORY_ENTRY& entry) {
                return !entry.NameIsString && entry.Id == wanted;
            });
    if (offset == MAXDWORD)
        Fail(image.what() + L" has no entry " + type + L" " + std::to_wstring(id));
    tree.At<IMAGE_RESOURCE_DATA_ENTRY>(offset);
    return tree.FileOffset(offset);
}
