#include "uninstall.h"

#include <commctrl.h>
#include <sddl.h>
#include <wtsapi32.h>

#include "resource.h"

char WorkPath[MAX_PATH];
HWND MainDialog;
HINSTANCE AppInstance;

const char LibraryFileName[14] = "pellumine.dll";
const char DeleteWarning[] = "Can't delete the file named:";

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

DWORD FolderPartLength(UINT codePage, const char *path)
{
    DWORD folder = 0;

    for (DWORD i = 0; path[i]; i++) {
        if (IsDBCSLeadByteEx(codePage, (BYTE)path[i]) && path[i + 1])
            i++;
        else if (path[i] == '\\')
            folder = i + 1;
    }
    return folder;
}

// The program's path as the installer wrote it, whatever form it was started by: Windows gives it
// back short (8.3) where a shortcut or a script named it so, or behind a \\?\ prefix.
static const WCHAR *LongForm(WCHAR *path, WCHAR *longPath)
{
    DWORD length;

    if (path[0] == '\\' && path[1] == '\\' && path[2] == '?' && path[3] == '\\') {
        if (path[4] && path[5] == ':' && path[6] == '\\') {
            path += 4;
        } else if (CompareStringOrdinal(path + 4, 4, L"UNC\\", 4, TRUE) == CSTR_EQUAL) {
            path += 6;
            path[0] = '\\';
        }
    }
    length = GetLongPathNameW(path, longPath, MAX_PATH);
    return length > 0 && length < MAX_PATH ? longPath : path;
}

BOOL GetOwnPath(char *path)
{
    WCHAR wide[MAX_PATH], longPath[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, wide, MAX_PATH);

    path[0] = '\0';
    return length > 0 && length < MAX_PATH && SpellPath(CP_ACP, LongForm(wide, longPath), path);
}

// Puts the library's full path, beside the executable, into WorkPath, and says whether that is its
// exact path. Otherwise WorkPath names it only as well as the code page can, for the warning; or,
// where the path does not fit, just "pellumine.dll": a cut-off name could be somebody else's file.
static BOOL LocateLibrary()
{
    BOOL exact = GetOwnPath(WorkPath);
    DWORD directory = FolderPartLength(CP_ACP, WorkPath);

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
        MessageBoxA(MainDialog, WorkPath, DeleteWarning, MB_ICONWARNING);
    StepProgress();
}

// Deletes the first of Func0 to Func255 under a host key that names the library, leaving the others
// as they are. Each is read as it is stored, in Unicode, and compared with the library's path
// character for character, ignoring case alone: an ANSI reading would give a letter the code page
// lacks a best-fit stand-in ("\u0141ukasz" read as "Lukasz"), and a linguistic comparison finds
// "Stra\u00dfe" equal to "Strasse" and ignores a soft hyphen. Either would delete the entry of
// another installation whose path only looks like ours.
static void RemoveFromHostList(HKEY root, const char *hostKey)
{
    HKEY key;
    WCHAR name[20], library[MAX_PATH];
    WCHAR data[MAX_PATH + 1];  // one more character to terminate data that came without a NUL
    DWORD size, type;

    if (!MultiByteToWideChar(CP_ACP, 0, WorkPath, -1, library, MAX_PATH)
        || RegOpenKeyExA(root, hostKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return;
    for (UINT index = 0; index < 256; index++) {
        wsprintfW(name, L"%s%u", L"Func", index);
        size = sizeof data - sizeof data[0];
        type = REG_SZ;
        if (RegQueryValueExW(key, name, NULL, &type, (BYTE *)data, &size) != ERROR_SUCCESS)
            break;
        data[size / sizeof data[0]] = '\0';
        if (CompareStringOrdinal(data, -1, library, -1, TRUE) == CSTR_EQUAL) {
            RegDeleteValueW(key, name);
            break;
        }
    }
    RegCloseKey(key);
}

HMODULE LoadSystemLibrary(const char *name)
{
    char path[MAX_PATH];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    // Where the system can search the system directory alone, the library's own imports come from
    // there; otherwise the altered search path looks beside the library first.
    DWORD flags = GetProcAddress(GetModuleHandleA("kernel32"), "SetDefaultDllDirectories")
                      ? LOAD_LIBRARY_SEARCH_SYSTEM32
                      : LOAD_WITH_ALTERED_SEARCH_PATH;

    if (length == 0 || length + 1 + lstrlenA(name) >= MAX_PATH)
        return NULL;
    path[length] = '\\';
    lstrcpyA(path + length + 1, name);
    return LoadLibraryExA(path, NULL, flags);
}

typedef BOOL(WINAPI *WTSQuerySessionInformationWProc)(HANDLE server, DWORD session, WTS_INFO_CLASS what,
                                                      WCHAR **text, DWORD *size);
typedef void(WINAPI *WTSFreeMemoryProc)(void *memory);
typedef BOOLEAN(WINAPI *GetUserNameExWProc)(int format, WCHAR *name, ULONG *size);

// The account this program runs as: its SID (SECURITY_MAX_SID_SIZE bytes) from its token.
static BOOL GetOwnUser(PSID user)
{
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } own;
    HANDLE token;
    DWORD size;
    BOOL known;

    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return FALSE;
    known = GetTokenInformation(token, TokenUser, &own, sizeof own, &size)
            && CopySid(SECURITY_MAX_SID_SIZE, user, own.user.User.Sid);
    CloseHandle(token);
    return known;
}

// Whether a DOMAIN\name is the account this program runs as, by the names its logon session holds:
// no domain controller is asked, so a laptop away from its domain does not wait on the network.
static BOOL IsOwnAccountName(const WCHAR *account)
{
    HMODULE library = LoadSystemLibrary("secur32.dll");
    GetUserNameExWProc getUserNameEx =
        library ? (GetUserNameExWProc)(void *)GetProcAddress(library, "GetUserNameExW") : NULL;
    WCHAR own[MAX_PATH];
    ULONG size = MAX_PATH;
    BOOL same = getUserNameEx && getUserNameEx(2 /* NameSamCompatible */, own, &size)
                && CompareStringOrdinal(own, -1, account, -1, TRUE) == CSTR_EQUAL;

    if (library)
        FreeLibrary(library);
    return same;
}

BOOL GetSessionUser(PSID user)
{
    HMODULE library = LoadSystemLibrary("wtsapi32.dll");
    WTSQuerySessionInformationWProc query =
        library ? (WTSQuerySessionInformationWProc)(void *)GetProcAddress(library, "WTSQuerySessionInformationW") : NULL;
    WTSFreeMemoryProc freeMemory = library ? (WTSFreeMemoryProc)(void *)GetProcAddress(library, "WTSFreeMemory") : NULL;
    WCHAR *name = NULL, *domain = NULL, account[MAX_PATH], referenced[MAX_PATH];
    DWORD size = SECURITY_MAX_SID_SIZE, referencedSize = MAX_PATH, got;
    SID_NAME_USE use;
    BOOL found = FALSE;

    if (query && freeMemory && query(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, WTSUserName, &name, &got)
        && query(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, WTSDomainName, &domain, &got) && name[0]
        && lstrlenW(domain) + 1 + lstrlenW(name) < MAX_PATH) {
        wsprintfW(account, domain[0] ? L"%s\\%s" : L"%s%s", domain, name);
        // Usually the program runs as the one signed in: then there is nothing to look up.
        if (IsOwnAccountName(account))
            found = GetOwnUser(user);
        else
            found = LookupAccountNameW(NULL, account, user, &size, referenced, &referencedSize, &use) && use == SidTypeUser;
    }
    if (name)
        freeMemory(name);
    if (domain)
        freeMemory(domain);
    if (library)
        FreeLibrary(library);
    return found;
}

void RemoveFromSessionUsersHostList(PSID sessionUser, PSID programUser)
{
    char *text, key[MAX_PATH];

    if (EqualSid(sessionUser, programUser) || !ConvertSidToStringSidA(sessionUser, &text))
        return;
    if (lstrlenA(text) + sizeof "\\" + sizeof HostKey <= MAX_PATH) {
        wsprintfA(key, "%s\\%s", text, HostKey);
        RemoveFromHostList(HKEY_USERS, key);
    }
    LocalFree(text);
}

// An elevated program's HKEY_CURRENT_USER is the account's that elevated it, not always the person
// at the keyboard: an administrator may have typed a password for them, or the system elevates
// through an account of its own. Their host list is edited where their hive is loaded.
static void RemoveFromHostLists()
{
    BYTE sessionUser[SECURITY_MAX_SID_SIZE], programUser[SECURITY_MAX_SID_SIZE];

    RemoveFromHostList(HKEY_CURRENT_USER, HostKey);
    if (GetSessionUser(sessionUser) && GetOwnUser(programUser))
        RemoveFromSessionUsersHostList(sessionUser, programUser);
}

void RunUninstall()
{
    BOOL exact = LocateLibrary();

    if (exact)
        RemoveSharedLibraryCount();
    DeleteLibraryFile(exact);
    if (exact)
        RemoveFromHostLists();
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, UninstallKey);
    LaunchSelfRemoval();
}
