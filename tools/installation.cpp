// Stages the add-on where its installer puts it, beside another product of the same maker, and
// removes it all again: the add-on's own through the tests' stage and registration, the other
// product's here.
#include "driver.h"

#include <stdio.h>

using namespace test;

// Where an installer of this program's kind puts the add-on: Program Files (x86) under WOW64.
static std::string ProgramFiles()
{
    char path[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("ProgramFiles", path, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::string(path, length) : "C:\\Program Files";
}

static std::string Lower(std::string text)
{
    CharLowerBuffA(&text[0], (DWORD)text.size());
    return text;
}

const std::string Vendor = ProgramFiles() + "\\Tovaslin";
const std::string Folder = Vendor + "\\IEEE754 Add-on";
const std::string OtherFolder = Vendor + "\\Matrix Add-on";
const std::string OtherLibrary = OtherFolder + "\\matrix.dll";
// The library as the host once wrote it: the same path in other letter case.
const std::string LibraryAsListed = Lower(Folder) + "\\PELLUMINE.DLL";
const std::string ThirdLibrary = Vendor + "\\Stats Add-on\\stats.dll";
const char UninstallRoot[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const char OtherUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\MatrixAddon";

const bool Wow64 = UnderWow64();

// What a run that was cut short left goes before anything is staged: the stage wants a fresh
// folder, and removes the maker's folder afterwards only if it made it.
static const std::string &Cleared(const std::string &folder)
{
    RemoveTree(folder);
    RemoveTree(OtherFolder);
    RemoveDirectoryA(Vendor.c_str());
    return folder;
}

Installation::Installation() : stage(Cleared(Folder)), registration(stage, 1), ready(false)
{
    stage.Install(UninstExe());
    if (!Exists(stage.exe)) {
        fprintf(stderr, "driver: cannot copy %s to %s\n", UninstExe().c_str(), stage.exe.c_str());
        return;
    }
    if (Wow64) {
        DeleteTree(HKEY_LOCAL_MACHINE, UninstallKey, KEY_WOW64_64KEY);
        SetString(HKEY_LOCAL_MACHINE, UninstallKey, "DisplayName", "IEEE754 Add-on Library (64-bit)", KEY_WOW64_64KEY);
    }
    CreateDirectoryA(OtherFolder.c_str(), NULL);
    WriteBytes(OtherLibrary, "MZ matrix add-on library stand-in");
    registration.AddSharedCount(OtherLibrary, 2);

    SetString(HKEY_CURRENT_USER, HostKey, "Func0", OtherLibrary);
    SetString(HKEY_CURRENT_USER, HostKey, "Func1", LibraryAsListed);
    SetString(HKEY_CURRENT_USER, HostKey, "Func2", ThirdLibrary);

    SetString(HKEY_LOCAL_MACHINE, UninstallKey, "Publisher", "Tovaslin");
    SetString(HKEY_LOCAL_MACHINE, UninstallKey, "UninstallString", "\"" + stage.exe + "\"");
    SetString(HKEY_LOCAL_MACHINE, OtherUninstallKey, "DisplayName", "Matrix Add-on Library");
    ready = true;
}

// The other products' part; the registration and then the stage remove the rest, the maker's
// folder last.
Installation::~Installation()
{
    RemoveTree(OtherFolder);
    DeleteTree(HKEY_LOCAL_MACHINE, OtherUninstallKey);
    if (Wow64)
        DeleteTree(HKEY_LOCAL_MACHINE, UninstallKey, KEY_WOW64_64KEY);
}
