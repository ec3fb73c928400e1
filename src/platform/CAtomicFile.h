// Replaces a file's contents in one step. The new contents go to a temporary file beside the target,
// are flushed to the disk, and the temporary file is then moved over the target: whoever looks sees
// the old file or the complete new one, never a mixture, and a failure on the way leaves the old file
// byte for byte as it was (or no file, where there was none).
//
//   CAtomicFile file;
//   file.Open(path, &e);      // the target is free to be replaced; the temporary file is created
//   file.Write(data, n, &e);  // the temporary file holds the new contents, on the disk
//   file.Replace(&e);         // the target has them; may be repeated while another process holds it
//
// From Open to Replace the target is held open exclusively, so that no other process takes it while the
// new contents are written. Only between the end of Write and the move can another process open it;
// Replace then fails and may be called again. Abort, or destruction before a successful Replace, removes
// the temporary file.
#pragma once

#include "CFile.h"

class CAtomicFile
{
public:
    CAtomicFile() : m_bWritten(FALSE) {}
    ~CAtomicFile() { Abort(); }
    CAtomicFile(const CAtomicFile&) = delete;
    CAtomicFile& operator=(const CAtomicFile&) = delete;

    // Fails, as opening the target for writing would, when the target cannot be replaced now: another
    // process has it open, it is read-only, or its folder is missing or closed to us.
    BOOL Open(const char* pszTarget, CFileException* pError);
    // Writes the whole new contents, flushes them and closes the temporary file. On failure the
    // temporary file is removed and the target is released untouched.
    BOOL Write(const void* pData, DWORD cbData, CFileException* pError);
    // Moves the written file over the target. On failure the written file is kept for another try.
    BOOL Replace(CFileException* pError);
    // Gives up: removes the temporary file and releases the target untouched.
    void Abort();

    // The temporary file used for pszTarget; a run that was killed leaves at most this file behind,
    // and the next run for the same target removes it.
    static CString TemporaryPathFor(const char* pszTarget);

private:
    CString m_strTarget;
    CString m_strTemporary;
    CFile m_fileTarget;    // the existing target, held exclusively until Replace
    CFile m_fileTemporary; // open while being written
    BOOL m_bWritten;       // the temporary file is complete and closed
};
