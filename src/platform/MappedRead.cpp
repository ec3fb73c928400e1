#include "MappedRead.h"
#include "LibraryFunction.h"

namespace
{
// A guarded read in progress on a thread, and where a fault in its range sends the thread back to. GCC has
// no structured exception handling: a vectored handler sees the fault, and the thread resumes through
// __builtin_longjmp, which puts back the stack and frame pointers that __builtin_setjmp recorded (the
// function that calls __builtin_setjmp saves every other register that it needs itself).
struct Guard
{
    const BYTE* pbRange;
    SIZE_T cbRange;
    Guard* pOuter;
    LONG lStatus; // the system's reason for an in-page error; 0 for an access violation
    void* aResume[5];
};

DWORD g_dwGuardSlot = TLS_OUT_OF_INDEXES;
bool g_bHandling = false; // the handler is in place
DWORD g_dwFirstError = ERROR_SUCCESS;

__attribute__((noreturn)) void Resume()
{
    Guard* pGuard = (Guard*)::TlsGetValue(g_dwGuardSlot);
    __builtin_longjmp(pGuard->aResume, 1);
}

LONG CALLBACK OnFault(EXCEPTION_POINTERS* pException)
{
    // Both exceptions give whether the access was a read (0) and the address; an in-page error its reason.
    const EXCEPTION_RECORD* pRecord = pException->ExceptionRecord;
    const bool bInPage = pRecord->ExceptionCode == EXCEPTION_IN_PAGE_ERROR;
    if ((!bInPage && pRecord->ExceptionCode != EXCEPTION_ACCESS_VIOLATION) || pRecord->NumberParameters < 2 ||
        pRecord->ExceptionInformation[0] != 0)
        return EXCEPTION_CONTINUE_SEARCH;
    const ULONG_PTR address = pRecord->ExceptionInformation[1];
    // Every exception of the process comes here first: the thread's last error is left as it was.
    const DWORD dwLastError = ::GetLastError();
    Guard* pGuard = (Guard*)::TlsGetValue(g_dwGuardSlot);
    ::SetLastError(dwLastError);
    while (pGuard != NULL && address - (ULONG_PTR)pGuard->pbRange >= pGuard->cbRange)
        pGuard = pGuard->pOuter;
    if (pGuard == NULL)
        return EXCEPTION_CONTINUE_SEARCH;
    ::TlsSetValue(g_dwGuardSlot, pGuard);
    pGuard->lStatus = bInPage && pRecord->NumberParameters >= 3 ? (LONG)pRecord->ExceptionInformation[2] : 0;

    // The thread goes on in Resume, on its own stack below where it faulted, aligned as a function finds it
    // just after a call (16 bytes on x64 and for GCC's 32-bit code, less the return address).
    CONTEXT* pContext = pException->ContextRecord;
#ifdef _WIN64
    pContext->Rsp = ((pContext->Rsp - 256) & ~(DWORD64)15) - sizeof(DWORD64);
    pContext->Rip = (DWORD64)&Resume;
#else
    pContext->Esp = ((pContext->Esp - 256) & ~(DWORD)15) - sizeof(DWORD);
    pContext->Eip = (DWORD)&Resume;
#endif
    return EXCEPTION_CONTINUE_EXECUTION;
}

DWORD ErrorOf(LONG lStatus)
{
    typedef ULONG(WINAPI * PFNRTLNTSTATUSTODOSERROR)(LONG);
    auto pfnToDosError = AfxLibraryFunction<PFNRTLNTSTATUSTODOSERROR>("ntdll.dll", "RtlNtStatusToDosError");
    const DWORD dwError =
        lStatus != 0 && pfnToDosError != NULL ? pfnToDosError(lStatus) : ERROR_MR_MID_NOT_FOUND;
    // Wine gives no reason, nor does a status that the system cannot translate: the bytes could not be read.
    return dwError != ERROR_MR_MID_NOT_FOUND ? dwError : ERROR_READ_FAULT;
}
} // namespace

__attribute__((noinline)) BOOL AfxReadMapped(const void* pRange, SIZE_T cbRange, void (*pfnRead)(void*),
                                             void* pContext)
{
    // The handler comes first of any and stays for the life of the process; the installer's first guarded
    // read is made before it starts another thread. Where it cannot be had, the read goes unguarded, as it
    // would without it.
    if (!g_bHandling && g_dwGuardSlot == TLS_OUT_OF_INDEXES)
        g_dwGuardSlot = ::TlsAlloc();
    if (!g_bHandling && g_dwGuardSlot != TLS_OUT_OF_INDEXES)
        g_bHandling = ::AddVectoredExceptionHandler(1, OnFault) != NULL;
    if (!g_bHandling)
    {
        pfnRead(pContext);
        return TRUE;
    }

    Guard guard = {(const BYTE*)pRange, cbRange, (Guard*)::TlsGetValue(g_dwGuardSlot), 0, {}};
    ::TlsSetValue(g_dwGuardSlot, &guard);
    if (__builtin_setjmp(guard.aResume) != 0)
    {
        ::TlsSetValue(g_dwGuardSlot, guard.pOuter);
        if (g_dwFirstError == ERROR_SUCCESS)
            g_dwFirstError = ErrorOf(guard.lStatus);
        return FALSE;
    }
    pfnRead(pContext);
    ::TlsSetValue(g_dwGuardSlot, guard.pOuter);
    return TRUE;
}

DWORD AfxMappedReadError()
{
    return g_dwFirstError;
}
