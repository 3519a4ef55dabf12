// The test programs' entry. With --windows alone it runs no test: it prints one line about this
// Windows and exits with 0 if this process is elevated, 1 if not, for the kit's run-tests.cmd.
// With --kit-summary=FILE it also writes its counts, and the names of the tests it skipped or
// failed, as lines of a batch file that run-tests.cmd calls to add them up.
#include <stdio.h>
#include <string.h>

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

class KitSummary : public testing::EmptyTestEventListener {
public:
    explicit KitSummary(const char *path) : path_(path) {}

private:
    void OnTestProgramEnd(const testing::UnitTest &unit) override
    {
        FILE *file = fopen(path_, "wb");
        if (!file)
            return;
        fprintf(file, "set /a passed+=%d\r\nset /a failed+=%d\r\nset /a skipped+=%d\r\n", unit.successful_test_count(),
                unit.failed_test_count(), unit.skipped_test_count());
        for (int i = 0; i < unit.total_test_suite_count(); i++) {
            const testing::TestSuite *suite = unit.GetTestSuite(i);
            for (int j = 0; j < suite->total_test_count(); j++) {
                const testing::TestInfo *test = suite->GetTestInfo(j);
                const char *list = test->result()->Skipped() ? "skippedNames" : test->result()->Failed() ? "failedNames" : NULL;
                if (list && test->should_run())
                    fprintf(file, "set %s=%%%s%% %s.%s\r\n", list, list, suite->name(), test->name());
            }
        }
        fclose(file);
    }
    const char *path_;
};

int main(int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], "--windows") == 0)
        return DescribeWindows();
    testing::InitGoogleTest(&argc, argv);
    const char option[] = "--kit-summary=";
    for (int i = 1; i < argc; i++)
        if (strncmp(argv[i], option, sizeof option - 1) == 0)
            testing::UnitTest::GetInstance()->listeners().Append(new KitSummary(argv[i] + sizeof option - 1));
    return RUN_ALL_TESTS();
}
