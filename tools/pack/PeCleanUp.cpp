#include "pack/PeCleanUp.h"
#include "pack/Files.h"
#include "pack/PackError.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace
{
// Wine maps a section straight from the file only when its raw data starts on a page; otherwise it
// reads it into private memory, and the installer's memory would grow with the payload.
constexpr DWORD kPage = 4096;

// Sequential writes that keep the running sum of the PE checksum.
class ChecksummedWriter
{
public:
    ChecksummedWriter(HANDLE file, const std::wstring& path) : file_(file), path_(path) {}

    void Write(const BYTE* data, size_t size)
    {
        Sum(data, size);
        WriteAll(file_, data, size, path_);
        offset_ += size;
    }

    void PadTo(size_t offset)
    {
        static const BYTE zeros[kPage] = {};
        while (offset_ < offset)
            Write(zeros, offset - offset_ < sizeof zeros ? offset - offset_ : sizeof zeros);
    }

    // The one's-complement sum of the file's 16-bit words, folded to 16 bits, plus the file's length. The
    // checksum field itself is written as zero, so it adds nothing.
    DWORD Checksum() const
    {
        uint64_t sum = sum_;
        while (sum >> 16)
            sum = (sum & 0xFFFF) + (sum >> 16);
        return (DWORD)sum + (DWORD)offset_;
    }

private:
    void Sum(const BYTE* data, size_t size)
    {
        size_t i = 0;
        if ((offset_ & 1) != 0 && size > 0)
            sum_ += (uint64_t)data[i++] << 8;
        for (; i + 1 < size; i += 2)
            sum_ += (uint64_t)data[i] | ((uint64_t)data[i + 1] << 8);
        if (i < size)
            sum_ += data[i];
    }

    HANDLE file_;
    const std::wstring& path_;
    size_t offset_ = 0;
    uint64_t sum_ = 0;
};

int ResourceSection(const PeImage& image)
{
    const IMAGE_DATA_DIRECTORY& resources = image.directory(IMAGE_DIRECTORY_ENTRY_RESOURCE);
    return resources.VirtualAddress != 0 && resources.Size != 0
               ? image.SectionContaining(resources.VirtualAddress)
               : -1;
}

// Pairs each section of the base with the one it became, the resource section with the new resource
// section. Anything but the resources that changed means the update did something this tool does not
// understand, and a package built on it would not be the fixed installer. Sections may move in memory
// only if no code addresses them: discardable ones such as .reloc.
std::vector<int> MatchSections(const PeImage& base, int baseResources, const PeImage& stamped, int resources)
{
    std::vector<int> counterpart(base.sectionCount(), resources);
    int next = 0;
    for (int i = 0; i < base.sectionCount(); i++)
    {
        if (i == baseResources)
            continue;
        if (next == resources)
            next++;
        const std::wstring name = base.SectionName(i);
        if (next >= stamped.sectionCount())
            Fail(L"the resource update dropped section " + name + L" of the base");
        const IMAGE_SECTION_HEADER& before = base.section(i);
        const IMAGE_SECTION_HEADER& after = stamped.section(next);
        if (std::memcmp(before.Name, after.Name, sizeof before.Name) != 0 ||
            before.Misc.VirtualSize != after.Misc.VirtualSize ||
            before.SizeOfRawData != after.SizeOfRawData || before.Characteristics != after.Characteristics ||
            std::memcmp(base.data() + before.PointerToRawData, stamped.data() + after.PointerToRawData,
                        before.SizeOfRawData) != 0)
            Fail(L"the resource update changed section " + name + L" of the base");
        if (before.VirtualAddress != after.VirtualAddress &&
            (before.Characteristics & IMAGE_SCN_MEM_DISCARDABLE) == 0)
            Fail(L"the resource update moved section " + name + L", which the program addresses directly");
        counterpart[i] = next++;
    }
    if (next == resources)
        next++;
    if (next != stamped.sectionCount())
        Fail(L"the resource update added sections other than the resource section");
    return counterpart;
}

// The loader wants the sections in ascending, adjacent memory.
void CheckAdjacent(const PeImage& image)
{
    const DWORD alignment = image.sectionAlignment();
    for (int i = 1; i < image.sectionCount(); i++)
    {
        const IMAGE_SECTION_HEADER& previous = image.section(i - 1);
        if (image.section(i).VirtualAddress !=
            AlignUp(previous.VirtualAddress + PeImage::MemorySize(previous), alignment))
            Fail(L"after the resource update, section " + image.SectionName(i) +
                 L" does not follow the one before it in memory");
    }
}

DWORD RawSizeIf(const PeImage& image, int section, DWORD characteristic)
{
    return section >= 0 && (image.section(section).Characteristics & characteristic) != 0
               ? image.section(section).SizeOfRawData
               : 0;
}

// The headers of the clean image, rewritten in place: `nt` is IMAGE_NT_HEADERS32 or IMAGE_NT_HEADERS64 as
// the image is PE32 or PE32+, whose fields lie apart but mean the same. `sections` already have their new
// raw data pointers; `symbolsAt` is where the symbol table goes, 0 for none.
template <class NtHeaders>
void RewriteHeaders(NtHeaders& nt, const IMAGE_SECTION_HEADER* sections, const PeImage& base,
                    int baseResources, const PeImage& stamped, int resources,
                    const std::vector<int>& counterpart, DWORD symbolsAt)
{
    auto& optional = nt.OptionalHeader;

    // Directories of the base follow their sections; the resource directory is the update's own.
    for (int d = 0; d < IMAGE_NUMBEROF_DIRECTORY_ENTRIES; d++)
    {
        const IMAGE_DATA_DIRECTORY& before = base.directory(d);
        IMAGE_DATA_DIRECTORY& directory = optional.DataDirectory[d];
        if (d == IMAGE_DIRECTORY_ENTRY_RESOURCE)
            continue;
        if (d == IMAGE_DIRECTORY_ENTRY_SECURITY)
        {
            directory = IMAGE_DATA_DIRECTORY{0, 0};
            continue;
        }
        if (d == IMAGE_DIRECTORY_ENTRY_DEBUG && before.VirtualAddress != 0)
            Fail(base.what() + L" has a debug directory, whose file offsets cannot follow its sections; "
                               L"link it without one");
        directory = before;
        const int i = base.SectionContaining(before.VirtualAddress);
        if (before.VirtualAddress != 0 && i >= 0)
            directory.VirtualAddress = sections[counterpart[i]].VirtualAddress +
                                       (before.VirtualAddress - base.section(i).VirtualAddress);
    }

    // Only the resource section changed size, so every size the linker summed changes by its growth.
    const IMAGE_SECTION_HEADER& last = sections[stamped.sectionCount() - 1];
    optional.SizeOfImage =
        AlignUp(last.VirtualAddress + PeImage::MemorySize(last), optional.SectionAlignment);
    optional.SizeOfInitializedData = base.sizeOfInitializedData() -
                                     RawSizeIf(base, baseResources, IMAGE_SCN_CNT_INITIALIZED_DATA) +
                                     RawSizeIf(stamped, resources, IMAGE_SCN_CNT_INITIALIZED_DATA);
    optional.SizeOfCode = base.sizeOfCode() - RawSizeIf(base, baseResources, IMAGE_SCN_CNT_CODE) +
                          RawSizeIf(stamped, resources, IMAGE_SCN_CNT_CODE);

    nt.FileHeader.PointerToSymbolTable = symbolsAt;
    nt.FileHeader.NumberOfSymbols = symbolsAt != 0 ? base.fileHeader().NumberOfSymbols : 0;
    optional.CheckSum = 0;
}
} // namespace

void WriteCleanImage(const PeImage& base, const PeImage& stamped, HANDLE out, const std::wstring& outPath)
{
    if (base.pe32Plus() != stamped.pe32Plus())
        Fail(L"the resource update changed the kind of image of the base");
    const int baseResources = ResourceSection(base);
    const int resources = ResourceSection(stamped);
    if (resources < 0)
        Fail(L"the resource update left no resource section");
    const std::vector<int> counterpart = MatchSections(base, baseResources, stamped, resources);
    CheckAdjacent(stamped);

    std::vector<BYTE> headers(stamped.data(), stamped.data() + stamped.sizeOfHeaders());
    IMAGE_SECTION_HEADER* sections = (IMAGE_SECTION_HEADER*)(headers.data() + stamped.SectionTableOffset());
    const int count = stamped.sectionCount();

    size_t end = headers.size();
    for (int i = 0; i < count; i++)
    {
        IMAGE_SECTION_HEADER& section = sections[i];
        section.PointerToRawData = section.SizeOfRawData == 0 ? 0 : AlignUp((DWORD)end, kPage);
        if (section.SizeOfRawData != 0)
            end = section.PointerToRawData + section.SizeOfRawData;
    }

    size_t symbolsAt = 0, symbolsLength = 0;
    const bool symbols = base.SymbolTable(&symbolsAt, &symbolsLength);
    BYTE* nt = headers.data() + stamped.ntOffset();
    if (stamped.pe32Plus())
        RewriteHeaders(*(IMAGE_NT_HEADERS64*)nt, sections, base, baseResources, stamped, resources,
                       counterpart, symbols ? (DWORD)end : 0);
    else
        RewriteHeaders(*(IMAGE_NT_HEADERS32*)nt, sections, base, baseResources, stamped, resources,
                       counterpart, symbols ? (DWORD)end : 0);

    ChecksummedWriter writer(out, outPath);
    writer.Write(headers.data(), headers.size());
    for (int i = 0; i < count; i++)
    {
        if (sections[i].SizeOfRawData == 0)
            continue;
        writer.PadTo(sections[i].PointerToRawData);
        writer.Write(stamped.data() + stamped.section(i).PointerToRawData, sections[i].SizeOfRawData);
    }
    if (symbols)
        writer.Write(base.data() + symbolsAt, symbolsLength);

    // The checksum lies at the same place in both headers.
    static_assert(offsetof(IMAGE_NT_HEADERS32, OptionalHeader.CheckSum) ==
                  offsetof(IMAGE_NT_HEADERS64, OptionalHeader.CheckSum));
    const DWORD checksum = writer.Checksum();
    const LONG checksumAt =
        (LONG)(stamped.ntOffset() + offsetof(IMAGE_NT_HEADERS32, OptionalHeader.CheckSum));
    if (SetFilePointer(out, checksumAt, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
        Fail(L"cannot write " + outPath + L": " + SystemErrorText(GetLastError()));
    WriteAll(out, &checksum, sizeof checksum, outPath);
}
