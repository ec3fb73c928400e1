#include "SystemCalls.h"

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

    .CreateFileA = ::CreateFileA,
    .ReadFile = ::ReadFile,
    .WriteFile = ::WriteFile,
    .FlushFileBuffers = ::FlushFileBuffers,
    .DeleteFileA = ::DeleteFileA,
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
};

SystemCalls sys = kRealSystemCalls;
