// Loads each library named on its command line by its name alone, with the system's default search,
// which looks in the program's own folder first. Copied beside planted libraries, it shows that a planted
// library leaves its mark when it really is loaded. The exit status counts the names that did not load.
#include <windows.h>

int main(int argc, char** argv)
{
    int failed = 0;
    for (int i = 1; i < argc; i++)
        failed += LoadLibraryA(argv[i]) == nullptr;
    return failed;
}
