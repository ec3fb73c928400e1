// The install procedure when the disk fills up, the host takes the file back at the last moment, the
// date cannot be recorded, or nobody can see the screen: failures Wine cannot produce on demand,
// provoked through the system-call table.
#include "DialogHarness.h"
#include "Packages.h"
#include "platform/CFile.h"
#include "platform/RedirectionGuard.h"

#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>

using namespace qbtest;

namespace
{
class InstallFaults : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ForgetExampleHost();
        SetRegString(HKEY_CURRENT_USER, kSettingsKey, "CheminBaseTarif", target);
        SetRegString(HKEY_CURRENT_USER, kSettingsKey, "CheminTarifsMgr", "Stale.dat");
        WriteFileBytes(target, oldBytes);
        WriteFileBytes(dir / "Stale.dat", Bytes(1, 1));
        package = MakePackage(dir.path(), ExampleContents(payload));
    }
    void TearDown() override
    {
        sys = kRealSystemCalls;
        ForgetExampleHost();
    }

    // Nothing was done: the old file, the stale file, no date and no temporary file.
    void ExpectNothingChanged()
    {
        EXPECT_EQ(oldBytes, ReadFileBytes(target));
        EXPECT_TRUE(FileExists(dir / "Stale.dat"));
        EXPECT_TRUE(TemporaryFilesOf(target).empty());
        Bytes date;
        EXPECT_FALSE(ReadRegValue(HKEY_LOCAL_MACHINE, kCountryKey, "date_creation_tarif", &date));
    }

    // Answers the exit question with Yes.
    static void Leave(HWND window)
    {
        PostMessageA(window, WM_COMMAND, IDCANCEL, 0);
        HWND question = FindOwnWindow("dialog_tests");
        ASSERT_NE(nullptr, question);
        PostMessageA(question, WM_COMMAND, IDYES, 0);
    }

    ScopedTempDir dir{"faults"};
    const std::string target = dir / "Tarif.mdb";
    const Bytes oldBytes = JetDatabase(100000, 3);
    const Bytes payload = JetDatabase(704512, 4);
    std::string package;
};

std::string SystemText(DWORD error)
{
    CFileException e;
    e.m_lOsError = (LONG)error;
    char text[255];
    e.GetErrorMessage(text, sizeof text);
    return text;
}

BOOL WINAPI DiskFullWriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nToWrite, LPDWORD lpWritten,
                              LPOVERLAPPED lpOv)
{
    // As Wine reports a full volume: success, with less written than asked.
    return kRealSystemCalls.WriteFile(hFile, lpBuffer, nToWrite > 4096 ? 4096 : nToWrite / 2, lpWritten,
                                      lpOv);
}

BOOL WINAPI InvisibleStation(HANDLE, int index, PVOID info, DWORD size, LPDWORD needed)
{
    // What a service or the system account in session 0 finds: a window station nobody sees.
    if (index != UOI_FLAGS || size < sizeof(USEROBJECTFLAGS))
        return FALSE;
    *(USEROBJECTFLAGS*)info = USEROBJECTFLAGS{FALSE, 0, 0};
    *needed = sizeof(USEROBJECTFLAGS);
    return TRUE;
}

LONG WINAPI DateRefused(HKEY, LPCSTR, DWORD, DWORD, const BYTE*, DWORD)
{
    return ERROR_ACCESS_DENIED;
}

// The host takes the file back for longer than the installer's own short retries, which are not waited.
bool g_refuseMoves;
BOOL WINAPI MoveFileTakenByHost(HANDLE hFile, FILE_INFO_BY_HANDLE_CLASS infoClass, LPVOID pInfo, DWORD cbInfo)
{
    if (infoClass == FileRenameInfo && g_refuseMoves)
    {
        SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    return kRealSystemCalls.SetFileInformationByHandle(hFile, infoClass, pInfo, cbInfo);
}
} // namespace

TEST_F(InstallFaults, AFullDiskIsReportedAndTheDialogStaysWithTheOldFileIntact)
{
    ScopedPackageResources resources(package);
    ScopedSysCall full(sys.WriteFile, DiskFullWriteFile);
    TestDlg dlg;
    std::string message;
    bool stayed = false, installStillShown = false;
    int status = RunDialog(dlg, [&](HWND window) {
        PostMessageA(window, WM_COMMAND, IDOK, 0);
        HWND box = FindOwnWindow("dialog_tests");
        ASSERT_NE(nullptr, box);
        message = MessageText(box);
        PostMessageA(box, WM_COMMAND, IDOK, 0);
        Sleep(300);
        stayed = IsWindowVisible(window) != FALSE;
        installStillShown = IsWindowVisible(GetDlgItem(window, IDOK)) != FALSE;
        Leave(window);
    });

    std::string start = "Couldn't write file " + target + "\n(";
    EXPECT_EQ(start, message.substr(0, start.size()));
    EXPECT_NE(std::string::npos, message.find("(" + SystemText(ERROR_DISK_FULL) + ")")) << message;
    EXPECT_TRUE(stayed);
    EXPECT_TRUE(installStillShown);
    EXPECT_EQ(1, status) << "left by the user afterwards";
    ExpectNothingChanged();
}

TEST_F(InstallFaults, AFullDiskEndsAnUnattendedRunSilentlyWithStatus5)
{
    ScopedPackageResources resources(package);
    ScopedSysCall full(sys.WriteFile, DiskFullWriteFile);
    TestDlg dlg;
    dlg.m_bUnattended = TRUE;
    EXPECT_EQ(5, RunDialog(dlg, nullptr));
    ExpectNothingChanged();
}

namespace
{
// A write in place (the target has a second name) that fails half-way: the next g_targetWritesFailing writes
// to the target fail (99: every one, putting the previous contents back included).
int g_targetWritesFailing;
bool IsTarget(HANDLE file)
{
    wchar_t name[1024] = L"";
    GetFinalPathNameByHandleW(file, name, ARRAYSIZE(name), VOLUME_NAME_DOS);
    return wcsstr(name, L".previous") == nullptr && wcsstr(name, L".installing") == nullptr;
}
BOOL WINAPI WriteInPlaceFails(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    if (!IsTarget(file) || g_targetWritesFailing == 0)
        return kRealSystemCalls.WriteFile(file, data, size, written, overlapped);
    if (g_targetWritesFailing < 99)
        --g_targetWritesFailing;
    kRealSystemCalls.WriteFile(file, data, size / 2, written, overlapped);
    SetLastError(ERROR_IO_DEVICE);
    return FALSE;
}

std::vector<std::string> PreviousCopies(const ScopedTempDir& dir)
{
    std::vector<std::string> copies;
    for (const std::string& name : ListFolder(dir.path()))
        if (name.find(".previous") != std::string::npos)
            copies.push_back(dir / name);
    return copies;
}

// Presses Install and answers the box that comes with OK; its text.
std::string InstallAndAnswer(HWND window)
{
    PostMessageA(window, WM_COMMAND, IDOK, 0);
    HWND box = FindOwnWindow("dialog_tests");
    if (box == nullptr)
        return "no box";
    std::string text = MessageText(box);
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    while (IsWindow(box))
        Sleep(20);
    return text;
}
} // namespace

TEST_F(InstallFaults, AWriteInPlaceThatCannotBePutBackSaysWhereThePreviousDatabaseIs)
{
    ScopedPackageResources resources(package);
    ASSERT_TRUE(CreateHardLinkA((dir / "Other.mdb").c_str(), target.c_str(), nullptr));
    ScopedSysCall failing(sys.WriteFile, WriteInPlaceFails);
    {
        // Damaged, then a second attempt that fails too: what is put back is what the file had before the
        // first attempt, from the first attempt's copy, not the damaged bytes.
        g_targetWritesFailing = 99;
        TestDlg dlg;
        std::string damaged, second;
        std::vector<std::string> copies;
        int status = RunDialog(dlg, [&](HWND window) {
            damaged = InstallAndAnswer(window);
            copies = PreviousCopies(dir);
            g_targetWritesFailing = 1;
            second = InstallAndAnswer(window);
            Leave(window);
        });
        ASSERT_EQ(1u, copies.size());
        EXPECT_EQ(
            "Couldn't write file " + target + "\n(" + SystemText(ERROR_IO_DEVICE) +
                ")\nThe file is damaged, and its previous contents could not be put back: they are kept in " +
                copies[0] + ".",
            damaged);
        EXPECT_EQ("Couldn't write file " + target + "\n(" + SystemText(ERROR_IO_DEVICE) +
                      ")\nThe file has been put back as it was before the first attempt.",
                  second);
        EXPECT_EQ(oldBytes, ReadFileBytes(target));
        EXPECT_TRUE(PreviousCopies(dir).empty()) << "the copy goes once the file is whole again";
        EXPECT_EQ(1, status) << "left by the user, the file whole";
    }
    g_targetWritesFailing = 99;
    TestDlg dlg;
    dlg.m_bUnattended = TRUE;
    EXPECT_EQ(7, RunDialog(dlg, nullptr));
    ASSERT_EQ(1u, PreviousCopies(dir).size());
    EXPECT_EQ(oldBytes, ReadFileBytes(PreviousCopies(dir)[0]));
    EXPECT_TRUE(FileExists(dir / "Stale.dat"));
}

TEST_F(InstallFaults, ADamagedFileEndsTheRunWithStatus7HoweverTheRunGoesOn)
{
    ScopedPackageResources resources(package);
    ASSERT_TRUE(CreateHardLinkA((dir / "Other.mdb").c_str(), target.c_str(), nullptr));
    ScopedSysCall failing(sys.WriteFile, WriteInPlaceFails);
    ScopedSysCall noWaits(
        sys.Sleep, +[](DWORD) WINAPI {});
    const std::function<void(HWND)> endings[] = {
        [](HWND window) { Leave(window); },
        [&](HWND window) {
            // Dravik takes the file; the user gives up at the retry question.
            FileHolder host(target);
            PostMessageA(window, WM_COMMAND, IDOK, 0);
            HWND question = FindOwnWindow("dialog_tests");
            ASSERT_NE(nullptr, question);
            PostMessageA(question, WM_COMMAND, IDCANCEL, 0);
            while (IsWindow(window))
                Sleep(20);
        },
        [&](HWND window) {
            // The damaged file is deleted, and the next attempt fails: nothing was put back, the copy is
            // named.
            DeleteFileA(target.c_str());
            sys.WriteFile = DiskFullWriteFile;
            EXPECT_NE(std::string::npos, InstallAndAnswer(window).find(PreviousCopies(dir)[0]));
            Leave(window);
        },
    };
    for (const auto& end : endings)
    {
        WriteFileBytes(target, oldBytes);
        g_targetWritesFailing = 99;
        TestDlg dlg;
        EXPECT_EQ(7, RunDialog(dlg, [&](HWND window) {
                      InstallAndAnswer(window);
                      end(window);
                  }));
        ASSERT_EQ(1u, PreviousCopies(dir).size());
        EXPECT_EQ(oldBytes, ReadFileBytes(PreviousCopies(dir)[0]));
        DeleteFileA(PreviousCopies(dir)[0].c_str());
    }
}

namespace
{
// Every byte of the new database is written, then the connection drops: the flush fails, and nothing reaches
// the file any more, its previous bytes included.
bool g_dropped;
BOOL WINAPI FlushDrops(HANDLE file)
{
    g_dropped = g_dropped || IsTarget(file);
    SetLastError(ERROR_NOT_READY);
    return !g_dropped && kRealSystemCalls.FlushFileBuffers(file);
}
BOOL WINAPI SetEndOfFileDropped(HANDLE file)
{
    SetLastError(ERROR_NOT_READY);
    return !(g_dropped && IsTarget(file)) && kRealSystemCalls.SetEndOfFile(file);
}
// The target's folder takes no new file; the temporary folder, named with a barred L, does.
HANDLE WINAPI CopyOnlyInTemp(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                             DWORD creation, DWORD flags, HANDLE tmpl)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return creation == CREATE_NEW && wcschr(name, L'\u0141') == nullptr
               ? INVALID_HANDLE_VALUE
               : kRealSystemCalls.CreateFileW(name, access, share, sa, creation, flags, tmpl);
}
} // namespace

TEST_F(InstallFaults, AnAttemptAfterADamagingOneThatWorksEndsWith0AndLeavesNoCopy)
{
    // The copy may lie where a path in the system's code page cannot lead (this program runs in the Western
    // one).
    ScopedPackageResources resources(package);
    ASSERT_TRUE(CreateHardLinkA((dir / "Other.mdb").c_str(), target.c_str(), nullptr));
    ScopedSysCall failing(sys.WriteFile, WriteInPlaceFails);
    const std::wstring temp = std::wstring(dir.path().begin(), dir.path().end()) + L"\\\u0141\u00f3d\u017a";
    ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
    wchar_t tmp[MAX_PATH] = L"";
    GetEnvironmentVariableW(L"TMP", tmp, MAX_PATH);
    SetEnvironmentVariableW(L"TMP", temp.c_str());
    const struct
    {
        const char* damage;
        std::function<void()> provoke;
    } cases[] = {
        {"the write fails half-way", [] { g_targetWritesFailing = 99; }},
        {"all is written, then the connection drops",
         [] { sys.FlushFileBuffers = FlushDrops, sys.SetEndOfFile = SetEndOfFileDropped; }},
        {"the same as the first, the copy in a temporary folder",
         [] { g_targetWritesFailing = 99, sys.CreateFileW = CopyOnlyInTemp; }},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.damage);
        WriteFileBytes(target, oldBytes);
        const SystemCalls withThePackage = sys;
        TestDlg dlg;
        std::string retried;
        const int status = RunDialog(dlg, [&](HWND window) {
            c.provoke();
            InstallAndAnswer(window);
            sys = withThePackage, g_targetWritesFailing = 0, g_dropped = false;
            retried = InstallAndAnswer(window);
        });
        EXPECT_EQ("Pricelist successfully installed", retried);
        EXPECT_EQ(0, status);
        EXPECT_EQ(payload, ReadFileBytes(target));
        EXPECT_TRUE(PreviousCopies(dir).empty());
    }
    SetEnvironmentVariableW(L"TMP", tmp);
    EXPECT_TRUE(RemoveDirectoryW(temp.c_str())) << "the copy in the temporary folder is gone too";
}

TEST_F(InstallFaults, ADamagedPackageReadsNothingOfTheHostsSettings)
{
    PackageContents contents = ExampleContents(payload);
    contents.raw.push_back({"SUM:142", Bytes{'Q', 'B', 'I', 1, 0, 0, 0, 0}});
    ScopedPackageResources resources(MakePackage(dir.path(), contents, "Damaged.exe"));
    TestDlg dlg;
    EXPECT_TRUE(dlg.m_strTargetPath.IsEmpty()) << (const char*)dlg.m_strTargetPath;
    dlg.m_bUnattended = TRUE;
    EXPECT_EQ(3, RunDialog(dlg, nullptr));
    ExpectNothingChanged();
}

namespace
{
// After the move, the flush that puts it on the disk fails.
BOOL WINAPI MoveNotFlushed(HANDLE file)
{
    wchar_t name[1024] = L"";
    GetFinalPathNameByHandleW(file, name, ARRAYSIZE(name), VOLUME_NAME_DOS);
    if (wcsstr(name, L".installing") != nullptr)
        return kRealSystemCalls.FlushFileBuffers(file);
    SetLastError(ERROR_IO_DEVICE);
    return FALSE;
}
BOOL WINAPI MoveFailsOnTheDevice(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, LPVOID info, DWORD size)
{
    if (infoClass != FileRenameInfo)
        return kRealSystemCalls.SetFileInformationByHandle(file, infoClass, info, size);
    SetLastError(ERROR_IO_DEVICE);
    return FALSE;
}
HANDLE WINAPI NoRoomForANewFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                                DWORD creation, DWORD flags, HANDLE tmpl)
{
    if (creation == CREATE_NEW)
    {
        SetLastError(ERROR_DISK_FULL);
        return INVALID_HANDLE_VALUE;
    }
    return kRealSystemCalls.CreateFileW(name, access, share, sa, creation, flags, tmpl);
}
} // namespace

TEST_F(InstallFaults, AWriteThatFailsEndsAnUnattendedRunWithStatus5NotARetry)
{
    ScopedPackageResources resources(package);
    const struct
    {
        const char* failure;
        std::function<void()> provoke;
        bool replaced; // the new file took the target's place, but that may not be on the disk
    } cases[] = {
        {"no room for the temporary file", [] { sys.CreateFileW = NoRoomForANewFile; }, false},
        {"the move is not flushed", [] { sys.FlushFileBuffers = MoveNotFlushed; }, true},
        {"the move fails, nobody in the way",
         [] {
             sys.SetFileInformationByHandle = MoveFailsOnTheDevice;
             sys.MoveFileExW = +[](LPCWSTR, LPCWSTR, DWORD) WINAPI -> BOOL {
                 SetLastError(ERROR_IO_DEVICE);
                 return FALSE;
             };
         },
         false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.failure);
        WriteFileBytes(target, oldBytes);
        const SystemCalls withThePackage = sys;
        c.provoke();
        TestDlg dlg;
        dlg.m_bUnattended = TRUE;
        EXPECT_EQ(5, RunDialog(dlg, nullptr));
        sys = withThePackage;
        EXPECT_EQ(c.replaced ? payload : oldBytes, ReadFileBytes(target));
        EXPECT_TRUE(FileExists(dir / "Stale.dat"));
        EXPECT_FALSE(ReadRegValue(HKEY_LOCAL_MACHINE, kCountryKey, "date_creation_tarif", nullptr));
        EXPECT_TRUE(TemporaryFilesOf(target).empty());
    }
}

TEST_F(InstallFaults, DevicesAndNamedStreamsAreRefusedLikeTargetsThatCannotBeOpened)
{
    ScopedPackageResources resources(package);
    const std::vector<std::string> before = ListFolder(dir.path());
    // Refused before anything is made on the way: the folder New stays unmade.
    for (const std::string& path : {std::string("NUL"), dir / "COM1", target + ":x", dir / "New\\T.mdb:x"})
    {
        SCOPED_TRACE(path);
        SetRegString(HKEY_CURRENT_USER, kSettingsKey, "CheminBaseTarif", path);
        TestDlg dlg;
        dlg.m_bUnattended = TRUE;
        EXPECT_EQ(4, RunDialog(dlg, nullptr));
        ExpectNothingChanged();
        EXPECT_EQ(before, ListFolder(dir.path()));
    }
}

TEST_F(InstallFaults, AStaleFileThatCannotBeToldApartFromTheDatabaseStays)
{
    ScopedPackageResources resources(package);
    ScopedSysCall unknown(
        sys.GetFileInformationByHandle, +[](HANDLE, LPBY_HANDLE_FILE_INFORMATION) WINAPI -> BOOL {
            SetLastError(ERROR_INVALID_FUNCTION);
            return FALSE;
        });
    TestDlg dlg;
    dlg.m_bUnattended = TRUE;
    EXPECT_EQ(0, RunDialog(dlg, nullptr));
    EXPECT_EQ(payload, ReadFileBytes(target));
    EXPECT_TRUE(FileExists(dir / "Stale.dat"));
}

TEST_F(InstallFaults, AFileTakenBeforeTheReplacementBringsTheRetryQuestion)
{
    ScopedPackageResources resources(package);
    ScopedSysCall taken(sys.SetFileInformationByHandle, MoveFileTakenByHost);
    ScopedSysCall noWaits(
        sys.Sleep, +[](DWORD) WINAPI {});
    g_refuseMoves = true;
    TestDlg dlg;
    std::string question, done;
    int status = RunDialog(dlg, [&](HWND window) {
        PostMessageA(window, WM_COMMAND, IDOK, 0);
        HWND box = FindOwnWindow("dialog_tests");
        ASSERT_NE(nullptr, box);
        question = MessageText(box);
        g_refuseMoves = false;
        PostMessageA(box, WM_COMMAND, IDRETRY, 0);
        while (IsWindow(box))
            Sleep(20);
        box = FindOwnWindow("dialog_tests");
        ASSERT_NE(nullptr, box);
        done = MessageText(box);
        PostMessageA(box, WM_COMMAND, IDOK, 0);
    });
    EXPECT_EQ(0u, question.find("Couldn't open file " + target + "\n("));
    EXPECT_NE(std::string::npos, question.find(")\nPlease close Dravik before installing this pricelist"));
    EXPECT_EQ("Pricelist successfully installed", done);
    EXPECT_EQ(0, status);
    EXPECT_EQ(payload, ReadFileBytes(target));
    EXPECT_FALSE(FileExists(dir / "Stale.dat"));
}

TEST_F(InstallFaults, CancelAfterTheFileWasTakenKeepsTheOldOne)
{
    ScopedPackageResources resources(package);
    ScopedSysCall taken(sys.SetFileInformationByHandle, MoveFileTakenByHost);
    ScopedSysCall noWaits(
        sys.Sleep, +[](DWORD) WINAPI {});
    g_refuseMoves = true;
    TestDlg dlg;
    int status = RunDialog(dlg, [&](HWND window) {
        PostMessageA(window, WM_COMMAND, IDOK, 0);
        HWND box = FindOwnWindow("dialog_tests");
        ASSERT_NE(nullptr, box);
        PostMessageA(box, WM_COMMAND, IDCANCEL, 0);
    });
    EXPECT_EQ(4, status);
    ExpectNothingChanged();
}

TEST_F(InstallFaults, AnUnattendedRunGivesUpOnceTheFileIsTaken)
{
    ScopedPackageResources resources(package);
    ScopedSysCall taken(sys.SetFileInformationByHandle, MoveFileTakenByHost);
    ScopedSysCall noWaits(
        sys.Sleep, +[](DWORD) WINAPI {});
    g_refuseMoves = true;
    TestDlg dlg;
    dlg.m_bUnattended = TRUE;
    EXPECT_EQ(4, RunDialog(dlg, nullptr));
    ExpectNothingChanged();
}

TEST_F(InstallFaults, ADateThatCannotBeRecordedIsSaidInsteadOfSuccess)
{
    ScopedPackageResources resources(package);
    ScopedSysCall refused(sys.RegSetValueExA, DateRefused);
    {
        TestDlg dlg;
        std::string message;
        bool warned = false;
        int status = RunDialog(dlg, [&](HWND window) {
            PostMessageA(window, WM_COMMAND, IDOK, 0);
            HWND box = FindOwnWindow("dialog_tests");
            ASSERT_NE(nullptr, box);
            message = MessageText(box);
            for (HWND c = GetWindow(box, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT))
                if ((GetWindowLongA(c, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
                    warned = (HICON)SendMessageA(c, STM_GETICON, 0, 0) == LoadIconA(NULL, IDI_WARNING);
            PostMessageA(box, WM_COMMAND, IDOK, 0);
        });
        EXPECT_EQ("Pricelist installed, but its date could not be recorded in Dravik's settings\n(" +
                      SystemText(ERROR_ACCESS_DENIED) +
                      ")\nDravik will go on showing the date of the previous pricelist.",
                  message);
        EXPECT_TRUE(warned);
        EXPECT_EQ(6, status);
        EXPECT_EQ(payload, ReadFileBytes(target));
        EXPECT_FALSE(FileExists(dir / "Stale.dat"));
    }
    WriteFileBytes(target, oldBytes);
    TestDlg dlg;
    dlg.m_bUnattended = TRUE;
    EXPECT_EQ(6, RunDialog(dlg, nullptr)) << "installed, but the date was not recorded";
    EXPECT_EQ(payload, ReadFileBytes(target));
}

BOOL WINAPI SessionZero(DWORD, DWORD* session)
{
    *session = 0;
    return TRUE;
}

TEST_F(InstallFaults, NothingWaitsForAnAnswerWhereNobodySeesTheScreen)
{
    ScopedPackageResources resources(package);
    // A window station nobody sees; and session 0, where a service allowed to interact with the desktop
    // is on a visible station, but nobody logs on.
    const std::function<void()> nobodySees[] = {
        [] { sys.GetUserObjectInformationA = InvisibleStation; },
        [] { sys.ProcessIdToSessionId = SessionZero; },
    };
    for (const auto& makeInvisible : nobodySees)
    {
        makeInvisible();
        // Unattended and refused for the country: the status says it, no box waits.
        SetRegString(HKEY_LOCAL_MACHINE, kCountryKey, "Pays", "FR");
        SetRegString(HKEY_CURRENT_USER, kSettingsKey, "CheminBaseTarif", target);
        {
            TestDlg dlg;
            dlg.m_bUnattended = TRUE;
            EXPECT_EQ(2, RunDialog(dlg, nullptr));
        }
        // Unattended without a target: no save dialog.
        DeleteRegTree(HKEY_LOCAL_MACHINE, kCountryKey);
        DeleteRegTree(HKEY_CURRENT_USER, kSettingsKey);
        {
            TestDlg dlg;
            dlg.m_bUnattended = TRUE;
            EXPECT_EQ(4, RunDialog(dlg, nullptr));
        }
        ExpectNothingChanged();
        sys.GetUserObjectInformationA = kRealSystemCalls.GetUserObjectInformationA;
        sys.ProcessIdToSessionId = kRealSystemCalls.ProcessIdToSessionId;
    }
}

TEST_F(InstallFaults, APathThatCannotBeUsedIsSaidAndBrowseOfferedNothingIsTouched)
{
    // This test program runs in the Western code page, where a barred L would become a plain one; and a
    // relative path would land in whatever folder the run started in.
    ScopedPackageResources resources(package);
    char startedIn[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, startedIn);
    SetCurrentDirectoryA(dir.path().c_str());
    const std::wstring wideDir(dir.path().begin(), dir.path().end());
    const char notFull[] = "it is neither a full path from a drive (C:\\...) nor a network path "
                           "(\\\\server\\share\\...)";
    const struct
    {
        std::wstring stored;
        std::string shown;
        std::string reason;
    } cases[] = {
        {wideDir + L"\\\u0141\u00f3d\u017a\\Tarif.mdb",
         dir / "?\xf3"
               "d?\\Tarif.mdb",
         "its name holds characters that this system's code page cannot carry"},
        {L"Tarif.mdb", "Tarif.mdb", notFull},
        {wideDir.substr(0, 2) + L"Tarif.mdb", dir.path().substr(0, 2) + "Tarif.mdb", notFull},
    };
    const std::vector<std::string> before = ListFolder(dir.path());
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.shown);
        SetRegString(HKEY_CURRENT_USER, kSettingsKey, "CheminBaseTarif", c.stored);
        {
            TestDlg dlg;
            dlg.m_bUnattended = TRUE;
            EXPECT_EQ(4, RunDialog(dlg, nullptr));
        }
        TestDlg dlg;
        std::string message;
        bool installShown = true, browseShown = false;
        int status = RunDialog(dlg, [&](HWND window) {
            HWND box = FindOwnWindow("dialog_tests");
            ASSERT_NE(nullptr, box);
            message = MessageText(box);
            PostMessageA(box, WM_COMMAND, IDOK, 0);
            installShown = IsWindowVisible(GetDlgItem(window, IDOK)) != FALSE;
            browseShown = IsWindowVisible(GetDlgItem(window, IDC_BROWSE)) != FALSE;
            PostMessageA(window, WM_COMMAND, IDOK, 0); // Enter: nothing to install
            Sleep(200);
            Leave(window);
        });
        EXPECT_EQ("The pricelist cannot be installed in " + c.shown + "\n(" + c.reason +
                      ")\nPlease choose where to install it with Browse...",
                  message);
        EXPECT_FALSE(installShown);
        EXPECT_TRUE(browseShown);
        EXPECT_EQ(1, status);
        ExpectNothingChanged();
        EXPECT_EQ(before, ListFolder(dir.path()));
    }
    SetCurrentDirectoryA(startedIn);
}

TEST_F(InstallFaults, AFolderOf248CharactersOrMoreIsMadeAsAnyOther)
{
    // Windows makes such a folder only through the long-path form (its 8-bit folder functions never);
    // Wine has no such limit, so it is drawn here.
    ScopedPackageResources resources(package);
    ScopedSysCall windowsLimit(
        sys.CreateDirectoryW, +[](LPCWSTR path, LPSECURITY_ATTRIBUTES security) WINAPI -> BOOL {
            if (wcsncmp(path, L"\\\\?\\", 4) != 0 && wcslen(path) >= 248)
            {
                SetLastError(ERROR_FILENAME_EXCED_RANGE);
                return FALSE;
            }
            return kRealSystemCalls.CreateDirectoryW(path, security);
        });
    // So does a target beyond the 260 characters of the 8-bit file functions.
    const std::string longFolder = dir / std::string(248 - dir.path().size(), 'F');
    for (const std::string& longTarget :
         {longFolder + "\\New\\T.mdb", longFolder + "\\" + std::string(30, 'N') + "\\T.mdb"})
    {
        SCOPED_TRACE(longTarget.size());
        SetRegString(HKEY_CURRENT_USER, kSettingsKey, "CheminBaseTarif", longTarget);
        TestDlg dlg;
        dlg.m_bUnattended = TRUE;
        EXPECT_EQ(0, RunDialog(dlg, nullptr));
        EXPECT_EQ(payload, ReadFileBytes("\\\\?\\" + longTarget));
    }
}

TEST_F(InstallFaults, ASharedFolderRunFollowsNoLinkAnotherUserMadeThere)
{
    // Another user made the package's folder in the data folder all users share first, as a link into this
    // user's files: a standard user's run is as careful there as an administrator's.
    ScopedTempDir usersFiles{"users"};
    PackageContents contents = ExampleContents(payload);
    contents.sharedFolder = 1;
    contents.settingsKey = "Bel";
    contents.pathValue = "Planted";
    ScopedPackageResources resources(MakePackage(dir.path(), contents, "Shared.exe"));
    char common[MAX_PATH];
    ASSERT_TRUE(SHGetSpecialFolderPathA(nullptr, common, CSIDL_COMMON_APPDATA, FALSE));
    const std::string group = std::string(common) + "\\HalveroGroup";
    CreateDirectoryA(group.c_str(), nullptr);
    CreateDirectoryA((group + "\\PriceList").c_str(), nullptr);
    if (!MakeUnixSymlink(group + "\\PriceList\\CAT-Planted", usersFiles.path()))
        GTEST_SKIP() << "no symbolic link can be made here";
    {
        ScopedSysCall standardUser(
            sys.GetTokenInformation, +[](HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID info,
                                         DWORD size, PDWORD needed) WINAPI {
                BOOL got = kRealSystemCalls.GetTokenInformation(token, infoClass, info, size, needed);
                if (got && infoClass == TokenElevation)
                    ((TOKEN_ELEVATION*)info)->TokenIsElevated = FALSE;
                return got;
            });
        AfxGuardRedirections();
        ScopedOthersOwnership othersLink(usersFiles.path());
        TestDlg dlg;
        dlg.m_bUnattended = TRUE;
        EXPECT_EQ(4, RunDialog(dlg, nullptr));
        AfxGuardRedirections();
    }
    EXPECT_TRUE(ListFolder(usersFiles.path()).empty()) << "nothing made or written in the user's files";
    RemoveUnixSymlink(group + "\\PriceList\\CAT-Planted");
    RemoveTree(group);
}

TEST_F(InstallFaults, ACompressedDatabaseThatDecodesToOtherBytesIsAFailedWrite)
{
    // Checked whole at start, then read with one byte changed, as a share might serve it: the decoder
    // finds out only at the end of the write, which fails as any write does, replaced or in place.
    PackageContents contents = ExampleContents(payload);
    contents.compress = true;
    const std::string whole = MakePackage(dir.path(), contents, "Compressed.exe");
    Bytes bytes = ReadFileBytes(whole);
    // The payload is noise: the frame carries it as it is.
    auto at = std::search(bytes.begin(), bytes.end(), payload.begin() + 4096, payload.begin() + 4160);
    ASSERT_NE(bytes.end(), at);
    *at ^= 1;
    const std::string changed = dir / "Changed.exe";
    WriteFileBytes(changed, bytes);

    for (bool inPlace : {false, true})
    {
        SCOPED_TRACE(inPlace ? "written in place" : "replaced");
        if (inPlace)
        {
            ASSERT_TRUE(CreateHardLinkA((dir / "Other.mdb").c_str(), target.c_str(), nullptr));
        }
        std::optional<ScopedPackageResources> resources(std::in_place, whole);
        TestDlg dlg;
        std::string message;
        int status = RunDialog(dlg, [&](HWND window) {
            resources.reset();
            resources.emplace(changed);
            message = InstallAndAnswer(window);
            Leave(window);
        });
        EXPECT_EQ("Couldn't write file " + target + "\n(" + SystemText(ERROR_INVALID_DATA) +
                      ")\nThe file has been left as it was.",
                  message);
        EXPECT_EQ(1, status);
        ExpectNothingChanged();
        EXPECT_TRUE(PreviousCopies(dir).empty());
    }
}

namespace
{
ULONGLONG g_cbRead;
BOOL WINAPI CountedReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nToRead, LPDWORD lpRead, LPOVERLAPPED lpOv)
{
    const BOOL bRead = kRealSystemCalls.ReadFile(hFile, lpBuffer, nToRead, lpRead, lpOv);
    g_cbRead += bRead ? *lpRead : 0;
    return bRead;
}
} // namespace

TEST_F(InstallFaults, ATargetOfTheDatabasesSizeWithOtherBytesIsToldApartByItsFirstPiece)
{
    // Read whole before it is replaced, a target on a share would cost one more read of the database, for
    // a stored package or a compressed one.
    PackageContents contents = ExampleContents(payload);
    contents.compress = true;
    for (const std::string& installed : {package, MakePackage(dir.path(), contents, "Compressed.exe")})
    {
        SCOPED_TRACE(installed);
        WriteFileBytes(target, JetDatabase(payload.size(), 5));
        ScopedPackageResources resources(installed);
        ScopedSysCall counted(sys.ReadFile, CountedReadFile);
        g_cbRead = 0;
        TestDlg dlg;
        dlg.m_bUnattended = TRUE;
        EXPECT_EQ(0, RunDialog(dlg, nullptr));
        EXPECT_EQ(payload, ReadFileBytes(target));
        EXPECT_LE(g_cbRead, 64u << 10);
    }
}

TEST_F(InstallFaults, AnEmptyCompressedDatabaseAlreadyInPlaceIsLeftAlone)
{
    // Its first piece is empty, and must not be taken for a frame cut short.
    PackageContents contents = ExampleContents(Bytes());
    contents.compress = true;
    ScopedPackageResources resources(MakePackage(dir.path(), contents, "Empty.exe"));
    WriteFileBytes(target, Bytes());
    const BY_HANDLE_FILE_INFORMATION before = FileInformation(target);
    TestDlg dlg;
    dlg.m_bUnattended = TRUE;
    EXPECT_EQ(0, RunDialog(dlg, nullptr));
    const BY_HANDLE_FILE_INFORMATION after = FileInformation(target);
    EXPECT_EQ(before.nFileIndexLow, after.nFileIndexLow) << "the same file, not written again";
    EXPECT_EQ(before.ftLastWriteTime.dwLowDateTime, after.ftLastWriteTime.dwLowDateTime);
}
