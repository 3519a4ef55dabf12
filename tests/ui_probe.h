// What ui_probe.dll, hooked into uninst.exe with WH_CALLWNDPROCRET, tells the test's thread.
#pragma once

#include <windows.h>

// Sent to the dialog with the test's thread id as wParam: the probe answers with the system
// menu's items, and from then on reports each step of the progress bar.
const char ProbeHello[] = "uninst ui_probe hello";

enum : UINT {
    ProbeMenuItem = WM_APP,  // wParam: position, lParam: the item's command id
    ProbeMenuEnd,            // wParam: the number of items, -1 without a system menu
    ProbeStep,               // wParam: the progress bar's position after PBM_STEPIT
};
