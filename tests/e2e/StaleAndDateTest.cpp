// After the database is in place: the host's stale file goes (and nothing else does), and the price
// list's creation date is recorded where the package's country key says.
#include "HostFixture.h"

#include <gtest/gtest.h>

using namespace qbtest;

namespace
{
class StaleFile : public HostFixture
{
protected:
    void SetUp() override
    {
        HostFixture::SetUp();
        CreateDirectoryA((dir / "A").c_str(), nullptr);
        CreateDirectoryA(folder.c_str(), nullptr);
    }

    // Installs unattended with the given stale setting into dir\A\B\Tarif.mdb.
    void InstallWithStaleValue(const std::optional<std::string>& staleValue)
    {
        ForgetExampleHost();
        SetHost(target, staleValue);
        EXPECT_EQ(0u, RunToEnd(Example(), "/Automation"));
        EXPECT_EQ(payload, ReadFileBytes(target));
    }

    const std::string folder = dir / "A\\B";
    const std::string target = folder + "\\Tarif.mdb";
};

class DateStamp : public HostFixture
{
protected:
    void SetUp() override
    {
        HostFixture::SetUp();
        SetHost(target);
    }
    void TearDown() override
    {
        DeleteRegTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\QuillbrookDate");
        DeleteRegTree(HKEY_LOCAL_MACHINE, "hkey_local_machine");
        HostFixture::TearDown();
    }

    // Installs attended, so that the success message is seen, with the given country key and date.
    void InstallWith(const std::optional<std::string>& countryKey, const std::optional<std::string>& date)
    {
        PackageContents contents = ExampleContents(payload);
        contents.countryKey = countryKey;
        contents.date = date;
        contents.country.reset();
        InstallerRun run(Example(contents));
        InstallAndConfirm(run);
        EXPECT_EQ(0u, run.ExitCode());
    }

    const std::string target = dir / "Tarif.mdb";
};
} // namespace

TEST_F(StaleFile, IsLookedForBesideTheNewDatabaseWhateverFolderTheSettingNames)
{
    WriteFileBytes(folder + "\\Stale.dat", Bytes(1, 1));
    CreateDirectoryA((dir / "Old").c_str(), nullptr);
    WriteFileBytes(dir / "Old\\Stale.dat", Bytes(1, 2));
    InstallWithStaleValue(dir / "Old\\Stale.dat");
    EXPECT_FALSE(FileExists(folder + "\\Stale.dat"));
    EXPECT_TRUE(FileExists(dir / "Old\\Stale.dat"));
}

TEST_F(StaleFile, ANameWithoutAFolderIsTakenInTheTargetsFolder)
{
    // Joined without a separator, the name would have meant dir\A\BStale.dat, a file outside the folder.
    WriteFileBytes(folder + "\\Stale.dat", Bytes(1, 1));
    WriteFileBytes(dir / "A\\BStale.dat", Bytes(1, 2));
    InstallWithStaleValue(std::string("Stale.dat"));
    EXPECT_FALSE(FileExists(folder + "\\Stale.dat"));
    EXPECT_TRUE(FileExists(dir / "A\\BStale.dat"));
}

TEST_F(StaleFile, NeverRemovesTheDatabaseJustInstalled)
{
    InstallWithStaleValue(target);
    EXPECT_TRUE(FileExists(target));
    InstallWithStaleValue(std::string("C:\\Elsewhere\\TARIF.MDB"));
    EXPECT_TRUE(FileExists(target));
}

TEST_F(StaleFile, NeverReachesOutsideTheTargetsFolder)
{
    WriteFileBytes(dir / "A\\Outside.dat", Bytes(1, 1));
    InstallWithStaleValue(std::string("x/../../Outside.dat"));
    EXPECT_TRUE(FileExists(dir / "A\\Outside.dat"));
    InstallWithStaleValue(std::string("C:\\Old\\.."));
    EXPECT_TRUE(FileExists(dir / "A\\Outside.dat"));
    EXPECT_TRUE(FileExists(folder));
    // A link of that name is no plain file of the folder: neither it nor what it leads to goes.
    if (!MakeUnixSymlink(folder + "\\Linked.dat", dir / "A\\Outside.dat"))
        GTEST_SKIP() << "no symbolic link can be made here";
    InstallWithStaleValue(std::string("Linked.dat"));
    EXPECT_TRUE(FileExists(folder + "\\Linked.dat"));
    EXPECT_TRUE(FileExists(dir / "A\\Outside.dat"));
}

TEST_F(StaleFile, ATargetWrittenWithForwardSlashesNeverLeadsToTheDrivesRoot)
{
    // Read without its folder, C:/Data/Bel/fwd.mdb would have the stale file looked for as \RootStale.dat.
    std::string slashed = target;
    for (char& ch : slashed)
        if (ch == '\\')
            ch = '/';
    const std::string atRoot = "C:\\RootStale.dat";
    WriteFileBytes(atRoot, Bytes(1, 1));
    WriteFileBytes(folder + "\\RootStale.dat", Bytes(1, 2));
    ForgetExampleHost();
    SetHost(slashed, std::string("RootStale.dat"));
    // The run's current folder, and so its drive's root, is this test's.
    char current[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, current);
    SetCurrentDirectoryA(dir.path().c_str());
    EXPECT_EQ(0u, RunToEnd(Example(), "/Automation"));
    SetCurrentDirectoryA(current);
    EXPECT_EQ(payload, ReadFileBytes(target));
    EXPECT_TRUE(FileExists(atRoot));
    DeleteFileA(atRoot.c_str());
    EXPECT_FALSE(FileExists(folder + "\\RootStale.dat")) << "the target's folder is where the slashes say";
}

TEST_F(StaleFile, AnEmptyOrMissingSettingRemovesNothingAndTheInstallGoesOn)
{
    WriteFileBytes(dir / "Keep.dat", Bytes(1, 1));
    InstallWithStaleValue(std::string(""));
    InstallWithStaleValue(std::nullopt);
    InstallWithStaleValue(std::string("C:\\Old\\Missing.dat"));
    EXPECT_TRUE(FileExists(dir / "Keep.dat"));
    EXPECT_EQ(std::vector<std::string>{"Tarif.mdb"}, ListFolder(folder));
    EXPECT_EQ("2024-01-09", StoredDate());
}

TEST_F(DateStamp, IsStoredUnderTheCountryKeyWithoutItsHivePrefix)
{
    InstallWith("HKEY_LOCAL_MACHINE\\SOFTWARE\\QuillbrookDate\\X\\", "2025-02-03");
    EXPECT_EQ("2025-02-03", StoredDate(HKEY_LOCAL_MACHINE, "SOFTWARE\\QuillbrookDate\\X"));
    EXPECT_FALSE(RegKeyExists(HKEY_CURRENT_USER, "SOFTWARE\\QuillbrookDate"));
}

TEST_F(DateStamp, APrefixInSmallLettersIsKeptAsPartOfTheKey)
{
    InstallWith("hkey_local_machine\\SOFTWARE\\QuillbrookDate\\X\\", "2025-02-03");
    EXPECT_EQ("2025-02-03",
              StoredDate(HKEY_LOCAL_MACHINE, "hkey_local_machine\\SOFTWARE\\QuillbrookDate\\X"));
}

TEST_F(DateStamp, NothingIsStoredWithoutAKeyOrADateAndSuccessIsStillReported)
{
    InstallWith("HKEY_LOCAL_MACHINE\\", "2025-02-03");
    InstallWith(std::nullopt, "2025-02-03");
    InstallWith(std::string("HKEY_LOCAL_MACHINE\\") + kCountryKey, "");
    InstallWith(std::string("HKEY_LOCAL_MACHINE\\") + kCountryKey, std::nullopt);
    EXPECT_EQ("<absent>", StoredDate());
}

TEST_F(DateStamp, InLightModeGoesToThePrefixedNameInTheUsersHive)
{
    ScopedLightMode light;
    // The light setting of the path wins over the plain one too.
    const std::string lightTarget = dir / "Light.mdb";
    SetRegString(HKEY_CURRENT_USER, kSettingsKey, "#LIGHT#CheminBaseTarif", lightTarget);
    EXPECT_EQ(0u, RunToEnd(Example(), "/Automation"));
    EXPECT_EQ(payload, ReadFileBytes(lightTarget));
    EXPECT_FALSE(FileExists(target));
    EXPECT_EQ("2024-01-09", StoredDate(HKEY_CURRENT_USER, kCountryKey, "#LIGHT#date_creation_tarif"));
    EXPECT_EQ("<absent>", StoredDate(HKEY_LOCAL_MACHINE));
}

TEST_F(DateStamp, AccentedPathsGoFromTheRegistryToTheFile)
{
    // The folder really carries each letter, not a stand-in for it: the installer runs in UTF-8 where
    // the system offers it (Wine does), so letters beyond the Western code page go whole too.
    const std::wstring wideDir(dir.path().begin(), dir.path().end());
    for (const std::wstring folder : {L"Donn\u00e9es", L"\u0141\u00f3d\u017a\\Dvo\u0159\u00e1k"})
    {
        const std::wstring accented = wideDir + L"\\" + folder + L"\\tarif.mdb";
        SetRegString(HKEY_CURRENT_USER, kSettingsKey, "CheminBaseTarif", accented);
        EXPECT_EQ(0u, RunToEnd(Example(), "/Automation"));
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        EXPECT_TRUE(GetFileAttributesExW(accented.c_str(), GetFileExInfoStandard, &data));
        EXPECT_EQ(payload.size(), data.nFileSizeLow);
    }
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((wideDir + L"\\L\u00f3dz").c_str()))
        << "no folder of look-alikes";
}
