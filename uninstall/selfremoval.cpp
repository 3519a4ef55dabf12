#include "uninstall.h"

#include <ntsecapi.h>
#include <sddl.h>
#include <winternl.h>

// The script's folder, and the script in it: owned by Administrators, with a protected DACL that
// grants SYSTEM and Administrators alone, passed on to whatever is made inside. Not what the Temp
// folder passes on (some administrators grant Users full control there), nor the owner a policy
// may give it (an owner may rewrite the DACL).
static const char ScriptRights[] = "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
// "pellumine-" and 16 hexadecimal digits from the system's random number generator.
static const char FolderNameFormat[] = "pellumine-%08lX%08lX";
static const DWORD FolderNameLength = 26;
// How long cmd.exe may take to come to the script's first line.
static const DWORD ScriptStartWait = 10000;

typedef NTSTATUS(NTAPI *NtCreateFileProc)(HANDLE *file, ACCESS_MASK access, OBJECT_ATTRIBUTES *attributes,
                                           IO_STATUS_BLOCK *status, LARGE_INTEGER *size, ULONG fileAttributes,
                                           ULONG share, ULONG disposition, ULONG options, void *ea, ULONG eaLength);

// The code page cmd.exe decodes the script in: its new console's. The console host starts from
// the OEM code page, takes the user's console defaults (HKCU\Console, CodePage) over it, except an
// East Asian code page other than the system's own, and then the values of a subkey named after
// the console's title. The interpreter's console is titled with this run's folder name, which no
// key can name in advance, so only the defaults apply. A code page this system cannot convert
// spells no path, and so writes no script.
static UINT ScriptCodePage()
{
    DWORD codePage, size = sizeof codePage;

    if (RegGetValueA(HKEY_CURRENT_USER, "Console", "CodePage", RRF_RT_REG_DWORD, NULL, &codePage, &size) != ERROR_SUCCESS
        || (codePage - 932 < 19 && (0x60011 >> (codePage - 932) & 1)))  // 932, 936, 949, 950
        return CP_OEMCP;
    return codePage;
}

// The path as the script has to spell it, in the code page cmd.exe reads it in: its long form where
// that code page holds it exactly, otherwise its short form.
static BOOL ToBatchPath(UINT codePage, const char *path, char *batch)
{
    WCHAR wide[MAX_PATH];

    return MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH) && SpellPath(codePage, wide, batch);
}

static BOOL Write(HANDLE file, const char *text, DWORD length)
{
    DWORD written;

    return WriteFile(file, text, length, &written, NULL) && written == length;
}

// Writes a path into the script; cmd.exe expands % even inside quotes, so each one is doubled.
static BOOL WritePath(HANDLE file, const char *path, DWORD length)
{
    DWORD start = 0;

    for (DWORD i = 0; i < length; i++)
        if (path[i] == '%') {
            if (!Write(file, path + start, i + 1 - start))
                return FALSE;
            start = i;
        }
    return Write(file, path + start, length - start);
}

// Makes a folder, new, with the script's rights, and opens it in one step: nothing can have taken the
// name or the folder in between. The handle shares no deletion: while it is open, nobody can
// rename or replace the folder, not even where the Temp folder lets everybody delete what it holds.
static HANDLE CreateScriptFolder(const char *folder, void *rights)
{
    WCHAR path[MAX_PATH + 4];
    NtCreateFileProc createFile = (NtCreateFileProc)(void *)GetProcAddress(GetModuleHandleA("ntdll"), "NtCreateFile");
    int length = MultiByteToWideChar(CP_ACP, 0, folder, -1, path + 4, MAX_PATH) + 3;
    UNICODE_STRING name = {(USHORT)(length * sizeof(WCHAR)), (USHORT)(length * sizeof(WCHAR)), path};
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK status;
    HANDLE held;

    path[0] = path[3] = '\\';
    path[1] = path[2] = '?';
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, NULL, rights);
    if (!createFile || length == 3
        || createFile(&held, FILE_TRAVERSE, &attributes, &status, NULL, FILE_ATTRIBUTE_NORMAL,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE, FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, NULL, 0)
               < 0)
        return NULL;
    return held;
}

// A new file with the script's rights; a link planted under the name is not followed.
static HANDLE CreateNewFile(const char *path, SECURITY_ATTRIBUTES *security)
{
    return CreateFileA(path, GENERIC_WRITE, 0, security, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
}

// Writes the script named by WorkPath, spelled in `codePage`; FALSE where cmd.exe could not read it
// exactly, or it was cut short.
static BOOL WriteScript(const char *exe, UINT codePage, SECURITY_ATTRIBUTES *security)
{
    char exeBatch[MAX_PATH], exeFolder[MAX_PATH], scriptBatch[MAX_PATH], folderBatch[MAX_PATH];
    // The first line tells the uninstaller that cmd.exe runs the script with the script's folder as
    // its current directory, which keeps the folder from being renamed from then on. cmd.exe opens
    // the script by name again for each line: the last line deletes it, leaves the folder, removes
    // it and ends cmd.exe, so nothing is read from those names once they may be somebody else's.
    const char *pieces[] = {"del pellumine.run\r\n:Repeat\r\ndel \"", exeBatch, "\"\r\nif exist \"", exeBatch,
                            "\" goto Repeat\r\nrmdir \"", exeFolder, "\"\r\ndel \"", scriptBatch,
                            "\" & cd .. & rmdir \"", folderBatch, "\" & exit\r\n"};
    HANDLE file;
    DWORD directory;
    BOOL written = TRUE;

    if (!ToBatchPath(codePage, exe, exeBatch) || !ToBatchPath(codePage, WorkPath, scriptBatch))
        return FALSE;
    // The script's folder is its path without "\\pellumine.bat".
    lstrcpynA(folderBatch, scriptBatch, lstrlenA(scriptBatch) - 13);
    file = CreateNewFile(WorkPath, security);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    directory = FolderPartLength(codePage, exeBatch);
    // The folder is the path up to its last backslash, but a drive's root keeps it: "C:" alone
    // would name whatever the current directory on that drive is.
    if (directory > 0 && !(directory > 1 && exeBatch[directory - 2] == ':'))
        directory--;
    lstrcpynA(exeFolder, exeBatch, directory + 1);
    for (const char *piece : pieces)
        written = written && WritePath(file, piece, lstrlenA(piece));
    return CloseHandle(file) && written;
}

// Starts the system's own cmd.exe on the script, hidden, without AutoRun commands and suspended,
// in the script's folder, its console titled with the folder's name; lets the uninstaller outrank
// it, lets it run, and waits until it has deleted the marker `started`: from then on its current
// directory holds the folder. Nothing the environment names is started, and the command line
// holds neither a space in a path nor a %. Delayed expansion is off whatever the registry says: it
// would read a ! in the script's paths as part of a variable's name, and the script would delete
// another installation's files. FALSE, with cmd.exe ended, where it did not get that far: it could
// not start, refused the script (batch files turned off by policy) or did not come to it in time.
static BOOL StartScript(const char *exe, const char *interpreter, const char *folder, char *folderName,
                        const char *started)
{
    STARTUPINFOA startup = {};
    PROCESS_INFORMATION process;
    char commandLine[] = "cmd.exe /d /v:off /c \".\\pellumine.bat\"";
    BOOL running;

    startup.cb = sizeof startup;
    startup.lpTitle = folderName;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    running = CreateProcessA(interpreter, commandLine, NULL, NULL, FALSE,
                             CREATE_SUSPENDED | IDLE_PRIORITY_CLASS | CREATE_NO_WINDOW, NULL, folder, &startup, &process);
    if (running) {
        // cmd.exe's del leaves read-only, hidden and system files alone: the script would retry for ever.
        SetFileAttributesA(exe, FILE_ATTRIBUTE_NORMAL);
        SetThreadPriority(process.hThread, THREAD_PRIORITY_IDLE);
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
        SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
        ResumeThread(process.hThread);
        // Only administrators can change anything in the folder: the marker goes when cmd.exe runs
        // the script's first line. It is looked for every 10 ms until then, until the time is up, or
        // until cmd.exe has ended: the script loops while this program runs, so a cmd.exe that has
        // ended is not running it, whether it came to the first line or not.
        for (DWORD waited = 0; !(running = GetFileAttributesA(started) == INVALID_FILE_ATTRIBUTES)
                               && waited < ScriptStartWait && WaitForSingleObject(process.hProcess, 10) == WAIT_TIMEOUT;
             waited += 10)
            ;
        if (!running)
            TerminateProcess(process.hProcess, 0);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    return running;
}

void LaunchSelfRemoval()
{
    char exe[MAX_PATH], interpreter[MAX_PATH], folder[MAX_PATH], started[MAX_PATH];
    SECURITY_ATTRIBUTES security = {sizeof security, NULL, FALSE};
    DWORD random[2];
    HANDLE held = NULL, marker;
    BOOL running = FALSE;
    // Each length is checked against its buffer: a path that does not fit gets no script at all.
    BOOL exact = GetOwnPath(exe);
    UINT codePage = ScriptCodePage();
    UINT systemLength = GetSystemDirectoryA(interpreter, MAX_PATH);
    // The shared Windows directory: on a terminal server GetWindowsDirectoryA gives a program that
    // does not declare itself aware of it a folder of the user's own, which the user can write to.
    UINT length = GetSystemWindowsDirectoryA(folder, MAX_PATH);

    // Without the exact path there is no script.
    // (0, for a failed call, wraps round and fails the comparison too.)
    if (exact && systemLength - 1 < MAX_PATH - sizeof "\\cmd.exe"
        && length - 1 < MAX_PATH - sizeof "\\Temp\\" - FolderNameLength - sizeof LibraryFileName
        && ConvertStringSecurityDescriptorToSecurityDescriptorA(ScriptRights, SDDL_REVISION_1,
                                                                &security.lpSecurityDescriptor, NULL)) {
        lstrcpyA(interpreter + systemLength, "\\cmd.exe");
        lstrcpyA(folder + length, "\\Temp\\");
        length += sizeof "\\Temp\\" - 1;
        // A name never used before: one that is taken, by anybody, is never opened.
        if (RtlGenRandom(random, sizeof random)) {
            wsprintfA(folder + length, FolderNameFormat, random[0], random[1]);
            held = CreateScriptFolder(folder, security.lpSecurityDescriptor);
        }
        if (held) {
            wsprintfA(started, "%s\\pellumine.run", folder);
            wsprintfA(WorkPath, "%s\\pellumine.bat", folder);
            marker = CreateNewFile(started, &security);
            running = marker != INVALID_HANDLE_VALUE && CloseHandle(marker) && WriteScript(exe, codePage, &security)
                      && StartScript(exe, interpreter, folder, folder + length, started);
            CloseHandle(held);
            if (!running) {
                DeleteFileA(WorkPath);
                DeleteFileA(started);
                // An ended cmd.exe may still hold the folder as its current directory for a moment.
                for (int attempt = 0; attempt < 50 && !RemoveDirectoryA(folder); attempt++)
                    Sleep(20);
            }
        }
        LocalFree(security.lpSecurityDescriptor);
    }
    // Where the uninstaller cannot remove itself, the user is told which file is left to delete.
    if (!running)
        MessageBoxA(MainDialog, exe, DeleteWarning, MB_ICONWARNING);
    StepProgress();
}
