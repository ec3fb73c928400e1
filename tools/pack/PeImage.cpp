#include "pack/PeImage.h"
#include "pack/PackError.h"

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
    DWORD ntOffset = ((const IMAGE_DOS_HEADER*)data)->e_lfanew;
    if (ntOffset > size || size - ntOffset < sizeof(IMAGE_NT_HEADERS32))
        Bad(L"its headers are cut short");
    nt_ = (const IMAGE_NT_HEADERS32*)(data + ntOffset);
    if (nt_->Signature != IMAGE_NT_SIGNATURE)
        Bad(L"it has no PE signature");
    const IMAGE_OPTIONAL_HEADER32& optional = nt_->OptionalHeader;
    if (optional.Magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC ||
        nt_->FileHeader.SizeOfOptionalHeader != sizeof(IMAGE_OPTIONAL_HEADER32) ||
        optional.NumberOfRvaAndSizes != IMAGE_NUMBEROF_DIRECTORY_ENTRIES)
        Bad(L"it is not a 32-bit image with the usual optional header");
    if (!IsPowerOfTwo(optional.FileAlignment) || !IsPowerOfTwo(optional.SectionAlignment) ||
        optional.FileAlignment > optional.SectionAlignment)
        Bad(L"its alignments are not powers of two");

    sections_ = IMAGE_FIRST_SECTION(nt_);
    size_t tableEnd = (size_t)((const BYTE*)(sections_ + sectionCount()) - data);
    if (tableEnd > optional.SizeOfHeaders || optional.SizeOfHeaders > size)
        Bad(L"its section table lies outside its headers");
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
    Fail(what_ + L" is not a usable 32-bit Windows executable: " + why);
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
    const IMAGE_FILE_HEADER& header = nt_->FileHeader;
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
