// Loaded into the running uninst.exe by a message hook of the UI tests, to report what only the
// process itself can read: Wine gives no other process its system menu, and the progress bar's
// steps come and go too fast to be watched from outside.
#include <windows.h>
#include <commctrl.h>

#include "ui_probe.h"

static DWORD Listener;

extern "C" __declspec(dllexport) LRESULT CALLBACK ProbeHook(int code, WPARAM wParam, LPARAM lParam)
{
    const CWPRETSTRUCT *call = (const CWPRETSTRUCT *)lParam;
    if (code == HC_ACTION && call->message == RegisterWindowMessageA(ProbeHello)) {
        Listener = (DWORD)call->wParam;
        HMENU menu = GetSystemMenu(call->hwnd, FALSE);
        int count = menu ? GetMenuItemCount(menu) : -1;
        for (int i = 0; i < count; i++)
            PostThreadMessageA(Listener, ProbeMenuItem, i, GetMenuItemID(menu, i));
        PostThreadMessageA(Listener, ProbeMenuEnd, count, 0);
    } else if (code == HC_ACTION && call->message == PBM_STEPIT && Listener) {
        PostThreadMessageA(Listener, ProbeStep, SendMessageA(call->hwnd, PBM_GETPOS, 0, 0), 0);
    }
    return CallNextHookEx(NULL, code, wParam, lParam);
}
