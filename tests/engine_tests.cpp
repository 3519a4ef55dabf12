// The uninstall engine against the real registry, files and cmd.exe: a staged installation is
// uninstalled by the engine alone (no dialog), and what is left afterwards is checked.
#include "support.h"

#include <functional>
#include <map>
#include <set>

using namespace test;

namespace {

// Planted by the quoting test as tmp.exe, tmp.com or tmp at the first word of a temporary
// folder's path: if the system ever starts it, it leaves "<its own path>.ran" and exits.
const bool PlantedProgramRan = [] {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    const char *name = path + length;
    while (name > path && name[-1] != '\\')
        name--;
    if (lstrcmpiA(name, "tmp.exe") != 0 && lstrcmpiA(name, "tmp.com") != 0 && lstrcmpiA(name, "tmp") != 0)
        return false;
    lstrcatA(path, ".ran");
    HANDLE marker = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    CloseHandle(marker);
    ExitProcess(0);
}();

const DWORD ExitWait = 30000;  // the engine exits at once; this only bounds a hang
const DWORD GoneWait = 10000;  // the self-removal script finishes well within this

std::wstring Wide(const std::string &ansi)
{
    WCHAR buffer[1024];
    int length = MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, buffer, 1024);
    return std::wstring(buffer, length > 0 ? length - 1 : 0);
}

std::string Ansi(const std::wstring &wide)
{
    char buffer[1024];
    int length = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, buffer, 1024, NULL, NULL);
    return std::string(buffer, length > 0 ? length - 1 : 0);
}

// Long paths go through the \\?\ form, which the ANSI calls refuse from 260 characters on.
std::wstring Long(const std::wstring &path) { return L"\\\\?\\" + path; }

bool ExistsW(const std::wstring &path)
{
    return GetFileAttributesW(Long(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void WriteFileW(const std::wstring &path, const std::string &bytes)
{
    HANDLE file = CreateFileW(Long(path).c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << Ansi(path) << ": error " << GetLastError();
    DWORD written;
    WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, NULL);
    CloseHandle(file);
}

// Every file and folder below a folder, as paths relative to it.
void ListTree(const std::wstring &folder, const std::wstring &prefix, std::set<std::wstring> &found)
{
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(Long(folder + L"\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..")
            continue;
        found.insert(prefix + name);
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            ListTree(folder + L"\\" + name, prefix + name + L"\\", found);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
}

std::set<std::wstring> Tree(const std::string &folder)
{
    std::set<std::wstring> found;
    ListTree(Wide(folder), L"", found);
    return found;
}

std::string Show(const std::set<std::wstring> &paths)
{
    std::string text;
    for (const std::wstring &path : paths)
        text += "\n  " + Ansi(path);
    return text.empty() ? " (none)" : text;
}

// Gives a fresh stage an installation folder whose path has exactly the given length.
void SetFolderLength(Stage &stage, size_t length)
{
    RemoveDirectoryA(stage.dir.c_str());
    stage.dir = stage.root + "\\" + std::string(length - stage.root.size() - 1, 'L');
    ASSERT_TRUE(CreateDirectoryA(stage.dir.c_str(), NULL)) << stage.dir << ": error " << GetLastError();
    stage.exe = stage.dir + "\\uninst.exe";
    stage.library = stage.dir + "\\pellumine.dll";
}

// Gives a fresh stage a temporary folder whose path, with its trailing backslash, has the given length.
void SetTempLength(Stage &stage, size_t length)
{
    RemoveDirectoryA(stage.temp.c_str());
    stage.temp = stage.root + "\\" + std::string(length - stage.root.size() - 2, 'T') + "\\";
    ASSERT_TRUE(CreateDirectoryA(stage.temp.c_str(), NULL)) << stage.temp << ": error " << GetLastError();
    stage.script = stage.temp + "pellumine.bat";
}

// Registry entries of one staged installation, removed again at the end of the test.
struct Registration {
    explicit Registration(const Stage &stage) : library(stage.library)
    {
        AddSharedCount(library, 1);
        EXPECT_EQ(SetString(HKEY_LOCAL_MACHINE, UninstallKey, "DisplayName", "IEEE754 Add-on Library"), 0);
        DeleteTree(HKEY_CURRENT_USER, HostKey);
    }
    ~Registration()
    {
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SharedDllsKey, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
            for (const std::string &name : sharedNames)
                RegDeleteValueA(key, name.c_str());
            RegCloseKey(key);
        }
        DeleteTree(HKEY_LOCAL_MACHINE, UninstallKey);
        DeleteTree(HKEY_CURRENT_USER, HostKey);
    }
    void AddSharedCount(const std::string &name, DWORD count)
    {
        sharedNames.push_back(name);
        EXPECT_EQ(SetValue(HKEY_LOCAL_MACHINE, SharedDllsKey, name, REG_DWORD, &count, sizeof count), 0) << name;
    }
    std::string library;
    std::vector<std::string> sharedNames;
};

DWORD SharedCount(const std::string &name)
{
    HKEY key;
    DWORD count = 0, size = sizeof count;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SharedDllsKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0;
    RegQueryValueExA(key, name.c_str(), NULL, NULL, (BYTE *)&count, &size);
    RegCloseKey(key);
    return count;
}

// The five lines the script must hold, byte for byte.
std::string ExpectedScript(const std::string &exe, const std::string &script)
{
    std::string dir = exe.substr(0, exe.rfind('\\'));
    return ":Repeat\r\ndel \"" + exe + "\"\r\nif exist \"" + exe + "\" goto Repeat\r\nrmdir \"" + dir + "\"\r\ndel \""
           + script + "\"\r\n";
}

// The self-removal has run to its end: the program, its (then empty) folder and the script are gone.
::testing::AssertionResult RemovedItself(const Stage &stage)
{
    for (const std::string &path : {stage.exe, stage.dir, stage.script})
        if (!WaitUntilGone(path, GoneWait))
            return ::testing::AssertionFailure() << path << " still there after " << GoneWait << " ms";
    return ::testing::AssertionSuccess();
}

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

TEST(Engine, KeepsAFolderThatStillHoldsAnotherFile)
{
    Stage stage;
    stage.Install(EngineHostExe());
    Registration registration(stage);
    std::string other = stage.dir + "\\readme.txt";
    WriteBytes(other, "not ours to delete");

    Program program(stage.exe, stage.temp);
    ASSERT_EQ(program.Wait(ExitWait), 0u);

    EXPECT_TRUE(WaitUntilGone(stage.exe, GoneWait)) << stage.exe;
    EXPECT_TRUE(WaitUntilGone(stage.script, GoneWait)) << stage.script;
    EXPECT_FALSE(Exists(stage.library)) << stage.library;
    EXPECT_TRUE(Exists(stage.dir)) << stage.dir;
    EXPECT_EQ(ReadBytes(other), "not ours to delete") << other;
}

TEST(Engine, DeletesTheSharedCountWhateverItIsAndNothingElse)
{
    Stage stage;
    stage.Install(EngineHostExe());
    Registration registration(stage);
    registration.AddSharedCount(stage.library, 7);
    const std::map<std::string, DWORD> others = {
        {stage.dir + "\\other.dll", 2},
        {stage.library + ".old", 3},
        {"C:\\Elsewhere\\pellumine.dll", 4},
    };
    for (const auto &other : others)
        registration.AddSharedCount(other.first, other.second);

    Program program(stage.exe, stage.temp);
    ASSERT_EQ(program.Wait(ExitWait), 0u);

    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, SharedDllsKey, stage.library)) << stage.library;
    for (const auto &other : others)
        EXPECT_EQ(SharedCount(other.first), other.second) << other.first;
    EXPECT_TRUE(RemovedItself(stage));
}

}  // namespace
