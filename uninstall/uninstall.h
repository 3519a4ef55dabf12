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
// The caption of the warning that names a file the uninstall leaves behind.
extern const char DeleteWarning[];

// Advances the dialog's progress bar by one step; does nothing without a dialog.
void StepProgress();

// Removes the library, its registrations and, once the process has exited, the uninstaller.
void RunUninstall();
// Deletes the library named by WorkPath where that is its exact path, and warns when it stays;
// steps the progress bar.
void DeleteLibraryFile(BOOL exact);
// A path as a code page can spell it exactly: its long form, or else its short (8.3) form. A
// best-fit spelling of a letter the code page lacks could name another file. FALSE where neither
// form is exact; `text` (MAX_PATH bytes) then names it only for showing, '?' for what is missing.
BOOL SpellPath(UINT codePage, const WCHAR *path, char *text);
// The program's own path in its long form, spelled exactly in the ANSI code page; as SpellPath.
BOOL GetOwnPath(char *path);
// The length of a path's folder with its last backslash, 0 if it has none. Read character by
// character: in a double-byte code page a character's second byte may be a backslash.
DWORD FolderPartLength(UINT codePage, const char *path);
// Loads a library of the system directory by its full path, with its own imports from there too.
HMODULE LoadSystemLibrary(const char *name);
// The user signed in to the session the program runs in (SECURITY_MAX_SID_SIZE bytes), from the
// name and domain the system gives for it; FALSE where there is none, or it is not a user's account.
BOOL GetSessionUser(PSID user);
// Deletes the library's first entry in the host list of the signed-in user of the program's
// session, where that is not the account the program runs as and their hive is loaded.
void RemoveFromSessionUsersHostList(PSID sessionUser, PSID programUser);
// Writes and starts the script that removes the executable, its folder and itself.
void LaunchSelfRemoval();
