// The options that choose what a watched folder's scan takes, shared by init and select.
#pragma once

#include <string>

namespace CLI {
class App;
class Option;
}  // namespace CLI

class FileSel;

namespace cli {

struct SelectionArgs {
    std::string excludeDirs, types, excludeTypes;
    bool noSubfolders = false, subfolders = false, allTypes = false;

    // Adds the options to cmd; changeable adds those that only undo (--subfolders,
    // --all-types), which a new selection does not need.
    void add(CLI::App& cmd, bool changeable);
    // Whether any option was given.
    bool any() const;
    // Applies what was given to sel; throws Usage on a value a selection cannot hold.
    void applyTo(FileSel& sel) const;

  private:
    bool dirsGiven() const;  // an empty --exclude-dirs '' clears them
    CLI::Option* _dirs = nullptr;
};

// What the selection takes, in a line: "every file type, with subfolders except build".
std::string selectionText(const FileSel& sel);

}  // namespace cli
