#include <windows.h>
#include <commctrl.h>

#include "dialog.h"
#include "resource.h"
#include "uninstall.h"

// The program's entry point: nothing runs before it, and it never returns.
extern "C" void WINAPI ProgramEntry()
{
    MSG message;

    AppInstance = GetModuleHandleA(NULL);
    InitCommonControls();
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
