// The uninstall engine against the real registry, files and cmd.exe: a staged installation is
// uninstalled by the engine alone (no dialog), and what is left afterwards is checked.
#include "support.h"

#include <aclapi.h>
#include <bcrypt.h>
#include <lm.h>
#include <sddl.h>
#include <userenv.h>

#include "uninstall.h"

#include <functional>
#include <map>
#include <set>

using namespace test;

namespace {

// Planted as cmd.exe where a search would find it, and named by COMSPEC as comspec.exe: if the
// system ever starts it, it leaves "<its own path>.ran" and exits.
const bool PlantedProgramRan = [] {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    const char *name = path + length;
    while (name > path && name[-1] != '\\')
        name--;
    if (lstrcmpiA(name, "cmd.exe") != 0 && lstrcmpiA(name, "comspec.exe") != 0)
        return false;
    lstrcatA(path, ".ran");
    HANDLE marker = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    CloseHandle(marker);
    ExitProcess(0);
}();

const DWORD ExitWait = 30000;  // the engine exits at once; this only bounds a hang
const DWORD GoneWait = 10000;  // the self-removal script finishes well within this

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
    stage.MoveTo(stage.root + "\\" + std::string(length - stage.root.size() - 1, 'L'));
}

// The script's process, and anything else the program started, has ended.
::testing::AssertionResult ScriptEnded(const Program &program)
{
    if (program.WaitForChildren(GoneWait))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "a process the program started still runs after " << GoneWait << " ms";
}

// The self-removal has run to its end: the program, its (then empty) folder and the script are
// gone, and the user's own temporary folder was never used.
::testing::AssertionResult RemovedItself(const Stage &stage, const Program &program)
{
    for (const std::string &path : {stage.exe, stage.dir})
        if (!WaitUntilGone(path, GoneWait))
            return ::testing::AssertionFailure() << path << " still there after " << GoneWait << " ms";
    ::testing::AssertionResult scriptGone = ScriptGone(stage, GoneWait);
    if (!scriptGone)
        return scriptGone;
    std::set<std::wstring> temp = Tree(stage.temp);
    if (!temp.empty())
        return ::testing::AssertionFailure() << "in the user's temporary folder:" << Show(temp);
    return ScriptEnded(program);
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
    EXPECT_TRUE(RemovedItself(stage, program));
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
    EXPECT_TRUE(ScriptGone(stage, GoneWait));
    EXPECT_TRUE(ScriptEnded(program));
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
    EXPECT_TRUE(RemovedItself(stage, program));
}

// One value of the host's list, as stored and as read back: strings in UTF-16.
struct HostValue {
    std::string name;
    DWORD type;
    std::string bytes;
};

std::string Utf16(const std::wstring &text) { return std::string((const char *)text.data(), text.size() * sizeof(WCHAR)); }
std::string Sz(const std::wstring &text) { return Utf16(text + L'\0'); }
std::string Sz(const std::string &text) { return Sz(Wide(text)); }

LONG SetStored(HKEY root, const std::string &key, const HostValue &value)
{
    HKEY opened;
    LONG result = RegCreateKeyExW(root, Wide(key).c_str(), 0, NULL, 0, KEY_SET_VALUE, NULL, &opened, NULL);
    if (result == ERROR_SUCCESS) {
        result = RegSetValueExW(opened, Wide(value.name).c_str(), 0, value.type, (const BYTE *)value.bytes.data(),
                                (DWORD)value.bytes.size());
        RegCloseKey(opened);
    }
    return result;
}

// The library's path with one of its letters replaced.
std::wstring Replaced(const std::string &library, const wchar_t *letters, const wchar_t *by)
{
    std::wstring path = Wide(library);
    return path.replace(path.rfind(letters), lstrlenW(letters), by);
}

std::string Upper(std::string text)
{
    CharUpperBuffA(&text[0], (DWORD)text.size());
    return text;
}

std::vector<HostValue> OtherLibraries(UINT first, UINT last)
{
    std::vector<HostValue> values;
    for (UINT index = first; index <= last; index++)
        values.push_back({"Func" + std::to_string(index), REG_SZ, Sz("C:\\Other\\library" + std::to_string(index) + ".dll")});
    return values;
}

std::map<std::string, std::pair<DWORD, std::string>> HostValues(HKEY root = HKEY_CURRENT_USER,
                                                                 const std::string &hostKey = HostKey)
{
    std::map<std::string, std::pair<DWORD, std::string>> values;
    HKEY key;
    if (RegOpenKeyExA(root, hostKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return values;
    for (DWORD index = 0;; index++) {
        WCHAR name[256];
        char data[4096];
        DWORD nameSize = 256, dataSize = sizeof data, type;
        if (RegEnumValueW(key, index, name, &nameSize, NULL, &type, (BYTE *)data, &dataSize) != ERROR_SUCCESS)
            break;
        values[Ansi(name)] = {type, std::string(data, dataSize)};
    }
    RegCloseKey(key);
    return values;
}

::testing::AssertionResult SameValues(const std::map<std::string, std::pair<DWORD, std::string>> &got,
                                      const std::map<std::string, std::pair<DWORD, std::string>> &expected)
{
    std::string differences;
    for (const auto &value : expected) {
        auto found = got.find(value.first);
        if (found == got.end())
            differences += " " + value.first + " deleted;";
        else if (found->second != value.second)
            differences += " " + value.first + " changed (type " + std::to_string(found->second.first) + ", "
                           + std::to_string(found->second.second.size()) + " bytes);";
    }
    for (const auto &value : got)
        if (!expected.count(value.first))
            differences += " " + value.first + " kept;";
    if (differences.empty())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "host list:" << differences;
}

struct HostListCase {
    const char *name;
    size_t folderLength;  // of the installation folder's path; 0 keeps the stage's own
    bool hostKey;
    std::function<std::vector<HostValue>(const std::string &library)> layout;
    std::set<std::string> deleted;
    const char *folder = nullptr;  // the installation folder's name, where the stage's own will not do
};

const size_t LongestFolder = MAX_PATH - sizeof "\\pellumine.dll";  // 245: the library's path is 259 characters

const HostListCase HostListCases[] = {
    {"OtherLetterCaseMatches", 0, true,
     [](const std::string &library) {
         return std::vector<HostValue>{{"Func0", REG_SZ, Sz("C:\\Other\\other.dll")},
                                       {"Func1", REG_SZ, Sz(Upper(library))},
                                       {"Func2", REG_SZ, Sz("C:\\Other\\third.dll")}};
     },
     {"Func1"}},
    {"GapAtFunc0EndsTheList", 0, true,
     [](const std::string &library) {
         return std::vector<HostValue>{{"Func1", REG_SZ, Sz(library)}, {"Func2", REG_SZ, Sz(library)}};
     },
     {}},
    {"OnlyTheFirstOfTwoMatches", 0, true,
     [](const std::string &library) {
         return std::vector<HostValue>{{"Func0", REG_SZ, Sz(library)},
                                       {"Func1", REG_SZ, Sz("C:\\Other\\other.dll")},
                                       {"Func2", REG_SZ, Sz("C:\\Other\\third.dll")},
                                       {"Func3", REG_SZ, Sz(library)}};
     },
     {"Func0"}},
    {"ValueOver260CharactersEndsTheList", 0, true,
     [](const std::string &library) {
         return std::vector<HostValue>{{"Func0", REG_SZ, Sz("C:\\Other\\other.dll")},
                                       {"Func1", REG_SZ, Sz("C:\\" + std::string(257, 'x'))},  // 261 characters
                                       {"Func2", REG_SZ, Sz(library)}};
     },
     {}},
    {"ValueOf260CharactersIsCompared", 0, true,
     [](const std::string &library) {
         return std::vector<HostValue>{{"Func0", REG_SZ, Sz("C:\\" + std::string(256, 'x'))},  // 260 characters
                                       {"Func1", REG_SZ, Sz(library)}};
     },
     {"Func1"}},
    {"OtherTypesAreComparedAsText", 0, true,
     [](const std::string &library) {
         DWORD number = 1;
         return std::vector<HostValue>{{"Func0", REG_DWORD, std::string((const char *)&number, sizeof number)},
                                       {"Func1", REG_BINARY, std::string("\x01\x02\xff", 3)},
                                       {"Func2", REG_EXPAND_SZ, Sz("%SystemRoot%\\pellumine.dll")},
                                       {"Func3", REG_MULTI_SZ, Sz(std::wstring(L"C:\\Other\\other.dll") + L'\0')},
                                       {"Func4", REG_EXPAND_SZ, Sz(library)},
                                       {"Func5", REG_SZ, Sz(library)}};
     },
     {"Func4"}},
    {"BinaryOfExactlyThePathMatches", 0, true,
     [](const std::string &library) {
         std::wstring path = Wide(library);
         return std::vector<HostValue>{{"Func0", REG_BINARY, Utf16(path.substr(0, path.size() - 1))},
                                       {"Func1", REG_BINARY, Utf16(path)},
                                       {"Func2", REG_SZ, Sz(library)}};
     },
     {"Func1"}},
    {"FullBufferWithoutNulDoesNotMatch", LongestFolder, true,
     [](const std::string &library) {
         return std::vector<HostValue>{{"Func0", REG_BINARY, Utf16(Wide(library + "x"))},  // 260 characters, no NUL
                                       {"Func1", REG_BINARY, Utf16(Wide(Upper(library) + "\\"))},
                                       {"Func2", REG_SZ, Sz(library)}};  // 260 characters with the NUL
     },
     {"Func2"}},
    {"OtherFormsOfThePathDoNotMatch", 0, true,
     [](const std::string &library) {
         std::string slashes = library, relative = library.substr(library.rfind('\\', library.rfind('\\') - 1) + 1);
         for (char &c : slashes)
             if (c == '\\')
                 c = '/';
         char shortForm[MAX_PATH] = "";
         GetShortPathNameA(library.c_str(), shortForm, MAX_PATH);
         EXPECT_NE(shortForm, library) << "the short form must differ for this case to mean anything";
         std::string dotted = library.substr(0, library.rfind('\\')) + "\\.\\pellumine.dll";
         return std::vector<HostValue>{{"Func0", REG_SZ, Sz(slashes)},
                                       {"Func1", REG_SZ, Sz(shortForm)},
                                       {"Func2", REG_SZ, Sz(relative)},
                                       {"Func3", REG_SZ, Sz("pellumine.dll")},
                                       {"Func4", REG_SZ, Sz(dotted)},
                                       {"Func5", REG_SZ, Sz(library + " ")},
                                       {"Func6", REG_SZ, Sz(library)}};
     },
     {"Func6"}},
    {"MatchAtFunc255", 0, true,
     [](const std::string &library) {
         std::vector<HostValue> values = OtherLibraries(0, 254);
         values.push_back({"Func255", REG_SZ, Sz(library)});
         return values;
     },
     {"Func255"}},
    {"ScanEndsAfterFunc255WithoutWrapping", 0, true,
     [](const std::string &library) {
         std::vector<HostValue> values = OtherLibraries(0, 255);
         values.push_back({"Func256", REG_SZ, Sz(library)});
         return values;
     },
     {}},
    // Paths that only look like ours: a letter the ANSI code page lacks, read with best fit, would
    // be ours, as would a linguistic comparison of a ligature or a soft hyphen.
    {"LookAlikesDoNotMatch", 0, true,
     [](const std::string &library) {
         return std::vector<HostValue>{{"Func0", REG_SZ, Sz(Replaced(library, L"pell", L"pe\u0142l"))},
                                       {"Func1", REG_SZ, Sz(Replaced(library, L"Strasse", L"Stra\u00dfe"))},
                                       {"Func2", REG_SZ, Sz(Replaced(library, L"Aether", L"\u00c6ther"))},
                                       {"Func3", REG_SZ, Sz(Replaced(library, L"pell", L"pel\u00adl"))},
                                       {"Func4", REG_SZ, Sz(library)}};
     },
     {"Func4"}, "Strasse Aether"},
    {"NoHostKey", 0, false, nullptr, {}},
};

void PrintTo(const HostListCase &layout, std::ostream *out) { *out << layout.name; }

// A staged installation whose folder has the layout's length.
class HostList : public ::testing::TestWithParam<HostListCase> {
protected:
    void SetUp() override
    {
        if (GetParam().folderLength)
            SetFolderLength(stage, GetParam().folderLength);
        if (GetParam().folder)
            stage.MoveTo(stage.root + "\\" + GetParam().folder);
        stage.Install(EngineHostExe());
    }
    Stage stage;
};

TEST_P(HostList, DeletesTheFirstMatchOnlyAndLeavesEverythingElse)
{
    const HostListCase &layout = GetParam();
    Registration registration(stage);
    std::map<std::string, std::pair<DWORD, std::string>> expected;
    if (layout.hostKey) {
        std::vector<HostValue> values = layout.layout(stage.library);
        // Not a list value: never looked at, whatever it holds.
        values.push_back({"Installed", REG_SZ, Sz(stage.library)});
        for (const HostValue &value : values) {
            ASSERT_EQ(SetStored(HKEY_CURRENT_USER, HostKey, value), 0) << value.name;
            if (!layout.deleted.count(value.name))
                expected[value.name] = {value.type, value.bytes};
        }
    }

    Program program(stage.exe, stage.temp);
    ASSERT_EQ(program.Wait(ExitWait), 0u) << "the engine must end, and end with 0";

    if (layout.hostKey)
        EXPECT_TRUE(SameValues(HostValues(), expected)) << stage.library;
    else
        EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, HostKey)) << "the host key was made";
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, UninstallKey));
    EXPECT_FALSE(Exists(stage.library)) << stage.library;
    EXPECT_TRUE(RemovedItself(stage, program));
}

// A user's hive loaded under HKEY_USERS\<sid>, as Windows loads a signed-in user's: an empty key saved
// to a file and loaded from it. Unloaded, and the file deleted, when it goes.
struct LoadedHive {
    LoadedHive(const std::string &file, const std::string &sid) : file(file), sid(sid)
    {
        const char saved[] = "Software\\uninst test hive";
        HKEY key;
        if (!EnablePrivilege(SE_BACKUP_NAME) || !EnablePrivilege(SE_RESTORE_NAME)
            || RegCreateKeyExA(HKEY_CURRENT_USER, saved, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL) != ERROR_SUCCESS)
            return;
        LONG result = RegSaveKeyA(key, file.c_str(), NULL);
        RegCloseKey(key);
        RegDeleteKeyA(HKEY_CURRENT_USER, saved);
        if (result == ERROR_SUCCESS)
            result = RegLoadKeyA(HKEY_USERS, sid.c_str(), file.c_str());
        loaded = result == ERROR_SUCCESS;
        error = result;
    }
    ~LoadedHive()
    {
        if (loaded)
            RegUnLoadKeyA(HKEY_USERS, sid.c_str());
        for (const char *suffix : {"", ".LOG", ".LOG1", ".LOG2"}) {
            SetFileAttributesA((file + suffix).c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA((file + suffix).c_str());
        }
    }
    std::string file, sid;
    bool loaded = false;
    LONG error = 0;
};

PSID Sid(const char *text)
{
    PSID sid = NULL;
    EXPECT_TRUE(ConvertStringSidToSidA(text, &sid)) << text << ": error " << GetLastError();
    return sid;
}

// Where another account runs the program than the one signed in to its session, the same scan runs
// in the signed-in user's list, under HKEY_USERS where Windows loaded their hive. Here through the
// engine's own routine, in this process, on a hive the test loads; which account is signed in is
// the system's to say, and only the kit's run on Windows can make it another.
TEST_P(HostList, OfTheSignedInUserWhereAnotherAccountRunsTheProgram)
{
    const HostListCase &layout = GetParam();
    const char signedIn[] = "S-1-5-21-1000-2000-3000-1001", notSignedIn[] = "S-1-5-21-1000-2000-3000-1002";
    LoadedHive hive(stage.root + "\\hive", signedIn);
    ASSERT_TRUE(hive.loaded) << "HKEY_USERS\\" << signedIn << " from " << hive.file << ": error " << hive.error;
    const std::string hostKey = std::string(signedIn) + "\\" + HostKey;
    std::map<std::string, std::pair<DWORD, std::string>> all, expected;
    if (layout.hostKey)
        for (const HostValue &value : layout.layout(stage.library)) {
            ASSERT_EQ(SetStored(HKEY_USERS, hostKey, value), 0) << value.name;
            all[value.name] = {value.type, value.bytes};
            if (!layout.deleted.count(value.name))
                expected[value.name] = {value.type, value.bytes};
        }
    PSID user = Sid(signedIn), program = Sid("S-1-5-21-1000-2000-3000-500"), absent = Sid(notSignedIn);
    lstrcpyA(WorkPath, stage.library.c_str());

    // The program's own account: its list is HKEY_CURRENT_USER's, done by the step before.
    RemoveFromSessionUsersHostList(user, user);
    EXPECT_TRUE(SameValues(HostValues(HKEY_USERS, hostKey), all)) << "the program's own account";
    RemoveFromSessionUsersHostList(user, program);
    EXPECT_TRUE(SameValues(HostValues(HKEY_USERS, hostKey), expected)) << stage.library;
    EXPECT_EQ(KeyExists(HKEY_USERS, hostKey), layout.hostKey) << "the host key was made";
    // A user whose hive is not loaded: nothing is loaded or made.
    RemoveFromSessionUsersHostList(absent, program);
    EXPECT_FALSE(KeyExists(HKEY_USERS, notSignedIn));
    for (PSID sid : {user, program, absent})
        LocalFree(sid);
}

// A local administrator made for one test: signed in by a batch logon, whose token UAC does not
// filter, with its profile and hive loaded, and the rights to this window station and desktop.
// Everything is taken back when it goes, whatever happened: the rights, the account, its profile.
struct TemporaryAdministrator {
    TemporaryAdministrator()
    {
        unsigned random[4] = {};
        if (BCryptGenRandom(NULL, (BYTE *)random, sizeof random, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) {
            why = "BCryptGenRandom failed";
            return;
        }
        wchar_t text[64];
        swprintf(text, 64, L"uninst%08x", random[0]);
        name = text;
        swprintf(text, 64, L"Pw!%08x%08xX%08xy", random[1], random[2], random[3]);
        std::wstring password = text;
        USER_INFO_1 user = {&name[0], &password[0], 0, USER_PRIV_USER, NULL, NULL, UF_SCRIPT | UF_DONT_EXPIRE_PASSWD, NULL};
        NET_API_STATUS status = NetUserAdd(NULL, 1, (BYTE *)&user, NULL);
        if (status != NERR_Success) {
            why = "NetUserAdd: error " + std::to_string(status);
            return;
        }
        created = true;
        BYTE administrators[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof administrators, groupSize = 256, domainSize = 256;
        WCHAR group[256], domain[256];
        SID_NAME_USE use;
        LOCALGROUP_MEMBERS_INFO_3 member = {&name[0]};
        if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, NULL, administrators, &size)
            || !LookupAccountSidW(NULL, administrators, group, &groupSize, domain, &domainSize, &use)
            || (status = NetLocalGroupAddMembers(NULL, group, 3, (BYTE *)&member, 1)) != NERR_Success) {
            why = "adding the account to Administrators: error " + std::to_string(status ? status : GetLastError());
            return;
        }
        if (!LogonUserW(name.c_str(), L".", password.c_str(), LOGON32_LOGON_BATCH, LOGON32_PROVIDER_DEFAULT, &token)) {
            why = "LogonUser as a batch job: error " + std::to_string(GetLastError());
            return;
        }
        union {
            TOKEN_USER user;
            BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
        } owner;
        char *sidText;
        if (!GetTokenInformation(token, TokenUser, &owner, sizeof owner, &size) || !CopySid(sizeof sid, sid, owner.user.User.Sid)
            || !ConvertSidToStringSidA(sid, &sidText)) {
            why = "the account's SID: error " + std::to_string(GetLastError());
            return;
        }
        this->sidText = sidText;
        LocalFree(sidText);
        profile.dwFlags = PI_NOUI;
        profile.lpUserName = &name[0];
        if (!EnablePrivilege(SE_BACKUP_NAME) || !EnablePrivilege(SE_RESTORE_NAME) || !LoadUserProfileW(token, &profile)) {
            why = "LoadUserProfile: error " + std::to_string(GetLastError());
            return;
        }
        station = OpenWindowStationW(L"WinSta0", FALSE, READ_CONTROL | WRITE_DAC);
        desktop = OpenDesktopW(L"Default", 0, FALSE, READ_CONTROL | WRITE_DAC);
        if (!Grant(station, &stationRights) || !Grant(desktop, &desktopRights))
            why = "the rights to WinSta0\\Default: error " + std::to_string(GetLastError());
    }
    ~TemporaryAdministrator()
    {
        Restore(station, stationRights);
        Restore(desktop, desktopRights);
        if (profile.hProfile)
            UnloadUserProfile(token, profile.hProfile);
        if (token)
            CloseHandle(token);
        NET_API_STATUS status = created ? NetUserDel(NULL, name.c_str()) : NERR_Success;
        EXPECT_EQ(status, (NET_API_STATUS)NERR_Success) << "the account " << Ansi(name) << " is still there";
        // The profile's hive stays loaded a moment after the last of the account's processes ends.
        bool deleted = sidText.empty()
                       || WaitUntil([&] { return DeleteProfileA(sidText.c_str(), NULL, NULL) || GetLastError() == ERROR_FILE_NOT_FOUND; }, 30000);
        EXPECT_TRUE(deleted) << "the profile of " << sidText << " is still there: error " << GetLastError();
    }
    // Adds an entry that gives the account all rights to a window station or desktop; keeps the old DACL.
    bool Grant(HANDLE object, PSECURITY_DESCRIPTOR *saved)
    {
        PACL dacl = NULL, granted = NULL;
        EXPLICIT_ACCESSW access = {GENERIC_ALL, GRANT_ACCESS, NO_INHERITANCE};
        access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        access.Trustee.ptstrName = (LPWSTR)sid;
        if (!object || GetSecurityInfo(object, SE_WINDOW_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, &dacl, NULL, saved)
            || SetEntriesInAclW(1, &access, dacl, &granted))
            return false;
        DWORD result = SetSecurityInfo(object, SE_WINDOW_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, granted, NULL);
        LocalFree(granted);
        SetLastError(result);
        return result == ERROR_SUCCESS;
    }
    static void Restore(HANDLE object, PSECURITY_DESCRIPTOR saved)
    {
        PACL dacl = NULL;
        BOOL present, defaulted;
        if (saved && GetSecurityDescriptorDacl(saved, &present, &dacl, &defaulted))
            SetSecurityInfo(object, SE_WINDOW_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, dacl, NULL);
        if (saved)
            LocalFree(saved);
        if (object)
            CloseHandle(object);
    }
    std::string why;  // empty once it is ready; otherwise what could not be done
    std::wstring name;
    std::string sidText;
    BYTE sid[SECURITY_MAX_SID_SIZE] = {};
    HANDLE token = NULL;
    PROFILEINFOW profile = {sizeof profile};
    HANDLE station = NULL, desktop = NULL;
    PSECURITY_DESCRIPTOR stationRights = NULL, desktopRights = NULL;
    bool created = false;
};

// "" where the user the engine finds signed in to this process's session is the one this process
// runs as; else why not.
std::string SessionUserIsThisUser()
{
    BYTE sid[SECURITY_MAX_SID_SIZE];
    if (!GetSessionUser(sid))
        return "the engine finds no user signed in to this session";
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } own;
    HANDLE token = NULL;
    DWORD size;
    bool same = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)
                && GetTokenInformation(token, TokenUser, &own, sizeof own, &size) && EqualSid(sid, own.user.User.Sid);
    if (token)
        CloseHandle(token);
    char *text = NULL;
    std::string signedIn = ConvertSidToStringSidA(sid, &text) ? text : "a user";
    LocalFree(text);
    return same ? "" : signedIn + " is signed in, and this test runs as another account";
}

// Over-the-shoulder elevation: an administrator's name and password typed for a standard user run the
// program as that administrator, whose HKEY_CURRENT_USER is not the user's. The engine runs as a
// temporary administrator on this desktop; the host list of this test's user, who is signed in here,
// must lose the library as that of the administrator does.
TEST(Accounts, TheSignedInUsersEntryGoesWhenAnotherAdministratorRunsTheUninstall)
{
    if (UnderWine())
        GTEST_SKIP() << "Wine has one account: every process runs as the same user";
    std::string sessionUser = SessionUserIsThisUser();
    if (!sessionUser.empty())
        GTEST_SKIP() << "this test must run as the user signed in to its session: " << sessionUser;
    Stage stage;
    stage.Install(EngineHostExe());
    Registration registration(stage);
    const std::string other = "C:\\Other\\other.dll";
    ASSERT_EQ(SetString(HKEY_CURRENT_USER, HostKey, "Func0", other), 0);
    ASSERT_EQ(SetString(HKEY_CURRENT_USER, HostKey, "Func1", Upper(stage.library)), 0);
    TemporaryAdministrator administrator;
    if (!administrator.why.empty())
        GTEST_SKIP() << "no second account could run the uninstall here: " << administrator.why;
    const std::string itsHostKey = administrator.sidText + "\\" + HostKey;
    ASSERT_EQ(SetString(HKEY_USERS, itsHostKey, "Func0", stage.library), 0);
    ASSERT_EQ(SetString(HKEY_USERS, itsHostKey, "Func1", stage.library), 0);

    STARTUPINFOW startup = {sizeof startup};
    startup.lpDesktop = (LPWSTR)L"WinSta0\\Default";
    PROCESS_INFORMATION process;
    std::wstring exe = Wide(stage.exe), commandLine = L"\"" + exe + L"\"";
    ASSERT_TRUE(CreateProcessWithTokenW(administrator.token, LOGON_WITH_PROFILE, exe.c_str(), &commandLine[0], 0, NULL,
                                        NULL, &startup, &process))
        << "started as " << Ansi(administrator.name) << ": error " << GetLastError();
    DWORD ended = WaitForSingleObject(process.hProcess, ExitWait), exitCode = STILL_ACTIVE;
    GetExitCodeProcess(process.hProcess, &exitCode);
    if (ended != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    ASSERT_EQ(exitCode, 0u) << "the engine, run as " << Ansi(administrator.name);

    EXPECT_EQ(GetString(HKEY_CURRENT_USER, HostKey, "Func0"), other);
    EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, HostKey, "Func1")) << "the signed-in user's entry";
    EXPECT_FALSE(ValueExists(HKEY_USERS, itsHostKey, "Func0")) << "the administrator's own entry";
    EXPECT_TRUE(ValueExists(HKEY_USERS, itsHostKey, "Func1")) << "only the first match goes";
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, SharedDllsKey, stage.library));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, UninstallKey));
    EXPECT_FALSE(Exists(stage.library));
    for (const std::string &path : {stage.exe, stage.dir})
        EXPECT_TRUE(WaitUntilGone(path, GoneWait)) << path;
    EXPECT_TRUE(ScriptGone(stage, GoneWait));
}

INSTANTIATE_TEST_SUITE_P(Layouts, HostList, ::testing::ValuesIn(HostListCases),
                         [](const ::testing::TestParamInfo<HostListCase> &info) { return info.param.name; });

enum class LibraryState { InUse, ReadOnly, Gone };

struct LibraryCase {
    const char *name;
    LibraryState state;
    bool warned;  // one warning box, and the library stays
};

void PrintTo(const LibraryCase &library, std::ostream *out) { *out << library.name; }

class LibraryFile : public ::testing::TestWithParam<LibraryCase> {};

TEST_P(LibraryFile, WarnsOnceWhenItStaysAndGoesOnWithTheRest)
{
    const LibraryCase &library = GetParam();
    Stage stage;
    stage.Install(EngineHostExe());
    Registration registration(stage);
    SetString(HKEY_CURRENT_USER, HostKey, "Func0", stage.library);
    HANDLE held = INVALID_HANDLE_VALUE;
    switch (library.state) {
    case LibraryState::InUse:
        held = CreateFileA(stage.library.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        ASSERT_NE(held, INVALID_HANDLE_VALUE) << stage.library << ": error " << GetLastError();
        break;
    case LibraryState::ReadOnly:
        ASSERT_TRUE(SetFileAttributesA(stage.library.c_str(), FILE_ATTRIBUTE_READONLY)) << GetLastError();
        break;
    case LibraryState::Gone:
        ASSERT_TRUE(DeleteFileA(stage.library.c_str())) << GetLastError();
        break;
    }

    Program program(stage.exe, stage.temp);
    std::vector<BoxWatcher::Box> boxes;
    {
        BoxWatcher watcher(program.info.dwProcessId);
        ASSERT_EQ(program.Wait(ExitWait), 0u);
        boxes = watcher.Boxes();
    }
    if (held != INVALID_HANDLE_VALUE)
        CloseHandle(held);

    if (library.warned) {
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].caption, "Can't delete the file named:");
        EXPECT_EQ(boxes[0].text, stage.library);
        EXPECT_EQ(boxes[0].buttons, 1) << "OK alone";
        EXPECT_TRUE(Exists(stage.library)) << stage.library;
    } else {
        EXPECT_EQ(boxes.size(), 0u) << (boxes.empty() ? "" : boxes[0].caption + " / " + boxes[0].text);
    }
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, SharedDllsKey, stage.library));
    EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, HostKey, "Func0")) << "the host list was not processed";
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, UninstallKey));
    EXPECT_TRUE(WaitUntilGone(stage.exe, GoneWait)) << stage.exe;
    EXPECT_TRUE(ScriptGone(stage, GoneWait));
    EXPECT_TRUE(ScriptEnded(program));
    if (library.warned)
        EXPECT_TRUE(Exists(stage.dir)) << "the folder still holds the library";
    else
        EXPECT_TRUE(WaitUntilGone(stage.dir, GoneWait)) << stage.dir;
    SetFileAttributesA(stage.library.c_str(), FILE_ATTRIBUTE_NORMAL);
}

INSTANTIATE_TEST_SUITE_P(States, LibraryFile,
                         ::testing::Values(LibraryCase{"InUse", LibraryState::InUse, true},
                                           LibraryCase{"ReadOnly", LibraryState::ReadOnly, true},
                                           LibraryCase{"AlreadyGone", LibraryState::Gone, false}),
                         [](const ::testing::TestParamInfo<LibraryCase> &info) { return info.param.name; });

struct ScriptCase {
    const char *name;
    const char *folder;  // the installation folder below the stage's root; null for the drive's root
    std::string (*spell)(std::string path);  // how the script must write a path that cmd.exe reads exactly
    DWORD attributes = 0;  // given to the program and to a file under the script's old name
    DWORD consoleCodePage = 0;  // set as the user's console default (HKCU\\Console, CodePage)
};

void PrintTo(const ScriptCase &script, std::ostream *out) { *out << script.name; }

std::string AsIs(std::string path) { return path; }

std::string PercentDoubled(std::string path)
{
    for (size_t at = path.find('%'); at != std::string::npos; at = path.find('%', at + 2))
        path.insert(at, 1, '%');
    return path;
}

// Whether a code page holds every letter of the text as it is, with no best-fit stand-in.
bool Holds(UINT codePage, const std::wstring &text)
{
    BOOL defaulted = FALSE;
    return WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, text.c_str(), -1, NULL, 0, NULL, &defaulted) > 0
           && !defaulted;
}

// The same letters in the OEM code page, in which cmd.exe reads the script: "é" is 0xE9 in the
// ANSI code page 1252 and 0x82 in the OEM code pages 437 and 850.
std::string OemLetters(std::string path)
{
    std::wstring wide = Wide(path);
    char oem[1024];
    int length = WideCharToMultiByte(CP_OEMCP, WC_NO_BEST_FIT_CHARS, wide.c_str(), -1, oem, sizeof oem, NULL, NULL);
    return std::string(oem, length > 0 ? length - 1 : 0);
}

// The same letters in UTF-8, where the user's consoles default to it.
std::string Utf8Letters(std::string path)
{
    std::wstring wide = Wide(path);
    char utf8[1024];
    int length = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, utf8, sizeof utf8, NULL, NULL);
    return std::string(utf8, length > 0 ? length - 1 : 0);
}

// Why the letters of a name cannot be tested here as a case means them, or "" if they can: the
// ANSI code page must hold them exactly, and the OEM one must too, or must not at all.
std::string CodePagesLack(const std::wstring &name, bool inOem)
{
    char why[160] = "";
    if (!Holds(CP_ACP, name))
        wsprintfA(why, "this machine's ANSI code page %u cannot hold the name", GetACP());
    else if (Holds(CP_OEMCP, name) != inOem)
        wsprintfA(why, "this machine's OEM code page %u %s the name's letters, which the case needs it to %s", GetOEMCP(),
                  inOem ? "lacks" : "holds", inOem ? "hold" : "lack");
    return why;
}

const ScriptCase ScriptCases[] = {
    {"OrdinaryPath", "Add-on Library", AsIs},
    {"PercentDoubled", "100% pure", PercentDoubled},
    {"OemLetters", "caf\xe9", OemLetters},
    {"DriveRoot", nullptr, AsIs},
    // cmd.exe's del leaves such a file alone, and the script would retry for ever.
    {"ReadOnlyHiddenSystem", "Add-on Library", AsIs,
     FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM},
    // cmd.exe reads the script in its console's code page, which a user may default to UTF-8.
    {"Utf8Console", "caf\xe9", Utf8Letters, 0, CP_UTF8},
    // The console host keeps an East Asian default only where it is the system's own code page.
    {"OtherEastAsianConsole", "caf\xe9", OemLetters, 0, 932},
};

// Removes what a test put at the drive's root, where no stage cleans up.
struct RootFiles {
    ~RootFiles()
    {
        for (const std::string &path : paths)
            DeleteFileA(path.c_str());
    }
    std::vector<std::string> paths;
};

class ScriptBytes : public ::testing::TestWithParam<ScriptCase> {};

// Holding the program's file open without delete sharing keeps the script looping, so it can be read
// whole before it deletes itself. A file that holds the script's name in the Temp folder itself, as
// anybody may put there, is no longer ours: it stays as it is.
TEST_P(ScriptBytes, HoldsExactlyItsLinesInAFolderOfItsOwnAndLeavesTheTempFolderAlone)
{
    const ScriptCase &layout = GetParam();
    if (layout.spell == OemLetters && !CodePagesLack(Wide(layout.folder), true).empty())
        GTEST_SKIP() << CodePagesLack(Wide(layout.folder), true);
    if (layout.spell == Utf8Letters && !Holds(CP_ACP, Wide(layout.folder)))
        GTEST_SKIP() << "this machine's ANSI code page " << GetACP() << " cannot hold the name";
    if (layout.consoleCodePage == 932 && GetOEMCP() == 932)
        GTEST_SKIP() << "932 is this system's own OEM code page";
    SavedValue consoleDefault(HKEY_CURRENT_USER, "Console", "CodePage");
    if (layout.consoleCodePage)
        ASSERT_EQ(SetValue(HKEY_CURRENT_USER, "Console", "CodePage", REG_DWORD, &layout.consoleCodePage, sizeof(DWORD)), 0);
    Stage stage(layout.folder ? layout.folder : "");
    RootFiles rootFiles;
    std::string dir = stage.dir;
    if (!layout.folder) {
        RemoveDirectoryA(stage.dir.c_str());
        stage.dir = "C:";
        stage.exe = "C:\\uninst.exe";
        stage.library = "C:\\pellumine.dll";
        dir = "C:\\";  // "C:" alone would name the current directory on drive C
        ASSERT_FALSE(Exists(stage.exe)) << stage.exe << " is there before the test";
        rootFiles.paths = {stage.exe, stage.library};
    }
    stage.Install(EngineHostExe());
    Registration registration(stage);
    struct Squatter {
        ~Squatter()
        {
            SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(path.c_str());
        }
        std::string path = WindowsTemp() + "pellumine.bat";
    } squatter;
    const std::string stale = "rem another's file under the script's old name\r\n";
    WriteBytes(squatter.path, stale);
    if (layout.attributes) {
        ASSERT_TRUE(SetFileAttributesA(squatter.path.c_str(), layout.attributes)) << GetLastError();
        ASSERT_TRUE(SetFileAttributesA(stage.exe.c_str(), layout.attributes)) << GetLastError();
    }
    HeldFile held(stage.exe);
    ASSERT_NE(held.handle, INVALID_HANDLE_VALUE);
    // The program's folder as cmd.exe would read it in the OEM code page. Wine's cmd.exe reads a
    // script so whatever the console says: there a program held under that name keeps the script
    // looping until it has been read. On Windows nothing there may be touched.
    std::wstring misread;
    HANDLE twin = INVALID_HANDLE_VALUE;
    if (layout.spell == Utf8Letters) {
        WCHAR read[MAX_PATH];
        int length = MultiByteToWideChar(CP_OEMCP, 0, Utf8Letters(stage.dir).c_str(), -1, read, MAX_PATH);
        misread = std::wstring(read, length > 0 ? length - 1 : 0) + L"\\uninst.exe";
        ASSERT_TRUE(CreateDirectoryW(read, NULL)) << Ansi(read) << ": error " << GetLastError();
        WriteFileW(misread, "MZ another program");
        twin = CreateFileW(misread.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    }

    Program program(stage.exe, stage.temp);
    DWORD exitCode = program.Wait(ExitWait);
    std::string folder = stage.ScriptFolder(), script = ReadBytes(stage.Script());
    bool stillThere = Exists(stage.exe);
    held.Release();

    ASSERT_EQ(exitCode, 0u);
    std::string exe = layout.spell(stage.exe);
    EXPECT_EQ(script, "del pellumine.run\r\n:Repeat\r\ndel \"" + exe + "\"\r\nif exist \"" + exe
                          + "\" goto Repeat\r\nrmdir \"" + layout.spell(dir) + "\"\r\ndel \"" + folder
                          + "\\pellumine.bat\" & cd .. & rmdir \"" + folder + "\" & exit\r\n");
    EXPECT_TRUE(stillThere) << "the held program was deleted";
    EXPECT_EQ(ReadBytes(squatter.path), stale);
    if (twin != INVALID_HANDLE_VALUE)
        CloseHandle(twin);
    if (layout.spell == Utf8Letters && UnderWine()) {
        EXPECT_TRUE(ScriptEnded(program)) << "only Windows can show that the script is read as written";
    } else if (layout.folder) {
        EXPECT_TRUE(misread.empty() || ExistsW(misread)) << Ansi(misread) << ", the program's path misread, was acted on";
        EXPECT_TRUE(RemovedItself(stage, program)) << "once the program is released";
    } else {
        EXPECT_TRUE(WaitUntilGone(stage.exe, GoneWait)) << stage.exe;
        EXPECT_TRUE(ScriptGone(stage, GoneWait));
        EXPECT_TRUE(ScriptEnded(program));
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, ScriptBytes, ::testing::ValuesIn(ScriptCases),
                         [](const ::testing::TestParamInfo<ScriptCase> &info) { return info.param.name; });

// Decoys are files where a wrong reading of the script's paths would act; each must survive.
struct NamesCase {
    const char *name;
    const wchar_t *folder, *temp;  // the installation and temporary folders, below the stage's root
    std::vector<const wchar_t *> decoys;
    // Letters outside ASCII: the case needs them in the ANSI code page and, as said here, in the
    // OEM one or not (then the folder must have a short 8.3 name).
    enum { Ascii, InOem, NotInOem } letters = Ascii;
    const wchar_t *program = L"uninst.exe";  // the name the program is renamed to
};

void PrintTo(const NamesCase &names, std::ostream *out) { *out << names.name; }

// Named in folders below, so that a script that expanded it would act on the "decoy" folders.
const char DecoyVariable[] = "PELLUMINE_DECOY";

const NamesCase NamesCases[] = {
    {"SpacesAndParentheses", L"Program Files (x86)", L"tmp (1) dir",
     {L"Program\\uninst.exe", L"Program Files\\uninst.exe", L"tmp\\pellumine.bat"}},
    {"Ampersand", L"R&D", L"T&M", {L"R\\uninst.exe", L"D\\uninst.exe", L"T\\pellumine.bat", L"M\\pellumine.bat"}},
    {"Percent", L"100%", L"50% off", {L"100\\uninst.exe", L"50 off\\pellumine.bat"}},
    {"Variable", L"%PELLUMINE_DECOY%", L"%PELLUMINE_DECOY% tmp", {L"decoy\\uninst.exe", L"decoy tmp\\pellumine.bat"}},
    // Expanded, these would name folders that do not exist, and the script would not run at all.
    {"SystemVariables", L"%PATH%", L"%TEMP%", {}},
    {"Caret", L"a^b", L"c^d", {L"ab\\uninst.exe", L"cd\\pellumine.bat"}},
    // Only with delayed expansion, which is off unless a script turns it on.
    {"Exclamation", L"Hi!PELLUMINE_DECOY!", L"!PELLUMINE_DECOY!", {L"Hidecoy\\uninst.exe", L"decoy\\pellumine.bat"}},
    // Written in the ANSI code page, these letters would read in the OEM one as the decoys' letters.
    {"AccentedLetters", L"caf\u00e9", L"M\u00fcller", {L"caf\u0398\\uninst.exe", L"M\u207fller\\pellumine.bat"},
     NamesCase::InOem},
    // Not in the OEM code page at all: neither the ANSI bytes nor a best-fit spelling may be used.
    {"LettersWithoutOemEquivalent", L"\u0152uvre", L"\u20acuro",
     {L"\u00eeuvre\\uninst.exe", L"Ouvre\\uninst.exe", L"OEuvre\\uninst.exe", L"\u00c7uro\\pellumine.bat",
      L"Euro\\pellumine.bat"},
     NamesCase::NotInOem},
    // In the double-byte code page 932 the name's second byte is 0x5C, a backslash: read byte by byte,
    // the program's folder would end inside the name, and neither library nor folder would go.
    {"TrailByteBackslash", L"Add-on", L"tmp", {}, NamesCase::InOem, L"\u8868.exe"},
};

class Names : public ::testing::TestWithParam<NamesCase> {};

TEST_P(Names, ScriptRemovesExactlyTheProgramItsFolderAndItself)
{
    const NamesCase &names = GetParam();
    std::string lacking = names.letters == NamesCase::Ascii
                              ? ""
                              : CodePagesLack(std::wstring(names.folder) + names.temp + names.program,
                                              names.letters == NamesCase::InOem);
    if (!lacking.empty())
        GTEST_SKIP() << lacking;
    Stage stage(Ansi(names.folder), Ansi(names.temp));
    ASSERT_TRUE(Exists(stage.dir)) << stage.dir;
    ASSERT_TRUE(Exists(stage.temp)) << stage.temp;
    WCHAR shortName[MAX_PATH] = L"";
    if (names.letters == NamesCase::NotInOem
        && (!GetShortPathNameW(Wide(stage.dir).c_str(), shortName, MAX_PATH) || !Holds(CP_OEMCP, shortName)))
        GTEST_SKIP() << stage.dir << " has no short 8.3 name (\"" << Ansi(shortName)
                     << "\"): short names are off on this drive, and the program writes no script without one";
    stage.Install(EngineHostExe());
    if (lstrcmpW(names.program, L"uninst.exe") != 0) {
        std::string renamed = stage.dir + "\\" + Ansi(names.program);
        ASSERT_TRUE(MoveFileW(Wide(stage.exe).c_str(), Wide(renamed).c_str())) << renamed << ": error " << GetLastError();
        stage.exe = renamed;
    }
    Registration registration(stage);
    std::wstring root = Wide(stage.root);
    // A decoy script that runs leaves this marker.
    std::string ran = stage.root + "\\decoy.ran";
    for (const wchar_t *decoy : names.decoys) {
        std::wstring path = root + L"\\" + decoy;
        CreateDirectoryW(path.substr(0, path.rfind(L'\\')).c_str(), NULL);
        WriteFileW(path, "@echo ran> \"" + ran + "\"\r\n");
    }
    SetEnvironmentVariableA(DecoyVariable, "decoy");
    Program program(stage.exe, stage.temp);
    SetEnvironmentVariableA(DecoyVariable, NULL);
    ASSERT_EQ(program.Wait(ExitWait), 0u);

    EXPECT_FALSE(Exists(stage.library)) << stage.library;
    EXPECT_TRUE(RemovedItself(stage, program));
    for (const wchar_t *decoy : names.decoys)
        EXPECT_TRUE(ExistsW(root + L"\\" + decoy)) << Ansi(decoy) << " was deleted";
    EXPECT_FALSE(Exists(ran)) << "a decoy script ran";
}

INSTANTIATE_TEST_SUITE_P(Paths, Names, ::testing::ValuesIn(NamesCases),
                         [](const ::testing::TestParamInfo<NamesCase> &info) { return info.param.name; });

// An installation folder of more than 246 characters leaves no room for the library's name: no
// step may act on the cut-off path, which could be somebody else's file.
struct LongFolderCase {
    size_t length;  // of the installation folder's path
    bool fits;
};

void PrintTo(const LongFolderCase &folder, std::ostream *out) { *out << folder.length << " characters"; }

class LongFolder : public ::testing::TestWithParam<LongFolderCase> {};

TEST_P(LongFolder, NothingActsOnACutOffPath)
{
    const LongFolderCase &folder = GetParam();
    Stage stage;
    SetFolderLength(stage, folder.length);
    ASSERT_TRUE(CopyFileA(EngineHostExe().c_str(), stage.exe.c_str(), FALSE)) << stage.exe << ": " << GetLastError();
    WriteFileW(Wide(stage.library), "MZ not really a library");
    Registration registration(stage);
    // What a copy cut at the end of the 260-character buffer would name.
    std::string cutOff = stage.library.substr(0, MAX_PATH - 1);
    if (!folder.fits) {
        WriteFileW(Wide(cutOff), "somebody else's file");
        registration.AddSharedCount(cutOff, 2);
        SetString(HKEY_CURRENT_USER, HostKey, "Func0", cutOff);
    }
    SetString(HKEY_CURRENT_USER, HostKey, folder.fits ? "Func0" : "Func1", stage.library);

    Program program(stage.exe, stage.temp);
    std::vector<BoxWatcher::Box> boxes;
    {
        BoxWatcher watcher(program.info.dwProcessId);
        ASSERT_EQ(program.Wait(ExitWait), 0u);
        boxes = watcher.Boxes();
    }

    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, UninstallKey));
    if (folder.fits) {
        EXPECT_EQ(boxes.size(), 0u);
        EXPECT_FALSE(ExistsW(Wide(stage.library))) << stage.library;
        EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, SharedDllsKey, stage.library));
        EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, HostKey, "Func0"));
        EXPECT_TRUE(RemovedItself(stage, program));
        return;
    }
    EXPECT_EQ(boxes.size(), 1u);
    if (!boxes.empty()) {
        EXPECT_EQ(boxes[0].caption, "Can't delete the file named:");
        EXPECT_EQ(boxes[0].text, "pellumine.dll");
    }
    EXPECT_EQ(ReadBytes(cutOff), "somebody else's file") << cutOff;
    EXPECT_EQ(SharedCount(cutOff), 2u) << cutOff;
    EXPECT_EQ(GetString(HKEY_CURRENT_USER, HostKey, "Func0"), cutOff);
    // The library's own entries stay too: the steps that would need its path are skipped.
    EXPECT_TRUE(ExistsW(Wide(stage.library))) << stage.library;
    EXPECT_EQ(SharedCount(stage.library), 1u) << stage.library;
    EXPECT_EQ(GetString(HKEY_CURRENT_USER, HostKey, "Func1"), stage.library);
    EXPECT_TRUE(WaitUntilGone(stage.exe, GoneWait)) << stage.exe;
    EXPECT_TRUE(ScriptGone(stage, GoneWait));
    EXPECT_TRUE(ScriptEnded(program));
    EXPECT_TRUE(Exists(stage.dir)) << "the folder still holds the library";
}

// 245 is the longest that fits; Wine starts no program from a path of 260 characters or more,
// so 248 is the longest folder that can hold a running uninst.exe.
INSTANTIATE_TEST_SUITE_P(Lengths, LongFolder,
                         ::testing::Values(LongFolderCase{LongestFolder, true}, LongFolderCase{246, false},
                                           LongFolderCase{247, false}),
                         [](const ::testing::TestParamInfo<LongFolderCase> &info) {
                             return std::to_string(info.param.length);
                         });

// A folder named with a letter that the ANSI code page lacks has a best-fit ANSI spelling that can
// name another folder: "Tovaslin" for "\uFF34ovaslin" (a fullwidth T). The installation there must
// come out untouched. Ours goes by its short name where it has one; without, the warning names it
// with '?' for the letter, and the program stays where the user can find it.
TEST(Engine, FolderNamedOutsideTheCodePageNeverActsOnItsBestFitTwin)
{
    Stage stage;
    Registration registration(stage);
    std::wstring ours = Wide(stage.root) + L"\\\uFF34ovaslin";
    std::string twin = stage.root + "\\Tovaslin";
    if (Ansi(ours) != twin)
        GTEST_SKIP() << "this code page spells " << Ansi(L"\uFF34") << " for a fullwidth T, not T";
    std::wstring exe = ours + L"\\uninst.exe";
    ASSERT_TRUE(CreateDirectoryW(ours.c_str(), NULL)) << GetLastError();
    ASSERT_TRUE(CopyFileW(Wide(EngineHostExe()).c_str(), exe.c_str(), FALSE)) << GetLastError();
    WriteFileW(ours + L"\\pellumine.dll", "MZ ours");
    ASSERT_TRUE(CreateDirectoryA(twin.c_str(), NULL)) << GetLastError();
    const std::string twinLibrary = twin + "\\pellumine.dll", twinExe = twin + "\\uninst.exe";
    WriteBytes(twinLibrary, "MZ the other installation's");
    WriteBytes(twinExe, "MZ the other installation's uninstaller");
    registration.AddSharedCount(twinLibrary, 3);
    SetString(HKEY_CURRENT_USER, HostKey, "Func0", twinLibrary);
    WCHAR shortName[MAX_PATH];
    bool exactShortName = GetShortPathNameW(ours.c_str(), shortName, MAX_PATH) > 0 && Holds(CP_ACP, shortName);
    // The kit for Windows runs this case with short names made on the drive and again with none.
    RecordProperty("Branch", exactShortName ? "by the short name" : "no short name: warns and stays");

    Program program(exe, stage.temp);
    std::vector<BoxWatcher::Box> boxes;
    {
        BoxWatcher watcher(program.info.dwProcessId);
        ASSERT_EQ(program.Wait(ExitWait), 0u);
        boxes = watcher.Boxes();
    }

    EXPECT_EQ(ReadBytes(twinLibrary), "MZ the other installation's");
    EXPECT_EQ(ReadBytes(twinExe), "MZ the other installation's uninstaller");
    EXPECT_EQ(SharedCount(twinLibrary), 3u);
    EXPECT_EQ(GetString(HKEY_CURRENT_USER, HostKey, "Func0"), twinLibrary);
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, UninstallKey));
    if (exactShortName) {
        EXPECT_EQ(boxes.size(), 0u) << (boxes.empty() ? "" : boxes[0].text);
        EXPECT_FALSE(ExistsW(ours + L"\\pellumine.dll")) << "through the short name " << Ansi(shortName);
        EXPECT_TRUE(WaitUntil([&] { return !ExistsW(ours); }, GoneWait)) << "the program and its folder";
    } else {
        ASSERT_EQ(boxes.size(), 2u) << "the library's warning, then the program's";
        EXPECT_EQ(boxes[0].caption, "Can't delete the file named:");
        EXPECT_EQ(boxes[0].text, stage.root + "\\?ovaslin\\pellumine.dll");
        EXPECT_EQ(boxes[1].caption, "Can't delete the file named:");
        EXPECT_EQ(boxes[1].text, stage.root + "\\?ovaslin\\uninst.exe");
        EXPECT_TRUE(ExistsW(ours + L"\\pellumine.dll"));
        EXPECT_TRUE(ExistsW(exe)) << "no script, so the program stays";
    }
    EXPECT_TRUE(ScriptGone(stage, GoneWait));
    EXPECT_TRUE(ScriptEnded(program));
}

// The script's old name in the Temp folder, taken by a folder of somebody else's, stops nothing: the
// script lives in a folder of its own, and what holds the name is left as it is.
TEST(Script, ANameTakenInTheTempFolderStopsNothing)
{
    Stage stage;
    stage.Install(EngineHostExe());
    Registration registration(stage);
    struct Taken {
        ~Taken()
        {
            DeleteFileA(inside.c_str());
            RemoveDirectoryA(folder.c_str());
        }
        std::string folder = WindowsTemp() + "pellumine.bat", inside = folder + "\\kept.txt";
    } taken;
    ASSERT_TRUE(CreateDirectoryA(taken.folder.c_str(), NULL)) << taken.folder << ": error " << GetLastError();
    WriteBytes(taken.inside, "not ours");

    Program program(stage.exe, stage.temp);
    ASSERT_EQ(program.Wait(ExitWait), 0u);

    EXPECT_TRUE(RemovedItself(stage, program));
    EXPECT_EQ(ReadBytes(taken.inside), "not ours");
}

// cmd.exe opens the script again by name for each line, so once the script has deleted itself the
// name is anybody's: nothing may be read from it after the line that deletes it. Here that deletion
// fails, and lines added behind it stand for whatever a program of another user put there.
TEST(Script, NothingIsReadFromItsNameAfterTheLineThatDeletesIt)
{
    Stage stage;
    stage.Install(EngineHostExe());
    Registration registration(stage);
    std::string ran = stage.root + "\\after-the-last-line.ran";
    HeldFile program(stage.exe);
    Program engine(stage.exe, stage.temp);
    ASSERT_EQ(engine.Wait(ExitWait), 0u);
    const std::string path = stage.Script();
    HANDLE script = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                OPEN_EXISTING, 0, NULL);
    ASSERT_NE(script, INVALID_HANDLE_VALUE) << path << ": error " << GetLastError();
    std::string planted = "echo ran> \"" + ran + "\"\r\necho ran>> \"" + ran + "\"\r\n";
    DWORD written = 0;
    WriteFile(script, planted.data(), (DWORD)planted.size(), &written, NULL);
    CloseHandle(script);
    ASSERT_EQ(written, planted.size());
    HeldFile undeletable(path);

    program.Release();
    EXPECT_TRUE(WaitUntilGone(stage.exe, GoneWait)) << stage.exe;
    EXPECT_TRUE(WaitUntilGone(stage.dir, GoneWait)) << stage.dir;
    EXPECT_TRUE(ScriptEnded(engine));
    EXPECT_FALSE(Exists(ran)) << "a line after the one that deletes the script ran";
}

// The marks that planted programs leave when they run.
std::set<std::wstring> Markers(const std::string &folder)
{
    std::set<std::wstring> markers;
    for (const std::wstring &path : Tree(folder))
        if (path.size() > 4 && path.compare(path.size() - 4, 4, L".ran") == 0)
            markers.insert(path);
    return markers;
}

// The script is run by the system's own cmd.exe: not one that COMSPEC names, nor one planted in
// the current directory or on PATH.
TEST(Script, RunsUnderTheSystemsCmdAndNothingTheEnvironmentNames)
{
    Stage stage;
    stage.Install(EngineHostExe());
    Registration registration(stage);
    std::string bin = stage.root + "\\bin";
    CreateDirectoryA(bin.c_str(), NULL);
    char self[MAX_PATH], path[4096] = "";
    GetModuleFileNameA(NULL, self, MAX_PATH);
    GetEnvironmentVariableA("PATH", path, sizeof path);
    for (const std::string &plant : {stage.root + "\\cmd.exe", bin + "\\cmd.exe", stage.root + "\\comspec.exe"})
        ASSERT_TRUE(CopyFileA(self, plant.c_str(), FALSE)) << plant << ": " << GetLastError();

    Program program(stage.exe, stage.temp, stage.root,
                    {"COMSPEC=" + stage.root + "\\comspec.exe", "PATH=" + bin + ";" + path});
    ASSERT_EQ(program.Wait(ExitWait), 0u);

    EXPECT_TRUE(RemovedItself(stage, program));
    std::set<std::wstring> markers = Markers(stage.root);
    EXPECT_TRUE(markers.empty()) << "planted programs ran:" << Show(markers);
}

// Windows' cmd.exe runs the AutoRun commands before a script unless it is given /d; one that
// changes the directory would leave ".\pellumine.bat" unfound, and the program in place. The
// command also leaves a mark, so that a cmd.exe started without /d first shows it runs here at all.
TEST(Script, AutoRunCommandsDoNotRunFirst)
{
    Stage stage;
    stage.Install(EngineHostExe());
    Registration registration(stage);
    std::string mark = stage.root + "\\autorun.ran";
    SavedValue autoRun(HKEY_CURRENT_USER, "Software\\Microsoft\\Command Processor", "AutoRun");
    ASSERT_EQ(SetString(HKEY_CURRENT_USER, autoRun.key, autoRun.name,
                        "echo ran>\"" + mark + "\" & cd /d \"" + stage.root + "\""), 0);

    ASSERT_TRUE(RunSystemCmd("/c rem"));
    if (!Exists(mark))
        GTEST_SKIP() << AutoRunOffHere << ": the system's cmd.exe, started without /d, did not run the AutoRun command "
                     << "(Wine's cmd.exe never runs them; on Windows a policy can turn them off)";
    ASSERT_TRUE(DeleteFileA(mark.c_str())) << mark << ": error " << GetLastError();

    Program program(stage.exe, stage.temp);
    ASSERT_EQ(program.Wait(ExitWait), 0u);
    EXPECT_TRUE(RemovedItself(stage, program));
    EXPECT_FALSE(Exists(mark)) << "the AutoRun command ran before the script";
}

}  // namespace
