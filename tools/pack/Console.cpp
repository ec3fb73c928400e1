#include "pack/Console.h"

#include <windows.h>

namespace
{
void WriteTo(DWORD which, const std::wstring& text)
{
    HANDLE h = GetStdHandle(which);
    if (h == NULL || h == INVALID_HANDLE_VALUE)
        return;
    DWORD mode, written;
    if (GetConsoleMode(h, &mode))
    {
        WriteConsoleW(h, text.data(), (DWORD)text.size(), &written, nullptr);
        return;
    }
    std::wstring crlf;
    for (wchar_t ch : text)
    {
        if (ch == L'\n')
            crlf += L'\r';
        crlf += ch;
    }
    std::string bytes = ToUtf8(crlf);
    WriteFile(h, bytes.data(), (DWORD)bytes.size(), &written, nullptr);
}
} // namespace

std::string ToUtf8(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string bytes(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), bytes.data(), n, nullptr, nullptr);
    return bytes;
}

void WriteOut(const std::wstring& text)
{
    WriteTo(STD_OUTPUT_HANDLE, text);
}

void WriteErr(const std::wstring& text)
{
    WriteTo(STD_ERROR_HANDLE, text);
}
