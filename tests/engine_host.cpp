// The engine on its own: runs the whole uninstall at start, with no dialog, and exits.
#include "uninstall.h"

extern "C" void WINAPI HostEntry()
{
    RunUninstall();
    ExitProcess(0);
}
