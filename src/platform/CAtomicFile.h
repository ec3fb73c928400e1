// Replaces a file's contents in one step. The new contents go to a temporary file beside the target,
// are flushed to the disk, and the temporary file is then moved over the target: whoever looks sees
// the old file or the complete new one, never a mixture, and a failure on the way leaves the old file
// byte for byte as it was (or no file, where there was none).
//
//   CAtomicFile file;
//   file.Open(path, &e);      // the target is free to be replaced; the temporary file is created
//   file.Write(source, &e);   // the temporary file holds the new contents, on the disk
//   file.Replace(&e);         // the target has them; may be repeated while another process holds it
//
// The replaced file is the same file to everyone: it keeps its owner and permissions, its attributes, its
// creation time and every symbolic link that leads to it (FileIdentity.h says what exactly). Where it
// cannot be replaced so, it is written in place through the held target instead: a file with other hard
// links, a file we may change but not delete, a file whose folder lets us change it but create nothing,
// a file reached through a link that the system cannot follow for us, and a file whose owner or
// permissions the new one could not take. Its previous contents are then kept aside first
// (CPreviousCopy.h) and put back if the write fails; only a run killed in the middle of the write, or a
// copy that cannot be put back, leaves the file changed, with its previous contents in the copy.
//
// Only a file on a disk is a target: not a device (NUL, COM1 in any folder) and not a named stream. A run
// with more rights than whoever could plant a link on the way reaches it only through links that
// administrators made, and holds the way while it works there (CTargetFolder.h); such a run writes in place
// through no name that a user could have given the file beside its names elsewhere.
//
// The files it makes beside the target are made for the running account alone until they have the
// target's permissions (the copy of the previous contents keeps to it), and what a killed run left is
// removed only when it is plainly a file of ours (Leftovers.h).
//
// From Open to Replace the target is held open exclusively, so that no other process takes it while the
// new contents are written. Only between the end of Write and the move can another process open it;
// Replace then fails and may be called again. Brief opens by other software (scanners, indexers) are
// waited out for about a second at each step before a failure is reported. The temporary file is closed
// to every other process until it is moved. Abort, or destruction before a successful Replace, removes it.
#pragma once

#include "CByteSource.h"
#include "CFile.h"
#include "CPreviousCopy.h"
#include "CTargetFolder.h"

#include <stdlib.h>

class CAtomicFile
{
public:
    CAtomicFile()
        : m_pszFinal(NULL), m_pszTemporary(NULL), m_pFolder(&m_folder), m_bInPlace(FALSE),
          m_bSecurityWritable(FALSE), m_bReplaced(FALSE)
    {
    }
    ~CAtomicFile()
    {
        Abort();
        free(m_pszKeptIn);
    }
    CAtomicFile(const CAtomicFile&) = delete;
    CAtomicFile& operator=(const CAtomicFile&) = delete;

    // Fails, as opening the target for writing would, when the target cannot be replaced now: another
    // process has it open, it is read-only, its folder is missing or closed to us, it is no file, or the
    // way to it has a link that a user planted (ERROR_UNTRUSTED_MOUNT_POINT_).
    // pszDamagedKeptIn, when given, says that an earlier attempt left the target damaged and its previous
    // contents whole in that copy (a full path, as PreviousContentsKeptIn gave it): the target is then
    // written in place, and a failure puts back what the copy holds (not the damaged bytes); the copy goes
    // once the target is whole again. A target deleted since is made anew, and the copy stays as it is.
    // pFolder, when given, holds the way to this target already (made by the caller, who keeps it for other
    // work in the same folder once the file is done with).
    BOOL Open(const char* pszTarget, CFileException* pError, const wchar_t* pszDamagedKeptIn = NULL,
              CTargetFolder* pFolder = NULL);
    // Writes the whole new contents, as the source gives them, and flushes them. On failure, the source's
    // included, the temporary file is removed and the target is released as it was, unless its previous
    // contents could not be put back (below).
    BOOL Write(CByteSource& source, CFileException* pError);
    BOOL Write(const void* pData, DWORD cbData, CFileException* pError)
    {
        CMemorySource source(pData, cbData);
        return Write(source, pError);
    }
    // Moves the written file over the target. While another process is in the way, the written file is kept
    // for another try (MayReplaceAgain); any other failure removes it, the target as it was. The move may
    // also have been made but not put on the disk (IsReplaced).
    BOOL Replace(CFileException* pError);
    BOOL MayReplaceAgain() const { return m_pszTemporary != NULL; }
    // Gives up: removes the temporary file and releases the target untouched.
    void Abort();
    // TRUE after an Open that could not use the one-step replacement: Write changes the target itself.
    BOOL WritesInPlace() const { return m_bInPlace; }
    // TRUE once the new file has taken the target's place, even where Replace then failed to put that on
    // the disk: the target holds the previous contents or the new ones, whole, but it is not known which
    // a power cut would leave.
    BOOL IsReplaced() const { return m_bReplaced; }
    // After a failure, while no attempt has put the target's previous contents back (a Write in place failed
    // and could not undo itself, now or in the attempt given to Open): the copy that holds them, as a full
    // \\?\ path. NULL when the target is as it was before.
    const wchar_t* PreviousContentsKeptIn() const { return m_pszKeptIn; }

private:
    BOOL OpenTarget(CFileException* pError);
    BOOL RefuseUnlessHeld(HANDLE hFile, const char* pszWhat, CFileException* pError);
    BOOL CreateTemporary(CFileException* pError);
    void RemoveTemporary();
    BOOL WriteInPlace(CByteSource& source, CFileException* pError);
    BOOL PutBack(ULONGLONG cbChanged);
    BOOL Move();
    BOOL Refuse(DWORD dwError, CFileException* pError);
    BOOL InPlaceBecause(const char* pszReason);
    void KeepPreviousIn(const wchar_t* pszCopy);

    CString m_strTarget;         // as given, for error messages
    wchar_t* m_pszFinal;         // the target as a \\?\ path; once replaced, the file its links lead to
    wchar_t* m_pszTemporary;     // set while our temporary file exists
    CFile m_fileTarget;          // the existing target, held exclusively until Replace
    CFile m_fileTemporary;       // open to nobody else from its creation to the move
    CTargetFolder m_folder;      // the way to the target, unless the caller holds it
    CTargetFolder* m_pFolder;    // the way in use
    CPreviousCopy m_previous;    // the target's contents while it is written in place
    wchar_t* m_pszKeptIn = NULL; // where they are until an attempt puts them back
    BOOL m_bInPlace;             // the target itself is written, through m_fileTarget
    BOOL m_bSecurityWritable;    // the temporary file was opened with WRITE_DAC and WRITE_OWNER
    BOOL m_bReplaced;            // the temporary file was moved over the target

    // The file written in place, by its volume and its index there: its previous contents go back into no
    // other.
    BOOL m_bIdentified = FALSE;
    BY_HANDLE_FILE_INFORMATION m_identity;
};
