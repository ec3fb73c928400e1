// A PE file in memory, PE32 (the shipped executable) or PE32+ (its 64-bit twin), checked just enough that
// its headers, sections and symbol table can be walked without reading outside it.
#pragma once

#include <windows.h>

#include <string>

class PeImage
{
    // Defined ahead of the accessors, which need its deduced type.
    template <class Read> decltype(auto) Optional(Read read) const
    {
        return nt64_ != nullptr ? read(nt64_->OptionalHeader) : read(nt32_->OptionalHeader);
    }

public:
    // `what` names the file in messages ("the base C:\...\Quillbrook.exe"). Throws PackError.
    PeImage(const BYTE* data, size_t size, std::wstring what);

    const BYTE* data() const { return data_; }
    size_t size() const { return size_; }
    const std::wstring& what() const { return what_; }

    bool pe32Plus() const { return nt64_ != nullptr; }
    DWORD ntOffset() const { return ntOffset_; }
    const IMAGE_FILE_HEADER& fileHeader() const { return *fileHeader_; }

    // The optional header's fields the generator reads. PE32 and PE32+ lay these out alike, except the data
    // directories, which follow PE32+'s wider fields.
    DWORD fileAlignment() const
    {
        return Optional([](const auto& h) { return h.FileAlignment; });
    }
    DWORD sectionAlignment() const
    {
        return Optional([](const auto& h) { return h.SectionAlignment; });
    }
    DWORD sizeOfHeaders() const
    {
        return Optional([](const auto& h) { return h.SizeOfHeaders; });
    }
    DWORD sizeOfCode() const
    {
        return Optional([](const auto& h) { return h.SizeOfCode; });
    }
    DWORD sizeOfInitializedData() const
    {
        return Optional([](const auto& h) { return h.SizeOfInitializedData; });
    }
    const IMAGE_DATA_DIRECTORY& directory(int index) const
    {
        return Optional(
            [index](const auto& h) -> const IMAGE_DATA_DIRECTORY& { return h.DataDirectory[index]; });
    }
    // Where directory `index` lies in the file.
    size_t DirectoryOffset(int index) const { return (size_t)((const BYTE*)&directory(index) - data_); }

    int sectionCount() const { return fileHeader_->NumberOfSections; }
    size_t SectionTableOffset() const { return (size_t)((const BYTE*)sections_ - data_); }
    const IMAGE_SECTION_HEADER& section(int index) const { return sections_[index]; }
    std::wstring SectionName(int index) const;
    // The section whose memory holds rva, or -1.
    int SectionContaining(DWORD rva) const;
    // How much memory the loader gives it: its virtual size, or its raw size when that is left at 0.
    static DWORD MemorySize(const IMAGE_SECTION_HEADER& section);

    // The COFF symbol table and the string table after it, as one range of the file; false when there is
    // none. Long section names ("/4") point into that string table.
    bool SymbolTable(size_t* offset, size_t* length) const;

private:
    [[noreturn]] void Bad(const std::wstring& why) const;

    const BYTE* data_;
    size_t size_;
    std::wstring what_;
    DWORD ntOffset_;
    const IMAGE_FILE_HEADER* fileHeader_;
    // One of the two, as the optional header's magic says.
    const IMAGE_NT_HEADERS32* nt32_ = nullptr;
    const IMAGE_NT_HEADERS64* nt64_ = nullptr;
    const IMAGE_SECTION_HEADER* sections_;
};

inline DWORD AlignUp(DWORD value, DWORD alignment)
{
    return (value + alignment - 1) & ~(alignment - 1);
}
