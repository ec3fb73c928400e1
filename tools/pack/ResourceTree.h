// Finding one entry in a PE file's resource tree, for the one edit the system's resource update cannot
// make itself: an entry of zero bytes.
#pragma once

#include "pack/PeImage.h"

#include <string>

// The file offset of the IMAGE_RESOURCE_DATA_ENTRY of the named type, numbered id and language. Throws
// PackError when the tree has no such entry or leaves its section.
size_t FindResourceDataEntry(const PeImage& image, const std::wstring& type, UINT id, LANGID language);
