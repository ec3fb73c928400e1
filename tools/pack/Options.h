// The generator's command line, in UTF-8.
#pragma once

#include <cstdint>
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

    std::u16string type;
    uint16_t id;
    Kind kind;
    std::string value;
    bool flag;
    std::string option; // what gave it, for messages: "--date" or "--raw REG:140=..."
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
    std::string base;
    std::string out;
    std::string package; // --show
    bool force = false;
    bool compress = false; // --compress: the database goes in as MDZ 129, one Zstandard frame
    std::vector<EntrySource> entries;
    // Settings that would have been refused but for --force, each said in one line: warned about.
    std::vector<std::string> forced;
};

// Throws a usage PackError for anything it cannot take.
Options ParseOptions(const std::vector<std::string>& args);

extern const char kUsage[];
