#include "uninstall.h"

#include <sddl.h>

// The script goes where only administrators can change it: ordinary users may add files to the
// Windows directory's Temp folder, but cannot read, change or delete what an administrator put there.
static const char ScriptFolder[] = "\\Temp\\";

// The path as the script has to spell it, in the OEM code page that cmd.exe reads a batch file in:
// its long form where that code page holds it exactly, otherwise its short form.
static BOOL ToBatchPath(const char *path, char *oem)
{
    WCHAR wide[MAX_PATH];

    return MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH) && SpellPath(CP_OEMCP, wide, oem);
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

// Writes the script named by WorkPath, as a file of its own that nobody else can have opened
// or planted. A script that cmd.exe could not read exactly, or that was cut short, is deleted.
static BOOL WriteScript(const char *exe)
{
    char exeBatch[MAX_PATH], scriptBatch[MAX_PATH];
    SECURITY_ATTRIBUTES security = {sizeof security, NULL, FALSE};
    HANDLE file;
    DWORD length, directory;
    BOOL written;

    // A stale script may have been planted, read-only, by somebody else: it goes, and a file of our
    // own takes its place. A link planted there is itself changed and deleted, never its target.
    SetFileAttributesA(WorkPath, FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(WorkPath);
    if (!ToBatchPath(exe, exeBatch) || !ToBatchPath(WorkPath, scriptBatch))
        return FALSE;
    // Its rights are its own, not the folder's nor the owner a policy may give it: Administrators own
    // it and only they and the system may open it. A link planted under the name is not followed.
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)", SDDL_REVISION_1,
                                                              &security.lpSecurityDescriptor, NULL))
        return FALSE;
    file = CreateFileA(WorkPath, GENERIC_WRITE, 0, &security, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    LocalFree(security.lpSecurityDescriptor);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    length = lstrlenA(exeBatch);
    directory = FolderPartLength(CP_OEMCP, exeBatch);
    // The folder is the path up to its last backslash, but a drive's root keeps it: "C:" alone
    // would name whatever the current directory on that drive is.
    if (directory > 0 && !(directory > 1 && exeBatch[directory - 2] == ':'))
        directory--;

    // cmd.exe opens the script by name again for each line: the line that deletes it also ends cmd,
    // so nothing is ever read from a name that may be somebody else's by then.
    written = Write(file, ":Repeat\r\ndel \"", 14) && WritePath(file, exeBatch, length)
              && Write(file, "\"\r\nif exist \"", 13) && WritePath(file, exeBatch, length)
              && Write(file, "\" goto Repeat\r\nrmdir \"", 22) && WritePath(file, exeBatch, directory)
              && Write(file, "\"\r\ndel \"", 8) && WritePath(file, scriptBatch, lstrlenA(scriptBatch))
              && Write(file, "\" & exit\r\n", 10);
    written = CloseHandle(file) && written;
    if (!written)
        DeleteFileA(WorkPath);
    return written;
}

// Starts the system's own cmd.exe on the script, hidden, without AutoRun commands and suspended;
// lets the uninstaller outrank it, then lets it run. Nothing the environment names is started,
// and the command line holds neither a space in a path nor a %. Delayed expansion is off whatever
// the registry says: it would read a ! in the script's paths as part of a variable's name, and
// the script would delete another installation's files.
static void StartScript(const char *exe, const char *interpreter, DWORD folderLength)
{
    STARTUPINFOA startup;
    PROCESS_INFORMATION process;
    char commandLine[sizeof LibraryFileName + 32];

    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    wsprintfA(commandLine, "cmd.exe /d /v:off /c \".\\%s\"", WorkPath + folderLength);
    // The script's folder, its current directory, is all that WorkPath still has to hold.
    WorkPath[folderLength] = '\0';
    if (!CreateProcessA(interpreter, commandLine, NULL, NULL, FALSE,
                        CREATE_SUSPENDED | IDLE_PRIORITY_CLASS | CREATE_NO_WINDOW, NULL, WorkPath, &startup, &process))
        return;
    // cmd.exe's del leaves read-only, hidden and system files alone: the script would retry for ever.
    SetFileAttributesA(exe, FILE_ATTRIBUTE_NORMAL);
    SetThreadPriority(process.hThread, THREAD_PRIORITY_IDLE);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
    CloseHandle(process.hProcess);
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
}

void LaunchSelfRemoval()
{
    char exe[MAX_PATH], interpreter[MAX_PATH];
    // Each length is checked against its buffer: a path that does not fit gets no script at all.
    BOOL exact = GetOwnPath(exe);
    UINT systemLength = GetSystemDirectoryA(interpreter, MAX_PATH);
    // The shared Windows directory: on a terminal server GetWindowsDirectoryA gives a program that
    // does not declare itself aware of it a folder of the user's own, which the user can write to.
    UINT length = GetSystemWindowsDirectoryA(WorkPath, MAX_PATH);

    // Without the exact path there is no script: the program stays where the user can find it.
    if (exact && systemLength > 0 && systemLength + sizeof "\\cmd.exe" <= MAX_PATH && length > 0
        && length + sizeof ScriptFolder - 1 + sizeof LibraryFileName <= MAX_PATH) {
        lstrcpyA(interpreter + systemLength, "\\cmd.exe");
        lstrcpyA(WorkPath + length, ScriptFolder);
        length += sizeof ScriptFolder - 1;
        lstrcpyA(WorkPath + length, LibraryFileName);
        lstrcpyA(WorkPath + length + 10, "bat");
        if (WriteScript(exe))
            StartScript(exe, interpreter, length);
    }
    StepProgress();
}
