// Compressor speed and size against zlib (levels 1, 6, 9; whole stream and 64 KiB independent
// blocks, which is how our format cuts a stream) and zstd level 3, on the corpus of
// tools/make-corpus.sh and on adversarial inputs. Every figure of the summary comes from this
// run, in thread CPU time, except our two-thread compression (`lz`), which is wall time: its
// point is the time to the last block. `lz1` is the same encoder on one thread, in CPU time.
// The summary ends with the two ratios we hold ourselves to: our compress speed (`lz`) over
// zlib-6 and our decompress speed over zlib's inflate (of the zlib-6 stream), each the minimum
// over the corpus files.
//
// Then the same coder runs again with a busy loop on every core (each loop held to its own
// core), one thread against two, both in wall time (median of 5 runs of 16 MiB per input): the
// second thread must never cost more than it brings when the machine has no core to spare.
//
// The corpus folder is $TRESMO_CORPUS_DIR or build/corpus; without it only the adversarial
// inputs run.
#include "tests/support/LzTestData.h"
#include "tests/support/MemBlocks.h"

#include "archive/codec/LzEncoder.h"
#include "archive/codec/LzReader.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <thread>
#include <vector>
#include <zlib.h>
#include <zstd.h>

namespace {

// Thread CPU time: the machine is shared, and wall time would charge us for other processes.
struct Clock {
    using duration = std::chrono::nanoseconds;
    using time_point = std::chrono::time_point<Clock, duration>;
    static time_point now() {
        timespec t;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return time_point(duration(int64_t{t.tv_sec} * 1000000000 + t.tv_nsec));
    }
};

struct Input {
    std::string name;
    std::vector<uint8_t> data;
    bool corpus;
};

struct Figures {
    double compressMBs = 0;
    double decompressMBs = 0;
    size_t size = 0;
};

std::vector<Input> gInputs;
// input -> codec -> figures, filled as the benchmarks run.
std::map<std::string, std::map<std::string, Figures>> gResults;

double mbs(size_t bytes, Clock::duration d) {
    return static_cast<double>(bytes) / 1e6 / std::chrono::duration<double>(d).count();
}

// Runs fn for every benchmark iteration and returns the measured MB/s over all of them.
template <class Fn>
double timed(benchmark::State& state, size_t bytes, Fn&& fn) {
    Clock::duration total{};
    size_t done = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        fn();
        total += Clock::now() - t0;
        done += bytes;
    }
    state.SetBytesProcessed(static_cast<int64_t>(done));
    return mbs(done, total);
}

// --- our coder -------------------------------------------------------------------------

size_t storedSize(const std::vector<MemBlock>& blocks) {
    size_t n = 0;
    for (const auto& b : blocks)
        n += b.bytes.size() + 4;  // each block has a 4-byte header
    return n;
}

void benchLz(benchmark::State& state, const Input& in, bool twoThreads) {
    MemBlockWriter out;
    LzEncoder enc(out, twoThreads);
    std::vector<MemBlock> blocks;
    Figures& f = gResults[in.name][twoThreads ? "lz" : "lz1"];
    // Compress and decompress alternate inside one benchmark so that both are measured on the
    // same stream; each is timed separately.
    Clock::duration ct{}, dt{};
    size_t done = 0;
    std::vector<uint8_t> back(in.data.size());
    for (auto _ : state) {
        out.blocks.clear();
        auto w0 = std::chrono::steady_clock::now();
        auto t0 = Clock::now();
        enc.reset();
        enc.put(in.data);
        enc.finish();
        auto t1 = Clock::now();
        auto w1 = std::chrono::steady_clock::now();
        MemBlockReader src(out.blocks);
        LzReader r(src);
        r.setExpectedSize(in.data.size());
        r.open();
        r.read(std::span(back));
        auto t2 = Clock::now();
        ct += twoThreads ? std::chrono::duration_cast<Clock::duration>(w1 - w0) : t1 - t0;
        dt += t2 - t1;
        done += in.data.size();
    }
    if (back != in.data) state.SkipWithError("round trip lost data");
    f.compressMBs = mbs(done, ct);
    f.decompressMBs = mbs(done, dt);
    f.size = storedSize(out.blocks);
    state.SetBytesProcessed(static_cast<int64_t>(done));
    state.counters["compress_MBs"] = f.compressMBs;
    state.counters["decompress_MBs"] = f.decompressMBs;
    state.counters["ratio"] = static_cast<double>(f.size) / std::max<size_t>(1, in.data.size());
}

// --- zlib and zstd -------------------------------------------------------------------------

std::vector<uint8_t> zlibCompress(std::span<const uint8_t> src, int level) {
    uLongf n = compressBound(src.size());
    std::vector<uint8_t> out(n);
    compress2(out.data(), &n, src.data(), src.size(), level);
    out.resize(n);
    return out;
}

void benchZlib(benchmark::State& state, const Input& in, int level, bool blocks) {
    std::string codec = "zlib" + std::to_string(level) + (blocks ? "/64k" : "");
    Figures& f = gResults[in.name][codec];
    const size_t chunk = blocks ? lz::BLOCK_SIZE : std::max<size_t>(1, in.data.size());
    std::vector<std::vector<uint8_t>> packed;
    f.compressMBs = timed(state, in.data.size(), [&] {
        packed.clear();
        for (size_t at = 0; at < in.data.size() || packed.empty(); at += chunk)
            packed.push_back(zlibCompress(
                std::span(in.data).subspan(at, std::min(chunk, in.data.size() - at)), level));
    });
    f.size = 0;
    for (auto& p : packed)
        f.size += p.size();
    std::vector<uint8_t> back(in.data.size() + 1);
    auto t0 = Clock::now();
    int rounds = 0;
    do {
        size_t at = 0;
        for (auto& p : packed) {
            uLongf n = back.size() - at;
            uncompress(back.data() + at, &n, p.data(), p.size());
            at += n;
        }
        ++rounds;
    } while (Clock::now() - t0 < std::chrono::milliseconds(300));
    f.decompressMBs = mbs(in.data.size() * rounds, Clock::now() - t0);
    state.counters["decompress_MBs"] = f.decompressMBs;
    state.counters["ratio"] = static_cast<double>(f.size) / std::max<size_t>(1, in.data.size());
}

void benchZstd(benchmark::State& state, const Input& in) {
    Figures& f = gResults[in.name]["zstd3"];
    std::vector<uint8_t> out(ZSTD_compressBound(in.data.size()));
    size_t n = 0;
    f.compressMBs = timed(state, in.data.size(), [&] {
        n = ZSTD_compress(out.data(), out.size(), in.data.data(), in.data.size(), 3);
    });
    f.size = n;
    std::vector<uint8_t> back(in.data.size() + 1);
    auto t0 = Clock::now();
    int rounds = 0;
    do {
        ZSTD_decompress(back.data(), back.size(), out.data(), n);
        ++rounds;
    } while (Clock::now() - t0 < std::chrono::milliseconds(300));
    f.decompressMBs = mbs(in.data.size() * rounds, Clock::now() - t0);
    state.counters["decompress_MBs"] = f.decompressMBs;
    state.counters["ratio"] = static_cast<double>(f.size) / std::max<size_t>(1, in.data.size());
}

// --- inputs --------------------------------------------------------------------------------

std::vector<Input> makeInputs() {
    std::vector<Input> v;
    const char* env = std::getenv("TRESMO_CORPUS_DIR");
    std::filesystem::path dir = env ? env : "build/corpus";
    for (const char* name : {"text", "source", "binary", "compressed"}) {
        std::ifstream f(dir / (std::string(name) + ".tar"), std::ios::binary);
        if (!f) continue;
        std::vector<uint8_t> data{std::istreambuf_iterator<char>(f),
                                  std::istreambuf_iterator<char>()};
        v.push_back({name, std::move(data), true});
    }
    if (v.empty())
        std::fprintf(stderr, "no corpus in %s (tools/make-corpus.sh builds it)\n", dir.c_str());
    const size_t M = 1 << 20;
    v.push_back({"run-of-one-byte", std::vector<uint8_t>(2 * M, 'a'), false});
    for (size_t p : {2, 5, 31, 100, 256, 300})
        v.push_back({"period-" + std::to_string(p), lztest::periodic(M, p, p), false});
    v.push_back({"random-bytes", lztest::randomBytes(2 * M, 1), false});
    v.push_back({"alphabet-2", lztest::alphabetText(2 * M, "01", 2), false});
    v.push_back({"alphabet-4", lztest::alphabetText(2 * M, "ACGT", 3), false});
    v.push_back(
        {"low-5-bits-shared",
         lztest::alphabetText(2 * M, std::string_view("\x01\x21\x41\x61\x81\xA1\xC1\xE1", 8), 4),
         false});
    v.push_back({"repeated-256-block", lztest::periodic(M, 256, 99), false});
    v.push_back({"sorted-numbers", lztest::numberList(2 * M, 1000000), false});
    return v;
}

void printSummary() {
    if (gResults.empty()) return;
    std::printf("\n%-20s %-9s %12s %12s %12s %8s\n", "input", "codec", "compress", "decompress",
                "size", "ratio");
    double minC = 1e300, minC1 = 1e300, minD = 1e300, slowest = 1e300;
    std::string slowestName;
    for (const Input& in : gInputs) {
        auto it = gResults.find(in.name);
        if (it == gResults.end()) continue;
        for (auto& [codec, f] : it->second)
            std::printf("%-20s %-9s %8.1f MB/s %8.1f MB/s %12zu %8.4f\n", in.name.c_str(),
                        codec.c_str(), f.compressMBs, f.decompressMBs, f.size,
                        static_cast<double>(f.size) / std::max<size_t>(1, in.data.size()));
        auto lz = it->second.find("lz");
        if (lz == it->second.end()) continue;
        if (lz->second.compressMBs < slowest) {
            slowest = lz->second.compressMBs;
            slowestName = in.name;
        }
        auto z6 = it->second.find("zlib6");
        if (in.corpus && z6 != it->second.end()) {
            minC = std::min(minC, lz->second.compressMBs / z6->second.compressMBs);
            auto lz1 = it->second.find("lz1");
            if (lz1 != it->second.end())
                minC1 = std::min(minC1, lz1->second.compressMBs / z6->second.compressMBs);
            minD = std::min(minD, lz->second.decompressMBs / z6->second.decompressMBs);
        }
    }
    MemBlockWriter w;
    LzEncoder enc(w), enc1(w, false);
    MemBlockReader src(std::vector<MemBlock>{});
    LzReader r(src);
    std::printf("\nencoder state: %zu bytes (one thread: %zu), decoder state: %zu bytes\n",
                enc.stateBytes(), enc1.stateBytes(), r.stateBytes());
    std::printf("slowest lz compress: %.1f MB/s (%s)\n", slowest, slowestName.c_str());
    if (minC < 1e300) {
        if (minC1 < 1e300)
            std::printf("lz1/zlib6 compress speed ratio (one thread): %.2f\n", minC1);
        std::printf("lz/zlib6 compress speed ratio: %.2f\n", minC);
        std::printf("lz/zlib-inflate decompress speed ratio: %.2f\n", minD);
    }
    std::fflush(stdout);
}

// --- a busy machine ------------------------------------------------------------------------

// One busy loop per core for as long as it lives.
class Hogs {
  public:
    Hogs() {
        unsigned n = std::max(1u, std::thread::hardware_concurrency());
        for (unsigned i = 0; i < n; ++i) {
            _threads.emplace_back([this] {
                volatile uint64_t spins = 0;
                while (!_stop.load(std::memory_order_relaxed))
                    spins = spins + 1;
            });
            // Each on a core of its own: left to the scheduler, two loops sometimes share a
            // core for a while, and the coder being measured then gets a whole one.
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(i, &one);
            pthread_setaffinity_np(_threads.back().native_handle(), sizeof one, &one);
        }
    }
    ~Hogs() {
        _stop = true;
        for (auto& t : _threads)
            t.join();
    }
    size_t size() const { return _threads.size(); }

  private:
    std::atomic<bool> _stop = false;
    std::vector<std::thread> _threads;
};

// Codes data as passes streams in a row, as a save codes file after file.
double wallMBs(LzEncoder& enc, std::span<const uint8_t> data, size_t passes, MemBlockWriter& out) {
    auto t0 = std::chrono::steady_clock::now();
    for (size_t i = 0; i < passes; ++i) {
        out.blocks.clear();
        enc.reset();
        enc.put(data);
        enc.finish();
    }
    return mbs(data.size() * passes, std::chrono::steady_clock::now() - t0);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Each input that ran above, 16 MiB of it in each run (its start, or the whole input coded
// again and again): a run of a few milliseconds is decided by where the scheduler happens to
// put the threads.
void printBusyRun() {
    Hogs hogs;
    std::printf("\nbusy machine (%zu busy loops), wall time, median of 5:\n", hogs.size());
    std::printf("%-20s %12s %12s %8s\n", "input", "lz1", "lz", "lz/lz1");
    double worst = 1e300;
    std::string worstName;
    for (const Input& in : gInputs) {
        if (!gResults.contains(in.name)) continue;
        auto data = std::span(in.data).first(std::min<size_t>(in.data.size(), 16 << 20));
        MemBlockWriter out;
        LzEncoder enc1(out, false), enc2(out);
        std::vector<double> one, two;
        const size_t passes = std::max<size_t>(1, (16 << 20) / std::max<size_t>(1, data.size()));
        for (int run = 0; run < 5; ++run) {
            one.push_back(wallMBs(enc1, data, passes, out));
            two.push_back(wallMBs(enc2, data, passes, out));
        }
        double r = median(two) / median(one);
        std::printf("%-20s %7.1f MB/s %7.1f MB/s %8.2f\n", in.name.c_str(), median(one),
                    median(two), r);
        if (r < worst) {
            worst = r;
            worstName = in.name;
        }
    }
    std::printf("busy machine lz/lz1 compress speed ratio: %.2f (%s)\n", worst, worstName.c_str());
    std::fflush(stdout);
}

// The summary is printed after the benchmark library's main has returned, so that it comes
// last.
struct Registrar {
    Registrar() {
        gInputs = makeInputs();
        for (const Input& in : gInputs) {
            // The figures of the two ratios are taken over several passes of a corpus file: a
            // single pass of half a second moves by a tenth from run to run on this machine.
            double minTime = in.corpus ? 3.0 : 0.5;
            benchmark::RegisterBenchmark(("lz/" + in.name).c_str(), benchLz, std::cref(in), true)
                ->Unit(benchmark::kMillisecond)
                ->MinTime(minTime);
            benchmark::RegisterBenchmark(("lz1/" + in.name).c_str(), benchLz, std::cref(in), false)
                ->Unit(benchmark::kMillisecond)
                ->MinTime(minTime);
            const int levels[] = {1, 6, 9};
            for (int level : levels) {
                if (!in.corpus && level != 6) continue;
                for (bool blocks : {false, true}) {
                    if (!in.corpus && blocks) continue;
                    std::string name = "zlib" + std::to_string(level) + (blocks ? "-64k/" : "/");
                    benchmark::RegisterBenchmark((name + in.name).c_str(), benchZlib, std::cref(in),
                                                 level, blocks)
                        ->Unit(benchmark::kMillisecond)
                        ->MinTime(level == 6 && !blocks ? minTime : 0.5);
                }
            }
            if (in.corpus)
                benchmark::RegisterBenchmark(("zstd3/" + in.name).c_str(), benchZstd, std::cref(in))
                    ->Unit(benchmark::kMillisecond);
        }
    }
    ~Registrar() {
        printSummary();
        if (!gResults.empty()) printBusyRun();
    }
} gRegistrar;

}  // namespace
