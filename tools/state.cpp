// Reads what the uninstall may touch, before and after: files, shared counts, the host's list and
// the uninstall keys, each in words for the demo's table.
#include "driver.h"

using namespace test;

static std::string LookFile(const std::string &path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return "";
    return attributes & FILE_ATTRIBUTE_DIRECTORY ? "folder" : "file";
}

static std::string LookCount(const std::string &path)
{
    if (!ValueExists(HKEY_LOCAL_MACHINE, SharedDllsKey, path))
        return "";
    return "count " + std::to_string(SharedCount(path));
}

// "set" while the value holds what was staged, its data once it holds something else.
static std::string LookListEntry(const std::string &name, const std::string &staged)
{
    if (!ValueExists(HKEY_CURRENT_USER, HostKey, name))
        return "";
    std::string data = GetString(HKEY_CURRENT_USER, HostKey, name);
    return data == staged ? "set" : data;
}

static std::string LookKey(const std::string &key, REGSAM view = 0)
{
    return KeyExists(HKEY_LOCAL_MACHINE, key, view) ? "key" : "";
}

static std::string Shorten(const std::string &path)
{
    return _strnicmp(path.c_str(), Vendor.c_str(), Vendor.size()) == 0 ? "..." + path.substr(Vendor.size()) : path;
}

std::vector<Item> Items(const Stage &stage)
{
    // The registry view each row is read in: the program's own, and under WOW64 the 64-bit one too.
    const std::string view = Wow64 ? "  (32-bit view: SOFTWARE\\WOW6432Node)" : "";
    std::string files = "Files in " + Vendor + " and " + WindowsTemp();
    std::string counts = "HKLM\\" + std::string(SharedDllsKey) + view;
    std::string list = "HKCU\\" + std::string(HostKey);
    std::string uninstall = "HKLM\\" + std::string(UninstallRoot) + view;
    const std::string exe = stage.exe, library = stage.library, folder = stage.dir;
    const Stage *staged = &stage;
    std::vector<Item> items = {
        {files, "IEEE754 Add-on\\uninst.exe", true, [exe] { return LookFile(exe); }},
        {files, "IEEE754 Add-on\\pellumine.dll", true, [library] { return LookFile(library); }},
        {files, "IEEE754 Add-on\\", true, [folder] { return LookFile(folder); }},
        {files, "Matrix Add-on\\matrix.dll", false, [] { return LookFile(OtherLibrary); }},
        {files, "pellumine-...\\pellumine.bat (the script, in Windows' Temp)", true,
         [staged] { return LookFile(staged->Script()); }},
        {counts, Shorten(library), true, [library] { return LookCount(library); }},
        {counts, Shorten(OtherLibrary), false, [] { return LookCount(OtherLibrary); }},
        {uninstall, "Pellumine", true, [] { return LookKey(UninstallKey); }},
        {uninstall, "MatrixAddon", false, [] { return LookKey(OtherUninstallKey); }},
    };
    const std::string listed[] = {OtherLibrary, LibraryAsListed, ThirdLibrary};
    for (int i = 0; i < 3; i++) {
        std::string name = "Func" + std::to_string(i);
        std::string staged = listed[i];
        items.insert(items.end() - 2, {list, name + " = " + Shorten(staged), i == 1,
                                       [name, staged] { return LookListEntry(name, staged); }});
    }
    if (Wow64)
        items.push_back({"HKLM\\" + std::string(UninstallRoot) + "  (64-bit view)", "Pellumine (a 64-bit product's)", false,
                         [] { return LookKey(UninstallKey, KEY_WOW64_64KEY); }});
    return items;
}

// The script's folder counts where it stayed, but not under Wine, whose cmd.exe holds a script open
// until it ends: there no script can remove its own folder, and only what the folder holds counts.
int FilesLeft(const Stage &stage)
{
    std::string folder = stage.ScriptFolder();
    int left = folder.empty() ? 0 : CountEntries(folder) + (UnderWine() ? 0 : 1);
    return left + CountEntries(stage.temp);
}
