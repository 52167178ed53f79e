// Change notices for folders, through inotify.
//
// A FolderWatch owns one inotify descriptor (closed with it) and the watches added to it. It
// reports, for each watched folder, that an entry of it was created, removed, renamed, written
// or had its attributes changed; it never reports what happens deeper down (each folder needs
// its own watch). Watches are a resource of the user, shared by all of the user's programs:
// add() refuses past a budget of half the user's limit, and when the system itself has none
// left (ENOSPC), so the caller can look at the folders it could not watch by other means.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

namespace os {

class FolderWatch {
  public:
    struct Event {
        int wd = -1;        // the watch it came through; -1 when events were lost
        bool dir = false;   // the entry is a folder
        bool went = false;  // the entry was removed or moved away
        bool gone = false;  // the watched folder itself was removed or moved away
        bool bits = false;  // only the entry's attributes changed (permission bits, times)
        std::string name;   // the entry, empty for the folder itself
    };

    // Opens the descriptor (non-blocking); valid() false when the system has no inotify.
    explicit FolderWatch(int64_t budget = defaultBudget());
    ~FolderWatch();
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    bool valid() const { return _fd >= 0; }
    // Readable when events are waiting (for a poll loop or a socket notifier).
    int fd() const { return _fd; }
    // Watches the folder (a symbolic link is not followed); its watch number, or -1 with errno
    // set (ENOSPC when the budget or the system's limit is reached).
    int add(const std::string& dir);
    void remove(int wd);
    int64_t count() const { return _count; }
    // Appends the events waiting now without blocking; false when none were waiting.
    bool read(std::vector<Event>& out);

    // Half of /proc/sys/fs/inotify/max_user_watches (8192 when it cannot be read).
    static int64_t defaultBudget();

  private:
    int _fd = -1;
    int64_t _budget;
    int64_t _count = 0;
    std::unordered_set<int> _removed;  // removed, their IN_IGNORED not read yet
};

}  // namespace os
