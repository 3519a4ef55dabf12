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

// The script's owner and DACL into the launch record; false, with the reason in scriptRights, if
// they cannot be read.
static BOOL DescribeScript(const char *currentDirectory, ProbeLaunch *launch)
{
    static BYTE descriptor[8192];
    char *report = launch->scriptRights;
    const int size = sizeof launch->scriptRights;
    char script[MAX_PATH];
    DWORD needed;
    BOOL present = FALSE, defaulted;
    PACL dacl = NULL;
    PSID owner = NULL;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision;

    if (!currentDirectory || lstrlenA(currentDirectory) + lstrlenA("\\pellumine.bat") >= MAX_PATH) {
        lstrcpynA(report, currentDirectory ? "the current directory's path is too long" : "no current directory", size);
        return FALSE;
    }
    lstrcpyA(script, currentDirectory);
    if (script[0] && script[lstrlenA(script) - 1] != '\\')
        lstrcatA(script, "\\");
    lstrcatA(script, "pellumine.bat");
    if (!GetFileSecurityA(script, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor, sizeof descriptor,
                          &needed)
        || !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)
        || !GetSecurityDescriptorOwner(descriptor, &owner, &defaulted)
        || !GetSecurityDescriptorControl(descriptor, &control, &revision)) {
        char reason[MAX_PATH + 32];
        wsprintfA(reason, "%s: error %lu", script, GetLastError());
        lstrcpynA(report, reason, size);
        return FALSE;
    }
    launch->scriptProtected = (control & SE_DACL_PROTECTED) != 0;
    lstrcpynA(launch->scriptOwner, "none", sizeof launch->scriptOwner);
    char *text;
    if (owner && ConvertSidToStringSidA(owner, &text)) {
        lstrcpynA(launch->scriptOwner, text, sizeof launch->scriptOwner);
        LocalFree(text);
    }
    if (const char *name = NameOf(owner, Administration))
        lstrcpynA(launch->scriptOwner, name, sizeof launch->scriptOwner);
    report[0] = '\0';
    if (!present || !dacl) {
        lstrcpynA(report, "no DACL: everyone may do anything", size);
        return TRUE;
    }
    for (DWORD i = 0; i < dacl->AceCount; i++) {
        ACCESS_ALLOWED_ACE *ace;
        char name[192], entry[sizeof name + 32];
        if (!GetAce(dacl, i, (void **)&ace)) {
            wsprintfA(entry, "entry %lu unreadable", i);
        } else {
            BYTE type = ace->Header.AceType;
            if (type == ACCESS_DENIED_ACE_TYPE || type == ACCESS_DENIED_CALLBACK_ACE_TYPE
                || type == ACCESS_DENIED_OBJECT_ACE_TYPE || type == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE
                || (ace->Header.AceFlags & INHERIT_ONLY_ACE) || !ace->Mask)
                continue;
            // Object entries keep their SID elsewhere; none belongs on a file, so one fails the check.
            if (type != ACCESS_ALLOWED_ACE_TYPE && type != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) {
                wsprintfA(entry, "an entry of type %u", type);
            } else {
                if (Allowed(&ace->SidStart))
                    continue;
                NameEntry(&ace->SidStart, name, sizeof name);
                wsprintfA(entry, "%s 0x%08lx", name, ace->Mask);
            }
        }
        if (lstrlenA(report) + lstrlenA(entry) + 3 < size)
            lstrcatA(lstrcatA(report, report[0] ? ", " : ""), entry);
    }
    return TRUE;
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
    launch.scriptRead = DescribeScript(currentDirectory, &launch);
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
