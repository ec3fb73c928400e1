// Replacing the database in one step: whatever fails, the previous file stays byte for byte, and no
// temporary file is left behind; the file keeps its permissions, attributes and links. Holders are real
// second processes; a full disk, failing flushes and brief opens by other software come through the
// system-call table, whose waits between tries are counted instead of waited.
#include "platform/CAtomicFile.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace qbtest;

namespace
{
int g_sleeps;

class AtomicFile : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_sleeps = 0;
        sys.Sleep = [](DWORD) WINAPI { ++g_sleeps; };
    }
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
HANDLE WINAPI TargetOpenRefused(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
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
    return kRealSystemCalls.CreateFileA(name, access, share, sa, creation, flags, tmpl);
}
HANDLE WINAPI TemporaryCreationRefused(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                                       DWORD creation, DWORD flags, HANDLE tmpl)
{
    if (Refused())
        return INVALID_HANDLE_VALUE;
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
    EXPECT_EQ(4u << 20, largestWrite);
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
            sys.CreateFileA,
            +[](LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD creation, DWORD flags,
                HANDLE tmpl) WINAPI -> HANDLE {
                if (creation == OPEN_EXISTING && (access & GENERIC_WRITE))
                {
                    SetLastError(ERROR_ACCESS_DENIED);
                    return INVALID_HANDLE_VALUE;
                }
                return kRealSystemCalls.CreateFileA(name, access, share, sa, creation, flags, tmpl);
            });
        // Refused on a file marked read-only is final; refused otherwise, it may be a scanner's look.
        SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_READONLY);
        EXPECT_FALSE(file.Open(target.c_str(), &error));
        EXPECT_EQ(ERROR_ACCESS_DENIED, error.m_lOsError);
        EXPECT_EQ(0, g_sleeps);
        SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
        EXPECT_FALSE(file.Open(target.c_str(), &error));
        EXPECT_EQ(ERROR_ACCESS_DENIED, error.m_lOsError);
        EXPECT_EQ(8, g_sleeps);
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
        {"opening the target", [] { sys.CreateFileA = TargetOpenRefused; }},
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
                g_sleeps = 0;
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
                EXPECT_EQ(refusals < 8 ? refusals : 8, g_sleeps);
                EXPECT_TRUE(Leftovers().empty());
                sys = kRealSystemCalls;
                sys.Sleep = [](DWORD) WINAPI { ++g_sleeps; };
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
    auto fileIndex = [](const std::string& path) {
        HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
        BY_HANDLE_FILE_INFORMATION info = {};
        GetFileInformationByHandle(file, &info);
        CloseHandle(file);
        return ((ULONGLONG)info.nFileIndexHigh << 32) | info.nFileIndexLow;
    };
    const ULONGLONG index = fileIndex(target);

    // A user who may change the file but not delete it, as replacing it would.
    {
        ScopedSysCall noDelete(
            sys.CreateFileA,
            +[](LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD creation, DWORD flags,
                HANDLE tmpl) WINAPI -> HANDLE {
                if (access & DELETE)
                {
                    SetLastError(ERROR_ACCESS_DENIED);
                    return INVALID_HANDLE_VALUE;
                }
                return kRealSystemCalls.CreateFileA(name, access, share, sa, creation, flags, tmpl);
            });
        ASSERT_TRUE(Install(target, newBytes, &error));
        EXPECT_EQ(newBytes, ReadFileBytes(target));
        EXPECT_EQ(index, fileIndex(target));
        EXPECT_EQ(0, g_sleeps);
    }

    // A user who may change the file but create nothing in its folder.
    ScopedSysCall closed(
        sys.CreateFileW,
        +[](LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) WINAPI -> HANDLE {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        });
    ASSERT_TRUE(Install(target, oldBytes, &error));
    EXPECT_EQ(oldBytes, ReadFileBytes(target));
    EXPECT_EQ(index, fileIndex(target));
    EXPECT_TRUE(Leftovers().empty());
    // Where there is no file to write in place, the folder's refusal is the failure.
    DeleteFileA(target.c_str());
    EXPECT_FALSE(Install(target, newBytes, &error));
    EXPECT_EQ(ERROR_ACCESS_DENIED, error.m_lOsError);
    EXPECT_FALSE(FileExists(target));
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

    CFileException error;
    ASSERT_TRUE(Install(target, newBytes, &error)) << error.m_lOsError;
    EXPECT_EQ(newBytes, ReadFileBytes(target));
    EXPECT_EQ(modify, EveryoneAccess(target) & modify) << std::hex << EveryoneAccess(target);
    const DWORD attributes = GetFileAttributesA(target.c_str());
    EXPECT_EQ(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM,
              attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    // Wine keeps no creation time of its own, so what the system was asked to keep is checked.
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

TEST_F(AtomicFile, PermissionsThatCannotBeCarriedOverFailTheWrite)
{
    WriteFileBytes(target, oldBytes);
    ScopedSysCall failing(
        sys.SetSecurityInfo,
        +[](HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID, PSID, PACL, PACL)
             WINAPI -> DWORD { return ERROR_PRIVILEGE_NOT_HELD; });
    CFileException error;
    EXPECT_FALSE(Install(target, newBytes, &error));
    EXPECT_EQ(ERROR_PRIVILEGE_NOT_HELD, error.m_lOsError);
    EXPECT_EQ(oldBytes, ReadFileBytes(target));
    EXPECT_TRUE(Leftovers().empty());
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

TEST_F(AtomicFile, ASystemThatCannotMoveAFileByItsHandleMovesItByName)
{
    WriteFileBytes(target, oldBytes);
    ScopedSysCall byHandle(sys.SetFileInformationByHandle, MoveRefused);
    g_refusals = 1;
    g_refusal = ERROR_INVALID_PARAMETER;
    CFileException error;
    ASSERT_TRUE(Install(target, newBytes, &error)) << error.m_lOsError;
    EXPECT_EQ(newBytes, ReadFileBytes(target));
    EXPECT_TRUE(Leftovers().empty());
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
    EXPECT_EQ(8, g_sleeps) << "tried again and again while held";
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
