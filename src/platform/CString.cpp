#include "CString.h"
#include "SystemCalls.h"

#include <stdlib.h>
#include <string.h>

namespace
{
char g_chNil = '\0';

// Strings hold paths and registry names; failing to find a few hundred bytes leaves nothing sensible to
// do but stop, without a message box that an unattended run could not answer.
void* CheckedRealloc(void* p, size_t cb)
{
    void* pNew = realloc(p, cb);
    if (pNew == NULL)
        ExitProcess(STATUS_NO_MEMORY);
    return pNew;
}
} // namespace

CString::CString() : m_pszData(&g_chNil), m_nLength(0), m_nCapacity(0) {}

CString::CString(const CString& str) : CString()
{
    Assign(str.m_pszData, str.m_nLength);
}

CString::CString(const char* psz) : CString()
{
    if (psz != NULL)
        Assign(psz, (int)strlen(psz));
}

CString::CString(const char* pch, int nLength) : CString()
{
    Assign(pch, nLength);
}

CString::CString(const wchar_t* pwsz) : CString()
{
    if (pwsz != NULL)
        AssignWide(pwsz, -1);
}

CString::CString(const wchar_t* pwch, int nLength) : CString()
{
    AssignWide(pwch, nLength);
}

CString::~CString()
{
    if (m_nCapacity != 0)
        free(m_pszData);
}

CString& CString::operator=(const CString& str)
{
    if (this != &str)
        Assign(str.m_pszData, str.m_nLength);
    return *this;
}

CString& CString::operator=(const char* psz)
{
    Assign(psz, psz ? (int)strlen(psz) : 0);
    return *this;
}

CString& CString::operator+=(const CString& str)
{
    Append(str.m_pszData, str.m_nLength);
    return *this;
}

CString& CString::operator+=(const char* psz)
{
    if (psz != NULL)
        Append(psz, (int)strlen(psz));
    return *this;
}

CString& CString::operator+=(char ch)
{
    Append(&ch, 1);
    return *this;
}

CString operator+(const CString& str1, const CString& str2)
{
    CString result(str1);
    result += str2;
    return result;
}

CString operator+(const CString& str, const char* psz)
{
    CString result(str);
    result += psz;
    return result;
}

CString operator+(const char* psz, const CString& str)
{
    CString result(psz);
    result += str;
    return result;
}

void CString::Empty()
{
    if (m_nCapacity != 0)
        free(m_pszData);
    m_pszData = &g_chNil;
    m_nLength = m_nCapacity = 0;
}

int CString::ReverseFind(char ch) const
{
    int nFound = -1;
    for (int i = 0; i < m_nLength; i++)
    {
        if (m_pszData[i] == ch)
            nFound = i;
        else if (sys.IsDBCSLeadByte((BYTE)m_pszData[i]) && i + 1 < m_nLength)
            ++i;
    }
    return nFound;
}

CString CString::Left(int nCount) const
{
    if (nCount < 0)
        nCount = 0;
    if (nCount > m_nLength)
        nCount = m_nLength;
    return CString(m_pszData, nCount);
}

CString CString::Mid(int nFirst) const
{
    if (nFirst < 0)
        nFirst = 0;
    if (nFirst > m_nLength)
        nFirst = m_nLength;
    return CString(m_pszData + nFirst, m_nLength - nFirst);
}

int CString::Replace(const char* pszOld, const char* pszNew)
{
    const int nOldLength = (int)strlen(pszOld);
    if (nOldLength == 0)
        return 0;
    const int nNewLength = (int)strlen(pszNew);

    CString result;
    int nCount = 0;
    const char* pStart = m_pszData;
    for (const char* pHit; (pHit = strstr(pStart, pszOld)) != NULL; pStart = pHit + nOldLength)
    {
        result.Append(pStart, (int)(pHit - pStart));
        result.Append(pszNew, nNewLength);
        ++nCount;
    }
    if (nCount != 0)
    {
        result.Append(pStart, (int)(m_pszData + m_nLength - pStart));
        *this = result;
    }
    return nCount;
}

void CString::MakeUpper()
{
    if (m_nLength != 0)
        CharUpperBuffA(m_pszData, (DWORD)m_nLength);
}

int CString::Compare(const char* psz) const
{
    return strcmp(m_pszData, psz);
}

char* CString::GetBufferSetLength(int nLength)
{
    char* pch = GetBuffer(nLength);
    m_nLength = nLength;
    pch[nLength] = '\0';
    return pch;
}

char* CString::GetBuffer(int nMinLength)
{
    Reserve(nMinLength);
    return m_pszData;
}

void CString::ReleaseBuffer(int nNewLength)
{
    if (m_nCapacity == 0)
        return;
    if (nNewLength < 0)
        nNewLength = (int)strlen(m_pszData);
    m_nLength = nNewLength;
    m_pszData[nNewLength] = '\0';
}

BOOL CString::LoadString(UINT nID)
{
    // A string-table entry is at most 4,095 characters long.
    char szBuffer[4096];
    int nLength = sys.LoadStringA(GetModuleHandleA(NULL), nID, szBuffer, sizeof szBuffer);
    Assign(szBuffer, nLength);
    return nLength > 0;
}

void CString::Assign(const char* pch, int nLength)
{
    if (nLength <= 0)
    {
        Empty();
        return;
    }
    Reserve(nLength);
    memmove(m_pszData, pch, (size_t)nLength);
    m_pszData[nLength] = '\0';
    m_nLength = nLength;
}

void CString::Append(const char* pch, int nLength)
{
    if (nLength <= 0)
        return;
    Reserve(m_nLength + nLength);
    memcpy(m_pszData + m_nLength, pch, (size_t)nLength);
    m_nLength += nLength;
    m_pszData[m_nLength] = '\0';
}

BOOL CString::AssignWide(const wchar_t* pwch, int nLength)
{
    Empty();
    if (nLength < 0)
        nLength = pwch != NULL ? (int)wcslen(pwch) : 0;
    if (nLength == 0)
        return TRUE;
    // Where the process's code page is UTF-8 (the manifest asks for it, and Windows 10 version 1903 and
    // later grant it) every character has its place; only half of a surrogate pair has none. Elsewhere a
    // character the code page lacks becomes its default character.
    const bool bUtf8 = ::GetACP() == CP_UTF8;
    DWORD dwFlags = bUtf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL bLost = FALSE;
    int cch = WideCharToMultiByte(CP_ACP, dwFlags, pwch, nLength, NULL, 0, NULL, bUtf8 ? NULL : &bLost);
    if (cch <= 0 && bUtf8)
    {
        bLost = TRUE;
        dwFlags = 0;
        cch = WideCharToMultiByte(CP_ACP, dwFlags, pwch, nLength, NULL, 0, NULL, NULL);
    }
    if (cch <= 0)
        return FALSE;
    Reserve(cch);
    WideCharToMultiByte(CP_ACP, dwFlags, pwch, nLength, m_pszData, cch, NULL, NULL);
    m_pszData[cch] = '\0';
    // An embedded NUL in the wide text ends the 8-bit text too.
    m_nLength = (int)strlen(m_pszData);
    return !bLost;
}

void CString::Reserve(int nCapacity)
{
    if (nCapacity <= m_nCapacity)
        return;
    if (m_nCapacity == 0)
    {
        char* pNew = (char*)CheckedRealloc(NULL, (size_t)nCapacity + 1);
        memcpy(pNew, m_pszData, (size_t)m_nLength + 1);
        m_pszData = pNew;
    }
    else
    {
        int nGrown = m_nCapacity + m_nCapacity / 2;
        if (nCapacity < nGrown)
            nCapacity = nGrown;
        m_pszData = (char*)CheckedRealloc(m_pszData, (size_t)nCapacity + 1);
    }
    m_nCapacity = nCapacity;
}

CWideText::CWideText(const char* pch, int cch)
{
    int cwch = cch > 0 ? MultiByteToWideChar(CP_ACP, 0, pch, cch, NULL, 0) : 0;
    if (cwch < 0)
        cwch = 0;
    m_pwsz = (wchar_t*)CheckedRealloc(NULL, ((size_t)cwch + 1) * sizeof(wchar_t));
    if (cwch > 0)
        MultiByteToWideChar(CP_ACP, 0, pch, cch, m_pwsz, cwch);
    m_pwsz[cwch] = L'\0';
}

CWideText::~CWideText()
{
    free(m_pwsz);
}
