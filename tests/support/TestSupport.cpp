#include "TestSupport.h"
#include "platform/RedirectionGuard.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <stdexcept>

namespace qbtest
{
namespace
{
[[noreturn]] void Fail(const std::string& what)
{
    throw std::runtime_error(what + " (error " + std::to_string(GetLastError()) + ")");
}
} // namespace

std::string BinDir()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path, n);
    return s.substr(0, s.rfind('\\'));
}

ScopedTempDir::ScopedTempDir(const char* tag)
{
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    static unsigned counter;
    for (;;)
    {
        path_ = std::string(temp) + tag + "-" + std::to_string(GetCurrentProcessId()) + "-" +
                std::to_string(++counter);
        if (CreateDirectoryA(path_.c_str(), nullptr))
            return;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            Fail("CreateDirectory " + path_);
    }
}

ScopedTempDir::~ScopedTempDir()
{
    RemoveTree(path_);
}

void RemoveTree(const std::string& path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
    {
        for (const std::string& name : ListFolder(path))
            RemoveTree(path + "\\" + name);
        RemoveDirectoryA(path.c_str());
    }
    else
    {
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path.c_str());
    }
}

bool FileExists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

BY_HANDLE_FILE_INFORMATION FileInformation(const std::string& path)
{
    HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    BY_HANDLE_FILE_INFORMATION info = {};
    GetFileInformationByHandle(file, &info);
    CloseHandle(file);
    return info;
}

Bytes ReadFileBytes(const std::string& path)
{
    // Wide, so that a \\?\ path may be longer than the 8-bit functions take.
    std::wstring wide(path.size() + 1, L'\0');
    wide.resize(MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), (int)wide.size()));
    HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        Fail("open " + path);
    Bytes bytes(GetFileSize(h, nullptr));
    DWORD read = 0;
    BOOL ok = bytes.empty() || ReadFile(h, bytes.data(), (DWORD)bytes.size(), &read, nullptr);
    CloseHandle(h);
    if (!ok || read != bytes.size())
        Fail("read " + path);
    return bytes;
}

void WriteFileBytes(const std::string& path, const Bytes& bytes)
{
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        Fail("create " + path);
    DWORD written = 0;
    BOOL ok = bytes.empty() || WriteFile(h, bytes.data(), (DWORD)bytes.size(), &written, nullptr);
    CloseHandle(h);
    if (!ok || written != bytes.size())
        Fail("write " + path);
}

std::vector<std::string> ListFolder(const std::string& folder)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA((folder + "\\*").c_str(), &data);
    if (h == INVALID_HANDLE_VALUE)
        return names;
    do
    {
        std::string name = data.cFileName;
        if (name != "." && name != "..")
            names.push_back(name);
    } while (FindNextFileA(h, &data));
    FindClose(h);
    return names;
}

std::string VolumeRefusal(const std::string& name)
{
    const std::string marker = BinDir() + "\\..\\wineprefix-" + name + ".refused";
    if (!FileExists(marker))
        return "no reason recorded";
    Bytes text = ReadFileBytes(marker);
    while (!text.empty() && isspace(text.back()))
        text.pop_back();
    return std::string(text.begin(), text.end());
}

std::vector<std::string> TemporaryFilesOf(const std::string& target)
{
    // The documented shape, <name>.<16 hex digits>.installing, and not the installer's own pattern: names
    // and pattern drifting apart together would otherwise make every "none left" check find nothing.
    const std::string folder = target.substr(0, target.rfind('\\'));
    const std::string name = target.substr(folder.size() + 1), suffix = ".installing";
    const size_t digits = name.size() + 1;
    std::vector<std::string> names;
    for (const std::string& found : ListFolder(folder))
        if (found.size() == digits + 16 + suffix.size() &&
            _strnicmp(found.c_str(), name.c_str(), name.size()) == 0 && found[name.size()] == '.' &&
            _stricmp(found.c_str() + digits + 16, suffix.c_str()) == 0 &&
            std::all_of(found.begin() + digits, found.begin() + digits + 16,
                        [](char ch) { return isxdigit((unsigned char)ch) != 0; }))
            names.push_back(found);
    return names;
}

namespace
{
// Starts a Unix program with options, then the Unix names of the given Windows paths. Wine runs a Unix
// program it is asked to start, in a 32-bit test program as in a 64-bit one, but gives no handle to wait
// on: the caller waits for what the program does.
bool StartUnixProgram(const char* unixProgram, const std::string& options,
                      const std::vector<std::string>& paths)
{
    typedef char*(CDECL * UnixFileName)(LPCWSTR);
    typedef WCHAR*(CDECL * DosFileName)(LPCSTR);
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    auto unixName = (UnixFileName)(void*)GetProcAddress(kernel32, "wine_get_unix_file_name");
    auto dosName = (DosFileName)(void*)GetProcAddress(kernel32, "wine_get_dos_file_name");
    WCHAR* dosProgram = dosName != nullptr ? dosName(unixProgram) : nullptr;
    if (unixName == nullptr || dosProgram == nullptr)
        return false;
    char program[MAX_PATH];
    WideCharToMultiByte(CP_ACP, 0, dosProgram, -1, program, MAX_PATH, nullptr, nullptr);
    HeapFree(GetProcessHeap(), 0, dosProgram);
    std::string commandLine = Quote(program) + " " + options;
    for (const std::string& path : paths)
    {
        wchar_t wide[MAX_PATH];
        MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, MAX_PATH);
        char* name = unixName(wide);
        commandLine += " " + Quote(name ? name : "");
        HeapFree(GetProcessHeap(), 0, name);
    }
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!StartProcess([&] {
            return CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                  &si, &pi);
        }))
        return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}
} // namespace

bool MakeUnixSymlink(const std::string& link, const std::string& target)
{
    if (!StartUnixProgram("/bin/ln", "-s --", {target, link}))
        return false;
    for (int i = 0; i < 500 && !FileExists(link); i++)
        Sleep(20);
    return FileExists(link);
}

void RemoveUnixSymlink(const std::string& link)
{
    if (StartUnixProgram("/bin/rm", "-f --", {link}))
        for (int i = 0; i < 500 && FileExists(link); i++)
            Sleep(20);
}

ACCESS_MASK EveryoneAccess(const std::string& path)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        Fail("GetNamedSecurityInfo " + path);
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone;
    AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
    ACCESS_MASK granted = 0;
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; i++)
    {
        ACCESS_ALLOWED_ACE* ace;
        if (GetAce(dacl, i, (void**)&ace) && ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
            EqualSid(&ace->SidStart, everyone))
            granted |= ace->Mask;
    }
    FreeSid(everyone);
    LocalFree(descriptor);
    return granted;
}

void SetEveryoneAccess(const std::string& path, ACCESS_MASK access)
{
    PSECURITY_DESCRIPTOR descriptor;
    char sddl[64];
    snprintf(sddl, sizeof sddl, "D:P(A;;FA;;;SY)(A;;0x%lx;;;WD)", (unsigned long)access);
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor, nullptr))
        Fail("ConvertStringSecurityDescriptorToSecurityDescriptor");
    BOOL ok = SetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, descriptor);
    LocalFree(descriptor);
    if (!ok)
        Fail("SetFileSecurity " + path);
}

Bytes PatternBytes(size_t size, unsigned seed)
{
    Bytes bytes(size);
    unsigned x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; i++)
    {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = (unsigned char)x;
    }
    return bytes;
}

ChildProcess::ChildProcess(const std::string& commandLine)
{
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    std::string mutableLine = commandLine;
    if (!StartProcess([&] {
            return CreateProcessA(nullptr, mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                  &si, &info_);
        }))
        Fail("CreateProcess " + commandLine);
}

ChildProcess::~ChildProcess()
{
    if (WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT)
        Kill();
    CloseHandle(info_.hThread);
    CloseHandle(info_.hProcess);
}

bool ChildProcess::Wait(DWORD timeoutMs)
{
    return WaitForSingleObject(info_.hProcess, timeoutMs) == WAIT_OBJECT_0;
}

DWORD ChildProcess::ExitCode() const
{
    DWORD code = 0;
    GetExitCodeProcess(info_.hProcess, &code);
    return code;
}

void ChildProcess::Kill()
{
    TerminateProcess(info_.hProcess, 255);
    WaitForSingleObject(info_.hProcess, 10000);
}

RunResult Run(const std::string& commandLine, DWORD timeoutMs)
{
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE readEnd, writeEnd;
    if (!CreatePipe(&readEnd, &writeEnd, &sa, 0))
        Fail("CreatePipe");
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = writeEnd;
    si.hStdError = writeEnd;
    PROCESS_INFORMATION pi;
    std::string mutableLine = commandLine;
    if (!StartProcess([&] {
            return CreateProcessA(nullptr, mutableLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                  &si, &pi);
        }))
        Fail("CreateProcess " + commandLine);
    CloseHandle(writeEnd);

    RunResult result = {};
    char buffer[4096];
    DWORD read;
    while (ReadFile(readEnd, buffer, sizeof buffer, &read, nullptr) && read > 0)
        result.output.append(buffer, read);
    CloseHandle(readEnd);
    if (WaitForSingleObject(pi.hProcess, timeoutMs) != WAIT_OBJECT_0)
        TerminateProcess(pi.hProcess, 255);
    GetExitCodeProcess(pi.hProcess, &result.exitCode);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return result;
}

std::string Quote(const std::string& argument)
{
    // The rules the C runtime parses by: backslashes are literal unless they precede a quote, where
    // each must be doubled, and the quote itself escaped.
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char ch : argument)
    {
        if (ch == '\\')
        {
            ++backslashes;
            continue;
        }
        quoted.append(ch == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += ch;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

FileHolder::FileHolder(const std::string& path, bool shared)
{
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE inputRead, outputRead, outputWrite;
    if (!CreatePipe(&inputRead, &input_, &sa, 0) || !CreatePipe(&outputRead, &outputWrite, &sa, 0))
        Fail("CreatePipe");
    SetHandleInformation(input_, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(outputRead, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = inputRead;
    si.hStdOutput = outputWrite;
    si.hStdError = outputWrite;
    PROCESS_INFORMATION pi;
    std::string commandLine =
        Quote(BinDir() + "\\hold-file.exe") + " " + Quote(path) + (shared ? " shared" : "");
    if (!StartProcess([&] {
            return CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                  &si, &pi);
        }))
        Fail("CreateProcess hold-file");
    CloseHandle(pi.hThread);
    CloseHandle(inputRead);
    CloseHandle(outputWrite);
    process_ = pi.hProcess;

    std::string said;
    char ch;
    DWORD read;
    while (ReadFile(outputRead, &ch, 1, &read, nullptr) && read == 1 && ch != '\n')
        said += ch;
    CloseHandle(outputRead);
    if (said.rfind("held", 0) != 0)
    {
        Release();
        throw std::runtime_error("hold-file could not hold " + path + ": " + said);
    }
}

FileHolder::~FileHolder()
{
    Release();
}

void FileHolder::Release()
{
    if (input_ != nullptr)
        CloseHandle(input_);
    input_ = nullptr;
    if (process_ != nullptr)
    {
        WaitForSingleObject(process_, 10000);
        CloseHandle(process_);
    }
    process_ = nullptr;
}

ScopedRegKey::ScopedRegKey(HKEY hive, const std::string& subKey) : hive_(hive), subKey_(subKey)
{
    HKEY key;
    if (RegCreateKeyExA(hive_, subKey_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        Fail("RegCreateKeyEx " + subKey);
    RegCloseKey(key);
}

ScopedRegKey::~ScopedRegKey()
{
    DeleteRegTree(hive_, subKey_);
}

void ScopedRegKey::SetRaw(const std::string& name, DWORD type, const void* data, DWORD size) const
{
    HKEY key;
    if (RegOpenKeyExA(hive_, subKey_.c_str(), 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        Fail("RegOpenKeyEx " + subKey_);
    LONG rc = RegSetValueExA(key, name.c_str(), 0, type, (const BYTE*)data, size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        Fail("RegSetValueEx " + name);
}

void ScopedRegKey::SetString(const std::string& name, const std::string& value) const
{
    SetRaw(name, REG_SZ, value.c_str(), (DWORD)value.size() + 1);
}

void ScopedRegKey::SetDword(const std::string& name, DWORD value) const
{
    SetRaw(name, REG_DWORD, &value, sizeof value);
}

void SetRegString(HKEY hive, const std::string& subKey, const std::string& name, const std::string& value)
{
    std::wstring wide(value.size(), L'\0');
    wide.resize(
        MultiByteToWideChar(CP_ACP, 0, value.data(), (int)value.size(), wide.data(), (int)wide.size()));
    SetRegString(hive, subKey, name, wide);
}

void SetRegString(HKEY hive, const std::string& subKey, const std::string& name, const std::wstring& value,
                  DWORD type)
{
    HKEY key;
    if (RegCreateKeyExA(hive, subKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        Fail("RegCreateKeyEx " + subKey);
    LONG rc = RegSetValueExW(key, std::wstring(name.begin(), name.end()).c_str(), 0, type,
                             (const BYTE*)value.c_str(), (DWORD)((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        Fail("RegSetValueEx " + name);
}

void DeleteRegTree(HKEY hive, const std::string& subKey)
{
    HKEY key;
    if (RegOpenKeyExA(hive, subKey.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return;
    char name[256];
    while (RegEnumKeyA(key, 0, name, sizeof name) == ERROR_SUCCESS)
        DeleteRegTree(hive, subKey + "\\" + name);
    RegCloseKey(key);
    RegDeleteKeyA(hive, subKey.c_str());
}

bool ReadRegValue(HKEY hive, const std::string& subKey, const std::string& name, Bytes* data, DWORD* type)
{
    HKEY key;
    if (RegOpenKeyExA(hive, subKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD size = 0, valueType = 0;
    bool found = RegQueryValueExA(key, name.c_str(), nullptr, &valueType, nullptr, &size) == ERROR_SUCCESS;
    if (found)
    {
        data->assign(size, 0);
        RegQueryValueExA(key, name.c_str(), nullptr, &valueType, data->data(), &size);
        data->resize(size);
        if (type != nullptr)
            *type = valueType;
    }
    RegCloseKey(key);
    return found;
}

bool RegKeyExists(HKEY hive, const std::string& subKey)
{
    HKEY key;
    if (RegOpenKeyExA(hive, subKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

ScopedLightMode::ScopedLightMode(DWORD flag)
{
    mapping_ = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, "Dravik ModeLight");
    if (mapping_ == nullptr)
        Fail("CreateFileMapping");
    DWORD* view = (DWORD*)MapViewOfFile(mapping_, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    *view = flag;
    UnmapViewOfFile(view);
}

ScopedLightMode::~ScopedLightMode()
{
    CloseHandle(mapping_);
}
namespace
{
BOOL WINAPI StandardUserToken(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID info, DWORD size,
                              PDWORD needed)
{
    if (infoClass != TokenElevation)
        return kRealSystemCalls.GetTokenInformation(token, infoClass, info, size, needed);
    *needed = sizeof(TOKEN_ELEVATION);
    if (size < sizeof(TOKEN_ELEVATION))
        return FALSE;
    ((TOKEN_ELEVATION*)info)->TokenIsElevated = FALSE;
    return TRUE;
}

std::wstring g_othersPathEnd;
std::string g_othersSddl;
BOOL WINAPI OthersSecurity(HANDLE file, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor,
                           DWORD size, LPDWORD needed)
{
    const std::wstring name = NameOf(file);
    if (name.size() < g_othersPathEnd.size() ||
        _wcsicmp(name.c_str() + name.size() - g_othersPathEnd.size(), g_othersPathEnd.c_str()) != 0)
        return kRealSystemCalls.GetKernelObjectSecurity(file, info, descriptor, size, needed);
    PSECURITY_DESCRIPTOR others;
    ConvertStringSecurityDescriptorToSecurityDescriptorA(g_othersSddl.c_str(), SDDL_REVISION_1, &others,
                                                         nullptr);
    *needed = GetSecurityDescriptorLength(others);
    BOOL fits = size >= *needed;
    if (fits)
        memcpy(descriptor, others, *needed);
    LocalFree(others);
    SetLastError(fits ? ERROR_SUCCESS : ERROR_INSUFFICIENT_BUFFER);
    return fits;
}
} // namespace

ScopedPrivilegedRun::ScopedPrivilegedRun()
{
    AfxGuardRedirections(TRUE);
}

ScopedPrivilegedRun::~ScopedPrivilegedRun()
{
    ScopedSysCall standardUser(sys.GetTokenInformation, StandardUserToken);
    AfxGuardRedirections(FALSE);
}

ScopedOthersOwnership::ScopedOthersOwnership(const std::string& pathEnd, const std::string& sddl)
    : saved_(sys.GetKernelObjectSecurity)
{
    g_othersPathEnd.assign(pathEnd.begin(), pathEnd.end());
    g_othersSddl = sddl;
    sys.GetKernelObjectSecurity = OthersSecurity;
}

ScopedOthersOwnership::~ScopedOthersOwnership()
{
    sys.GetKernelObjectSecurity = saved_;
}

std::wstring NameOf(HANDLE file)
{
    wchar_t name[1024] = L"";
    kRealSystemCalls.GetFinalPathNameByHandleW(file, name, ARRAYSIZE(name), VOLUME_NAME_DOS);
    return name;
}
} // namespace qbtest
