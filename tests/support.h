// Fixtures and drivers for tests that run the real program against the real system under Wine.
#pragma once

#include <windows.h>

#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace test {

// Keys and values the uninstaller works on.
extern const char SharedDllsKey[];
extern const char HostKey[];
extern const char UninstallKey[];

// A file beside this test program. Its companions live there, in the build tree as in the kit
// for Windows: nothing refers to where the program was built.
std::string Beside(const char *name);

// The program under test: UNINST_EXE from the environment (a signed build, say), or the one
// beside this program. ShippedExe is the 32-bit program whose file is checked; it is the same
// one unless this is the x86-64 build, which checks the 32-bit program it does not run.
std::string UninstExe();
std::string ShippedExe();
std::string EngineHostExe();

// Where this runs: Wine (whose behaviour some checks cannot tell from the right one), and WOW64.
bool UnderWine();
bool UnderWow64();

// Said by the AutoRun check when a cmd.exe started without /d does not run the AutoRun command it
// set: there is nothing to check (Wine, or a policy that turns AutoRun off). On Windows the kit's
// summary counts it as failed all the same.
const char AutoRunOffHere[] = "AutoRun commands do not run here";

// ANSI and wide forms of a path, and the \\?\ form that wide calls accept past 259 characters.
std::wstring Wide(const std::string &ansi);
std::string Ansi(const std::wstring &wide);
std::wstring Long(const std::wstring &path);

bool Exists(const std::string &path);
std::string ReadBytes(const std::string &path);
void WriteBytes(const std::string &path, const std::string &bytes);
// Polls until the condition holds; true if it did within the time.
bool WaitUntil(const std::function<bool()> &condition, DWORD milliseconds);
// Polls until the path is gone; true if it went within the time.
bool WaitUntilGone(const std::string &path, DWORD milliseconds);
// A file held open without delete sharing, as Windows holds a running program or a loaded
// library: nobody can delete it until this goes or lets it go.
struct HeldFile {
    explicit HeldFile(const std::string &path);
    ~HeldFile() { Release(); }
    void Release();
    HANDLE handle;
};
// Removes a folder and all it holds, names outside the ANSI code page and paths of 260
// characters or more included; no error if it is not there.
void RemoveTree(const std::string &path);

// How many files and folders a folder holds (with or without its trailing backslash); 0 if none
// or there is no such folder.
int CountEntries(const std::string &folder);

// The Windows directory's Temp folder, with its trailing backslash: where the script's folder goes.
std::string WindowsTemp();
// The folders there named as the program names its script's folder ("pellumine-" and 16 hex digits).
std::set<std::string> ScriptFolders();

// A staged installation: a fresh folder holding the program and "pellumine.dll", and a private
// temporary folder given to the program as TEMP and TMP, which it must leave alone. Removes both,
// and any script folder made since, when it goes. A folder name with a drive is taken as it is.
struct Stage {
    explicit Stage(const std::string &folderName = "", const std::string &tempName = "");
    ~Stage();
    std::string root;  // the test's own folder, holding everything below
    std::string dir;   // the installation folder, without a trailing backslash
    std::string temp;  // the temporary folder, with its trailing backslash
    std::string exe;   // dir\uninst.exe
    std::string library;  // dir\pellumine.dll
    // Copies a built program in as uninst.exe and writes a library file.
    void Install(const std::string &program);
    // Makes `folder` the installation folder; one outside the stage's root, and its parent if this
    // made it, are removed when the stage goes.
    void MoveTo(const std::string &folder);
    // The folder the program made for its script since the stage was made, and the script in it;
    // "" where there is none.
    std::string ScriptFolder() const;
    std::string Script() const;

private:
    std::string outside_, outsideParent_;
    std::set<std::string> scriptFoldersBefore_;
};

// The script's folder of the stage's run has gone within the time: the script's last line removes
// it. Under Wine, whose cmd.exe holds a script open until it ends, no script can remove its own
// folder: there the folder must be left empty.
::testing::AssertionResult ScriptGone(const Stage &stage, DWORD milliseconds);

// Saves what the screen shows in a rectangle as a 24-bit BMP file.
bool SaveScreenshot(const RECT &rect, const std::string &path);

// Registry fixtures: each test writes what it needs and removes it. `view` is 0 for this
// program's own view of the registry, or KEY_WOW64_32KEY or KEY_WOW64_64KEY.
LONG SetValue(HKEY root, const std::string &key, const std::string &name, DWORD type, const void *data, DWORD size,
              REGSAM view = 0);
LONG SetString(HKEY root, const std::string &key, const std::string &name, const std::string &value, REGSAM view = 0);
bool ValueExists(HKEY root, const std::string &key, const std::string &name, REGSAM view = 0);
std::string GetString(HKEY root, const std::string &key, const std::string &name);
// A library's shared count in this program's view; 0 if it has none.
DWORD SharedCount(const std::string &name);
bool KeyExists(HKEY root, const std::string &key, REGSAM view = 0);
void DeleteTree(HKEY root, const std::string &key, REGSAM view = 0);

// Runs the system directory's cmd.exe with these arguments ("/c rem", say), without a console
// window, in `folder` (else this process's current directory), and waits up to 30 s for its end.
::testing::AssertionResult RunSystemCmd(const std::string &arguments, const std::string &folder = "");

// Enables a privilege of this process's token (SE_RESTORE_NAME, say); false if it could not.
bool EnablePrivilege(const char *name);

// A value of the user's, put back exactly as it was (or removed again) when the test ends, however
// it ends; a key this made is removed too.
struct SavedValue {
    SavedValue(HKEY root, const std::string &key, const std::string &name);
    ~SavedValue();
    HKEY root;
    std::string key, name, bytes;
    DWORD type = 0;
    bool had = false, hadKey = false;
};

// The registry entries of a staged installation: the library's shared count, the uninstall key,
// and no host list. Removes them, and the other shared counts it was given, when it goes.
struct Registration {
    explicit Registration(const Stage &stage, DWORD count = 1);
    ~Registration();
    void AddSharedCount(const std::string &name, DWORD count);
    std::vector<std::string> sharedNames;
};

// A program started with TEMP and TMP pointing at a given folder, and other variables
// ("NAME=value") set or replaced in its environment. Started `counted`, it runs in a job object of
// its own from its first instruction, which counts every process it starts. Given `mitigations`
// (PROCESS_CREATION_MITIGATION_POLICY_* flags), it runs under that policy, as exploit protection
// set for it would have it.
struct Program {
    Program(const std::string &exe, const std::string &temp, const std::string &currentDir = "",
            const std::vector<std::string> &variables = {}, bool counted = false, DWORD64 mitigations = 0);
    // A program whose path the ANSI code page cannot spell.
    Program(const std::wstring &exe, const std::string &temp, const std::string &currentDir = "",
            const std::vector<std::string> &variables = {}, bool counted = false, DWORD64 mitigations = 0);
    ~Program();
    // How many processes it has started, ended or not; -1 if it was not started counted.
    int Started() const;
    // Waits for the exit; the exit code, or STILL_ACTIVE after the time.
    DWORD Wait(DWORD milliseconds);
    // The processes it started that still run.
    std::vector<DWORD> Children() const;
    // Waits until every process it started has ended; false if one still runs after the time.
    bool WaitForChildren(DWORD milliseconds) const;
    PROCESS_INFORMATION info{};
    bool started = false;
    HANDLE job = NULL;
};

// A visible dialog window of the process, titled `title` (null: any title), other than `except`;
// null if there is none now.
HWND VisibleDialog(DWORD processId, const char *title = nullptr, HWND except = NULL);

// Answers the message boxes a process shows: presses OK on each and records caption, text and owner.
class BoxWatcher {
public:
    explicit BoxWatcher(DWORD processId);
    ~BoxWatcher();
    struct Box {
        std::string caption, text;
        HWND owner;
        int buttons;  // push buttons in the box: 1 for a box with OK only
    };
    std::vector<Box> Boxes();

private:
    static DWORD WINAPI Run(void *self);
    DWORD processId_;
    HANDLE thread_, stop_;
    CRITICAL_SECTION lock_;
    std::vector<Box> boxes_;
};

}  // namespace test
