// Reading a PE file's resource tree without trusting it. Packages arrive damaged now and then, and the
// generator must say so in one line rather than read past the end of the file: every directory, entry,
// name and data entry is checked against the resource section's raw data, and every entry's bytes against
// the section that holds them in the file, before anything is followed.
#pragma once

#include "pack/PeImage.h"

#include <string>
#include <vector>

// One leaf of the tree (type, name, language). A numbered type or name has an empty text and its id.
struct ResourceEntry
{
    std::wstring type;
    UINT typeId;
    std::wstring name;
    UINT id;
    LANGID language;
    size_t dataEntryOffset; // where its IMAGE_RESOURCE_DATA_ENTRY lies in the file
    size_t dataOffset;      // where its bytes lie in the file
    const BYTE* data;       // never null, even when size is 0
    DWORD size;
};

// Every leaf of the tree, in the tree's order; none when the image has no resources. Throws PackError
// naming the file and what is wrong with its tree.
std::vector<ResourceEntry> ReadResourceTree(const PeImage& image);

// The file offset of the IMAGE_RESOURCE_DATA_ENTRY of the named type, numbered id and language, for the
// one edit the system's resource update cannot make itself: an entry of zero bytes. Throws PackError when
// the tree has no such entry or is damaged.
size_t FindResourceDataEntry(const PeImage& image, const std::wstring& type, UINT id, LANGID language);
