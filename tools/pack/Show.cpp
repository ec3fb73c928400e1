#include "pack/Show.h"
#include "pack/PackError.h"
#include "pack/PackageEntries.h"
#include "package/PackageIds.h"
#include "package/PackageIntegrity.h"
#include "platform/LibraryFunction.h"

#include <bcrypt.h>

#include <cstring>

namespace
{
std::wstring Hex(DWORD value, int digits)
{
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring text(digits, L'0');
    for (int i = digits - 1; i >= 0; i--, value >>= 4)
        text[i] = kDigits[value & 0xF];
    return text;
}

std::wstring PadRight(std::wstring text, size_t width)
{
    if (text.size() < width)
        text.append(width - text.size(), L' ');
    return text;
}

std::wstring PadLeft(const std::wstring& text, size_t width)
{
    return text.size() < width ? std::wstring(width - text.size(), L' ') + text : text;
}

// Control characters would garble the listing; they show as their code.
std::wstring Printable(const std::wstring& text)
{
    std::wstring result;
    for (wchar_t ch : text)
        result += ch < 0x20 || ch == 0x7F ? L"<U+" + Hex(ch, 4) + L">" : std::wstring(1, ch);
    return result;
}

// As the installer's loader reads it: the code units before the first NUL, or every whole code unit when
// there is no NUL.
std::wstring DescribeText(const BYTE* data, DWORD size)
{
    const size_t units = size / 2;
    std::wstring text;
    while (text.size() < units && (data[2 * text.size()] | data[2 * text.size() + 1]) != 0)
        text += (wchar_t)(data[2 * text.size()] | (data[2 * text.size() + 1] << 8));
    std::wstring result = L"\"" + Printable(text) + L"\"";
    if (text.size() == units)
        result += L"  [no terminating NUL]";
    else if (text.size() + 1 < units)
        result += L"  [" + std::to_wstring(units - text.size() - 1) +
                  L" more code units after the NUL are not read]";
    if (size % 2 != 0)
        result += L"  [odd size: the last byte is not read]";
    return result;
}

// As the installer reads it: set when any of the first four bytes is not zero.
std::wstring DescribeFlag(const BYTE* data, DWORD size)
{
    DWORD value = 0;
    for (DWORD i = 0; i < size && i < 4; i++)
        value |= (DWORD)data[i] << (8 * i);
    std::wstring result = value == 0   ? L"0 (clear)"
                          : value == 1 ? L"1 (set)"
                                       : L"1 (set; stored as 0x" + Hex(value, 8) + L")";
    if (size != 4)
        result += L"  [" + std::to_wstring(size) + L" bytes, not 4]";
    return result;
}

std::wstring DescribeBytes(const BYTE* data, DWORD size)
{
    std::wstring result;
    for (DWORD i = 0; i < size && i < 16; i++)
        result += (i ? L" " : L"") + Hex(data[i], 2);
    return size > 16 ? result + L" ..." : result;
}

std::wstring Describe(EntryKind kind, const ResourceEntry& entry)
{
    switch (kind)
    {
    case EntryKind::Payload:
        return HasJetSignature(entry.data, entry.size)
                   ? L"Jet database"
                   : L"not a Jet database (no 00 01 00 00 \"Standard Jet DB\")";
    case EntryKind::Text:
        return DescribeText(entry.data, entry.size);
    case EntryKind::Flag:
        return DescribeFlag(entry.data, entry.size);
    }
    return std::wstring();
}

std::wstring Label(const std::wstring& type, const ResourceEntry* entry, UINT id)
{
    std::wstring name =
        entry == nullptr || entry->name.empty() ? std::to_wstring(id) : L"\"" + entry->name + L"\"";
    return PadRight(type + L" " + name, 9);
}

std::wstring Line(const ResourceEntry& entry, const std::wstring& name, const std::wstring& description)
{
    std::wstring line = Label(entry.type, &entry, entry.id) + PadRight(name, 23) +
                        PadLeft(std::to_wstring(entry.size), 10) + L" bytes  " + description;
    if (entry.language != MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL))
        line += L"  [language " + Hex(entry.language, 4) + L", not neutral]";
    return line + L"\n";
}

const wchar_t* AbsenceMeaning(EntryKind kind)
{
    switch (kind)
    {
    case EntryKind::Payload:
        return L"absent: the installer will report the package as incorrectly generated";
    case EntryKind::Text:
        return L"absent: the installer reads it as empty";
    case EntryKind::Flag:
        return L"absent: the installer counts it as set";
    }
    return L"absent";
}

// The one the installer reads where an entry comes in several languages: the neutral one, as its
// FindResource looks for that first.
const ResourceEntry* Preferred(const std::vector<ResourceEntry>& entries, const wchar_t* type, UINT id)
{
    const ResourceEntry* found = nullptr;
    for (const ResourceEntry& entry : entries)
        if (entry.type == type && entry.name.empty() && entry.id == id &&
            (found == nullptr || entry.language == MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL)))
            found = &entry;
    return found;
}

bool IsIntegrityEntry(const ResourceEntry& entry)
{
    return entry.type == kIntegrityType && entry.name.empty() && entry.id == SUM_INTEGRITY;
}

std::wstring DescribeIntegrity(const std::vector<ResourceEntry>& entries, std::wstring* refusal)
{
    PackageEntryView views[7] = {};
    for (int i = 0; i < 7; i++)
    {
        const char* type = kCheckedPackageEntries[i].pszType;
        const std::wstring wideType(type, type + std::strlen(type));
        if (const ResourceEntry* entry = Preferred(entries, wideType.c_str(), kCheckedPackageEntries[i].nID))
            views[i] = {TRUE, entry->data, entry->size};
    }

    const std::wstring name = L"SUM_INTEGRITY";
    const ResourceEntry* integrity = Preferred(entries, kIntegrityType, SUM_INTEGRITY);
    if (integrity == nullptr)
    {
        *refusal = L"has no integrity entry (SUM 142), and the installer refuses it";
        return Label(kIntegrityType, nullptr, SUM_INTEGRITY) + PadRight(name, 23) +
               L"    absent: the installer refuses this package\n";
    }

    std::wstring what = DescribeBytes(integrity->data, integrity->size);
    if (integrity->size == INTEGRITY_ENTRY_SIZE && integrity->data[3] == 1)
        what = L"version 1, checksum " + Hex((DWORD)integrity->data[4] | integrity->data[5] << 8 |
                                                 integrity->data[6] << 16 | (DWORD)integrity->data[7] << 24,
                                             8);
    switch (CheckIntegrityEntry(integrity->data, integrity->size, views))
    {
    case INTEGRITY_UNSTAMPED:
        return Line(*integrity, name,
                    L"not stamped (placeholder): the installer does not check this package");
    case INTEGRITY_MATCHES:
        return Line(*integrity, name, what + L": matches");
    case INTEGRITY_MISMATCH:
        break;
    }
    *refusal = L"is damaged: it does not match its integrity entry (SUM 142), and the installer refuses it";
    return Line(*integrity, name, what + L": does NOT match: the package is damaged");
}

// For release notes and download pages: the same before and after signing, and what the customer's
// installed file hashes to. By the system's own implementation, from its own folder.
std::wstring Sha256(const BYTE* data, DWORD size)
{
    auto open = AfxLibraryFunction<decltype(&BCryptOpenAlgorithmProvider)>("bcrypt.dll",
                                                                           "BCryptOpenAlgorithmProvider");
    auto create = AfxLibraryFunction<decltype(&BCryptCreateHash)>("bcrypt.dll", "BCryptCreateHash");
    auto hashData = AfxLibraryFunction<decltype(&BCryptHashData)>("bcrypt.dll", "BCryptHashData");
    auto finish = AfxLibraryFunction<decltype(&BCryptFinishHash)>("bcrypt.dll", "BCryptFinishHash");
    auto destroy = AfxLibraryFunction<decltype(&BCryptDestroyHash)>("bcrypt.dll", "BCryptDestroyHash");
    auto close = AfxLibraryFunction<decltype(&BCryptCloseAlgorithmProvider)>("bcrypt.dll",
                                                                             "BCryptCloseAlgorithmProvider");
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    UCHAR digest[32];
    const bool done = open && create && hashData && finish && destroy && close &&
                      open(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0 &&
                      create(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0 &&
                      hashData(hash, (PUCHAR)data, size, 0) == 0 &&
                      finish(hash, digest, sizeof digest, 0) == 0;
    if (hash != nullptr)
        destroy(hash);
    if (algorithm != nullptr)
        close(algorithm, 0);
    if (!done)
        Fail(L"cannot compute the database's SHA-256: the system's bcrypt.dll is missing or refuses to");
    // In lower case, as sha256sum and most download pages write it.
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring text;
    for (UCHAR byte : digest)
        text += {kDigits[byte >> 4], kDigits[byte & 0xF]};
    return text;
}

// The certificate table that signing appends to the file, which the loader and the installer skip. A
// table that does not fit means a file cut short on its way.
std::wstring DescribeSignature(const PeImage& image, std::wstring* refusal)
{
    const IMAGE_DATA_DIRECTORY& table = image.directory(IMAGE_DIRECTORY_ENTRY_SECURITY);
    if (table.VirtualAddress == 0 && table.Size == 0)
        return L"absent";
    // A file offset, unlike every other directory's address. The table's first certificate starts with
    // its length (4 bytes), revision (2) and type (2), 2 meaning PKCS #7 signed data.
    DWORD length = 0;
    WORD type = 0;
    if (table.VirtualAddress <= image.size() && table.Size <= image.size() - table.VirtualAddress &&
        table.Size >= 8)
    {
        std::memcpy(&length, image.data() + table.VirtualAddress, sizeof length);
        std::memcpy(&type, image.data() + table.VirtualAddress + 6, sizeof type);
    }
    if (length >= 8 && length <= table.Size && type == 2)
        return L"present (verifying it is the signing tool's job)";
    *refusal = L"is damaged: its certificate table does not fit in the file (cut short?)";
    return L"damaged";
}
} // namespace

std::wstring DescribePackage(const std::wstring& path, std::wstring* refusal)
{
    PackageFile file(path, L"the package");
    // Not read by the installer, but a table cut short means the file is.
    size_t symbolsAt, symbolsLength;
    file.image().SymbolTable(&symbolsAt, &symbolsLength);
    std::vector<ResourceEntry> entries = file.Entries(kPayloadType);
    for (const wchar_t* type : {kSettingType, kIntegrityType})
        for (const ResourceEntry& entry : file.Entries(type))
            entries.push_back(entry);

    std::wstring report = L"Package " + path + L"\n";
    int absent = 0;
    for (const KnownEntry& known : kKnownEntries)
    {
        bool found = false;
        for (const ResourceEntry& entry : entries)
        {
            if (entry.type == known.type && entry.name.empty() && entry.id == known.id)
            {
                report += Line(entry, known.name, Describe(known.kind, entry));
                found = true;
            }
        }
        if (!found)
        {
            report += Label(known.type, nullptr, known.id) + PadRight(known.name, 23) + L"    " +
                      AbsenceMeaning(known.kind) + L"\n";
            absent++;
        }
    }
    std::wstring integrityRefusal, signatureRefusal;
    report += DescribeIntegrity(entries, &integrityRefusal);
    for (const ResourceEntry& entry : entries)
        if (!entry.name.empty() ||
            (FindKnownEntry(entry.type, entry.id) == nullptr && !IsIntegrityEntry(entry)))
            report += Line(entry, L"(not read by the installer)", DescribeBytes(entry.data, entry.size));

    report += absent == 0 ? L"All 7 entries are present.\n"
                          : std::to_wstring(absent) + L" of the 7 entries " + (absent == 1 ? L"is" : L"are") +
                                L" absent.\n";
    // The payload the installer writes: the one it finds first.
    const ResourceEntry* payload = Preferred(entries, kPayloadType, MDB_DATABASE);
    if (payload != nullptr)
        report += L"Database SHA-256: " + Sha256(payload->data, payload->size) + L"\n";
    report += L"Authenticode signature: " + DescribeSignature(file.image(), &signatureRefusal) + L"\n";

    // One reason, the plainest: no database at all, then the checksum, then the signature's table.
    *refusal = payload == nullptr ? L"carries no database (MDB 129): the installer would report it as "
                                    L"incorrectly generated"
               : !integrityRefusal.empty() ? integrityRefusal
                                           : signatureRefusal;
    if (!refusal->empty())
        *refusal = L"the package " + path + L" " + *refusal;
    return report;
}
