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
// The replaced file keeps what writing it in place would have kept: its permissions, its attributes,
// its creation time, and every symbolic link that leads to it. Where it cannot be replaced without
// losing something or being refused, it is written in place through the held target instead, without
// the one-step promise: a file with other hard links, a file we may change but not delete, and a file
// whose folder lets us change it but create nothing.
//
// From Open to Replace the target is held open exclusively, so that no other process takes it while the
// new contents are written. Only between the end of Write and the move can another process open it;
// Replace then fails and may be called again. Brief opens by other software (scanners, indexers) are
// waited out for about a second at each step before a failure is reported. Abort, or destruction before
// a successful Replace, removes the temporary file.
#pragma once

#include "CFile.h"

class CAtomicFile
{
public:
    CAtomicFile() : m_pszFinal(NULL), m_pszTemporary(NULL), m_bInPlace(FALSE) {}
    ~CAtomicFile() { Abort(); }
    CAtomicFile(const CAtomicFile&) = delete;
    CAtomicFile& operator=(const CAtomicFile&) = delete;

    // Fails, as opening the target for writing would, when the target cannot be replaced now: another
    // process has it open, it is read-only, or its folder is missing or closed to us.
    BOOL Open(const char* pszTarget, CFileException* pError);
    // Writes the whole new contents and flushes them, with the target's permissions, attributes and
    // creation time. On failure the temporary file is removed and the target is released untouched.
    BOOL Write(const void* pData, DWORD cbData, CFileException* pError);
    // Moves the written file over the target. On failure the written file is kept for another try.
    BOOL Replace(CFileException* pError);
    // Gives up: removes the temporary file and releases the target untouched.
    void Abort();
    // TRUE after an Open that could not use the one-step replacement: Write changes the target itself,
    // and a failed Write may leave it changed.
    BOOL WritesInPlace() const { return m_bInPlace; }

    // The wildcard pattern that every temporary file of every run for pszTarget matches. A run that was
    // killed leaves at most one such file behind, and the next run for the same target removes it.
    static CString TemporaryPatternFor(const char* pszTarget);

private:
    BOOL CreateTemporary(CFileException* pError);
    BOOL CopyTargetMetadata(CFileException* pError);
    BOOL Move();
    void RemoveLeftovers();

    CString m_strTarget;     // as given, for error messages
    wchar_t* m_pszFinal;     // the file the target leads to, as a \\?\ path
    wchar_t* m_pszTemporary; // set while our temporary file exists
    CFile m_fileTarget;      // the existing target, held exclusively until Replace
    CFile m_fileTemporary;   // held with no sharing from its creation to the move
    BOOL m_bInPlace;         // the target itself is written, through m_fileTarget
};
