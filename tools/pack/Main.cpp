// quillbrook-pack: makes a release's setup package from the fixed Quillbrook.exe, and shows what a
// package carries.
#include "pack/Options.h"
#include "pack/PackError.h"
#include "pack/Platform.h"
#include "pack/Show.h"
#include "pack/Stamp.h"
#include "pack/Text.h"

#include <new>

namespace
{
int Run(const std::vector<std::string>& args)
{
    try
    {
        const Options options = ParseOptions(args);
        switch (options.mode)
        {
        case Options::Mode::Help:
            WriteOut(kUsage);
            break;
        case Options::Mode::Show: {
            std::string refusal;
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
        WriteErr("quillbrook-pack: " + error.message + "\n");
        return error.status;
    }
    catch (const std::bad_alloc&)
    {
        WriteErr("quillbrook-pack: out of memory\n");
        return kStatusFailed;
    }
}
} // namespace

#ifdef _WIN32
// The command line as Windows gives it, in UTF-16.
int wmain(int argc, wchar_t** argv)
{
    RestrictLibrarySearch();
    std::vector<std::string> args;
    for (int i = 1; i < argc; i++)
        args.push_back(ToUtf8((const char16_t*)argv[i]));
    return Run(args);
}
#else
int main(int argc, char** argv)
{
    RestrictLibrarySearch();
    return Run(std::vector<std::string>(argv + 1, argv + argc));
}
#endif
