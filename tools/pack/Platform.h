// What the generator needs of the system it runs on: files, the console, a SHA-256 and safe library
// loading. PlatformWindows.cpp implements it with Win32, PlatformPosix.cpp with POSIX and libcrypto; the
// rest of the generator is the same on both. Paths and texts are UTF-8; every failure is a PackError that
// names the file and the system's reason.
#pragma once

#include "pack/PeImage.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>

// First thing in the process: where the system could load a library from the current or the program's
// folder (Windows), it loads system libraries from the system folder only.
void RestrictLibrarySearch();

// A file's size, read without opening it for its contents; `what` names the file in messages.
uint64_t FileSizeOf(const std::string& path, const std::string& what);

// A whole file mapped read-only, so that a payload of hundreds of megabytes is never copied into the
// process. An empty file has no mapping: data() is null and size() 0. `what` names the file in messages
// ("the database").
class FileView
{
public:
    FileView(const std::string& path, const std::string& what);
    ~FileView();
    FileView(const FileView&) = delete;
    FileView& operator=(const FileView&) = delete;

    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

private:
    struct Handles;
    std::unique_ptr<Handles> handles_;
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// A new file in the folder of `target`, which replaces the target in one step once committed and is
// deleted otherwise. Being in the target's folder makes the final move one rename on the same volume. A
// short write counts as a failure (a full disk under Wine reports success with fewer bytes written).
class OutputFile : public ImageSink
{
public:
    explicit OutputFile(const std::string& target);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    const std::string& path() const { return path_; }
    void Write(const uint8_t* data, size_t size) override;
    void Overwrite(uint64_t offset, const uint8_t* data, size_t size) override;
    // Flushed to the disk, then moved onto the target; afterwards there is nothing left to delete.
    void Commit();

private:
    struct Handles;
    std::unique_ptr<Handles> handles_;
    std::string target_;
    std::string path_;
};

// The path made absolute, without following links.
std::string FullPath(const std::string& path);
// True when both paths lead to one file: the same full path, or (when both exist) the same file reached
// through another name.
bool SameFile(const std::string& path1, const std::string& path2);

// Text for the user, UTF-8 with "\n" line ends, which each system gets in its own way.
void WriteOut(const std::string& text);
void WriteErr(const std::string& text);

// By the system's own implementation.
std::array<uint8_t, 32> Sha256(const uint8_t* data, size_t size);

// How many processors the process may run on (its affinity), at least 1.
unsigned UsableProcessors();
