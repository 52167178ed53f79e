// Storage layer figures: the cost of one commit with and without its data syncs.
#include "archive/StgFile.h"
#include "archive/StgItem.h"
#include "archive/StgWriteBuffer.h"
#include "archive/os.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string scratch(const char* name) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/" + name + "." + std::to_string(getpid());
}

// Leaves out the syncs, to show what durability costs.
class NoSyncOs : public os::Os {
  public:
    int fdatasync(int) override { return 0; }
    int fsync(int) override { return 0; }
};

// One small transaction (a 1 KiB record stream) appended and committed per iteration.
void commitLoop(benchmark::State& state, bool durable) {
    NoSyncOs noSync;
    os::Os* previous = durable ? nullptr : os::install(&noSync);
    std::string path = scratch("commit_bench");
    ::unlink(path.c_str());
    StgFile f(path, 20, 10);
    f.open();
    std::vector<uint8_t> records(1024, 0x41);
    for (auto _ : state) {
        StgWriteBuffer w(nullptr, stg::TXN_SEQUENCE);
        w.setFlags(stg::LAST_BLOCK);
        w.putBits(records.data(), static_cast<uint32_t>(records.size() * 8));
        w.beginItem(f);
        w.writeBuffered(f);
        w.endItem(f);
        f.commit();
    }
    f.close();
    ::unlink(path.c_str());
    if (!durable) os::install(previous);
}

void BM_CommitDurable(benchmark::State& state) {
    commitLoop(state, true);
}
void BM_CommitWithoutSync(benchmark::State& state) {
    commitLoop(state, false);
}

}  // namespace

BENCHMARK(BM_CommitDurable)->Unit(benchmark::kMicrosecond)->MinTime(0.5);
BENCHMARK(BM_CommitWithoutSync)->Unit(benchmark::kMicrosecond)->MinTime(0.5);
