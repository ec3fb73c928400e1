#include "pack/PackageEntries.h"
#include "pack/Files.h"
#include "pack/PackError.h"
#include "package/PackageIds.h"

#include <cstring>

// The installer names its types in 8-bit text; the generator's wide names must be the same words.
static_assert(SameTypeName(PACKAGE_PAYLOAD_TYPE, kPayloadType));
static_assert(SameTypeName(PACKAGE_SETTING_TYPE, kSettingType));
static_assert(SameTypeName(PACKAGE_INTEGRITY_TYPE, kIntegrityType));

const KnownEntry kKnownEntries[7] = {
    {kPayloadType, MDB_DATABASE, L"MDB_DATABASE", EntryKind::Payload},
    {kSettingType, REG_SETTINGS_KEY, L"REG_SETTINGS_KEY", EntryKind::Text},
    {kSettingType, REG_PATH_VALUE, L"REG_PATH_VALUE", EntryKind::Text},
    {kSettingType, REG_USE_SHARED_FOLDER, L"REG_USE_SHARED_FOLDER", EntryKind::Flag},
    {kSettingType, REG_COUNTRY_KEY, L"REG_COUNTRY_KEY", EntryKind::Text},
    {kSettingType, REG_TARIFF_DATE, L"REG_TARIFF_DATE", EntryKind::Text},
    {kSettingType, REG_COUNTRY_CODE, L"REG_COUNTRY_CODE", EntryKind::Text},
};

const KnownEntry* FindKnownEntry(const std::wstring& type, UINT id)
{
    for (const KnownEntry& entry : kKnownEntries)
        if (type == entry.type && id == entry.id)
            return &entry;
    return nullptr;
}

Bytes EncodeText(const std::wstring& text)
{
    Bytes bytes;
    bytes.reserve(2 * (text.size() + 1));
    for (wchar_t ch : text)
    {
        bytes.push_back((BYTE)(ch & 0xFF));
        bytes.push_back((BYTE)(ch >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

Bytes EncodeFlag(bool set)
{
    return Bytes{(BYTE)(set ? 1 : 0), 0, 0, 0};
}

bool HasJetSignature(const BYTE* data, size_t size)
{
    static const char kSignature[] = "\x00\x01\x00\x00Standard Jet DB";
    const size_t n = sizeof kSignature - 1;
    return size >= n && std::memcmp(data, kSignature, n) == 0;
}

PackageFile::PackageFile(const std::wstring& path, const std::wstring& what)
    : view_(path, what), image_(view_.data(), view_.size(), what + L" " + path),
      entries_(ReadResourceTree(image_))
{
}

std::vector<ResourceEntry> PackageFile::Entries(const wchar_t* type) const
{
    std::vector<ResourceEntry> entries;
    for (const ResourceEntry& entry : entries_)
        if (entry.type == type)
            entries.push_back(entry);
    return entries;
}
