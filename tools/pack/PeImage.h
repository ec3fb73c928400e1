// The PE format as the generator reads and writes it, PE32 (the shipped executable) or PE32+ (its 64-bit
// twin), over plain bytes: every field is read and written at its offset, little-endian, so that the same
// inputs give the same file on any machine the generator runs on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pe
{
inline uint16_t Get16(const uint8_t* p)
{
    return (uint16_t)(p[0] | p[1] << 8);
}
inline uint32_t Get32(const uint8_t* p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
inline void Put16(uint8_t* p, uint32_t value)
{
    p[0] = (uint8_t)value;
    p[1] = (uint8_t)(value >> 8);
}
inline void Put32(uint8_t* p, uint32_t value)
{
    for (int i = 0; i < 4; i++)
        p[i] = (uint8_t)(value >> (8 * i));
}

constexpr int kResourceDirectory = 2;
constexpr int kSecurityDirectory = 4; // the certificate table; its address is a file offset
constexpr int kRelocationDirectory = 5;
constexpr int kDebugDirectory = 6;
constexpr int kDirectoryCount = 16;

constexpr uint32_t kInitializedData = 0x00000040;
constexpr uint32_t kDiscardable = 0x02000000;
constexpr uint32_t kReadable = 0x40000000;
constexpr uint32_t kWritable = 0x80000000;

constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kSymbolSize = 18;
} // namespace pe

struct Section
{
    std::string name; // as stored: up to 8 bytes; "/4" names a long name in the string table
    uint32_t virtualSize;
    uint32_t virtualAddress;
    uint32_t rawSize;
    uint32_t rawOffset;
    uint32_t characteristics;
};

struct DataDirectory
{
    uint32_t address;
    uint32_t size;
};

// A PE file in memory, checked just enough that its headers, sections and symbol table can be walked
// without reading outside it.
class PeImage
{
public:
    // `what` names the file in messages ("the base /srv/Quillbrook.exe"). Throws PackError.
    PeImage(const uint8_t* data, size_t size, std::string what);

    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    const std::string& what() const { return what_; }

    bool pe32Plus() const { return pe32Plus_; }
    uint16_t machine() const { return pe::Get16(data_ + FileHeaderOffset()); }
    size_t FileHeaderOffset() const { return ntOffset_ + 4; }
    size_t OptionalHeaderOffset() const { return ntOffset_ + 24; }
    size_t CheckSumOffset() const { return OptionalHeaderOffset() + 64; }
    // PE32+ widens the fields before the data directories.
    size_t DirectoryOffset(int index) const
    {
        return OptionalHeaderOffset() + (pe32Plus_ ? 112 : 96) + 8 * index;
    }

    uint32_t sectionAlignment() const { return Optional32(32); }
    uint32_t fileAlignment() const { return Optional32(36); }
    uint32_t sizeOfHeaders() const { return Optional32(60); }
    uint32_t sizeOfInitializedData() const { return Optional32(8); }
    DataDirectory directory(int index) const
    {
        return {pe::Get32(data_ + DirectoryOffset(index)), pe::Get32(data_ + DirectoryOffset(index) + 4)};
    }

    int sectionCount() const { return (int)sections_.size(); }
    size_t SectionTableOffset() const { return OptionalHeaderOffset() + optionalSize_; }
    const Section& section(int index) const { return sections_[index]; }
    // The section's name for messages.
    std::string SectionName(int index) const;
    // The section whose memory holds rva, or -1.
    int SectionContaining(uint32_t rva) const;
    // How much memory the loader gives it: its virtual size, or its raw size when that is left at 0.
    static uint32_t MemorySize(const Section& section);

    // The COFF symbol table and the string table after it, as one range of the file; false when there is
    // none. Long section names ("/4") point into that string table.
    bool SymbolTable(size_t* offset, size_t* length) const;

private:
    [[noreturn]] void Bad(const std::string& why) const;
    uint32_t Optional32(size_t at) const { return pe::Get32(data_ + OptionalHeaderOffset() + at); }

    const uint8_t* data_;
    size_t size_;
    std::string what_;
    size_t ntOffset_;
    bool pe32Plus_;
    size_t optionalSize_;
    std::vector<Section> sections_;
};

inline uint32_t AlignUp(uint32_t value, uint32_t alignment)
{
    return (uint32_t)(((uint64_t)value + alignment - 1) & ~(uint64_t)(alignment - 1));
}

// Where an image goes as it is written: from its first byte to its last, but for a field that is known
// only once everything after it is written.
class ImageSink
{
public:
    virtual void Write(const uint8_t* data, size_t size) = 0;
    virtual void Overwrite(uint64_t offset, const uint8_t* data, size_t size) = 0;

protected:
    ~ImageSink() = default;
};

class ResourceSection; // pack/ResourceTree.h

// Where the base's resource section lies in memory once it is replaced, which the new tree's addresses
// need. Throws PackError, in one line, for a base whose image cannot take a new resource section.
uint32_t ResourceSectionAddress(const PeImage& base);

// Writes `base` with `resources`, built at ResourceSectionAddress(base), in place of its own resources,
// in one pass:
//   - the sections before the resources keep their addresses and bytes; those after them (discardable
//     ones only, such as the base relocations) follow the new resource section in memory, their data
//     directories with them;
//   - every section's raw data starts on a 4096-byte boundary, in section-table order, so that the
//     loader maps the payload from the file instead of copying it into private memory;
//   - the resource section is read-only;
//   - SizeOfImage and SizeOfInitializedData follow the sections, and the certificate entry is cleared;
//   - the base's COFF symbol and string tables, if any, follow the last section and are pointed to;
//   - CheckSum is the file's true checksum.
void WriteImage(const PeImage& base, const ResourceSection& resources, ImageSink& out);
