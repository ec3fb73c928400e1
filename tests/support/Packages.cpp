#include "Packages.h"

#include <algorithm>
#include <stdexcept>

namespace qbtest
{
const char kSettingsKey[] = "SOFTWARE\\Halvero\\dravik\\Bel\\Serveurs\\Bilan";
const char kCountryKey[] = "SOFTWARE\\Halvero\\dravik\\Bel\\";
const char kHostRootKey[] = "SOFTWARE\\Halvero";

void ForgetExampleHost()
{
    DeleteRegTree(HKEY_CURRENT_USER, kHostRootKey);
    DeleteRegTree(HKEY_LOCAL_MACHINE, kHostRootKey);
}

PackageContents ExampleContents(const Bytes& database)
{
    PackageContents contents;
    contents.database = database;
    contents.settingsKey = kSettingsKey;
    contents.pathValue = "CheminBaseTarif";
    contents.sharedFolder = 0;
    contents.countryKey = std::string("HKEY_LOCAL_MACHINE\\") + kCountryKey;
    contents.date = "2024-01-09";
    contents.country = "BE";
    return contents;
}

Bytes JetDatabase(size_t size, unsigned seed)
{
    static const char signature[] = "\x00\x01\x00\x00Standard Jet DB";
    Bytes bytes = PatternBytes(size, seed);
    for (size_t i = 0; i < sizeof signature - 1 && i < size; i++)
        bytes[i] = (unsigned char)signature[i];
    return bytes;
}

Bytes HandMadeFrame(const Bytes& content, bool withSize, int windowLog)
{
    // Magic number, then the header: a 4-byte decoded size or none, and a window descriptor.
    Bytes frame = {0x28,
                   0xB5,
                   0x2F,
                   0xFD,
                   (unsigned char)(withSize ? 0x80 : 0x00),
                   (unsigned char)((windowLog - 10) << 3)};
    for (int i = 0; withSize && i < 4; i++)
        frame.push_back((unsigned char)(content.size() >> (8 * i)));
    // Raw blocks of at most 128 KiB (and no more than the window), each with its 3-byte header.
    const size_t blockMax = std::min<size_t>(128u << 10, size_t(1) << windowLog);
    size_t at = 0;
    do
    {
        const size_t size = std::min(blockMax, content.size() - at);
        const uint32_t header = (uint32_t)(size << 3) | (at + size == content.size() ? 1 : 0);
        frame.insert(frame.end(),
                     {(unsigned char)header, (unsigned char)(header >> 8), (unsigned char)(header >> 16)});
        frame.insert(frame.end(), content.begin() + at, content.begin() + at + size);
        at += size;
    } while (at < content.size());
    return frame;
}

std::string MakePackage(const std::string& folder, const PackageContents& contents, const std::string& name)
{
    std::string out = folder + "\\" + name;
    std::string command = Quote(BinDir() + "\\quillbrook-pack.exe") + " --base " +
                          Quote(BinDir() + "\\Quillbrook.exe") + " --out " + Quote(out);
    auto text = [&](const char* option, const std::optional<std::string>& value) {
        if (value)
            command += std::string(" ") + option + " " + Quote(*value);
    };
    if (contents.database)
    {
        std::string databasePath = out + ".database";
        WriteFileBytes(databasePath, *contents.database);
        command += " --force --database " + Quote(databasePath) + (contents.compress ? " --compress" : "");
    }
    text("--settings-key", contents.settingsKey);
    text("--path-value", contents.pathValue);
    if (contents.sharedFolder)
        command += " --shared-folder " + std::to_string(*contents.sharedFolder);
    text("--country-key", contents.countryKey);
    text("--date", contents.date);
    text("--country", contents.country);
    for (size_t i = 0; i < contents.raw.size(); i++)
    {
        std::string rawPath = out + ".raw" + std::to_string(i);
        WriteFileBytes(rawPath, contents.raw[i].second);
        command += " --raw " + Quote(contents.raw[i].first + "=" + rawPath);
    }

    RunResult result = Run(command);
    if (result.exitCode != 0 || !FileExists(out))
        throw std::runtime_error("quillbrook-pack failed (" + std::to_string(result.exitCode) +
                                 "): " + result.output);
    return out;
}

namespace
{
HMODULE g_packageModule;

HMODULE Redirect(HMODULE hModule)
{
    return hModule == NULL ? g_packageModule : hModule;
}

HRSRC WINAPI PackageFindResourceA(HMODULE hModule, LPCSTR lpName, LPCSTR lpType)
{
    return kRealSystemCalls.FindResourceA(Redirect(hModule), lpName, lpType);
}

DWORD WINAPI PackageSizeofResource(HMODULE hModule, HRSRC hResInfo)
{
    return kRealSystemCalls.SizeofResource(Redirect(hModule), hResInfo);
}

HGLOBAL WINAPI PackageLoadResource(HMODULE hModule, HRSRC hResInfo)
{
    return kRealSystemCalls.LoadResource(Redirect(hModule), hResInfo);
}
} // namespace

ScopedPackageResources::ScopedPackageResources(const std::string& packagePath)
{
    module_ = LoadLibraryExA(packagePath.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module_ == nullptr)
        throw std::runtime_error("cannot load " + packagePath);
    g_packageModule = module_;
    sys.FindResourceA = PackageFindResourceA;
    sys.SizeofResource = PackageSizeofResource;
    sys.LoadResource = PackageLoadResource;
}

ScopedPackageResources::~ScopedPackageResources()
{
    sys.FindResourceA = kRealSystemCalls.FindResourceA;
    sys.SizeofResource = kRealSystemCalls.SizeofResource;
    sys.LoadResource = kRealSystemCalls.LoadResource;
    g_packageModule = nullptr;
    FreeLibrary(module_);
}
} // namespace qbtest
