// Loaded into the running uninst.exe by a message hook of the UI tests, to report what only the
// process itself can read: Wine gives no other process its system menu, the progress bar's
// steps come and go too fast to be watched from outside, and the arguments of the process it
// starts are seen nowhere else.
#include <windows.h>
#include <commctrl.h>
#include <sddl.h>

#include "ui_probe.h"

static DWORD Listener;

static void Record(char *to, const char *text, int size)
{
    lstrcpynA(to, text ? text : "(null)", size);
}

struct KnownSid {
    WELL_KNOWN_SID_TYPE type;
    const char *name;
};

// The name of the well-known SID in `known` that `sid` is, or null.
template <size_t N> static const char *NameOf(PSID sid, const KnownSid (&known)[N])
{
    for (const KnownSid &candidate : known) {
        BYTE well[SECURITY_MAX_SID_SIZE];
        DWORD wellSize = sizeof well;
        if (sid && CreateWellKnownSid(candidate.type, NULL, well, &wellSize) && EqualSid(well, sid))
            return candidate.name;
    }
    return NULL;
}

// Whom an allow entry names: the well-known name, else the SID spelt out.
static void NameEntry(PSID sid, char *name, int size)
{
    static const KnownSid known[] = {{WinBuiltinUsersSid, "Users"}, {WinAuthenticatedUserSid, "Authenticated Users"},
                                     {WinInteractiveSid, "Interactive"}, {WinWorldSid, "Everyone"}};
    char *text;
    if (const char *wellKnown = NameOf(sid, known))
        lstrcpynA(name, wellKnown, size);
    else if (ConvertSidToStringSidA(sid, &text)) {
        lstrcpynA(name, text, size);
        LocalFree(text);
    } else
        lstrcpynA(name, "an unreadable SID", size);
}

// The accounts that may own the script, and may be granted rights on it with TrustedInstaller.
static const KnownSid Administration[] = {{WinBuiltinAdministratorsSid, "Administrators"}, {WinLocalSystemSid, "SYSTEM"}};

// Administrators, SYSTEM and TrustedInstaller are the only accounts an entry may grant anything.
static BOOL Allowed(PSID sid)
{
    PSID trustedInstaller;
    BOOL is = NameOf(sid, Administration) != NULL;
    if (!is && ConvertStringSidToSidA("S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", &trustedInstaller)) {
        is = EqualSid(sid, trustedInstaller);
        LocalFree(trustedInstaller);
    }
    return is;
}

// The owner, DACL and control of `path`'s security descriptor, read into `descriptor`; false, with
// the reason in `report`, if they cannot be read.
static BOOL ReadSecurity(const char *path, BYTE (&descriptor)[8192], PSID *owner, PACL *dacl,
                         SECURITY_DESCRIPTOR_CONTROL *control, char *report, int size)
{
    DWORD needed, revision;
    BOOL present = FALSE, defaulted;
    *dacl = NULL;
    if (GetFileSecurityA(path, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor, sizeof descriptor,
                         &needed)
        && GetSecurityDescriptorDacl(descriptor, &present, dacl, &defaulted)
        && GetSecurityDescriptorOwner(descriptor, owner, &defaulted)
        && GetSecurityDescriptorControl(descriptor, control, &revision)) {
        if (!present)
            *dacl = NULL;
        return TRUE;
    }
    char reason[MAX_PATH + 32];
    wsprintfA(reason, "%s: error %lu", path, GetLastError());
    lstrcpynA(report, reason, size);
    return FALSE;
}

static void Add(char *report, int size, const char *entry)
{
    if (lstrlenA(report) + lstrlenA(entry) + 3 < size)
        lstrcatA(lstrcatA(report, report[0] ? ", " : ""), entry);
}

// Adds to `report` each allow entry of `dacl` that grants another than Administrators, SYSTEM and
// TrustedInstaller any of `rights`, as "WHO 0xMASK" after `prefix`.
static void AddGrants(PACL dacl, DWORD rights, const char *prefix, char *report, int size)
{
    char entry[MAX_PATH + 256], name[192];
    if (!dacl) {
        wsprintfA(entry, "%sno DACL: everyone may do anything", prefix);
        Add(report, size, entry);
        return;
    }
    for (DWORD i = 0; i < dacl->AceCount; i++) {
        ACCESS_ALLOWED_ACE *ace;
        if (!GetAce(dacl, i, (void **)&ace)) {
            wsprintfA(entry, "%sentry %lu unreadable", prefix, i);
        } else {
            BYTE type = ace->Header.AceType;
            if (type == ACCESS_DENIED_ACE_TYPE || type == ACCESS_DENIED_CALLBACK_ACE_TYPE
                || type == ACCESS_DENIED_OBJECT_ACE_TYPE || type == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE
                || (ace->Header.AceFlags & INHERIT_ONLY_ACE) || !(ace->Mask & rights))
                continue;
            // Object entries keep their SID elsewhere; none belongs on a file, so one fails the check.
            if (type != ACCESS_ALLOWED_ACE_TYPE && type != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) {
                wsprintfA(entry, "%san entry of type %u", prefix, type);
            } else {
                if (Allowed(&ace->SidStart))
                    continue;
                NameEntry(&ace->SidStart, name, sizeof name);
                wsprintfA(entry, "%s%s 0x%08lx", prefix, name, ace->Mask);
            }
        }
        Add(report, size, entry);
    }
}

// The script's owner and DACL into the launch record; false, with the reason in scriptRights, if
// they cannot be read.
static BOOL DescribeScript(const char *script, ProbeLaunch *launch)
{
    static BYTE descriptor[8192];
    PACL dacl;
    PSID owner = NULL;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    char *text;

    if (!ReadSecurity(script, descriptor, &owner, &dacl, &control, launch->scriptRights, sizeof launch->scriptRights))
        return FALSE;
    launch->scriptProtected = (control & SE_DACL_PROTECTED) != 0;
    lstrcpynA(launch->scriptOwner, "none", sizeof launch->scriptOwner);
    if (owner && ConvertSidToStringSidA(owner, &text)) {
        lstrcpynA(launch->scriptOwner, text, sizeof launch->scriptOwner);
        LocalFree(text);
    }
    if (const char *name = NameOf(owner, Administration))
        lstrcpynA(launch->scriptOwner, name, sizeof launch->scriptOwner);
    launch->scriptRights[0] = '\0';
    AddGrants(dacl, ~0u, "", launch->scriptRights, sizeof launch->scriptRights);
    return TRUE;
}

// Whoever may delete or rename the script's folder, or change its entries, can put another script
// under its name: rights on the folder, and on its parent those that give the folder's DELETE.
// Appends to `report`, as "PATH: WHO 0xMASK", each such right of another than Administrators,
// SYSTEM and TrustedInstaller, and an owner other than them (an owner may rewrite the DACL). A
// folder that is open without delete sharing cannot be deleted or renamed, whatever its parent
// grants: there the parent is not looked at.
extern "C" __declspec(dllexport) void DescribeScriptFolders(const char *script, char *report, int size)
{
    static BYTE descriptor[8192];
    const DWORD rewrite = WRITE_DAC | WRITE_OWNER | GENERIC_ALL;
    char folder[MAX_PATH], prefix[MAX_PATH + 8], name[192], entry[sizeof prefix + sizeof name];
    report[0] = '\0';
    lstrcpynA(folder, script, MAX_PATH);
    for (int level = 0; level < 2; level++) {
        if (level == 1) {
            HANDLE opened = CreateFileA(folder, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
            if (opened == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION)
                return;
            if (opened != INVALID_HANDLE_VALUE)
                CloseHandle(opened);
        }
        char *slash = NULL;
        for (char *c = folder; *c; c = CharNextA(c))
            if (*c == '\\')
                slash = c;
        // A drive's root keeps its backslash, and has no parent.
        if (!slash || (slash > folder && slash[-1] == ':' && slash[1] == '\0'))
            return;
        slash[slash > folder && slash[-1] == ':' ? 1 : 0] = '\0';
        PACL dacl;
        PSID owner = NULL;
        SECURITY_DESCRIPTOR_CONTROL control;
        if (!ReadSecurity(folder, descriptor, &owner, &dacl, &control, entry, sizeof entry)) {
            Add(report, size, entry);
            return;
        }
        wsprintfA(prefix, "%s: ", folder);
        if (!owner || !Allowed(owner)) {
            NameEntry(owner, name, sizeof name);
            wsprintfA(entry, "%sowner %s", prefix, name);
            Add(report, size, entry);
        }
        AddGrants(dacl, level == 0 ? DELETE | FILE_DELETE_CHILD | rewrite : FILE_DELETE_CHILD | rewrite, prefix, report,
                  size);
    }
}

// The script's full path: the last quoted part of cmd.exe's command line, where a relative one is
// taken from the current directory given to the call.
static BOOL FindScript(const char *commandLine, const char *currentDirectory, char *script)
{
    char named[MAX_PATH], joined[2 * MAX_PATH];
    const char *end = commandLine ? commandLine + lstrlenA(commandLine) : NULL, *start;
    while (end && end > commandLine && end[-1] != '"')
        end--;
    for (start = end && end > commandLine ? end - 1 : NULL; start && start > commandLine && start[-1] != '"'; start--)
        ;
    if (!start || start == commandLine || end - start >= MAX_PATH)
        return FALSE;
    lstrcpynA(named, start, (int)(end - start));
    BOOL absolute = (named[0] && named[1] == ':') || (named[0] == '\\' && named[1] == '\\');
    if (!absolute && (!currentDirectory || !currentDirectory[0] || lstrlenA(currentDirectory) >= MAX_PATH))
        return FALSE;
    wsprintfA(joined, "%s%s%s", absolute ? "" : currentDirectory,
              absolute || currentDirectory[lstrlenA(currentDirectory) - 1] == '\\' ? "" : "\\", named);
    DWORD length = GetFullPathNameA(joined, MAX_PATH, script, NULL);
    return length > 0 && length < MAX_PATH;
}

// The record the test made, mapped for writing; null, with no mapping, where there is none.
static ProbeLaunch *OpenShared(HANDLE *mapping)
{
    *mapping = OpenFileMappingA(FILE_MAP_WRITE, FALSE, ProbeLaunchMapping);
    return *mapping ? (ProbeLaunch *)MapViewOfFile(*mapping, FILE_MAP_WRITE, 0, 0, sizeof(ProbeLaunch)) : NULL;
}

static void CloseShared(HANDLE mapping, ProbeLaunch *shared)
{
    if (shared)
        UnmapViewOfFile(shared);
    if (mapping)
        CloseHandle(mapping);
}

static BOOL WINAPI RecordingCreateProcessA(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES process,
                                           LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags,
                                           LPVOID environment, LPCSTR currentDirectory, LPSTARTUPINFOA startup,
                                           LPPROCESS_INFORMATION information)
{
    HANDLE mapping;
    ProbeLaunch *shared = OpenShared(&mapping);
    ProbeLaunch launch = {};
    char changed[sizeof launch.commandLine + sizeof launch.defaultSwitches];
    const char program[] = "cmd.exe ";
    if (shared) {
        lstrcpynA(launch.defaultSwitches, shared->defaultSwitches, sizeof launch.defaultSwitches);
        lstrcpynW(launch.givenPath, shared->givenPath, MAX_PATH);
        lstrcpynA(launch.modulePath, shared->modulePath, MAX_PATH);
    }
    launch.calls = 1;
    Record(launch.application, application, sizeof launch.application);
    Record(launch.commandLine, commandLine, sizeof launch.commandLine);
    Record(launch.currentDirectory, currentDirectory, sizeof launch.currentDirectory);
    launch.inheritHandles = inherit;
    launch.flags = flags;
    launch.environment = environment != NULL;
    launch.startupFlags = startup->dwFlags;
    launch.showWindow = startup->wShowWindow;
    if (!FindScript(commandLine, currentDirectory, launch.scriptPath))
        lstrcpynA(launch.scriptRights, "no script named in quotes on the command line", sizeof launch.scriptRights);
    else if ((launch.scriptRead = DescribeScript(launch.scriptPath, &launch)))
        DescribeScriptFolders(launch.scriptPath, launch.folderRights, sizeof launch.folderRights);
    if (launch.defaultSwitches[0] && commandLine && lstrlenA(commandLine) < (int)sizeof launch.commandLine
        && CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, commandLine, sizeof program - 1, program,
                          sizeof program - 1) == CSTR_EQUAL) {
        wsprintfA(changed, "%s%s %s", program, launch.defaultSwitches, commandLine + sizeof program - 1);
        commandLine = changed;
    }
    launch.created = CreateProcessA(application, commandLine, process, thread, inherit, flags, environment,
                                    currentDirectory, startup, information);
    launch.processId = launch.created ? information->dwProcessId : 0;
    if (shared) {
        launch.calls += shared->calls;
        *shared = launch;
    }
    CloseShared(mapping, shared);
    return launch.created;
}

static DWORD WINAPI GivingGetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size)
{
    HANDLE mapping;
    ProbeLaunch *shared = OpenShared(&mapping);
    WCHAR given[MAX_PATH] = L"";
    if (shared)
        lstrcpynW(given, shared->givenPath, MAX_PATH);
    CloseShared(mapping, shared);
    if (module || !given[0] || size == 0)
        return GetModuleFileNameW(module, buffer, size);
    DWORD length = lstrlenW(given);
    lstrcpynW(buffer, given, size);
    if (length < size)
        return length;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

// Points the program's imports of a function at another, and keeps this library loaded for the rest
// of the program's life, hooked or not.
static void HookImport(const char *function, void *replacement)
{
    HMODULE self;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       (LPCSTR)RecordingCreateProcessA, &self);
    BYTE *base = (BYTE *)GetModuleHandleA(NULL);
    IMAGE_NT_HEADERS *headers = (IMAGE_NT_HEADERS *)(base + ((IMAGE_DOS_HEADER *)base)->e_lfanew);
    DWORD imports = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (IMAGE_IMPORT_DESCRIPTOR *library = (IMAGE_IMPORT_DESCRIPTOR *)(base + imports); imports && library->Name;
         library++) {
        IMAGE_THUNK_DATA *name = (IMAGE_THUNK_DATA *)(base + library->OriginalFirstThunk);
        IMAGE_THUNK_DATA *address = (IMAGE_THUNK_DATA *)(base + library->FirstThunk);
        for (; name->u1.AddressOfData; name++, address++) {
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)
                || lstrcmpA((char *)((IMAGE_IMPORT_BY_NAME *)(base + name->u1.AddressOfData))->Name, function))
                continue;
            DWORD protection;
            VirtualProtect(&address->u1.Function, sizeof address->u1.Function, PAGE_READWRITE, &protection);
            address->u1.Function = (DWORD_PTR)replacement;
            VirtualProtect(&address->u1.Function, sizeof address->u1.Function, protection, &protection);
        }
    }
}

extern "C" __declspec(dllexport) LRESULT CALLBACK ProbeHook(int code, WPARAM wParam, LPARAM lParam)
{
    const CWPRETSTRUCT *call = (const CWPRETSTRUCT *)lParam;
    if (code == HC_ACTION && call->message == RegisterWindowMessageA(ProbeHello)) {
        Listener = (DWORD)call->wParam;
        HookImport("CreateProcessA", (void *)RecordingCreateProcessA);
        HookImport("GetModuleFileNameW", (void *)GivingGetModuleFileNameW);
        HANDLE mapping;
        ProbeLaunch *shared = OpenShared(&mapping);
        if (shared)
            GetModuleFileNameA(NULL, shared->modulePath, MAX_PATH);
        CloseShared(mapping, shared);
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
