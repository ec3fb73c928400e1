#include "pack/Files.h"
#include "pack/PackError.h"

#include <vector>

std::wstring SystemErrorText(DWORD error)
{
    if (error == ERROR_SUCCESS)
        return L"the system gave no reason";
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, error, 0, (wchar_t*)&text, 0, nullptr);
    std::wstring result = n ? std::wstring(text, n) : L"error " + std::to_wstring(error);
    LocalFree(text);
    while (!result.empty() && (iswspace(result.back()) || result.back() == L'.'))
        result.pop_back();
    return result;
}

void UniqueHandle::Close()
{
    if (valid())
        CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
}

ULONGLONG FileSizeOf(const std::wstring& path, const std::wstring& what)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        Fail(L"cannot read " + what + L" " + path + L": " + SystemErrorText(GetLastError()));
    return (ULONGLONG)data.nFileSizeHigh << 32 | data.nFileSizeLow;
}

FileView::FileView(const std::wstring& path, const std::wstring& what)
    : file_(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr))
{
    if (!file_.valid())
        Fail(L"cannot read " + what + L" " + path + L": " + SystemErrorText(GetLastError()));
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file_.get(), &size))
        Fail(L"cannot read " + what + L" " + path + L": " + SystemErrorText(GetLastError()));
    if (size.QuadPart == 0)
        return;
    if (size.HighPart != 0)
        Fail(what + L" " + path + L" is too large (4 GB or more)");
    size_ = size.LowPart;
    mapping_.Reset(CreateFileMappingW(file_.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (mapping_.valid())
        view_ = (const BYTE*)MapViewOfFile(mapping_.get(), FILE_MAP_READ, 0, 0, 0);
    if (view_ == nullptr)
        Fail(L"cannot read " + what + L" " + path + L": " + SystemErrorText(GetLastError()));
}

FileView::~FileView()
{
    if (view_ != nullptr)
        UnmapViewOfFile(view_);
}

TempFile::TempFile(const std::wstring& target) : target_(target)
{
    std::wstring folder = target.substr(0, target.find_last_of(L"\\/") + 1);
    if (folder.empty())
        folder = L".";
    wchar_t name[MAX_PATH];
    if (!GetTempFileNameW(folder.c_str(), L"qbp", 0, name))
        Fail(L"cannot create a file in " + folder + L": " + SystemErrorText(GetLastError()));
    path_ = name;
}

TempFile::~TempFile()
{
    if (!path_.empty())
        DeleteFileW(path_.c_str());
}

void TempFile::MoveOntoTarget()
{
    if (!MoveFileExW(path_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        Fail(L"cannot write " + target_ + L": " + SystemErrorText(GetLastError()));
    path_.clear();
}

void WriteAll(HANDLE h, const void* data, size_t size, const std::wstring& path)
{
    const BYTE* p = (const BYTE*)data;
    while (size > 0)
    {
        DWORD chunk = size < (64u << 20) ? (DWORD)size : (64u << 20);
        DWORD written = 0;
        if (!WriteFile(h, p, chunk, &written, nullptr) || written != chunk)
        {
            DWORD error = GetLastError();
            Fail(L"cannot write " + path + L": " + SystemErrorText(error ? error : ERROR_DISK_FULL));
        }
        p += chunk;
        size -= chunk;
    }
}

std::wstring FullPath(const std::wstring& path)
{
    DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0)
        return path;
    std::vector<wchar_t> buffer(n);
    n = GetFullPathNameW(path.c_str(), n, buffer.data(), nullptr);
    return std::wstring(buffer.data(), n);
}

namespace
{
bool FileIdentity(const std::wstring& path, BY_HANDLE_FILE_INFORMATION* info)
{
    UniqueHandle h(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, 0, nullptr));
    return h.valid() && GetFileInformationByHandle(h.get(), info);
}
} // namespace

bool SameFile(const std::wstring& path1, const std::wstring& path2)
{
    std::wstring full1 = FullPath(path1), full2 = FullPath(path2);
    if (CompareStringOrdinal(full1.c_str(), (int)full1.size(), full2.c_str(), (int)full2.size(), TRUE) ==
        CSTR_EQUAL)
        return true;
    BY_HANDLE_FILE_INFORMATION info1, info2;
    return FileIdentity(full1, &info1) && FileIdentity(full2, &info2) &&
           info1.dwVolumeSerialNumber == info2.dwVolumeSerialNumber &&
           info1.nFileIndexHigh == info2.nFileIndexHigh && info1.nFileIndexLow == info2.nFileIndexLow;
}
