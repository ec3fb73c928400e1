#include "pack/Show.h"
#include "pack/Compress.h"
#include "pack/PackError.h"
#include "pack/PackageEntries.h"
#include "pack/Platform.h"
#include "pack/Text.h"
#include "package/CompressedPayload.h"
#include "package/PackageIds.h"
#include "package/IntegrityEntry.h"

namespace
{
constexpr uint16_t kNeutral = 0; // the language the installer looks an entry up in

std::string PadRight(std::string text, size_t width)
{
    const size_t length = CharacterCount(text);
    if (length < width)
        text.append(width - length, ' ');
    return text;
}

std::string PadLeft(const std::string& text, size_t width)
{
    return text.size() < width ? std::string(width - text.size(), ' ') + text : text;
}

// Control characters would garble the listing; they show as their code.
std::string Printable(const std::u16string& text)
{
    std::u16string result;
    for (char16_t ch : text)
    {
        if (ch < 0x20 || ch == 0x7F)
        {
            const std::string code = "<U+" + Hex(ch, 4) + ">";
            result.append(code.begin(), code.end());
        }
        else
            result += ch;
    }
    return ToUtf8(result);
}

// As the installer's loader reads it: the code units before the first NUL, or every whole code unit when
// there is no NUL.
std::string DescribeText(const uint8_t* data, uint32_t size)
{
    const size_t units = size / 2;
    std::u16string text;
    while (text.size() < units && pe::Get16(data + 2 * text.size()) != 0)
        text += (char16_t)pe::Get16(data + 2 * text.size());
    std::string result = "\"" + Printable(text) + "\"";
    if (text.size() == units)
        result += "  [no terminating NUL]";
    else if (text.size() + 1 < units)
        result +=
            "  [" + std::to_string(units - text.size() - 1) + " more code units after the NUL are not read]";
    if (size % 2 != 0)
        result += "  [odd size: the last byte is not read]";
    return result;
}

// As the installer reads it: set when any of the first four bytes is not zero.
std::string DescribeFlag(const uint8_t* data, uint32_t size)
{
    uint32_t value = 0;
    for (uint32_t i = 0; i < size && i < 4; i++)
        value |= (uint32_t)data[i] << (8 * i);
    std::string result = value == 0   ? "0 (clear)"
                         : value == 1 ? "1 (set)"
                                      : "1 (set; stored as 0x" + Hex(value, 8) + ")";
    if (size != 4)
        result += "  [" + std::to_string(size) + " bytes, not 4]";
    return result;
}

std::string DescribeBytes(const uint8_t* data, uint32_t size)
{
    std::string result;
    for (uint32_t i = 0; i < size && i < 16; i++)
        result += (i ? " " : "") + Hex(data[i], 2);
    return size > 16 ? result + " ..." : result;
}

std::string Describe(EntryKind kind, const ResourceEntry& entry)
{
    switch (kind)
    {
    case EntryKind::Payload:
        return HasJetSignature(entry.data, entry.size)
                   ? "Jet database"
                   : "not a Jet database (no 00 01 00 00 \"Standard Jet DB\")";
    case EntryKind::Text:
        return DescribeText(entry.data, entry.size);
    case EntryKind::Flag:
        return DescribeFlag(entry.data, entry.size);
    }
    return std::string();
}

std::string Label(const std::u16string& type, const ResourceEntry* entry, uint16_t id)
{
    std::string name =
        entry == nullptr || entry->name.empty() ? std::to_string(id) : "\"" + ToUtf8(entry->name) + "\"";
    return PadRight(ToUtf8(type) + " " + name, 9);
}

std::string Line(const ResourceEntry& entry, const std::string& name, const std::string& description)
{
    std::string line = Label(entry.type, &entry, entry.id) + PadRight(name, 23) +
                       PadLeft(std::to_string(entry.size), 10) + " bytes  " + description;
    if (entry.language != kNeutral)
        line += "  [language " + Hex(entry.language, 4) + ", not neutral]";
    return line + "\n";
}

const char* AbsenceMeaning(EntryKind kind)
{
    switch (kind)
    {
    case EntryKind::Payload:
        return "absent: the installer will report the package as incorrectly generated";
    case EntryKind::Text:
        return "absent: the installer reads it as empty";
    case EntryKind::Flag:
        return "absent: the installer counts it as set";
    }
    return "absent";
}

// The one the installer reads where an entry comes in several languages: the neutral one, as its
// FindResource looks for that first.
const ResourceEntry* Preferred(const std::vector<ResourceEntry>& entries, const std::u16string& type,
                               uint16_t id)
{
    const ResourceEntry* found = nullptr;
    for (const ResourceEntry& entry : entries)
        if (entry.type == type && entry.name.empty() && entry.id == id &&
            (found == nullptr || entry.language == kNeutral))
            found = &entry;
    return found;
}

bool IsIntegrityEntry(const ResourceEntry& entry)
{
    return entry.type == kIntegrityType && entry.name.empty() && entry.id == SUM_INTEGRITY;
}

std::string DescribeIntegrity(const std::vector<ResourceEntry>& entries, std::string* refusal)
{
    PackageEntryView views[CHECKED_ENTRY_COUNT] = {};
    for (int i = 0; i < CHECKED_ENTRY_COUNT; i++)
    {
        const std::string type = kCheckedPackageEntries[i].pszType;
        if (const ResourceEntry* entry = Preferred(entries, std::u16string(type.begin(), type.end()),
                                                   (uint16_t)kCheckedPackageEntries[i].nID))
            views[i] = {TRUE, entry->data, entry->size};
    }

    const std::string name = "SUM_INTEGRITY";
    const ResourceEntry* integrity = Preferred(entries, kIntegrityType, SUM_INTEGRITY);
    if (integrity == nullptr)
    {
        *refusal = "has no integrity entry (SUM 142), and the installer refuses it";
        return Label(kIntegrityType, nullptr, SUM_INTEGRITY) + PadRight(name, 23) +
               "    absent: the installer refuses this package\n";
    }

    std::string what = DescribeBytes(integrity->data, integrity->size);
    DecodedPayload decoded;
    if (integrity->size == INTEGRITY_ENTRY_SIZE && integrity->data[3] == 1)
        what = "version 1, checksum " + Hex(pe::Get32(integrity->data + 4), 8);
    else if (ReadDecodedPayload(integrity->data, integrity->size, &decoded))
        what = "version 2, checksum " + Hex(pe::Get32(integrity->data + 4), 8) + ", decoded " +
               std::to_string(decoded.cbSize) + " bytes, XXH64 " + Hex((uint32_t)(decoded.ullHash >> 32), 8) +
               Hex((uint32_t)decoded.ullHash, 8);
    switch (CheckIntegrityEntry(integrity->data, integrity->size, views))
    {
    case INTEGRITY_UNSTAMPED:
        return Line(*integrity, name, "not stamped (placeholder): the installer does not check this package");
    case INTEGRITY_MATCHES:
        return Line(*integrity, name, what + ": matches");
    case INTEGRITY_MISMATCH:
        break;
    }
    *refusal = "is damaged: it does not match its integrity entry (SUM 142), and the installer refuses it";
    return Line(*integrity, name, what + ": does NOT match: the package is damaged");
}

// A compressed database as the installer checks it before anything else: its frame, then what it holds.
std::string DescribeFrame(const ResourceEntry& entry, std::string* refusal)
{
    const DecodedFrame decoded = DecodeFrame(entry.data, entry.size);
    const FrameProblem problem = CheckCompressedFrame(entry.data, entry.size, decoded.bytes.size());
    if (problem != FRAME_USABLE)
    {
        *refusal = "has a compressed database that is " + std::string(FrameProblemText(problem)) +
                   ", and the installer refuses it";
        return FrameProblemText(problem) + std::string(": the installer refuses it");
    }
    if (!decoded.complete)
    {
        *refusal = "has a compressed database that does not decode: the installer would fail to write it";
        return "a Zstandard frame that does not decode: the installer would fail to write it";
    }
    return "Zstandard frame of a " +
           std::string(HasJetSignature(decoded.bytes.data(), decoded.bytes.size())
                           ? "Jet database"
                           : "database that is not a Jet database (no 00 01 00 00 \"Standard Jet DB\")") +
           ", " + std::to_string(decoded.bytes.size()) + " bytes decoded";
}

// For release notes and download pages: the same before and after signing, and what the customer's
// installed file hashes to. In lower case, as sha256sum and most download pages write it.
std::string Sha256Text(const uint8_t* data, size_t size)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t byte : Sha256(data, size))
        text += {kDigits[byte >> 4], kDigits[byte & 0xF]};
    return text;
}

// The certificate table that signing appends to the file, which the loader and the installer skip. A
// table that does not fit means a file cut short on its way.
std::string DescribeSignature(const PeImage& image, std::string* refusal)
{
    const DataDirectory table = image.directory(pe::kSecurityDirectory);
    if (table.address == 0 && table.size == 0)
        return "absent";
    // A file offset, unlike every other directory's address. The table's first certificate starts with
    // its length (4 bytes), revision (2) and type (2), 2 meaning PKCS #7 signed data.
    uint32_t length = 0;
    uint16_t type = 0;
    if (table.address <= image.size() && table.size <= image.size() - table.address && table.size >= 8)
    {
        length = pe::Get32(image.data() + table.address);
        type = pe::Get16(image.data() + table.address + 6);
    }
    if (length >= 8 && length <= table.size && type == 2)
        return "present (verifying it is the signing tool's job)";
    *refusal = "is damaged: its certificate table does not fit in the file (cut short?)";
    return "damaged";
}
} // namespace

std::string DescribePackage(const std::string& path, std::string* refusal)
{
    PackageFile file(path, "the package");
    // Not read by the installer, but a table cut short means the file is.
    size_t symbolsAt, symbolsLength;
    file.image().SymbolTable(&symbolsAt, &symbolsLength);
    std::vector<ResourceEntry> entries = file.Entries(kPayloadType);
    for (const char16_t* type : {kCompressedPayloadType, kSettingType, kIntegrityType})
        for (const ResourceEntry& entry : file.Entries(type))
            entries.push_back(entry);

    std::string report = "Package " + path + "\n";
    std::string frameRefusal;
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
        // The database may come compressed instead.
        if (known.kind == EntryKind::Payload)
            for (const ResourceEntry& entry : entries)
                if (entry.type == kCompressedPayloadType && entry.name.empty() && entry.id == known.id)
                {
                    report += Line(entry, known.name, DescribeFrame(entry, &frameRefusal));
                    found = true;
                }
        if (!found)
        {
            report += Label(known.type, nullptr, known.id) + PadRight(known.name, 23) + "    " +
                      AbsenceMeaning(known.kind) + "\n";
            absent++;
        }
    }
    std::string integrityRefusal, signatureRefusal;
    report += DescribeIntegrity(entries, &integrityRefusal);
    for (const ResourceEntry& entry : entries)
        if (!entry.name.empty() ||
            (FindKnownEntry(entry.type, entry.id) == nullptr && !IsIntegrityEntry(entry) &&
             !(entry.type == kCompressedPayloadType && entry.id == MDB_DATABASE)))
            report += Line(entry, "(not read by the installer)", DescribeBytes(entry.data, entry.size));

    report += absent == 0 ? "All 7 entries are present.\n"
                          : std::to_string(absent) + " of the 7 entries " + (absent == 1 ? "is" : "are") +
                                " absent.\n";
    // The payload the installer writes: the one it finds first; a compressed one as it decodes.
    const ResourceEntry* payload = Preferred(entries, kPayloadType, MDB_DATABASE);
    const ResourceEntry* compressed = Preferred(entries, kCompressedPayloadType, MDB_DATABASE);
    if (payload != nullptr)
        report += "Database SHA-256: " + Sha256Text(payload->data, payload->size) + "\n";
    else if (compressed != nullptr)
    {
        const DecodedFrame decoded = DecodeFrame(compressed->data, compressed->size);
        report += "Database SHA-256: " + Sha256Text(decoded.bytes.data(), decoded.bytes.size()) +
                  (decoded.complete ? "" : " (of what decodes before the frame fails)") + "\n";
        report += "Database size: " + std::to_string(decoded.bytes.size()) + " bytes, compressed to " +
                  std::to_string(compressed->size) + " (" + Percent(compressed->size, decoded.bytes.size()) +
                  ")\n";
    }
    report += "Authenticode signature: " + DescribeSignature(file.image(), &signatureRefusal) + "\n";

    // One reason, the plainest: no database at all, or two, or one the installer cannot decode, then the
    // checksum, then the signature's table.
    *refusal = payload == nullptr && compressed == nullptr
                   ? "carries no database (MDB 129): the installer would report it as incorrectly generated"
               : payload != nullptr && compressed != nullptr
                   ? "carries two databases, stored (MDB 129) and compressed (MDZ 129), and the installer "
                     "refuses it"
               : !frameRefusal.empty()     ? frameRefusal
               : !integrityRefusal.empty() ? integrityRefusal
                                           : signatureRefusal;
    if (!refusal->empty())
        *refusal = "the package " + path + " " + *refusal;
    return report;
}
