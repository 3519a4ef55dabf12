#include "uninstall.h"

// WorkPath keeps room for the script's name behind the temporary directory.
static const DWORD TempPathRoom = MAX_PATH - sizeof LibraryFileName;

// Converts an ANSI path into the OEM code page that cmd.exe reads a batch file in, and fails
// unless cmd reads back exactly the same characters.
static BOOL ToOemExactly(const char *path, char *oem)
{
    WCHAR wide[MAX_PATH], back[MAX_PATH];
    int length = MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH);

    if (length == 0)
        return FALSE;
    int bytes = WideCharToMultiByte(CP_OEMCP, WC_NO_BEST_FIT_CHARS, wide, length, oem, MAX_PATH, NULL, NULL);
    if (bytes == 0 || MultiByteToWideChar(CP_OEMCP, 0, oem, bytes, back, MAX_PATH) != length)
        return FALSE;
    for (int i = 0; i < length; i++)
        if (wide[i] != back[i])
            return FALSE;
    return TRUE;
}

// The path as the script has to spell it: its long form where the OEM code page holds it,
// otherwise its short form.
static BOOL ToBatchPath(const char *path, char *oem)
{
    char shortPath[MAX_PATH];
    DWORD length;

    if (ToOemExactly(path, oem))
        return TRUE;
    length = GetShortPathNameA(path, shortPath, MAX_PATH);
    return length > 0 && length < MAX_PATH && ToOemExactly(shortPath, oem);
}

static void Write(HANDLE file, const char *text, DWORD length)
{
    DWORD written;

    WriteFile(file, text, length, &written, NULL);
}

// Writes a path into the script; cmd.exe expands % even inside quotes, so each one is doubled.
static void WritePath(HANDLE file, const char *path, DWORD length)
{
    DWORD start = 0;

    for (DWORD i = 0; i < length; i++)
        if (path[i] == '%') {
            Write(file, path + start, i + 1 - start);
            start = i;
        }
    Write(file, path + start, length - start);
}

// Writes the script named by WorkPath; where its paths cannot be written so that cmd.exe reads
// them exactly, no script is left behind.
static BOOL WriteScript()
{
    char exe[MAX_PATH], exeBatch[MAX_PATH], scriptBatch[MAX_PATH];
    HANDLE file;
    DWORD length, directory;

    file = CreateFileA(WorkPath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    length = GetModuleFileNameA(NULL, exe, MAX_PATH);
    if (length == 0)
        exe[0] = '\0';
    if (length >= MAX_PATH || !ToBatchPath(exe, exeBatch) || !ToBatchPath(WorkPath, scriptBatch)) {
        CloseHandle(file);
        DeleteFileA(WorkPath);
        return FALSE;
    }
    length = lstrlenA(exeBatch);
    directory = length;
    while (directory > 0 && exeBatch[directory - 1] != '\\')
        directory--;
    // The folder is the path up to its last backslash, but a drive's root keeps it: "C:" alone
    // would name whatever the current directory on that drive is.
    if (directory > 0 && !(directory > 1 && exeBatch[directory - 2] == ':'))
        directory--;

    Write(file, ":Repeat\r\ndel \"", 14);
    WritePath(file, exeBatch, length);
    Write(file, "\"\r\nif exist \"", 13);
    WritePath(file, exeBatch, length);
    Write(file, "\" goto Repeat\r\nrmdir \"", 22);
    WritePath(file, exeBatch, directory);
    Write(file, "\"\r\ndel \"", 8);
    WritePath(file, scriptBatch, lstrlenA(scriptBatch));
    Write(file, "\"\r\n", 3);
    CloseHandle(file);
    return TRUE;
}

// Starts the script hidden and suspended, lets the uninstaller outrank it, then lets it run.
static void StartScript(DWORD folderLength)
{
    STARTUPINFOA startup;
    PROCESS_INFORMATION process;
    char folder[MAX_PATH], commandLine[sizeof LibraryFileName + 4];

    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    // The full path goes in as the program, so no search can start a program planted at its first
    // word; cmd.exe expands % in its command line even inside quotes, so there the script is
    // named within its own folder, which becomes the current directory.
    lstrcpynA(folder, WorkPath, folderLength + 1);
    wsprintfA(commandLine, "\".\\%s\"", WorkPath + folderLength);
    if (!CreateProcessA(WorkPath, commandLine, NULL, NULL, FALSE, CREATE_SUSPENDED | IDLE_PRIORITY_CLASS, NULL,
                        folder, &startup, &process))
        return;
    SetThreadPriority(process.hThread, THREAD_PRIORITY_IDLE);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
    CloseHandle(process.hProcess);
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
}

void LaunchSelfRemoval()
{
    // GetTempPathA writes nothing when the directory does not fit and returns the room it needs:
    // then there is no safe place for the script, and no script.
    DWORD length = GetTempPathA(TempPathRoom, WorkPath);

    if (length > 0 && length < TempPathRoom) {
        lstrcpyA(WorkPath + length, LibraryFileName);
        lstrcpyA(WorkPath + length + 10, "bat");
        if (WriteScript())
            StartScript(length);
    }
    StepProgress();
}
