// quillbrook-pack: makes a release's setup package from the fixed Quillbrook.exe, and shows what a
// package carries.
#include "pack/Console.h"
#include "pack/Options.h"
#include "pack/PackError.h"
#include "pack/Show.h"
#include "pack/Stamp.h"

#include <windows.h>

#include <new>

// The generator is run from download and build folders, where a DLL planted under a system library's
// name would otherwise be loaded in its place: libraries come from the system folder only. Windows 7
// without its 2011 loader update lacks SetDefaultDllDirectories; there the current folder at least is
// taken out of the search.
static void RestrictLibrarySearch()
{
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesFunction)(DWORD);
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    const auto setDefaultDllDirectories =
        kernel32
            ? (SetDefaultDllDirectoriesFunction)(void*)GetProcAddress(kernel32, "SetDefaultDllDirectories")
            : nullptr;
    if (setDefaultDllDirectories == nullptr || !setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32))
        SetDllDirectoryW(L"");
}

int wmain(int argc, wchar_t** argv)
{
    RestrictLibrarySearch();
    try
    {
        const Options options = ParseOptions(std::vector<std::wstring>(argv + 1, argv + argc));
        switch (options.mode)
        {
        case Options::Mode::Help:
            WriteOut(kUsage);
            break;
        case Options::Mode::Show:
            WriteOut(DescribePackage(options.package));
            break;
        case Options::Mode::Make:
            MakePackage(options);
            break;
        }
        return 0;
    }
    catch (const PackError& error)
    {
        WriteErr(L"quillbrook-pack: " + error.message + L"\n");
        return error.usage ? 2 : 1;
    }
    catch (const std::bad_alloc&)
    {
        WriteErr(L"quillbrook-pack: out of memory\n");
        return 1;
    }
}
