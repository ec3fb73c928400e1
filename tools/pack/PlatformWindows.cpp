#include "pack/Platform.h"
#include "pack/PackError.h"
#include "pack/Text.h"
#include "platform/LibraryFunction.h"

#include <windows.h>

#include <bcrypt.h>

#include <vector>

namespace
{
std::wstring Wide(const std::string& text)
{
    std::u16string units;
    FromUtf8(text, &units); // every text here came from the command line or the system as UTF-16
    return std::wstring(units.begin(), units.end());
}

std::string Narrow(const wchar_t* text, size_t length)
{
    return ToUtf8(std::u16string_view((const char16_t*)text, length));
}

// The system's text for an error code, without its trailing line end.
std::string SystemErrorText(DWORD error)
{
    if (error == ERROR_SUCCESS)
        return "the system gave no reason";
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, error, 0, (wchar_t*)&text, 0, nullptr);
    std::string result = n ? Narrow(text, n) : "error " + std::to_string(error);
    LocalFree(text);
    while (!result.empty() &&
           (result.back() == ' ' || result.back() == '\r' || result.back() == '\n' || result.back() == '.'))
        result.pop_back();
    return result;
}

std::string LastErrorText()
{
    return SystemErrorText(GetLastError());
}

class UniqueHandle
{
public:
    explicit UniqueHandle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
    ~UniqueHandle() { Close(); }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    HANDLE get() const { return h_; }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != NULL; }
    void Reset(HANDLE h)
    {
        Close();
        h_ = h;
    }
    void Close()
    {
        if (valid())
            CloseHandle(h_);
        h_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE h_;
};

void WriteAllTo(HANDLE h, const uint8_t* data, size_t size, const std::string& path)
{
    while (size > 0)
    {
        DWORD chunk = size < (64u << 20) ? (DWORD)size : (64u << 20);
        DWORD written = 0;
        if (!WriteFile(h, data, chunk, &written, nullptr) || written != chunk)
        {
            DWORD error = GetLastError();
            Fail("cannot write " + path + ": " + SystemErrorText(error ? error : ERROR_DISK_FULL));
        }
        data += chunk;
        size -= chunk;
    }
}

// A console gets UTF-16 as it is; a pipe or a file gets UTF-8 with CRLF line ends, so that accented texts
// survive redirection.
void Say(DWORD which, const std::string& text)
{
    HANDLE h = GetStdHandle(which);
    if (h == NULL || h == INVALID_HANDLE_VALUE)
        return;
    const std::wstring wide = Wide(text);
    DWORD mode, written;
    if (GetConsoleMode(h, &mode))
    {
        WriteConsoleW(h, wide.data(), (DWORD)wide.size(), &written, nullptr);
        return;
    }
    std::wstring crlf;
    for (wchar_t ch : wide)
    {
        if (ch == L'\n')
            crlf += L'\r';
        crlf += ch;
    }
    if (crlf.empty())
        return;
    // The system's conversion, which writes a lone half of a pair as U+FFFD.
    int n = WideCharToMultiByte(CP_UTF8, 0, crlf.data(), (int)crlf.size(), nullptr, 0, nullptr, nullptr);
    std::string bytes(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, crlf.data(), (int)crlf.size(), bytes.data(), n, nullptr, nullptr);
    WriteFile(h, bytes.data(), (DWORD)bytes.size(), &written, nullptr);
}

bool FileIdentity(const std::wstring& path, BY_HANDLE_FILE_INFORMATION* info)
{
    UniqueHandle h(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, 0, nullptr));
    return h.valid() && GetFileInformationByHandle(h.get(), info);
}
} // namespace

void RestrictLibrarySearch()
{
    // The generator is run from download and build folders, where a DLL left under a system library's
    // name would otherwise be loaded in its place.
    AfxRestrictLibrarySearch();
}

uint64_t FileSizeOf(const std::string& path, const std::string& what)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data))
        Fail("cannot read " + what + " " + path + ": " + LastErrorText());
    return (uint64_t)data.nFileSizeHigh << 32 | data.nFileSizeLow;
}

struct FileView::Handles
{
    UniqueHandle file;
    UniqueHandle mapping;
};

FileView::FileView(const std::string& path, const std::string& what) : handles_(new Handles)
{
    handles_->file.Reset(
        CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!handles_->file.valid())
        Fail("cannot read " + what + " " + path + ": " + LastErrorText());
    LARGE_INTEGER size;
    if (!GetFileSizeEx(handles_->file.get(), &size))
        Fail("cannot read " + what + " " + path + ": " + LastErrorText());
    if (size.QuadPart == 0)
        return;
    if (size.HighPart != 0)
        Fail(what + " " + path + " is too large (4 GB or more)");
    handles_->mapping.Reset(CreateFileMappingW(handles_->file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (handles_->mapping.valid())
        data_ = (const uint8_t*)MapViewOfFile(handles_->mapping.get(), FILE_MAP_READ, 0, 0, 0);
    if (data_ == nullptr)
        Fail("cannot read " + what + " " + path + ": " + LastErrorText());
    size_ = size.LowPart;
}

FileView::~FileView()
{
    if (data_ != nullptr)
        UnmapViewOfFile(data_);
}

struct OutputFile::Handles
{
    UniqueHandle file;
};

OutputFile::OutputFile(const std::string& target) : handles_(new Handles), target_(target)
{
    std::string folder = target.substr(0, target.find_last_of("\\/") + 1);
    if (folder.empty())
        folder = ".";
    wchar_t name[MAX_PATH];
    if (!GetTempFileNameW(Wide(folder).c_str(), L"qbp", 0, name))
        Fail("cannot create a file in " + folder + ": " + LastErrorText());
    path_ = Narrow(name, wcslen(name));
    handles_->file.Reset(CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!handles_->file.valid())
        Fail("cannot write " + path_ + ": " + LastErrorText());
}

OutputFile::~OutputFile()
{
    handles_->file.Close();
    if (!path_.empty())
        DeleteFileW(Wide(path_).c_str());
}

void OutputFile::Write(const uint8_t* data, size_t size)
{
    WriteAllTo(handles_->file.get(), data, size, path_);
}

void OutputFile::Overwrite(uint64_t offset, const uint8_t* data, size_t size)
{
    LARGE_INTEGER at;
    at.QuadPart = (LONGLONG)offset;
    if (!SetFilePointerEx(handles_->file.get(), at, nullptr, FILE_BEGIN))
        Fail("cannot write " + path_ + ": " + LastErrorText());
    WriteAllTo(handles_->file.get(), data, size, path_);
    at.QuadPart = 0;
    if (!SetFilePointerEx(handles_->file.get(), at, nullptr, FILE_END))
        Fail("cannot write " + path_ + ": " + LastErrorText());
}

void OutputFile::Commit()
{
    if (!FlushFileBuffers(handles_->file.get()))
        Fail("cannot write " + path_ + ": " + LastErrorText());
    handles_->file.Close();
    if (!MoveFileExW(Wide(path_).c_str(), Wide(target_).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        Fail("cannot write " + target_ + ": " + LastErrorText());
    path_.clear();
}

std::string FullPath(const std::string& path)
{
    const std::wstring wide = Wide(path);
    DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (n == 0)
        return path;
    std::vector<wchar_t> buffer(n);
    n = GetFullPathNameW(wide.c_str(), n, buffer.data(), nullptr);
    return Narrow(buffer.data(), n);
}

bool SameFile(const std::string& path1, const std::string& path2)
{
    std::wstring full1 = Wide(FullPath(path1)), full2 = Wide(FullPath(path2));
    if (CompareStringOrdinal(full1.c_str(), (int)full1.size(), full2.c_str(), (int)full2.size(), TRUE) ==
        CSTR_EQUAL)
        return true;
    BY_HANDLE_FILE_INFORMATION info1, info2;
    return FileIdentity(full1, &info1) && FileIdentity(full2, &info2) &&
           info1.dwVolumeSerialNumber == info2.dwVolumeSerialNumber &&
           info1.nFileIndexHigh == info2.nFileIndexHigh && info1.nFileIndexLow == info2.nFileIndexLow;
}

void WriteOut(const std::string& text)
{
    Say(STD_OUTPUT_HANDLE, text);
}

void WriteErr(const std::string& text)
{
    Say(STD_ERROR_HANDLE, text);
}

// By the system's own implementation, from its own folder.
std::array<uint8_t, 32> Sha256(const uint8_t* data, size_t size)
{
    auto open = AfxLibraryFunction<decltype(&BCryptOpenAlgorithmProvider)>("bcrypt.dll",
                                                                           "BCryptOpenAlgorithmProvider");
    auto create = AfxLibraryFunction<decltype(&BCryptCreateHash)>("bcrypt.dll", "BCryptCreateHash");
    auto hashData = AfxLibraryFunction<decltype(&BCryptHashData)>("bcrypt.dll", "BCryptHashData");
    auto finish = AfxLibraryFunction<decltype(&BCryptFinishHash)>("bcrypt.dll", "BCryptFinishHash");
    auto destroy = AfxLibraryFunction<decltype(&BCryptDestroyHash)>("bcrypt.dll", "BCryptDestroyHash");
    auto close = AfxLibraryFunction<decltype(&BCryptCloseAlgorithmProvider)>("bcrypt.dll",
                                                                             "BCryptCloseAlgorithmProvider");
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    std::array<uint8_t, 32> digest;
    bool done = open && create && hashData && finish && destroy && close &&
                open(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0 &&
                create(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0;
    // BCryptHashData takes at most 4 GB at a time.
    for (size_t at = 0; done && at < size; at += 1u << 30)
        done =
            hashData(hash, (PUCHAR)data + at, (ULONG)(size - at < (1u << 30) ? size - at : 1u << 30), 0) == 0;
    done = done && finish(hash, digest.data(), (ULONG)digest.size(), 0) == 0;
    if (hash != nullptr)
        destroy(hash);
    if (algorithm != nullptr)
        close(algorithm, 0);
    if (!done)
        Fail("cannot compute the database's SHA-256: the system's bcrypt.dll is missing or refuses to");
    return digest;
}

unsigned UsableProcessors()
{
    DWORD_PTR process = 0, system = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system))
        return 1;
    unsigned count = 0;
    for (; process != 0; process &= process - 1)
        count++;
    return count > 1 ? count : 1;
}
