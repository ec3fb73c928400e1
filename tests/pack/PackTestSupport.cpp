#include "PackTestSupport.h"
#include "pack/PeImage.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace packtest
{
namespace
{
// The rules of CommandLineToArgvW: backslashes double only before a quote.
std::wstring QuoteArgument(const std::wstring& arg)
{
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos)
        return arg;
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t ch : arg)
    {
        if (ch == L'\\')
        {
            backslashes++;
            continue;
        }
        quoted.append(ch == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += ch;
    }
    quoted.append(2 * backslashes, L'\\');
    return quoted + L"\"";
}

HANDLE InheritableFile(const std::string& path)
{
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr);
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR param)
{
    ((std::vector<WORD>*)param)->push_back(language);
    return TRUE;
}
} // namespace

std::wstring Widen(const std::string& ansi)
{
    std::wstring wide(ansi.size(), L'\0');
    wide.resize(MultiByteToWideChar(CP_ACP, 0, ansi.data(), (int)ansi.size(), wide.data(), (int)wide.size()));
    return wide;
}

std::string Utf8(const std::wstring& text)
{
    std::string bytes(text.size() * 3, '\0');
    bytes.resize(WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), bytes.data(),
                                     (int)bytes.size(), nullptr, nullptr));
    return bytes;
}

ToolRun RunTool(const std::wstring& tool, const std::vector<std::wstring>& args)
{
    qbtest::ScopedTempDir dir("qbrun");
    std::wstring commandLine = QuoteArgument(Widen(qbtest::BinDir()) + L"\\" + tool + L".exe");
    for (const std::wstring& arg : args)
        commandLine += L" " + QuoteArgument(arg);

    HANDLE out = InheritableFile(dir / "out"), err = InheritableFile(dir / "err");
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = out;
    si.hStdError = err;
    PROCESS_INFORMATION pi;
    ToolRun run = {255, "", ""};
    const BOOL bStarted = qbtest::StartProcess([&] {
        return CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                              &pi);
    });
    const DWORD dwStartError = bStarted ? 0 : GetLastError();
    if (bStarted)
    {
        if (WaitForSingleObject(pi.hProcess, 120000) != WAIT_OBJECT_0)
            TerminateProcess(pi.hProcess, 255);
        GetExitCodeProcess(pi.hProcess, &run.exitCode);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    CloseHandle(out);
    CloseHandle(err);
    Bytes outBytes = qbtest::ReadFileBytes(dir / "out"), errBytes = qbtest::ReadFileBytes(dir / "err");
    run.out.assign(outBytes.begin(), outBytes.end());
    run.err.assign(errBytes.begin(), errBytes.end());
    if (!bStarted)
        run.err += "(not started: error " + std::to_string(dwStartError) + ")";
    return run;
}

std::optional<Bytes> ReadEntry(const std::string& file, const wchar_t* type, UINT id)
{
    HMODULE module = LoadLibraryExA(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    EXPECT_NE(module, nullptr) << file;
    if (module == nullptr)
        return std::nullopt;
    std::vector<WORD> languages;
    EnumResourceLanguagesW(module, type, MAKEINTRESOURCEW(id), CollectLanguage, (LONG_PTR)&languages);
    std::optional<Bytes> entry;
    if (languages == std::vector<WORD>{MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL)})
    {
        HRSRC info = FindResourceExW(module, type, MAKEINTRESOURCEW(id), languages[0]);
        const BYTE* data = (const BYTE*)LockResource(LoadResource(module, info));
        entry = Bytes(data, data + SizeofResource(module, info));
    }
    else
        EXPECT_TRUE(languages.empty()) << "entry " << id << " is not language-neutral";
    FreeLibrary(module);
    return entry;
}

Bytes TextBytes(const std::wstring& text)
{
    Bytes bytes((const BYTE*)text.c_str(), (const BYTE*)(text.c_str() + text.size() + 1));
    return bytes;
}

size_t ResourceRootOffset(const Bytes& file)
{
    const PeImage image(file.data(), file.size(), "file");
    const uint32_t rva = image.directory(pe::kResourceDirectory).address;
    const Section& section = image.section(image.SectionContaining(rva));
    return section.rawOffset + (rva - section.virtualAddress);
}

ResourceEntry FindEntry(const Bytes& file, const wchar_t* type, UINT id)
{
    const PeImage image(file.data(), file.size(), "file");
    for (const ResourceEntry& entry : ReadResourceTree(image))
        if (entry.type == (const char16_t*)type && entry.name.empty() && entry.id == id &&
            entry.language == 0)
            return entry;
    ADD_FAILURE() << "no entry " << id;
    return ResourceEntry{};
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();)
    {
        const size_t end = std::min(text.find('\n', at), text.size());
        lines.push_back(text.substr(at, end - at));
        if (!lines.back().empty() && lines.back().back() == '\r')
            lines.back().pop_back();
        at = end + 1;
    }
    return lines;
}

void MakeDatabase(const std::string& path, size_t size, unsigned seed)
{
    ToolRun run = RunTool(L"quillbrook-sample-db", {L"--size", std::to_wstring(size), L"--seed",
                                                    std::to_wstring(seed), L"--out", Widen(path)});
    ASSERT_EQ(run.exitCode, 0u) << run.err;
}

std::string FixedExecutable()
{
    return qbtest::BinDir() + "\\Quillbrook.exe";
}

std::string FixtureBase(int bits)
{
    return qbtest::BinDir() + "\\pack_fixture_base" + std::to_string(bits) + ".exe";
}

std::string ExampleDatabase()
{
    return qbtest::BinDir() + "\\..\\example\\Pricelist.mdb";
}

std::string ExamplePackage()
{
    return qbtest::BinDir() + "\\..\\example\\PricelistSetup.exe";
}
} // namespace packtest
