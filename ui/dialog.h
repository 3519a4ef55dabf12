// The confirmation dialog: runs the uninstall on OK, ends the program when it goes away.
#pragma once

#include <windows.h>

INT_PTR CALLBACK UninstallDlgProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
