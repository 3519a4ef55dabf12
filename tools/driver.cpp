// Drives the real uninstaller for ./run demo and ./run bench: stages an installation beside
// another product's, starts uninst.exe, answers its dialog (or lets a person do it) and watches
// what it removes, what it keeps and how fast it removes itself.
//   driver demo [SCREENSHOT.bmp]   without a screenshot path a person answers the dialog
//   driver bench RUNS JSON-FILE COMMIT SHIPPED-EXE
// The program to run is UNINST_EXE, or the uninst.exe beside the driver (in the kit for Windows).
#include "driver.h"

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "demo")
        return Demo(argc > 2 ? argv[2] : "", argc > 2);
    if (command == "bench" && argc > 5)
        return Bench(atoi(argv[2]), argv[3], argv[4], argv[5]);
    fprintf(stderr, "usage: driver demo [SCREENSHOT.bmp] | driver bench RUNS JSON-FILE COMMIT SHIPPED-EXE\n");
    return 2;
}
