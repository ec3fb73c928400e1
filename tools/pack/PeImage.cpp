#include "pack/PeImage.h"
#include "pack/PackError.h"
#include "pack/ResourceTree.h"
#include "pack/Text.h"

#include <algorithm>
#include <cstring>

namespace
{
constexpr uint32_t kNtSignature = 0x00004550; // "PE\0\0"
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr size_t kPe32OptionalSize = 224;
constexpr size_t kPe32PlusOptionalSize = 240;
constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMachineAmd64 = 0x8664;

bool IsPowerOfTwo(uint32_t value)
{
    return value != 0 && (value & (value - 1)) == 0;
}
} // namespace

PeImage::PeImage(const uint8_t* data, size_t size, std::string what)
    : data_(data), size_(size), what_(std::move(what))
{
    if (size < 64 || pe::Get16(data) != 0x5A4D)
        Bad("it has no MZ header");
    ntOffset_ = pe::Get32(data + 0x3C);
    // Both optional headers begin alike; the magic says which one this is, and the smaller must fit to read
    // it.
    if (ntOffset_ > size || size - ntOffset_ < 24 + kPe32OptionalSize)
        Bad("its headers are cut short");
    if (pe::Get32(data + ntOffset_) != kNtSignature)
        Bad("it has no PE signature");
    const uint16_t magic = pe::Get16(data + OptionalHeaderOffset());
    pe32Plus_ = magic == kPe32PlusMagic;
    optionalSize_ = pe32Plus_ ? kPe32PlusOptionalSize : kPe32OptionalSize;
    const uint32_t directories = Optional32(pe32Plus_ ? 108 : 92);
    if ((magic != kPe32Magic && magic != kPe32PlusMagic) || size - ntOffset_ < 24 + optionalSize_ ||
        pe::Get16(data + FileHeaderOffset() + 16) != optionalSize_ || directories != pe::kDirectoryCount)
        Bad("it is neither a PE32 nor a PE32+ image with the usual optional header");
    if (!IsPowerOfTwo(fileAlignment()) || !IsPowerOfTwo(sectionAlignment()) ||
        fileAlignment() > sectionAlignment())
        Bad("its alignments are not powers of two");

    const size_t count = pe::Get16(data + FileHeaderOffset() + 2);
    const size_t tableEnd = SectionTableOffset() + count * pe::kSectionHeaderSize;
    if (tableEnd > sizeOfHeaders() || sizeOfHeaders() > size)
        Bad("its section table lies outside its headers");
    for (size_t i = 0; i < count; i++)
    {
        const uint8_t* header = data + SectionTableOffset() + i * pe::kSectionHeaderSize;
        Section section;
        section.name.assign((const char*)header, strnlen((const char*)header, 8));
        section.virtualSize = pe::Get32(header + 8);
        section.virtualAddress = pe::Get32(header + 12);
        section.rawSize = pe::Get32(header + 16);
        section.rawOffset = pe::Get32(header + 20);
        section.characteristics = pe::Get32(header + 36);
        sections_.push_back(section);
        if (section.rawSize != 0 && (section.rawOffset > size || section.rawSize > size - section.rawOffset))
            Bad("section " + SectionName((int)i) + " lies beyond the end of the file");
    }
}

void PeImage::Bad(const std::string& why) const
{
    Fail(what_ + " is not a usable Windows executable: " + why);
}

std::string PeImage::SectionName(int index) const
{
    // Bytes past ASCII as Latin-1, so that any name can be shown.
    std::string name;
    for (unsigned char ch : sections_[index].name)
        name += ch < 0x80 ? std::string(1, (char)ch)
                          : std::string{(char)(0xC0 | ch >> 6), (char)(0x80 | (ch & 0x3F))};
    return name;
}

uint32_t PeImage::MemorySize(const Section& section)
{
    return section.virtualSize != 0 ? section.virtualSize : section.rawSize;
}

int PeImage::SectionContaining(uint32_t rva) const
{
    for (int i = 0; i < sectionCount(); i++)
        if (rva >= sections_[i].virtualAddress &&
            rva - sections_[i].virtualAddress < MemorySize(sections_[i]))
            return i;
    return -1;
}

bool PeImage::SymbolTable(size_t* offset, size_t* length) const
{
    const uint32_t at = pe::Get32(data_ + FileHeaderOffset() + 8);
    if (at == 0)
        return false;
    const size_t symbols = (size_t)pe::Get32(data_ + FileHeaderOffset() + 12) * pe::kSymbolSize;
    if (at > size_ || symbols > size_ - at || size_ - at - symbols < 4)
        Bad("its symbol table lies beyond the end of the file");
    const size_t stringsAt = at + symbols;
    const uint32_t strings = pe::Get32(data_ + stringsAt);
    if (strings < 4 || strings > size_ - stringsAt)
        Bad("its string table lies beyond the end of the file");
    *offset = at;
    *length = symbols + strings;
    return true;
}

namespace
{
// Wine maps a section straight from the file only when its raw data starts on a page; otherwise it
// reads it into private memory, and the installer's memory would grow with the payload.
constexpr uint32_t kPage = 4096;

// How the base becomes the package. `resources` is the resource section's index in the new section table;
// the base's sections from `firstMoved` on come after it, each one place further when the base had no
// resource section of its own (`inserted`).
struct Layout
{
    int resources;
    bool inserted;
    int firstMoved;
    uint32_t address;
};

// Everything a base must be for its resource section to be replaced, checked before any byte is written.
Layout PlanLayout(const PeImage& base)
{
    const std::string& what = base.what();
    if (!(base.machine() == kMachineI386 && !base.pe32Plus()) &&
        !(base.machine() == kMachineAmd64 && base.pe32Plus()))
        Fail(what + " is made for a processor the generator does not know (machine " +
             Hex(base.machine(), 4) + "); it takes x86 and x64 images only");
    const DataDirectory certificates = base.directory(pe::kSecurityDirectory);
    if (certificates.address != 0 || certificates.size != 0)
        Fail(what + " is signed; its signature cannot cover a package: stamp the unsigned Quillbrook.exe and "
                    "sign the package");
    if (base.directory(pe::kDebugDirectory).address != 0)
        Fail(what +
             " has a debug directory, whose file offsets cannot follow its sections; link it without one");

    const int count = base.sectionCount();
    std::vector<std::pair<uint32_t, int>> inFile; // raw offset, section
    for (int i = 0; i < count; i++)
    {
        const Section& section = base.section(i);
        if (i > 0 && (uint64_t)base.section(i - 1).virtualAddress + PeImage::MemorySize(base.section(i - 1)) >
                         section.virtualAddress)
            Fail(what + " has sections that overlap in memory, or are out of order: " +
                 base.SectionName(i - 1) + " and " + base.SectionName(i));
        if (section.rawSize != 0)
            inFile.push_back({section.rawOffset, i});
    }
    std::sort(inFile.begin(), inFile.end());
    uint64_t end = base.sizeOfHeaders();
    for (const auto& [offset, i] : inFile)
    {
        if (offset < end)
            Fail(what + " has sections that overlap in the file, or its headers: " + base.SectionName(i));
        end = (uint64_t)offset + base.section(i).rawSize;
    }
    size_t symbolsAt = 0, symbolsLength = 0;
    if (base.SymbolTable(&symbolsAt, &symbolsLength))
        end = std::max<uint64_t>(end, symbolsAt + symbolsLength);
    // Data appended to an image (an installer's archive, say) belongs to no section, and would be lost.
    if (base.size() > end)
        Fail(what + " has " + std::to_string(base.size() - end) +
             " bytes after its sections that the generator cannot place; stamp the fixed Quillbrook.exe");

    Layout layout = {};
    const DataDirectory resources = base.directory(pe::kResourceDirectory);
    if (resources.address != 0)
    {
        layout.resources = base.SectionContaining(resources.address);
        if (layout.resources < 0 || base.section(layout.resources).virtualAddress != resources.address)
            Fail(what + " keeps its resources elsewhere than at the start of a section of their own");
        layout.firstMoved = layout.resources + 1;
        layout.address = resources.address;
    }
    else
    {
        // Before the sections that may move, such as the relocations.
        layout.inserted = true;
        layout.resources = count;
        while (layout.resources > 0 &&
               (base.section(layout.resources - 1).characteristics & pe::kDiscardable) != 0)
            layout.resources--;
        layout.firstMoved = layout.resources;
        const size_t header = base.SectionTableOffset() + count * pe::kSectionHeaderSize;
        if (header + pe::kSectionHeaderSize > base.sizeOfHeaders() ||
            std::any_of(base.data() + header, base.data() + header + pe::kSectionHeaderSize,
                        [](uint8_t byte) { return byte != 0; }))
            Fail(what + " has no resource section, and no room in its headers for one");
        if (layout.resources == 0)
            layout.address = AlignUp(base.sizeOfHeaders(), base.sectionAlignment());
        else
        {
            const Section& previous = base.section(layout.resources - 1);
            layout.address =
                AlignUp(previous.virtualAddress + PeImage::MemorySize(previous), base.sectionAlignment());
        }
    }
    // Code and data address the sections they need directly; only those nothing addresses may move.
    for (int i = layout.firstMoved; i < count; i++)
        if ((base.section(i).characteristics & pe::kDiscardable) == 0)
            Fail(what + " has section " + base.SectionName(i) +
                 " after its resources, which the program addresses directly, so that it cannot move");
    return layout;
}

// Sequential writes that keep the running sum of the PE checksum.
class ChecksummedSink : public ImageSink
{
public:
    explicit ChecksummedSink(ImageSink& out) : out_(out) {}

    void Write(const uint8_t* data, size_t size) override
    {
        Sum(data, size);
        out_.Write(data, size);
        offset_ += size;
    }
    // Fields written afterwards count in the sum only through what Write gave for them.
    void Overwrite(uint64_t offset, const uint8_t* data, size_t size) override
    {
        out_.Overwrite(offset, data, size);
    }

    void PadTo(uint64_t offset)
    {
        static const uint8_t zeros[kPage] = {};
        while (offset_ < offset)
            Write(zeros, offset - offset_ < sizeof zeros ? (size_t)(offset - offset_) : sizeof zeros);
    }

    // The one's-complement sum of the file's 16-bit words, folded to 16 bits, plus the file's length. The
    // checksum field itself is written as zero, so it adds nothing.
    uint32_t Checksum() const
    {
        uint64_t sum = sum_;
        while (sum >> 16)
            sum = (sum & 0xFFFF) + (sum >> 16);
        return (uint32_t)(sum + offset_);
    }

private:
    void Sum(const uint8_t* data, size_t size)
    {
        size_t i = 0;
        if ((offset_ & 1) != 0 && size > 0)
            sum_ += (uint64_t)data[i++] << 8;
        for (; i + 1 < size; i += 2)
            sum_ += (uint64_t)data[i] | ((uint64_t)data[i + 1] << 8);
        if (i < size)
            sum_ += data[i];
    }

    ImageSink& out_;
    uint64_t offset_ = 0;
    uint64_t sum_ = 0;
};

void PutSectionHeader(uint8_t* header, const Section& section)
{
    std::memset(header, 0, 8);
    std::memcpy(header, section.name.data(), section.name.size());
    pe::Put32(header + 8, section.virtualSize);
    pe::Put32(header + 12, section.virtualAddress);
    pe::Put32(header + 16, section.rawSize);
    pe::Put32(header + 20, section.rawOffset);
    pe::Put32(header + 36, section.characteristics);
}
} // namespace

uint32_t ResourceSectionAddress(const PeImage& base)
{
    return PlanLayout(base).address;
}

void WriteImage(const PeImage& base, const ResourceSection& resources, ImageSink& out)
{
    const Layout layout = PlanLayout(base);
    if (resources.address() != layout.address)
        Fail("the resource section was built for another address than " + base.what() + " gives it");

    // The new section table, each section's origin in the base (-1 for the new resources).
    std::vector<int> from;
    for (int i = 0; i < base.sectionCount(); i++)
        from.push_back(i == layout.resources && !layout.inserted ? -1 : i);
    if (layout.inserted)
        from.insert(from.begin() + layout.resources, -1);
    std::vector<Section> sections;
    for (size_t i = 0; i < from.size(); i++)
    {
        if (from[i] >= 0)
            sections.push_back(base.section(from[i]));
        else
        {
            Section section = {".rsrc", 0, 0, 0, 0, pe::kInitializedData | pe::kReadable};
            if (!layout.inserted)
                section = base.section(layout.resources);
            section.virtualAddress = layout.address;
            section.virtualSize = resources.size();
            section.rawSize = AlignUp(resources.size(), base.fileAlignment());
            // A writable image section is charged in full to the system's commit while the package runs,
            // payload included; nothing writes to resources.
            section.characteristics &= ~pe::kWritable;
            sections.push_back(section);
        }
        if ((int)i > layout.resources)
        {
            const Section& previous = sections[i - 1];
            sections[i].virtualAddress =
                AlignUp(previous.virtualAddress + PeImage::MemorySize(previous), base.sectionAlignment());
        }
    }

    uint64_t end = base.sizeOfHeaders();
    for (Section& section : sections)
    {
        section.rawOffset = section.rawSize == 0 ? 0 : AlignUp((uint32_t)end, kPage);
        if (section.rawSize != 0)
            end = (uint64_t)section.rawOffset + section.rawSize;
        if (end > 0xFFFFF000)
            Fail("the package would be larger than a Windows executable can be (4 GB)");
    }
    size_t symbolsAt = 0, symbolsLength = 0;
    const bool symbols = base.SymbolTable(&symbolsAt, &symbolsLength);

    std::vector<uint8_t> headers(base.data(), base.data() + base.sizeOfHeaders());
    uint8_t* fileHeader = headers.data() + base.FileHeaderOffset();
    pe::Put16(fileHeader + 2, (uint32_t)sections.size());
    pe::Put32(fileHeader + 8, symbols ? (uint32_t)end : 0);
    pe::Put32(fileHeader + 12, symbols ? pe::Get32(base.data() + base.FileHeaderOffset() + 12) : 0);
    for (size_t i = 0; i < sections.size(); i++)
        PutSectionHeader(headers.data() + base.SectionTableOffset() + i * pe::kSectionHeaderSize,
                         sections[i]);

    // Directories follow their sections; the resource directory is the new tree, and a signature of the base
    // could not cover the package.
    for (int d = 0; d < pe::kDirectoryCount; d++)
    {
        DataDirectory directory = base.directory(d);
        const int i = base.SectionContaining(directory.address);
        if (d == pe::kResourceDirectory)
            directory = {layout.address, resources.size()};
        else if (d == pe::kSecurityDirectory)
            directory = {0, 0};
        else if (directory.address != 0 && i >= 0 && !layout.inserted && i == layout.resources)
            Fail(base.what() + " keeps data directory " + std::to_string(d) + " in its resource section");
        else if (directory.address != 0 && i >= layout.firstMoved)
            directory.address +=
                sections[i + (layout.inserted ? 1 : 0)].virtualAddress - base.section(i).virtualAddress;
        pe::Put32(headers.data() + base.DirectoryOffset(d), directory.address);
        pe::Put32(headers.data() + base.DirectoryOffset(d) + 4, directory.size);
    }

    const size_t optional = base.OptionalHeaderOffset();
    const Section& last = sections.back();
    pe::Put32(headers.data() + optional + 56,
              AlignUp(last.virtualAddress + PeImage::MemorySize(last), base.sectionAlignment()));
    const Section& resourceSection = sections[layout.resources];
    uint32_t initialized = base.sizeOfInitializedData();
    if (!layout.inserted && (base.section(layout.resources).characteristics & pe::kInitializedData) != 0)
        initialized -= base.section(layout.resources).rawSize;
    if ((resourceSection.characteristics & pe::kInitializedData) != 0)
        initialized += resourceSection.rawSize;
    pe::Put32(headers.data() + optional + 8, initialized);
    pe::Put32(headers.data() + base.CheckSumOffset(), 0);

    ChecksummedSink sink(out);
    sink.Write(headers.data(), headers.size());
    for (size_t i = 0; i < sections.size(); i++)
    {
        if (sections[i].rawSize == 0)
            continue;
        sink.PadTo(sections[i].rawOffset);
        if (from[i] < 0)
            resources.WriteTo(sink);
        else
            sink.Write(base.data() + base.section(from[i]).rawOffset, sections[i].rawSize);
        sink.PadTo((uint64_t)sections[i].rawOffset + sections[i].rawSize);
    }
    if (symbols)
        sink.Write(base.data() + symbolsAt, symbolsLength);

    uint8_t checksum[4];
    pe::Put32(checksum, sink.Checksum());
    sink.Overwrite(base.CheckSumOffset(), checksum, sizeof checksum);
}
