#include "pack/Platform.h"
#include "pack/PackError.h"
#include "pack/Text.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{
std::string ErrorText(int error)
{
    return std::strerror(error);
}

void WriteAllTo(int fd, const uint8_t* data, size_t size, const std::string& path)
{
    while (size > 0)
    {
        const ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            Fail("cannot write " + path + ": " + ErrorText(written < 0 ? errno : ENOSPC));
        data += written;
        size -= (size_t)written;
    }
}
// Text for the user, whatever the output: a lone half of a UTF-16 pair would make it invalid UTF-8. A
// failed write has nobody to tell.
void Say(int fd, const std::string& text)
{
    const std::string valid = ValidUtf8(text);
    for (size_t at = 0; at < valid.size();)
    {
        const ssize_t written = write(fd, valid.data() + at, valid.size() - at);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        at += (size_t)written;
    }
}
} // namespace

void RestrictLibrarySearch()
{
    // The dynamic linker looks only where the system and the program's build say, never in the current
    // folder.
}

uint64_t FileSizeOf(const std::string& path, const std::string& what)
{
    struct stat status;
    if (stat(path.c_str(), &status) != 0)
        Fail("cannot read " + what + " " + path + ": " + ErrorText(errno));
    return (uint64_t)status.st_size;
}

struct FileView::Handles
{
    int fd = -1;
};

FileView::FileView(const std::string& path, const std::string& what) : handles_(new Handles)
{
    handles_->fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat status;
    if (handles_->fd < 0 || fstat(handles_->fd, &status) != 0)
        Fail("cannot read " + what + " " + path + ": " + ErrorText(errno));
    if (!S_ISREG(status.st_mode))
        Fail("cannot read " + what + " " + path + ": " +
             ErrorText(S_ISDIR(status.st_mode) ? EISDIR : EINVAL));
    if (status.st_size == 0)
        return;
    if ((uint64_t)status.st_size > SIZE_MAX)
        Fail(what + " " + path + " is too large to map here");
    void* view = mmap(nullptr, (size_t)status.st_size, PROT_READ, MAP_PRIVATE, handles_->fd, 0);
    if (view == MAP_FAILED)
        Fail("cannot read " + what + " " + path + ": " + ErrorText(errno));
    data_ = (const uint8_t*)view;
    size_ = (size_t)status.st_size;
}

FileView::~FileView()
{
    if (data_ != nullptr)
        munmap((void*)data_, size_);
    if (handles_->fd >= 0)
        close(handles_->fd);
}

struct OutputFile::Handles
{
    int fd = -1;
};

OutputFile::OutputFile(const std::string& target) : handles_(new Handles), target_(target)
{
    std::string folder = target.substr(0, target.find_last_of('/') + 1);
    if (folder.empty())
        folder = "./";
    std::string name = folder + "qbpXXXXXX.tmp";
    handles_->fd = mkstemps(name.data(), 4);
    if (handles_->fd < 0)
        Fail("cannot create a file in " + folder + ": " + ErrorText(errno));
    path_ = name;
    // mkstemps makes the file for its owner alone; a package is as readable as any file its user makes.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(handles_->fd, 0666 & ~mask);
}

OutputFile::~OutputFile()
{
    if (handles_->fd >= 0)
        close(handles_->fd);
    if (!path_.empty())
        unlink(path_.c_str());
}

void OutputFile::Write(const uint8_t* data, size_t size)
{
    WriteAllTo(handles_->fd, data, size, path_);
}

void OutputFile::Overwrite(uint64_t offset, const uint8_t* data, size_t size)
{
    if (lseek(handles_->fd, (off_t)offset, SEEK_SET) < 0)
        Fail("cannot write " + path_ + ": " + ErrorText(errno));
    WriteAllTo(handles_->fd, data, size, path_);
    if (lseek(handles_->fd, 0, SEEK_END) < 0)
        Fail("cannot write " + path_ + ": " + ErrorText(errno));
}

void OutputFile::Commit()
{
    const int fd = handles_->fd;
    handles_->fd = -1;
    if (fsync(fd) != 0 || close(fd) != 0)
        Fail("cannot write " + path_ + ": " + ErrorText(errno));
    if (rename(path_.c_str(), target_.c_str()) != 0)
        Fail("cannot write " + target_ + ": " + ErrorText(errno));
    path_.clear();
    // The rename lasts once the folder's entry is on the disk too.
    const std::string folder = target_.substr(0, target_.find_last_of('/') + 1);
    const int directory = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0)
    {
        fsync(directory);
        close(directory);
    }
}

std::string FullPath(const std::string& path)
{
    std::string joined = path;
    if (path.empty() || path[0] != '/')
    {
        std::vector<char> buffer(4096);
        while (getcwd(buffer.data(), buffer.size()) == nullptr && errno == ERANGE)
            buffer.resize(buffer.size() * 2);
        joined = std::string(buffer.data()) + "/" + path;
    }
    // "." and ".." taken away by name, as the system reads the path when no link is on the way.
    std::vector<std::string> parts;
    for (size_t at = 0; at <= joined.size();)
    {
        size_t end = joined.find('/', at);
        if (end == std::string::npos)
            end = joined.size();
        const std::string part = joined.substr(at, end - at);
        if (part == "..")
        {
            if (!parts.empty())
                parts.pop_back();
        }
        else if (!part.empty() && part != ".")
            parts.push_back(part);
        at = end + 1;
    }
    std::string full;
    for (const std::string& part : parts)
        full += "/" + part;
    return full.empty() ? "/" : full;
}

bool SameFile(const std::string& path1, const std::string& path2)
{
    if (FullPath(path1) == FullPath(path2))
        return true;
    struct stat status1, status2;
    return stat(path1.c_str(), &status1) == 0 && stat(path2.c_str(), &status2) == 0 &&
           status1.st_dev == status2.st_dev && status1.st_ino == status2.st_ino;
}

void WriteOut(const std::string& text)
{
    Say(STDOUT_FILENO, text);
}

void WriteErr(const std::string& text)
{
    Say(STDERR_FILENO, text);
}

std::array<uint8_t, 32> Sha256(const uint8_t* data, size_t size)
{
    std::array<uint8_t, 32> digest;
    unsigned int length = 0;
    if (EVP_Digest(data, size, digest.data(), &length, EVP_sha256(), nullptr) != 1 || length != digest.size())
        Fail("cannot compute the database's SHA-256: libcrypto refuses to");
    return digest;
}

unsigned UsableProcessors()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return 1;
    const int count = CPU_COUNT(&set);
    return count > 1 ? (unsigned)count : 1;
}
