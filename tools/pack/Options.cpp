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
    L"  --force                stamp a database that lacks the Jet signature\n"
    L"  --show PACKAGE         list the entries of a package, decoded, say which are absent, and\n"
    L"                         whether the package matches its integrity entry\n"
    L"\n"
    L"Texts are stored as UTF-16 ending with one NUL; an empty TEXT stores the NUL only. Every package\n"
    L"also carries an integrity entry (SUM 142), a checksum of the seven entries above, which the\n"
    L"installer checks; --raw SUM:142=FILE stores other bytes instead. The entries may hold 1 GiB at most.\n";

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
    options.mode = Options::Mode::Make;
    return options;
}
