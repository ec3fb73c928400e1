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

BOOL AfxIsOwnPlainFile(HANDLE hFile)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!sys.GetFileInformationByHandle(hFile, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
        info.nNumberOfLinks != 1)
        return FALSE;
    // Where the file system keeps no owners (FAT, exFAT), a file is anyone's, and no link can be planted.
    DWORD dwVolumeFlags = 0;
    if (::GetVolumeInformationByHandleW(hFile, NULL, 0, NULL, NULL, &dwVolumeFlags, NULL, 0) &&
        !(dwVolumeFlags & FILE_PERSISTENT_ACLS))
        return TRUE;

    BYTE abDescriptor[SECURITY_MAX_SID_SIZE + 64];
    DWORD cbNeeded;
    PSID pOwner = NULL;
    BOOL bDefaulted;
    if (!sys.GetKernelObjectSecurity(hFile, OWNER_SECURITY_INFORMATION, abDescriptor, sizeof abDescriptor,
                                     &cbNeeded) ||
        !::GetSecurityDescriptorOwner(abDescriptor, &pOwner, &bDefaulted) || pOwner == NULL)
        return FALSE;
    TOKEN_USER* pUser = (TOKEN_USER*)TokenInformation(TokenUser);
    TOKEN_OWNER* pDefaultOwner = (TOKEN_OWNER*)TokenInformation(TokenOwner);
    BOOL bOurs = (pUser != NULL && ::EqualSid(pOwner, pUser->User.Sid)) ||
                 (pDefaultOwner != NULL && ::EqualSid(pOwner, pDefaultOwner->Owner));
    free(pUser);
    free(pDefaultOwner);
    return bOurs;
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
