// A library planted beside uninst.exe under the names of libraries the program or the system
// libraries it uses would look for there. Loaded, it leaves "<its own path>.ran". It exports what
// the program used to import from the common controls, so that a static import would take it.
#include <windows.h>

extern "C" __declspec(dllexport) void WINAPI InitCommonControls() {}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void *)
{
    char mark[MAX_PATH + 4];
    DWORD length = GetModuleFileNameA(instance, mark, MAX_PATH);

    if (reason == DLL_PROCESS_ATTACH && length > 0 && length < MAX_PATH) {
        lstrcpyA(mark + length, ".ran");
        CloseHandle(CreateFileA(mark, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL));
    }
    return TRUE;
}
