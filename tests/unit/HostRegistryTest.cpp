// The host's settings against the real (Wine) registry, with light mode switched by a real named
// mapping. The system-call table counts every key, mapping and view opened, so each test also proves
// that all of them were closed, and it provokes the denials Wine's single user never meets.
#include "registry/HostRegistry.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace qbtest;

namespace
{
const char kSubKey[] = "SOFTWARE\\QuillbrookTests\\Registry";
const char kParentKey[] = "SOFTWARE\\QuillbrookTests";

// Open handles by kind, kept by the counting entries below.
struct Balance
{
    int keys = 0;
    int mappings = 0;
    int views = 0;
} g_balance;

LONG WINAPI CountingRegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                  PHKEY phkResult)
{
    LONG rc = kRealSystemCalls.RegOpenKeyExA(hKey, lpSubKey, ulOptions, samDesired, phkResult);
    g_balance.keys += rc == ERROR_SUCCESS;
    return rc;
}

LONG WINAPI CountingRegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult)
{
    LONG rc = kRealSystemCalls.RegCreateKeyA(hKey, lpSubKey, phkResult);
    g_balance.keys += rc == ERROR_SUCCESS;
    return rc;
}

LONG WINAPI CountingRegCloseKey(HKEY hKey)
{
    --g_balance.keys;
    return kRealSystemCalls.RegCloseKey(hKey);
}

HANDLE WINAPI CountingOpenFileMappingA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName)
{
    HANDLE h = kRealSystemCalls.OpenFileMappingA(dwDesiredAccess, bInheritHandle, lpName);
    g_balance.mappings += h != NULL;
    return h;
}

BOOL WINAPI CountingCloseHandle(HANDLE hObject)
{
    --g_balance.mappings;
    return kRealSystemCalls.CloseHandle(hObject);
}

LPVOID WINAPI CountingMapViewOfFile(HANDLE hMapping, DWORD dwAccess, DWORD dwHigh, DWORD dwLow, SIZE_T cb)
{
    LPVOID p = kRealSystemCalls.MapViewOfFile(hMapping, dwAccess, dwHigh, dwLow, cb);
    g_balance.views += p != NULL;
    return p;
}

BOOL WINAPI CountingUnmapViewOfFile(LPCVOID pView)
{
    --g_balance.views;
    return kRealSystemCalls.UnmapViewOfFile(pView);
}

class HostRegistry : public ::testing::Test
{
protected:
    void SetUp() override
    {
        DeleteRegTree(HKEY_CURRENT_USER, kParentKey);
        DeleteRegTree(HKEY_LOCAL_MACHINE, kParentKey);
        g_balance = Balance();
        sys.RegOpenKeyExA = CountingRegOpenKeyExA;
        sys.RegCreateKeyA = CountingRegCreateKeyA;
        sys.RegCloseKey = CountingRegCloseKey;
        sys.OpenFileMappingA = CountingOpenFileMappingA;
        sys.CloseHandle = CountingCloseHandle;
        sys.MapViewOfFile = CountingMapViewOfFile;
        sys.UnmapViewOfFile = CountingUnmapViewOfFile;
    }

    void TearDown() override
    {
        sys = kRealSystemCalls;
        EXPECT_EQ(0, g_balance.keys) << "registry keys left open";
        EXPECT_EQ(0, g_balance.mappings) << "mapping handles left open";
        EXPECT_EQ(0, g_balance.views) << "views left mapped";
        DeleteRegTree(HKEY_CURRENT_USER, kParentKey);
        DeleteRegTree(HKEY_LOCAL_MACHINE, kParentKey);
    }

    static CString Read(const char* name, const char* fallback = "<default>")
    {
        return ReadRegistryString(kSubKey, name, fallback);
    }

    static std::string Stored(HKEY hive, const char* name)
    {
        Bytes data;
        if (!ReadRegValue(hive, kSubKey, name, &data))
            return "<absent>";
        return std::string(data.begin(), data.end()).c_str();
    }
};

// Which of the four places hold the value "Pays", each with its own text.
struct Placement
{
    bool userLight, userPlain, machineLight, machinePlain;
};

void SetIn(HKEY hive, const char* name, const char* value)
{
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(hive, kSubKey, &key));
    RegSetValueExA(key, name, 0, REG_SZ, (const BYTE*)value, (DWORD)strlen(value) + 1);
    RegCloseKey(key);
}

std::string Winner(const Placement& p, bool light)
{
    DeleteRegTree(HKEY_CURRENT_USER, kParentKey);
    DeleteRegTree(HKEY_LOCAL_MACHINE, kParentKey);
    if (p.userLight)
        SetIn(HKEY_CURRENT_USER, "#LIGHT#Pays", "user-light");
    if (p.userPlain)
        SetIn(HKEY_CURRENT_USER, "Pays", "user-plain");
    if (p.machineLight)
        SetIn(HKEY_LOCAL_MACHINE, "#LIGHT#Pays", "machine-light");
    if (p.machinePlain)
        SetIn(HKEY_LOCAL_MACHINE, "Pays", "machine-plain");
    if (!light)
        return (const char*)ReadRegistryString(kSubKey, "Pays", "<default>");
    ScopedLightMode lightMode;
    return (const char*)ReadRegistryString(kSubKey, "Pays", "<default>");
}
} // namespace

TEST_F(HostRegistry, NormalModeTakesTheUserHiveThenTheMachineHiveAndNeverTheLightName)
{
    EXPECT_EQ("user-plain", Winner({true, true, true, true}, false));
    EXPECT_EQ("machine-plain", Winner({true, false, true, true}, false));
    EXPECT_EQ("<default>", Winner({true, false, true, false}, false));
    EXPECT_EQ("<default>", Winner({false, false, false, false}, false));
}

TEST_F(HostRegistry, LightModeSearchesTheUserHiveCompletelyBeforeTheMachineHive)
{
    EXPECT_EQ("user-light", Winner({true, true, true, true}, true));
    EXPECT_EQ("user-plain", Winner({false, true, true, true}, true));
    EXPECT_EQ("machine-light", Winner({false, false, true, true}, true));
    EXPECT_EQ("machine-plain", Winner({false, false, false, true}, true));
    EXPECT_EQ("<default>", Winner({false, false, false, false}, true));
}

TEST_F(HostRegistry, LightModeFollowsTheFirstWordOfTheMapping)
{
    SetIn(HKEY_CURRENT_USER, "#LIGHT#Pays", "light");
    SetIn(HKEY_CURRENT_USER, "Pays", "plain");
    EXPECT_FALSE(IsHostLightMode());
    {
        ScopedLightMode off(0);
        EXPECT_FALSE(IsHostLightMode());
        EXPECT_STREQ("plain", Read("Pays"));
    }
    {
        ScopedLightMode two(2);
        EXPECT_TRUE(IsHostLightMode());
        EXPECT_STREQ("light", Read("Pays"));
    }
    // The mode is probed afresh on every read.
    EXPECT_STREQ("plain", Read("Pays"));
}

TEST_F(HostRegistry, AMappingThatCannotBeOpenedOrMappedMeansNormalMode)
{
    ScopedLightMode light;
    ASSERT_TRUE(IsHostLightMode());
    {
        ScopedSysCall deny(
            sys.OpenFileMappingA, +[](DWORD, BOOL, LPCSTR) WINAPI -> HANDLE {
                SetLastError(ERROR_ACCESS_DENIED);
                return NULL;
            });
        EXPECT_FALSE(IsHostLightMode());
    }
    {
        ScopedSysCall fail(
            sys.MapViewOfFile, +[](HANDLE, DWORD, DWORD, DWORD, SIZE_T) WINAPI -> LPVOID {
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return NULL;
            });
        EXPECT_FALSE(IsHostLightMode()); // and the mapping handle is closed: see TearDown
    }
}

TEST_F(HostRegistry, LightModeIsSeenWhenTheHostGrantsReadAccessOnly)
{
    // As a host running elevated or under another account may: anything beyond reading is refused.
    ScopedLightMode light;
    ScopedSysCall openForReading(
        sys.OpenFileMappingA, +[](DWORD access, BOOL inherit, LPCSTR name) WINAPI -> HANDLE {
            if (access & ~(DWORD)FILE_MAP_READ)
            {
                SetLastError(ERROR_ACCESS_DENIED);
                return NULL;
            }
            return CountingOpenFileMappingA(access, inherit, name);
        });
    ScopedSysCall mapForReading(
        sys.MapViewOfFile,
        +[](HANDLE mapping, DWORD access, DWORD high, DWORD low, SIZE_T size) WINAPI -> LPVOID {
            if (access & ~(DWORD)FILE_MAP_READ)
            {
                SetLastError(ERROR_ACCESS_DENIED);
                return NULL;
            }
            return CountingMapViewOfFile(mapping, access, high, low, size);
        });
    EXPECT_TRUE(IsHostLightMode());
}

TEST_F(HostRegistry, PrefixIsPutInFrontEvenOfANameThatAlreadyCarriesIt)
{
    SetIn(HKEY_CURRENT_USER, "#LIGHT##LIGHT#Pays", "twice");
    SetIn(HKEY_CURRENT_USER, "#LIGHT#Pays", "once");
    ScopedLightMode light;
    EXPECT_STREQ("twice", Read("#LIGHT#Pays"));
}

TEST_F(HostRegistry, AnEmptyNameIsTheKeysUnnamedValue)
{
    SetIn(HKEY_CURRENT_USER, "", "unnamed");
    EXPECT_STREQ("unnamed", Read(""));
    SetIn(HKEY_CURRENT_USER, "#LIGHT#", "light unnamed");
    ScopedLightMode light;
    EXPECT_STREQ("light unnamed", Read(""));
}

TEST_F(HostRegistry, UserKeyThatOpensOnlyForReadingLeavesTheMachineHive)
{
    SetIn(HKEY_CURRENT_USER, "Pays", "user");
    SetIn(HKEY_LOCAL_MACHINE, "Pays", "machine");
    ScopedSysCall denyFullAccess(
        sys.RegOpenKeyExA,
        +[](HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM sam, PHKEY phk) WINAPI -> LONG {
            if (hKey == HKEY_CURRENT_USER && sam == KEY_ALL_ACCESS)
                return ERROR_ACCESS_DENIED;
            return CountingRegOpenKeyExA(hKey, lpSubKey, ulOptions, sam, phk);
        });
    EXPECT_STREQ("machine", Read("Pays"));
    DeleteRegTree(HKEY_LOCAL_MACHINE, kParentKey);
    EXPECT_STREQ("<default>", Read("Pays"));
}

TEST_F(HostRegistry, UserKeyWithoutTheValueAndNoMachineKeyGivesTheDefault)
{
    SetIn(HKEY_CURRENT_USER, "Other", "x");
    EXPECT_STREQ("<default>", Read("Pays"));
    EXPECT_STREQ("", ReadRegistryString("SOFTWARE\\QuillbrookTests\\Nowhere", "Pays", ""));
}

TEST_F(HostRegistry, DataIsReadAsTextUpToItsFirstZeroWhateverItsType)
{
    ScopedRegKey key(HKEY_CURRENT_USER, kSubKey);
    // No terminating zero stored: the text still comes back whole.
    key.SetRaw("Unterminated", REG_BINARY, "2024-01-09", 10);
    EXPECT_STREQ("2024-01-09", Read("Unterminated"));
    const char notFollowedByZero[] = "BEX";
    key.SetRaw("Counted", REG_SZ, notFollowedByZero, 2);
    EXPECT_STREQ("BE", Read("Counted"));

    key.SetDword("Sixty-five", 65);
    EXPECT_STREQ("A", Read("Sixty-five"));
    key.SetDword("Zero", 0);
    EXPECT_STREQ("", Read("Zero"));

    // Present but empty is the empty text, not the default.
    key.SetRaw("Empty", REG_SZ, "", 0);
    EXPECT_STREQ("", Read("Empty"));
    key.SetRaw("Embedded", REG_SZ, "ab\0cd", 6);
    EXPECT_STREQ("ab", Read("Embedded"));
}

TEST_F(HostRegistry, StringsAreTakenAsStoredAndOnlyExpandableOnesExpanded)
{
    SetEnvironmentVariableA("QB_TEST_DATA", "C:\\Data");
    const struct
    {
        DWORD type;
        const wchar_t* stored;
        const char* read;
        BOOL whole;
    } cases[] = {
        // Characters the Western code page lacks stand as '?', never as the look-alikes L, z and r.
        {REG_SZ, L"C:\\\u0141\u00f3d\u017a\\Dvo\u0159\u00e1k.mdb",
         "C:\\?\xf3"
         "d?\\Dvo?\xe1k.mdb",
         FALSE},
        {REG_EXPAND_SZ, L"%QB_TEST_DATA%\\Tarif.mdb", "C:\\Data\\Tarif.mdb", TRUE},
        {REG_SZ, L"%QB_TEST_DATA%\\Tarif.mdb", "%QB_TEST_DATA%\\Tarif.mdb", TRUE},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.read);
        SetRegString(HKEY_CURRENT_USER, kSubKey, "CheminBaseTarif", std::wstring(c.stored), c.type);
        BOOL whole = !c.whole;
        EXPECT_STREQ(c.read, ReadRegistryString(kSubKey, "CheminBaseTarif", "", &whole));
        EXPECT_EQ(c.whole, whole);
    }
    SetEnvironmentVariableA("QB_TEST_DATA", nullptr);
}

TEST_F(HostRegistry, AccentedPathsSurviveTheRoundTrip)
{
    SetIn(HKEY_CURRENT_USER, "CheminBaseTarif",
          "C:\\Donn\xe9"
          "es\\tarif.mdb");
    EXPECT_STREQ("C:\\Donn\xe9"
                 "es\\tarif.mdb",
                 Read("CheminBaseTarif"));
}

// What the host has always received: the characters of the text, without a terminating zero.
namespace
{
DWORD g_cbLastSet;
LONG WINAPI RecordingRegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                                    const BYTE* lpData, DWORD cbData)
{
    g_cbLastSet = cbData;
    return kRealSystemCalls.RegSetValueExA(hKey, lpValueName, Reserved, dwType, lpData, cbData);
}
} // namespace

TEST_F(HostRegistry, WriteCreatesTheMachineKeyWithItsParentsAndStoresTheTextWithoutZero)
{
    ScopedSysCall record(sys.RegSetValueExA, RecordingRegSetValueExA);
    EXPECT_EQ(1, WriteRegistryString(kSubKey, "date_creation_tarif", "2024-01-09", 1));
    EXPECT_EQ(10u, g_cbLastSet);
    EXPECT_EQ("2024-01-09", Stored(HKEY_LOCAL_MACHINE, "date_creation_tarif"));
    EXPECT_FALSE(RegKeyExists(HKEY_CURRENT_USER, kSubKey));

    DWORD type = 0;
    Bytes data;
    ASSERT_TRUE(ReadRegValue(HKEY_LOCAL_MACHINE, kSubKey, "date_creation_tarif", &data, &type));
    EXPECT_EQ((DWORD)REG_SZ, type);

    EXPECT_EQ(1, WriteRegistryString(kSubKey, "Empty", "", 1));
    EXPECT_EQ(0u, g_cbLastSet);
}

TEST_F(HostRegistry, WriteGoesToTheUserHiveWhenNotMachineWide)
{
    EXPECT_EQ(1, WriteRegistryString(kSubKey, "date_creation_tarif", "2024-01-09", 0));
    EXPECT_EQ("2024-01-09", Stored(HKEY_CURRENT_USER, "date_creation_tarif"));
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, kSubKey));
}

TEST_F(HostRegistry, LightModeWriteIsRedirectedToThePrefixedNameInTheUserHive)
{
    ScopedLightMode light;
    EXPECT_EQ(1, WriteRegistryString(kSubKey, "date_creation_tarif", "2024-01-09", 1));
    EXPECT_EQ("2024-01-09", Stored(HKEY_CURRENT_USER, "#LIGHT#date_creation_tarif"));
    EXPECT_EQ("<absent>", Stored(HKEY_CURRENT_USER, "date_creation_tarif"));
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, kSubKey));

    // A light-mode read of the plain name finds it first.
    SetIn(HKEY_LOCAL_MACHINE, "date_creation_tarif", "machine");
    EXPECT_STREQ("2024-01-09", Read("date_creation_tarif"));
}

TEST_F(HostRegistry, LightModeKeepsANameThatAlreadyCarriesThePrefixInItsChosenHive)
{
    ScopedLightMode light;
    EXPECT_EQ(1, WriteRegistryString(kSubKey, "#LIGHT#x", "v", 1));
    EXPECT_EQ("v", Stored(HKEY_LOCAL_MACHINE, "#LIGHT#x"));

    // The prefix is compared with its letter case: a lower-case one is prefixed again.
    EXPECT_EQ(1, WriteRegistryString(kSubKey, "#light#x", "w", 1));
    EXPECT_EQ("w", Stored(HKEY_CURRENT_USER, "#LIGHT##light#x"));
    EXPECT_EQ(1, WriteRegistryString(kSubKey, "#LIG", "short", 1));
    EXPECT_EQ("short", Stored(HKEY_CURRENT_USER, "#LIGHT##LIG"));
}

TEST_F(HostRegistry, WriteFailsQuietlyWhenTheKeyCanBeNeitherOpenedNorCreated)
{
    ScopedSysCall denyOpen(
        sys.RegOpenKeyExA,
        +[](HKEY, LPCSTR, DWORD, REGSAM, PHKEY) WINAPI -> LONG { return ERROR_ACCESS_DENIED; });
    ScopedSysCall denyCreate(
        sys.RegCreateKeyA, +[](HKEY, LPCSTR, PHKEY) WINAPI -> LONG { return ERROR_ACCESS_DENIED; });
    EXPECT_EQ(0, WriteRegistryString(kSubKey, "date_creation_tarif", "2024-01-09", 1));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError()) << "the reason, for whoever reports it";
}

TEST_F(HostRegistry, RefusedSetReturnsZeroAndClosesTheKey)
{
    ScopedRegKey key(HKEY_LOCAL_MACHINE, kSubKey);
    ScopedSysCall refuse(
        sys.RegSetValueExA,
        +[](HKEY, LPCSTR, DWORD, DWORD, const BYTE*, DWORD) WINAPI -> LONG { return ERROR_ACCESS_DENIED; });
    EXPECT_EQ(0, WriteRegistryString(kSubKey, "date_creation_tarif", "2024-01-09", 1));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
}

TEST_F(HostRegistry, UserKeyWithoutTheValueLeavesItToTheMachineHive)
{
    SetIn(HKEY_CURRENT_USER, "Other", "x");
    SetIn(HKEY_LOCAL_MACHINE, "Pays", "machine");
    EXPECT_STREQ("machine", Read("Pays"));
    ScopedLightMode light;
    SetIn(HKEY_LOCAL_MACHINE, "#LIGHT#Pays", "machine-light");
    EXPECT_STREQ("machine-light", Read("Pays"));
}
