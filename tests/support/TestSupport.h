// Helpers shared by the tests: files and folders, child processes, the registry, and the system-call
// table. Everything runs inside Wine, so paths are Windows paths.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "platform/SystemCalls.h"

namespace qbtest
{
using Bytes = std::vector<unsigned char>;

// The folder of the running test program, where the build puts every executable.
std::string BinDir();

// A fresh folder under the temporary folder, removed with its contents on destruction.
class ScopedTempDir
{
public:
    explicit ScopedTempDir(const char* tag = "qbtest");
    ~ScopedTempDir();
    ScopedTempDir(const ScopedTempDir&) = delete;
    ScopedTempDir& operator=(const ScopedTempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "\\" + name; }

private:
    std::string path_;
};

void RemoveTree(const std::string& path);
bool FileExists(const std::string& path);
// Which file a path names and when it was last written (zeros where none), to tell a file left alone.
BY_HANDLE_FILE_INFORMATION FileInformation(const std::string& path);
Bytes ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const Bytes& bytes);
// The names in a folder (files and folders, without "." and "..").
std::vector<std::string> ListFolder(const std::string& folder);

// Why tests/scripts/<name>.sh could not give the Wine prefix its test volume, as it left it beside the
// prefix ("no reason recorded" without a word).
std::string VolumeRefusal(const std::string& name);

// The temporary files of the one-step replacement of target (CAtomicFile) now in its folder.
std::vector<std::string> TemporaryFilesOf(const std::string& target);
// A Unix symbolic link at link leading to target (which exists), both Windows paths: Wine 8's
// CreateSymbolicLinkW makes nothing, so the system's ln makes it. False where it cannot be made.
bool MakeUnixSymlink(const std::string& link, const std::string& target);
void RemoveUnixSymlink(const std::string& link);
// What an allow entry for Everyone grants on a file, and a protected DACL that grants Everyone access
// and SYSTEM everything.
ACCESS_MASK EveryoneAccess(const std::string& path);
void SetEveryoneAccess(const std::string& path, ACCESS_MASK access);

// Deterministic filler: the same seed gives the same bytes.
Bytes PatternBytes(size_t size, unsigned seed);

// Calls start (a CreateProcess call) until it succeeds or fails otherwise than as Wine now and then does
// for a process of a quick series (ERROR_INTERNAL_ERROR: Wine's doing, not the started program's), at
// most five times.
template <class Start> BOOL StartProcess(Start start)
{
    for (int i = 0;; i++)
    {
        if (start())
            return TRUE;
        if (GetLastError() != ERROR_INTERNAL_ERROR || i == 4)
            return FALSE;
        Sleep(50);
    }
}

// A program started with a command line; killed on destruction if still running.
class ChildProcess
{
public:
    explicit ChildProcess(const std::string& commandLine);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    DWORD pid() const { return info_.dwProcessId; }
    HANDLE handle() const { return info_.hProcess; }
    // True once the process has ended within timeoutMs.
    bool Wait(DWORD timeoutMs);
    DWORD ExitCode() const;
    void Kill();

private:
    PROCESS_INFORMATION info_ = {};
};

struct RunResult
{
    DWORD exitCode;
    std::string output; // stdout and stderr together
};
// Runs a console program to its end and collects what it printed.
RunResult Run(const std::string& commandLine, DWORD timeoutMs = 60000);
// One command-line argument, quoted so that the program receives it unchanged.
std::string Quote(const std::string& argument);

// Another process holding a file open with no sharing (or, shared, as a reader that lets everyone in),
// until Release or destruction.
class FileHolder
{
public:
    explicit FileHolder(const std::string& path, bool shared = false);
    ~FileHolder();
    FileHolder(const FileHolder&) = delete;
    FileHolder& operator=(const FileHolder&) = delete;

    void Release();

private:
    HANDLE process_ = nullptr;
    HANDLE input_ = nullptr;
};

// Registry: a subkey of HKEY_CURRENT_USER or HKEY_LOCAL_MACHINE deleted with its values on destruction.
class ScopedRegKey
{
public:
    ScopedRegKey(HKEY hive, const std::string& subKey);
    ~ScopedRegKey();
    ScopedRegKey(const ScopedRegKey&) = delete;
    ScopedRegKey& operator=(const ScopedRegKey&) = delete;

    void SetString(const std::string& name, const std::string& value) const;
    void SetRaw(const std::string& name, DWORD type, const void* data, DWORD size) const;
    void SetDword(const std::string& name, DWORD value) const;

private:
    HKEY hive_;
    std::string subKey_;
};
void DeleteRegTree(HKEY hive, const std::string& subKey);
// Creates the key as needed and stores a string with its terminating zero; the key stays.
void SetRegString(HKEY hive, const std::string& subKey, const std::string& name, const std::string& value);
// The same for a text that the test's code page may not hold, stored as it is, with the given type.
void SetRegString(HKEY hive, const std::string& subKey, const std::string& name, const std::wstring& value,
                  DWORD type = REG_SZ);
// The raw data and type of a value, or false when it is absent.
bool ReadRegValue(HKEY hive, const std::string& subKey, const std::string& name, Bytes* data,
                  DWORD* type = nullptr);
bool RegKeyExists(HKEY hive, const std::string& subKey);

// The host's light-mode announcement: a named mapping whose first word is the flag; gone on destruction.
class ScopedLightMode
{
public:
    explicit ScopedLightMode(DWORD flag = 1);
    ~ScopedLightMode();
    ScopedLightMode(const ScopedLightMode&) = delete;
    ScopedLightMode& operator=(const ScopedLightMode&) = delete;

private:
    HANDLE mapping_;
};

// Swaps one entry of the system-call table for the life of the object.
template <class F> class ScopedSysCall
{
public:
    ScopedSysCall(F& slot, F replacement) : slot_(slot), saved_(slot) { slot_ = replacement; }
    ~ScopedSysCall() { slot_ = saved_; }
    ScopedSysCall(const ScopedSysCall&) = delete;
    ScopedSysCall& operator=(const ScopedSysCall&) = delete;

private:
    F& slot_;
    F saved_;
};
template <class F> ScopedSysCall(F&, F) -> ScopedSysCall<F>;

// A privileged run, one that checks the way to its files (platform/RedirectionGuard.h), for the life of the
// object; then a standard user's run again.
class ScopedPrivilegedRun
{
public:
    ScopedPrivilegedRun();
    ~ScopedPrivilegedRun();
    ScopedPrivilegedRun(const ScopedPrivilegedRun&) = delete;
    ScopedPrivilegedRun& operator=(const ScopedPrivilegedRun&) = delete;
};

// The file or folder whose final path ends so is owned by another user's account, as a link that user
// planted would be (in Wine the running account owns everything): its security reads as the descriptor
// sddl. Restores the table's entry on destruction.
class ScopedOthersOwnership
{
public:
    explicit ScopedOthersOwnership(const std::string& pathEnd,
                                   const std::string& sddl = "O:S-1-5-21-1-2-3-1001");
    ~ScopedOthersOwnership();
    ScopedOthersOwnership(const ScopedOthersOwnership&) = delete;
    ScopedOthersOwnership& operator=(const ScopedOthersOwnership&) = delete;

private:
    decltype(sys.GetKernelObjectSecurity) saved_;
};

// The name of the file an open handle leads to, as the system gives it.
std::wstring NameOf(HANDLE file);
} // namespace qbtest
