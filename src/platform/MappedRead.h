// Reads of bytes that the system pages in from a file as they are first touched: the package's entries, read
// straight from the running executable's mapped image. Where that file is on a share that drops or a disk
// that fails, such a read does not fail: it raises an exception (EXCEPTION_IN_PAGE_ERROR; under Wine an
// access violation at the address read), which would end the process with an exception code for its status
// and, attended, a crash report instead of a message.
//
//   DWORD crc;
//   if (!AfxReadMapped(pb, cb, [&] { crc = Crc32c(0, pb, cb); }))
//       ... the bytes could not be read: AfxMappedReadError() says why
//
// The read is abandoned where it stood when a page of [pRange, pRange + cbRange) cannot be had, and the
// thread goes on from AfxReadMapped with its stack and registers as they were there. So the read must be a
// leaf that reads and computes, owning nothing its abandonment would leak or leave half-done: no handle, no
// memory, no object with a destructor, no lock, no system call that takes one. What it computed counts only
// when TRUE is returned. Faults outside the range, and those of other threads, are left to whoever handles
// them; guarded reads may nest, each catching its own range.
#pragma once

#include <windows.h>

BOOL AfxReadMapped(const void* pRange, SIZE_T cbRange, void (*pfnRead)(void* pContext), void* pContext);

template <class Read> BOOL AfxReadMapped(const void* pRange, SIZE_T cbRange, const Read& read)
{
    return AfxReadMapped(
        pRange, cbRange, [](void* pRead) { (*(const Read*)pRead)(); }, (void*)&read);
}

// Why the first guarded read that failed could not have its bytes (a Win32 error); ERROR_SUCCESS while none
// has failed. A file that could not be read once is not trusted for the rest of the run.
DWORD AfxMappedReadError();
