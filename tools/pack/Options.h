// The generator's command line.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// One entry to stamp, as the command line gives it.
struct EntrySource
{
    enum Kind
    {
        Text,     // value is the text
        Flag,     // flag is the value
        Database, // value is the database's path; its signature is checked
        RawFile,  // value is the path of bytes stored unchanged
    };

    std::wstring type;
    UINT id;
    Kind kind;
    std::wstring value;
    bool flag;
    std::wstring option; // what gave it, for messages: "--date" or "--raw REG:140=..."
};

struct Options
{
    enum class Mode
    {
        Help,
        Make,
        Show,
    };

    Mode mode = Mode::Help;
    std::wstring base;
    std::wstring out;
    std::wstring package; // --show
    bool force = false;
    std::vector<EntrySource> entries;
    // Settings that would have been refused but for --force, each said in one line: warned about.
    std::vector<std::wstring> forced;
};

// Throws a usage PackError for anything it cannot take.
Options ParseOptions(const std::vector<std::wstring>& args);

extern const wchar_t kUsage[];
