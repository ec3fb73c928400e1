// Helpers of the generator's tests on the machine it is built on: files, made-up bases whose layout a
// test chooses, and the executables of a Windows build when there is one.
#pragma once

#include "pack/PeImage.h"

#include <cstdint>
#include <string>
#include <vector>

namespace native
{
using Bytes = std::vector<uint8_t>;

Bytes ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const Bytes& bytes);

// A folder of its own, removed with what it holds.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    // Its files' names, sorted.
    std::vector<std::string> List() const;

private:
    std::string path_;
};

// One resource of a made-up base, or one read back from a file: a numbered type or name has an empty text.
struct Resource
{
    std::u16string type;
    uint16_t typeId;
    std::u16string name;
    uint16_t id;
    uint16_t language;
    Bytes data;

    bool operator==(const Resource&) const = default;
};

struct FakeSection
{
    std::string name;
    uint32_t characteristics;
    Bytes data;
    uint32_t virtualSize; // 0: the data's size
};

// A base laid out as a test chooses. Its resource tree is the generator's own; the Windows build's bases
// (WindowsBuild()) carry trees that the resource compiler and the linker wrote.
struct FakeImage
{
    bool pe32Plus = false;
    uint16_t machine = 0; // 0: the one of its kind
    uint32_t fileAlignment = 0x200;
    uint32_t sizeOfHeaders = 0x400;
    std::vector<FakeSection> sections;
    int resourceSection = -1; // the section whose data is the tree of `resources`, and the directory's
    std::vector<Resource> resources;
    uint32_t symbolCount = 0;
    Bytes symbols; // a COFF symbol table of symbolCount symbols, then its string table
    std::vector<std::pair<int, DataDirectory>> directories; // more, by index
};

// Code, data, a resource section of several types and languages, and the relocations after it, with a
// symbol table: the shape of a MinGW executable.
FakeImage TypicalBase(bool pe32Plus);
Bytes BuildImage(const FakeImage& image);

// Every resource of the file, as the generator's reader finds it.
std::vector<Resource> ReadResources(const Bytes& file);

// UTF-16LE with its NUL, as a text entry holds it.
Bytes TextBytes(const std::u16string& text);

// The Windows build whose executables the tests stamp too (QB_WINDOWS_BUILD), or empty.
std::string WindowsBuild();
} // namespace native
