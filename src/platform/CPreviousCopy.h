// A file's contents kept aside while the file itself is rewritten, so that a write that fails half-way
// can put them back, as a database's rollback journal does. The copy goes beside the file or, where the
// file's folder takes no new file or has no room, into the user's temporary folder; it is on the disk
// before a byte of the file changes, and removed once the new contents are.
//
//   CPreviousCopy previous;
//   previous.Keep(file, path, &e);       // the copy holds the file's contents, on the disk
//   ... rewrite file ...
//   previous.Discard();                  // the new contents are on the disk: the copy goes
//   or previous.PutBack(file, n, &e);    // the write failed: the file is as it was
//
// The copy is made as <name>.<16 hex digits>.installing, a temporary file that the next run removes if
// this one is killed meanwhile, and named <name>.<16 hex digits>.previous once it holds the file's previous
// contents whole, on the disk. A run killed later leaves it so: the previous contents, byte for byte. No
// run removes such a file; the user decides what to do with it. Only the running account, the system
// account and the Administrators may open it, and it is encrypted where the file is.
#pragma once

#include "CFile.h"

class CPreviousCopy
{
public:
    CPreviousCopy() : m_pszPath(NULL), m_cbKept(0), m_pBuffer(NULL) {}
    ~CPreviousCopy() { Discard(); }
    CPreviousCopy(const CPreviousCopy&) = delete;
    CPreviousCopy& operator=(const CPreviousCopy&) = delete;

    // Copies everything file holds (it must be open for reading) and flushes the copy. pszPath is the
    // file's full path, beside which the copy goes. On failure no copy is left.
    BOOL Keep(CFile& file, const wchar_t* pszPath, CFileException* pError);
    // Takes the copy that an earlier attempt left (pszCopy, a full path) as this one: the file has been
    // damaged since, and the copy holds what it had before.
    BOOL Adopt(const wchar_t* pszCopy, CFileException* pError);
    // Gives the file its previous length again, then its previous bytes wherever it may differ from them
    // (before cbChanged), and flushes it.
    BOOL PutBack(CFile& file, ULONGLONG cbChanged, CFileException* pError);
    // Removes the copy.
    void Discard();
    // Lets the copy go as it is, for the user, and gives its path (free with free()).
    wchar_t* Leave();

private:
    BOOL CreateIn(const wchar_t* pszPath, CFile& file, DWORD dwAttributes, CFileException* pError);
    BOOL Copy(CFile& from, CFile& to, ULONGLONG cbLimit, ULONGLONG* pcbCopied, CFileException* pError);
    void Forget(); // frees the path and the buffer; the file is the caller's to close or remove

    wchar_t* m_pszPath; // set while the copy exists
    CFile m_fileCopy;   // held with no sharing until it is removed or left
    ULONGLONG m_cbKept;
    BYTE* m_pBuffer; // what copying goes through, had before a byte of the file changes
};
