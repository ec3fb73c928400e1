// The process's entry point: hands over to the application object.
#include "CWinApp.h"
#include "LibraryFunction.h"
#include "RedirectionGuard.h"

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE /*hPrevInstance*/, LPSTR /*lpCmdLine*/, int /*nCmdShow*/)
{
    // Before anything can load a library by name.
    AfxRestrictLibrarySearch();
    // Before any file is opened, the log included.
    AfxGuardRedirections();
    return AfxWinMain(hInstance);
}
