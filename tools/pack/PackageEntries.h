// The entries of a package as the generator sees them: which ones the installer reads, how each is
// encoded, and how to read them back from a file.
#pragma once

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

using Bytes = std::vector<BYTE>;

// UTF-16LE code units followed by one NUL: 2 * (n + 1) bytes.
Bytes EncodeText(const std::wstring& text);
// One 32-bit little-endian integer.
Bytes EncodeFlag(bool set);
// 00 01 00 00 followed by "Standard Jet DB".
bool HasJetSignature(const BYTE* data, size_t size);

// One entry found in a file: a numbered one has id set and name empty, a named one the reverse.
struct FoundEntry
{
    std::wstring type;
    UINT id;
    std::wstring name;
    LANGID language;
    const BYTE* data;
    DWORD size;
};

// A file opened as data, for reading its entries the way the system finds them. Nothing in it runs.
class PackageFile
{
public:
    PackageFile(const std::wstring& path, const std::wstring& what);
    ~PackageFile();
    PackageFile(const PackageFile&) = delete;
    PackageFile& operator=(const PackageFile&) = delete;

    // Every entry of the type, in every language; empty when the type is absent.
    std::vector<FoundEntry> Entries(const wchar_t* type) const;

private:
    HMODULE module_;
};
