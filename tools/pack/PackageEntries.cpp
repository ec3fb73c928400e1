#include "pack/PackageEntries.h"
#include "pack/PackError.h"
#include "package/PackageIds.h"

#include <cstring>

// The installer names its types in 8-bit text; the generator's UTF-16 names must be the same words.
static_assert(SameTypeName(PACKAGE_PAYLOAD_TYPE, kPayloadType));
static_assert(SameTypeName(PACKAGE_COMPRESSED_PAYLOAD_TYPE, kCompressedPayloadType));
static_assert(SameTypeName(PACKAGE_SETTING_TYPE, kSettingType));
static_assert(SameTypeName(PACKAGE_INTEGRITY_TYPE, kIntegrityType));

const KnownEntry kKnownEntries[7] = {
    {kPayloadType, MDB_DATABASE, "MDB_DATABASE", EntryKind::Payload},
    {kSettingType, REG_SETTINGS_KEY, "REG_SETTINGS_KEY", EntryKind::Text},
    {kSettingType, REG_PATH_VALUE, "REG_PATH_VALUE", EntryKind::Text},
    {kSettingType, REG_USE_SHARED_FOLDER, "REG_USE_SHARED_FOLDER", EntryKind::Flag},
    {kSettingType, REG_COUNTRY_KEY, "REG_COUNTRY_KEY", EntryKind::Text},
    {kSettingType, REG_TARIFF_DATE, "REG_TARIFF_DATE", EntryKind::Text},
    {kSettingType, REG_COUNTRY_CODE, "REG_COUNTRY_CODE", EntryKind::Text},
};

const KnownEntry* FindKnownEntry(const std::u16string& type, uint16_t id)
{
    for (const KnownEntry& entry : kKnownEntries)
        if (type == entry.type && id == entry.id)
            return &entry;
    return nullptr;
}

Bytes EncodeText(const std::u16string& text)
{
    Bytes bytes;
    bytes.reserve(2 * (text.size() + 1));
    for (char16_t ch : text)
    {
        bytes.push_back((uint8_t)(ch & 0xFF));
        bytes.push_back((uint8_t)(ch >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

Bytes EncodeFlag(bool set)
{
    return Bytes{(uint8_t)(set ? 1 : 0), 0, 0, 0};
}

bool HasJetSignature(const uint8_t* data, size_t size)
{
    static const char kSignature[] = "\x00\x01\x00\x00Standard Jet DB";
    const size_t n = sizeof kSignature - 1;
    return size >= n && std::memcmp(data, kSignature, n) == 0;
}

PackageFile::PackageFile(const std::string& path, const std::string& what)
    : view_(path, what), image_(view_.data(), view_.size(), what + " " + path),
      entries_(ReadResourceTree(image_))
{
}

std::vector<ResourceEntry> PackageFile::Entries(const char16_t* type) const
{
    std::vector<ResourceEntry> entries;
    for (const ResourceEntry& entry : entries_)
        if (entry.type == type)
            entries.push_back(entry);
    return entries;
}
