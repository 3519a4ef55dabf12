#include "support.h"

#include <tlhelp32.h>

namespace test {

const char SharedDllsKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
const char HostKey[] = "Software\\Tovaslin";
const char UninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Pellumine";

std::string Beside(const char *name)
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    std::string self(path, length < MAX_PATH ? length : 0);
    return self.substr(0, self.rfind('\\') + 1) + name;
}

static std::string FromEnvironmentOr(const std::string &path)
{
    char named[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("UNINST_EXE", named, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::string(named, length) : path;
}

std::string UninstExe() { return FromEnvironmentOr(Beside("uninst.exe")); }
std::string ShippedExe()
{
    return FromEnvironmentOr(Beside(SHIPPED_FOLDER[0] ? SHIPPED_FOLDER "\\uninst.exe" : "uninst.exe"));
}
std::string EngineHostExe() { return Beside("engine_host.exe"); }

bool UnderWine()
{
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != NULL;
}

bool UnderWow64()
{
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

bool Exists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadBytes(const std::string &path)
{
    std::string bytes;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return bytes;
    char buffer[4096];
    DWORD read;
    while (ReadFile(file, buffer, sizeof buffer, &read, NULL) && read > 0)
        bytes.append(buffer, read);
    CloseHandle(file);
    return bytes;
}

void WriteBytes(const std::string &path, const std::string &bytes)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path << ": error " << GetLastError();
    DWORD written;
    WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, NULL);
    CloseHandle(file);
}

bool WaitUntil(const std::function<bool()> &condition, DWORD milliseconds)
{
    for (DWORD start = GetTickCount(); !condition(); Sleep(20))
        if (GetTickCount() - start > milliseconds)
            return false;
    return true;
}

bool WaitUntilGone(const std::string &path, DWORD milliseconds)
{
    return WaitUntil([&] { return !Exists(path); }, milliseconds);
}

HeldFile::HeldFile(const std::string &path)
    : handle(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL))
{
    EXPECT_NE(handle, INVALID_HANDLE_VALUE) << path << ": error " << GetLastError();
}

void HeldFile::Release()
{
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
}

std::wstring Wide(const std::string &ansi)
{
    WCHAR buffer[1024];
    int length = MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, buffer, 1024);
    return std::wstring(buffer, length > 0 ? length - 1 : 0);
}

std::string Ansi(const std::wstring &wide)
{
    char buffer[1024];
    int length = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, buffer, 1024, NULL, NULL);
    return std::string(buffer, length > 0 ? length - 1 : 0);
}

std::wstring Long(const std::wstring &path) { return L"\\\\?\\" + path; }

static void RemoveTreeW(const std::wstring &folder)
{
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(Long(folder + L"\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = entry.cFileName, path = folder + L"\\" + name;
            if (name == L"." || name == L"..")
                continue;
            SetFileAttributesW(Long(path).c_str(), FILE_ATTRIBUTE_NORMAL);
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTreeW(path);
            else
                DeleteFileW(Long(path).c_str());
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    RemoveDirectoryW(Long(folder).c_str());
}

void RemoveTree(const std::string &path)
{
    RemoveTreeW(Wide(path));
}

bool SaveScreenshot(const RECT &rect, const std::string &path)
{
    int width = rect.right - rect.left, height = rect.bottom - rect.top;
    BITMAPINFOHEADER header{};
    header.biSize = sizeof header;
    header.biWidth = width;
    header.biHeight = height;
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    header.biSizeImage = ((width * 3 + 3) & ~3) * height;
    BITMAPFILEHEADER fileHeader{};
    fileHeader.bfType = 'B' | 'M' << 8;
    fileHeader.bfOffBits = sizeof fileHeader + sizeof header;
    fileHeader.bfSize = fileHeader.bfOffBits + header.biSizeImage;

    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    void *bits = NULL;
    HBITMAP bitmap = CreateDIBSection(screen, (BITMAPINFO *)&header, DIB_RGB_COLORS, &bits, NULL, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    bool saved = bits && BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    GdiFlush();
    if (saved) {
        HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        DWORD written;
        saved = file != INVALID_HANDLE_VALUE && WriteFile(file, &fileHeader, sizeof fileHeader, &written, NULL)
                && WriteFile(file, &header, sizeof header, &written, NULL)
                && WriteFile(file, bits, header.biSizeImage, &written, NULL);
        if (file != INVALID_HANDLE_VALUE)
            saved = CloseHandle(file) && saved;
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    return saved;
}

std::string WindowsTemp()
{
    char windows[MAX_PATH];
    UINT length = GetSystemWindowsDirectoryA(windows, MAX_PATH);
    return std::string(windows, length < MAX_PATH ? length : 0) + "\\Temp\\";
}

int CountEntries(const std::string &folder)
{
    int count = 0;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + (!folder.empty() && folder.back() == '\\' ? "*" : "\\*")).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    do {
        if (lstrcmpA(found.cFileName, ".") != 0 && lstrcmpA(found.cFileName, "..") != 0)
            count++;
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return count;
}

std::set<std::string> ScriptFolders()
{
    std::set<std::string> found;
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((WindowsTemp() + "pellumine-*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return found;
    do {
        if (lstrlenA(entry.cFileName) == 26 && (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            found.insert(WindowsTemp() + entry.cFileName);
    } while (FindNextFileA(search, &entry));
    FindClose(search);
    return found;
}

Stage::Stage(const std::string &folderName, const std::string &tempName)
{
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "stage";
    for (char &c : name)
        if (c == '/' || c == '\\')
            c = '_';
    CreateDirectoryA("C:\\stage", NULL);
    root = "C:\\stage\\" + name;
    RemoveTree(root);
    CreateDirectoryA(root.c_str(), NULL);
    dir = root + "\\" + (folderName.empty() ? "Add-on Library" : folderName);
    temp = root + "\\" + (tempName.empty() ? "temp" : tempName) + "\\";
    CreateDirectoryA(dir.c_str(), NULL);
    CreateDirectoryA(temp.c_str(), NULL);
    exe = dir + "\\uninst.exe";
    library = dir + "\\pellumine.dll";
    scriptFoldersBefore_ = ScriptFolders();
    if (folderName.find(':') != std::string::npos)
        MoveTo(folderName);
}

Stage::~Stage()
{
    RemoveTree(root);
    if (!outside_.empty())
        RemoveTree(outside_);
    if (!outsideParent_.empty())
        RemoveDirectoryA(outsideParent_.c_str());
    for (const std::string &folder : ScriptFolders())
        if (!scriptFoldersBefore_.count(folder))
            RemoveTree(folder);
}

std::string Stage::ScriptFolder() const
{
    for (const std::string &folder : ScriptFolders())
        if (!scriptFoldersBefore_.count(folder))
            return folder;
    return "";
}

std::string Stage::Script() const
{
    std::string folder = ScriptFolder();
    return folder.empty() ? "" : folder + "\\pellumine.bat";
}

::testing::AssertionResult ScriptGone(const Stage &stage, DWORD milliseconds)
{
    std::string folder;
    bool gone = WaitUntil([&] {
        folder = stage.ScriptFolder();
        return folder.empty() || (UnderWine() && CountEntries(folder) == 0);
    }, milliseconds);
    if (gone)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << folder << (UnderWine() ? " is not empty" : " is still there") << " after "
                                         << milliseconds << " ms";
}

void Stage::MoveTo(const std::string &folder)
{
    RemoveDirectoryA(dir.c_str());
    dir = folder;
    exe = dir + "\\uninst.exe";
    library = dir + "\\pellumine.dll";
    if (folder.compare(0, root.size() + 1, root + "\\") != 0) {
        outside_ = folder;
        std::string parent = folder.substr(0, folder.rfind('\\'));
        if (CreateDirectoryA(parent.c_str(), NULL))
            outsideParent_ = parent;
    }
    EXPECT_TRUE(CreateDirectoryA(dir.c_str(), NULL)) << dir << ": error " << GetLastError();
}

void Stage::Install(const std::string &program)
{
    ASSERT_TRUE(CopyFileA(program.c_str(), exe.c_str(), FALSE)) << program << " -> " << exe << ": " << GetLastError();
    WriteBytes(library, "MZ not really a library");
}

LONG SetValue(HKEY root, const std::string &key, const std::string &name, DWORD type, const void *data, DWORD size,
              REGSAM view)
{
    HKEY handle;
    LONG result = RegCreateKeyExA(root, key.c_str(), 0, NULL, 0, KEY_ALL_ACCESS | view, NULL, &handle, NULL);
    if (result != ERROR_SUCCESS)
        return result;
    result = RegSetValueExA(handle, name.c_str(), 0, type, (const BYTE *)data, size);
    RegCloseKey(handle);
    return result;
}

LONG SetString(HKEY root, const std::string &key, const std::string &name, const std::string &value, REGSAM view)
{
    return SetValue(root, key, name, REG_SZ, value.c_str(), (DWORD)value.size() + 1, view);
}

bool ValueExists(HKEY root, const std::string &key, const std::string &name, REGSAM view)
{
    HKEY handle;
    if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ | view, &handle) != ERROR_SUCCESS)
        return false;
    LONG result = RegQueryValueExA(handle, name.c_str(), NULL, NULL, NULL, NULL);
    RegCloseKey(handle);
    return result == ERROR_SUCCESS;
}

std::string GetString(HKEY root, const std::string &key, const std::string &name)
{
    HKEY handle;
    char data[1024] = "";
    DWORD size = sizeof data - 1;
    if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return "<no key>";
    LONG result = RegQueryValueExA(handle, name.c_str(), NULL, NULL, (BYTE *)data, &size);
    RegCloseKey(handle);
    return result == ERROR_SUCCESS ? std::string(data) : "<no value>";
}

DWORD SharedCount(const std::string &name)
{
    HKEY key;
    DWORD count = 0, size = sizeof count;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SharedDllsKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0;
    RegQueryValueExA(key, name.c_str(), NULL, NULL, (BYTE *)&count, &size);
    RegCloseKey(key);
    return count;
}

bool KeyExists(HKEY root, const std::string &key, REGSAM view)
{
    HKEY handle;
    if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ | view, &handle) != ERROR_SUCCESS)
        return false;
    RegCloseKey(handle);
    return true;
}

void DeleteTree(HKEY root, const std::string &key, REGSAM view)
{
    HKEY handle;
    if (RegOpenKeyExA(root, key.c_str(), 0, KEY_ALL_ACCESS | view, &handle) == ERROR_SUCCESS) {
        char name[MAX_PATH];
        while (RegEnumKeyA(handle, 0, name, sizeof name) == ERROR_SUCCESS)
            DeleteTree(handle, name, view);
        RegCloseKey(handle);
    }
    RegDeleteKeyExA(root, key.c_str(), view, 0);
}

::testing::AssertionResult RunSystemCmd(const std::string &arguments, const std::string &folder)
{
    char cmd[MAX_PATH];
    GetSystemDirectoryA(cmd, MAX_PATH);
    lstrcatA(cmd, "\\cmd.exe");
    std::string line = "cmd.exe " + arguments;
    STARTUPINFOA startup = {sizeof startup};
    PROCESS_INFORMATION process;
    if (!CreateProcessA(cmd, &line[0], NULL, NULL, FALSE, CREATE_NO_WINDOW, NULL, folder.empty() ? NULL : folder.c_str(),
                        &startup, &process))
        return ::testing::AssertionFailure() << cmd << ": error " << GetLastError();
    DWORD ended = WaitForSingleObject(process.hProcess, 30000);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    if (ended != WAIT_OBJECT_0)
        return ::testing::AssertionFailure() << line << " did not end";
    return ::testing::AssertionSuccess();
}

bool EnablePrivilege(const char *name)
{
    HANDLE token;
    TOKEN_PRIVILEGES privileges = {1};
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!LookupPrivilegeValueA(NULL, name, &privileges.Privileges[0].Luid)
        || !OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token))
        return false;
    bool enabled = AdjustTokenPrivileges(token, FALSE, &privileges, 0, NULL, NULL) && GetLastError() == ERROR_SUCCESS;
    CloseHandle(token);
    return enabled;
}

SavedValue::SavedValue(HKEY root, const std::string &key, const std::string &name) : root(root), key(key), name(name)
{
    hadKey = KeyExists(root, key);
    HKEY handle;
    if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return;
    DWORD size = 0;
    if (RegQueryValueExA(handle, name.c_str(), NULL, &type, NULL, &size) == ERROR_SUCCESS) {
        bytes.resize(size);
        had = RegQueryValueExA(handle, name.c_str(), NULL, &type, (BYTE *)&bytes[0], &size) == ERROR_SUCCESS;
        bytes.resize(size);
    }
    RegCloseKey(handle);
}

SavedValue::~SavedValue()
{
    HKEY handle;
    if (RegOpenKeyExA(root, key.c_str(), 0, KEY_ALL_ACCESS, &handle) == ERROR_SUCCESS) {
        if (had)
            RegSetValueExA(handle, name.c_str(), 0, type, (const BYTE *)bytes.data(), (DWORD)bytes.size());
        else
            RegDeleteValueA(handle, name.c_str());
        RegCloseKey(handle);
    }
    if (!hadKey)
        RegDeleteKeyA(root, key.c_str());
}

Registration::Registration(const Stage &stage, DWORD count)
{
    AddSharedCount(stage.library, count);
    EXPECT_EQ(SetString(HKEY_LOCAL_MACHINE, UninstallKey, "DisplayName", "IEEE754 Add-on Library"), 0);
    DeleteTree(HKEY_CURRENT_USER, HostKey);
}

Registration::~Registration()
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SharedDllsKey, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
        for (const std::string &name : sharedNames)
            RegDeleteValueA(key, name.c_str());
        RegCloseKey(key);
    }
    DeleteTree(HKEY_LOCAL_MACHINE, UninstallKey);
    DeleteTree(HKEY_CURRENT_USER, HostKey);
}

void Registration::AddSharedCount(const std::string &name, DWORD count)
{
    sharedNames.push_back(name);
    EXPECT_EQ(SetValue(HKEY_LOCAL_MACHINE, SharedDllsKey, name, REG_DWORD, &count, sizeof count), 0) << name;
}

// The current environment with TEMP, TMP and the given variables replaced.
static std::string EnvironmentWith(std::vector<std::string> variables)
{
    std::string block;
    char *strings = GetEnvironmentStringsA();
    for (char *entry = strings; *entry; entry += lstrlenA(entry) + 1) {
        bool replaced = false;
        for (const std::string &variable : variables)
            replaced = replaced || _strnicmp(entry, variable.c_str(), variable.find('=') + 1) == 0;
        if (!replaced)
            block.append(entry, lstrlenA(entry) + 1);
    }
    FreeEnvironmentStringsA(strings);
    for (const std::string &variable : variables)
        block += variable + '\0';
    return block + '\0';
}

Program::Program(const std::string &exe, const std::string &temp, const std::string &currentDir,
                 const std::vector<std::string> &variables, bool counted, DWORD64 mitigations)
    : Program(Wide(exe), temp, currentDir, variables, counted, mitigations)
{
}

// A test program started inside a job (RunAs, Task Scheduler, Remote Desktop's start program) can
// put a child in a job of its own on Windows 7, which nests no jobs, only if the child breaks away
// from the outer one, where that job allows it.
static DWORD BreakawayFlag()
{
    BOOL inJob = FALSE;
    JOBOBJECT_BASIC_LIMIT_INFORMATION limits = {};
    if (!IsProcessInJob(GetCurrentProcess(), NULL, &inJob) || !inJob
        || !QueryInformationJobObject(NULL, JobObjectBasicLimitInformation, &limits, sizeof limits, NULL))
        return 0;
    return limits.LimitFlags & JOB_OBJECT_LIMIT_BREAKAWAY_OK ? CREATE_BREAKAWAY_FROM_JOB : 0;
}

Program::Program(const std::wstring &exe, const std::string &temp, const std::string &currentDir,
                 const std::vector<std::string> &variables, bool counted, DWORD64 mitigations)
{
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup.StartupInfo;
    std::vector<char> attributes;
    DWORD extended = 0;
    if (mitigations) {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(NULL, 1, 0, &size);
        attributes.resize(size);
        startup.lpAttributeList = (LPPROC_THREAD_ATTRIBUTE_LIST)attributes.data();
        bool listed = InitializeProcThreadAttributeList(startup.lpAttributeList, 1, 0, &size);
        EXPECT_TRUE(listed && UpdateProcThreadAttribute(startup.lpAttributeList, 0, PROC_THREAD_ATTRIBUTE_MITIGATION_POLICY,
                                                        &mitigations, sizeof mitigations, NULL, NULL))
            << "mitigation policy 0x" << std::hex << mitigations << ": error " << std::dec << GetLastError();
        if (!listed)
            startup.lpAttributeList = NULL;
        startup.StartupInfo.cb = sizeof startup;
        extended = EXTENDED_STARTUPINFO_PRESENT;
    }
    std::wstring commandLine = L"\"" + exe + L"\"", directory = Wide(currentDir);
    std::vector<std::string> replaced = {"TEMP=" + temp, "TMP=" + temp};
    replaced.insert(replaced.end(), variables.begin(), variables.end());
    std::string environment = EnvironmentWith(replaced);
    // Now and then, on a busy machine, a new Wine process dies while Wine sets it up, before any of
    // the program's own code runs; CreateProcess then fails with ERROR_INTERNAL_ERROR. That is a
    // start that did not happen, so it is made once more, and said.
    DWORD error = 0;
    for (int tries = 1;; tries++) {
        started = CreateProcessW(exe.c_str(), &commandLine[0], NULL, NULL, FALSE,
                                 extended | (counted ? CREATE_SUSPENDED | BreakawayFlag() : 0), &environment[0],
                                 currentDir.empty() ? NULL : directory.c_str(), &startup.StartupInfo, &info);
        error = started ? 0 : GetLastError();
        if (started || tries == 3 || error != ERROR_INTERNAL_ERROR || !UnderWine())
            break;
        fprintf(stderr, "Wine did not get %s started (error %lu); starting it again\n", Ansi(exe).c_str(), error);
    }
    if (startup.lpAttributeList)
        DeleteProcThreadAttributeList(startup.lpAttributeList);
    EXPECT_TRUE(started) << Ansi(exe) << ": error " << error;
    if (started && counted) {
        job = CreateJobObjectA(NULL, NULL);
        BOOL inJob = FALSE;
        EXPECT_TRUE(job && AssignProcessToJobObject(job, info.hProcess))
            << "job object: error " << GetLastError()
            << (IsProcessInJob(GetCurrentProcess(), NULL, &inJob) && inJob
                    ? ": these tests run inside a job that lets no process break away, and Windows 7 nests no "
                      "jobs; start the kit otherwise (not through RunAs, Task Scheduler or a Remote Desktop start program)"
                    : "");
        ResumeThread(info.hThread);
    }
}

int Program::Started() const
{
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
    if (!job || !QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting, sizeof accounting, NULL))
        return -1;
    return (int)accounting.TotalProcesses - 1;
}

Program::~Program()
{
    if (!started)
        return;
    if (WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT)
        TerminateProcess(info.hProcess, 1);
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
    if (job)
        CloseHandle(job);
}

static HWND ShownBox(DWORD processId);
static BoxWatcher::Box ReadBox(HWND window);

DWORD Program::Wait(DWORD milliseconds)
{
    DWORD code = STILL_ACTIVE;
    if (started && WaitForSingleObject(info.hProcess, milliseconds) == WAIT_OBJECT_0)
        GetExitCodeProcess(info.hProcess, &code);
    // A program that waits for its user says why, where it shows a message box.
    HWND box = code == STILL_ACTIVE && started ? ShownBox(info.dwProcessId) : NULL;
    if (box) {
        BoxWatcher::Box shown = ReadBox(box);
        fprintf(stderr, "process %lu still runs, showing a message box \"%s\": %s\n", info.dwProcessId,
                shown.caption.c_str(), shown.text.c_str());
    }
    return code;
}

// Under Wine, the first program to need a desktop that has none left starts Wine's desktop process
// (explorer.exe /desktop) itself; that one is the system's, and stays while the tests use the desktop.
static bool IsWineDesktop(HANDLE process)
{
    char image[MAX_PATH];
    DWORD size = MAX_PATH;
    if (!UnderWine() || !QueryFullProcessImageNameA(process, 0, image, &size))
        return false;
    const char *name = strrchr(image, '\\');
    return lstrcmpiA(name ? name + 1 : image, "explorer.exe") == 0;
}

// Handles to the processes that a started program made. A snapshot names a parent only by its id,
// which soon goes to a new process: services.exe's long dead parent may share a later program's.
static std::vector<HANDLE> OpenChildren(const PROCESS_INFORMATION &program)
{
    std::vector<HANDLE> children;
    FILETIME programMade, childMade, exited, kernel, user, taken;
    if (!GetProcessTimes(program.hProcess, &programMade, &exited, &kernel, &user))
        return children;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return children;
    GetSystemTimeAsFileTime(&taken);
    PROCESSENTRY32 entry = {sizeof entry};
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (entry.th32ParentProcessID != program.dwProcessId || entry.th32ProcessID == program.dwProcessId)
            continue;
        HANDLE child = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (!child)
            continue;
        if (GetProcessTimes(child, &childMade, &exited, &kernel, &user) && CompareFileTime(&childMade, &programMade) >= 0
            && CompareFileTime(&childMade, &taken) <= 0 && !IsWineDesktop(child))
            children.push_back(child);
        else
            CloseHandle(child);
    }
    CloseHandle(snapshot);
    return children;
}

std::vector<DWORD> Program::Children() const
{
    std::vector<DWORD> ids;
    for (HANDLE child : started ? OpenChildren(info) : std::vector<HANDLE>()) {
        if (WaitForSingleObject(child, 0) == WAIT_TIMEOUT)
            ids.push_back(GetProcessId(child));
        CloseHandle(child);
    }
    return ids;
}

bool Program::WaitForChildren(DWORD milliseconds) const
{
    DWORD start = GetTickCount();
    bool ended = true;
    for (HANDLE child : started ? OpenChildren(info) : std::vector<HANDLE>()) {
        DWORD spent = GetTickCount() - start;
        ended = ended && WaitForSingleObject(child, spent < milliseconds ? milliseconds - spent : 0) == WAIT_OBJECT_0;
        CloseHandle(child);
    }
    return ended;
}

BoxWatcher::BoxWatcher(DWORD processId) : processId_(processId)
{
    InitializeCriticalSection(&lock_);
    stop_ = CreateEventA(NULL, TRUE, FALSE, NULL);
    thread_ = CreateThread(NULL, 0, Run, this, 0, NULL);
}

BoxWatcher::~BoxWatcher()
{
    SetEvent(stop_);
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    CloseHandle(stop_);
    DeleteCriticalSection(&lock_);
}

std::vector<BoxWatcher::Box> BoxWatcher::Boxes()
{
    EnterCriticalSection(&lock_);
    std::vector<Box> copy = boxes_;
    LeaveCriticalSection(&lock_);
    return copy;
}

static BOOL CALLBACK CountButton(HWND child, LPARAM count)
{
    char className[32];
    GetClassNameA(child, className, sizeof className);
    if (lstrcmpiA(className, "Button") == 0)
        ++*(int *)count;
    return TRUE;
}

struct DialogSearch {
    DWORD processId;
    const char *title;
    HWND except;
    HWND found;
};

static BOOL CALLBACK MatchDialog(HWND window, LPARAM param)
{
    DialogSearch *search = (DialogSearch *)param;
    DWORD owner = 0;
    char className[32], title[512];
    GetWindowThreadProcessId(window, &owner);
    if (owner != search->processId || window == search->except || !IsWindowVisible(window)
        || !GetClassNameA(window, className, sizeof className) || lstrcmpA(className, "#32770") != 0)
        return TRUE;
    GetWindowTextA(window, title, sizeof title);
    if (search->title && lstrcmpA(title, search->title) != 0)
        return TRUE;
    search->found = window;
    return FALSE;
}

HWND VisibleDialog(DWORD processId, const char *title, HWND except)
{
    DialogSearch search = {processId, title, except, NULL};
    EnumWindows(MatchDialog, (LPARAM)&search);
    return search.found;
}

struct BoxSearch {
    DWORD processId;
    HWND found;
};

static BOOL CALLBACK FindBox(HWND window, LPARAM search)
{
    BoxSearch *s = (BoxSearch *)search;
    DWORD owner = 0;
    char className[32];
    GetWindowThreadProcessId(window, &owner);
    GetClassNameA(window, className, sizeof className);
    // A message box is a dialog with a text of id 0xFFFF; the uninstall dialog's texts have that id
    // too, but it alone holds the progress bar.
    if (owner == s->processId && lstrcmpA(className, "#32770") == 0 && IsWindowVisible(window)
        && GetDlgItem(window, 0xFFFF) && !GetDlgItem(window, 1000)) {
        s->found = window;
        return FALSE;
    }
    return TRUE;
}

static HWND ShownBox(DWORD processId)
{
    BoxSearch search = {processId, NULL};
    EnumWindows(FindBox, (LPARAM)&search);
    return search.found;
}

static BoxWatcher::Box ReadBox(HWND window)
{
    BoxWatcher::Box box;
    char text[1024];
    GetWindowTextA(window, text, sizeof text);
    box.caption = text;
    GetDlgItemTextA(window, 0xFFFF, text, sizeof text);
    box.text = text;
    box.owner = GetWindow(window, GW_OWNER);
    box.buttons = 0;
    EnumChildWindows(window, CountButton, (LPARAM)&box.buttons);
    return box;
}

DWORD WINAPI BoxWatcher::Run(void *param)
{
    BoxWatcher *self = (BoxWatcher *)param;
    while (WaitForSingleObject(self->stop_, 20) == WAIT_TIMEOUT) {
        HWND found = ShownBox(self->processId_);
        if (!found)
            continue;
        Box box = ReadBox(found);
        EnterCriticalSection(&self->lock_);
        self->boxes_.push_back(box);
        LeaveCriticalSection(&self->lock_);
        PostMessageA(found, WM_COMMAND, IDOK, 0);
        // Wait for this box to go before looking for the next.
        for (int i = 0; i < 250 && IsWindow(found); i++)
            Sleep(20);
    }
    return 0;
}

}  // namespace test
