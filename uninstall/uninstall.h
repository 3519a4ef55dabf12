// The uninstall engine: what the OK button does, and the state it shares with the dialog.
#pragma once

#include <windows.h>

// The library's path during the uninstall, then the self-removal script's path.
extern char WorkPath[MAX_PATH];
// The uninstall dialog; owns the warning box and holds the progress bar. Null without one.
extern HWND MainDialog;
extern HINSTANCE AppInstance;

// "pellumine.dll": 13 characters and the terminator.
extern const char LibraryFileName[14];

// Advances the dialog's progress bar by one step; does nothing without a dialog.
void StepProgress();

// Removes the library, its registrations and, once the process has exited, the uninstaller.
void RunUninstall();
// Deletes the library named by WorkPath and warns when it stays; steps the progress bar.
void DeleteLibraryFile();
// Writes and starts the script that removes the executable, its folder and itself.
void LaunchSelfRemoval();
