// For tests/screenshot.sh: starts uninst.exe, photographs its dialog with a small margin of the
// desktop into a BMP file, then closes the dialog as the close box does (nothing is uninstalled).
//   dialog_shot UNINST.EXE SHOT.BMP
#include <windows.h>

#include <stdio.h>

#include <string>

#include "support.h"

static const int Margin = 6;

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: dialog_shot UNINST.EXE SHOT.BMP\n");
        return 2;
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION program;
    std::string commandLine = std::string("\"") + argv[1] + "\"";
    if (!CreateProcessA(argv[1], &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &program)) {
        fprintf(stderr, "dialog_shot: cannot start %s: error %lu\n", argv[1], GetLastError());
        return 1;
    }
    HWND dialog = NULL;
    for (int i = 0; i < 500 && !(dialog = FindWindowA("#32770", "Uninstall IEEE754 Add-on Library")); i++)
        Sleep(20);
    if (!dialog) {
        fprintf(stderr, "dialog_shot: no dialog\n");
        TerminateProcess(program.hProcess, 1);
        return 1;
    }
    WaitForInputIdle(program.hProcess, 10000);
    // Wine activates a new process's first window before making it the foreground window, and
    // paints its caption inactive; activating it again paints it as Windows shows it.
    SetForegroundWindow(GetDesktopWindow());
    Sleep(200);
    SetForegroundWindow(dialog);
    Sleep(500);

    RECT rect;
    GetWindowRect(dialog, &rect);
    InflateRect(&rect, Margin, Margin);
    bool saved = test::SaveScreenshot(rect, argv[2]);
    if (!saved)
        fprintf(stderr, "dialog_shot: cannot save %s\n", argv[2]);
    PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    if (WaitForSingleObject(program.hProcess, 10000) != WAIT_OBJECT_0)
        TerminateProcess(program.hProcess, 1);
    CloseHandle(program.hProcess);
    CloseHandle(program.hThread);
    return saved ? 0 : 1;
}
