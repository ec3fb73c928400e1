// A PE file's resource tree: read without trusting it, and built anew.
//
// Packages arrive damaged now and then, and the generator must say so in one line rather than read past
// the end of the file: every directory, entry, name and data entry is checked against the resource
// section's raw data, and every entry's bytes against the section that holds them in the file, before
// anything is followed.
#pragma once

#include "pack/PeImage.h"

#include <string>
#include <vector>

// One leaf of the tree (type, name, language). A numbered type or name has an empty text and its id.
struct ResourceEntry
{
    std::u16string type;
    uint16_t typeId;
    std::u16string name;
    uint16_t id;
    uint16_t language;
    size_t dataEntryOffset; // where its data entry lies in the file (when read)
    size_t dataOffset;      // where its bytes lie in the file (when read)
    const uint8_t* data;    // never null, even when size is 0
    uint32_t size;
};

// Every leaf of the tree, in the tree's order; none when the image has no resources. Throws PackError
// naming the file and what is wrong with its tree.
std::vector<ResourceEntry> ReadResourceTree(const PeImage& image);

// Whether two leaves are the same resource: the same type, name and language.
bool SameResource(const ResourceEntry& a, const ResourceEntry& b);

// A resource section laid out as the loader searches it: at each level, the named entries before the
// numbered ones, each group in ascending order (names by their UTF-16 code units), so that a binary search
// finds every entry. The directories come first, then the names, the data entries and the data, each piece
// of data on an 8-byte boundary. The data are not copied: they are written from where the entries point.
class ResourceSection
{
public:
    // `entries` in any order, no two the same resource; `address` is the section's place in memory.
    ResourceSection(std::vector<ResourceEntry> entries, uint32_t address);

    uint32_t address() const { return address_; }
    uint32_t size() const { return size_; }
    // Writes its size() bytes.
    void WriteTo(ImageSink& out) const;

private:
    struct Piece
    {
        uint32_t offset;
        const uint8_t* data;
        uint32_t size;
    };

    uint32_t address_;
    uint32_t size_;
    std::vector<uint8_t> head_; // the directories, names and data entries
    std::vector<Piece> pieces_;
};
