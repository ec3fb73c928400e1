#include "NativeSupport.h"
#include "pack/ResourceTree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace native
{
Bytes ReadBytes(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    EXPECT_TRUE(file) << "cannot read " << path;
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const Bytes& bytes)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write((const char*)bytes.data(), (std::streamsize)bytes.size());
    ASSERT_TRUE(file) << "cannot write " << path;
}

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "qbnative-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        ADD_FAILURE() << "cannot make a folder from " << pattern;
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> TempDir::List() const
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

namespace
{
void Put16(Bytes& bytes, size_t at, uint32_t value)
{
    pe::Put16(bytes.data() + at, value);
}

void Put32(Bytes& bytes, size_t at, uint32_t value)
{
    pe::Put32(bytes.data() + at, value);
}

uint32_t Align(uint32_t value, uint32_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

// The section's bytes in memory.
class Collect : public ImageSink
{
public:
    void Write(const uint8_t* data, size_t size) override { bytes.insert(bytes.end(), data, data + size); }
    void Overwrite(uint64_t offset, const uint8_t* data, size_t size) override
    {
        std::copy(data, data + size, bytes.begin() + offset);
    }

    Bytes bytes;
};

Bytes ResourceTree(const std::vector<Resource>& resources, uint32_t address)
{
    std::vector<ResourceEntry> entries;
    for (const Resource& resource : resources)
        entries.push_back({resource.type, resource.typeId, resource.name, resource.id, resource.language, 0,
                           0, resource.data.data(), (uint32_t)resource.data.size()});
    Collect section;
    ResourceSection(entries, address).WriteTo(section);
    return section.bytes;
}
} // namespace

Bytes TextBytes(const std::u16string& text)
{
    Bytes bytes;
    for (char16_t ch : text)
        bytes.insert(bytes.end(), {(uint8_t)ch, (uint8_t)(ch >> 8)});
    bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

FakeImage TypicalBase(bool pe32Plus)
{
    FakeImage image;
    image.pe32Plus = pe32Plus;
    auto pattern = [](size_t size, uint8_t seed) {
        Bytes bytes(size);
        for (size_t i = 0; i < size; i++)
            bytes[i] = (uint8_t)(seed + i * 7);
        return bytes;
    };
    image.sections = {
        {".text", 0x60000020, pattern(0x345, 1), 0},
        {".data", 0xC0000040, pattern(0x120, 2), 0},
        {".bss", 0xC0000080, {}, 0x80},
        // As MinGW's linker leaves it: writable.
        {".rsrc", 0xC0000040, {}, 0},
        {".reloc", 0x42000040, pattern(0x48, 3), 0},
    };
    image.resourceSection = 3;
    image.resources = {
        {u"M_X", 0, u"", 7, 0, {'u', 'n', 'd', 'e', 'r'}},
        {u"SUM", 0, u"", 142, 0, {'Q', 'B', 'I', 0, 0, 0, 0, 0}},
        {u"SUM", 0, u"", 142, 0x409, {'U', 'S'}},
        {u"ZEBRA", 0, u"LIGNE", 0, 0, {'n', 'a', 'm', 'e', 'd'}},
        {u"ZEBRA", 0, u"", 1, 0, {'o', 'n', 'e'}},
        {u"", 6, u"", 1, 0, TextBytes(u"Fixture base")},
        {u"", 6, u"", 1, 0x409, TextBytes(u"Fixture base, en-US")},
        {u"", 6, u"", 1, 0x40C, TextBytes(u"Base d'essai")},
        {u"", 24, u"", 1, 0, {'<', '?', 'x', 'm', 'l'}},
    };
    // Two symbols and a string table of odd length, so that the file ends on an odd byte.
    image.symbolCount = 2;
    image.symbols = pattern(2 * pe::kSymbolSize, 4);
    image.symbols.insert(image.symbols.end(), {7, 0, 0, 0, 'a', 'b', 0});
    return image;
}

Bytes BuildImage(const FakeImage& image)
{
    const size_t nt = 0x80;
    const size_t optional = nt + 24;
    const size_t optionalSize = image.pe32Plus ? 240 : 224;
    const size_t table = optional + optionalSize;
    Bytes file(image.sizeOfHeaders);
    Put16(file, 0, 0x5A4D);
    Put32(file, 0x3C, (uint32_t)nt);
    Put32(file, nt, 0x00004550);
    Put16(file, nt + 4, image.machine ? image.machine : image.pe32Plus ? 0x8664 : 0x14C);
    Put16(file, nt + 6, (uint32_t)image.sections.size());
    Put16(file, nt + 20, (uint32_t)optionalSize);
    Put16(file, nt + 22, image.pe32Plus ? 0x0022 : 0x0102);
    Put16(file, optional, image.pe32Plus ? 0x20B : 0x10B);
    Put32(file, optional + 32, 0x1000);
    Put32(file, optional + 36, image.fileAlignment);
    Put32(file, optional + 60, image.sizeOfHeaders);
    Put16(file, optional + 68, 2);
    Put32(file, optional + (image.pe32Plus ? 108 : 92), 16);
    const size_t directories = optional + (image.pe32Plus ? 112 : 96);

    uint32_t address = 0x1000, initialized = 0;
    std::vector<std::pair<int, DataDirectory>> found;
    for (size_t i = 0; i < image.sections.size(); i++)
    {
        const FakeSection& section = image.sections[i];
        Bytes data = section.data;
        if ((int)i == image.resourceSection)
            data = ResourceTree(image.resources, address);
        const uint32_t rawSize = Align((uint32_t)data.size(), image.fileAlignment);
        const uint32_t rawOffset = rawSize ? (uint32_t)file.size() : 0;
        const size_t header = table + i * pe::kSectionHeaderSize;
        std::copy(section.name.begin(), section.name.end(), file.begin() + header);
        const uint32_t virtualSize = section.virtualSize ? section.virtualSize : (uint32_t)data.size();
        Put32(file, header + 8, virtualSize);
        Put32(file, header + 12, address);
        Put32(file, header + 16, rawSize);
        Put32(file, header + 20, rawOffset);
        Put32(file, header + 36, section.characteristics);
        data.resize(rawSize);
        file.insert(file.end(), data.begin(), data.end());
        if (section.characteristics & pe::kInitializedData)
            initialized += rawSize;
        if ((int)i == image.resourceSection)
            found.push_back({pe::kResourceDirectory, {address, virtualSize}});
        if (section.name == ".reloc")
            found.push_back({pe::kRelocationDirectory, {address, virtualSize}});
        address = Align(address + virtualSize, 0x1000);
    }
    Put32(file, optional + 8, initialized);
    Put32(file, optional + 56, address);
    found.insert(found.end(), image.directories.begin(), image.directories.end());
    for (const auto& [index, directory] : found)
    {
        Put32(file, directories + 8 * index, directory.address);
        Put32(file, directories + 8 * index + 4, directory.size);
    }
    if (!image.symbols.empty())
    {
        Put32(file, nt + 12, (uint32_t)file.size());
        Put32(file, nt + 16, image.symbolCount);
        file.insert(file.end(), image.symbols.begin(), image.symbols.end());
    }
    return file;
}

std::vector<Resource> ReadResources(const Bytes& file)
{
    std::vector<Resource> resources;
    for (const ResourceEntry& entry : ReadResourceTree(PeImage(file.data(), file.size(), "the file")))
        resources.push_back({entry.type, entry.typeId, entry.name, entry.id, entry.language,
                             Bytes(entry.data, entry.data + entry.size)});
    return resources;
}

std::string WindowsBuild()
{
    const char* build = std::getenv("QB_WINDOWS_BUILD");
    return build != nullptr ? build : "";
}
} // namespace native
