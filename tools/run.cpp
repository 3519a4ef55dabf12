// Runs the staged program as a person would: waits for its dialog, presses Enter (or leaves that
// to a person), answers any warning, and times the dialog, the exit and the self-removal.
#include "driver.h"

#include <stdio.h>

using namespace test;

static double Now()
{
    static LARGE_INTEGER frequency;
    LARGE_INTEGER counter;
    if (!frequency.QuadPart)
        QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return counter.QuadPart * 1000.0 / frequency.QuadPart;
}

// Saves what the screen shows of a window as a 24-bit BMP.
static bool SaveScreenshot(HWND window, const std::string &path)
{
    RECT rect;
    GetWindowRect(window, &rect);
    return test::SaveScreenshot(rect, path);
}

// Presses Enter in the dialog as a keyboard would: to the window that has the focus.
static void PressEnter(HWND dialog)
{
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    HWND target = GetGUIThreadInfo(GetWindowThreadProcessId(dialog, NULL), &info) && info.hwndFocus
                      ? info.hwndFocus : dialog;
    PostMessageA(target, WM_KEYDOWN, VK_RETURN, 0x001C0001);
    PostMessageA(target, WM_KEYUP, VK_RETURN, 0xC01C0001);
}

// Polls the paths together until all are gone or the time is up: for each, the milliseconds
// from `since` to when it was first seen gone, or -1 if it stayed.
static std::vector<double> TimesUntilGone(const std::vector<std::string> &paths, double since, DWORD milliseconds)
{
    std::vector<double> times(paths.size(), -1);
    for (bool waiting = true; waiting && Now() - since < milliseconds; Sleep(1)) {
        waiting = false;
        for (size_t i = 0; i < paths.size(); i++) {
            if (times[i] < 0 && !Exists(paths[i]))
                times[i] = Now() - since;
            waiting = waiting || times[i] < 0;
        }
    }
    return times;
}

// Presses Enter in the dialog and answers each warning box that follows, keeping what it said.
// The moment the program exited, or -1 if it still ran 10 s later.
static double Confirm(const Program &program, HWND dialog, std::vector<std::string> &warnings)
{
    BoxWatcher boxes(program.info.dwProcessId);
    PressEnter(dialog);
    double exited = WaitForSingleObject(program.info.hProcess, 10000) == WAIT_OBJECT_0 ? Now() : -1;
    for (const BoxWatcher::Box &box : boxes.Boxes())
        warnings.push_back(box.caption + " " + box.text);
    return exited;
}

Run RunProgram(const Stage &stage, bool automatic, const std::string &screenshot)
{
    Run run;
    // Under Wine the hidden script's cmd.exe would echo its lines into this program's output:
    // the uninstaller, and so the script, get NUL as standard handles instead.
    HANDLE nul = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                             OPEN_EXISTING, 0, NULL);
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE), output = GetStdHandle(STD_OUTPUT_HANDLE),
           error = GetStdHandle(STD_ERROR_HANDLE);
    SetStdHandle(STD_INPUT_HANDLE, nul);
    SetStdHandle(STD_OUTPUT_HANDLE, nul);
    SetStdHandle(STD_ERROR_HANDLE, nul);
    double start = Now();
    Program program(stage.exe, stage.temp);
    SetStdHandle(STD_INPUT_HANDLE, input);
    SetStdHandle(STD_OUTPUT_HANDLE, output);
    SetStdHandle(STD_ERROR_HANDLE, error);
    CloseHandle(nul);
    if (!program.started) {
        run.problem = "the program did not start";
        return run;
    }
    HWND dialog = NULL;
    while (!(dialog = VisibleDialog(program.info.dwProcessId)) && Now() - start < 30000
           && WaitForSingleObject(program.info.hProcess, 1) == WAIT_TIMEOUT) {
    }
    if (!dialog) {
        run.problem = "no dialog appeared";
        return run;
    }
    run.visible = Now() - start;

    double ok, exited;
    if (automatic) {
        WaitForInputIdle(program.info.hProcess, 5000);
        if (!screenshot.empty()) {
            Sleep(300);  // lets the progress bar and title bar finish painting
            if (!SaveScreenshot(dialog, screenshot))
                fprintf(stderr, "driver: could not save the screenshot %s\n", screenshot.c_str());
        }
        ok = Now();
        exited = Confirm(program, dialog, run.warnings);
        run.confirmed = true;
    } else {
        fprintf(stderr, "The dialog is on your screen: click OK to uninstall, or Cancel.\n");
        WaitForSingleObject(program.info.hProcess, INFINITE);
        ok = exited = Now();
        // A person's click cannot be timed from here; an uninstall is seen by its effect.
        run.confirmed = !KeyExists(HKEY_LOCAL_MACHINE, UninstallKey) || !Exists(stage.library);
    }
    if (exited < 0) {
        run.problem = "the program did not exit within 10 s after OK";
        return run;
    }
    run.exit = exited - ok;
    if (!run.confirmed)
        return run;
    std::vector<double> gone = TimesUntilGone({stage.exe, stage.dir, stage.Script()}, ok, 10000);
    run.exeGone = gone[0];
    run.folderGone = gone[1];
    run.scriptGone = gone[2];
    program.WaitForChildren(10000);
    run.left = FilesLeft(stage);
    return run;
}

std::string Tested()
{
    if (sizeof(void *) == 8)
        return "the x86-64 build of uninst.exe (mode x64), not the shipped 32-bit program";
    return Wow64 ? "the shipped 32-bit uninst.exe, under WOW64 as on 64-bit Windows (mode win32)"
                 : "the shipped 32-bit uninst.exe, as on 32-bit Windows";
}
