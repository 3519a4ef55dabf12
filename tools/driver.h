// The parts of the driver behind ./run demo and ./run bench: the installation it stages
// (installation.cpp), what it reads of it (state.cpp), the run of the real program (run.cpp), and
// the demo's and the benchmark's reports (demo.cpp, bench.cpp).
#pragma once

#include "support.h"

#include <functional>
#include <string>
#include <vector>

// The add-on, installed by its maker beside another product of theirs, with its library listed by
// the host among the others' (installation.cpp).
extern const std::string Vendor;
extern const std::string Folder;
extern const std::string OtherFolder;
extern const std::string OtherLibrary;
extern const std::string LibraryAsListed;
extern const std::string ThirdLibrary;
extern const char UninstallRoot[];
extern const char OtherUninstallKey[];
// Under WOW64 the program sees the 32-bit view of HKLM\SOFTWARE; a 64-bit product of the same name
// has its key in the other view, where the program must leave it.
extern const bool Wow64;

// The add-on staged as above; anything left from an earlier run is replaced first, and what this
// put in place goes with it. `ready` is false if the program could not be put in place.
struct Installation {
    Installation();
    ~Installation();
    test::Stage stage;
    test::Registration registration;
    bool ready;
};

// One thing the uninstall may touch, as a row of the before/after table (state.cpp).
struct Item {
    std::string section, label;
    bool product;                       // the add-on's own: must go; anything else must stay
    std::function<std::string()> look;  // what is there now, "" for nothing
    std::string before = "", after = "";
};

std::vector<Item> Items(const test::Stage &stage);
// What the uninstall left in the temporary folders: the script's folder and what it holds, and whatever
// is in the program's TEMP.
int FilesLeft(const test::Stage &stage);

// Times of one run, in milliseconds from the start (visible) or from OK (the rest); -1: never (run.cpp).
struct Run {
    bool confirmed = false;  // OK was pressed (by us) or the uninstall happened (by a person)
    double visible = -1, exit = -1, exeGone = -1, folderGone = -1, scriptGone = -1;
    int left = -1;  // FilesLeft after the run
    std::vector<std::string> warnings;  // caption and text of each message box it showed
    std::string problem;
};

// Starts the staged program with the stage's temporary folder as its TEMP. With `automatic` it
// waits for the dialog, saves `screenshot` if one is named, and presses Enter; otherwise a person
// answers the dialog.
Run RunProgram(const test::Stage &stage, bool automatic, const std::string &screenshot);
// Which program runs, and where: the mode the build tree was made for.
std::string Tested();

int Demo(const std::string &screenshot, bool automatic);
int Bench(int runs, const std::string &json, const std::string &commit, const std::string &shipped);

inline std::string TrimEnd(std::string text)
{
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}
