// One engine operation per process, for timing next to command-line peers (hyperfine runs it):
//
//   tresmo_bench_tool [--nosync] [--sync-stats] save FOLDER ARCHIVE TIME
//       refresh the folder against the archive at TIME and save what changed
//   tresmo_bench_tool refresh FOLDER ARCHIVE TIME
//       replay the archive and scan the folder at TIME; nothing is saved
//   tresmo_bench_tool restore ARCHIVE DEST newest|oldest
//       export the whole tree as of the newest or oldest transaction into DEST/tree
//   tresmo_bench_tool bomb ARCHIVE CLAIMED_MIB COPIES [START LENGTH]
//       forge a new archive (one transaction at 2020-09-13) holding bomb.bin: a delta that
//       copies a 1 MiB base of zeros (or LENGTH bytes from START of one of letters) COPIES times
//       and claims CLAIMED_MIB MiB (its CRC is that of the copies, so a claim of their size
//       restores); the whole file is some kilobytes
//
// --nosync replaces the platform layer by one whose fdatasync and fsync return at once, so the
// difference to a normal run is what durability costs; --sync-stats times the real syncs and
// prints their count and total on stderr. Both exist in this program only.
#include "archive/objects/FileSel.h"
#include "archive/ops/RecordStream.h"
#include "archive/ops/Tresmo.h"
#include "archive/os/os.h"
#include "archive/storage/Crc32.h"
#include "archive/storage/StgFile.h"
#include "archive/storage/StgItem.h"
#include "archive/storage/StgWriter.h"
#include "archive/support/NumberFormat.h"

#include <algorithm>
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
                 "newest|oldest\n       tresmo_bench_tool bomb ARCHIVE CLAIMED_MIB COPIES [START "
                 "LENGTH]\n");
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

// A stored item of type holding data; its position and stored size.
std::pair<uint32_t, int32_t> writeItem(StgFile& file, uint32_t type, const std::string& data) {
    StgWriter w(&file, type);
    w.begin();
    w.writeBytes({reinterpret_cast<const uint8_t*>(data.data()), data.size()});
    w.finish();
    return {static_cast<uint32_t>(w.itemStart()),
            static_cast<int32_t>(w.itemEnd() - w.itemStart())};
}

int bomb(const std::vector<std::string>& args) {
    if (args.size() != 4 && args.size() != 6) return usage();
    // The range each copy takes from the base: all of it, or START and LENGTH bytes.
    const int32_t from = args.size() == 6 ? std::stoi(args[4]) : 0;
    const int32_t len = args.size() == 6 ? std::stoi(args[5]) : 1 << 20;
    const int32_t claimed = static_cast<int32_t>(std::min(std::stoll(args[2]) << 20, 0x7FFFFFFFLL));
    const int copies = std::stoi(args[3]);
    // Zeros, or with a range pseudo-random letters, whose blocks cost what text costs to decode.
    std::string base(1 << 20, '\0');
    uint32_t x = 2463534242u;
    for (char& c : base) {
        if (args.size() == 4) break;
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        c = static_cast<char>('a' + x % 26);
    }
    std::string delta;
    uint32_t crc = crc32::init();
    uint8_t num[5];
    for (int i = 0; i < copies; ++i) {
        delta += 'B';
        for (int32_t n : {from, from + len})
            delta.append(reinterpret_cast<const char*>(num), encodeNumber(n, num));
        crc = crc32::update(crc, base.data() + from, static_cast<size_t>(len));
    }
    delta += 'C';
    try {
        StgFile file(args[1], 20, 10);
        file.open();
        auto [basePos, baseStored] = writeItem(file, stg::FILE_CONTENT, base);
        auto [diffPos, diffStored] = writeItem(file, stg::FILE_DIFF, delta);
        StgWriter rec(nullptr, stg::TXN_SEQUENCE);
        rec.begin();
        rec.writeByte(record::BEGIN_TXN);
        rec.writeWord(1600000000);
        rec.writeByte(record::ADD_ROOT);
        rec.writeByte(record::UPD_FOLDER);
        rec.writeNumber(0);
        rec.writeByte(record::ADD_FIRST);
        rec.writeNumber(8);
        rec.writeBytes({reinterpret_cast<const uint8_t*>("bomb.bin"), 8});
        rec.writeNumber(0);
        rec.writeByte(record::UPD_DELTA);
        rec.writeNumber(1);
        rec.writeWord(basePos);
        rec.writeWord(diffPos);
        rec.writeNumber(diffStored);
        rec.writeNumber(claimed);
        rec.writeWord(1600000000);
        rec.writeWord(crc32::finalize(crc));
        rec.finish();
        rec.writeTo(file);
        file.commit();
        file.close();
    } catch (Error& e) {
        std::fprintf(stderr, "%s\n", e.chainText().c_str());
        return 1;
    }
    return 0;
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
    else if (args[0] == "bomb")
        rc = bomb(args);
    else
        rc = usage();
    if (syncStats)
        std::fprintf(stderr, "syncs: %d calls, %.3f ms\n", timedSync.calls,
                     timedSync.seconds * 1000);
    os::install(nullptr);
    return rc;
}
