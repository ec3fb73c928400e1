// quillbrook-sample-db: writes a deterministic Jet-like database of a given size, for the example package,
// the tests and the benchmarks.
#include "SampleDatabase.h"

#include <windows.h>

#include <string>
#include <vector>

namespace
{
const wchar_t kUsage[] =
    L"Usage: quillbrook-sample-db --size BYTES[K|M|G] --out FILE [--seed N]\n"
    L"Writes a Jet-like database of whole 4096-byte pages; the same size and seed always\n"
    L"give the same bytes. K, M and G multiply by 1024, 1024^2 and 1024^3.\n";

struct Failure
{
    std::wstring message;
    int status;
};

void Print(DWORD which, const std::wstring& text)
{
    HANDLE h = GetStdHandle(which);
    DWORD written;
    if (GetConsoleMode(h, &written))
    {
        WriteConsoleW(h, text.c_str(), (DWORD)text.size(), &written, nullptr);
        return;
    }
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string bytes(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), bytes.data(), n, nullptr, nullptr);
    WriteFile(h, bytes.data(), (DWORD)bytes.size(), &written, nullptr);
}

// Digits with an optional binary suffix; false for anything else or an overflow.
bool ParseSize(const std::wstring& text, uint64_t* value)
{
    uint64_t n = 0;
    size_t i = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; i++)
    {
        n = n * 10 + (text[i] - L'0');
        if (n > (1ull << 40))
            return false;
    }
    if (i == 0)
        return false;
    static const wchar_t kSuffixes[] = L"KMG";
    if (i + 1 == text.size())
    {
        const wchar_t* suffix = wcschr(kSuffixes, towupper(text[i]));
        if (suffix == nullptr || *suffix == L'\0')
            return false;
        n <<= 10 * (suffix - kSuffixes + 1);
    }
    else if (i != text.size())
        return false;
    *value = n;
    return true;
}

void WriteDatabase(const std::wstring& path, uint64_t size, uint32_t seed)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw Failure{L"cannot create " + path, 1};
    const uint32_t pageCount = (uint32_t)(size / kJetPageSize);
    const uint32_t pagesPerChunk = 256;
    std::vector<uint8_t> chunk(pagesPerChunk * kJetPageSize);
    bool ok = true;
    for (uint32_t first = 0; ok && first < pageCount; first += pagesPerChunk)
    {
        const uint32_t pages = pageCount - first < pagesPerChunk ? pageCount - first : pagesPerChunk;
        for (uint32_t i = 0; i < pages; i++)
            MakeSamplePage(seed, first + i, pageCount, chunk.data() + i * kJetPageSize);
        DWORD bytes = (DWORD)(pages * kJetPageSize), written = 0;
        // A full disk under Wine reports success with fewer bytes written.
        ok = WriteFile(file, chunk.data(), bytes, &written, nullptr) && written == bytes;
    }
    CloseHandle(file);
    if (!ok)
    {
        DeleteFileW(path.c_str());
        throw Failure{L"cannot write " + path + L" (is the disk full?)", 1};
    }
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    try
    {
        uint64_t size = 0, seed = 1;
        std::wstring out;
        for (int i = 1; i < argc; i++)
        {
            const std::wstring arg = argv[i];
            if (arg == L"--help")
            {
                Print(STD_OUTPUT_HANDLE, kUsage);
                return 0;
            }
            if (i + 1 >= argc || (arg != L"--size" && arg != L"--out" && arg != L"--seed"))
                throw Failure{L"unknown option or missing value: " + arg, 2};
            const std::wstring value = argv[++i];
            if (arg == L"--out")
                out = value;
            else if (!ParseSize(value, arg == L"--size" ? &size : &seed) ||
                     (arg == L"--seed" && seed > 0xFFFFFFFFu))
                throw Failure{L"bad value for " + arg + L": " + value, 2};
        }
        if (out.empty() || size == 0 || size % kJetPageSize != 0 || size / kJetPageSize > 0xFFFFFFFFu)
            throw Failure{L"give --out and a --size that is a whole number of 4096-byte pages", 2};
        WriteDatabase(out, size, (uint32_t)seed);
        return 0;
    }
    catch (const Failure& failure)
    {
        Print(STD_ERROR_HANDLE, L"quillbrook-sample-db: " + failure.message + L"\n");
        return failure.status;
    }
}
