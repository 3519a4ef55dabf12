// The demo's report: the state before, the run, the state after beside it with a verdict on each
// row, and how fast the uninstaller removed itself.
#include "driver.h"

#include <stdio.h>

#include <algorithm>

using namespace test;

static std::string Or(const std::string &text, const char *nothing) { return text.empty() ? nothing : text; }

static size_t LabelWidth(const std::vector<Item> &items)
{
    size_t width = 0;
    for (const Item &item : items)
        width = std::max(width, item.label.size());
    return width;
}

// Starts a new section of a table when the item opens one.
static void PrintSection(const Item &item, std::string &section)
{
    if (item.section != section) {
        section = item.section;
        printf("%s\n", section.c_str());
    }
}

static void PrintBefore(const std::vector<Item> &items)
{
    std::string section;
    printf("\nBefore\n");
    for (const Item &item : items) {
        PrintSection(item, section);
        printf("  %-*s  %s\n", (int)LabelWidth(items), item.label.c_str(), Or(item.before, "-").c_str());
    }
    printf("\n");
}

// Prints after beside before; true if every product item went (after an uninstall; otherwise
// stayed) and every other item stayed as it was. The script is absent before the run.
static bool PrintAfter(const std::vector<Item> &items, bool uninstalled)
{
    int width = (int)LabelWidth(items);
    printf("\nAfter, beside before\n  %-*s  %-8s  after\n", width, "", "before");
    bool good = true;
    std::string section;
    for (const Item &item : items) {
        PrintSection(item, section);
        const char *verdict;
        bool right;
        if (item.product && uninstalled) {
            verdict = item.before.empty() ? (item.after.empty() ? "-" : "appeared") : item.after.empty() ? "removed" : "KEPT";
            right = item.after.empty();
        } else {
            verdict = item.after == item.before ? (item.after.empty() ? "-" : "kept")
                      : item.after.empty() ? "REMOVED" : "CHANGED";
            right = item.after == item.before;
        }
        char line[512];
        snprintf(line, sizeof line, "  %-*s  %-8s  %-8s  %-8s %s", width, item.label.c_str(),
                 Or(item.before, "-").c_str(), Or(item.after, "-").c_str(), verdict, right ? "" : "  <- wrong");
        printf("%s\n", TrimEnd(line).c_str());
        good = good && right;
    }
    printf("\n");
    return good;
}

static std::string Seconds(double milliseconds)
{
    if (milliseconds < 0)
        return "not within 10 s";
    char text[32];
    sprintf(text, "after %.2f s", milliseconds / 1000);
    return text;
}

int Demo(const std::string &screenshot, bool automatic)
{
    fprintf(stderr, "Staging the add-on in %s\n", Folder.c_str());
    Installation installation;
    if (!installation.ready)
        return 1;
    std::vector<Item> items = Items(installation.stage);
    for (Item &item : items)
        item.before = item.look();

    printf("Demonstrating %s\n", Tested().c_str());
    printf("The IEEE754 Add-on Library, installed in \"%s\" beside another product\n", Folder.c_str());
    PrintBefore(items);
    printf("Running uninst.exe from there\n");
    Run run = RunProgram(installation.stage, automatic, screenshot);
    if (!run.problem.empty()) {
        printf("Failed: %s.\n", run.problem.c_str());
        return 1;
    }
    if (!run.confirmed) {
        for (Item &item : items)
            item.after = item.look();
        printf("The dialog was cancelled: nothing may change.\n");
        return PrintAfter(items, false) ? 0 : 1;
    }
    if (automatic)
        printf("The dialog appeared after %.2f s; Enter pressed; the program exited %.0f ms later\n",
               run.visible / 1000, run.exit);
    for (const std::string &warning : run.warnings)
        printf("The program warned: %s\n", warning.c_str());
    for (Item &item : items)
        item.after = item.look();
    bool good = PrintAfter(items, true) && run.warnings.empty();
    printf("The uninstaller removed itself (times from %s):\n", automatic ? "OK" : "the program's exit");
    printf("  uninst.exe gone            %s\n", Seconds(run.exeGone).c_str());
    printf("  its folder gone            %s\n", Seconds(run.folderGone).c_str());
    printf("  the script deleted itself  %s\n", Seconds(run.scriptGone).c_str());
    good = good && run.exeGone >= 0 && run.folderGone >= 0 && run.scriptGone >= 0;
    printf("\n%s\n", good ? "Everything is as it should be: the add-on and its registrations are gone, the other "
                            "products' entries are kept, and the uninstaller removed itself."
                          : "NOT everything is as it should be: see above.");
    return good ? 0 : 1;
}
