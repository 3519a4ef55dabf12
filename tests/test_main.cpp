// The test programs' entry. With --windows alone it runs no test: it prints one line about this
// Windows and exits with 0 if this process is elevated, 1 if not, for the kit's run-tests.cmd.
// With --key-state KEY [/reg:32|/reg:64] it runs no test either: it says whether the key is there;
// --check-folder says whether the ANSI code page spells this program's folder; --same-bytes A B
// whether two files are equal; --short-names FOLDER [on|off] reads or sets whether FOLDER's volume
// makes short names; --console-of PID what console PID has (for the console check).
// With --kit-summary=FILE it also writes its counts, and the names of the tests it skipped or
// failed, as lines of a batch file that run-tests.cmd calls to add them up; a test that runs for
// longer than two minutes, or Ctrl+C, ends it there (see KitSummary).
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <iterator>
#include <string>

#include "support.h"

#include <tlhelp32.h>
#include <winioctl.h>

// The machine Windows runs on, whatever this program's own: an x86 program under ARM64's emulation
// is told "x86" by GetNativeSystemInfo, and only IsWow64Process2 (Windows 10 1511 on) tells the truth.
static const char *NativeMachine()
{
    typedef BOOL(WINAPI * IsWow64Process2Proc)(HANDLE, USHORT *, USHORT *);
    IsWow64Process2Proc isWow64Process2 =
        (IsWow64Process2Proc)GetProcAddress(GetModuleHandleA("kernel32.dll"), "IsWow64Process2");
    USHORT process, native = IMAGE_FILE_MACHINE_UNKNOWN;
    if (!isWow64Process2 || !isWow64Process2(GetCurrentProcess(), &process, &native)) {
        SYSTEM_INFO system;
        GetNativeSystemInfo(&system);
        native = system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64   ? IMAGE_FILE_MACHINE_AMD64
                 : system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_ARM64 ? IMAGE_FILE_MACHINE_ARM64
                 : system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_INTEL ? IMAGE_FILE_MACHINE_I386
                                                                                 : IMAGE_FILE_MACHINE_UNKNOWN;
    }
    switch (native) {
    case IMAGE_FILE_MACHINE_I386: return "32-bit x86";
    case IMAGE_FILE_MACHINE_AMD64: return "64-bit x64";
    case IMAGE_FILE_MACHINE_ARM64: return "64-bit ARM64";
    case IMAGE_FILE_MACHINE_ARMNT: return "32-bit ARM";
    }
    return "an unknown machine";
}

static int DescribeWindows()
{
    OSVERSIONINFOW version = {sizeof version};
    // GetVersionEx reports the version a program's manifest names, not the one that runs.
    typedef LONG(WINAPI * RtlGetVersionProc)(OSVERSIONINFOW *);
    RtlGetVersionProc rtlGetVersion = (RtlGetVersionProc)GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlGetVersion");
    if (rtlGetVersion)
        rtlGetVersion(&version);
    HANDLE token;
    TOKEN_ELEVATION elevation = {};
    DWORD size;
    bool elevated = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)
                    && GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size)
                    && elevation.TokenIsElevated;
    typedef const char *(CDECL * WineVersionProc)();
    WineVersionProc wineVersion = (WineVersionProc)GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version");
    printf("Windows %lu.%lu build %lu%s%ls, %s%s%s; the %d-bit test programs run %s; %s\n", version.dwMajorVersion,
           version.dwMinorVersion, version.dwBuildNumber, version.szCSDVersion[0] ? " " : "", version.szCSDVersion,
           NativeMachine(), wineVersion ? ", under Wine " : "", wineVersion ? wineVersion() : "",
           (int)sizeof(void *) * 8, test::UnderWow64() ? "under WOW64" : "natively", elevated ? "elevated" : "NOT elevated");
    return elevated ? 0 : 1;
}

// For run-tests.cmd, before it saves a key: exit code 0 if the key is there, 1 only if Windows says it
// is not (ERROR_FILE_NOT_FOUND), 2 for anything else (access denied, a bad name), which says
// nothing about the key. KEY is spelt as reg.exe spells it, and so is the view.
static int DescribeKey(const char *key, const char *view)
{
    static const struct {
        const char *name;
        HKEY root;
    } roots[] = {{"HKCU", HKEY_CURRENT_USER}, {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                 {"HKLM", HKEY_LOCAL_MACHINE}, {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE}};
    std::string named = std::string(key) + (view ? std::string(" ") + view : "");
    const char *slash = strchr(key, '\\');
    HKEY root = NULL;
    for (const auto &known : roots)
        if (slash && (size_t)(slash - key) == strlen(known.name) && _strnicmp(key, known.name, slash - key) == 0)
            root = known.root;
    REGSAM sam = !view                             ? 0
                 : _stricmp(view, "/reg:32") == 0 ? KEY_WOW64_32KEY
                 : _stricmp(view, "/reg:64") == 0 ? KEY_WOW64_64KEY
                                                  : ~0u;
    if (!root || !slash[1] || sam == ~0u) {
        printf("cannot tell whether %s is there: give HKCU\\ or HKLM\\ with a key, then /reg:32, /reg:64 or nothing\n",
               named.c_str());
        return 2;
    }
    HKEY handle;
    LONG result = RegOpenKeyExA(root, slash + 1, 0, KEY_READ | sam, &handle);
    if (result == ERROR_SUCCESS)
        RegCloseKey(handle);
    if (result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND) {
        printf("%s: %s\n", result == ERROR_SUCCESS ? "present" : "absent", named.c_str());
        return result == ERROR_SUCCESS ? 0 : 1;
    }
    printf("cannot tell whether %s is there: RegOpenKeyExA gave error %ld\n", named.c_str(), result);
    return 2;
}

// For run-tests.cmd, first thing: exit code 0 if the ANSI code page spells this program's folder
// exactly, 1 if not. The tests find their companions and stage installations by ANSI paths: a
// best-fit spelling of the folder would name another one.
static int CheckFolder()
{
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(NULL, &path[0], (DWORD)path.size()));
    path.resize(path.rfind(L'\\') + 1);
    UINT codePage = GetACP();
    // CP_UTF8 holds every name, and takes neither the flag nor the question.
    BOOL lossy = FALSE, *asked = codePage == CP_UTF8 ? NULL : &lossy;
    DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    std::string ansi(WideCharToMultiByte(CP_ACP, flags, path.c_str(), -1, NULL, 0, NULL, asked), '\0');
    WideCharToMultiByte(CP_ACP, flags, path.c_str(), -1, &ansi[0], (int)ansi.size(), NULL, asked);
    std::wstring back(MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, NULL, 0), L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, &back[0], (int)back.size());
    if (!path.empty() && !lossy && back.c_str() == path)
        return 0;
    printf("This Windows' ANSI code page (%u) cannot spell the name of the kit's folder, \"%s\" (a ? stands for each "
           "letter it lacks). Move the kit to a folder whose path has only ASCII letters.\n", codePage, ansi.c_str());
    return 1;
}

// For run-tests.cmd, which checks a key it put back: exit code 0 if the two files hold the same
// bytes, 1 if not, 2 if one cannot be read.
static int SameBytes(const char *one, const char *other)
{
    if (!test::Exists(one) || !test::Exists(other)) {
        printf("cannot compare %s with %s: one is not there\n", one, other);
        return 2;
    }
    return test::ReadBytes(one) == test::ReadBytes(other) ? 0 : 1;
}

// Whether a folder made now in `folder` gets a short (8.3) name, which it names in `shortName`.
static bool NewFolderGetsShortName(const char *folder, char *shortName, DWORD size)
{
    char made[MAX_PATH];
    WCHAR wide[MAX_PATH], shortForm[MAX_PATH];
    wsprintfA(made, "%s\\short name check %lu", folder, GetCurrentProcessId());
    MultiByteToWideChar(CP_ACP, 0, made, -1, wide, MAX_PATH);
    bool has = CreateDirectoryW(wide, NULL) && GetShortPathNameW(wide, shortForm, MAX_PATH) > 0
               && lstrcmpiW(shortForm, wide) != 0;
    WideCharToMultiByte(CP_ACP, 0, has ? shortForm : wide, -1, shortName, (int)size, NULL, NULL);
    RemoveDirectoryW(wide);
    return has;
}

// For run-tests.cmd, which runs the tests with short names made on the volume they stage in, the
// case that needs a volume without them again with none made, and puts the volume's setting back.
// --short-names FOLDER: exit code 0 if FOLDER's volume is set to make short names, 1 if not, 2 if
// that cannot be read, 3 under Wine, which makes one for every file and has no such setting.
// --short-names FOLDER on|off sets it (the volume's flag that "fsutil 8dot3name set C: 0|1" sets),
// and makes a folder in FOLDER: 0 if the folder then has a short name exactly when asked, 1 if the
// flag is set but the folder says otherwise (NtfsDisable8dot3NameCreation in the registry decides
// for all volumes unless it is 2), 2 if the flag could not be set.
static int ShortNames(const char *folder, const char *state)
{
    if (test::UnderWine()) {
        printf("Wine makes a short name for every file and has no setting for it: left as it is\n");
        return 3;
    }
    bool set = state != NULL, on = set && strcmp(state, "on") == 0;
    if (set && !on && strcmp(state, "off") != 0) {
        printf("--short-names FOLDER [on|off]: not %s\n", state);
        return 2;
    }
    char volume[MAX_PATH], device[MAX_PATH] = "", shortName[MAX_PATH];
    CreateDirectoryA(folder, NULL);
    if (GetVolumePathNameA(folder, volume, MAX_PATH) && lstrlenA(volume) == 3)
        wsprintfA(device, "\\\\.\\%.2s", volume);
    HANDLE handle = device[0] ? CreateFileA(device, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            NULL, OPEN_EXISTING, 0, NULL)
                              : INVALID_HANDLE_VALUE;
    FILE_FS_PERSISTENT_VOLUME_INFORMATION asked = {}, flags = {};
    asked.VolumeFlags = on ? 0 : PERSISTENT_VOLUME_STATE_SHORT_NAME_CREATION_DISABLED;
    asked.FlagMask = PERSISTENT_VOLUME_STATE_SHORT_NAME_CREATION_DISABLED;
    asked.Version = 1;
    DWORD size, error = 0;
    if (handle == INVALID_HANDLE_VALUE
        || (set && !DeviceIoControl(handle, FSCTL_SET_PERSISTENT_VOLUME_STATE, &asked, sizeof asked, NULL, 0, &size, NULL))
        || !DeviceIoControl(handle, FSCTL_QUERY_PERSISTENT_VOLUME_STATE, &asked, sizeof asked, &flags, sizeof flags,
                            &size, NULL))
        error = device[0] ? GetLastError() : ERROR_INVALID_DRIVE;
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    if (error) {
        printf("cannot %s the short-name setting of the volume of %s (%s): error %lu\n", set ? "change" : "read", folder,
               device[0] ? device : "not a drive letter's", error);
        return 2;
    }
    bool makes = !(flags.VolumeFlags & PERSISTENT_VOLUME_STATE_SHORT_NAME_CREATION_DISABLED);
    DWORD registry = 0, registrySize = sizeof registry;
    bool inRegistry = RegGetValueA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\FileSystem",
                                   "NtfsDisable8dot3NameCreation", RRF_RT_REG_DWORD, NULL, &registry, &registrySize)
                      == ERROR_SUCCESS;
    bool gets = NewFolderGetsShortName(folder, shortName, sizeof shortName);
    char decides[16] = "not set";
    if (inRegistry)
        wsprintfA(decides, "%lu", registry);
    printf("%.2s is set to %s short names (fsutil 8dot3name set %.2s %d), NtfsDisable8dot3NameCreation %s; a folder "
           "made in %s is %s %s\n", volume, makes ? "make" : "make no", volume, makes ? 0 : 1, decides, folder,
           gets ? "also" : "only", shortName);
    if (!set)
        return makes ? 0 : 1;
    if (makes != on)
        return 2;
    return gets == on ? 0 : 1;
}

// For the console check, in a process started without a console: the exit code says what console
// `process` has: 0 none, 1 one without a window, 2 one with a window, 1000 + the error otherwise.
static int DescribeConsoleOf(DWORD process)
{
    FreeConsole();
    if (!AttachConsole(process))
        return GetLastError() == ERROR_INVALID_HANDLE ? 0 : 1000 + (int)GetLastError();
    return GetConsoleWindow() ? 2 : 1;
}

// Checks that only real Windows can show. Outside Wine, one that reports itself skipped has checked
// nothing, and counts as failed: the AutoRun check's control too, since /d is the only documented
// way to keep AutoRun commands from running.
static const char *const WindowsOnly[] = {"Script.AutoRunCommandsDoNotRunFirst",
                                         "Uninstall.ScriptGivesOrdinaryUsersNoRightToChangeIt",
                                         "Uninstall.NoConsoleWindowComesWithTheScript",
                                         "Uninstall.NoLibraryPlantedBesideTheProgramIsLoaded",
                                         "Uninstall.RunsWhereStrippedImagesAreRefusedAndLoadsAtAnotherAddressEachStart",
                                         "Uninstall.DelayedExpansionInTheRegistryLeavesAnotherInstallationAlone",
                                         "Forms/StartedBy.AnotherFormOfItsPathTheEntriesUnderTheLongPathGo/ShortPath",
                                         "Forms/StartedBy.AnotherFormOfItsPathTheEntriesUnderTheLongPathGo/PrefixedPath",
                                         "Accounts.TheSignedInUsersEntryGoesWhenAnotherAdministratorRunsTheUninstall"};

static bool SkipCountsAsFailure(const std::string &name)
{
    return !test::UnderWine() && std::find(std::begin(WindowsOnly), std::end(WindowsOnly), name) != std::end(WindowsOnly);
}

// Ends every process that this one started, and theirs: a hung test's uninst.exe or script would
// otherwise hold the staged files, or click on, after the runner has moved on.
static void EndDescendants()
{
    std::vector<std::pair<DWORD, FILETIME>> family(1, {GetCurrentProcessId(), {}});
    FILETIME exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &family[0].second, &exited, &kernel, &user);
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    std::vector<PROCESSENTRY32> entries;
    PROCESSENTRY32 entry = {sizeof entry};
    for (BOOL more = Process32First(snapshot, &entry); snapshot != INVALID_HANDLE_VALUE && more;
         more = Process32Next(snapshot, &entry))
        entries.push_back(entry);
    if (snapshot != INVALID_HANDLE_VALUE)
        CloseHandle(snapshot);
    for (size_t i = 0; i < family.size(); i++)
        for (const PROCESSENTRY32 &candidate : entries) {
            if (candidate.th32ParentProcessID != family[i].first || candidate.th32ProcessID == family[i].first)
                continue;
            HANDLE child = OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, candidate.th32ProcessID);
            FILETIME made;
            // A parent's id may have gone to a new process since: a child is younger than its parent.
            if (child && GetProcessTimes(child, &made, &exited, &kernel, &user)
                && CompareFileTime(&made, &family[i].second) >= 0) {
                family.push_back({candidate.th32ProcessID, made});
                TerminateProcess(child, 1);
            }
            if (child)
                CloseHandle(child);
        }
}

// The kit's summary, a line at a time as each test ends. A test that runs for longer than the
// watchdog's time is ended as failed, "timed out", with the processes it started. Ctrl+C (or a
// closed window) lets the current test end, so that its cleanup runs, and stops there: the summary
// says "stopped", and run-tests.cmd runs no more programs and puts the keys back.
class KitSummary : public testing::EmptyTestEventListener {
public:
    explicit KitSummary(const char *path) : path_(path)
    {
        InitializeCriticalSection(&lock_);
        instance_ = this;
        SetConsoleCtrlHandler(OnControl, TRUE);
        CloseHandle(CreateThread(NULL, 0, Watch, this, 0, NULL));
    }

    static const DWORD Limit = 120000;

private:
    void OnTestProgramStart(const testing::UnitTest &unit) override
    {
        lines_ += "set /a has+=" + std::to_string(unit.total_test_count() - unit.disabled_test_count()) + "\r\n";
    }
    void OnTestStart(const testing::TestInfo &test) override
    {
        EnterCriticalSection(&lock_);
        current_ = std::string(test.test_suite_name()) + "." + test.name();
        started_ = GetTickCount();
        LeaveCriticalSection(&lock_);
    }
    void OnTestEnd(const testing::TestInfo &test) override
    {
        const testing::TestResult &result = *test.result();
        EnterCriticalSection(&lock_);
        if (result.Skipped() && SkipCountsAsFailure(current_))
            Add("failed", current_ + "[skipped]");
        else
            Add(result.Skipped() ? "skipped" : result.Failed() ? "failed" : "passed", current_);
        current_.clear();
        bool stop = stopped_;
        LeaveCriticalSection(&lock_);
        if (stop) {
            printf("%s.%s has ended (%s); stopped there\n", test.test_suite_name(), test.name(),
                   result.Failed() ? "failed" : "not failed");
            End("set stopped=1\r\n");
        }
    }
    void OnTestProgramEnd(const testing::UnitTest &) override
    {
        EnterCriticalSection(&lock_);
        Write("");
        LeaveCriticalSection(&lock_);
    }

    // Counts the test in `list` ("passed", "failed" or "skipped") and names it in the last two.
    void Add(const char *list, const std::string &name)
    {
        lines_ += std::string("set /a ran+=1, ") + list + "+=1\r\n";
        if (strcmp(list, "passed") != 0)
            lines_ += std::string("set ") + list + "Names=%" + list + "Names% " + name + "\r\n";
    }
    void Write(const char *last)
    {
        if (FILE *file = fopen(path_, "wb")) {
            fprintf(file, "%s%s", lines_.c_str(), last);
            fclose(file);
        }
    }
    // Writes the summary as it stands, with `last` after it, and ends this program at once: the
    // test's thread may be anywhere, and nothing of gtest may run on.
    void End(const char *last)
    {
        EnterCriticalSection(&lock_);
        Write(last);
        fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 3);
    }

    static DWORD WINAPI Watch(void *param)
    {
        KitSummary *self = (KitSummary *)param;
        for (;; Sleep(1000)) {
            EnterCriticalSection(&self->lock_);
            bool late = !self->current_.empty() && GetTickCount() - self->started_ > Limit;
            if (late) {
                printf("\n%s timed out after %lu s: ending it and what it started\n", self->current_.c_str(), Limit / 1000);
                self->Add("failed", self->current_ + "[timed-out]");
                EndDescendants();
                self->End("");
            }
            LeaveCriticalSection(&self->lock_);
        }
    }
    static BOOL WINAPI OnControl(DWORD event)
    {
        if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
            return FALSE;
        EnterCriticalSection(&instance_->lock_);
        instance_->stopped_ = true;
        bool between = instance_->current_.empty();
        LeaveCriticalSection(&instance_->lock_);
        printf("\nStopping after the current test, once its cleanup has run\n");
        if (between)
            instance_->End("set stopped=1\r\n");
        // A closed window leaves a few seconds before Windows ends the process: the test may end meanwhile.
        if (event == CTRL_CLOSE_EVENT)
            Sleep(INFINITE);
        return TRUE;
    }

    const char *path_;
    CRITICAL_SECTION lock_;
    std::string lines_, current_;
    DWORD started_ = 0;
    bool stopped_ = false;
    static KitSummary *instance_;
};

KitSummary *KitSummary::instance_;

int main(int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], "--windows") == 0)
        return DescribeWindows();
    if (argc == 2 && strcmp(argv[1], "--check-folder") == 0)
        return CheckFolder();
    if ((argc == 3 || argc == 4) && strcmp(argv[1], "--key-state") == 0)
        return DescribeKey(argv[2], argc == 4 ? argv[3] : NULL);
    if (argc == 4 && strcmp(argv[1], "--same-bytes") == 0)
        return SameBytes(argv[2], argv[3]);
    if ((argc == 3 || argc == 4) && strcmp(argv[1], "--short-names") == 0)
        return ShortNames(argv[2], argc == 4 ? argv[3] : NULL);
    if (argc == 3 && strcmp(argv[1], "--console-of") == 0)
        return DescribeConsoleOf(strtoul(argv[2], NULL, 10));
    testing::InitGoogleTest(&argc, argv);
    const char option[] = "--kit-summary=";
    for (int i = 1; i < argc; i++)
        if (strncmp(argv[i], option, sizeof option - 1) == 0)
            testing::UnitTest::GetInstance()->listeners().Append(new KitSummary(argv[i] + sizeof option - 1));
    return RUN_ALL_TESTS();
}
