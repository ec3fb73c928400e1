// The entries of a package as the generator sees them: which ones the installer reads, how each is
// encoded, and how to read them back from a file.
#pragma once

#include "pack/Files.h"
#include "pack/PeImage.h"
#include "pack/ResourceTree.h"

#include <windows.h>

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
    const wchar_t* type;
    UINT id;
    const wchar_t* name; // as in package/PackageIds.h
    EntryKind kind;
};

// The payload first, then the settings in id order.
extern const KnownEntry kKnownEntries[7];
inline constexpr wchar_t kPayloadType[] = L"MDB";
inline constexpr wchar_t kSettingType[] = L"REG";
inline constexpr wchar_t kIntegrityType[] = L"SUM";

// Whether the installer's 8-bit type name and the generator's wide one are the same word.
constexpr bool SameTypeName(const char* narrow, const wchar_t* wide)
{
    for (; *narrow != '\0' || *wide != L'\0'; ++narrow, ++wide)
        if ((wchar_t)*narrow != *wide)
            return false;
    return true;
}

const KnownEntry* FindKnownEntry(const std::wstring& type, UINT id);

// The most a package may carry in its entries. The shipped installer is a 32-bit program: the system maps
// its whole image, entries included, into 2 GB of address space that its own code, the system's libraries,
// their heaps and stacks, and whatever else the system maps into every process share, in pieces that
// leave no single free range of much more than 1.5 GB. Half the space leaves a wide margin. It was chosen,
// not measured: no 32-bit program runs on the machine where the generator is built.
constexpr ULONGLONG kMaxPackageBytes = 1ull << 30;

using Bytes = std::vector<BYTE>;

// UTF-16LE code units followed by one NUL: 2 * (n + 1) bytes.
Bytes EncodeText(const std::wstring& text);
// One 32-bit little-endian integer.
Bytes EncodeFlag(bool set);
// 00 01 00 00 followed by "Standard Jet DB".
bool HasJetSignature(const BYTE* data, size_t size);

// A file read as data, with its resource tree checked (pack/ResourceTree.h) before any entry is found.
class PackageFile
{
public:
    // `what` names the file in messages ("the package").
    PackageFile(const std::wstring& path, const std::wstring& what);

    // Every entry of the type, in every language; empty when the type is absent.
    std::vector<ResourceEntry> Entries(const wchar_t* type) const;
    const PeImage& image() const { return image_; }

private:
    FileView view_;
    PeImage image_;
    std::vector<ResourceEntry> entries_;
};
