// Removing a file or a folder tree relative to an open folder, never through a symbolic link.
#pragma once

#include <string>

// Removes name inside the folder open as dirFd: a file, link or other entry is unlinked (a
// link never followed), a folder emptied and removed. Every step works on a descriptor of the
// folder it changes, opened without following links, so a folder swapped for a link while the
// removal runs is never entered: the removal fails there instead. It walks with an explicit
// stack, holding one folder descriptor at a time, and climbs back through ".." only to the
// folder it came from (a folder moved away meanwhile ends the removal). The first failure ends
// the removal (what was removed stays removed) and is thrown: 5000 for a file, 5004 for a
// folder, with the system error as cause; shownAs is the path that the messages start from.
void removeTree(int dirFd, const char* name, const std::string& shownAs);
