#include "FileIdentity.h"
#include "SystemCalls.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

namespace
{
// Attributes a new file takes from the one it replaces. Archive is always set, as any write sets it;
// read-only cannot be there (the target opened for writing), offline belongs to the old file's storage.
const DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                              FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_TEMPORARY;

const SECURITY_INFORMATION kOwnerAndGroup = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION;
const SECURITY_DESCRIPTOR_CONTROL kDaclControl = SE_DACL_PRESENT | SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED;

BOOL GiveAttributesAndCreationTime(HANDLE hOld, HANDLE hNew)
{
    FILE_BASIC_INFO old, current;
    if (!sys.GetFileInformationByHandleEx(hOld, FileBasicInfo, &old, sizeof old) ||
        !sys.GetFileInformationByHandleEx(hNew, FileBasicInfo, &current, sizeof current))
        return FALSE;
    // An encrypted file replaced by a plain one would open its contents to whoever may read the disk; a
    // new file that its folder encrypts is readable by the installing account alone, where the old one
    // may have had other readers.
    if ((old.FileAttributes | current.FileAttributes) & FILE_ATTRIBUTE_ENCRYPTED)
        return FALSE;
    FILE_BASIC_INFO basic = {};
    basic.CreationTime = old.CreationTime;
    basic.FileAttributes = (old.FileAttributes & kKeptAttributes) | FILE_ATTRIBUTE_ARCHIVE;
    return sys.SetFileInformationByHandle(hNew, FileBasicInfo, &basic, sizeof basic);
}

// Streams beside the file's contents (base.mdb:name) would not follow it to a new file. Where the list
// cannot be had on a file system that keeps streams, there may be some.
bool MayHaveNamedStreams(HANDLE hFile, DWORD dwVolumeFlags)
{
    LONGLONG buffer[512];
    if (!sys.GetFileInformationByHandleEx(hFile, FileStreamInfo, buffer, sizeof buffer))
        return ::GetLastError() != ERROR_HANDLE_EOF && (dwVolumeFlags & FILE_NAMED_STREAMS);
    const BYTE* pNext = (const BYTE*)buffer;
    for (;;)
    {
        const FILE_STREAM_INFO* pStream = (const FILE_STREAM_INFO*)pNext;
        const wchar_t kContents[] = L"::$DATA";
        if (pStream->StreamNameLength != sizeof kContents - sizeof(wchar_t) ||
            memcmp(pStream->StreamName, kContents, pStream->StreamNameLength) != 0)
            return true;
        if (pStream->NextEntryOffset == 0)
            return false;
        pNext += pStream->NextEntryOffset;
    }
}

// The integrity label and the entries of central access policies (the policy's id, the resource's
// attributes): in the SACL, but readable with READ_CONTROL, unlike the audit entries.
const SECURITY_INFORMATION kLabelAndPolicies =
    LABEL_SECURITY_INFORMATION | SCOPE_SECURITY_INFORMATION | ATTRIBUTE_SECURITY_INFORMATION;

// Parts of an open file's security descriptor, self-relative; NULL when they cannot be read.
PSECURITY_DESCRIPTOR SecurityOf(HANDLE hFile, SECURITY_INFORMATION info)
{
    DWORD cbNeeded = 0;
    sys.GetKernelObjectSecurity(hFile, info, NULL, 0, &cbNeeded);
    if (cbNeeded == 0)
        return NULL;
    PSECURITY_DESCRIPTOR pDescriptor = malloc(cbNeeded);
    if (pDescriptor == NULL)
        ExitProcess(STATUS_NO_MEMORY);
    if (!sys.GetKernelObjectSecurity(hFile, info, pDescriptor, cbNeeded, &cbNeeded))
    {
        free(pDescriptor);
        return NULL;
    }
    return pDescriptor;
}

bool SameOwnerAndGroup(PSECURITY_DESCRIPTOR p1, PSECURITY_DESCRIPTOR p2)
{
    PSID pOwner1 = NULL, pOwner2 = NULL, pGroup1 = NULL, pGroup2 = NULL;
    BOOL bDefaulted;
    return ::GetSecurityDescriptorOwner(p1, &pOwner1, &bDefaulted) &&
           ::GetSecurityDescriptorOwner(p2, &pOwner2, &bDefaulted) && pOwner1 != NULL && pOwner2 != NULL &&
           ::EqualSid(pOwner1, pOwner2) && ::GetSecurityDescriptorGroup(p1, &pGroup1, &bDefaulted) &&
           ::GetSecurityDescriptorGroup(p2, &pGroup2, &bDefaulted) &&
           (pGroup1 == NULL ? pGroup2 == NULL : pGroup2 != NULL && ::EqualSid(pGroup1, pGroup2));
}

bool SameAcl(PACL pAcl1, PACL pAcl2)
{
    if (pAcl1 == NULL || pAcl2 == NULL)
        return pAcl1 == pAcl2;
    return pAcl1->AclSize == pAcl2->AclSize && memcmp(pAcl1, pAcl2, pAcl1->AclSize) == 0;
}

// The same entries in the same order, with the same flags (inherited or not), and the same protection.
bool SameDacl(PSECURITY_DESCRIPTOR p1, PSECURITY_DESCRIPTOR p2)
{
    SECURITY_DESCRIPTOR_CONTROL control1 = 0, control2 = 0;
    DWORD dwRevision;
    PACL pDacl1 = NULL, pDacl2 = NULL;
    BOOL bPresent, bDefaulted;
    return ::GetSecurityDescriptorControl(p1, &control1, &dwRevision) &&
           ::GetSecurityDescriptorControl(p2, &control2, &dwRevision) &&
           (control1 & kDaclControl) == (control2 & kDaclControl) &&
           ::GetSecurityDescriptorDacl(p1, &bPresent, &pDacl1, &bDefaulted) &&
           ::GetSecurityDescriptorDacl(p2, &bPresent, &pDacl2, &bDefaulted) && SameAcl(pDacl1, pDacl2);
}

// The entries of a descriptor read with kLabelAndPolicies; an empty SACL and none at all alike.
PACL LabelAndPolicyEntries(PSECURITY_DESCRIPTOR pDescriptor)
{
    PACL pSacl = NULL;
    BOOL bPresent = FALSE, bDefaulted;
    if (!::GetSecurityDescriptorSacl(pDescriptor, &bPresent, &pSacl, &bDefaulted) || !bPresent ||
        (pSacl != NULL && pSacl->AceCount == 0))
        return NULL;
    return pSacl;
}

// The next entry of a list read with kLabelAndPolicies, from *pi on, that is not the integrity label; NULL
// after the last.
const ACE_HEADER* NextPolicyEntry(PACL pAcl, DWORD* pi)
{
    void* pAce;
    while (pAcl != NULL && *pi < pAcl->AceCount)
        if (::GetAce(pAcl, (*pi)++, &pAce) && ((ACE_HEADER*)pAce)->AceType != SYSTEM_MANDATORY_LABEL_ACE_TYPE)
            return (const ACE_HEADER*)pAce;
    return NULL;
}

// Whether two such lists hold the same entries besides the label, in the same order.
bool SamePolicyEntries(PACL pAcl1, PACL pAcl2)
{
    DWORD i1 = 0, i2 = 0;
    for (;;)
    {
        const ACE_HEADER* pAce1 = NextPolicyEntry(pAcl1, &i1);
        const ACE_HEADER* pAce2 = NextPolicyEntry(pAcl2, &i2);
        if (pAce1 == NULL || pAce2 == NULL)
            return pAce1 == pAce2;
        if (pAce1->AceSize != pAce2->AceSize || memcmp(pAce1, pAce2, pAce1->AceSize) != 0)
            return false;
    }
}

// Administrators and the system account may make anyone a file's owner, through a privilege their
// accounts hold but do not have switched on. It is switched on for this one call only.
BOOL SetSecurityWithRestorePrivilege(HANDLE hFile, SECURITY_INFORMATION info,
                                     PSECURITY_DESCRIPTOR pDescriptor)
{
    HANDLE hToken;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &hToken))
        return FALSE;
    TOKEN_PRIVILEGES privileges = {1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}}, previous = {};
    DWORD cbPrevious = sizeof previous;
    BOOL bSet = FALSE;
    if (::LookupPrivilegeValueW(NULL, L"SeRestorePrivilege", &privileges.Privileges[0].Luid) &&
        ::AdjustTokenPrivileges(hToken, FALSE, &privileges, sizeof previous, &previous, &cbPrevious))
    {
        if (::GetLastError() == ERROR_SUCCESS)
            bSet = sys.SetKernelObjectSecurity(hFile, info, pDescriptor);
        DWORD dwError = ::GetLastError();
        ::AdjustTokenPrivileges(hToken, FALSE, &previous, 0, NULL, NULL);
        ::SetLastError(dwError);
    }
    ::CloseHandle(hToken);
    return bSet;
}

// Written as the old file has them, exactly: the low-level call sets what it is given, whereas the
// higher-level SetSecurityInfo works the inherited entries out anew from the folder and the new owner.
// What the file system then keeps is read back, since some (a server mapping permissions onto its own)
// keep less than they are given.
BOOL GiveSecurity(HANDLE hOld, HANDLE hNew, BOOL bMayWriteSecurity)
{
    const SECURITY_INFORMATION kOwnerGroupAndDacl = kOwnerAndGroup | DACL_SECURITY_INFORMATION;
    PSECURITY_DESCRIPTOR pOld = SecurityOf(hOld, kOwnerGroupAndDacl);
    PSECURITY_DESCRIPTOR pNew = SecurityOf(hNew, kOwnerGroupAndDacl);
    bool bSameOwner = pOld != NULL && pNew != NULL && SameOwnerAndGroup(pOld, pNew);
    BOOL bSame = bSameOwner && SameDacl(pOld, pNew);
    if (!bSame && pOld != NULL && bMayWriteSecurity)
    {
        SECURITY_INFORMATION info = DACL_SECURITY_INFORMATION | (bSameOwner ? 0 : kOwnerAndGroup);
        BOOL bSet = sys.SetKernelObjectSecurity(hNew, info, pOld);
        if (!bSet && !bSameOwner && ::GetLastError() == ERROR_INVALID_OWNER)
            bSet = SetSecurityWithRestorePrivilege(hNew, info, pOld);
        free(pNew);
        pNew = bSet ? SecurityOf(hNew, kOwnerGroupAndDacl) : NULL;
        bSame = pNew != NULL && SameOwnerAndGroup(pOld, pNew) && SameDacl(pOld, pNew);
    }
    free(pOld);
    free(pNew);
    return bSame;
}

// The integrity label and the access-policy entries, given as the permissions are and read back; a file
// with some that the new one cannot take is written in place. Systems before Windows 8 know only the label.
BOOL GiveLabelAndPolicies(HANDLE hOld, HANDLE hNew, BOOL bMayWriteSecurity)
{
    SECURITY_INFORMATION info = kLabelAndPolicies;
    PSECURITY_DESCRIPTOR pOld = SecurityOf(hOld, info);
    if (pOld == NULL && ::GetLastError() == ERROR_INVALID_PARAMETER)
        pOld = SecurityOf(hOld, info = LABEL_SECURITY_INFORMATION);
    PSECURITY_DESCRIPTOR pNew = pOld != NULL ? SecurityOf(hNew, info) : NULL;
    BOOL bSame = pNew != NULL && SameAcl(LabelAndPolicyEntries(pOld), LabelAndPolicyEntries(pNew));
    if (!bSame && pNew != NULL && bMayWriteSecurity)
    {
        // Setting the policies' entries takes ACCESS_SYSTEM_SECURITY, which the new file is not opened with:
        // where the label alone differs, it is set alone, as WRITE_OWNER allows.
        PSECURITY_DESCRIPTOR pLabel =
            info != LABEL_SECURITY_INFORMATION &&
                    SamePolicyEntries(LabelAndPolicyEntries(pOld), LabelAndPolicyEntries(pNew))
                ? SecurityOf(hOld, LABEL_SECURITY_INFORMATION)
                : NULL;
        BOOL bSet = pLabel != NULL ? sys.SetKernelObjectSecurity(hNew, LABEL_SECURITY_INFORMATION, pLabel)
                                   : sys.SetKernelObjectSecurity(hNew, info, pOld);
        free(pLabel);
        free(pNew);
        pNew = bSet ? SecurityOf(hNew, info) : NULL;
        bSame = pNew != NULL && SameAcl(LabelAndPolicyEntries(pOld), LabelAndPolicyEntries(pNew));
    }
    free(pOld);
    free(pNew);
    return bSame;
}
} // namespace

BOOL GiveIdentity(HANDLE hOld, HANDLE hNew, BOOL bMayWriteSecurity)
{
    // What the file system keeps; where it cannot say, it may keep everything.
    DWORD dwVolumeFlags = 0;
    if (!::GetVolumeInformationByHandleW(hOld, NULL, 0, NULL, NULL, &dwVolumeFlags, NULL, 0))
        dwVolumeFlags = FILE_PERSISTENT_ACLS | FILE_NAMED_STREAMS;
    if (MayHaveNamedStreams(hOld, dwVolumeFlags) || !GiveAttributesAndCreationTime(hOld, hNew))
        return FALSE;
    // Where the file system keeps no permissions (FAT, exFAT), there are none to give.
    return !(dwVolumeFlags & FILE_PERSISTENT_ACLS) || (GiveSecurity(hOld, hNew, bMayWriteSecurity) &&
                                                       GiveLabelAndPolicies(hOld, hNew, bMayWriteSecurity));
}
