#include "archive_cli/SelectionArgs.h"

#include "archive_cli/Cli.h"

#include "archive/objects/FileSel.h"
#include "archive/support/paths.h"

#include <CLI/CLI.hpp>
#include <vector>

namespace cli {

namespace {

// "txt, .Cpp" -> {"TXT", "CPP"}: types are matched as the scan counts them, in upper case.
std::vector<std::string> parseTypes(const std::string& list) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos <= list.size()) {
        size_t end = list.find(',', pos);
        if (end == std::string::npos) end = list.size();
        std::string t = list.substr(pos, end - pos);
        while (!t.empty() && t.front() == ' ')
            t.erase(t.begin());
        while (!t.empty() && t.back() == ' ')
            t.pop_back();
        if (!t.empty() && t[0] == '.') t.erase(t.begin());
        if (t.empty() || t.size() > 19)
            throw Usage("invalid file type '" + t + "' in '" + list + "': 1 to 19 characters");
        for (char& c : t) {
            if (!isNameChar(c) || c == '.')
                throw Usage("invalid file type '" + t + "' in '" + list + "'");
            c = toUpper(c);
        }
        out.push_back(t);
        pos = end + 1;
    }
    return out;
}

void listOnly(FileSel& sel, bool exclude, const std::string& list) {
    for (const std::string& t : std::vector<std::string>(sel.types()))
        sel.setListed(t, false);
    sel.setExcludeTypes(exclude);
    if (!list.empty())
        for (const std::string& t : parseTypes(list))
            sel.setListed(t, true);
}

}  // namespace

void SelectionArgs::add(CLI::App& cmd, bool changeable) {
    _dirs = cmd.add_option("--exclude-dirs", excludeDirs,
                           "Subfolder names to leave out, separated by commas (any depth)");
    auto* only = cmd.add_option("--types", types, "Take only these file types, e.g. txt,cpp");
    auto* but = cmd.add_option("--exclude-types", excludeTypes,
                               "Take every file type but these, e.g. log,tmp");
    only->excludes(but);
    auto* no = cmd.add_flag("--no-subfolders", noSubfolders, "Watch the folder's own files only");
    if (!changeable) return;
    auto* all = cmd.add_flag("--all-types", allTypes, "Take every file type");
    auto* with = cmd.add_flag("--subfolders", subfolders, "Watch subfolders too");
    all->excludes(only)->excludes(but);
    with->excludes(no);
}

bool SelectionArgs::dirsGiven() const {
    return _dirs && _dirs->count() > 0;
}

bool SelectionArgs::any() const {
    return dirsGiven() || !types.empty() || !excludeTypes.empty() || noSubfolders || subfolders ||
           allTypes;
}

void SelectionArgs::applyTo(FileSel& sel) const {
    if (excludeDirs.find('/') != std::string::npos)
        throw Usage(
            "--exclude-dirs takes folder names, which leave out a folder of that name at any "
            "depth; '" +
            excludeDirs + "' holds a '/'");
    if (excludeDirs.size() > 99)
        throw Usage("--exclude-dirs holds more than the 99 characters a selection stores");
    if (dirsGiven()) sel.setExceptions(excludeDirs);
    if (noSubfolders || subfolders) sel.setIncludeSubfolders(subfolders);
    if (!types.empty())
        listOnly(sel, false, types);
    else if (!excludeTypes.empty() || allTypes)
        listOnly(sel, true, excludeTypes);
}

std::string selectionText(const FileSel& sel) {
    std::string types;
    for (const std::string& t : sel.types())
        types += (types.empty() ? "" : ",") + t;
    types = types.empty() ? (sel.excludeTypes() ? "every file type" : "no file type")
                          : (sel.excludeTypes() ? "all but " : "only ") + types;
    return types + (sel.includeSubfolders() ? ", with subfolders" : ", no subfolders") +
           (sel.exceptions().empty() ? "" : " except " + sel.exceptions());
}

}  // namespace cli
