// Storage layer figures.
//
// Throughput: a mixed corpus (text, structured binary, DNA-like letters, runs, random bytes)
// written and read as FILE_CONTENT items through StgWriter/StgReader, next to the bare coder
// writing to and reading from memory in the same run. The difference is what framing,
// escaping, CRC and the file cost. The size overhead compares the stored items (headers,
// escapes, CRCs) with the coder's bare output. TRESMO_BENCH_MB sets the corpus size
// (default 100).
//
// Commit: the cost of one durable commit, and of the same without its syncs.
#include "tests/support/MemBlocks.h"

#include "archive/codec/BlockReader.h"
#include "archive/codec/BlockWriter.h"
#include "archive/codec/LzEncoder.h"
#include "archive/codec/LzReader.h"
#include "archive/os/os.h"
#include "archive/storage/StgFile.h"
#include "archive/storage/StgItem.h"
#include "archive/storage/StgReader.h"
#include "archive/storage/StgWriteBuffer.h"
#include "archive/storage/StgWriter.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

std::string scratch(const char* name) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/" + name + "." + std::to_string(getpid());
}

// The corpus, as files of 64 KiB to 4 MiB.
const std::vector<Bytes>& corpus() {
    static const std::vector<Bytes> files = [] {
        const char* env = std::getenv("TRESMO_BENCH_MB");
        size_t total = size_t(env ? std::atoi(env) : 100) << 20;
        static const char* words[] = {"archive", "version", "folder", "file",  "the",   "a",
                                      "of",      "record",  "stream", "block", "value", "int",
                                      "return",  "{",       "}",      "(x);",  "for",   "if",
                                      "else",    "const",   "="};
        std::mt19937 rng(42);
        std::vector<Bytes> out;
        size_t done = 0;
        for (int kind = 0; done < total; kind = (kind + 1) % 5) {
            size_t n = std::min<size_t>(total - done, size_t(64 << 10) << (rng() % 7));
            Bytes b;
            b.reserve(n);
            while (b.size() < n) {
                switch (kind) {
                    case 0: {  // text
                        const char* w = words[rng() % std::size(words)];
                        b.insert(b.end(), w, w + std::strlen(w));
                        b.push_back(rng() % 9 == 0 ? '\n' : ' ');
                        break;
                    }
                    case 1: {  // records of little-endian numbers
                        uint32_t v = static_cast<uint32_t>(b.size() / 16) * 37 + rng() % 4;
                        for (int i = 0; i < 4; ++i)
                            b.push_back(static_cast<uint8_t>(v >> 8 * i));
                        break;
                    }
                    case 2:
                        b.push_back("ACGT"[rng() % 4]);
                        break;
                    case 3:  // runs, with the item mark now and then
                        b.insert(b.end(), rng() % 200, static_cast<uint8_t>(rng() % 3));
                        if (rng() % 4 == 0) b.insert(b.end(), {0x24, 0x24, 0x2F, 0x2F});
                        break;
                    default:
                        b.push_back(static_cast<uint8_t>(rng()));
                }
            }
            b.resize(n);
            done += n;
            out.push_back(std::move(b));
        }
        return out;
    }();
    return files;
}

size_t corpusBytes() {
    size_t n = 0;
    for (const Bytes& f : corpus())
        n += f.size();
    return n;
}

// The coder's output kept in memory, block by block. A block's room is reserved up front so
// that the bare run pays no more per byte than the storage buffer does.
constexpr size_t BLOCK_RESERVE = 70000;

size_t byteCount(const std::vector<MemBlock>& blocks) {
    size_t n = 0;
    for (const MemBlock& b : blocks)
        n += b.bytes.size();
    return n;
}

std::vector<std::vector<MemBlock>>& bareOutput() {
    static std::vector<std::vector<MemBlock>> out;
    return out;
}

void BM_BareEncode(benchmark::State& state) {
    size_t compressed = 0;
    for (auto _ : state) {
        bareOutput().clear();
        compressed = 0;
        for (const Bytes& f : corpus()) {
            MemBlockWriter sink(BLOCK_RESERVE);
            LzEncoder enc(sink);
            enc.reset();
            enc.put(f);
            enc.finish();
            compressed += byteCount(sink.blocks);
            bareOutput().push_back(std::move(sink.blocks));
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpusBytes()));
    state.counters["in_MB"] = double(corpusBytes()) / (1 << 20);
    state.counters["out_bytes"] = double(compressed);
}

void BM_BareDecode(benchmark::State& state) {
    Bytes buf;
    for (auto _ : state) {
        for (size_t i = 0; i < corpus().size(); ++i) {
            MemBlockReader src(std::span<const MemBlock>(bareOutput()[i]), 0);
            LzReader r(src);
            r.open();
            buf.resize(corpus()[i].size());
            r.read(buf);
            if (buf != corpus()[i]) state.SkipWithError("bare round trip differs");
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpusBytes()));
}

std::vector<uint64_t>& itemPositions() {
    static std::vector<uint64_t> pos;
    return pos;
}

void BM_StorageWrite(benchmark::State& state) {
    std::string path = scratch("storage_bench");
    uint64_t stored = 0;
    for (auto _ : state) {
        ::unlink(path.c_str());
        StgFile f(path, 20, 10);
        f.open();
        stored = 0;
        for (const Bytes& data : corpus()) {
            StgWriter w(&f, stg::FILE_CONTENT);
            w.begin();
            w.writeBytes(data);
            w.finish();
            stored += w.itemEnd() - w.itemStart();
        }
        // Cutting the items off again is not timed: a save would commit them instead.
        state.PauseTiming();
        f.rollback();
        f.close();
        state.ResumeTiming();
    }
    size_t bare = 0;
    for (const auto& blocks : bareOutput())
        bare += byteCount(blocks);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpusBytes()));
    state.counters["stored_bytes"] = double(stored);
    if (bare)
        state.counters["overhead_pct"] = 100.0 * (double(stored) - double(bare)) / double(bare);
}

void BM_StorageRead(benchmark::State& state) {
    std::string path = scratch("storage_bench");
    ::unlink(path.c_str());
    StgFile f(path, 20, 10);
    f.open();
    itemPositions().clear();
    for (const Bytes& data : corpus()) {
        StgWriter w(&f, stg::FILE_CONTENT);
        w.begin();
        w.writeBytes(data);
        w.finish();
        itemPositions().push_back(w.itemStart());
    }
    StgWriter seq(nullptr, stg::TXN_SEQUENCE);
    seq.begin();
    seq.finish();
    seq.writeTo(f);
    f.commit();
    Bytes buf;
    for (auto _ : state) {
        for (size_t i = 0; i < corpus().size(); ++i) {
            StgReader r(f, itemPositions()[i], stg::FILE_CONTENT | stg::INDEX_BLOCKS);
            r.start();
            buf.resize(corpus()[i].size());
            r.readBytes(buf);
            if (buf != corpus()[i] || !r.eof()) state.SkipWithError("storage round trip differs");
        }
    }
    f.close();
    ::unlink(path.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpusBytes()));
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

// Order matters: the storage runs compare with the bare output and read what was written.
BENCHMARK(BM_BareEncode)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_StorageWrite)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_BareDecode)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_StorageRead)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_CommitDurable)->Unit(benchmark::kMicrosecond)->MinTime(0.5);
BENCHMARK(BM_CommitWithoutSync)->Unit(benchmark::kMicrosecond)->MinTime(0.5);
