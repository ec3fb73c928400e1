#include "pack/ResourceTree.h"
#include "pack/PackError.h"
#include "pack/Text.h"

#include <algorithm>
#include <map>

namespace
{
constexpr uint32_t kDirectorySize = 16;
constexpr uint32_t kEntrySize = 8;
constexpr uint32_t kDataEntrySize = 16;
constexpr uint32_t kHighBit = 0x80000000; // a name that is a string, an entry that is a directory

class TreeReader
{
public:
    explicit TreeReader(const PeImage& image) : image_(image)
    {
        const DataDirectory directory = image.directory(pe::kResourceDirectory);
        const int index = image.SectionContaining(directory.address);
        if (index < 0)
            Bad("its directory lies outside the sections");
        const Section& section = image.section(index);
        const uint32_t into = directory.address - section.virtualAddress;
        if (into >= section.rawSize)
            Bad("its directory lies beyond its section's data in the file");
        // PeImage has checked that every section's raw data lies inside the file.
        root_ = section.rawOffset + into;
        length_ = section.rawSize - into;
        // A tree whose entries do not overlap has no more of them than its bytes can hold; a damaged one
        // may lead back to itself.
        visitsLeft_ = length_ / kEntrySize;
    }

    void ReadAll(std::vector<ResourceEntry>& entries)
    {
        ResourceEntry entry = {};
        Walk(0, 0, entry, entries);
    }

private:
    [[noreturn]] void Bad(const std::string& why) const
    {
        Fail(image_.what() + " has a damaged resource tree: " + why);
    }

    // `count` items of `size` bytes at `offset` into the tree, checked to lie inside it.
    const uint8_t* At(uint32_t offset, uint32_t size, uint32_t count = 1) const
    {
        if (offset > length_ || count > (length_ - offset) / size)
            Bad("it leaves its section");
        return image_.data() + root_ + offset;
    }

    std::u16string Name(uint32_t offset) const
    {
        const uint16_t length = pe::Get16(At(offset, 2));
        const uint8_t* units = At(offset + 2, 2, length);
        std::u16string name;
        for (uint16_t i = 0; i < length; i++)
            name += (char16_t)pe::Get16(units + 2 * i);
        return name;
    }

    // Level 0 names types, 1 entries, 2 languages; below level 2 lie the data entries.
    void Walk(uint32_t offset, int level, ResourceEntry& entry, std::vector<ResourceEntry>& entries)
    {
        const uint8_t* directory = At(offset, kDirectorySize);
        const uint32_t count = (uint32_t)pe::Get16(directory + 12) + pe::Get16(directory + 14);
        const uint8_t* children = At(offset + kDirectorySize, kEntrySize, count);
        for (uint32_t i = 0; i < count; i++)
        {
            if (visitsLeft_-- == 0)
                Bad("it leads back to itself");
            const uint32_t nameField = pe::Get32(children + i * kEntrySize);
            const uint32_t target = pe::Get32(children + i * kEntrySize + 4);
            const bool named = (nameField & kHighBit) != 0;
            const std::u16string name = named ? Name(nameField & ~kHighBit) : std::u16string();
            const uint16_t id = named ? 0 : (uint16_t)nameField;
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
                entry.language = id;

            if ((level < 2) != ((target & kHighBit) != 0))
                Bad("it is not three levels deep");
            if (level < 2)
                Walk(target & ~kHighBit, level + 1, entry, entries);
            else
                entries.push_back(Leaf(target, entry));
        }
    }

    ResourceEntry Leaf(uint32_t offset, ResourceEntry entry) const
    {
        const uint8_t* data = At(offset, kDataEntrySize);
        const uint32_t address = pe::Get32(data), size = pe::Get32(data + 4);
        const int index = image_.SectionContaining(address);
        if (index < 0)
            Bad("the data of an entry lies outside the sections");
        const Section& section = image_.section(index);
        const uint32_t into = address - section.virtualAddress;
        if (into > section.rawSize || size > section.rawSize - into)
            Bad("the data of an entry lies beyond its section's data in the file");
        entry.dataEntryOffset = root_ + offset;
        entry.dataOffset = section.rawOffset + into;
        entry.data = image_.data() + entry.dataOffset;
        entry.size = size;
        return entry;
    }

    const PeImage& image_;
    size_t root_;
    uint32_t length_;
    uint32_t visitsLeft_;
};

// Named before numbered; names by their code units, numbers by value.
int CompareLevel(const std::u16string& textA, uint16_t idA, const std::u16string& textB, uint16_t idB)
{
    if (textA.empty() != textB.empty())
        return textA.empty() ? 1 : -1;
    return textA.empty() ? (int)idA - (int)idB : textA.compare(textB);
}

int Compare(const ResourceEntry& a, const ResourceEntry& b)
{
    if (int order = CompareLevel(a.type, a.typeId, b.type, b.typeId))
        return order;
    if (int order = CompareLevel(a.name, a.id, b.name, b.id))
        return order;
    return (int)a.language - (int)b.language;
}

void PutDirectory(uint8_t* at, uint32_t named, uint32_t numbered)
{
    pe::Put16(at + 12, named);
    pe::Put16(at + 14, numbered);
}
} // namespace

std::vector<ResourceEntry> ReadResourceTree(const PeImage& image)
{
    std::vector<ResourceEntry> entries;
    if (image.directory(pe::kResourceDirectory).address != 0)
        TreeReader(image).ReadAll(entries);
    return entries;
}

bool SameResource(const ResourceEntry& a, const ResourceEntry& b)
{
    return Compare(a, b) == 0;
}

ResourceSection::ResourceSection(std::vector<ResourceEntry> entries, uint32_t address) : address_(address)
{
    std::sort(entries.begin(), entries.end(),
              [](const ResourceEntry& a, const ResourceEntry& b) { return Compare(a, b) < 0; });
    // A tree holds each resource once; only a damaged base can list one twice.
    for (size_t i = 1; i < entries.size(); i++)
        if (SameResource(entries[i - 1], entries[i]))
        {
            const ResourceEntry& twice = entries[i];
            Fail("the resource " + (twice.type.empty() ? std::to_string(twice.typeId) : ToUtf8(twice.type)) +
                 " " + (twice.name.empty() ? std::to_string(twice.id) : ToUtf8(twice.name)) + " (language " +
                 Hex(twice.language, 4) + ") is listed twice in the base");
        }

    // The tree's shape: where each type and each (type, name) begins among the sorted entries.
    std::vector<size_t> types, names;
    for (size_t i = 0; i < entries.size(); i++)
    {
        const bool newType = i == 0 || CompareLevel(entries[i - 1].type, entries[i - 1].typeId,
                                                    entries[i].type, entries[i].typeId) != 0;
        if (newType)
            types.push_back(i);
        if (newType ||
            CompareLevel(entries[i - 1].name, entries[i - 1].id, entries[i].name, entries[i].id) != 0)
            names.push_back(i);
    }
    types.push_back(entries.size());
    names.push_back(entries.size());

    // Directories breadth first: the root, the types' directories, the names' directories.
    const size_t typeCount = types.size() - 1, nameCount = names.size() - 1;
    uint64_t cursor = kDirectorySize + kEntrySize * typeCount;
    std::vector<uint32_t> typeDirectories, nameDirectories;
    for (size_t t = 0, n = 0; t < typeCount; t++)
    {
        typeDirectories.push_back((uint32_t)cursor);
        const size_t first = n;
        while (n < nameCount && names[n] < types[t + 1])
            n++;
        cursor += kDirectorySize + kEntrySize * (n - first);
    }
    for (size_t n = 0; n < nameCount; n++)
    {
        nameDirectories.push_back((uint32_t)cursor);
        cursor += kDirectorySize + kEntrySize * (names[n + 1] - names[n]);
    }
    // Each text once: a length, then its code units.
    std::map<std::u16string, uint32_t> texts;
    for (const ResourceEntry& entry : entries)
        for (const std::u16string* text : {&entry.type, &entry.name})
            if (!text->empty() && texts.emplace(*text, (uint32_t)cursor).second)
                cursor += 2 + 2 * text->size();
    const uint64_t dataEntries = AlignUp((uint32_t)cursor, 8);
    cursor = dataEntries + kDataEntrySize * entries.size();
    head_.assign(cursor, 0);
    for (const ResourceEntry& entry : entries)
    {
        cursor = (cursor + 7) & ~7ull;
        pieces_.push_back({(uint32_t)cursor, entry.data, entry.size});
        cursor += entry.size;
        if (cursor > 0xFFFFFFFFull - address)
            Fail("the package's entries are too large for one resource section");
    }
    size_ = (uint32_t)cursor;

    uint8_t* head = head_.data();
    for (const auto& [text, offset] : texts)
    {
        pe::Put16(head + offset, (uint32_t)text.size());
        for (size_t i = 0; i < text.size(); i++)
            pe::Put16(head + offset + 2 + 2 * i, text[i]);
    }
    // One directory entry: a text's offset or a number, and a directory's offset or a data entry's.
    auto putEntry = [&](uint8_t* at, const std::u16string& text, uint16_t id, uint32_t target) {
        pe::Put32(at, text.empty() ? id : kHighBit | texts.at(text));
        pe::Put32(at + 4, target);
    };
    uint32_t rootNamed = 0;
    for (size_t t = 0, n = 0; t < typeCount; t++)
    {
        const ResourceEntry& first = entries[types[t]];
        rootNamed += !first.type.empty();
        putEntry(head + kDirectorySize + kEntrySize * t, first.type, first.typeId,
                 kHighBit | typeDirectories[t]);
        uint8_t* directory = head + typeDirectories[t];
        uint32_t named = 0, children = 0;
        for (; n < nameCount && names[n] < types[t + 1]; n++, children++)
        {
            const ResourceEntry& entry = entries[names[n]];
            named += !entry.name.empty();
            putEntry(directory + kDirectorySize + kEntrySize * children, entry.name, entry.id,
                     kHighBit | nameDirectories[n]);
            uint8_t* languages = head + nameDirectories[n];
            PutDirectory(languages, 0, (uint32_t)(names[n + 1] - names[n]));
            for (size_t i = names[n]; i < names[n + 1]; i++)
                putEntry(languages + kDirectorySize + kEntrySize * (i - names[n]), std::u16string(),
                         entries[i].language, (uint32_t)(dataEntries + kDataEntrySize * i));
        }
        PutDirectory(directory, named, children - named);
    }
    PutDirectory(head, rootNamed, (uint32_t)typeCount - rootNamed);
    for (size_t i = 0; i < entries.size(); i++)
    {
        pe::Put32(head + dataEntries + kDataEntrySize * i, address + pieces_[i].offset);
        pe::Put32(head + dataEntries + kDataEntrySize * i + 4, pieces_[i].size);
    }
}

void ResourceSection::WriteTo(ImageSink& out) const
{
    static const uint8_t zeros[8] = {};
    out.Write(head_.data(), head_.size());
    uint64_t at = head_.size();
    for (const Piece& piece : pieces_)
    {
        out.Write(zeros, piece.offset - at);
        out.Write(piece.data, piece.size);
        at = (uint64_t)piece.offset + piece.size;
    }
}
