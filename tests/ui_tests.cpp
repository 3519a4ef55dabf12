// The whole program under Wine, driven through its own window and message loop as a person
// would: keys and clicks go in as hardware input to the foreground window, and what is left on
// disk and in the registry is checked afterwards.
#include "support.h"

#include <commctrl.h>
#include <sddl.h>
#include <versionhelpers.h>
#include <gtest/gtest-spi.h>

#include <algorithm>
#include <functional>
#include <cctype>
#include <initializer_list>
#include <memory>

#include "ui_probe.h"

using namespace test;

namespace {

const char Title[] = "Uninstall IEEE754 Add-on Library";

std::string ClassOf(HWND window)
{
    char name[64] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

std::string TextOf(HWND window)
{
    char text[512] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

// A window as a failure names it: its text, class and process.
std::string Named(HWND window)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    return window ? "\"" + TextOf(window) + "\", class " + ClassOf(window) + ", process " + std::to_string(process)
                  : "no window";
}

std::string Upper(std::string text)
{
    CharUpperA(&text[0]);
    return text;
}

// The names in a folder, sorted and joined, or "<no folder>".
std::string List(const std::string &folder)
{
    if (!Exists(folder))
        return "<no folder>";
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (lstrcmpA(found.cFileName, ".") != 0 && lstrcmpA(found.cFileName, "..") != 0)
                names.push_back(found.cFileName);
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    std::sort(names.begin(), names.end());
    std::string list;
    for (const std::string &name : names)
        list += (list.empty() ? "" : ", ") + name;
    return "[" + list + "]";
}

// A staged installation with everything the uninstall removes: the shared-library count (above
// 1), the host's list holding the library between two others and in other letter case, and the
// uninstall registration.
struct Installation {
    explicit Installation(const std::string &folder = "") : stage(folder)
    {
        stage.Install(UninstExe());
        EXPECT_EQ(SetString(HKEY_CURRENT_USER, HostKey, "Func0", other), 0);
        EXPECT_EQ(SetString(HKEY_CURRENT_USER, HostKey, "Func1", Upper(stage.library)), 0);
        EXPECT_EQ(SetString(HKEY_CURRENT_USER, HostKey, "Func2", third), 0);
    }
    // Everything the program could change, one line each: compared before and after.
    std::string State() const
    {
        std::string state = "shared count: ";
        state += ValueExists(HKEY_LOCAL_MACHINE, SharedDllsKey, stage.library) ? "yes\n" : "no\n";
        for (const char *name : {"Func0", "Func1", "Func2", "Func3"})
            state += std::string(name) + ": " + GetString(HKEY_CURRENT_USER, HostKey, name) + "\n";
        state += "uninstall key: ";
        state += KeyExists(HKEY_LOCAL_MACHINE, UninstallKey) ? "yes\n" : "no\n";
        state += "folder: " + List(stage.dir) + "\n";
        state += "temp: " + List(stage.temp) + "\n";
        state += "script folder: " + std::string(stage.ScriptFolder().empty() ? "no" : "yes") + "\n";
        return state;
    }
    Stage stage;
    Registration registration{stage, 2};
    const std::string other = "C:\\Other\\other.dll";
    const std::string third = "C:\\Third\\third.dll";
};

// A visible dialog window of the process, other than `except`; null if none comes in time.
HWND WaitForDialog(const Program &program, const char *title, HWND except = NULL, DWORD milliseconds = 10000)
{
    DWORD start = GetTickCount();
    do {
        if (HWND found = VisibleDialog(program.info.dwProcessId, title, except))
            return found;
        if (WaitForSingleObject(program.info.hProcess, 20) == WAIT_OBJECT_0)
            return NULL;
    } while (GetTickCount() - start < milliseconds);
    return NULL;
}

// The uninstall dialog once the program waits for the user.
HWND WaitForMainDialog(const Program &program)
{
    HWND dialog = WaitForDialog(program, Title);
    if (dialog)
        WaitForInputIdle(program.info.hProcess, 10000);
    return dialog;
}

// Keys pressed together on the keyboard: down in order, up in reverse. They go to the
// foreground window, and are pressed only once `target` is it: Alt+F4 in another window (a CI
// runner's console, say) would close that one.
void PressKeys(HWND target, std::initializer_list<WORD> keys, DWORD wait = 10000)
{
    ASSERT_TRUE(WaitUntil([&] { return GetForegroundWindow() == target; }, wait))
        << "no keys pressed: they would go to " << Named(GetForegroundWindow()) << ", in front of "
        << Named(target);
    std::vector<INPUT> inputs;
    for (WORD key : keys) {
        INPUT input{};
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = key;
        inputs.push_back(input);
    }
    for (size_t i = keys.size(); i-- > 0;) {
        inputs.push_back(inputs[i]);
        inputs.back().ki.dwFlags = KEYEVENTF_KEYUP;
    }
    EXPECT_EQ(SendInput((UINT)inputs.size(), inputs.data(), sizeof(INPUT)), inputs.size());
}

// A left click of the mouse at a point of the screen, once that point is on `target` and its
// dialog is the foreground window.
void ClickAt(HWND target, POINT point)
{
    HWND dialog = GetAncestor(target, GA_ROOT);
    ASSERT_TRUE(WaitUntil([&] { return GetForegroundWindow() == dialog && WindowFromPoint(point) == target; }, 10000))
        << "the click would go to " << Named(WindowFromPoint(point)) << " with " << Named(GetForegroundWindow())
        << " in the foreground";
    // Wine's desktop process reads the X crossing events of windows that came and went under the
    // pointer late, and moves the cursor back to where the pointer was then: once it has read them
    // (two round trips through its message loop), only moves to the point remain.
    SetCursorPos(point.x, point.y);
    for (int trip = 0; trip < 2; trip++)
        SendMessageTimeoutA(GetDesktopWindow(), WM_NULL, 0, 0, SMTO_NORMAL, 5000, NULL);
    // Press and release each carry the point all the same.
    INPUT inputs[2] = {};
    int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    for (INPUT &input : inputs) {
        input.type = INPUT_MOUSE;
        input.mi.dx = (point.x * 65536 + width - 1) / width;
        input.mi.dy = (point.y * 65536 + height - 1) / height;
        input.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    }
    inputs[0].mi.dwFlags |= MOUSEEVENTF_LEFTDOWN;
    inputs[1].mi.dwFlags |= MOUSEEVENTF_LEFTUP;
    EXPECT_EQ(SendInput(1, &inputs[0], sizeof(INPUT)), 1u);
    // A button, and a caption button, take the capture when pressed.
    GUITHREADINFO thread = {sizeof thread};
    EXPECT_TRUE(WaitUntil([&] {
        return GetGUIThreadInfo(GetWindowThreadProcessId(target, NULL), &thread) && thread.hwndCapture == target;
    }, 10000)) << "the press did not reach \"" << TextOf(target) << "\"";
    EXPECT_EQ(SendInput(1, &inputs[1], sizeof(INPUT)), 1u);
}

void ClickCenterOf(HWND window)
{
    RECT rect;
    GetWindowRect(window, &rect);
    ClickAt(window, {(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2});
}

// The point of the caption where the window itself says its close box is.
bool FindCloseBox(HWND window, POINT *point)
{
    RECT rect;
    GetWindowRect(window, &rect);
    for (point->y = rect.top; point->y < rect.top + GetSystemMetrics(SM_CYCAPTION) * 2; point->y++)
        for (point->x = rect.right - 1; point->x > (rect.left + rect.right) / 2; point->x--) {
            DWORD_PTR hit = 0;
            SendMessageTimeoutA(window, WM_NCHITTEST, 0, MAKELPARAM(point->x, point->y), SMTO_NORMAL, 5000, &hit);
            if (hit == HTCLOSE)
                return true;
        }
    return false;
}

BOOL CALLBACK CountButton(HWND child, LPARAM count)
{
    if (ClassOf(child) == "Button")
        ++*(int *)count;
    return TRUE;
}

// Caption, text, owner and buttons of a message box.
BoxWatcher::Box ReadBox(HWND box)
{
    char text[1024] = "";
    GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
    BoxWatcher::Box read = {TextOf(box), text, GetWindow(box, GW_OWNER), 0};
    EnumChildWindows(box, CountButton, (LPARAM)&read.buttons);
    return read;
}

// Sends a message to a window of the program; its answer, or 0 if none comes within 5 s.
LRESULT Ask(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0)
{
    DWORD_PTR result = 0;
    SendMessageTimeoutA(window, message, wParam, lParam, SMTO_NORMAL, 5000, &result);
    return (LRESULT)result;
}

int ProgressPosition(HWND dialog)
{
    return (int)Ask(GetDlgItem(dialog, 1000), PBM_GETPOS);
}

// Reports from inside the program (ui_probe.dll, hooked into the dialog's thread): its system
// menu, and the progress bar's position after each step.
class Probe {
public:
    explicit Probe(HWND dialog)
    {
        MSG message;
        PeekMessageA(&message, NULL, 0, 0, PM_NOREMOVE);  // the reports need a queue on this thread
        launches_ = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, sizeof(ProbeLaunch),
                                       ProbeLaunchMapping);
        EXPECT_TRUE(launches_) << "error " << GetLastError();
        std::string dll = Beside("ui_probe.dll");
        module_ = LoadLibraryA(dll.c_str());
        EXPECT_TRUE(module_) << dll << ": error " << GetLastError();
        HOOKPROC hook = module_ ? (HOOKPROC)GetProcAddress(module_, "ProbeHook") : NULL;
        EXPECT_TRUE(hook) << dll << " has no ProbeHook";
        if (hook)
            hook_ = SetWindowsHookExA(WH_CALLWNDPROCRET, hook, module_, GetWindowThreadProcessId(dialog, NULL));
        EXPECT_TRUE(hook_) << "error " << GetLastError();
        Ask(dialog, RegisterWindowMessageA(ProbeHello), GetCurrentThreadId());
    }
    ~Probe()
    {
        Steps();  // reports left unread would be taken for the next probe's
        if (hook_)
            UnhookWindowsHookEx(hook_);
        if (module_)
            FreeLibrary(module_);
        if (launches_)
            CloseHandle(launches_);
    }
    // Changes what the test tells the probe in the shared record (defaultSwitches, givenPath).
    void Tell(const std::function<void(ProbeLaunch &)> &change)
    {
        ProbeLaunch *shared =
            launches_ ? (ProbeLaunch *)MapViewOfFile(launches_, FILE_MAP_WRITE, 0, 0, sizeof(ProbeLaunch)) : NULL;
        ASSERT_TRUE(shared) << "error " << GetLastError();
        change(*shared);
        UnmapViewOfFile(shared);
    }
    // The program's last CreateProcessA call, and how many there were.
    ProbeLaunch Launch()
    {
        ProbeLaunch launch = {};
        const ProbeLaunch *shared =
            launches_ ? (const ProbeLaunch *)MapViewOfFile(launches_, FILE_MAP_READ, 0, 0, sizeof launch) : NULL;
        if (shared) {
            launch = *shared;
            UnmapViewOfFile(shared);
        }
        return launch;
    }
    // The command ids of the system menu, in order; waits for the report.
    std::vector<UINT> MenuItems()
    {
        std::vector<UINT> items;
        MSG message;
        for (DWORD start = GetTickCount(); GetTickCount() - start < 5000; Sleep(10))
            while (PeekMessageA(&message, (HWND)-1, ProbeMenuItem, ProbeMenuEnd, PM_REMOVE)) {
                if (message.message == ProbeMenuEnd)
                    return items;
                items.push_back((UINT)message.lParam);
            }
        ADD_FAILURE() << "no report of the system menu from the probe";
        return items;
    }
    // The progress bar's positions after each step reported so far.
    std::vector<int> Steps()
    {
        std::vector<int> steps;
        MSG message;
        while (PeekMessageA(&message, (HWND)-1, ProbeStep, ProbeStep, PM_REMOVE))
            steps.push_back((int)message.wParam);
        return steps;
    }

private:
    HMODULE module_ = NULL;
    HHOOK hook_ = NULL;
    HANDLE launches_ = NULL;
};

// Dialog units to pixels the way the dialog manager converts them for this dialog's font: taken
// from a hidden dialog of this process with the same font, since Wine maps dialog units only for
// a dialog of the calling process.
class DialogUnits {
public:
    DialogUnits()
    {
        struct alignas(4) {
            DLGTEMPLATE head;
            WORD menu, windowClass, title, pointSize;
            WCHAR font[14];
        } dialog = {{DS_SETFONT | WS_POPUP, 0, 0, 0, 0, 174, 78}, 0, 0, 0, 8, L"MS Sans Serif"};
        window_ = CreateDialogIndirectParamA(NULL, &dialog.head, NULL, Procedure, 0);
        EXPECT_TRUE(window_) << "error " << GetLastError();
    }
    ~DialogUnits() { DestroyWindow(window_); }
    // x, y, width and height in pixels, as "x,y wxh".
    std::string Pixels(int x, int y, int width, int height)
    {
        RECT rect = {x, y, width, height};
        MapDialogRect(window_, &rect);
        return std::to_string(rect.left) + "," + std::to_string(rect.top) + " " + std::to_string(rect.right) + "x"
            + std::to_string(rect.bottom);
    }

private:
    static INT_PTR CALLBACK Procedure(HWND, UINT, WPARAM, LPARAM) { return FALSE; }
    HWND window_;
};

// Where a child window lies in its parent's client area, as "x,y wxh".
std::string PlaceOf(HWND child)
{
    RECT rect;
    GetWindowRect(child, &rect);
    MapWindowPoints(NULL, GetParent(child), (POINT *)&rect, 2);
    return std::to_string(rect.left) + "," + std::to_string(rect.top) + " " + std::to_string(rect.right - rect.left)
        + "x" + std::to_string(rect.bottom - rect.top);
}

TEST(Window, ShowsTheConfirmationWithSixControlsAndAnEmptyProgressBar)
{
    DialogUnits units;
    Installation installation;
    Program program(installation.stage.exe, installation.stage.temp);
    HWND dialog = WaitForMainDialog(program);
    ASSERT_TRUE(dialog) << "no window \"" << Title << "\"; exit code " << program.Wait(0);

    EXPECT_EQ(TextOf(dialog), Title);
    EXPECT_EQ(ClassOf(dialog), "#32770");
    RECT client;
    GetClientRect(dialog, &client);
    EXPECT_EQ("0,0 " + std::to_string(client.right) + "x" + std::to_string(client.bottom), units.Pixels(0, 0, 174, 78));
    LONG style = GetWindowLongA(dialog, GWL_STYLE);
    EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU), WS_CAPTION | WS_SYSMENU) << std::hex << style;
    EXPECT_EQ(style & (WS_THICKFRAME | WS_MAXIMIZEBOX | WS_MINIMIZEBOX), 0) << std::hex << style;
    RECT window, workArea;
    GetWindowRect(dialog, &window);
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &workArea, 0);
    EXPECT_LE(abs((window.left + window.right) - (workArea.left + workArea.right)), 2) << "not centred horizontally";
    EXPECT_LE(abs((window.top + window.bottom) - (workArea.top + workArea.bottom)), 2) << "not centred vertically";

    struct Control {
        const char *className;
        WORD id;
        const char *text;
        int x, y, width, height;
    };
    const Control controls[] = {
        {"Button", IDOK, "OK", 29, 39, 50, 14},
        {"Button", IDCANCEL, "Cancel", 89, 39, 50, 14},
        {"Static", 0xFFFF, "Click on OK to uninstall the IEEE754 Add-on", 12, 4, 146, 8},
        {"Static", 0xFFFF, "Library. This will remove all files from your", 4, 15, 161, 8},
        {"Static", 0xFFFF, "computer.", 11, 25, 146, 8},
        {"msctls_progress32", 1000, "Progress", 6, 59, 159, 11},
    };
    HWND child = GetWindow(dialog, GW_CHILD);
    for (const Control &expected : controls) {
        SCOPED_TRACE(expected.text);
        ASSERT_TRUE(child) << "fewer than six controls";
        EXPECT_EQ(ClassOf(child), expected.className);
        EXPECT_EQ((WORD)GetWindowLongA(child, GWL_ID), expected.id);
        EXPECT_EQ(TextOf(child), expected.text);
        EXPECT_TRUE(IsWindowVisible(child));
        EXPECT_EQ(PlaceOf(child), units.Pixels(expected.x, expected.y, expected.width, expected.height));
        child = GetWindow(child, GW_HWNDNEXT);
    }
    EXPECT_FALSE(child) << "a seventh control: " << ClassOf(child) << " \"" << TextOf(child) << "\"";

    HWND progress = GetDlgItem(dialog, 1000);
    EXPECT_EQ(Ask(progress, PBM_GETRANGE, TRUE), 0) << "minimum";
    EXPECT_EQ(Ask(progress, PBM_GETRANGE, FALSE), 2) << "maximum";
    EXPECT_EQ(ProgressPosition(dialog), 0);

    GUITHREADINFO thread = {sizeof thread};
    GetGUIThreadInfo(program.info.dwThreadId, &thread);
    EXPECT_EQ(GetForegroundWindow(), dialog) << TextOf(GetForegroundWindow());
    EXPECT_EQ(thread.hwndFocus, GetDlgItem(dialog, IDOK)) << "focus on \"" << TextOf(thread.hwndFocus) << "\"";

    Probe probe(dialog);
    std::vector<UINT> menu = probe.MenuItems();
    std::string items = ::testing::PrintToString(menu);
    EXPECT_EQ(std::count(menu.begin(), menu.end(), (UINT)SC_SIZE), 0) << items;
    EXPECT_EQ(std::count(menu.begin(), menu.end(), (UINT)SC_MAXIMIZE), 0) << items;
    EXPECT_EQ(std::count(menu.begin(), menu.end(), (UINT)SC_MOVE), 1) << items;
    EXPECT_EQ(std::count(menu.begin(), menu.end(), (UINT)SC_CLOSE), 1) << items;

    PressKeys(dialog, {VK_ESCAPE});
    EXPECT_EQ(program.Wait(10000), 0u);
}

// Confirms the uninstall as a person would, with Enter as soon as the dialog is up, and waits for
// the program to exit with 0. What the probe saw: the progress bar's steps and the launch. Before
// Enter, `beforeEnter` may tell the probe what to do.
void UninstallWithEnter(Program &program, std::vector<int> *steps, ProbeLaunch *launch,
                        const std::function<void(Probe &)> &beforeEnter = nullptr)
{
    HWND dialog = WaitForMainDialog(program);
    ASSERT_TRUE(dialog) << "no window \"" << Title << "\"; exit code " << program.Wait(0);
    Probe probe(dialog);
    if (beforeEnter)
        ASSERT_NO_FATAL_FAILURE(beforeEnter(probe));
    PressKeys(dialog, {VK_RETURN});
    ASSERT_EQ(program.Wait(30000), 0u);
    *steps = probe.Steps();
    *launch = probe.Launch();
}

TEST(Uninstall, EnterRightAfterStartRemovesEverythingAndTheProgramItself)
{
    Installation installation;
    const Stage &stage = installation.stage;
    Program program(stage.exe, stage.temp);
    std::vector<int> steps;
    ProbeLaunch launch;
    ASSERT_NO_FATAL_FAILURE(UninstallWithEnter(program, &steps, &launch));

    EXPECT_EQ(steps, (std::vector<int>{1, 2}));
    // The system's own cmd.exe, without AutoRun commands, hidden and without a console, at idle.
    char system[MAX_PATH];
    GetSystemDirectoryA(system, MAX_PATH);
    EXPECT_EQ(launch.calls, 1);
    EXPECT_EQ(launch.application, std::string(system) + "\\cmd.exe");
    EXPECT_STREQ(launch.commandLine, "cmd.exe /d /v:off /c \".\\pellumine.bat\"");
    // A folder of the script's own in the Windows directory's Temp folder, made for this run.
    EXPECT_EQ(std::string(launch.currentDirectory).substr(0, WindowsTemp().size() + 10), WindowsTemp() + "pellumine-");
    EXPECT_EQ(lstrlenA(launch.currentDirectory), (int)WindowsTemp().size() + 26) << launch.currentDirectory;
    EXPECT_EQ(launch.flags, (DWORD)(CREATE_SUSPENDED | IDLE_PRIORITY_CLASS | CREATE_NO_WINDOW)) << std::hex << launch.flags;
    EXPECT_FALSE(launch.inheritHandles);
    EXPECT_FALSE(launch.environment);
    EXPECT_EQ(launch.startupFlags, (DWORD)STARTF_USESHOWWINDOW);
    EXPECT_EQ(launch.showWindow, SW_HIDE);
    EXPECT_TRUE(launch.created);
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, SharedDllsKey, stage.library));
    EXPECT_EQ(GetString(HKEY_CURRENT_USER, HostKey, "Func0"), installation.other);
    EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, HostKey, "Func1")) << GetString(HKEY_CURRENT_USER, HostKey, "Func1");
    EXPECT_EQ(GetString(HKEY_CURRENT_USER, HostKey, "Func2"), installation.third);
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, UninstallKey));
    EXPECT_FALSE(Exists(stage.library));
    EXPECT_TRUE(WaitUntilGone(stage.exe, 10000)) << stage.exe;
    EXPECT_TRUE(WaitUntilGone(stage.dir, 10000)) << List(stage.dir);
    EXPECT_TRUE(ScriptGone(stage, 10000));
    EXPECT_TRUE(program.WaitForChildren(10000));
    EXPECT_EQ(List(stage.temp), "[]") << "the user's temporary folder";
}

// On 64-bit Windows a 32-bit installer writes the 32-bit registry view (WOW6432Node) and Program
// Files (x86). All of that goes; a 64-bit product's key of the same name in the 64-bit view stays.
TEST(Uninstall, UnderWow64EverythingOfThe32BitViewGoesAndA64BitProductsKeyStays)
{
    if (!UnderWow64())
        GTEST_SKIP() << "not under WOW64: " << (sizeof(void *) == 8 ? "this is the x86-64 build" : "a 32-bit system");
    char programFiles[MAX_PATH] = "";
    GetEnvironmentVariableA("ProgramFiles", programFiles, MAX_PATH);
    ASSERT_NE(strstr(programFiles, " (x86)"), nullptr) << programFiles;
    Installation installation(std::string(programFiles) + "\\Tovaslin test\\IEEE754 Add-on");
    const Stage &stage = installation.stage;
    struct Product64 {
        Product64() { EXPECT_EQ(SetString(HKEY_LOCAL_MACHINE, UninstallKey, "DisplayName", "64-bit", KEY_WOW64_64KEY), 0); }
        ~Product64() { DeleteTree(HKEY_LOCAL_MACHINE, UninstallKey, KEY_WOW64_64KEY); }
    } product64;
    ASSERT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Pellumine",
                          KEY_WOW64_64KEY)) << "not staged as a 32-bit installer would";
    ASSERT_TRUE(ValueExists(HKEY_LOCAL_MACHINE, SharedDllsKey, stage.library, KEY_WOW64_32KEY));
    Program program(stage.exe, stage.temp);
    std::vector<int> steps;
    ProbeLaunch launch;
    ASSERT_NO_FATAL_FAILURE(UninstallWithEnter(program, &steps, &launch));

    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, UninstallKey, KEY_WOW64_32KEY));
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, SharedDllsKey, stage.library, KEY_WOW64_32KEY));
    EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, HostKey, "Func1"));
    EXPECT_TRUE(ValueExists(HKEY_LOCAL_MACHINE, UninstallKey, "DisplayName", KEY_WOW64_64KEY)) << "the 64-bit product's";
    EXPECT_FALSE(Exists(stage.library));
    EXPECT_TRUE(WaitUntilGone(stage.exe, 10000)) << stage.exe;
    EXPECT_TRUE(WaitUntilGone(stage.dir, 10000)) << List(stage.dir);
    EXPECT_TRUE(ScriptGone(stage, 10000));
    EXPECT_TRUE(program.WaitForChildren(10000));
}

// The program runs elevated from a folder that others may be able to write to. No library put there,
// or in its current directory, may be loaded: neither one it imports nor one that the system
// libraries it uses look for by name around a window, a message box, a security descriptor and a
// process start.
TEST(Uninstall, NoLibraryPlantedBesideTheProgramIsLoaded)
{
    Installation installation;
    const Stage &stage = installation.stage;
    const std::string current = stage.root + "\\current";
    ASSERT_TRUE(CreateDirectoryA(current.c_str(), NULL)) << current << ": error " << GetLastError();
    // The control: a planted library that this machine will not load at all (a policy that blocks
    // unsigned libraries, say) would make the check pass without checking.
    const std::string control = current + "\\control.dll";
    ASSERT_TRUE(CopyFileA(Beside("planted.dll").c_str(), control.c_str(), FALSE)) << control;
    HMODULE loaded = LoadLibraryA(control.c_str());
    DWORD error = GetLastError();
    if (loaded)
        FreeLibrary(loaded);
    bool marked = DeleteFileA((control + ".ran").c_str()) != FALSE;
    DeleteFileA(control.c_str());
    if (!marked)
        GTEST_SKIP() << "this machine does not load the planted library when asked to: " << control << ", error " << error;
    // Wine loads its own libraries even where a program's folder holds one, unless told otherwise
    // for that program; Windows needs no setting. Not for version.dll: Wine's user32 imports it, so
    // Wine would load it from there before the program's first instruction, where on Windows user32,
    // a KnownDLL, takes its imports from the system directory alone.
    const std::string overrides = "Software\\Wine\\AppDefaults\\uninst.exe";
    struct Setting {
        explicit Setting(const std::string &key) : key(key) { DeleteTree(HKEY_CURRENT_USER, key); }
        ~Setting() { DeleteTree(HKEY_CURRENT_USER, key); }
        std::string key;
    } setting(overrides);
    static const char *const names[] = {"apphelp",  "clbcatq",  "comctl32", "coremessaging", "coreuicomponents",
                                        "cryptbase", "dwmapi",  "ntmarta",  "oleacc",        "profapi",
                                        "propsys",  "setupapi", "sspicli",  "textinputframework", "userenv",
                                        "uxtheme",  "version",  "wintypes", "wldp"};
    std::string planted;
    for (const char *name : names) {
        std::string file = std::string(name) + ".dll";
        for (const std::string &folder : {stage.dir, current})
            ASSERT_TRUE(CopyFileA(Beside("planted.dll").c_str(), (folder + "\\" + file).c_str(), FALSE)) << file;
        planted += (planted.empty() ? "" : ", ") + file;
        if (UnderWine() && lstrcmpA(name, "version") != 0)
            ASSERT_EQ(SetString(HKEY_CURRENT_USER, overrides + "\\DllOverrides", name, "native,builtin"), 0);
    }
    Program program(stage.exe, stage.temp, current);
    std::vector<int> steps;
    ProbeLaunch launch;
    ASSERT_NO_FATAL_FAILURE(UninstallWithEnter(program, &steps, &launch));

    EXPECT_EQ(steps, (std::vector<int>{1, 2}));
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, SharedDllsKey, stage.library));
    EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, HostKey, "Func1"));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, UninstallKey));
    EXPECT_TRUE(WaitUntilGone(stage.exe, 10000)) << stage.exe;
    EXPECT_TRUE(ScriptGone(stage, 10000));
    EXPECT_TRUE(program.WaitForChildren(10000));
    // A planted library that was loaded left its mark beside it.
    EXPECT_EQ(List(stage.dir), "[" + planted + "]") << "the program's folder";
    EXPECT_EQ(List(current), "[" + planted + "]") << "the current directory";
}

// Exploit protection can move every image to a random address and refuse one that cannot be moved
// ("Do not allow stripped images"), and an elevated program is what it is set for. Started so, the
// program must run its uninstall, and starts side by side must load it at more than one address.
// Two of the three are copies, each a file of its own, so that none is handed another's mapping.
TEST(Uninstall, RunsWhereStrippedImagesAreRefusedAndLoadsAtAnotherAddressEachStart)
{
    // Windows 7 has no such policy: there the starts are plain, and only the addresses tell.
    const DWORD64 policy = IsWindows8OrGreater()
                               ? PROCESS_CREATION_MITIGATION_POLICY_FORCE_RELOCATE_IMAGES_ALWAYS_ON_REQ_RELOCS
                                     | PROCESS_CREATION_MITIGATION_POLICY_BOTTOM_UP_ASLR_ALWAYS_ON
                               : 0;
    Installation installation;
    const Stage &stage = installation.stage;
    std::vector<std::unique_ptr<Program>> copies;
    std::vector<HWND> dialogs;
    std::string bases;
    std::vector<LONG_PTR> loaded;
    for (const char *name : {"copy1.exe", "copy2.exe", ""}) {
        std::string exe = *name ? stage.root + "\\" + name : stage.exe;
        if (*name)
            ASSERT_TRUE(CopyFileA(stage.exe.c_str(), exe.c_str(), FALSE)) << exe << ": error " << GetLastError();
        copies.emplace_back(new Program(exe, stage.temp, "", {}, false, policy));
        HWND dialog = WaitForMainDialog(*copies.back());
        ASSERT_TRUE(dialog) << exe << " under policy 0x" << std::hex << policy << ": no window \"" << Title
                            << "\"; exit code 0x" << copies.back()->Wait(0);
        dialogs.push_back(dialog);
        // The instance the program made its dialog with is where its image lies.
        loaded.push_back(GetWindowLongPtrA(dialog, GWLP_HINSTANCE));
        char text[32];
        snprintf(text, sizeof text, "%s0x%llx", bases.empty() ? "" : ", ", (unsigned long long)loaded.back());
        bases += text;
    }
    std::vector<int> steps;
    ProbeLaunch launch;
    ASSERT_NO_FATAL_FAILURE(UninstallWithEnter(*copies.back(), &steps, &launch));
    EXPECT_EQ(steps, (std::vector<int>{1, 2}));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, UninstallKey));
    EXPECT_TRUE(WaitUntilGone(stage.exe, 10000)) << stage.exe;
    EXPECT_TRUE(copies.back()->WaitForChildren(10000));
    for (size_t i = 0; i + 1 < copies.size(); i++) {
        PostMessageA(dialogs[i], WM_SYSCOMMAND, SC_CLOSE, 0);
        EXPECT_EQ(copies[i]->Wait(10000), 0u) << "copy " << i + 1;
    }
    std::sort(loaded.begin(), loaded.end());
    bool moved = std::unique(loaded.begin(), loaded.end()) - loaded.begin() > 1;
    if (!moved && UnderWine())
        GTEST_SKIP() << "Wine loads a program at the address in its header every time: " << bases;
    EXPECT_TRUE(moved) << "all three at one address: " << bases;
}

// Whether the system's cmd.exe, started with these switches and /d, expands !name! in a script in
// `folder`.
bool DelayedExpansionIsOn(const std::string &folder, const std::string &switches)
{
    std::string mark = folder + "\\delayed.ran";
    WriteBytes(folder + "\\delayed.bat", "@set delayed=on\r\n@if \"!delayed!\"==\"on\" echo on> delayed.ran\r\n");
    EXPECT_TRUE(RunSystemCmd(switches + " /d /c .\\delayed.bat", folder));
    DeleteFileA((folder + "\\delayed.bat").c_str());
    return DeleteFileA(mark.c_str()) != FALSE;
}

// cmd.exe takes DelayedExpansion under the Command Processor keys as the default for every script:
// a ! in the script's paths would begin a variable's name. The script of a program in "Tova!slin"
// would then name "Tovaslin", another installation beside it, and delete its uninstaller.
TEST(Uninstall, DelayedExpansionInTheRegistryLeavesAnotherInstallationAlone)
{
    Installation installation("Tova!slin");
    const Stage &stage = installation.stage;
    const std::string other = stage.root + "\\Tovaslin";
    ASSERT_TRUE(CreateDirectoryA(other.c_str(), NULL)) << other << ": error " << GetLastError();
    WriteBytes(other + "\\uninst.exe", "MZ the other installation's uninstaller");
    WriteBytes(other + "\\pellumine.dll", "MZ the other installation's library");
    SavedValue delayed(HKEY_CURRENT_USER, "Software\\Microsoft\\Command Processor", "DelayedExpansion");
    DWORD on = 1;
    ASSERT_EQ(SetValue(HKEY_CURRENT_USER, delayed.key, delayed.name, REG_DWORD, &on, sizeof on), 0);
    // Wine's cmd ignores the value, but takes the last of /v:on and /v:off on its line: /v:on put first
    // stands for the value.
    bool emulated = !DelayedExpansionIsOn(stage.root, "");
    if (emulated && !UnderWine())
        GTEST_SKIP() << "cmd.exe does not take DelayedExpansion=1 from HKEY_CURRENT_USER here";
    if (emulated)
        ASSERT_TRUE(DelayedExpansionIsOn(stage.root, "/v:on")) << "Wine's cmd.exe ignores /v:on";
    Program program(stage.exe, stage.temp);
    std::vector<int> steps;
    ProbeLaunch launch;
    ASSERT_NO_FATAL_FAILURE(UninstallWithEnter(program, &steps, &launch, [&](Probe &probe) {
        if (emulated)
            probe.Tell([](ProbeLaunch &told) { lstrcpyA(told.defaultSwitches, "/v:on"); });
    }));

    EXPECT_TRUE(WaitUntilGone(stage.dir, 10000)) << List(stage.dir);
    EXPECT_TRUE(ScriptGone(stage, 10000));
    EXPECT_TRUE(program.WaitForChildren(10000));
    EXPECT_EQ(List(other), "[pellumine.dll, uninst.exe]") << "the other installation";
}

// Gives a file or folder the short name `name` where the volume made none (SeRestorePrivilege).
bool GiveShortName(const std::string &path, const wchar_t *name)
{
    if (!EnablePrivilege(SE_RESTORE_NAME))
        return false;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool given = SetFileShortNameW(file, name) != FALSE;
    CloseHandle(file);
    return given;
}

// A form of the program's path that Windows gives back to a program started by it.
struct PathForm {
    const char *name;
    std::wstring (*of)(const std::string &exe);
};

void PrintTo(const PathForm &form, std::ostream *out) { *out << form.name; }

std::wstring ShortForm(const std::string &exe)
{
    WCHAR shortPath[MAX_PATH] = L"";
    DWORD length = GetShortPathNameW(Wide(exe).c_str(), shortPath, MAX_PATH);
    return length > 0 && length < MAX_PATH ? shortPath : Wide(exe);
}

std::wstring PrefixedForm(const std::string &exe) { return L"\\\\?\\" + Wide(exe); }

const PathForm PathForms[] = {{"ShortPath", ShortForm}, {"PrefixedPath", PrefixedForm}};

class StartedBy : public ::testing::TestWithParam<PathForm> {};

// An uninstall entry, a shortcut or a script may start the program by its short (8.3) path or with
// a \\?\ prefix, and Windows then gives the program its path in that form. The installer wrote the
// shared count and the host list's entry under the long path: they must go all the same. Wine gives
// the long path however a program is started: there the probe gives the program the form instead.
TEST_P(StartedBy, AnotherFormOfItsPathTheEntriesUnderTheLongPathGo)
{
    Installation installation;
    const Stage &stage = installation.stage;
    if (GetParam().of == ShortForm && ShortForm(stage.exe) == Wide(stage.exe) && !GiveShortName(stage.dir, L"ADDONL~1"))
        GTEST_SKIP() << stage.dir << " has no short name, and none could be given (error " << GetLastError()
                     << "): the drive makes none (the kit for Windows turns them on for its run)";
    std::wstring started = GetParam().of(stage.exe);
    Program program(started, stage.temp);
    std::vector<int> steps;
    ProbeLaunch launch;
    ASSERT_NO_FATAL_FAILURE(UninstallWithEnter(program, &steps, &launch, [&](Probe &probe) {
        std::string given = probe.Launch().modulePath;
        if (Wide(given) != started && UnderWine())
            probe.Tell([&](ProbeLaunch &told) { lstrcpynW(told.givenPath, started.c_str(), MAX_PATH); });
        else if (Wide(given) != started)
            GTEST_SKIP() << "started by " << Ansi(started) << ", the program was given " << given;
    }));
    if (IsSkipped())
        return;

    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, SharedDllsKey, stage.library));
    EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, HostKey, "Func1")) << GetString(HKEY_CURRENT_USER, HostKey, "Func1");
    EXPECT_EQ(GetString(HKEY_CURRENT_USER, HostKey, "Func0"), installation.other);
    EXPECT_FALSE(Exists(stage.library));
    EXPECT_TRUE(WaitUntilGone(stage.dir, 10000)) << List(stage.dir);
    EXPECT_TRUE(program.WaitForChildren(10000));
}

INSTANTIATE_TEST_SUITE_P(Forms, StartedBy, ::testing::ValuesIn(PathForms),
                         [](const ::testing::TestParamInfo<PathForm> &info) { return info.param.name; });

// Windows' cmd.exe opens the script again for every line: whoever may read or change its file could
// learn or change the lines still to run, with the rights of the elevated program; and so could
// whoever may delete or rename it, or its folder, and put another in its place. Wine makes the
// DACL up from the Unix mode bits, with entries for the Unix owner and SYSTEM: it shows only
// whether Everyone is granted anything.
TEST(Uninstall, ScriptGivesOrdinaryUsersNoRightToChangeIt)
{
    Installation installation;
    // First, that a folder which lets Everyone delete what it holds is seen as such.
    std::string open = installation.stage.root + "\\open";
    PSECURITY_DESCRIPTOR everyone;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;;FA;;;BA)(A;;FA;;;SY)(A;;0x120156;;;WD)",
                                                                     SDDL_REVISION_1, &everyone, NULL));
    BOOL made = CreateDirectoryA(open.c_str(), NULL) && SetFileSecurityA(open.c_str(), DACL_SECURITY_INFORMATION, everyone);
    LocalFree(everyone);
    ASSERT_TRUE(made) << open << ": error " << GetLastError();
    HMODULE probe = LoadLibraryA(Beside("ui_probe.dll").c_str());
    auto describe = probe ? (void (*)(const char *, char *, int))GetProcAddress(probe, "DescribeScriptFolders") : NULL;
    char control[512] = "";
    if (describe)
        describe((open + "\\pellumine.bat").c_str(), control, sizeof control);
    if (probe)
        FreeLibrary(probe);
    ASSERT_TRUE(describe) << "ui_probe.dll has no DescribeScriptFolders";
    ASSERT_NE(strstr(control, "Everyone"), nullptr) << "a folder granting Everyone FILE_DELETE_CHILD: " << control;

    Program program(installation.stage.exe, installation.stage.temp);
    std::vector<int> steps;
    ProbeLaunch launch;
    ASSERT_NO_FATAL_FAILURE(UninstallWithEnter(program, &steps, &launch));
    ASSERT_EQ(launch.calls, 1);
    EXPECT_TRUE(program.WaitForChildren(10000));
    ASSERT_TRUE(launch.scriptRead) << "the script's permissions were not read: " << launch.scriptRights;
    if (UnderWine()) {
        EXPECT_EQ(strstr(launch.scriptRights, "Everyone"), nullptr) << launch.scriptRights;
        EXPECT_EQ(strstr(launch.folderRights, "Everyone"), nullptr) << launch.folderRights;
        RecordProperty("NotCheckedUnderWine", std::string("entries for others: ") + launch.scriptRights + "; owner "
                                                  + launch.scriptOwner + ", DACL "
                                                  + (launch.scriptProtected ? "protected" : "not protected")
                                                  + "; on its folders: " + launch.folderRights);
        return;
    }
    EXPECT_STREQ(launch.scriptRights, "") << "entries that grant others than Administrators, SYSTEM and TrustedInstaller";
    EXPECT_STREQ(launch.folderRights, "") << "others may delete, rename or rewrite " << launch.scriptPath
                                          << " or its folder, and put another script in its place";
    EXPECT_TRUE(lstrcmpA(launch.scriptOwner, "Administrators") == 0 || lstrcmpA(launch.scriptOwner, "SYSTEM") == 0)
        << "owner " << launch.scriptOwner << ": an owner may rewrite the DACL";
    EXPECT_TRUE(launch.scriptProtected) << "the DACL takes entries inherited from the Temp folder";
}

struct ConsoleSearch {
    DWORD process;
    std::vector<HWND> found;
};

BOOL CALLBACK AddConsoleWindow(HWND window, LPARAM param)
{
    ConsoleSearch *search = (ConsoleSearch *)param;
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    std::string name = ClassOf(window);
    if ((search->process && owner == search->process)
        || (IsWindowVisible(window) && (name == "ConsoleWindowClass" || name == "CASCADIA_HOSTING_WINDOW_CLASS")))
        search->found.push_back(window);
    return TRUE;
}

// Visible windows of a console, or of Windows Terminal hosting one, and any window of `process`.
std::vector<HWND> ConsoleWindows(DWORD process)
{
    ConsoleSearch search = {process, {}};
    EnumWindows(AddConsoleWindow, (LPARAM)&search);
    return search.found;
}

const DWORD ConsoleWatch = 10000;

// What a process attached to `process`'s console finds, from a copy of this program started without
// a console of its own (--console-of, in test_main.cpp).
std::string ConsoleOf(DWORD process)
{
    char self[MAX_PATH];
    GetModuleFileNameA(NULL, self, MAX_PATH);
    std::string line = "\"" + std::string(self) + "\" --console-of " + std::to_string(process);
    STARTUPINFOA startup = {sizeof startup};
    PROCESS_INFORMATION helper;
    if (!CreateProcessA(self, &line[0], NULL, NULL, FALSE, DETACHED_PROCESS, NULL, NULL, &startup, &helper))
        return line + ": error " + std::to_string(GetLastError());
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(helper.hProcess, 10000) == WAIT_OBJECT_0)
        GetExitCodeProcess(helper.hProcess, &code);
    CloseHandle(helper.hProcess);
    CloseHandle(helper.hThread);
    switch (code) {
    case 0: return "no console";
    case 1: return "a console without a window";
    case 2: return "a console with a window";
    }
    return "cannot tell: " + (code == STILL_ACTIVE ? "the helper hung" : "AttachConsole gave error " + std::to_string(code - 1000));
}

// Without CREATE_NO_WINDOW the script's cmd.exe gets a console window, hidden or, under Windows
// Terminal, a visible one. The program is held open so that the script keeps retrying meanwhile.
TEST(Uninstall, NoConsoleWindowComesWithTheScript)
{
    Installation installation;
    const Stage &stage = installation.stage;
    HeldFile held(stage.exe);
    ASSERT_NE(held.handle, INVALID_HANDLE_VALUE);
    std::vector<HWND> before = ConsoleWindows(0);
    Program program(stage.exe, stage.temp);
    std::vector<int> steps;
    ProbeLaunch launch;
    ASSERT_NO_FATAL_FAILURE(UninstallWithEnter(program, &steps, &launch));
    ASSERT_TRUE(launch.created);
    HANDLE script = OpenProcess(SYNCHRONIZE, FALSE, launch.processId);
    ASSERT_TRUE(script) << "the script's process " << launch.processId << " has already ended";
    // Whatever a terminal does later or elsewhere (a tab in a window of its own), a console made for
    // a window has one from the start; CREATE_NO_WINDOW gives none, or since Windows 7 one without.
    // Wine gives one without, and none at all to a script started without CREATE_NO_WINDOW.
    std::string console = ConsoleOf(launch.processId);
    if (UnderWine())
        EXPECT_EQ(console, "a console without a window");
    else
        EXPECT_TRUE(console == "no console" || console == "a console without a window") << console;
    std::vector<HWND> windows;
    // Nothing can say that no window is coming, and a slow terminal takes seconds to open one: watch
    // for 10 seconds while the held script runs.
    WaitUntil([&] {
        windows = ConsoleWindows(launch.processId);
        windows.erase(std::remove_if(windows.begin(), windows.end(),
                                     [&](HWND w) { return std::count(before.begin(), before.end(), w) > 0; }),
                      windows.end());
        return !windows.empty();
    }, ConsoleWatch);
    bool running = WaitForSingleObject(script, 0) == WAIT_TIMEOUT;
    held.Release();
    EXPECT_EQ(WaitForSingleObject(script, 10000), WAIT_OBJECT_0);
    CloseHandle(script);
    EXPECT_TRUE(WaitUntilGone(stage.dir, 10000)) << List(stage.dir);
    ASSERT_TRUE(running) << "the script ended while the program was held, before the watch did";
    if (UnderWine())
        GTEST_SKIP() << "Wine opens no console window for any process, so this check cannot fail here";
    EXPECT_TRUE(windows.empty()) << "\"" << TextOf(windows[0]) << "\", class " << ClassOf(windows[0]);
}

// One way of leaving the dialog without uninstalling.
struct Way {
    const char *name;
    void (*leave)(HWND dialog);
};

void PrintTo(const Way &way, std::ostream *out) { *out << way.name; }

const Way ways[] = {
    {"Esc", [](HWND dialog) { PressKeys(dialog, {VK_ESCAPE}); }},
    {"CancelClicked", [](HWND dialog) { ClickCenterOf(GetDlgItem(dialog, IDCANCEL)); }},
    {"TabToCancelThenEnter", [](HWND dialog) {
         PressKeys(dialog, {VK_TAB});
         PressKeys(dialog, {VK_RETURN});
     }},
    {"CloseBoxClicked", [](HWND dialog) {
         POINT closeBox;
         ASSERT_TRUE(FindCloseBox(dialog, &closeBox)) << "no close box in the caption";
         ClickAt(dialog, closeBox);
     }},
    {"SystemMenuClose", [](HWND dialog) { PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0); }},
    {"AltF4", [](HWND dialog) { PressKeys(dialog, {VK_MENU, VK_F4}); }},
};

class Leaving : public ::testing::TestWithParam<Way> {};

TEST_P(Leaving, EndsTheProgramAndChangesNothing)
{
    Installation installation;
    std::string before = installation.State();
    Program program(installation.stage.exe, installation.stage.temp);
    HWND dialog = WaitForMainDialog(program);
    ASSERT_TRUE(dialog) << "no window \"" << Title << "\"; exit code " << program.Wait(0);

    GetParam().leave(dialog);
    EXPECT_EQ(program.Wait(10000), 0u);
    EXPECT_EQ(installation.State(), before);
}

INSTANTIATE_TEST_SUITE_P(Ways, Leaving, ::testing::ValuesIn(ways),
                         [](const ::testing::TestParamInfo<Way> &info) { return std::string(info.param.name); });

TEST(Window, IgnoresOkWithANotificationCodeOtherThanZero)
{
    Installation installation;
    std::string before = installation.State();
    Program program(installation.stage.exe, installation.stage.temp);
    HWND dialog = WaitForMainDialog(program);
    ASSERT_TRUE(dialog) << "no window \"" << Title << "\"; exit code " << program.Wait(0);
    HWND ok = GetDlgItem(dialog, IDOK);

    // 1 is what an accelerator sends; the others are button notifications.
    for (WORD code : {1, BN_DOUBLECLICKED, BN_SETFOCUS, BN_KILLFOCUS, 0xFFFF}) {
        SCOPED_TRACE("notification code " + std::to_string(code));
        Ask(dialog, WM_COMMAND, MAKEWPARAM(IDOK, code), (LPARAM)ok);
        EXPECT_TRUE(IsWindowVisible(dialog));
        EXPECT_EQ(program.Wait(0), STILL_ACTIVE);
        EXPECT_EQ(ProgressPosition(dialog), 0);
        EXPECT_EQ(installation.State(), before);
    }
    PressKeys(dialog, {VK_ESCAPE});
    EXPECT_EQ(program.Wait(10000), 0u);
    EXPECT_EQ(installation.State(), before);
}

// The tests' keys go only to the window they are meant for. Here the dialog is in front: keys meant
// for a window of the test's own, never shown, must fail the test at once and leave the dialog be.
TEST(Window, KeysForAWindowNotInFrontAreNeverPressed)
{
    Installation installation;
    Program program(installation.stage.exe, installation.stage.temp);
    HWND dialog = WaitForMainDialog(program);
    ASSERT_TRUE(dialog) << "no window \"" << Title << "\"; exit code " << program.Wait(0);
    HWND hidden = CreateWindowExA(0, "Static", "hidden", WS_POPUP, 0, 0, 10, 10, NULL, NULL, NULL, NULL);
    ::testing::TestPartResultArray failures;
    {
        ::testing::ScopedFakeTestPartResultReporter reporter(
            ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
        PressKeys(hidden, {VK_ESCAPE}, 1000);
    }
    DestroyWindow(hidden);
    ASSERT_EQ(failures.size(), 1);
    EXPECT_TRUE(failures.GetTestPartResult(0).fatally_failed());
    EXPECT_NE(std::string(failures.GetTestPartResult(0).message()).find(Title), std::string::npos)
        << "the window in front is not named: " << failures.GetTestPartResult(0).message();
    EXPECT_EQ(program.Wait(1000), (DWORD)STILL_ACTIVE) << "Esc reached the dialog";
    PressKeys(dialog, {VK_ESCAPE});
    EXPECT_EQ(program.Wait(10000), 0u);
}

// Presses Enter in the dialog and checks the warning that comes up: owned by the dialog, with OK
// alone, naming `path`. The warning's window, or null.
HWND EnterForWarning(Program &program, HWND dialog, const std::string &path)
{
    PressKeys(dialog, {VK_RETURN});
    HWND box = ::testing::Test::HasFatalFailure() ? NULL : WaitForDialog(program, NULL, dialog);
    EXPECT_TRUE(box) << "no warning; exit code " << program.Wait(0);
    if (box) {
        BoxWatcher::Box warning = ReadBox(box);
        EXPECT_EQ(warning.caption, "Can't delete the file named:");
        EXPECT_EQ(warning.text, path);
        EXPECT_EQ(warning.owner, dialog);
        EXPECT_EQ(warning.buttons, 1);
    }
    return box;
}

TEST(Uninstall, LibraryInUseIsReportedAndTheRestIsStillDone)
{
    Installation installation;
    const Stage &stage = installation.stage;
    HeldFile library(stage.library);
    ASSERT_NE(library.handle, INVALID_HANDLE_VALUE);
    Program program(stage.exe, stage.temp);
    HWND dialog = WaitForMainDialog(program);
    ASSERT_TRUE(dialog) << "no window \"" << Title << "\"; exit code " << program.Wait(0);
    Probe probe(dialog);

    HWND box = EnterForWarning(program, dialog, stage.library);
    ASSERT_TRUE(box);
    EXPECT_TRUE(IsWindowVisible(dialog));
    EXPECT_EQ(ProgressPosition(dialog), 0) << "while the warning is up";
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, SharedDllsKey, stage.library)) << "the count goes before the file";
    EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, HostKey, "Func1")) << "the uninstall went on behind the warning";
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, UninstallKey)) << "the uninstall went on behind the warning";

    PressKeys(box, {VK_RETURN});
    ASSERT_EQ(program.Wait(30000), 0u);
    EXPECT_EQ(probe.Steps(), (std::vector<int>{1, 2}));
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, SharedDllsKey, stage.library));
    EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, HostKey, "Func1"));
    EXPECT_EQ(GetString(HKEY_CURRENT_USER, HostKey, "Func2"), installation.third);
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, UninstallKey));
    EXPECT_TRUE(WaitUntilGone(stage.exe, 10000)) << stage.exe;
    EXPECT_TRUE(ScriptGone(stage, 10000));
    // The folder stays, since the library is still in it.
    EXPECT_EQ(List(stage.dir), "[pellumine.dll]");
}

// Where cmd.exe never comes to the script (batch files turned off by policy, say: it then refuses
// the script), the uninstaller cannot remove itself: it says so, naming its own file, and takes its
// script and folder back. Here the probe has cmd.exe run "rem" instead of the script.
TEST(Uninstall, AnInterpreterThatNeverRunsTheScriptLeavesTheProgramWithAWarning)
{
    Installation installation;
    const Stage &stage = installation.stage;
    Program program(stage.exe, stage.temp);
    HWND dialog = WaitForMainDialog(program);
    ASSERT_TRUE(dialog) << "no window \"" << Title << "\"; exit code " << program.Wait(0);
    Probe probe(dialog);
    probe.Tell([](ProbeLaunch &told) { lstrcpyA(told.defaultSwitches, "/c rem"); });

    HWND box = EnterForWarning(program, dialog, stage.exe);
    ASSERT_TRUE(box);
    EXPECT_EQ(ProgressPosition(dialog), 1) << "while the warning is up";
    PressKeys(box, {VK_RETURN});
    ASSERT_EQ(program.Wait(30000), 0u);
    EXPECT_EQ(probe.Steps(), (std::vector<int>{1, 2}));
    EXPECT_TRUE(probe.Launch().created);
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, UninstallKey));
    EXPECT_TRUE(program.WaitForChildren(10000));
    EXPECT_EQ(List(stage.dir), "[uninst.exe]");
    EXPECT_EQ(stage.ScriptFolder(), "") << "the script's folder stays";
}

struct Resource {
    WORD type, name, language;
    std::string bytes;
};

BOOL CALLBACK AddLanguage(HMODULE module, LPCSTR type, LPCSTR name, WORD language, LONG_PTR list)
{
    HRSRC found = FindResourceExA(module, type, name, language);
    const char *bytes = (const char *)LockResource(LoadResource(module, found));
    ((std::vector<Resource> *)list)
        ->push_back({LOWORD(type), LOWORD(name), language, std::string(bytes, SizeofResource(module, found))});
    return TRUE;
}

BOOL CALLBACK AddName(HMODULE module, LPCSTR type, LPSTR name, LONG_PTR list)
{
    EXPECT_TRUE(IS_INTRESOURCE(type) && IS_INTRESOURCE(name)) << "a resource with a name";
    return EnumResourceLanguagesA(module, type, name, AddLanguage, list);
}

BOOL CALLBACK AddType(HMODULE module, LPSTR type, LONG_PTR list)
{
    return EnumResourceNamesA(module, type, AddName, list);
}

std::vector<Resource> ResourcesOf(const std::string &path)
{
    std::vector<Resource> resources;
    HMODULE module = LoadLibraryExA(path.c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
    EXPECT_TRUE(module) << path << ": error " << GetLastError();
    if (module) {
        EnumResourceTypesA(module, AddType, (LONG_PTR)&resources);
        FreeLibrary(module);
    }
    return resources;
}

bool IsTemplate(const Resource &resource)
{
    return resource.type == LOWORD(RT_DIALOG) && resource.name == 102;
}

// Gives the staged uninst.exe the built program's resources with the dialog template replaced
// by `dialog`, or without it when `dialog` is empty. Every resource is written anew, since
// Wine's UpdateResource does not remove a single resource of a file.
void ReplaceDialogTemplate(const std::string &exe, const std::string &dialog)
{
    std::vector<Resource> resources = ResourcesOf(UninstExe());
    ASSERT_EQ(std::count_if(resources.begin(), resources.end(), IsTemplate), 1);
    HANDLE update = BeginUpdateResourceA(exe.c_str(), TRUE);
    ASSERT_TRUE(update) << exe << ": error " << GetLastError();
    for (Resource &resource : resources) {
        if (IsTemplate(resource))
            resource.bytes = dialog;
        if (!resource.bytes.empty())
            EXPECT_TRUE(UpdateResourceA(update, MAKEINTRESOURCEA(resource.type), MAKEINTRESOURCEA(resource.name),
                                        resource.language, &resource.bytes[0], (DWORD)resource.bytes.size()))
                << "error " << GetLastError();
    }
    ASSERT_TRUE(EndUpdateResourceA(update, FALSE)) << "error " << GetLastError();

    std::vector<Resource> written = ResourcesOf(exe);
    auto found = std::find_if(written.begin(), written.end(), IsTemplate);
    EXPECT_EQ(found == written.end() ? "" : found->bytes, dialog);
    EXPECT_EQ(written.size(), resources.size() - (dialog.empty() ? 1 : 0));
}

// The template with the progress bar's class renamed to one that nobody registers.
std::string WithUnknownProgressClass(const std::string &dialog)
{
    const char name[] = "msctls_progress32";
    const size_t length = sizeof name - 1;
    std::string renamed = dialog;
    for (size_t at = 0; at + 2 * length <= renamed.size(); at += 2) {
        size_t i = 0;
        while (i < length && tolower((unsigned char)renamed[at + 2 * i]) == name[i] && renamed[at + 2 * i + 1] == 0)
            i++;
        if (i == length) {
            renamed[at + 2 * (length - 2)] = 'X';
            return renamed;
        }
    }
    ADD_FAILURE() << "no progress bar class in the template";
    return renamed;
}

// A start-up whose dialog cannot be created, and how the executable is made so.
struct BrokenStart {
    const char *name;
    std::string (*dialog)(const std::string &built);  // the template to give it; empty for none
};

void PrintTo(const BrokenStart &start, std::ostream *out) { *out << start.name; }

const BrokenStart brokenStarts[] = {
    {"TemplateMissing", [](const std::string &) { return std::string(); }},
    {"ProgressBarClassUnknown", WithUnknownProgressClass},
};

class StartUp : public ::testing::TestWithParam<BrokenStart> {};

TEST_P(StartUp, WithoutItsDialogTheProgramSaysSoAndChangesNothing)
{
    Installation installation;
    const Stage &stage = installation.stage;
    std::vector<Resource> built = ResourcesOf(UninstExe());
    auto dialog = std::find_if(built.begin(), built.end(), IsTemplate);
    ASSERT_NE(dialog, built.end());
    ASSERT_NO_FATAL_FAILURE(ReplaceDialogTemplate(stage.exe, GetParam().dialog(dialog->bytes)));
    std::string before = installation.State();

    Program program(stage.exe, stage.temp);
    HWND box = WaitForDialog(program, NULL);
    ASSERT_TRUE(box) << "no message; exit code " << program.Wait(0);
    ASSERT_NE(TextOf(box), Title) << "the dialog came up";
    BoxWatcher::Box message = ReadBox(box);
    EXPECT_EQ(message.caption, "Error during uninstall:");
    EXPECT_EQ(message.text, "Can't create window!");
    EXPECT_EQ(message.owner, (HWND)NULL);
    EXPECT_EQ(message.buttons, 1);

    PressKeys(box, {VK_RETURN});
    EXPECT_EQ(program.Wait(10000), 0u);
    EXPECT_EQ(installation.State(), before);
}

INSTANTIATE_TEST_SUITE_P(Broken, StartUp, ::testing::ValuesIn(brokenStarts),
                         [](const ::testing::TestParamInfo<BrokenStart> &info) { return std::string(info.param.name); });

}  // namespace
