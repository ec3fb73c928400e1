#include "pack/Options.h"
#include "pack/PackError.h"
#include "pack/PackageEntries.h"
#include "pack/Text.h"
#include "package/PackageIds.h"

const char kUsage[] =
    "Usage:\n"
    "  quillbrook-pack --base Quillbrook.exe --out PricelistSetup.exe [entries] [--compress] [--force]\n"
    "  quillbrook-pack --show PACKAGE\n"
    "  quillbrook-pack --help\n"
    "\n"
    "Makes a price-list setup package: a copy of the fixed Quillbrook.exe that carries the database\n"
    "and the settings below. An entry whose option is left out is absent from the package.\n"
    "\n"
    "Entries:\n"
    "  --database FILE        the Jet database the package installs (MDB 129, stored as it is)\n"
    "  --settings-key TEXT    host settings subkey (REG 136)\n"
    "  --path-value TEXT      host value holding the target path, or the CAT- folder (REG 137)\n"
    "  --shared-folder 0|1    install under the common application-data folder (REG 138)\n"
    "  --country-key TEXT     host key holding the country and receiving the date (REG 139)\n"
    "  --date TEXT            the price list's creation date (REG 140)\n"
    "  --country TEXT         the country the price list is made for (REG 141)\n"
    "  --raw TYPE:ID=FILE     store a file's bytes unchanged as entry TYPE ID (repeatable)\n"
    "\n"
    "  --compress             store the database compressed instead, as one Zstandard frame\n"
    "                         (MDZ 129), which the installer decodes as it writes: `zstd -d` of the\n"
    "                         entry gives the database back. The release recipe's default\n"
    "  --store                store the database as it is (MDB 129): the default, said aloud\n"
    "  --force                stamp a database that lacks the Jet signature, and settings that\n"
    "                         would be refused (below), with a warning for each setting\n"
    "  --show PACKAGE         the release check: list the entries of a package, decoded, say which\n"
    "                         are absent, whether the package matches its integrity entry, the\n"
    "                         database's SHA-256 (decoded, for a compressed one, with both sizes),\n"
    "                         and whether the file carries an Authenticode signature (verifying it\n"
    "                         is the signing tool's job)\n"
    "\n"
    "Texts are stored as UTF-16 ending with one NUL; an empty TEXT stores the NUL only. Every package\n"
    "also carries an integrity entry (SUM 142), a checksum of the seven entries above, which the\n"
    "installer checks, and for a compressed database its decoded size and hash; --raw SUM:142=FILE\n"
    "stores other bytes instead, and --raw MDZ:129=FILE a ready frame, recorded as it decodes. The\n"
    "entries may hold 1 GiB at most, and so may the database.\n"
    "\n"
    "Settings that cannot be what was meant are refused: a --date that is not a calendar date\n"
    "written YYYY-MM-DD, a --country that is not two or three letters, a --settings-key that begins\n"
    "with a hive name, and a --country-key that begins with a hive name other than\n"
    "HKEY_LOCAL_MACHINE\\ written exactly so (the installer removes only that). An empty TEXT is\n"
    "never refused.\n"
    "\n"
    "Exit status:\n"
    "  0  the package was made; --show: the installer will install this package\n"
    "  1  a file could not be read or written, or is not a usable Windows executable\n"
    "  2  the command line is wrong, or a setting is refused\n"
    "  3  --show: the installer would refuse this package: it carries no database, has no\n"
    "     integrity entry, or is damaged\n";

namespace
{
char AsciiUpper(char ch)
{
    return ch >= 'a' && ch <= 'z' ? (char)(ch - 'a' + 'A') : ch;
}

bool IsAsciiLetter(char ch)
{
    return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z');
}

bool IsAsciiDigit(char ch)
{
    return ch >= '0' && ch <= '9';
}

struct TextOption
{
    const char* option;
    uint16_t id;
};

const TextOption kTextOptions[] = {
    {"--settings-key", REG_SETTINGS_KEY}, {"--path-value", REG_PATH_VALUE},
    {"--country-key", REG_COUNTRY_KEY},   {"--date", REG_TARIFF_DATE},
    {"--country", REG_COUNTRY_CODE},
};

// Hive names are ASCII; so is every spelling of them that the installer's system would take.
bool SameAsciiIgnoringCase(const std::string& text, const char* name)
{
    size_t i = 0;
    for (; i < text.size() && name[i] != '\0'; i++)
        if (AsciiUpper(text[i]) != AsciiUpper(name[i]))
            return false;
    return i == text.size() && name[i] == '\0';
}

std::string Quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

void SetOnce(std::string& slot, const std::string& option, const std::string& value)
{
    if (!slot.empty())
        FailUsage(option + " is given twice");
    if (value.empty())
        FailUsage(option + " needs a file name");
    slot = value;
}

void AddEntry(Options& options, EntrySource entry)
{
    for (const EntrySource& other : options.entries)
        if (other.type == entry.type && other.id == entry.id)
            FailUsage(entry.option + " gives entry " + ToUtf8(entry.type) + " " + std::to_string(entry.id) +
                      ", which " + other.option + " already gives");
    options.entries.push_back(std::move(entry));
}

// The hive a registry path begins with, as regedit, reg.exe or PowerShell ("HKLM:") write it; empty when
// its first name is none.
std::string HiveNameAtStart(const std::string& path)
{
    // Each hive's name and its abbreviation.
    static const char* const kHives[][2] = {
        {"HKEY_LOCAL_MACHINE", "HKLM"}, {"HKEY_CURRENT_USER", "HKCU"},   {"HKEY_CLASSES_ROOT", "HKCR"},
        {"HKEY_USERS", "HKU"},          {"HKEY_CURRENT_CONFIG", "HKCC"}, {"HKEY_PERFORMANCE_DATA", "HKPD"},
        {"HKEY_DYN_DATA", "HKDD"},
    };
    std::string first = path.substr(0, path.find_first_of("\\/"));
    if (!first.empty() && first.back() == ':')
        first.pop_back();
    for (const auto& names : kHives)
        for (const char* name : names)
            if (SameAsciiIgnoringCase(first, name))
                return path.substr(0, first.size());
    return std::string();
}

bool IsCalendarDate(const std::string& text)
{
    if (text.size() != 10 || text[4] != '-' || text[7] != '-')
        return false;
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (text[i] < '0' || text[i] > '9')
            return false;
    auto number = [&](size_t at, size_t digits) {
        int value = 0;
        for (size_t i = at; i < at + digits; i++)
            value = value * 10 + (text[i] - '0');
        return value;
    };
    const int year = number(0, 4), month = number(5, 2), day = number(8, 2);
    const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return year >= 1 && month >= 1 && month <= 12 && day >= 1 &&
           day <= kDays[month - 1] + (month == 2 && leap);
}

// What is wrong with a setting that the installer would take, but not as the publisher meant it: a date
// the host cannot read, a country code no host has, a key looked up under a subkey named after a hive.
// Empty when nothing is, and for an empty text, which leaves its step out on purpose.
std::string SettingProblem(const EntrySource& entry)
{
    const std::string& value = entry.value;
    if (entry.kind != EntrySource::Text || value.empty())
        return std::string();
    const std::string given = entry.option + " " + Quoted(value);
    switch (entry.id)
    {
    case REG_TARIFF_DATE:
        if (!IsCalendarDate(value))
            return given + " is not a calendar date written YYYY-MM-DD, as in 2024-01-09";
        break;
    case REG_COUNTRY_CODE: {
        bool letters = value.size() == 2 || value.size() == 3;
        for (char ch : value)
            letters = letters && IsAsciiLetter(ch);
        if (!letters)
            return given + " is not a country code of two or three letters, as in BE";
        break;
    }
    case REG_SETTINGS_KEY: {
        const std::string hive = HiveNameAtStart(value);
        if (!hive.empty())
            return given + " begins with the hive name " + hive +
                   ": give the key without it (the installer looks under both hives)";
        break;
    }
    case REG_COUNTRY_KEY: {
        // As the installer uses it: every exact "HKEY_LOCAL_MACHINE\" removed, and any other spelling kept as
        // the name of a subkey.
        std::string used = value;
        const std::string prefix = "HKEY_LOCAL_MACHINE\\";
        for (size_t at; (at = used.find(prefix)) != std::string::npos;)
            used.erase(at, prefix.size());
        const std::string hive = HiveNameAtStart(used);
        if (!hive.empty())
            return given + " begins with the hive name " + hive +
                   ": write HKEY_LOCAL_MACHINE\\ exactly so, or give the key without a hive";
        break;
    }
    }
    return std::string();
}

// TYPE:ID=FILE. The type is a name (stored upper-case, as resource compilers do), the id 1 to 65535.
EntrySource ParseRaw(const std::string& argument)
{
    const std::string option = "--raw " + argument;
    size_t colon = argument.find(':');
    size_t equals = colon == std::string::npos ? colon : argument.find('=', colon);
    if (equals == std::string::npos)
        FailUsage("--raw takes TYPE:ID=FILE, not " + Quoted(argument));

    std::string type = argument.substr(0, colon);
    bool typeOk = !type.empty() && IsAsciiLetter(type[0]);
    for (char& ch : type)
    {
        typeOk = typeOk && (IsAsciiLetter(ch) || IsAsciiDigit(ch) || ch == '_');
        ch = AsciiUpper(ch);
    }
    if (!typeOk)
        FailUsage("--raw: the type must be a name of letters, digits and _, not " +
                  Quoted(argument.substr(0, colon)));

    std::string idText = argument.substr(colon + 1, equals - colon - 1);
    unsigned long id = 0;
    bool idOk = !idText.empty() && idText.size() <= 5;
    for (char ch : idText)
    {
        idOk = idOk && ch >= '0' && ch <= '9';
        id = id * 10 + (ch - '0');
    }
    if (!idOk || id == 0 || id > 0xFFFF)
        FailUsage("--raw: the id must be a number from 1 to 65535, not " + Quoted(idText));

    std::string file = argument.substr(equals + 1);
    if (file.empty())
        FailUsage("--raw " + argument + " names no file");
    return EntrySource{
        std::u16string(type.begin(), type.end()), (uint16_t)id, EntrySource::RawFile, file, false, option};
}
// The database goes in as MDZ 129 instead of MDB 129; a package carries one payload, so no --raw may give
// either beside it.
void CompressDatabase(Options& options)
{
    EntrySource* database = nullptr;
    for (EntrySource& entry : options.entries)
        if (entry.kind == EntrySource::Database)
            database = &entry;
    if (database == nullptr)
        return; // a package without a database, warned about as any
    // A --raw MDB:129 is refused as any entry given twice.
    for (const EntrySource& entry : options.entries)
        if (entry.kind == EntrySource::RawFile && entry.id == MDB_DATABASE &&
            entry.type == kCompressedPayloadType)
            FailUsage("--compress stores --database as MDZ 129, and " + entry.option +
                      " would give the package a second database");
    database->type = kCompressedPayloadType;
}
} // namespace

Options ParseOptions(const std::vector<std::string>& args)
{
    Options options;
    for (const std::string& arg : args)
        if (arg == "--help" || arg == "-h" || arg == "/?")
            return options;
    const char* storage = nullptr; // --compress or --store, once given

    for (size_t i = 0; i < args.size(); i++)
    {
        const std::string& arg = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size())
                FailUsage(arg + " needs a value");
            return args[++i];
        };
        const TextOption* text = nullptr;
        for (const TextOption& candidate : kTextOptions)
            if (arg == candidate.option)
                text = &candidate;

        if (text != nullptr)
        {
            // Stamped as UTF-16; a terminal in another encoding gives bytes that have no such form.
            std::u16string units;
            const std::string& given = value();
            if (!FromUtf8(given, &units))
                FailUsage(arg + " is not UTF-8 text (give texts in UTF-8)");
            AddEntry(options, {kSettingType, text->id, EntrySource::Text, given, false, arg});
        }
        else if (arg == "--base")
            SetOnce(options.base, arg, value());
        else if (arg == "--out")
            SetOnce(options.out, arg, value());
        else if (arg == "--show")
            SetOnce(options.package, arg, value());
        else if (arg == "--force")
            options.force = true;
        else if (arg == "--compress" || arg == "--store")
        {
            if (storage != nullptr && arg != storage)
                FailUsage(arg + " contradicts " + storage);
            storage = arg == "--compress" ? "--compress" : "--store";
            options.compress = arg == "--compress";
        }
        else if (arg == "--database")
            AddEntry(options, {kPayloadType, MDB_DATABASE, EntrySource::Database, value(), false, arg});
        else if (arg == "--shared-folder")
        {
            const std::string& flag = value();
            if (flag != "0" && flag != "1")
                FailUsage("--shared-folder takes 0 or 1, not " + Quoted(flag));
            AddEntry(options, {kSettingType, REG_USE_SHARED_FOLDER, EntrySource::Flag, "", flag == "1", arg});
        }
        else if (arg == "--raw")
            AddEntry(options, ParseRaw(value()));
        else if (arg.rfind("-", 0) == 0)
            FailUsage("unknown option " + arg + " (see --help)");
        else
            FailUsage("unexpected argument " + Quoted(arg) + " (see --help)");
    }

    if (!options.package.empty())
    {
        if (!options.base.empty() || !options.out.empty() || options.force || storage != nullptr ||
            !options.entries.empty())
            FailUsage("--show takes no other option");
        options.mode = Options::Mode::Show;
        return options;
    }
    if (options.base.empty())
        FailUsage("--base is missing: name the fixed Quillbrook.exe (see --help)");
    if (options.out.empty())
        FailUsage("--out is missing: name the package to make (see --help)");
    if (options.compress)
        CompressDatabase(options);
    for (const EntrySource& entry : options.entries)
    {
        const std::string problem = SettingProblem(entry);
        if (!problem.empty() && !options.force)
            FailUsage(problem + " (give --force to stamp it anyway)");
        if (!problem.empty())
            options.forced.push_back(problem);
    }
    options.mode = Options::Mode::Make;
    return options;
}
