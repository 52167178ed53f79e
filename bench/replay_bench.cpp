// Loading a large archive: the replay of 1,000 transactions that together add 1,000,000 nodes
// (a folder of 999 files each) and change 100 earlier files each, read through the storage
// file, the block reader and the decoder into the tree.
#include "archive/ops/RecordStream.h"
#include "archive/ops/Tresmo.h"
#include "archive/storage/StgFile.h"
#include "archive/storage/StgItem.h"
#include "archive/storage/StgWriter.h"
#include "archive/support/Malloc.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr int TXNS = 1000;
constexpr int FILES_PER_TXN = 999;
constexpr int64_t T0 = 1000000000;

void writeName(StgWriter& w, const char* prefix, int i) {
    char buf[32];
    int n = std::snprintf(buf, sizeof buf, "%s%07d.txt", prefix, i);
    w.writeNumber(n);
    for (int k = 0; k < n; ++k)
        w.writeByte(static_cast<uint8_t>(buf[k]));
}

const std::string& archivePath() {
    static std::string path = [] {
        std::string p = "/tmp/tresmo-replay-bench-" + std::to_string(getpid()) + ".trsm";
        std::remove(p.c_str());
        StgFile stg(p, 20, 10);
        std::mt19937 rnd(1);
        int32_t nextId = 0;
        int32_t lastFolder = -1;
        for (int t = 0; t < TXNS; ++t) {
            stg.open();
            StgWriter w(nullptr, stg::TXN_SEQUENCE);
            w.begin();
            w.writeByte(record::BEGIN_TXN);
            w.writeWord(static_cast<uint32_t>(T0 + t * 60));
            if (t == 0) {
                w.writeByte(record::ADD_ROOT);
                w.writeByte(record::UPD_FOLDER);
                w.writeNumber(nextId++);
            }
            // A new folder behind the previous one, with its files.
            w.writeByte(lastFolder < 0 ? record::ADD_FIRST : record::ADD_AFTER);
            writeName(w, "d", t);
            w.writeNumber(0);
            if (lastFolder >= 0) w.writeNumber(lastFolder);
            int32_t folder = nextId++;
            lastFolder = folder;
            w.writeByte(record::UPD_FOLDER);
            w.writeNumber(folder);
            int32_t prev = -1;
            for (int f = 0; f < FILES_PER_TXN; ++f) {
                w.writeByte(prev < 0 ? record::ADD_FIRST : record::ADD_AFTER);
                writeName(w, "f", f);
                w.writeNumber(folder);
                if (prev >= 0) w.writeNumber(prev);
                prev = nextId++;
                w.writeByte(record::UPD_FULL);
                w.writeNumber(prev);
                w.writeWord(1000 + static_cast<uint32_t>(prev));
                w.writeNumber(300);
                w.writeNumber(1000);
                w.writeWord(static_cast<uint32_t>(T0 - 1000));
                w.writeWord(static_cast<uint32_t>(rnd()));
            }
            for (int k = 0; k < 100 && t > 0; ++k) {
                int32_t id = 2 + static_cast<int32_t>(rnd() % static_cast<uint32_t>(nextId - 2));
                if (id % (FILES_PER_TXN + 1) == 1) continue;  // a folder
                w.writeByte(record::UPD_DELTA);
                w.writeNumber(id);
                w.writeWord(1000);
                w.writeWord(2000);
                w.writeNumber(40);
                w.writeNumber(1010);
                w.writeWord(static_cast<uint32_t>(T0 + t * 60 - 10));
                w.writeWord(static_cast<uint32_t>(rnd()));
            }
            w.finish();
            w.writeTo(stg);
            stg.commit();
            stg.close();
        }
        return p;
    }();
    return path;
}

void BM_ReplayMillionNodes(benchmark::State& state) {
    const std::string& path = archivePath();
    size_t pages = 0;
    int32_t nodes = 0;
    for (auto _ : state) {
        Tresmo a;
        a.setNow(2000000000);
        a.setName("root");
        a.setPath(path);
        if (!a.read()) state.SkipWithError("read failed");
        pages = a.pool().pageCount();
        nodes = a.nextId();
    }
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    state.counters["nodes"] = nodes;
    state.counters["pool_bytes_per_node"] =
        static_cast<double>(pages) * sizeof(Malloc::Page) / nodes;
    state.counters["peak_rss_bytes_per_node"] = static_cast<double>(ru.ru_maxrss) * 1024 / nodes;
}
BENCHMARK(BM_ReplayMillionNodes)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
