// The file handling the generator needs: whole files mapped for reading, temporary files that vanish
// unless moved into place, and the questions asked about paths.
#pragma once

#include <windows.h>

#include <string>

// The system's text for an error code, without its trailing line end.
std::wstring SystemErrorText(DWORD error);

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
    void Close();

private:
    HANDLE h_;
};

// A file's size, read without mapping it; `what` names the file in messages.
ULONGLONG FileSizeOf(const std::wstring& path, const std::wstring& what);

// A whole file mapped read-only, so that a payload of hundreds of megabytes is never copied into the
// process. An empty file has no mapping: data() is null and size() 0. `what` names the file in messages
// ("the database").
class FileView
{
public:
    FileView(const std::wstring& path, const std::wstring& what);
    ~FileView();
    FileView(const FileView&) = delete;
    FileView& operator=(const FileView&) = delete;

    const BYTE* data() const { return view_; }
    size_t size() const { return size_; }

private:
    UniqueHandle file_;
    UniqueHandle mapping_;
    const BYTE* view_ = nullptr;
    size_t size_ = 0;
};

// A new, empty file in the folder of `target`, deleted on destruction unless it was moved onto the
// target. Being in the target's folder makes the final move one rename on the same volume.
class TempFile
{
public:
    explicit TempFile(const std::wstring& target);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const std::wstring& path() const { return path_; }
    // Replaces the target in one step; afterwards there is nothing left to delete.
    void MoveOntoTarget();

private:
    std::wstring target_;
    std::wstring path_;
};

// Writes everything or fails with a message naming `path`; a short write counts as a failure (a full disk
// under Wine reports success with fewer bytes written).
void WriteAll(HANDLE h, const void* data, size_t size, const std::wstring& path);

std::wstring FullPath(const std::wstring& path);
// True when both paths lead to one file: the same full path, or (when both exist) the same file reached
// through another name.
bool SameFile(const std::wstring& path1, const std::wstring& path2);
