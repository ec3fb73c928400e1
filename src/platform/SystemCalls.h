// The system calls behind the registry, shared-memory, resource, code-page, window-station, session and
// file code, gathered in one table whose entries default to the real Win32 functions. Code calls them as
// sys.RegOpenKeyExA(...); a test swaps one entry to make that call fail, or the system look otherwise, where
// the real one cannot be made to (access denied, a full disk, an unloadable resource, a Japanese system).
#pragma once

#include <windows.h>

struct SystemCalls
{
    // Registry
    decltype(&::RegOpenKeyExA) RegOpenKeyExA;
    decltype(&::RegQueryValueExW) RegQueryValueExW;
    decltype(&::RegCreateKeyA) RegCreateKeyA;
    decltype(&::RegSetValueExA) RegSetValueExA;
    decltype(&::RegCloseKey) RegCloseKey;

    // Named shared memory
    decltype(&::OpenFileMappingA) OpenFileMappingA;
    decltype(&::MapViewOfFile) MapViewOfFile;
    decltype(&::UnmapViewOfFile) UnmapViewOfFile;
    decltype(&::CloseHandle) CloseHandle;

    // Resources of the running module
    decltype(&::FindResourceA) FindResourceA;
    decltype(&::SizeofResource) SizeofResource;
    decltype(&::LoadResource) LoadResource;
    decltype(&::LockResource) LockResource;
    decltype(&::LoadStringA) LoadStringA;

    // The code page's double-byte characters
    decltype(&::IsDBCSLeadByte) IsDBCSLeadByte;

    // Window station and session
    decltype(&::GetProcessWindowStation) GetProcessWindowStation;
    decltype(&::GetUserObjectInformationA) GetUserObjectInformationA;
    decltype(&::ProcessIdToSessionId) ProcessIdToSessionId;

    // The running account, and what a run with an administrator's rights asks of the system. The two
    // mitigation-policy calls are looked up when first made: older systems lack them (ERROR_PROC_NOT_FOUND).
    decltype(&::GetTokenInformation) GetTokenInformation;
    BOOL(WINAPI* SetProcessMitigationPolicy)(PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);
    BOOL(WINAPI* GetProcessMitigationPolicy)(HANDLE, PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);

    // Files
    decltype(&::CreateFileA) CreateFileA;
    decltype(&::ReadFile) ReadFile;
    decltype(&::WriteFile) WriteFile;
    decltype(&::FlushFileBuffers) FlushFileBuffers;
    decltype(&::GetFileInformationByHandle) GetFileInformationByHandle;
    decltype(&::CreateDirectoryW) CreateDirectoryW;

    // Files replaced in one step: long paths, links, moves by handle, what the new file keeps, waits
    // between tries
    decltype(&::CreateFileW) CreateFileW;
    decltype(&::GetFinalPathNameByHandleW) GetFinalPathNameByHandleW;
    decltype(&::GetFileInformationByHandleEx) GetFileInformationByHandleEx;
    decltype(&::SetFileInformationByHandle) SetFileInformationByHandle;
    decltype(&::MoveFileExW) MoveFileExW;
    decltype(&::SetEndOfFile) SetEndOfFile;
    decltype(&::GetKernelObjectSecurity) GetKernelObjectSecurity;
    decltype(&::SetKernelObjectSecurity) SetKernelObjectSecurity;
    decltype(&::Sleep) Sleep;

    // The way to a file: what a name is (a junction or a link shows its reparse point), where a link leads,
    // and the names a file has. The last is the system's own call (kernel32 has no form that Wine carries),
    // looked up in ntdll when first made.
    decltype(&::GetFileAttributesW) GetFileAttributesW;
    decltype(&::DeviceIoControl) DeviceIoControl;
    LONG(WINAPI* NtQueryInformationFile)(HANDLE, PVOID pIoStatus, PVOID, ULONG, ULONG infoClass);
};

// The table in use, and the real functions it starts as.
extern SystemCalls sys;
extern const SystemCalls kRealSystemCalls;
