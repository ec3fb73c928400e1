// The process's entry point: hands over to the application object.
#include "CWinApp.h"
#include "LibraryFunction.h"

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE /*hPrevInstance*/, LPSTR /*lpCmdLine*/, int /*nCmdShow*/)
{
    // Before anything can load a library by name.
    AfxRestrictLibrarySearch();
    return AfxWinMain(hInstance);
}
