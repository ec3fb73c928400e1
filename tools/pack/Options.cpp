#include "pack/Options.h"
#include "pack/PackError.h"
#include "pack/PackageEntries.h"
#include "package/PackageIds.h"

#include <cwctype>

const wchar_t kUsage[] =
    L"Usage:\n"
    L"  quillbrook-pack --base Quillbrook.exe --out PricelistSetup.exe [entries] [--force]\n"
    L"  quillbrook-pack --show PACKAGE\n"
    L"  quillbrook-pack --help\n"
    L"\n"
    L"Makes a price-list setup package: a copy of the fixed Quillbrook.exe that carries the database\n"
    L"and the settings below. An entry whose option is left out is absent from the package.\n"
    L"\n"
    L"Entries:\n"
    L"  --database FILE        the Jet database the package installs (MDB 129)\n"
    L"  --settings-key TEXT    host settings subkey (REG 136)\n"
    L"  --path-value TEXT      host value holding the target path, or the CAT- folder (REG 137)\n"
    L"  --shared-folder 0|1    install under the common application-data folder (REG 138)\n"
    L"  --country-key TEXT     host key holding the country and receiving the date (REG 139)\n"
    L"  --date TEXT            the price list's creation date (REG 140)\n"
    L"  --country TEXT         the country the price list is made for (REG 141)\n"
    L"  --raw TYPE:ID=FILE     store a file's bytes unchanged as entry TYPE ID (repeatable)\n"
    L"\n"
    L"  --force                stamp a database that lacks the Jet signature, and settings that\n"
    L"                         would be refused (below), with a warning for each setting\n"
    L"  --show PACKAGE         the release check: list the entries of a package, decoded, say which\n"
    L"                         are absent, whether the package matches its integrity entry, the\n"
    L"                         database's SHA-256, and whether the file carries an Authenticode\n"
    L"                         signature (verifying it is the signing tool's job)\n"
    L"\n"
    L"Texts are stored as UTF-16 ending with one NUL; an empty TEXT stores the NUL only. Every package\n"
    L"also carries an integrity entry (SUM 142), a checksum of the seven entries above, which the\n"
    L"installer checks; --raw SUM:142=FILE stores other bytes instead. The entries may hold 1 GiB at most.\n"
    L"\n"
    L"Settings that cannot be what was meant are refused: a --date that is not a calendar date\n"
    L"written YYYY-MM-DD, a --country that is not two or three letters, a --settings-key that begins\n"
    L"with a hive name, and a --country-key that begins with a hive name other than\n"
    L"HKEY_LOCAL_MACHINE\\ written exactly so (the installer removes only that). An empty TEXT is\n"
    L"never refused.\n"
    L"\n"
    L"Exit status:\n"
    L"  0  the package was made; --show: the installer will install this package\n"
    L"  1  a file could not be read or written, or is not a usable Windows executable\n"
    L"  2  the command line is wrong, or a setting is refused\n"
    L"  3  --show: the installer would refuse this package: it carries no database, has no\n"
    L"     integrity entry, or is damaged\n";

namespace
{
struct TextOption
{
    const wchar_t* option;
    UINT id;
};

const TextOption kTextOptions[] = {
    {L"--settings-key", REG_SETTINGS_KEY}, {L"--path-value", REG_PATH_VALUE},
    {L"--country-key", REG_COUNTRY_KEY},   {L"--date", REG_TARIFF_DATE},
    {L"--country", REG_COUNTRY_CODE},
};

std::wstring Quoted(const std::wstring& text)
{
    return L"\"" + text + L"\"";
}

void SetOnce(std::wstring& slot, const std::wstring& option, const std::wstring& value)
{
    if (!slot.empty())
        FailUsage(option + L" is given twice");
    if (value.empty())
        FailUsage(option + L" needs a file name");
    slot = value;
}

void AddEntry(Options& options, EntrySource entry)
{
    for (const EntrySource& other : options.entries)
        if (other.type == entry.type && other.id == entry.id)
            FailUsage(entry.option + L" gives entry " + entry.type + L" " + std::to_wstring(entry.id) +
                      L", which " + other.option + L" already gives");
    options.entries.push_back(std::move(entry));
}

// The hive a registry path begins with, as regedit, reg.exe or PowerShell ("HKLM:") write it; empty when
// its first name is none.
std::wstring HiveNameAtStart(const std::wstring& path)
{
    // Each hive's name and its abbreviation.
    static const wchar_t* const kHives[][2] = {
        {L"HKEY_LOCAL_MACHINE", L"HKLM"},  {L"HKEY_CURRENT_USER", L"HKCU"},
        {L"HKEY_CLASSES_ROOT", L"HKCR"},   {L"HKEY_USERS", L"HKU"},
        {L"HKEY_CURRENT_CONFIG", L"HKCC"}, {L"HKEY_PERFORMANCE_DATA", L"HKPD"},
        {L"HKEY_DYN_DATA", L"HKDD"},
    };
    std::wstring first = path.substr(0, path.find_first_of(L"\\/"));
    if (!first.empty() && first.back() == L':')
        first.pop_back();
    for (const auto& names : kHives)
        for (const wchar_t* name : names)
            if (CompareStringOrdinal(first.c_str(), (int)first.size(), name, -1, TRUE) == CSTR_EQUAL)
                return path.substr(0, first.size());
    return std::wstring();
}

bool IsCalendarDate(const std::wstring& text)
{
    if (text.size() != 10 || text[4] != L'-' || text[7] != L'-')
        return false;
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (text[i] < L'0' || text[i] > L'9')
            return false;
    auto number = [&](size_t at, size_t digits) {
        int value = 0;
        for (size_t i = at; i < at + digits; i++)
            value = value * 10 + (text[i] - L'0');
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
std::wstring SettingProblem(const EntrySource& entry)
{
    const std::wstring& value = entry.value;
    if (entry.kind != EntrySource::Text || value.empty())
        return std::wstring();
    const std::wstring given = entry.option + L" " + Quoted(value);
    switch (entry.id)
    {
    case REG_TARIFF_DATE:
        if (!IsCalendarDate(value))
            return given + L" is not a calendar date written YYYY-MM-DD, as in 2024-01-09";
        break;
    case REG_COUNTRY_CODE: {
        bool letters = value.size() == 2 || value.size() == 3;
        for (wchar_t ch : value)
            letters = letters && ((ch >= L'A' && ch <= L'Z') || (ch >= L'a' && ch <= L'z'));
        if (!letters)
            return given + L" is not a country code of two or three letters, as in BE";
        break;
    }
    case REG_SETTINGS_KEY: {
        const std::wstring hive = HiveNameAtStart(value);
        if (!hive.empty())
            return given + L" begins with the hive name " + hive +
                   L": give the key without it (the installer looks under both hives)";
        break;
    }
    case REG_COUNTRY_KEY: {
        // As the installer uses it: every exact "HKEY_LOCAL_MACHINE\" removed, and any other spelling kept as
        // the name of a subkey.
        std::wstring used = value;
        const std::wstring prefix = L"HKEY_LOCAL_MACHINE\\";
        for (size_t at; (at = used.find(prefix)) != std::wstring::npos;)
            used.erase(at, prefix.size());
        const std::wstring hive = HiveNameAtStart(used);
        if (!hive.empty())
            return given + L" begins with the hive name " + hive +
                   L": write HKEY_LOCAL_MACHINE\\ exactly so, or give the key without a hive";
        break;
    }
    }
    return std::wstring();
}

// TYPE:ID=FILE. The type is a name (stored upper-case, as resource compilers do), the id 1 to 65535.
EntrySource ParseRaw(const std::wstring& argument)
{
    const std::wstring option = L"--raw " + argument;
    size_t colon = argument.find(L':');
    size_t equals = colon == std::wstring::npos ? colon : argument.find(L'=', colon);
    if (equals == std::wstring::npos)
        FailUsage(L"--raw takes TYPE:ID=FILE, not " + Quoted(argument));

    std::wstring type = argument.substr(0, colon);
    bool typeOk = !type.empty() && iswalpha(type[0]);
    for (wchar_t& ch : type)
    {
        typeOk = typeOk && ch < 0x80 && (iswalnum(ch) || ch == L'_');
        ch = towupper(ch);
    }
    if (!typeOk)
        FailUsage(L"--raw: the type must be a name of letters, digits and _, not " +
                  Quoted(argument.substr(0, colon)));

    std::wstring idText = argument.substr(colon + 1, equals - colon - 1);
    unsigned long id = 0;
    bool idOk = !idText.empty() && idText.size() <= 5;
    for (wchar_t ch : idText)
    {
        idOk = idOk && ch >= L'0' && ch <= L'9';
        id = id * 10 + (ch - L'0');
    }
    if (!idOk || id == 0 || id > 0xFFFF)
        FailUsage(L"--raw: the id must be a number from 1 to 65535, not " + Quoted(idText));

    std::wstring file = argument.substr(equals + 1);
    if (file.empty())
        FailUsage(L"--raw " + argument + L" names no file");
    return EntrySource{type, (UINT)id, EntrySource::RawFile, file, false, option};
}
} // namespace

Options ParseOptions(const std::vector<std::wstring>& args)
{
    Options options;
    for (const std::wstring& arg : args)
        if (arg == L"--help" || arg == L"-h" || arg == L"/?")
            return options;

    for (size_t i = 0; i < args.size(); i++)
    {
        const std::wstring& arg = args[i];
        auto value = [&]() -> const std::wstring& {
            if (i + 1 >= args.size())
                FailUsage(arg + L" needs a value");
            return args[++i];
        };
        const TextOption* text = nullptr;
        for (const TextOption& candidate : kTextOptions)
            if (arg == candidate.option)
                text = &candidate;

        if (text != nullptr)
            AddEntry(options, {kSettingType, text->id, EntrySource::Text, value(), false, arg});
        else if (arg == L"--base")
            SetOnce(options.base, arg, value());
        else if (arg == L"--out")
            SetOnce(options.out, arg, value());
        else if (arg == L"--show")
            SetOnce(options.package, arg, value());
        else if (arg == L"--force")
            options.force = true;
        else if (arg == L"--database")
            AddEntry(options, {kPayloadType, MDB_DATABASE, EntrySource::Database, value(), false, arg});
        else if (arg == L"--shared-folder")
        {
            const std::wstring& flag = value();
            if (flag != L"0" && flag != L"1")
                FailUsage(L"--shared-folder takes 0 or 1, not " + Quoted(flag));
            AddEntry(options,
                     {kSettingType, REG_USE_SHARED_FOLDER, EntrySource::Flag, L"", flag == L"1", arg});
        }
        else if (arg == L"--raw")
            AddEntry(options, ParseRaw(value()));
        else if (arg.rfind(L"-", 0) == 0)
            FailUsage(L"unknown option " + arg + L" (see --help)");
        else
            FailUsage(L"unexpected argument " + Quoted(arg) + L" (see --help)");
    }

    if (!options.package.empty())
    {
        if (!options.base.empty() || !options.out.empty() || options.force || !options.entries.empty())
            FailUsage(L"--show takes no other option");
        options.mode = Options::Mode::Show;
        return options;
    }
    if (options.base.empty())
        FailUsage(L"--base is missing: name the fixed Quillbrook.exe (see --help)");
    if (options.out.empty())
        FailUsage(L"--out is missing: name the package to make (see --help)");
    for (const EntrySource& entry : options.entries)
    {
        const std::wstring problem = SettingProblem(entry);
        if (!problem.empty() && !options.force)
            FailUsage(problem + L" (give --force to stamp it anyway)");
        if (!problem.empty())
            options.forced.push_back(problem);
    }
    options.mode = Options::Mode::Make;
    return options;
}
