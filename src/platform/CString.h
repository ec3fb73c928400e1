// 8-bit text in the system's ANSI code page, passed by value. Each object owns its own buffer; the
// empty string shares one static terminator and allocates nothing.
#pragma once

#include <windows.h>

class CString
{
public:
    CString();
    CString(const CString& str);
    CString(const char* psz);
    CString(const char* pch, int nLength);
    // UTF-16 text converted to the ANSI code page: up to the first NUL, or exactly nLength code units.
    CString(const wchar_t* pwsz);
    CString(const wchar_t* pwch, int nLength);
    ~CString();

    CString& operator=(const CString& str);
    CString& operator=(const char* psz);
    CString& operator+=(const CString& str);
    CString& operator+=(const char* psz);
    CString& operator+=(char ch);

    int GetLength() const { return m_nLength; }
    BOOL IsEmpty() const { return m_nLength == 0; }
    void Empty();
    operator const char*() const { return m_pszData; }
    char GetAt(int nIndex) const { return m_pszData[nIndex]; }

    // Index of the last occurrence of ch, or -1. In a double-byte code page the second byte of a character
    // is never taken for ch: in Japanese, 0x95 0x5C is one character, not 0x95 and a backslash.
    int ReverseFind(char ch) const;
    // The first n characters; n below 0 gives the empty string, n beyond the length the whole string.
    CString Left(int nCount) const;
    // The characters from nFirst to the end; nFirst below 0 counts as 0.
    CString Mid(int nFirst) const;
    // Replaces every occurrence of pszOld, case-sensitively; returns how many were replaced.
    int Replace(const char* pszOld, const char* pszNew);
    // Upper-cases in place by the rules of the system's locale.
    void MakeUpper();
    // Case-sensitive byte comparison: 0 when equal, <0 or >0 otherwise.
    int Compare(const char* psz) const;

    // A writable buffer of exactly nLength characters (plus a terminator); ReleaseBuffer ends the
    // text at its first zero, or at nNewLength when given.
    char* GetBufferSetLength(int nLength);
    char* GetBuffer(int nMinLength);
    void ReleaseBuffer(int nNewLength = -1);

    // The string-table entry nID of the running module; empty when absent.
    BOOL LoadString(UINT nID);

    friend CString operator+(const CString& str1, const CString& str2);
    friend CString operator+(const CString& str, const char* psz);
    friend CString operator+(const char* psz, const CString& str);
    friend bool operator==(const CString& str1, const char* psz) { return str1.Compare(psz) == 0; }
    friend bool operator!=(const CString& str1, const char* psz) { return str1.Compare(psz) != 0; }

    // Assigns UTF-16 text (nLength code units, or up to its NUL when -1) converted to the ANSI code page
    // without best fit: a character that the code page lacks becomes '?' rather than a look-alike (a plain
    // L for the Polish barred one), which in a path would name another folder. FALSE when that happened.
    // An embedded NUL ends the text.
    BOOL AssignWide(const wchar_t* pwch, int nLength);

private:
    void Assign(const char* pch, int nLength);
    void Append(const char* pch, int nLength);
    void Reserve(int nCapacity);

    char* m_pszData;
    int m_nLength;
    int m_nCapacity; // characters that fit before the terminator; 0 while m_pszData is the shared empty
};

// 8-bit text in UTF-16, for the system's wide calls; pch spans cch bytes, embedded zeros included.
class CWideText
{
public:
    CWideText(const char* pch, int cch);
    explicit CWideText(const char* psz) : CWideText(psz, lstrlenA(psz)) {}
    ~CWideText();
    CWideText(const CWideText&) = delete;
    CWideText& operator=(const CWideText&) = delete;
    operator const wchar_t*() const { return m_pwsz; }

private:
    wchar_t* m_pwsz;
};
