// quillbrook-pack: makes a release's setup package from the fixed Quillbrook.exe, and shows what a
// package carries.
#include "pack/Console.h"
#include "pack/Options.h"
#include "pack/PackError.h"
#include "pack/Show.h"
#include "pack/Stamp.h"
#include "platform/LibraryFunction.h"

#include <windows.h>

#include <new>

int wmain(int argc, wchar_t** argv)
{
    // The generator is run from download and build folders, where a DLL left under a system library's
    // name would otherwise be loaded in its place.
    AfxRestrictLibrarySearch();
    try
    {
        const Options options = ParseOptions(std::vector<std::wstring>(argv + 1, argv + argc));
        switch (options.mode)
        {
        case Options::Mode::Help:
            WriteOut(kUsage);
            break;
        case Options::Mode::Show: {
            std::wstring refusal;
            WriteOut(DescribePackage(options.package, &refusal));
            if (!refusal.empty())
                throw PackError{refusal, kStatusWouldNotInstall};
            break;
        }
        case Options::Mode::Make:
            MakePackage(options);
            break;
        }
        return 0;
    }
    catch (const PackError& error)
    {
        WriteErr(L"quillbrook-pack: " + error.message + L"\n");
        return error.status;
    }
    catch (const std::bad_alloc&)
    {
        WriteErr(L"quillbrook-pack: out of memory\n");
        return kStatusFailed;
    }
}
