// A package started from a folder where someone has left DLLs named like system libraries, as a
// downloads folder can be: none of them may run, whatever the run does (install attended or not,
// create folders, browse, open the About box, ask the exit question), nor in the generator.
#include "HostFixture.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace qbtest;

namespace
{
// Libraries the installer, the system's shell, its dialogs and Wine are known to load by name.
const char* const kPlantedNames[] = {
    "shcore",   "uxtheme",  "version", "dwmapi",   "propsys", "cryptbase",     "userenv",
    "comctl32", "comdlg32", "ole32",   "oleaut32", "shlwapi", "explorerframe", "windowscodecs",
    "shell32",  "imm32",    "msctf",   "profapi",  "sspicli", "rpcrt4",        "combase",
    "winmm",    "setupapi", "apphelp", "bcrypt",   "gdiplus"};
// The ones Wine takes from a program's folder when asked for them by name. For the others it takes its own
// library wherever the search leads (as Windows does only for its list of known libraries), so under Wine
// only these can show that a search reached the package's folder.
const char* const kTakenFromTheFolder[] = {"apphelp", "cryptbase", "dwmapi", "msctf",
                                           "profapi", "propsys",   "shcore", "userenv"};

class PlantedLibraries : public HostFixture
{
protected:
    void SetUp() override
    {
        HostFixture::SetUp();
        const std::string library = BinDir() + "\\planted-library.dll";
        for (const char* name : kPlantedNames)
            ASSERT_TRUE(CopyFileA(library.c_str(), (dir / (std::string(name) + ".dll")).c_str(), FALSE))
                << name;
    }

    // The planted libraries whose code ran.
    std::vector<std::string> Marks() const
    {
        std::vector<std::string> marks;
        for (const std::string& name : ListFolder(dir.path()))
            if (name.size() > 7 && name.compare(name.size() - 7, 7, ".loaded") == 0)
                marks.push_back(name);
        std::sort(marks.begin(), marks.end());
        return marks;
    }
};
} // namespace

// The positive control of the tests below, which pass when no mark appears: a program that does look in
// its own folder, asking for every planted name, finds there the ones Wine takes from it, and they leave
// their marks.
TEST_F(PlantedLibraries, ThoseAProgramLoadsByNameFromItsFolderLeaveTheirMarks)
{
    const std::string loader = dir / "load-by-name.exe";
    ASSERT_TRUE(CopyFileA((BinDir() + "\\load-by-name.exe").c_str(), loader.c_str(), FALSE));
    std::string names;
    for (const char* name : kPlantedNames)
        names += " " + std::string(name);
    RunResult loaded = qbtest::Run(Quote(loader) + names);
    EXPECT_EQ(0u, loaded.exitCode) << "names that did not load at all";
    std::vector<std::string> expected;
    for (const char* name : kTakenFromTheFolder)
        expected.push_back(std::string(name) + ".dll.loaded");
    EXPECT_EQ(expected, Marks());
}

TEST_F(PlantedLibraries, NoneRunsUnattendedNorAttendedWithTheAboutBoxAndTheExitQuestion)
{
    // A missing folder, so that an unattended run needs the shell's folder creation.
    SetHost(dir / "New\\Deeper\\Tarif.mdb");
    std::string package = Example();
    EXPECT_EQ(0u, RunToEnd(package, "/Automation"));
    EXPECT_EQ(payload, ReadFileBytes(dir / "New\\Deeper\\Tarif.mdb"));
    EXPECT_EQ(std::vector<std::string>{}, Marks()) << "unattended";

    InstallerRun run(package);
    HWND dialog = run.Dialog();
    ASSERT_NE(nullptr, dialog);
    run.SysCommand(dialog, 0x0010);
    HWND about = run.WaitForWindow("About Quillbrook");
    ASSERT_NE(nullptr, about);
    run.Click(about, IDOK);
    run.Click(dialog, IDCANCEL);
    MessageBoxView question = run.WaitForMessageBox();
    ASSERT_TRUE(question);
    question.Press(IDNO);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(question.hwnd); }));
    InstallAndConfirm(run);
    EXPECT_EQ(0u, run.ExitCode());
    EXPECT_EQ(std::vector<std::string>{}, Marks()) << "attended, About box and exit question";
}

TEST_F(PlantedLibraries, NoneRunsWhileBrowsingThroughTheSaveDialog)
{
    // No path in the host's settings: the user chooses one.
    InstallerRun run(Example());
    HWND dialog = run.Dialog();
    ASSERT_NE(nullptr, dialog);
    run.Click(dialog, 1001);
    HWND save = run.WaitForSaveDialog();
    ASSERT_NE(nullptr, save);
    run.ChooseFile(save, dir / "Chosen.mdb");
    ASSERT_TRUE(WaitUntil([&] { return IsWindowVisible(GetDlgItem(dialog, IDOK)) != FALSE; }));
    InstallAndConfirm(run);
    EXPECT_EQ(payload, ReadFileBytes(dir / "Chosen.mdb"));
    EXPECT_EQ(std::vector<std::string>{}, Marks());
}

TEST_F(PlantedLibraries, NoneRunsInTheGeneratorMakingOrShowingAPackage)
{
    const std::string generator = dir / "quillbrook-pack.exe";
    ASSERT_TRUE(CopyFileA((BinDir() + "\\quillbrook-pack.exe").c_str(), generator.c_str(), FALSE));
    WriteFileBytes(dir / "Tarifs.mdb", payload);
    RunResult made = qbtest::Run(Quote(generator) + " --base " + Quote(BinDir() + "\\Quillbrook.exe") +
                                 " --out " + Quote(dir / "Made.exe") + " --database " +
                                 Quote(dir / "Tarifs.mdb") + " --shared-folder 0 --settings-key Key");
    EXPECT_EQ(0u, made.exitCode) << made.output;
    RunResult shown = qbtest::Run(Quote(generator) + " --show " + Quote(dir / "Made.exe"));
    EXPECT_EQ(0u, shown.exitCode) << shown.output;
    EXPECT_EQ(std::vector<std::string>{}, Marks());
}
