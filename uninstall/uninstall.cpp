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

// Spells a wide path in a code page, and fails unless it reads back as exactly the same characters.
// A failed spelling is still terminated, with '?' for each character the code page lacks.
static BOOL SpellExactly(UINT codePage, const WCHAR *wide, char *text)
{
    WCHAR back[MAX_PATH];
    int length = lstrlenW(wide) + 1;
    // Code pages such as UTF-8 take no flags; the comparison below is what makes the spelling exact.
    int bytes = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide, length, text, MAX_PATH, NULL, NULL);

    if (bytes == 0)
        bytes = WideCharToMultiByte(codePage, 0, wide, length, text, MAX_PATH, NULL, NULL);
    if (bytes == 0) {
        text[0] = '\0';
        return FALSE;
    }
    if (MultiByteToWideChar(codePage, 0, text, bytes, back, MAX_PATH) != length)
        return FALSE;
    for (int i = 0; i < length; i++)
        if (wide[i] != back[i])
            return FALSE;
    return TRUE;
}

BOOL SpellPath(UINT codePage, const WCHAR *path, char *text)
{
    WCHAR shortPath[MAX_PATH];
    DWORD length;

    if (SpellExactly(codePage, path, text))
        return TRUE;
    length = GetShortPathNameW(path, shortPath, MAX_PATH);
    return length > 0 && length < MAX_PATH && SpellExactly(codePage, shortPath, text);
}

BOOL GetOwnPath(char *path)
{
    WCHAR wide[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, wide, MAX_PATH);

    path[0] = '\0';
    return length > 0 && length < MAX_PATH && SpellPath(CP_ACP, wide, path);
}

// Puts the library's full path, beside the executable, into WorkPath, and says whether that is its
// exact path. Otherwise WorkPath names it only as well as the code page can, for the warning; or,
// where the path does not fit, just "pellumine.dll": a cut-off name could be somebody else's file.
static BOOL LocateLibrary()
{
    BOOL exact = GetOwnPath(WorkPath);
    DWORD directory = lstrlenA(WorkPath);

    while (directory > 0 && WorkPath[directory - 1] != '\\')
        directory--;
    if (directory > MAX_PATH - sizeof LibraryFileName) {
        directory = 0;
        exact = FALSE;
    }
    lstrcpyA(WorkPath + directory, LibraryFileName);
    return exact;
}

static void RemoveSharedLibraryCount()
{
    HKEY key;

    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SharedLibrariesKey, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
        RegDeleteValueA(key, WorkPath);
        RegCloseKey(key);
    }
}

void DeleteLibraryFile(BOOL exact)
{
    if (!exact || (!DeleteFileA(WorkPath) && GetLastError() != ERROR_FILE_NOT_FOUND))
        MessageBoxA(MainDialog, WorkPath, "Can't delete the file named:", MB_ICONWARNING);
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
    BOOL exact = LocateLibrary();

    if (exact)
        RemoveSharedLibraryCount();
    DeleteLibraryFile(exact);
    if (exact)
        RemoveFromHostList();
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, UninstallKey);
    LaunchSelfRemoval();
}
