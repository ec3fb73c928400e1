// A test that installs against the host's settings: it starts and ends with none of them, and sets
// them as the example release finds them.
#pragma once

#include "Driver.h"
#include "Packages.h"

#include <gtest/gtest.h>

#include <optional>

namespace qbtest
{
inline const char kSuccessText[] = "Pricelist successfully installed";

class HostFixture : public ::testing::Test
{
protected:
    void SetUp() override { ForgetExampleHost(); }
    void TearDown() override { ForgetExampleHost(); }

    // The path of the price list, the name of the stale file, and the country.
    static void SetHost(const std::string& target,
                        const std::optional<std::string>& staleValue = std::nullopt,
                        const std::string& country = "BE")
    {
        SetRegString(HKEY_CURRENT_USER, kSettingsKey, "CheminBaseTarif", target);
        if (staleValue)
            SetRegString(HKEY_CURRENT_USER, kSettingsKey, "CheminTarifsMgr", *staleValue);
        SetRegString(HKEY_LOCAL_MACHINE, kCountryKey, "Pays", country);
    }

    std::string Example(const PackageContents& contents) { return MakePackage(dir.path(), contents); }
    std::string Example() { return Example(ExampleContents(payload)); }

    static std::string StoredDate(HKEY hive = HKEY_LOCAL_MACHINE, const std::string& key = kCountryKey,
                                  const std::string& name = "date_creation_tarif")
    {
        Bytes data;
        if (!ReadRegValue(hive, key, name, &data))
            return "<absent>";
        return std::string(data.begin(), data.end()).c_str();
    }

    // Presses Install and answers the success message.
    static void InstallAndConfirm(InstallerRun& run)
    {
        HWND dialog = run.Dialog();
        ASSERT_NE(nullptr, dialog);
        run.Click(dialog, IDOK);
        MessageBoxView done = run.WaitForMessageBox();
        ASSERT_TRUE(done);
        EXPECT_EQ(kSuccessText, done.text);
        EXPECT_EQ(std::vector<int>{IDOK}, done.buttons);
        done.Press(IDOK);
        ASSERT_TRUE(run.WaitForExit());
    }

    ScopedTempDir dir{"install"};
    const Bytes payload = JetDatabase(704512, 7);
    const Bytes oldBytes = JetDatabase(300000, 3);
};
} // namespace qbtest
