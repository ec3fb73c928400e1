#include "SystemCalls.h"

const SystemCalls kRealSystemCalls = {
    .RegOpenKeyExA = ::RegOpenKeyExA,
    .RegQueryValueExA = ::RegQueryValueExA,
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

    .GetProcessWindowStation = ::GetProcessWindowStation,
    .GetUserObjectInformationA = ::GetUserObjectInformationA,

    .CreateFileA = ::CreateFileA,
    .WriteFile = ::WriteFile,
    .FlushFileBuffers = ::FlushFileBuffers,
    .DeleteFileA = ::DeleteFileA,

    .CreateFileW = ::CreateFileW,
    .SetFileInformationByHandle = ::SetFileInformationByHandle,
    .MoveFileExW = ::MoveFileExW,
    .SetEndOfFile = ::SetEndOfFile,
    .GetSecurityInfo = ::GetSecurityInfo,
    .SetSecurityInfo = ::SetSecurityInfo,
    .Sleep = ::Sleep,
};

SystemCalls sys = kRealSystemCalls;
