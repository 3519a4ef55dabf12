// What ui_probe.dll, hooked into uninst.exe with WH_CALLWNDPROCRET, tells the test's thread.
#pragma once

#include <windows.h>

// Sent to the dialog with the test's thread id as wParam: the probe answers with the system
// menu's items, and from then on reports each step of the progress bar and records each process
// the program starts.
const char ProbeHello[] = "uninst ui_probe hello";

enum : UINT {
    ProbeMenuItem = WM_APP,  // wParam: position, lParam: the item's command id
    ProbeMenuEnd,            // wParam: the number of items, -1 without a system menu
    ProbeStep,               // wParam: the progress bar's position after PBM_STEPIT
};

// The arguments of the program's last CreateProcessA call, written by the probe into a named
// mapping that the test made. A null string is recorded as "(null)".
const char ProbeLaunchMapping[] = "uninst ui_probe launch";

struct ProbeLaunch {
    // Set by the test: switches the probe puts right after "cmd.exe" in the command line before the
    // call. Wine's cmd ignores its registry defaults; a switch first on its line stands for them, as
    // a later one overrides it.
    char defaultSwitches[16];
    // Set by the test: what GetModuleFileNameW gives the program for its own path from then on, as
    // Windows gives the form a program was started by (short, or behind \\?\); Wine gives the long path.
    WCHAR givenPath[MAX_PATH];
    // The program's own path as the system gives it, recorded when the probe is hooked in.
    char modulePath[MAX_PATH];
    LONG calls;
    char application[MAX_PATH];
    char commandLine[1024];
    char currentDirectory[MAX_PATH];
    BOOL inheritHandles;
    DWORD flags;
    BOOL environment;  // an environment block was passed
    DWORD startupFlags;
    WORD showWindow;
    BOOL created;  // what the real call returned
    DWORD processId;  // of the process it started
    // Read just before the call, while the script exists (the last part in quotes on the command
    // line, from the current directory given if relative): whether its owner and DACL could be read
    // at all; if so, every allow entry for another than Administrators, SYSTEM or TrustedInstaller,
    // e.g. "Everyone 0x001200a9, S-1-5-21-... 0x001f01ff", empty if none, and if not, why. Its owner
    // ("Administrators", "SYSTEM" or a SID) and whether its DACL is protected from inheritance. What
    // others may do to its folder and the folder's parent that would let them delete, replace or
    // rewrite it (see DescribeScriptFolders), empty if nothing. Windows enforces them; Wine makes
    // them up from the Unix mode bits.
    char scriptPath[MAX_PATH];
    BOOL scriptRead;
    char scriptRights[512];
    char scriptOwner[128];
    BOOL scriptProtected;
    char folderRights[512];
};
