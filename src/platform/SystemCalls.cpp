#include "SystemCalls.h"
#include "LibraryFunction.h"

namespace
{
BOOL WINAPI LookedUpSetProcessMitigationPolicy(PROCESS_MITIGATION_POLICY policy, PVOID pBuffer,
                                               SIZE_T cbBuffer)
{
    typedef BOOL(WINAPI * PFN)(PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);
    auto pfn = AfxLibraryFunction<PFN>("kernel32.dll", "SetProcessMitigationPolicy");
    if (pfn == NULL)
    {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return FALSE;
    }
    return pfn(policy, pBuffer, cbBuffer);
}

BOOL WINAPI LookedUpGetProcessMitigationPolicy(HANDLE hProcess, PROCESS_MITIGATION_POLICY policy,
                                               PVOID pBuffer, SIZE_T cbBuffer)
{
    typedef BOOL(WINAPI * PFN)(HANDLE, PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);
    auto pfn = AfxLibraryFunction<PFN>("kernel32.dll", "GetProcessMitigationPolicy");
    if (pfn == NULL)
    {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return FALSE;
    }
    return pfn(hProcess, policy, pBuffer, cbBuffer);
}

LONG WINAPI LookedUpNtQueryInformationFile(HANDLE hFile, PVOID pIoStatus, PVOID pInfo, ULONG cbInfo,
                                           ULONG infoClass)
{
    typedef LONG(WINAPI * PFN)(HANDLE, PVOID, PVOID, ULONG, ULONG);
    static PFN s_pfn = AfxLibraryFunction<PFN>("ntdll.dll", "NtQueryInformationFile");
    return s_pfn != NULL ? s_pfn(hFile, pIoStatus, pInfo, cbInfo, infoClass)
                         : (LONG)0xC0000002; // not implemented
}
} // namespace

const SystemCalls kRealSystemCalls = {
    .RegOpenKeyExA = ::RegOpenKeyExA,
    .RegQueryValueExW = ::RegQueryValueExW,
    .RegCreateKeyA = ::RegCreateKeyA,
    .RegSetValueExA = ::RegSetValueExA,
    .RegCloseKey = ::RegCloseKey,

    .OpenFileMappingA = ::OpenFileMappingA,
    .MapViewOfFile = ::MapViewOfFile,
    .UnmapViewOfFile = ::UnmapViewOfFile,
    .CloseHandle = ::CloseHandle,

    .FindResourceA = ::FindResourceA,
    .SizeofResource = ::SizeofResource,
    .LoadResource = ::LoadResource,
    .LockResource = ::LockResource,
    .LoadStringA = ::LoadStringA,

    .IsDBCSLeadByte = ::IsDBCSLeadByte,

    .GetProcessWindowStation = ::GetProcessWindowStation,
    .GetUserObjectInformationA = ::GetUserObjectInformationA,
    .ProcessIdToSessionId = ::ProcessIdToSessionId,

    .GetTokenInformation = ::GetTokenInformation,
    .SetProcessMitigationPolicy = LookedUpSetProcessMitigationPolicy,
    .GetProcessMitigationPolicy = LookedUpGetProcessMitigationPolicy,

    .CreateFileA = ::CreateFileA,
    .ReadFile = ::ReadFile,
    .WriteFile = ::WriteFile,
    .FlushFileBuffers = ::FlushFileBuffers,
    .GetFileInformationByHandle = ::GetFileInformationByHandle,
    .CreateDirectoryW = ::CreateDirectoryW,

    .CreateFileW = ::CreateFileW,
    .GetFinalPathNameByHandleW = ::GetFinalPathNameByHandleW,
    .GetFileInformationByHandleEx = ::GetFileInformationByHandleEx,
    .SetFileInformationByHandle = ::SetFileInformationByHandle,
    .MoveFileExW = ::MoveFileExW,
    .SetEndOfFile = ::SetEndOfFile,
    .GetKernelObjectSecurity = ::GetKernelObjectSecurity,
    .SetKernelObjectSecurity = ::SetKernelObjectSecurity,
    .Sleep = ::Sleep,

    .GetFileAttributesW = ::GetFileAttributesW,
    .DeviceIoControl = ::DeviceIoControl,
    .NtQueryInformationFile = LookedUpNtQueryInformationFile,
};

SystemCalls sys = kRealSystemCalls;
