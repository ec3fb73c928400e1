// Replacing the database in one step: whatever fails, the previous file stays byte for byte, and no
// temporary file is left behind. Holders are real second processes; a full disk and failing flushes
// come through the system-call table.
#include "platform/CAtomicFile.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace qbtest;

namespace
{
class AtomicFile : public ::testing::Test
{
protected:
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
        EXPECT_FALSE(file.Open(target.c_str(), &error));
        EXPECT_EQ(ERROR_ACCESS_DENIED, error.m_lOsError);
    }
    EXPECT_EQ(oldBytes, ReadFileBytes(target));

    EXPECT_FALSE(file.Open((dir / "Missing\\New.mdb").c_str(), &error));
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, error.m_lOsError);
    EXPECT_FALSE(file.Open("", &error));
    EXPECT_TRUE(Leftovers().empty());
}

namespace
{
// Another process takes the target in the moment between the write and the move.
FileHolder* g_lateHolder;
bool g_takenOnce;
std::string g_lateTarget;
BOOL WINAPI MoveWhileTaken(LPCSTR lpExisting, LPCSTR lpNew, DWORD dwFlags)
{
    if (!g_takenOnce)
        g_lateHolder = new FileHolder(g_lateTarget);
    g_takenOnce = true;
    return kRealSystemCalls.MoveFileExA(lpExisting, lpNew, dwFlags);
}
} // namespace

TEST_F(AtomicFile, ATargetTakenBeforeTheMoveCanBeReplacedOnceReleased)
{
    WriteFileBytes(target, oldBytes);
    g_lateTarget = target;
    g_takenOnce = false;
    ScopedSysCall late(sys.MoveFileExA, MoveWhileTaken);

    CFileException error;
    CAtomicFile file;
    ASSERT_TRUE(file.Open(target.c_str(), &error));
    ASSERT_TRUE(file.Write(newBytes.data(), (DWORD)newBytes.size(), &error));
    EXPECT_FALSE(file.Replace(&error));
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
    WriteFileBytes((const char*)CAtomicFile::TemporaryPathFor(target.c_str()), PatternBytes(123, 9));
    CFileException error;
    ASSERT_TRUE(Install(target, newBytes, &error));
    EXPECT_EQ(newBytes, ReadFileBytes(target));
    EXPECT_TRUE(Leftovers().empty());
}
