// The entries of a package as the generator sees them: which ones the installer reads, how each is
// encoded, and how to read them back from a file.
#pragma once

#include "pack/PeImage.h"
#include "pack/Platform.h"
#include "pack/ResourceTree.h"

#include <cstdint>
#include <string>
#include <vector>

enum class EntryKind
{
    Payload,
    Text,
    Flag,
};

struct KnownEntry
{
    const char16_t* type;
    uint16_t id;
    const char* name; // as in package/PackageIds.h
    EntryKind kind;
};

// The payload first, then the settings in id order.
extern const KnownEntry kKnownEntries[7];
inline constexpr char16_t kPayloadType[] = u"MDB";
inline constexpr char16_t kCompressedPayloadType[] = u"MDZ";
inline constexpr char16_t kSettingType[] = u"REG";
inline constexpr char16_t kIntegrityType[] = u"SUM";

// Whether the installer's 8-bit type name and the generator's UTF-16 one are the same word.
constexpr bool SameTypeName(const char* narrow, const char16_t* wide)
{
    for (; *narrow != '\0' || *wide != u'\0'; ++narrow, ++wide)
        if ((char16_t)*narrow != *wide)
            return false;
    return true;
}

const KnownEntry* FindKnownEntry(const std::u16string& type, uint16_t id);

// The most a package may carry in its entries. The shipped installer is a 32-bit program: the system maps
// its whole image, entries included, into 2 GB of address space that its own code, the system's libraries,
// their heaps and stacks, and whatever else the system maps into every process share, in pieces that
// leave no single free range of much more than 1.5 GB. Half the space leaves a wide margin. It was chosen,
// not measured: no 32-bit program runs on the machine where the generator is built.
constexpr uint64_t kMaxPackageBytes = 1ull << 30;

using Bytes = std::vector<uint8_t>;

// UTF-16LE code units followed by one NUL: 2 * (n + 1) bytes.
Bytes EncodeText(const std::u16string& text);
// One 32-bit little-endian integer.
Bytes EncodeFlag(bool set);
// 00 01 00 00 followed by "Standard Jet DB".
bool HasJetSignature(const uint8_t* data, size_t size);

// A file read as data, with its resource tree checked (pack/ResourceTree.h) before any entry is found.
class PackageFile
{
public:
    // `what` names the file in messages ("the package").
    PackageFile(const std::string& path, const std::string& what);

    // Every entry of the type, in every language; empty when the type is absent.
    std::vector<ResourceEntry> Entries(const char16_t* type) const;
    const PeImage& image() const { return image_; }

private:
    FileView view_;
    PeImage image_;
    std::vector<ResourceEntry> entries_;
};
