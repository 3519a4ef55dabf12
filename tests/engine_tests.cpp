// The uninstall engine against the real registry, files and cmd.exe: a staged installation is
// uninstalled by the engine alone (no dialog), and what is left afterwards is checked.
#include "support.h"

using namespace test;

namespace {

// Registry entries of one staged installation, removed again at the end of the test.
struct Registration {
    explicit Registration(const Stage &stage) : library(stage.library)
    {
        DWORD count = 1;
        EXPECT_EQ(SetValue(HKEY_LOCAL_MACHINE, SharedDllsKey, library, REG_DWORD, &count, sizeof count), 0);
        EXPECT_EQ(SetString(HKEY_LOCAL_MACHINE, UninstallKey, "DisplayName", "IEEE754 Add-on Library"), 0);
        DeleteTree(HKEY_CURRENT_USER, HostKey);
    }
    ~Registration()
    {
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SharedDllsKey, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
            RegDeleteValueA(key, library.c_str());
            RegCloseKey(key);
        }
        DeleteTree(HKEY_LOCAL_MACHINE, UninstallKey);
        DeleteTree(HKEY_CURRENT_USER, HostKey);
    }
    std::string library;
};

TEST(Engine, UninstallsAStagedInstallationAndRemovesItself)
{
    Stage stage;
    stage.Install(EngineHostExe());
    Registration registration(stage);
    SetString(HKEY_CURRENT_USER, HostKey, "Func0", "C:\\Other\\other.dll");
    SetString(HKEY_CURRENT_USER, HostKey, "Func1", stage.library);

    Program program(stage.exe, stage.temp);
    ASSERT_EQ(program.Wait(30000), 0u);

    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, SharedDllsKey, stage.library));
    EXPECT_FALSE(Exists(stage.library));
    EXPECT_EQ(GetString(HKEY_CURRENT_USER, HostKey, "Func0"), "C:\\Other\\other.dll");
    EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, HostKey, "Func1"));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, UninstallKey));
    EXPECT_TRUE(WaitUntilGone(stage.exe, 10000)) << stage.exe;
    EXPECT_TRUE(WaitUntilGone(stage.dir, 10000)) << stage.dir;
    EXPECT_TRUE(WaitUntilGone(stage.script, 10000)) << stage.script;
}

}  // namespace
