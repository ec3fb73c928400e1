// Setup packages for the tests, stamped by the real generator, and a way to read one in-process as if
// it were the running executable.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "TestSupport.h"

namespace qbtest
{
// What to stamp; an entry left unset is absent from the package.
struct PackageContents
{
    std::optional<Bytes> database;
    std::optional<std::string> settingsKey;         // REG 136
    std::optional<std::string> pathValue;           // REG 137
    std::optional<int> sharedFolder;                // REG 138
    std::optional<std::string> countryKey;          // REG 139
    std::optional<std::string> date;                // REG 140
    std::optional<std::string> country;             // REG 141
    std::vector<std::pair<std::string, Bytes>> raw; // "TYPE:ID" and the bytes stored unchanged
    bool compress = false;                          // the database as MDZ 129 (--compress)
};

// The example release: its six settings and the given database.
PackageContents ExampleContents(const Bytes& database);
// Database bytes with the Jet signature, then deterministic filler.
Bytes JetDatabase(size_t size, unsigned seed);

// A Zstandard frame of raw blocks made by hand, so that its header can say what the generator never
// writes: no decoded size, or a window of 2^windowLog bytes beyond what the installer takes.
Bytes HandMadeFrame(const Bytes& content, bool withSize = true, int windowLog = 17);

// Stamps a copy of the fixed executable into folder\name and returns its path. Fails the calling test
// (by exception) when the generator does.
std::string MakePackage(const std::string& folder, const PackageContents& contents,
                        const std::string& name = "PricelistSetup.exe");

// The example release's host keys.
extern const char kSettingsKey[]; // SOFTWARE\Halvero\dravik\Bel\Serveurs\Bilan
extern const char kCountryKey[];  // SOFTWARE\Halvero\dravik\Bel\ (as used, without the hive prefix)
extern const char kHostRootKey[]; // SOFTWARE\Halvero, removed to clean up

// Removes every setting of the example release's host, from both hives.
void ForgetExampleHost();

// While it lives, the resource calls of the system-call table read this package's resources whenever
// code asks for those of the running executable (the NULL module).
class ScopedPackageResources
{
public:
    explicit ScopedPackageResources(const std::string& packagePath);
    ~ScopedPackageResources();
    ScopedPackageResources(const ScopedPackageResources&) = delete;
    ScopedPackageResources& operator=(const ScopedPackageResources&) = delete;

private:
    HMODULE module_;
};
} // namespace qbtest
