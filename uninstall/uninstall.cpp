#include "uninstall.h"

#include <commctrl.h>

#include "resource.h"

char WorkPath[MAX_PATH];
HWND MainDialog;
HINSTANCE AppInstance;

const char LibraryFileName[14] = "pellumine.dll";

static const char SharedLibrariesKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
static const char HostKey[] = "Software\\Tovaslin";
static const char UninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Pellumine";

void StepProgress()
{
    SendDlgItemMessageA(MainDialog, IDC_PROGRESS, PBM_STEPIT, 0, 0);
}

// Puts the library's full path, beside the executable, into WorkPath. Where that path does not
// fit, WorkPath is left empty: a cut-off name could be somebody else's file.
static void LocateLibrary()
{
    DWORD length = GetModuleFileNameA(NULL, WorkPath, MAX_PATH);
    DWORD directory = length < MAX_PATH ? length : 0;

    while (directory > 0 && WorkPath[directory - 1] != '\\')
        directory--;
    if (length >= MAX_PATH || directory > MAX_PATH - sizeof LibraryFileName)
        WorkPath[0] = '\0';
    else
        lstrcpyA(WorkPath + directory, LibraryFileName);
}

static void RemoveSharedLibraryCount()
{
    HKEY key;

    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SharedLibrariesKey, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
        RegDeleteValueA(key, WorkPath);
        RegCloseKey(key);
    }
}

void DeleteLibraryFile()
{
    if (!WorkPath[0] || (!DeleteFileA(WorkPath) && GetLastError() != ERROR_FILE_NOT_FOUND))
        MessageBoxA(MainDialog, WorkPath[0] ? WorkPath : LibraryFileName, "Can't delete the file named:",
                    MB_ICONWARNING);
    StepProgress();
}

// Deletes the first of Func0 to Func255 that names the library, leaving the others as they are.
static void RemoveFromHostList()
{
    HKEY key;
    char name[20];
    char data[MAX_PATH + 1];  // one more byte to terminate data that came without a NUL
    DWORD size, type;

    if (RegOpenKeyExA(HKEY_CURRENT_USER, HostKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return;
    for (UINT index = 0; index < 256; index++) {
        wsprintfA(name, "%s%u", "Func", index);
        size = MAX_PATH;
        type = REG_SZ;
        if (RegQueryValueExA(key, name, NULL, &type, (BYTE *)data, &size) != ERROR_SUCCESS)
            break;
        data[size < MAX_PATH ? size : MAX_PATH] = '\0';
        if (lstrcmpiA(data, WorkPath) == 0) {
            RegDeleteValueA(key, name);
            break;
        }
    }
    RegCloseKey(key);
}

void RunUninstall()
{
    LocateLibrary();
    if (WorkPath[0])
        RemoveSharedLibraryCount();
    DeleteLibraryFile();
    if (WorkPath[0])
        RemoveFromHostList();
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, UninstallKey);
    LaunchSelfRemoval();
}
