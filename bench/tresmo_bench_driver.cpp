// One engine operation per process, for timing next to command-line peers (hyperfine runs it):
//
//   tresmo_bench_tool [--nosync] [--sync-stats] save FOLDER ARCHIVE TIME
//       refresh the folder against the archive at TIME and save what changed
//   tresmo_bench_tool refresh FOLDER ARCHIVE TIME
//       replay the archive and scan the folder at TIME; nothing is saved
//   tresmo_bench_tool restore ARCHIVE DEST newest|oldest
//       export the whole tree as of the newest or oldest transaction into DEST/tree
//
// --nosync replaces the platform layer by one whose fdatasync and fsync return at once, so the
// difference to a normal run is what durability costs; --sync-stats times the real syncs and
// prints their count and total on stderr. Both exist in this program only.
#include "archive/objects/FileSel.h"
#include "archive/ops/Tresmo.h"
#include "archive/os/os.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

class NoSyncOs : public os::Os {
  public:
    int fdatasync(int) override { return 0; }
    int fsync(int) override { return 0; }
};

class TimedSyncOs : public os::Os {
  public:
    int fdatasync(int fd) override {
        return timed([&] { return real().fdatasync(fd); });
    }
    int fsync(int fd) override {
        return timed([&] { return real().fsync(fd); });
    }

    int calls = 0;
    double seconds = 0;

  private:
    template <class F>
    int timed(F f) {
        auto start = std::chrono::steady_clock::now();
        int r = f();
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ++calls;
        return r;
    }
};

int usage() {
    std::fprintf(stderr,
                 "usage: tresmo_bench_tool [--nosync] [--sync-stats] save|refresh FOLDER "
                 "ARCHIVE TIME\n       tresmo_bench_tool restore ARCHIVE DEST "
                 "newest|oldest\n");
    return 2;
}

bool parseTime(const char* s, int64_t& t) {
    char* end = nullptr;
    long long v = std::strtoll(s, &end, 10);
    if (!*s || *end || v <= 0) return false;
    t = v;
    return true;
}

int refreshOrSave(const std::vector<std::string>& args, bool save) {
    int64_t t = 0;
    if (args.size() != 4 || !parseTime(args[3].c_str(), t)) return usage();
    FileSel sel;
    sel.setFolder(args[1]);
    Tresmo a;
    a.setPath(args[2]);
    if (!a.refresh(sel, t)) return 1;
    if (!save) return 0;
    SaveStats stats;
    if (!a.save(nullptr, &stats)) return 1;
    std::fprintf(stderr, "saved %d files (%d deltas), %d removed, %lld bytes read, %lld stored\n",
                 stats.files, stats.deltas, stats.removed, static_cast<long long>(stats.bytesRead),
                 static_cast<long long>(stats.bytesStored));
    return 0;
}

int restore(const std::vector<std::string>& args) {
    if (args.size() != 4 || (args[3] != "newest" && args[3] != "oldest")) return usage();
    Tresmo a;
    a.setPath(args[1]);
    a.setNow(os::sys().time());
    a.setName("tree");
    if (!a.read()) return 1;
    const Txn* txn = a.txns();
    if (!txn) {
        std::fprintf(stderr, "the archive holds no transaction\n");
        return 1;
    }
    if (args[3] == "oldest")
        while (txn->older)
            txn = txn->older;
    a.setRange(txn->time, txn->time);
    a.updateFolderInfo();
    a.selectFolder(a.root());
    return a.exportSelected(args[2], "tree") ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    NoSyncOs noSync;
    TimedSyncOs timedSync;
    std::vector<std::string> args;
    bool syncStats = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--nosync") == 0)
            os::install(&noSync);
        else if (std::strcmp(argv[i], "--sync-stats") == 0)
            syncStats = true;
        else
            args.emplace_back(argv[i]);
    }
    if (syncStats) os::install(&timedSync);
    if (args.empty()) return usage();
    int rc;
    if (args[0] == "save")
        rc = refreshOrSave(args, true);
    else if (args[0] == "refresh")
        rc = refreshOrSave(args, false);
    else if (args[0] == "restore")
        rc = restore(args);
    else
        rc = usage();
    if (syncStats)
        std::fprintf(stderr, "syncs: %d calls, %.3f ms\n", timedSync.calls,
                     timedSync.seconds * 1000);
    os::install(nullptr);
    return rc;
}
