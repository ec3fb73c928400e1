// Replacing the database in one step: whatever fails, the previous file stays byte for byte, and no
// temporary file is left behind; the file keeps its owner, permissions, attributes and links, and where it
// must be written in place its previous bytes are put back after a failure. Holders are real second
// processes; a full disk, I/O errors, permissions Wine does not keep and brief opens by other software come
// through the system-call table, whose waits between tries are recorded instead of waited.
#include "platform/CAtomicFile.h"
#include "platform/FileNames.h"

#include "TestSupport.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <algorithm>

using namespace qbtest;

namespace
{
std::vector<DWORD> g_waits;
void RecordWaits()
{
    g_waits.clear();
    sys.Sleep = [](DWORD ms) WINAPI { g_waits.push_back(ms); };
}

// Brief opens by other software are waited out "for about a second, waits of 10 to 250 ms": one wait
// after each refused try but the last.
void ExpectWaitsAfter(int refusals)
{
    const size_t waits = refusals < 8 ? (size_t)refusals : 8u;
    EXPECT_EQ(waits, g_waits.size());
    DWORD total = 0;
    for (DWORD ms : g_waits)
    {
        EXPECT_TRUE(ms >= 10 && ms <= 250) << ms;
        total += ms;
    }
    if (refusals > 8)
    {
        EXPECT_TRUE(total >= 800 && total <= 1500) << total << " ms in all";
    }
}

class AtomicFile : public ::testing::Test
{
protected:
    void SetUp() override { RecordWaits(); }
    void TearDown() override { sys = kRealSystemCalls; }

    // Everything in the folder but the target itself.
    std::vector<std::string> Leftovers() const
    {
        std::vector<std::string> names;
        for (const std::string& name : ListFolder(dir.path()))
            if (name != "New.mdb")
                names.push_back(name);
        return names;
    }

    ScopedTempDir dir{"atomic"};
    const std::string target = dir / "New.mdb";
    const Bytes oldBytes = PatternBytes(5000, 1);
    const Bytes newBytes = PatternBytes(70000, 2);
};

// The file's identity on its volume: it changes when the file is replaced, not when it is written in place.
ULONGLONG FileIndex(const std::string& path)
{
    const BY_HANDLE_FILE_INFORMATION info = FileInformation(path);
    return ((ULONGLONG)info.nFileIndexHigh << 32) | info.nFileIndexLow;
}

bool EndsWith(const std::wstring& name, const wchar_t* end)
{
    size_t length = wcslen(end);
    return name.size() >= length && name.compare(name.size() - length, length, end) == 0;
}

// The files whose names end so have these attributes too (Wine keeps few), as far as the code under test can
// tell.
const wchar_t* g_reportedFor;
DWORD g_reported;
BOOL WINAPI ReportsAttributes(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, LPVOID info, DWORD size)
{
    BOOL got = kRealSystemCalls.GetFileInformationByHandleEx(file, infoClass, info, size);
    if (got && infoClass == FileBasicInfo && EndsWith(NameOf(file), g_reportedFor))
        ((FILE_BASIC_INFO*)info)->FileAttributes |= g_reported;
    return got;
}

bool Install(const std::string& target, const Bytes& bytes, CFileException* error)
{
    CAtomicFile file;
    return file.Open(target.c_str(), error) && file.Write(bytes.data(), (DWORD)bytes.size(), error) &&
           file.Replace(error);
}

// Another process in the way for the first g_refusals tries of one step.
int g_refusals;
DWORD g_refusal;
bool Refused()
{
    if (g_refusals == 0)
        return false;
    --g_refusals;
    SetLastError(g_refusal);
    return true;
}
HANDLE WINAPI TargetOpenRefused(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                                DWORD creation, DWORD flags, HANDLE tmpl)
{
    // One try may open twice (asking for the right to delete, then without); both meet the other process.
    static bool refusedThisTry;
    if (creation == OPEN_EXISTING && (access & GENERIC_WRITE))
    {
        if (access & DELETE)
            refusedThisTry = Refused();
        if (refusedThisTry)
        {
            SetLastError(g_refusal);
            return INVALID_HANDLE_VALUE;
        }
    }
    return kRealSystemCalls.CreateFileW(name, access, share, sa, creation, flags, tmpl);
}
HANDLE WINAPI TemporaryCreationRefused(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                                       DWORD creation, DWORD flags, HANDLE tmpl)
{
    // One try may create twice (with the rights to set permissions, then without); both meet the other
    // process.
    static bool refusedThisTry;
    // The copy a write in place keeps of the previous contents, made under a temporary name too, is
    // read as well as written.
    if (EndsWith(name, L".installing") && !(access & GENERIC_READ))
    {
        if (access & WRITE_DAC)
            refusedThisTry = Refused();
        if (refusedThisTry)
        {
            SetLastError(g_refusal);
            return INVALID_HANDLE_VALUE;
        }
    }
    return kRealSystemCalls.CreateFileW(name, access, share, sa, creation, flags, tmpl);
}
// A folder where the user may change files but create none.
std::string g_closedFolder;
HANDLE WINAPI FolderClosed(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD creation,
                           DWORD flags, HANDLE tmpl)
{
    if (creation == CREATE_NEW && std::wstring(name).find(std::wstring(
                                      g_closedFolder.begin(), g_closedFolder.end())) != std::wstring::npos)
    {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return kRealSystemCalls.CreateFileW(name, access, share, sa, creation, flags, tmpl);
}
BOOL WINAPI MoveRefused(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, LPVOID info, DWORD size)
{
    if (infoClass == FileRenameInfo && Refused())
        return FALSE;
    return kRealSystemCalls.SetFileInformationByHandle(file, infoClass, info, size);
}

BOOL WINAPI ShortWriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nToWrite, LPDWORD lpWritten,
                           LPOVERLAPPED lpOverlapped)
{
    // What Wine does on a full volume: success, with part of the data written.
    return kRealSystemCalls.WriteFile(hFile, lpBuffer, nToWrite / 2, lpWritten, lpOverlapped);
}
} // namespace

TEST_F(AtomicFile, CreatesANewFileAndReplacesAnExistingOne)
{
    CFileException error;
    ASSERT_TRUE(Install(target, oldBytes, &error));
    EXPECT_EQ(oldBytes, ReadFileBytes(target));
    ASSERT_TRUE(Install(target, newBytes, &error));
    EXPECT_EQ(newBytes, ReadFileBytes(target));
    ASSERT_TRUE(Install(target, Bytes(), &error));
    EXPECT_EQ(0u, ReadFileBytes(target).size());
    EXPECT_TRUE(Leftovers().empty());

    // Large contents go in pieces that every network redirector takes.
    static DWORD largestWrite;
    largestWrite = 0;
    ScopedSysCall pieces(
        sys.WriteFile,
        +[](HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) WINAPI {
            largestWrite = size > largestWrite ? size : largestWrite;
            return kRealSystemCalls.WriteFile(file, data, size, written, overlapped);
        });
    const Bytes large = PatternBytes((9u << 20) + 5, 3);
    ASSERT_TRUE(Install(target, large, &error));
    EXPECT_EQ(large, ReadFileBytes(target));
    EXPECT_LT(largestWrite, large.size()) << "written in pieces";
    EXPECT_LE(largestWrite, 64u << 20) << "no piece larger than a redirector takes";
}

TEST_F(AtomicFile, AFullDiskKeepsThePreviousFileAndLeavesNothingBehind)
{
    WriteFileBytes(target, oldBytes);
    ScopedSysCall full(sys.WriteFile, ShortWriteFile);
    CFileException error;
    CAtomicFile file;
    ASSERT_TRUE(file.Open(target.c_str(), &error));
    EXPECT_FALSE(file.Write(newBytes.data(), (DWORD)newBytes.size(), &error));
    EXPECT_EQ(ERROR_DISK_FULL, error.m_lOsError);
    EXPECT_STREQ(target.c_str(), error.m_strFileName);
    EXPECT_EQ(oldBytes, ReadFileBytes(target));
    EXPECT_TRUE(Leftovers().empty());
}

TEST_F(AtomicFile, AFailedWriteWhereThereWasNoFileLeavesNoFile)
{
    ScopedSysCall failing(
        sys.WriteFile, +[](HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) WINAPI -> BOOL {
            SetLastError(ERROR_IO_DEVICE);
            return FALSE;
        });
    CFileException error;
    EXPECT_FALSE(Install(target, newBytes, &error));
    EXPECT_EQ(ERROR_IO_DEVICE, error.m_lOsError);
    EXPECT_TRUE(ListFolder(dir.path()).empty());
}

TEST_F(AtomicFile, AFailedFlushCountsAsAFailedWrite)
{
    WriteFileBytes(target, oldBytes);
    ScopedSysCall failing(
        sys.FlushFileBuffers, +[](HANDLE) WINAPI -> BOOL {
            SetLastError(ERROR_DISK_FULL);
            return FALSE;
        });
    CFileException error;
    EXPECT_FALSE(Install(target, newBytes, &error));
    EXPECT_EQ(oldBytes, ReadFileBytes(target));
    EXPECT_TRUE(Leftovers().empty());

    // The flush that puts the move on the disk: the file is replaced, but it cannot be said to be.
    ScopedSysCall afterTheMove(
        sys.FlushFileBuffers, +[](HANDLE file) WINAPI -> BOOL {
            if (EndsWith(NameOf(file), L".installing"))
                return kRealSystemCalls.FlushFileBuffers(file);
            SetLastError(ERROR_IO_DEVICE);
            return FALSE;
        });
    CAtomicFile file;
    ASSERT_TRUE(file.Open(target.c_str(), &error) &&
                file.Write(newBytes.data(), (DWORD)newBytes.size(), &error));
    EXPECT_FALSE(file.Replace(&error));
    EXPECT_TRUE(file.IsReplaced());
    EXPECT_EQ(ERROR_IO_DEVICE, error.m_lOsError);
    EXPECT_TRUE(Leftovers().empty());
}

TEST_F(AtomicFile, ATargetHeldByAnotherProcessCannotBeOpened)
{
    WriteFileBytes(target, oldBytes);
    FileHolder host(target);
    CFileException error;
    CAtomicFile file;
    EXPECT_FALSE(file.Open(target.c_str(), &error));
    EXPECT_EQ(ERROR_SHARING_VIOLATION, error.m_lOsError);
    host.Release();
    EXPECT_EQ(oldBytes, ReadFileBytes(target));
    EXPECT_TRUE(Leftovers().empty());

    ASSERT_TRUE(file.Open(target.c_str(), &error));
    ASSERT_TRUE(file.Write(newBytes.data(), (DWORD)newBytes.size(), &error));
    ASSERT_TRUE(file.Replace(&error));
    EXPECT_EQ(newBytes, ReadFileBytes(target));
}

TEST_F(AtomicFile, ReadOnlyTargetsAndMissingFoldersCannotBeOpened)
{
    WriteFileBytes(target, oldBytes);
    CFileException error;
    CAtomicFile file;
    {
        // Wine lets its root user write a read-only file, so the system's refusal comes from the table.
        ScopedSysCall readOnly(
            sys.CreateFileW,
            +[](LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD creation,
                DWORD flags, HANDLE tmpl) WINAPI -> HANDLE {
                if (creation == OPEN_EXISTING && (access & GENERIC_WRITE))
                {
                    SetLastError(ERROR_ACCESS_DENIED);
                    return INVALID_HANDLE_VALUE;
                }
                return kRealSystemCalls.CreateFileW(name, access, share, sa, creation, flags, tmpl);
            });
        // Refused on a file marked read-only is final; refused otherwise, it may be a scanner's look.
        SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_READONLY);
        EXPECT_FALSE(file.Open(target.c_str(), &error));
        EXPECT_EQ(ERROR_ACCESS_DENIED, error.m_lOsError);
        ExpectWaitsAfter(0);
        SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
        EXPECT_FALSE(file.Open(target.c_str(), &error));
        EXPECT_EQ(ERROR_ACCESS_DENIED, error.m_lOsError);
        ExpectWaitsAfter(9);
    }
    EXPECT_EQ(oldBytes, ReadFileBytes(target));

    EXPECT_FALSE(file.Open((dir / "Missing\\New.mdb").c_str(), &error));
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, error.m_lOsError);
    EXPECT_FALSE(file.Open("", &error));
    EXPECT_TRUE(Leftovers().empty());
}

TEST_F(AtomicFile, BriefOpensByOtherSoftwareAreWaitedOutAtEveryStep)
{
    const struct
    {
        const char* step;
        void (*refuse)();
    } steps[] = {
        {"opening the target", [] { sys.CreateFileW = TargetOpenRefused; }},
        {"creating the temporary file", [] { sys.CreateFileW = TemporaryCreationRefused; }},
        {"moving", [] { sys.SetFileInformationByHandle = MoveRefused; }},
    };
    for (const auto& step : steps)
        for (DWORD refusal : {ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED, ERROR_LOCK_VIOLATION})
            for (int refusals : {3, 9})
            {
                SCOPED_TRACE(testing::Message()
                             << step.step << ", error " << refusal << " " << refusals << " times");
                WriteFileBytes(target, oldBytes);
                step.refuse();
                g_refusals = refusals;
                g_refusal = refusal;
                RecordWaits();
                CFileException error;
                // The eighth wait is the last; a folder closed to new files is written in place (below).
                bool inPlace = step.refuse == steps[1].refuse && refusal == ERROR_ACCESS_DENIED;
                if (refusals <= 8 || inPlace)
                {
                    EXPECT_TRUE(Install(target, newBytes, &error)) << error.m_lOsError;
                    EXPECT_EQ(newBytes, ReadFileBytes(target));
                }
                else
                {
                    EXPECT_FALSE(Install(target, newBytes, &error));
                    EXPECT_EQ(refusal, (DWORD)error.m_lOsError);
                    EXPECT_STREQ(target.c_str(), error.m_strFileName);
                    EXPECT_EQ(oldBytes, ReadFileBytes(target));
                }
                ExpectWaitsAfter(refusals);
                EXPECT_TRUE(Leftovers().empty());
                sys = kRealSystemCalls;
            }
}

TEST_F(AtomicFile, WhereReplacingWouldLoseSomethingTheFileIsWrittenInPlace)
{
    // Replaced, the file would leave its other names with the old bytes.
    WriteFileBytes(target, oldBytes);
    const std::string otherName = dir / "Other.mdb";
    ASSERT_TRUE(CreateHardLinkA(otherName.c_str(), target.c_str(), nullptr));
    CFileException error;
    ASSERT_TRUE(Install(target, newBytes, &error));
    EXPECT_EQ(newBytes, ReadFileBytes(otherName));
    ASSERT_TRUE(Install(target, oldBytes, &error)) << "a shorter database ends the file where it ends";
    EXPECT_EQ(oldBytes, ReadFileBytes(otherName));
    EXPECT_EQ(std::vector<std::string>{"Other.mdb"}, Leftovers());
    DeleteFileA(otherName.c_str());

    // Written in place, the file stays the same file.
    const ULONGLONG index = FileIndex(target);

    // A user who may change the file but not delete it, as replacing it would.
    {
        ScopedSysCall noDelete(
            sys.CreateFileW,
            +[](LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD creation,
                DWORD flags, HANDLE tmpl) WINAPI -> HANDLE {
                if (creation == OPEN_EXISTING && (access & DELETE))
                {
                    SetLastError(ERROR_ACCESS_DENIED);
                    return INVALID_HANDLE_VALUE;
                }
                return kRealSystemCalls.CreateFileW(name, access, share, sa, creation, flags, tmpl);
            });
        ASSERT_TRUE(Install(target, newBytes, &error));
        EXPECT_EQ(newBytes, ReadFileBytes(target));
        EXPECT_EQ(index, FileIndex(target));
        ExpectWaitsAfter(0);
    }

    // A user who may change the file but create nothing in its folder.
    g_closedFolder = dir.path();
    ScopedSysCall closed(sys.CreateFileW, FolderClosed);
    ASSERT_TRUE(Install(target, oldBytes, &error));
    EXPECT_EQ(oldBytes, ReadFileBytes(target));
    EXPECT_EQ(index, FileIndex(target));
    EXPECT_TRUE(Leftovers().empty());
    // Where there is no file to write in place, the folder's refusal is the failure.
    DeleteFileA(target.c_str());
    EXPECT_FALSE(Install(target, newBytes, &error));
    EXPECT_EQ(ERROR_ACCESS_DENIED, error.m_lOsError);
    EXPECT_FALSE(FileExists(target));
}

TEST_F(AtomicFile, FilesWithNamedStreamsEncryptionOrAnUnknownFinalPathAreWrittenInPlace)
{
    WriteFileBytes(target, oldBytes);
    const ULONGLONG index = FileIndex(target);
    CFileException error;
    {
        // Streams beside the contents would not follow them to a new file (Wine keeps none).
        ScopedSysCall streams(
            sys.GetFileInformationByHandleEx,
            +[](HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, LPVOID info, DWORD size) WINAPI -> BOOL {
                if (infoClass != FileStreamInfo)
                    return kRealSystemCalls.GetFileInformationByHandleEx(file, infoClass, info, size);
                const wchar_t names[][16] = {L"::$DATA", L":Notes:$DATA"};
                BYTE* next = (BYTE*)info;
                for (int i = 0; i < 2; i++)
                {
                    FILE_STREAM_INFO* stream = (FILE_STREAM_INFO*)next;
                    stream->NextEntryOffset = i == 0 ? 64 : 0;
                    stream->StreamNameLength = (DWORD)(wcslen(names[i]) * sizeof(wchar_t));
                    memcpy(stream->StreamName, names[i], stream->StreamNameLength);
                    next += 64;
                }
                return TRUE;
            });
        ASSERT_TRUE(Install(target, newBytes, &error)) << error.m_lOsError;
        EXPECT_EQ(newBytes, ReadFileBytes(target));
        EXPECT_EQ(index, FileIndex(target));
    }
    {
        // A folder that encrypts new files would make the database readable by the installing account alone.
        g_reportedFor = L".installing";
        g_reported = FILE_ATTRIBUTE_ENCRYPTED;
        ScopedSysCall encrypting(sys.GetFileInformationByHandleEx, ReportsAttributes);
        ASSERT_TRUE(Install(target, oldBytes, &error)) << error.m_lOsError;
        EXPECT_EQ(oldBytes, ReadFileBytes(target));
        EXPECT_EQ(index, FileIndex(target));
    }

    // Some redirectors cannot say which file a link leads to: replaced by its path as given, the link would
    // become a plain file and the database it leads to would keep its old bytes.
    ScopedSysCall unknown(
        sys.GetFinalPathNameByHandleW, +[](HANDLE, LPWSTR, DWORD, DWORD) WINAPI -> DWORD {
            SetLastError(ERROR_NOT_SUPPORTED);
            return 0;
        });
    ASSERT_TRUE(Install(target, oldBytes, &error)) << error.m_lOsError;
    EXPECT_EQ(index, FileIndex(target));
    const std::string real = dir / "Real.mdb";
    WriteFileBytes(real, oldBytes);
    const std::string link = dir / "Link.mdb";
    if (!MakeUnixSymlink(link, real))
        GTEST_SKIP() << "no symbolic link can be made here";
    ASSERT_TRUE(Install(link, newBytes, &error)) << error.m_lOsError;
    EXPECT_EQ(newBytes, ReadFileBytes(real));
    ASSERT_TRUE(Install(link, oldBytes, &error)) << error.m_lOsError;
    EXPECT_EQ(oldBytes, ReadFileBytes(real)) << "the link still leads to the database";
    EXPECT_EQ((std::vector<std::string>{"Link.mdb", "Real.mdb"}), Leftovers());
}

namespace
{
// Faults of a write in place, told apart by the file each write goes to.
struct InPlaceFaults
{
    bool copyRefusedBeside = false; // the target's folder takes no new file
    bool copyFull = false;          // no room for a copy anywhere
    int targetWritesFailing = 0;    // the write itself (half done), then putting the previous bytes back
    bool onlyThatHandle = false; // the failures stay with the handle that failed, not the file opened again
    bool roomRefused = false;    // the file cannot be made longer
    bool closeFails = false;     // closing the written file fails
    bool reopenedElsewhere = false; // the path leads to another file once the handle that failed is gone
};
InPlaceFaults g_faults;
int g_targetWrites;
bool g_reopened;
std::string g_elsewhere;

BOOL WINAPI FaultyWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    const std::wstring name = NameOf(file);
    if (EndsWith(name, L".previous") || EndsWith(name, L".installing"))
    {
        if (!g_faults.copyFull)
            return kRealSystemCalls.WriteFile(file, data, size, written, overlapped);
        *written = 0;
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    if (++g_targetWrites > g_faults.targetWritesFailing || (g_faults.onlyThatHandle && g_reopened))
        return kRealSystemCalls.WriteFile(file, data, size, written, overlapped);
    kRealSystemCalls.WriteFile(file, data, size / 2, written, overlapped);
    SetLastError(ERROR_IO_DEVICE);
    return FALSE;
}
// The file opened again, by its path: the handle that failed is gone.
HANDLE WINAPI Reopening(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD creation,
                        DWORD flags, HANDLE tmpl)
{
    g_reopened = g_reopened || EndsWith(name, L"New.mdb");
    if (g_faults.reopenedElsewhere && EndsWith(name, L"New.mdb"))
        return CreateFileA(g_elsewhere.c_str(), access, share, sa, creation, flags, tmpl);
    return kRealSystemCalls.CreateFileW(name, access, share, sa, creation, flags, tmpl);
}
BOOL WINAPI NoRoom(HANDLE file)
{
    if (EndsWith(NameOf(file), L"New.mdb"))
    {
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    return kRealSystemCalls.SetEndOfFile(file);
}
BOOL WINAPI CloseFailsOnce(HANDLE handle)
{
    static bool failed;
    const bool fail = !failed && EndsWith(NameOf(handle), L"New.mdb");
    BOOL closed = kRealSystemCalls.CloseHandle(handle);
    if (!fail)
        return closed;
    failed = true;
    SetLastError(ERROR_NETNAME_DELETED);
    return FALSE;
}
} // namespace

TEST_F(AtomicFile, AWriteInPlaceThatFailsPutsThePreviousBytesBack)
{
    // A second hard link makes the target a file written in place.
    const std::string otherName = dir / "Other.mdb";
    g_closedFolder = dir.path();
    ScopedTempDir elsewhere{"elsewhere"};
    g_elsewhere = elsewhere / "Other.mdb";
    ScopedSysCall writes(sys.WriteFile, FaultyWriteFile);
    const struct
    {
        const char* fault;
        InPlaceFaults faults;
        DWORD error;     // 0: the install succeeds
        bool keptBeside; // the previous bytes stay in a copy beside the target, or in the temporary folder
        bool keptInTemp;
    } cases[] = {
        {"none", {}, 0, false, false},
        {"an I/O error half-way", {.targetWritesFailing = 1}, ERROR_IO_DEVICE, false, false},
        {"the same, the folder taking no new file", {true, false, 1}, ERROR_IO_DEVICE, false, false},
        {"no room for a copy", {.copyFull = true}, ERROR_DISK_FULL, false, false},
        {"the handle failing for good, the file opened again not",
         {.targetWritesFailing = 99, .onlyThatHandle = true},
         ERROR_IO_DEVICE,
         false,
         false},
        {"no room claimed: nothing changed, nothing to put back",
         {.targetWritesFailing = 99, .roomRefused = true},
         ERROR_DISK_FULL,
         false,
         false},
        {"closing the written file fails", {.closeFails = true}, ERROR_NETNAME_DELETED, false, false},
        {"the previous bytes cannot be put back", {.targetWritesFailing = 99}, ERROR_IO_DEVICE, true, false},
        {"the file opened again is another one",
         {.targetWritesFailing = 99, .onlyThatHandle = true, .reopenedElsewhere = true},
         ERROR_IO_DEVICE,
         true,
         false},
        {"the same, the copy in the temporary folder", {true, false, 99}, ERROR_IO_DEVICE, false, true},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.fault);
        RemoveTree(dir.path());
        CreateDirectoryA(dir.path().c_str(), nullptr);
        WriteFileBytes(target, oldBytes);
        WriteFileBytes(g_elsewhere, newBytes);
        ASSERT_TRUE(CreateHardLinkA(otherName.c_str(), target.c_str(), nullptr));
        g_faults = c.faults;
        g_targetWrites = 0;
        g_reopened = false;

        CFileException error;
        CAtomicFile file;
        ASSERT_TRUE(file.Open(target.c_str(), &error));
        ScopedSysCall room(sys.SetEndOfFile, c.faults.roomRefused ? NoRoom : kRealSystemCalls.SetEndOfFile);
        ScopedSysCall close(sys.CloseHandle,
                            c.faults.closeFails ? CloseFailsOnce : kRealSystemCalls.CloseHandle);
        ScopedSysCall creations(sys.CreateFileW, c.faults.copyRefusedBeside ? FolderClosed
                                                 : c.faults.onlyThatHandle  ? Reopening
                                                                            : kRealSystemCalls.CreateFileW);
        ASSERT_TRUE(file.WritesInPlace());
        const bool written =
            file.Write(newBytes.data(), (DWORD)newBytes.size(), &error) && file.Replace(&error);
        EXPECT_EQ(c.error == 0, written);
        const std::string keptIn =
            file.PreviousContentsKeptIn() ? (const char*)DisplayPath(file.PreviousContentsKeptIn()) : "";
        std::vector<std::string> left = Leftovers();
        left.erase(std::remove(left.begin(), left.end(), "Other.mdb"), left.end());
        if (c.error == 0)
            EXPECT_EQ(newBytes, ReadFileBytes(otherName));
        else if (!c.keptBeside && !c.keptInTemp)
        {
            EXPECT_EQ(c.error, (DWORD)error.m_lOsError);
            EXPECT_EQ(oldBytes, ReadFileBytes(otherName)) << "under both names";
            EXPECT_EQ(oldBytes, ReadFileBytes(target));
            EXPECT_EQ("", keptIn);
        }
        else
        {
            // The file is damaged, and said to be: its previous bytes are in the copy named.
            EXPECT_NE(oldBytes, ReadFileBytes(target));
            ASSERT_NE("", keptIn);
            EXPECT_EQ(oldBytes, ReadFileBytes(keptIn));
            EXPECT_EQ(c.keptBeside, keptIn.rfind(dir.path() + "\\New.mdb.", 0) == 0) << keptIn;
            EXPECT_NE(std::string::npos, keptIn.find(".previous")) << keptIn;
            if (c.keptInTemp)
                DeleteFileA(keptIn.c_str());
            else
                left.erase(std::remove(left.begin(), left.end(), keptIn.substr(dir.path().size() + 1)),
                           left.end());
        }
        EXPECT_TRUE(left.empty()) << left.front();
        EXPECT_EQ(newBytes, ReadFileBytes(g_elsewhere)) << "nothing is put back into another file";
    }
}

namespace
{
FILE_BASIC_INFO g_basicInfoSet;
BOOL WINAPI RecordBasicInfo(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, LPVOID info, DWORD size)
{
    if (infoClass == FileBasicInfo)
        g_basicInfoSet = *(FILE_BASIC_INFO*)info;
    return kRealSystemCalls.SetFileInformationByHandle(file, infoClass, info, size);
}
} // namespace

TEST_F(AtomicFile, TheReplacedFileKeepsPermissionsAttributesCreationTimeAndLinks)
{
    WriteFileBytes(target, oldBytes);
    const ACCESS_MASK modify = FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE;
    SetEveryoneAccess(target, modify);
    SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    WIN32_FILE_ATTRIBUTE_DATA before;
    ASSERT_TRUE(GetFileAttributesExA(target.c_str(), GetFileExInfoStandard, &before));
    ScopedSysCall recorder(sys.SetFileInformationByHandle, RecordBasicInfo);
    g_reportedFor = L"New.mdb";
    g_reported = FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE;
    ScopedSysCall reported(sys.GetFileInformationByHandleEx, ReportsAttributes);

    CFileException error;
    ASSERT_TRUE(Install(target, newBytes, &error)) << error.m_lOsError;
    EXPECT_EQ(newBytes, ReadFileBytes(target));
    EXPECT_EQ(modify, EveryoneAccess(target) & modify) << std::hex << EveryoneAccess(target);
    const DWORD attributes = GetFileAttributesA(target.c_str());
    EXPECT_EQ(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM,
              attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    // Wine keeps no creation time and few attributes of its own, so what the system was asked to keep is
    // checked: the offline attribute belongs to the old file's storage.
    EXPECT_EQ(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                  FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_ARCHIVE,
              g_basicInfoSet.FileAttributes);
    EXPECT_EQ(before.ftCreationTime.dwLowDateTime, g_basicInfoSet.CreationTime.LowPart);
    EXPECT_EQ(before.ftCreationTime.dwHighDateTime, (DWORD)g_basicInfoSet.CreationTime.HighPart);

    // Through a symbolic link, the file it leads to gets the new bytes and the link stays.
    const std::string real = dir / "Real.mdb";
    WriteFileBytes(real, oldBytes);
    const std::string link = dir / "Link.mdb";
    if (!MakeUnixSymlink(link, real))
        GTEST_SKIP() << "no symbolic link can be made here";
    ASSERT_TRUE(Install(link, newBytes, &error)) << error.m_lOsError;
    EXPECT_EQ(newBytes, ReadFileBytes(real));
    ASSERT_TRUE(Install(link, oldBytes, &error)) << error.m_lOsError;
    EXPECT_EQ(oldBytes, ReadFileBytes(real));
    EXPECT_EQ((std::vector<std::string>{"Link.mdb", "Real.mdb"}), Leftovers());
}

namespace
{
// The target as an administrator's update finds it in a folder where each user owns what they create: the
// user who made it owns it, and has full control through an entry the folder's CREATOR OWNER entry gave.
const char kUsersFile[] = "O:S-1-5-21-1-2-3-1001G:S-1-5-21-1-2-3-513"
                          "D:AI(A;ID;FA;;;S-1-5-21-1-2-3-1001)(A;ID;0x1200a9;;;BU)";
PSECURITY_DESCRIPTOR g_targetSecurity;
Bytes g_temporarySecurity; // what the temporary file was given, as a file system that keeps it all
bool g_labelGiven;         // until then the temporary file has the label a new file gets
std::vector<std::pair<SECURITY_INFORMATION, std::string>> g_securitySet;
DWORD g_ownerRefusal;
bool g_labelRefused;
bool g_keepsLess;

std::string Sddl(PSECURITY_DESCRIPTOR descriptor, SECURITY_INFORMATION info)
{
    char* text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, info, &text, nullptr);
    std::string sddl = text ? text : "";
    LocalFree(text);
    return sddl;
}

BOOL WINAPI TargetSecurity(HANDLE file, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor,
                           DWORD size, LPDWORD needed)
{
    const bool temporary = EndsWith(NameOf(file), L".installing");
    if (g_targetSecurity == nullptr ||
        (temporary &&
         (g_temporarySecurity.empty() || ((info & LABEL_SECURITY_INFORMATION) && !g_labelGiven))))
        return kRealSystemCalls.GetKernelObjectSecurity(file, info, descriptor, size, needed);
    const void* given = temporary ? (const void*)g_temporarySecurity.data() : g_targetSecurity;
    *needed = GetSecurityDescriptorLength((PSECURITY_DESCRIPTOR)given);
    if (size < *needed)
    {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(descriptor, given, *needed);
    return TRUE;
}
// Records what is set, as text, and keeps it as the temporary file's: Wine would keep only what its Unix
// permissions can say.
BOOL WINAPI RecordSecurity(HANDLE, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor)
{
    // Central access policies take ACCESS_SYSTEM_SECURITY, which no file here is opened with.
    if (info & SCOPE_SECURITY_INFORMATION)
    {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if ((g_ownerRefusal != 0 && (info & OWNER_SECURITY_INFORMATION)) ||
        (g_labelRefused && (info & LABEL_SECURITY_INFORMATION)))
    {
        SetLastError(g_labelRefused ? ERROR_PRIVILEGE_NOT_HELD : g_ownerRefusal);
        return FALSE;
    }
    g_securitySet.emplace_back(info, Sddl(descriptor, info));
    g_labelGiven = g_labelGiven || (info & LABEL_SECURITY_INFORMATION);
    PSECURITY_DESCRIPTOR kept = descriptor;
    if (g_keepsLess)
        ConvertStringSecurityDescriptorToSecurityDescriptorA(
            "O:S-1-5-21-1-2-3-1001G:S-1-5-21-1-2-3-513D:AI(A;ID;FA;;;"
            "S-1-5-21-1-2-3-1001)",
            SDDL_REVISION_1, &kept, nullptr);
    const BYTE* bytes = (const BYTE*)kept;
    g_temporarySecurity.assign(bytes, bytes + GetSecurityDescriptorLength(kept));
    if (kept != descriptor)
        LocalFree(kept);
    return TRUE;
}
// A share whose permission is "Change": files can be created, written and deleted, not given permissions.
HANDLE WINAPI ChangeShare(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD creation,
                          DWORD flags, HANDLE tmpl)
{
    if (access & (WRITE_DAC | WRITE_OWNER))
    {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return kRealSystemCalls.CreateFileW(name, access, share, sa, creation, flags, tmpl);
}
} // namespace

TEST_F(AtomicFile, TheReplacedFileHasTheOwnerAndPermissionsItHadOrIsWrittenInPlace)
{
    PSECURITY_DESCRIPTOR usersFile, labelled;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(kUsersFile, SDDL_REVISION_1, &usersFile,
                                                                     nullptr));
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
        (std::string(kUsersFile) + "S:(ML;;NW;;;HI)").c_str(), SDDL_REVISION_1, &labelled, nullptr));
    ScopedSysCall get(sys.GetKernelObjectSecurity, TargetSecurity);
    ScopedSysCall set(sys.SetKernelObjectSecurity, RecordSecurity);
    const struct
    {
        const char* setting;
        PSECURITY_DESCRIPTOR target; // nullptr: as Wine gives it, which a new file in the folder has too
        bool changeShare;
        DWORD ownerRefusal;
        bool keepsLess; // a server that maps permissions onto its own keeps fewer entries than it is given
        bool labelRefused;
        bool replaced;
    } cases[] = {
        {"an administrator's update of a user's file", usersFile, false, 0, false, false, true},
        {"the owner cannot be set", usersFile, false, ERROR_INVALID_OWNER, false, false, false},
        {"the permissions are not kept as given", usersFile, false, 0, true, false, false},
        {"a Change share, another owner", usersFile, true, 0, false, false, false},
        {"a Change share, the permissions a new file gets", nullptr, true, 0, false, false, true},
        {"an integrity label", labelled, false, 0, false, false, true},
        {"an integrity label the new file cannot take", labelled, false, 0, false, true, false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.setting);
        DeleteFileA(target.c_str());
        WriteFileBytes(target, oldBytes);
        const ULONGLONG index = FileIndex(target);
        g_targetSecurity = c.target;
        g_ownerRefusal = c.ownerRefusal;
        g_labelRefused = c.labelRefused;
        g_securitySet.clear();
        g_temporarySecurity.clear();
        g_labelGiven = false;
        g_keepsLess = c.keepsLess;
        ScopedSysCall creation(sys.CreateFileW, c.changeShare ? ChangeShare : kRealSystemCalls.CreateFileW);

        CFileException error;
        ASSERT_TRUE(Install(target, newBytes, &error)) << error.m_lOsError;
        EXPECT_EQ(newBytes, ReadFileBytes(target));
        EXPECT_EQ(c.replaced, index != FileIndex(target));
        if (c.replaced && c.target != nullptr)
        {
            // The owner, and the entries exactly as they were, inherited ones marked so: none worked out
            // anew.
            ASSERT_EQ(c.target == labelled ? 2u : 1u, g_securitySet.size());
            EXPECT_EQ(OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                      g_securitySet[0].first);
            EXPECT_EQ(kUsersFile, g_securitySet[0].second);
            if (c.target == labelled)
            {
                EXPECT_TRUE(g_securitySet[1].first & LABEL_SECURITY_INFORMATION);
            }
        }
        else if (c.replaced)
        {
            EXPECT_TRUE(g_securitySet.empty()) << "nothing to change, nothing asked";
        }
        EXPECT_TRUE(Leftovers().empty());
    }
    g_targetSecurity = nullptr;
    g_labelRefused = false;
    LocalFree(usersFile);
    LocalFree(labelled);
}

TEST_F(AtomicFile, TargetsUpToTheLongestPathTheSystemOpensAreReplaced)
{
    // The temporary file's name is longer than the target's; it must not matter.
    for (size_t length : {255u, 259u})
    {
        const std::string name = std::string(length - dir.path().size() - 5, 'n') + ".mdb";
        const std::string longTarget = dir / name;
        ASSERT_EQ(length, longTarget.size());
        CFileException error;
        ASSERT_TRUE(Install(longTarget, oldBytes, &error)) << error.m_lOsError;
        ASSERT_TRUE(Install(longTarget, newBytes, &error)) << error.m_lOsError;
        EXPECT_EQ(newBytes, ReadFileBytes(longTarget));
        EXPECT_EQ(std::vector<std::string>{name}, ListFolder(dir.path()));
        DeleteFileA(longTarget.c_str());
    }
}

namespace
{
// Another process takes the target in the moment between the write and the move.
FileHolder* g_lateHolder;
bool g_takenOnce;
std::string g_lateTarget;
BOOL WINAPI MoveWhileTaken(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, LPVOID info, DWORD size)
{
    if (infoClass == FileRenameInfo && !g_takenOnce)
    {
        g_lateHolder = new FileHolder(g_lateTarget);
        g_takenOnce = true;
    }
    return kRealSystemCalls.SetFileInformationByHandle(file, infoClass, info, size);
}
} // namespace

TEST_F(AtomicFile, ATargetTakenBeforeTheMoveCanBeReplacedOnceReleased)
{
    WriteFileBytes(target, oldBytes);
    g_lateTarget = target;
    g_takenOnce = false;
    ScopedSysCall late(sys.SetFileInformationByHandle, MoveWhileTaken);

    CFileException error;
    CAtomicFile file;
    ASSERT_TRUE(file.Open(target.c_str(), &error));
    ASSERT_TRUE(file.Write(newBytes.data(), (DWORD)newBytes.size(), &error));
    EXPECT_FALSE(file.Replace(&error));
    ExpectWaitsAfter(9);
    // Wine says access denied, Windows a sharing violation: either way, the file is in use.
    EXPECT_TRUE(error.m_lOsError == ERROR_ACCESS_DENIED || error.m_lOsError == ERROR_SHARING_VIOLATION)
        << error.m_lOsError;

    delete g_lateHolder;
    g_lateHolder = nullptr;
    EXPECT_EQ(oldBytes, ReadFileBytes(target));
    EXPECT_TRUE(file.Replace(&error));
    EXPECT_EQ(newBytes, ReadFileBytes(target));
    EXPECT_TRUE(Leftovers().empty());
}

namespace
{
// Another run opens the target as soon as this one lets it go for the move, then gives up.
void AnotherRunComesAndGoes()
{
    CFileException error;
    CAtomicFile otherRun;
    EXPECT_TRUE(otherRun.Open(g_lateTarget.c_str(), &error)) << error.m_lOsError;
}
} // namespace

TEST_F(AtomicFile, AnotherRunBetweenTheWriteAndTheMoveLeavesTheWrittenFileAlone)
{
    WriteFileBytes(target, oldBytes);
    g_lateTarget = target;
    ScopedSysCall byHandle(
        sys.SetFileInformationByHandle,
        +[](HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, LPVOID info, DWORD size) WINAPI -> BOOL {
            if (infoClass == FileRenameInfo)
                AnotherRunComesAndGoes();
            return kRealSystemCalls.SetFileInformationByHandle(file, infoClass, info, size);
        });
    ScopedSysCall byName(
        sys.MoveFileExW, +[](LPCWSTR from, LPCWSTR to, DWORD flags) WINAPI -> BOOL {
            AnotherRunComesAndGoes();
            return kRealSystemCalls.MoveFileExW(from, to, flags);
        });
    CFileException error;
    ASSERT_TRUE(Install(target, newBytes, &error)) << error.m_lOsError;
    EXPECT_EQ(newBytes, ReadFileBytes(target));
    EXPECT_TRUE(Leftovers().empty());
}

TEST_F(AtomicFile, ASystemThatCannotMoveAFileByItsHandleMovesItByNameStillClosedToOthers)
{
    WriteFileBytes(target, oldBytes);
    g_lateTarget = target;
    ScopedSysCall byHandle(sys.SetFileInformationByHandle, MoveRefused);
    g_refusals = 1000;
    g_refusal = ERROR_INVALID_PARAMETER;
    static int movesByName;
    movesByName = 0;
    ScopedSysCall byName(
        sys.MoveFileExW, +[](LPCWSTR from, LPCWSTR to, DWORD flags) WINAPI -> BOOL {
            // Another run's clean-up finds the written file before it is moved, and must leave it.
            AnotherRunComesAndGoes();
            ++movesByName;
            return kRealSystemCalls.MoveFileExW(from, to, flags);
        });
    CFileException error;
    ASSERT_TRUE(Install(target, newBytes, &error)) << error.m_lOsError;
    EXPECT_EQ(1, movesByName);
    EXPECT_EQ(newBytes, ReadFileBytes(target));
    EXPECT_TRUE(Leftovers().empty());
}

TEST_F(AtomicFile, ANetworkPathTakesTheLongFormOfANetworkPath)
{
    wchar_t* longForm = LongFullPath("\\\\server\\share\\T.mdb");
    EXPECT_STREQ(L"\\\\?\\UNC\\server\\share\\T.mdb", longForm);
    EXPECT_STREQ("\\\\server\\share\\T.mdb", DisplayPath(longForm));
    free(longForm);
}

TEST_F(AtomicFile, OnlyAFileOnADiskIsATarget)
{
    WriteFileBytes(target, oldBytes);
    for (const std::string& name : {std::string("NUL"), std::string("COM1"), dir / "NUL", dir / "COM1",
                                    target + ":x", std::string("\\\\.\\NUL")})
    {
        SCOPED_TRACE(name);
        CFileException error;
        CAtomicFile file;
        EXPECT_FALSE(file.Open(name.c_str(), &error));
        EXPECT_EQ(ERROR_INVALID_NAME, error.m_lOsError);
    }
    EXPECT_EQ(oldBytes, ReadFileBytes(target));
    EXPECT_TRUE(Leftovers().empty());
}

TEST_F(AtomicFile, GivingUpAfterTheWriteRestoresNothingBecauseNothingChanged)
{
    WriteFileBytes(target, oldBytes);
    {
        CFileException error;
        CAtomicFile file;
        ASSERT_TRUE(file.Open(target.c_str(), &error));
        ASSERT_TRUE(file.Write(newBytes.data(), (DWORD)newBytes.size(), &error));
        // Dropped without Replace, as when the user cancels.
    }
    EXPECT_EQ(oldBytes, ReadFileBytes(target));
    EXPECT_TRUE(Leftovers().empty());
}

TEST_F(AtomicFile, TheTargetIsHeldFromOpenToReplace)
{
    WriteFileBytes(target, oldBytes);
    CFileException error;
    CAtomicFile file;
    ASSERT_TRUE(file.Open(target.c_str(), &error));
    EXPECT_THROW(FileHolder host(target), std::runtime_error);
    file.Abort();
    EXPECT_NO_THROW(FileHolder host(target));
}

TEST_F(AtomicFile, ALeftoverOfAKilledRunIsReplacedAndGone)
{
    WriteFileBytes(target, oldBytes);
    const char* leftovers[] = {"New.mdb.installing", "New.mdb.0123456789ABCDEF.installing",
                               "New.mdb.00000000fedcba98.installing"};
    for (const char* name : leftovers)
        WriteFileBytes(dir / name, PatternBytes(123, 9));
    // A file the user keeps beside the target, and another run's temporary file, held by that run.
    WriteFileBytes(dir / "New.mdb.copy.installing", Bytes(1, 1));
    WriteFileBytes(dir / "New.mdb.1111111111111111.installing", Bytes(1, 2));
    FileHolder otherRun(dir / "New.mdb.1111111111111111.installing");

    CFileException error;
    ASSERT_TRUE(Install(target, newBytes, &error));
    EXPECT_EQ(newBytes, ReadFileBytes(target));
    EXPECT_EQ((std::vector<std::string>{"New.mdb.1111111111111111.installing", "New.mdb.copy.installing"}),
              Leftovers());
    otherRun.Release();
}

namespace
{
// A name like a killed run's temporary file, planted by someone who may create files in the folder (the
// system account's temporary folder lets every user), and what the system would say of it.
std::string g_planted, g_victim;
bool g_plantedIsLink;
bool IsPlanted(const std::wstring& name)
{
    return EndsWith(name, std::wstring(g_planted.begin(), g_planted.end()).c_str());
}
HANDLE WINAPI OpenThroughLink(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                              DWORD creation, DWORD flags, HANDLE tmpl)
{
    // A link is followed unless the link itself is asked for; Wine cannot show it.
    if (g_plantedIsLink && IsPlanted(name) && !(flags & FILE_FLAG_OPEN_REPARSE_POINT))
        return CreateFileA(g_victim.c_str(), access, share, sa, creation, flags, tmpl);
    return kRealSystemCalls.CreateFileW(name, access, share, sa, creation, flags, tmpl);
}
BOOL WINAPI LinkInformation(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info)
{
    BOOL got = kRealSystemCalls.GetFileInformationByHandle(file, info);
    if (got && g_plantedIsLink && IsPlanted(NameOf(file)))
        info->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    return got;
}
} // namespace

TEST_F(AtomicFile, ALeftoverNameThatIsNotPlainlyOursIsLeftAlone)
{
    ScopedTempDir elsewhere{"victim"};
    g_victim = elsewhere / "Precious.mdb";
    g_planted = "New.mdb.0123456789ABCDEF.installing";
    ScopedSysCall open(sys.CreateFileW, OpenThroughLink);
    ScopedSysCall information(sys.GetFileInformationByHandle, LinkInformation);
    const struct
    {
        const char* planted;
        bool link, hardLink, others;
    } cases[] = {
        {"a link to another file", true, false, false},
        {"a second name of another file", false, true, false},
        {"a file of another account", false, false, true},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.planted);
        WriteFileBytes(target, oldBytes);
        WriteFileBytes(g_victim, PatternBytes(99, 7));
        if (c.hardLink)
            ASSERT_TRUE(CreateHardLinkA((dir / g_planted).c_str(), g_victim.c_str(), nullptr));
        else
            WriteFileBytes(dir / g_planted, PatternBytes(99, 8));
        g_plantedIsLink = c.link;
        ScopedOthersOwnership owner(c.others ? g_planted : "<nobody>");
        CFileException error;
        ASSERT_TRUE(Install(target, newBytes, &error));
        EXPECT_EQ(PatternBytes(99, 7), ReadFileBytes(g_victim));
        EXPECT_EQ(std::vector<std::string>{g_planted}, Leftovers());
        DeleteFileA((dir / g_planted).c_str());
    }
    g_plantedIsLink = false;
}

TEST_F(AtomicFile, FilesMadeBesideTheTargetAreOpenOnlyToUsFromTheirFirstInstant)
{
    // What the temporary file and the copy of the previous contents are created with.
    static std::vector<std::string> made;
    made.clear();
    ScopedSysCall creation(
        sys.CreateFileW,
        +[](LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD creation, DWORD flags,
            HANDLE tmpl) WINAPI -> HANDLE {
            if (creation == CREATE_NEW)
                made.push_back(sa ? Sddl(sa->lpSecurityDescriptor, DACL_SECURITY_INFORMATION) : "inherited");
            return kRealSystemCalls.CreateFileW(name, access, share, sa, creation, flags, tmpl);
        });
    WriteFileBytes(target, oldBytes);
    CFileException error;
    ASSERT_TRUE(Install(target, newBytes, &error));
    ASSERT_TRUE(CreateHardLinkA((dir / "Other.mdb").c_str(), target.c_str(), nullptr));
    ASSERT_TRUE(Install(target, oldBytes, &error));
    ASSERT_EQ(2u, made.size()) << "the temporary file, then the copy of a file written in place";
    for (const std::string& sddl : made)
    {
        EXPECT_EQ(0u, sddl.find("D:P(A;;FA;;;S-1-5-21-")) << sddl;
        EXPECT_NE(std::string::npos, sddl.find(")(A;;FA;;;SY)(A;;FA;;;BA)")) << sddl;
    }

    // An encrypted file's contents are never left in a plain copy: where the copy cannot be encrypted (Wine
    // encrypts nothing), nothing is written.
    g_reportedFor = L"New.mdb";
    g_reported = FILE_ATTRIBUTE_ENCRYPTED;
    ScopedSysCall encrypted(sys.GetFileInformationByHandleEx, ReportsAttributes);
    EXPECT_FALSE(Install(target, newBytes, &error));
    EXPECT_EQ(ERROR_ENCRYPTION_FAILED, error.m_lOsError);
    EXPECT_EQ(oldBytes, ReadFileBytes(target));
    EXPECT_EQ(std::vector<std::string>{"Other.mdb"}, Leftovers());
}

namespace
{
// A folder that the table makes a Windows junction or symbolic link, which Wine has not: what it says of
// itself opened as itself, and the path it gives.
std::wstring g_linkName, g_linkTo;
DWORD g_linkTag;
bool g_linkRelative;
BOOL WINAPI LinkTag(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, LPVOID info, DWORD size)
{
    BOOL got = kRealSystemCalls.GetFileInformationByHandleEx(file, infoClass, info, size);
    if (got && infoClass == FileAttributeTagInfo && EndsWith(NameOf(file), g_linkName.c_str()))
    {
        ((FILE_ATTRIBUTE_TAG_INFO*)info)->FileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
        ((FILE_ATTRIBUTE_TAG_INFO*)info)->ReparseTag = g_linkTag;
    }
    return got;
}
BOOL WINAPI LinkData(HANDLE file, DWORD code, LPVOID, DWORD, LPVOID out, DWORD, LPDWORD got, LPOVERLAPPED)
{
    if (code != FSCTL_GET_REPARSE_POINT || !EndsWith(NameOf(file), g_linkName.c_str()))
    {
        SetLastError(ERROR_NOT_A_REPARSE_POINT);
        return FALSE;
    }
    // The tag, the data's length, then the two names' offsets and lengths, a symbolic link's flags (1:
    // relative), and the substitute name.
    const bool symlink = g_linkTag == IO_REPARSE_TAG_SYMLINK;
    const WORD cbName = (WORD)(g_linkTo.size() * sizeof(wchar_t));
    BYTE* data = (BYTE*)out;
    const DWORD header[] = {g_linkTag, 0, (DWORD)cbName << 16, 0, g_linkRelative};
    memcpy(data, header, sizeof header);
    memcpy(data + (symlink ? 20 : 16), g_linkTo.data(), cbName);
    *got = (symlink ? 20 : 16) + cbName;
    return TRUE;
}
} // namespace

TEST_F(AtomicFile, APrivilegedRunFollowsOnlyTheJunctionsAndLinksAdministratorsMade)
{
    const char* const kUsers = "O:S-1-5-21-1-2-3-1001";
    // Each link leads to elsewhere\Data (a folder link) or elsewhere\Data\New.mdb (the target itself); one
    // that a user made (its owner says who) is not followed.
    ScopedTempDir elsewhere{"linked"};
    const std::string data = elsewhere / "Data";
    CreateDirectoryA(data.c_str(), nullptr);
    const std::wstring wideData(data.begin(), data.end());
    const std::string fromDir = "..\\.\\x\\..\\" + elsewhere.path().substr(elsewhere.path().rfind('\\') + 1);
    const struct
    {
        const char* link;
        DWORD tag; // 0: a Unix link, Wine's own
        std::wstring to;
        const char* security; // what the link's security reads as; null: the system's own
        bool followed, atTarget;
    } cases[] = {
        {"a Unix link a user made", 0, L"", kUsers, false, false},
        {"a Unix link an administrator made", 0, L"", nullptr, true, false},
        {"a Unix link at the target an administrator made", 0, L"", nullptr, true, true},
        {"a junction a user made", IO_REPARSE_TAG_MOUNT_POINT, L"\\??\\" + wideData, kUsers, false, false},
        {"a junction an administrator made", IO_REPARSE_TAG_MOUNT_POINT, L"\\??\\" + wideData, nullptr, true,
         false},
        {"a junction an administrator made that users may aim elsewhere", IO_REPARSE_TAG_MOUNT_POINT,
         L"\\??\\" + wideData, "O:BAD:(A;;FA;;;BA)(A;;0x1301BF;;;BU)", false, false},
        {"a relative symbolic link an administrator made", IO_REPARSE_TAG_SYMLINK,
         std::wstring(fromDir.begin(), fromDir.end()) + L"\\Data", nullptr, true, false},
        {"a symbolic link from the drive's root an administrator made", IO_REPARSE_TAG_SYMLINK,
         wideData.substr(2), nullptr, true, false},
    };
    ScopedPrivilegedRun privileged;
    ScopedSysCall tag(sys.GetFileInformationByHandleEx, LinkTag);
    ScopedSysCall reparse(sys.DeviceIoControl, LinkData);
    const std::string written = data + "\\New.mdb";
    int n = 0;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.link);
        const std::string link = dir / ("Link" + std::to_string(n++));
        if (c.atTarget)
            WriteFileBytes(written, oldBytes);
        if (c.tag == 0 && !MakeUnixSymlink(link, c.atTarget ? written : data))
            GTEST_SKIP() << "no symbolic link can be made here";
        if (c.tag != 0)
            CreateDirectoryA(link.c_str(), nullptr);
        g_linkName.assign(link.begin() + link.rfind('\\'), link.end());
        g_linkTag = c.tag;
        g_linkTo = c.to;
        g_linkRelative = c.to[0] != L'\\' || c.to[1] != L'?';
        ScopedOthersOwnership security(c.security ? (c.tag == 0 ? data : link) : "<nobody>",
                                       c.security ? c.security : "");
        CFileException error;
        EXPECT_EQ(c.followed, Install(c.atTarget ? link : link + "\\New.mdb", newBytes, &error))
            << error.m_lOsError;
        if (!c.followed)
        {
            EXPECT_EQ(448, error.m_lOsError) << "ERROR_UNTRUSTED_MOUNT_POINT, as the system says it";
            EXPECT_FALSE(FileExists(written));
        }
        else
            EXPECT_EQ(newBytes, ReadFileBytes(written));
        if (c.tag == 0)
            RemoveUnixSymlink(link);
        DeleteFileA(written.c_str());
    }
}

TEST_F(AtomicFile, APrivilegedRunHoldsTheWayAndWritesNothingThatOpensElsewhere)
{
    // Every folder on the way is held without delete sharing until the file is done with (Wine does not
    // enforce sharing on folders, so what is asked is checked).
    ScopedPrivilegedRun privileged;
    static std::vector<std::pair<HANDLE, DWORD>> held;
    static std::vector<HANDLE> closed;
    held.clear();
    ScopedSysCall open(
        sys.CreateFileW,
        +[](LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD creation, DWORD flags,
            HANDLE tmpl) WINAPI -> HANDLE {
            HANDLE file = kRealSystemCalls.CreateFileW(name, access, share, sa, creation, flags, tmpl);
            const DWORD attributes = GetFileAttributesW(name);
            if ((flags & FILE_FLAG_OPEN_REPARSE_POINT) && attributes != INVALID_FILE_ATTRIBUTES &&
                (attributes & FILE_ATTRIBUTE_DIRECTORY))
                held.emplace_back(file, share);
            return file;
        });
    ScopedSysCall close(
        sys.CloseHandle, +[](HANDLE handle) WINAPI {
            closed.push_back(handle);
            return kRealSystemCalls.CloseHandle(handle);
        });
    CreateDirectoryA((dir / "Sub").c_str(), nullptr);
    {
        CAtomicFile file;
        CFileException error;
        ASSERT_TRUE(file.Open((dir / "Sub\\New.mdb").c_str(), &error));
        ASSERT_GE(held.size(), 3u) << "the temporary folder's, dir and Sub at least";
        for (const auto& [handle, share] : held)
        {
            EXPECT_FALSE(share & FILE_SHARE_DELETE);
            EXPECT_EQ(closed.end(), std::find(closed.begin(), closed.end(), handle)) << "let go too soon";
        }
    }
    for (const auto& folder : held)
        EXPECT_NE(closed.end(), std::find(closed.begin(), closed.end(), folder.first)) << "never let go";
    RemoveDirectoryA((dir / "Sub").c_str());

    // A folder swapped for a junction once the way was checked sends what is opened there elsewhere: the
    // target, or the temporary file where there is no target yet. Nothing is written then.
    sys.CloseHandle = kRealSystemCalls.CloseHandle;
    sys.CreateFileW = kRealSystemCalls.CreateFileW;
    static const wchar_t* sent = L"<nothing>";
    ScopedSysCall elsewhere(
        sys.GetFinalPathNameByHandleW, +[](HANDLE file, LPWSTR path, DWORD cch, DWORD flags) WINAPI -> DWORD {
            const std::wstring real = NameOf(file);
            if (!EndsWith(real, sent))
                return kRealSystemCalls.GetFinalPathNameByHandleW(file, path, cch, flags);
            const std::wstring there = L"\\\\?\\C:\\Windows" + real.substr(real.rfind(L'\\'));
            if (cch > there.size())
                wcscpy(path, there.c_str());
            return (DWORD)there.size() + (cch > there.size() ? 0 : 1);
        });
    for (bool existing : {true, false})
    {
        SCOPED_TRACE(existing ? "the target" : "the temporary file");
        DeleteFileA(target.c_str());
        if (existing)
            WriteFileBytes(target, oldBytes);
        CTargetFolder folder;
        DWORD folderError;
        wchar_t* path = LongFullPath(target.c_str());
        ASSERT_TRUE(folder.Open(path, FALSE, &folderError));
        free(path);
        sent = existing ? L"New.mdb" : L".installing";
        CAtomicFile file;
        CFileException error;
        EXPECT_FALSE(file.Open(target.c_str(), &error, nullptr, &folder));
        EXPECT_EQ(448, error.m_lOsError);
        sent = L"<nothing>";
        EXPECT_EQ(existing ? oldBytes : Bytes(), existing ? ReadFileBytes(target) : Bytes());
        EXPECT_TRUE(Leftovers().empty());
    }
    // Nor is a killed run's leftover removed where its name now leads elsewhere.
    const std::string leftover = "New.mdb.0123456789ABCDEF.installing";
    WriteFileBytes(dir / leftover, Bytes(1, 1));
    sent = L".0123456789ABCDEF.installing";
    CTargetFolder folder;
    DWORD folderError;
    wchar_t* path = LongFullPath(target.c_str());
    ASSERT_TRUE(folder.Open(path, FALSE, &folderError));
    free(path);
    CAtomicFile file;
    CFileException error;
    EXPECT_TRUE(file.Open(target.c_str(), &error, nullptr, &folder));
    EXPECT_TRUE(FileExists(dir / leftover));
}

namespace
{
// The names the table gives a file (Wine keeps no list of them): the folders they are in, and the names.
std::vector<std::pair<LONGLONG, std::wstring>> g_names;
LONG WINAPI ListedNames(HANDLE, PVOID, PVOID info, ULONG size, ULONG infoClass)
{
    if (infoClass != 46) // FileHardLinkInformation
        return (LONG)0xC0000003;
    BYTE* out = (BYTE*)info;
    memset(out, 0, size);
    // Too small a buffer is answered with the size needed, as a file of many names would be.
    if (size < 8192)
    {
        *(ULONG*)out = 8192;
        return (LONG)0x80000005; // STATUS_BUFFER_OVERFLOW
    }
    ((ULONG*)out)[1] = (ULONG)g_names.size();
    BYTE* entry = out + 8;
    for (size_t i = 0; i < g_names.size(); i++)
    {
        // The offset to the next entry, the folder's file id, the name's length in characters, the name.
        const ULONG cb = 24 + (ULONG)g_names[i].second.size() * 2;
        *(ULONG*)entry = i + 1 < g_names.size() ? (cb + 7) & ~7u : 0;
        *(LONGLONG*)(entry + 8) = g_names[i].first;
        *(ULONG*)(entry + 16) = (ULONG)g_names[i].second.size();
        memcpy(entry + 20, g_names[i].second.data(), g_names[i].second.size() * 2);
        entry += (cb + 7) & ~7u;
    }
    return 0;
}

HANDLE WINAPI NotDeletable(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD creation,
                           DWORD flags, HANDLE tmpl)
{
    if (creation == OPEN_EXISTING && (access & DELETE) && (access & GENERIC_WRITE))
    {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return kRealSystemCalls.CreateFileW(name, access, share, sa, creation, flags, tmpl);
}

LONGLONG FolderIndex(const std::string& folder)
{
    HANDLE file = CreateFileA(folder.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION info = {};
    GetFileInformationByHandle(file, &info);
    CloseHandle(file);
    return (LONGLONG)((ULONGLONG)info.nFileIndexHigh << 32 | info.nFileIndexLow);
}
} // namespace

TEST_F(AtomicFile, APrivilegedRunWritesThroughNoNameAUserMayHaveGivenAFileOfAnotherFolder)
{
    const char* const kUsersMayAdd = "O:BAD:(A;;FA;;;BA)(A;;0x1301BF;;;BU)";
    // A user who may add names to the target's folder could have made the target a second name of a file
    // elsewhere that he cannot write: the run would write it.
    ScopedTempDir elsewhere{"names"};
    const std::string victim = elsewhere / "System.dat";
    ScopedPrivilegedRun privileged;
    ScopedSysCall names(sys.NtQueryInformationFile, ListedNames);
    const struct
    {
        const char* names;
        bool otherFolder;
        const char* folderSecurity; // as the table gives it; null: as the system does
        bool written, deletable;
    } cases[] = {
        {"all in the target's folder", false, nullptr, true, true},
        {"one elsewhere, in a folder users may add names to", true, kUsersMayAdd, false, true},
        {"one elsewhere, the file written in place as one the run may not delete", true, kUsersMayAdd, false,
         false},
        {"one elsewhere, in a folder only administrators may name files in", true,
         "O:BAD:(A;;FA;;;BA)(A;;FA;;;SY)(A;;0x1200A9;;;BU)(A;OICIIO;FA;;;CO)", true, true},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.names);
        ScopedSysCall deletion(sys.CreateFileW, c.deletable ? kRealSystemCalls.CreateFileW : NotDeletable);
        DeleteFileA(target.c_str());
        WriteFileBytes(victim, oldBytes);
        ASSERT_TRUE(CreateHardLinkA(target.c_str(), victim.c_str(), nullptr));
        ScopedOthersOwnership security(c.folderSecurity ? dir.path() : "<nobody>",
                                       c.folderSecurity ? c.folderSecurity : "");
        g_names = {{FolderIndex(dir.path()), L"New.mdb"},
                   {FolderIndex(c.otherFolder ? elsewhere.path() : dir.path()), L"Other.mdb"}};
        CFileException error;
        EXPECT_EQ(c.written, Install(target, newBytes, &error));
        EXPECT_EQ(c.written ? newBytes : oldBytes, ReadFileBytes(victim));
        if (!c.written)
        {
            EXPECT_EQ(ERROR_CANT_ACCESS_FILE, error.m_lOsError);
        }
    }
}
