#include "RunningAccount.h"
#include "SystemCalls.h"

#include <sddl.h>
#include <stdlib.h>

namespace
{
// One piece of the process token's information, or NULL; free with free().
void* TokenInformation(TOKEN_INFORMATION_CLASS infoClass)
{
    HANDLE hToken;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &hToken))
        return NULL;
    DWORD cbNeeded = 0;
    sys.GetTokenInformation(hToken, infoClass, NULL, 0, &cbNeeded);
    void* pInfo = cbNeeded != 0 ? malloc(cbNeeded) : NULL;
    if (pInfo != NULL && !sys.GetTokenInformation(hToken, infoClass, pInfo, cbNeeded, &cbNeeded))
    {
        free(pInfo);
        pInfo = NULL;
    }
    ::CloseHandle(hToken);
    return pInfo;
}

// An object's owner.
class OwnerDescriptor
{
public:
    bool Read(HANDLE hObject)
    {
        DWORD cbNeeded;
        BOOL bDefaulted;
        m_pOwner = NULL;
        return sys.GetKernelObjectSecurity(hObject, OWNER_SECURITY_INFORMATION, m_abDescriptor,
                                           sizeof m_abDescriptor, &cbNeeded) &&
               ::GetSecurityDescriptorOwner(m_abDescriptor, &m_pOwner, &bDefaulted) && m_pOwner != NULL;
    }
    PSID Sid() const { return m_pOwner; }

private:
    BYTE m_abDescriptor[SECURITY_MAX_SID_SIZE + 64];
    PSID m_pOwner = NULL;
};

// The running account, or the owner it gives what it makes (the Administrators, for an elevated
// administrator).
bool IsRunningAccount(PSID pSid)
{
    TOKEN_USER* pUser = (TOKEN_USER*)TokenInformation(TokenUser);
    TOKEN_OWNER* pDefaultOwner = (TOKEN_OWNER*)TokenInformation(TokenOwner);
    bool bOurs = (pUser != NULL && ::EqualSid(pSid, pUser->User.Sid)) ||
                 (pDefaultOwner != NULL && ::EqualSid(pSid, pDefaultOwner->Owner));
    free(pUser);
    free(pDefaultOwner);
    return bOurs;
}

// The Administrators, the system account, TrustedInstaller (which owns the system's own files), or us.
bool IsAdministratorOrUs(PSID pSid)
{
    static const wchar_t kTrustedInstaller[] =
        L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
    PSID pInstaller = NULL;
    bool bInstaller =
        ::ConvertStringSidToSidW(kTrustedInstaller, &pInstaller) && ::EqualSid(pSid, pInstaller);
    ::LocalFree(pInstaller);
    return bInstaller || ::IsWellKnownSid(pSid, WinBuiltinAdministratorsSid) ||
           ::IsWellKnownSid(pSid, WinLocalSystemSid) || IsRunningAccount(pSid);
}

// DOMAIN\name, or the SID where the account is not known here.
CString AccountName(PSID pSid)
{
    wchar_t szName[256], szDomain[256];
    DWORD cchName = ARRAYSIZE(szName), cchDomain = ARRAYSIZE(szDomain);
    SID_NAME_USE use;
    CString strName;
    if (::LookupAccountSidW(NULL, pSid, szName, &cchName, szDomain, &cchDomain, &use))
    {
        CString strDomain;
        strDomain.AssignWide(szDomain, -1);
        strName.AssignWide(szName, -1);
        return strDomain.IsEmpty() ? strName : strDomain + "\\" + strName;
    }
    char* pszSid = NULL;
    if (::ConvertSidToStringSidA(pSid, &pszSid))
    {
        strName = pszSid;
        ::LocalFree(pszSid);
    }
    return strName;
}

bool IsSystemAccount(PSID pSid)
{
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    BYTE abSystem[SECURITY_MAX_SID_SIZE];
    PSID pSystem = abSystem;
    ::InitializeSid(pSystem, &nt, 1);
    *::GetSidSubAuthority(pSystem, 0) = SECURITY_LOCAL_SYSTEM_RID;
    return ::EqualSid(pSid, pSystem) != FALSE;
}
} // namespace

BOOL AfxIsElevatedOrSystem()
{
    TOKEN_ELEVATION* pElevation = (TOKEN_ELEVATION*)TokenInformation(TokenElevation);
    BOOL bElevated = pElevation != NULL && pElevation->TokenIsElevated;
    free(pElevation);
    if (bElevated)
        return TRUE;
    TOKEN_USER* pUser = (TOKEN_USER*)TokenInformation(TokenUser);
    BOOL bSystem = pUser != NULL && IsSystemAccount(pUser->User.Sid);
    free(pUser);
    return bSystem;
}

BOOL AfxIsOwnedByRunningAccount(HANDLE hObject)
{
    OwnerDescriptor owner;
    return owner.Read(hObject) && IsRunningAccount(owner.Sid());
}

BOOL AfxIsMadeByAdministrators(HANDLE hObject, CString* pstrOwner)
{
    OwnerDescriptor owner;
    const bool bKnown = owner.Read(hObject);
    if (pstrOwner != NULL)
        *pstrOwner = bKnown ? AccountName(owner.Sid()) : CString("an owner that cannot be read");
    return bKnown && IsAdministratorOrUs(owner.Sid());
}

BOOL AfxOnlyAdministratorsMay(HANDLE hObject, ACCESS_MASK rights)
{
    if (!AfxIsMadeByAdministrators(hObject))
        return FALSE;
    DWORD cbNeeded = 0;
    sys.GetKernelObjectSecurity(hObject, DACL_SECURITY_INFORMATION, NULL, 0, &cbNeeded);
    PSECURITY_DESCRIPTOR pDescriptor = cbNeeded != 0 ? malloc(cbNeeded) : NULL;
    PACL pDacl = NULL;
    BOOL bPresent = FALSE, bDefaulted;
    bool bOnly =
        pDescriptor != NULL &&
        sys.GetKernelObjectSecurity(hObject, DACL_SECURITY_INFORMATION, pDescriptor, cbNeeded, &cbNeeded) &&
        ::GetSecurityDescriptorDacl(pDescriptor, &bPresent, &pDacl, &bDefaulted) && bPresent &&
        pDacl != NULL; // no DACL at all lets everyone do anything
    // Whoever may give himself the rights has them.
    rights |= WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
    for (WORD i = 0; bOnly && i < pDacl->AceCount; i++)
    {
        ACE_HEADER* pAce;
        if (!::GetAce(pDacl, i, (void**)&pAce))
            bOnly = false;
        else if (pAce->AceType == ACCESS_DENIED_ACE_TYPE ||
                 pAce->AceType == ACCESS_DENIED_CALLBACK_ACE_TYPE || (pAce->AceFlags & INHERIT_ONLY_ACE))
            continue;
        else if (pAce->AceType != ACCESS_ALLOWED_ACE_TYPE &&
                 pAce->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE)
            bOnly = false; // an entry of a kind files do not have: not known to grant nothing
        else
        {
            ACCESS_ALLOWED_ACE* pAllowed = (ACCESS_ALLOWED_ACE*)pAce;
            bOnly = !(pAllowed->Mask & rights) || IsAdministratorOrUs(&pAllowed->SidStart);
        }
    }
    free(pDescriptor);
    return bOnly;
}

SECURITY_ATTRIBUTES* AfxOwnerOnlySecurity()
{
    // Made once, for the life of the process. Protected, so that nothing the folder grants is added.
    static SECURITY_ATTRIBUTES s_attributes = {sizeof(SECURITY_ATTRIBUTES), NULL, FALSE};
    if (s_attributes.lpSecurityDescriptor != NULL)
        return &s_attributes;
    TOKEN_USER* pUser = (TOKEN_USER*)TokenInformation(TokenUser);
    wchar_t* pszUser = NULL;
    if (pUser != NULL && ::ConvertSidToStringSidW(pUser->User.Sid, &pszUser))
    {
        wchar_t szDescriptor[256];
        wsprintfW(szDescriptor, L"D:P(A;;FA;;;%s)(A;;FA;;;SY)(A;;FA;;;BA)", pszUser);
        ::ConvertStringSecurityDescriptorToSecurityDescriptorW(szDescriptor, SDDL_REVISION_1,
                                                               &s_attributes.lpSecurityDescriptor, NULL);
        ::LocalFree(pszUser);
    }
    free(pUser);
    return s_attributes.lpSecurityDescriptor != NULL ? &s_attributes : NULL;
}
