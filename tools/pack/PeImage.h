// A 32-bit PE file in memory, checked just enough that its headers, sections and symbol table can be
// walked without reading outside it.
#pragma once

#include <windows.h>

#include <string>

class PeImage
{
public:
    // `what` names the file in messages ("the base C:\...\Quillbrook.exe"). Throws PackError.
    PeImage(const BYTE* data, size_t size, std::wstring what);

    const BYTE* data() const { return data_; }
    size_t size() const { return size_; }
    const std::wstring& what() const { return what_; }

    const IMAGE_NT_HEADERS32& nt() const { return *nt_; }
    DWORD ntOffset() const { return (DWORD)((const BYTE*)nt_ - data_); }
    const IMAGE_DATA_DIRECTORY& directory(int index) const
    {
        return nt_->OptionalHeader.DataDirectory[index];
    }

    int sectionCount() const { return nt_->FileHeader.NumberOfSections; }
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
    const IMAGE_NT_HEADERS32* nt_;
    const IMAGE_SECTION_HEADER* sections_;
};

inline DWORD AlignUp(DWORD value, DWORD alignment)
{
    return (value + alignment - 1) & ~(alignment - 1);
}
