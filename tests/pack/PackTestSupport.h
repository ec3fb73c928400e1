// Helpers of the package tests: running the build's tools with wide arguments, and reading a package's
// entries straight through the system's resource functions.
#pragma once

#include "TestSupport.h"
#include "pack/ResourceTree.h"

#include <optional>
#include <string>
#include <vector>

namespace packtest
{
using qbtest::Bytes;

std::wstring Widen(const std::string& ansi);
std::string Utf8(const std::wstring& text);

struct ToolRun
{
    DWORD exitCode;
    std::string out; // as written: UTF-8 with CRLF
    std::string err;
};
// Runs a tool of the build ("quillbrook-pack") with each argument quoted as a Windows program parses it.
ToolRun RunTool(const std::wstring& tool, const std::vector<std::wstring>& args);

// A language-neutral entry of a file; nothing when the file has no such entry, or has it only in another
// language.
std::optional<Bytes> ReadEntry(const std::string& file, const wchar_t* type, UINT id);

// UTF-16LE with its NUL, as a text entry must hold it.
Bytes TextBytes(const std::wstring& text);

// Where the generator finds things in a file, for tests that damage them: the resource tree's root, and a
// language-neutral entry (its data entry and bytes) as pack/ResourceTree.h reads it.
size_t ResourceRootOffset(const Bytes& file);
ResourceEntry FindEntry(const Bytes& file, const wchar_t* type, UINT id);

// A tool's output split at its line feeds, each line without its CRLF; a last line without a line feed
// counts too.
std::vector<std::string> Lines(const std::string& text);

void MakeDatabase(const std::string& path, size_t size, unsigned seed);
std::string FixedExecutable();
// The unaligned, unstripped base of either kind of image: 32 (PE32) or 64 (PE32+).
std::string FixtureBase(int bits);
std::string ExampleDatabase();
std::string ExamplePackage();
} // namespace packtest
