#include "pack/PeImage.h"
#include "pack/PackError.h"

#include <cstddef>
#include <cstring>

namespace
{
bool IsPowerOfTwo(DWORD value)
{
    return value != 0 && (value & (value - 1)) == 0;
}
} // namespace

PeImage::PeImage(const BYTE* data, size_t size, std::wstring what)
    : data_(data), size_(size), what_(std::move(what))
{
    if (size < sizeof(IMAGE_DOS_HEADER) || ((const IMAGE_DOS_HEADER*)data)->e_magic != IMAGE_DOS_SIGNATURE)
        Bad(L"it has no MZ header");
    ntOffset_ = ((const IMAGE_DOS_HEADER*)data)->e_lfanew;
    // Both headers begin alike; the magic says which one this is, and the smaller must fit to read it.
    if (ntOffset_ > size || size - ntOffset_ < sizeof(IMAGE_NT_HEADERS32))
        Bad(L"its headers are cut short");
    const IMAGE_NT_HEADERS32* nt = (const IMAGE_NT_HEADERS32*)(data + ntOffset_);
    if (nt->Signature != IMAGE_NT_SIGNATURE)
        Bad(L"it has no PE signature");
    fileHeader_ = &nt->FileHeader;
    size_t optionalSize = 0;
    DWORD directories = 0;
    if (nt->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC)
    {
        nt32_ = nt;
        optionalSize = sizeof(IMAGE_OPTIONAL_HEADER32);
        directories = nt32_->OptionalHeader.NumberOfRvaAndSizes;
    }
    else if (nt->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC &&
             size - ntOffset_ >= sizeof(IMAGE_NT_HEADERS64))
    {
        nt64_ = (const IMAGE_NT_HEADERS64*)nt;
        optionalSize = sizeof(IMAGE_OPTIONAL_HEADER64);
        directories = nt64_->OptionalHeader.NumberOfRvaAndSizes;
    }
    if (optionalSize == 0 || fileHeader_->SizeOfOptionalHeader != optionalSize ||
        directories != IMAGE_NUMBEROF_DIRECTORY_ENTRIES)
        Bad(L"it is neither a PE32 nor a PE32+ image with the usual optional header");
    if (!IsPowerOfTwo(fileAlignment()) || !IsPowerOfTwo(sectionAlignment()) ||
        fileAlignment() > sectionAlignment())
        Bad(L"its alignments are not powers of two");

    const size_t tableAt = ntOffset_ + offsetof(IMAGE_NT_HEADERS32, OptionalHeader) + optionalSize;
    const size_t tableEnd = tableAt + sectionCount() * sizeof(IMAGE_SECTION_HEADER);
    if (tableEnd > sizeOfHeaders() || sizeOfHeaders() > size)
        Bad(L"its section table lies outside its headers");
    sections_ = (const IMAGE_SECTION_HEADER*)(data + tableAt);
    for (int i = 0; i < sectionCount(); i++)
    {
        const IMAGE_SECTION_HEADER& s = sections_[i];
        if (s.SizeOfRawData != 0 &&
            (s.PointerToRawData > size || s.SizeOfRawData > size - s.PointerToRawData))
            Bad(L"section " + SectionName(i) + L" lies beyond the end of the file");
    }
}

void PeImage::Bad(const std::wstring& why) const
{
    Fail(what_ + L" is not a usable Windows executable: " + why);
}

std::wstring PeImage::SectionName(int index) const
{
    const BYTE* name = sections_[index].Name;
    std::wstring result;
    for (int i = 0; i < IMAGE_SIZEOF_SHORT_NAME && name[i] != 0; i++)
        result += (wchar_t)name[i];
    return result;
}

DWORD PeImage::MemorySize(const IMAGE_SECTION_HEADER& section)
{
    return section.Misc.VirtualSize != 0 ? section.Misc.VirtualSize : section.SizeOfRawData;
}

int PeImage::SectionContaining(DWORD rva) const
{
    for (int i = 0; i < sectionCount(); i++)
        if (rva >= sections_[i].VirtualAddress &&
            rva - sections_[i].VirtualAddress < MemorySize(sections_[i]))
            return i;
    return -1;
}

bool PeImage::SymbolTable(size_t* offset, size_t* length) const
{
    const IMAGE_FILE_HEADER& header = *fileHeader_;
    if (header.PointerToSymbolTable == 0)
        return false;
    const size_t symbols = (size_t)header.NumberOfSymbols * IMAGE_SIZEOF_SYMBOL;
    if (header.PointerToSymbolTable > size_ || symbols > size_ - header.PointerToSymbolTable ||
        size_ - header.PointerToSymbolTable - symbols < sizeof(DWORD))
        Bad(L"its symbol table lies beyond the end of the file");
    const size_t stringsAt = header.PointerToSymbolTable + symbols;
    DWORD strings;
    std::memcpy(&strings, data_ + stringsAt, sizeof strings);
    if (strings < sizeof(DWORD) || strings > size_ - stringsAt)
        Bad(L"its string table lies beyond the end of the file");
    *offset = header.PointerToSymbolTable;
    *length = symbols + strings;
    return true;
}
