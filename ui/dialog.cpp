#include "dialog.h"

#include <commctrl.h>

#include "resource.h"
#include "uninstall.h"

static void InitDialog(HWND window)
{
    HICON icon = LoadIconA(AppInstance, MAKEINTRESOURCEA(IDI_APP));
    HMENU menu = GetSystemMenu(window, FALSE);

    if (icon)
        SetClassLongPtrA(window, GCLP_HICON, (LONG_PTR)icon);
    if (menu) {
        DeleteMenu(menu, SC_SIZE, MF_BYCOMMAND);
        DeleteMenu(menu, SC_MAXIMIZE, MF_BYCOMMAND);
    }
    SendDlgItemMessageA(window, IDC_PROGRESS, PBM_SETRANGE, 0, MAKELPARAM(0, 2));
    SendDlgItemMessageA(window, IDC_PROGRESS, PBM_SETSTEP, 1, 0);
}

INT_PTR CALLBACK UninstallDlgProc(HWND window, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        InitDialog(window);
        return TRUE;
    case WM_COMMAND:
        // Clicks, Enter and Esc all come with notification code 0.
        if (HIWORD(wParam) == 0 && LOWORD(wParam) == IDOK) {
            RunUninstall();
            DestroyWindow(window);
        } else if (HIWORD(wParam) == 0 && LOWORD(wParam) == IDCANCEL) {
            DestroyWindow(window);
        }
        return FALSE;
    case WM_CLOSE:
        DestroyWindow(MainDialog);
        return TRUE;
    case WM_DESTROY:
        // A dialog that fails half-way through its creation comes here before MainDialog is set;
        // its quit message would end the error box at once.
        if (MainDialog)
            PostQuitMessage(0);
        return TRUE;
    }
    return FALSE;
}
