// The test programs' entry. With --windows alone it runs no test: it prints one line about this
// Windows and exits with 0 if this process is elevated, 1 if not, for the kit's run-tests.cmd.
// With --key-state KEY [/reg:32|/reg:64] it runs no test either: it says whether the key is there.
// With --kit-summary=FILE it also writes its counts, and the names of the tests it skipped or
// failed, as lines of a batch file that run-tests.cmd calls to add them up.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <iterator>
#include <string>

#include "support.h"

static int DescribeWindows()
{
    OSVERSIONINFOW version = {sizeof version};
    // GetVersionEx reports the version a program's manifest names, not the one that runs.
    typedef LONG(WINAPI * RtlGetVersionProc)(OSVERSIONINFOW *);
    RtlGetVersionProc rtlGetVersion = (RtlGetVersionProc)GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlGetVersion");
    if (rtlGetVersion)
        rtlGetVersion(&version);
    SYSTEM_INFO system;
    GetNativeSystemInfo(&system);
    bool system64 = system.wProcessorArchitecture != PROCESSOR_ARCHITECTURE_INTEL;
    HANDLE token;
    TOKEN_ELEVATION elevation = {};
    DWORD size;
    bool elevated = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)
                    && GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size)
                    && elevation.TokenIsElevated;
    typedef const char *(CDECL * WineVersionProc)();
    WineVersionProc wineVersion = (WineVersionProc)GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version");
    printf("Windows %lu.%lu build %lu%s%ls, %d-bit%s%s; the %d-bit test programs run %s; %s\n", version.dwMajorVersion,
           version.dwMinorVersion, version.dwBuildNumber, version.szCSDVersion[0] ? " " : "", version.szCSDVersion,
           system64 ? 64 : 32, wineVersion ? ", under Wine " : "", wineVersion ? wineVersion() : "",
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

// Checks that only real Windows can show. Outside Wine, one that reports itself skipped has checked
// nothing, and counts as failed; only the AutoRun check's own control may find nothing to check.
static const char *const WindowsOnly[] = {"Script.AutoRunCommandsDoNotRunFirst",
                                         "Uninstall.ScriptGivesOrdinaryUsersNoRightToChangeIt",
                                         "Uninstall.NoConsoleWindowComesWithTheScript",
                                         "Uninstall.NoLibraryPlantedBesideTheProgramIsLoaded",
                                         "Uninstall.DelayedExpansionInTheRegistryLeavesAnotherInstallationAlone",
                                         "Forms/StartedBy.AnotherFormOfItsPathTheEntriesUnderTheLongPathGo/ShortPath",
                                         "Forms/StartedBy.AnotherFormOfItsPathTheEntriesUnderTheLongPathGo/PrefixedPath",
                                         "Accounts.TheSignedInUsersEntryGoesWhenAnotherAdministratorRunsTheUninstall"};

static bool SkipCountsAsFailure(const std::string &name, const testing::TestResult &result)
{
    if (test::UnderWine() || std::find(std::begin(WindowsOnly), std::end(WindowsOnly), name) == std::end(WindowsOnly))
        return false;
    for (int i = 0; i < result.total_part_count(); i++) {
        const testing::TestPartResult &part = result.GetTestPartResult(i);
        if (part.skipped() && name == WindowsOnly[0] && strstr(part.message(), test::AutoRunOffHere))
            return false;
    }
    return true;
}

class KitSummary : public testing::EmptyTestEventListener {
public:
    explicit KitSummary(const char *path) : path_(path) {}

private:
    void OnTestProgramEnd(const testing::UnitTest &unit) override
    {
        FILE *file = fopen(path_, "wb");
        if (!file)
            return;
        int skippedOnWindows = 0;
        for (int i = 0; i < unit.total_test_suite_count(); i++) {
            const testing::TestSuite *suite = unit.GetTestSuite(i);
            for (int j = 0; j < suite->total_test_count(); j++) {
                const testing::TestInfo *test = suite->GetTestInfo(j);
                std::string name = std::string(suite->name()) + "." + test->name();
                const char *list = test->result()->Skipped() ? "skippedNames" : test->result()->Failed() ? "failedNames" : NULL;
                if (!list || !test->should_run())
                    continue;
                if (test->result()->Skipped() && SkipCountsAsFailure(name, *test->result())) {
                    skippedOnWindows++;
                    fprintf(file, "set failedNames=%%failedNames%% %s[skipped]\r\n", name.c_str());
                } else {
                    fprintf(file, "set %s=%%%s%% %s\r\n", list, list, name.c_str());
                }
            }
        }
        fprintf(file, "set /a passed+=%d\r\nset /a failed+=%d\r\nset /a skipped+=%d\r\n", unit.successful_test_count(),
                unit.failed_test_count() + skippedOnWindows, unit.skipped_test_count() - skippedOnWindows);
        fclose(file);
    }
    const char *path_;
};

int main(int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], "--windows") == 0)
        return DescribeWindows();
    if ((argc == 3 || argc == 4) && strcmp(argv[1], "--key-state") == 0)
        return DescribeKey(argv[2], argc == 4 ? argv[3] : NULL);
    testing::InitGoogleTest(&argc, argv);
    const char option[] = "--kit-summary=";
    for (int i = 1; i < argc; i++)
        if (strncmp(argv[i], option, sizeof option - 1) == 0)
            testing::UnitTest::GetInstance()->listeners().Append(new KitSummary(argv[i] + sizeof option - 1));
    return RUN_ALL_TESTS();
}
