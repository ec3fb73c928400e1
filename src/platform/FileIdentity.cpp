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
const SECURITY_DESCRIPTOR_CONTROL kDaclControl = SE_DACL_PRESENT | SE_DACL_PROTECTED;

BOOL GiveAttributesAndCreationTime(HANDLE hOld, HANDLE hNew)
{
    FILE_BASIC_INFO old, current;
    if (!sys.GetFileInformationByHandleEx(hOld, FileBasicInfo, &old, sizeof old) ||
        !sys.GetFileInformationByHandleEx(hNew, FileBasicInfo, &current, sizeof current))
        return FALSE;
    // An encrypted file replaced by a plain one would open its contents to whoever may read the disk.
    if ((old.FileAttributes & FILE_ATTRIBUTE_ENCRYPTED) &&
        !(current.FileAttributes & FILE_ATTRIBUTE_ENCRYPTED))
        return FALSE;
    FILE_BASIC_INFO basic = {};
    basic.CreationTime = old.CreationTime;
    basic.FileAttributes = (old.FileAttributes & kKeptAttributes) | FILE_ATTRIBUTE_ARCHIVE;
    return sys.SetFileInformationByHandle(hNew, FileBasicInfo, &basic, sizeof basic);
}

// Streams beside the file's contents (base.mdb:name) would not follow it to a new file.
bool HasNamedStreams(HANDLE hFile)
{
    LONGLONG buffer[512];
    if (!sys.GetFileInformationByHandleEx(hFile, FileStreamInfo, buffer, sizeof buffer))
        return ::GetLastError() == ERROR_MORE_DATA; // more than fit; a file system without streams fails
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

// The owner, the primary group and the DACL of an open file, self-relative; NULL when they cannot be read.
PSECURITY_DESCRIPTOR SecurityOf(HANDLE hFile)
{
    const SECURITY_INFORMATION info = kOwnerAndGroup | DACL_SECURITY_INFORMATION;
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

bool SameOwner(PSECURITY_DESCRIPTOR p1, PSECURITY_DESCRIPTOR p2)
{
    PSID pOwner1 = NULL, pOwner2 = NULL;
    BOOL bDefaulted;
    return ::GetSecurityDescriptorOwner(p1, &pOwner1, &bDefaulted) &&
           ::GetSecurityDescriptorOwner(p2, &pOwner2, &bDefaulted) && pOwner1 != NULL && pOwner2 != NULL &&
           ::EqualSid(pOwner1, pOwner2);
}

// The same entries in the same order, with the same flags (inherited or not), and the same protection.
bool SameDacl(PSECURITY_DESCRIPTOR p1, PSECURITY_DESCRIPTOR p2)
{
    SECURITY_DESCRIPTOR_CONTROL control1 = 0, control2 = 0;
    DWORD dwRevision;
    PACL pDacl1 = NULL, pDacl2 = NULL;
    BOOL bPresent, bDefaulted;
    if (!::GetSecurityDescriptorControl(p1, &control1, &dwRevision) ||
        !::GetSecurityDescriptorControl(p2, &control2, &dwRevision) ||
        (control1 & kDaclControl) != (control2 & kDaclControl) ||
        !::GetSecurityDescriptorDacl(p1, &bPresent, &pDacl1, &bDefaulted) ||
        !::GetSecurityDescriptorDacl(p2, &bPresent, &pDacl2, &bDefaulted))
        return false;
    if (pDacl1 == NULL || pDacl2 == NULL)
        return pDacl1 == pDacl2;
    return pDacl1->AclSize == pDacl2->AclSize && memcmp(pDacl1, pDacl2, pDacl1->AclSize) == 0;
}

// Administrators and the system account may make anyone a file's owner, through a privilege their
// accounts hold but do not have switched on.
bool EnableRestorePrivilege()
{
    HANDLE hToken;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &hToken))
        return false;
    TOKEN_PRIVILEGES privileges = {1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
    bool bEnabled = ::LookupPrivilegeValueW(NULL, L"SeRestorePrivilege", &privileges.Privileges[0].Luid) &&
                    ::AdjustTokenPrivileges(hToken, FALSE, &privileges, 0, NULL, NULL) &&
                    ::GetLastError() == ERROR_SUCCESS;
    ::CloseHandle(hToken);
    return bEnabled;
}

// Written as the old file has them, exactly: the low-level call sets what it is given, whereas the
// higher-level SetSecurityInfo works the inherited entries out anew from the folder and the new owner.
BOOL GiveSecurity(HANDLE hOld, HANDLE hNew, BOOL bMayWriteSecurity)
{
    PSECURITY_DESCRIPTOR pOld = SecurityOf(hOld);
    PSECURITY_DESCRIPTOR pNew = SecurityOf(hNew);
    bool bSameOwner = pOld != NULL && pNew != NULL && SameOwner(pOld, pNew);
    BOOL bSame = bSameOwner && SameDacl(pOld, pNew);
    if (!bSame && pOld != NULL && bMayWriteSecurity)
    {
        SECURITY_INFORMATION info = DACL_SECURITY_INFORMATION | (bSameOwner ? 0 : kOwnerAndGroup);
        bSame = sys.SetKernelObjectSecurity(hNew, info, pOld);
        if (!bSame && !bSameOwner && ::GetLastError() == ERROR_INVALID_OWNER && EnableRestorePrivilege())
            bSame = sys.SetKernelObjectSecurity(hNew, info, pOld);
    }
    free(pOld);
    free(pNew);
    return bSame;
}
} // namespace

BOOL GiveIdentity(HANDLE hOld, HANDLE hNew, BOOL bMayWriteSecurity)
{
    if (HasNamedStreams(hOld) || !GiveAttributesAndCreationTime(hOld, hNew))
        return FALSE;
    // Where the file system keeps no permissions (FAT, exFAT), there are none to give.
    DWORD dwVolumeFlags = 0;
    if (::GetVolumeInformationByHandleW(hOld, NULL, 0, NULL, NULL, &dwVolumeFlags, NULL, 0) &&
        !(dwVolumeFlags & FILE_PERSISTENT_ACLS))
        return TRUE;
    return GiveSecurity(hOld, hNew, bMayWriteSecurity);
}
