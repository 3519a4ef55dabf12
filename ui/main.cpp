#include <windows.h>

#include "dialog.h"
#include "resource.h"
#include "uninstall.h"

typedef BOOL(WINAPI *SetDefaultDllDirectoriesProc)(DWORD directories);
typedef void(WINAPI *InitCommonControlsProc)();

// The program runs elevated from a folder that others may be able to write to: no library may come
// from there or from the current directory. Only KnownDLLs are imported; from here on every load
// searches the system directory alone, and the common controls, with the libraries that they and
// the window manager load by name, are loaded from it by full path first. They stay loaded for the
// dialog's whole life, so they are never freed.
static void LoadCommonControls()
{
    static const char names[] = "uxtheme.dll\0dwmapi.dll\0comctl32.dll";
    SetDefaultDllDirectoriesProc setDefaultDirectories =
        (SetDefaultDllDirectoriesProc)(void *)GetProcAddress(GetModuleHandleA("kernel32"), "SetDefaultDllDirectories");
    HMODULE library = NULL;
    InitCommonControlsProc initCommonControls;

    if (setDefaultDirectories)
        setDefaultDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    SetDllDirectoryA("");
    for (const char *name = names; *name; name += lstrlenA(name) + 1)
        library = LoadSystemLibrary(name);
    initCommonControls = library ? (InitCommonControlsProc)(void *)GetProcAddress(library, "InitCommonControls") : NULL;
    if (initCommonControls)
        initCommonControls();
}

// The program's entry point: nothing runs before it, and it never returns.
extern "C" void WINAPI ProgramEntry()
{
    MSG message;

    LoadCommonControls();
    AppInstance = GetModuleHandleA(NULL);
    MainDialog = CreateDialogParamA(AppInstance, MAKEINTRESOURCEA(IDD_UNINSTALL), NULL, UninstallDlgProc, 0);
    if (!MainDialog) {
        MessageBoxA(NULL, "Can't create window!", "Error during uninstall:", MB_ICONWARNING);
    } else {
        SetWindowTextA(MainDialog, "Uninstall IEEE754 Add-on Library");
        ShowWindow(MainDialog, SW_SHOWDEFAULT);
        UpdateWindow(MainDialog);
        while (GetMessageA(&message, NULL, 0, 0) == 1)
            if (!IsDialogMessageA(MainDialog, &message))
                DispatchMessageA(&message);
    }
    ExitProcess(0);
}
