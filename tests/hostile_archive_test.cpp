// Archives forged record by record (hostile names, versions pointing anywhere, claimed sizes of
// gigabytes) give a message, write only into the target and stay small. Then records replayed.
#include "support/ArchiveCheck.h"
#include "support/ArchiveForge.h"
#include "support/CliRun.h"
#include "support/MemValues.h"
#include "support/RecordingPresenter.h"
#include "support/ScopedEnv.h"
#include "support/TestDir.h"

#include "archive/ops/Tresmo.h"
#include "archive/ops/TxnMeta.h"
#include "archive/support/cfg.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <sys/resource.h>

namespace fs = std::filesystem;

namespace {

using forge::ArchiveWriter;
using forge::number;
using forge::T0;

long peakRssKb() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

// Probes forged archives in w, with w/target prepared by a layout, and tallies what they gave.
class HostileArchive : public ::testing::Test {
  protected:
    TestDir w;
    int probed = 0, verifyFound = 0;
    check::Probe last;
    uint64_t maxBytes = 0;  // most bytes any case left in its target
    const long rssBefore = peakRssKb();

    void SetUp() override { w.write("outside/canary", "canary"); }
    // A path too long to write is skipped with a warning rather than refused.
    void runCase(const std::string& label, const std::function<void(ArchiveWriter&)>& build,
                 const std::function<void(const std::string&)>& layout = {}, bool mustRefuse = true,
                 bool replace = false) {
        SCOPED_TRACE(label);
        fs::remove(w / "a.trsm");
        fs::remove_all(w / "target");
        fs::create_directories(w / "target");
        ArchiveWriter a(w / "a.trsm");
        build(a);
        a.finish();  // closed: nothing of it is held while probed
        if (layout) layout(w / "target");
        w.write("env-HOME/canary", "canary");  // HOME and TMPDIR point into w, each with a canary
        w.write("env-TMPDIR/canary", "canary");
        ScopedEnv home("HOME", w / "env-HOME"), tmp("TMPDIR", w / "env-TMPDIR");
        const check::Probe& p = last = check::probe(w.path(), T0 + 100, replace);
        bool refused = !p.loaded || !p.exported || p.warnings;
        for (const auto& f : p.failed)
            refused |= !f.empty();
        ++probed;
        verifyFound += !p.clean;
        EXPECT_TRUE(refused || !mustRefuse) << "a hostile archive went through without a message";
        EXPECT_TRUE(p.errors || p.warnings || !refused);
        EXPECT_LT(p.seconds, 10.0) << "too slow";
        EXPECT_FALSE(p.outside) << "written outside the target";
        uint64_t bytes = 0;
        for (const auto& [path, data] : p.target)
            bytes += data.size();
        maxBytes = std::max(maxBytes, bytes);
    }
};

std::function<void(ArchiveWriter&)> folderWith(const std::string& name) {
    return [name](ArchiveWriter& a) {
        int32_t d = a.add(name, 0);
        a.folder(d);
        a.content(a.add("inner.txt", d), "inner");
    };
}

}  // namespace

TEST_F(HostileArchive, NamesOrLinksThatLeaveTheTargetAreRefusedAndATargetLinkIsFollowed) {
    const std::string names[] = {"..",
                                 "",
                                 "a/b",
                                 "a/../../../x",
                                 std::string("x\0y", 3),
                                 w / "outside/abs",
                                 std::string(300, 'n')};
    for (const std::string& name : names) {
        // The hostile name as a file, beside a harmless one, and as a folder holding a file.
        auto asFile = [&](ArchiveWriter& a) {
            int32_t f = a.add(name, 0);
            a.content(f, "hostile");
            a.content(a.add("ok.txt", 0, f), "fine");
        };
        runCase("file named '" + name + "'", asFile);
        runCase("folder named '" + name + "'", folderWith(name));
    }
    // A name claiming more bytes than the record holds: nothing is allocated for them.
    for (int32_t claimed : {250, 70000, 2000000000})
        runCase("name claiming " + std::to_string(claimed) + " bytes",
                [&](ArchiveWriter& a) { a.add("short", 0, -1, claimed); });
    EXPECT_LT(peakRssKb() - rssBefore, 64 * 1024);
    // Each name is short enough; together they make a path over 260 bytes.
    runCase("path of 3 x 100 bytes", [](ArchiveWriter& a) {
        int32_t d = 0;
        for (char c : {'a', 'b'})
            a.folder(d = a.add(std::string(100, c), d));
        a.content(a.add(std::string(100, 'c'), d), "deep");
    });
    // Links in the target, where the archive's root is exported as the folder "archive": at a
    // folder, or at the file to be written (to the canary, or dangling outside).
    const std::pair<const char*, const char*> links[] = {{"archive", "outside"},
                                                         {"archive/sub", "outside"},
                                                         {"archive/sub/f.txt", "outside/canary"},
                                                         {"archive/sub/f.txt", "outside/new.txt"}};
    for (auto [at, to] : links)
        runCase(std::string("link at ") + at, folderWith("sub"), [&](const std::string& tg) {
            fs::create_directories(fs::path(tg + "/" + at).parent_path());
            fs::create_symlink(w / to, tg + "/" + at);
        });
    // A target the user chose that is itself a link is resolved once, at the start.
    auto linkedTarget = [&](const std::string& tg) {
        fs::remove(tg);
        fs::create_directory(w / "target-real");
        fs::create_directory_symlink(w / "target-real", tg);
    };
    runCase("target that is a link", folderWith("sub"), linkedTarget, false);
    Tresmo tree;
    ASSERT_TRUE(check::load(tree, w / "a.trsm", T0 + 100));
    EXPECT_EQ(w.read("target-real/archive/sub/inner.txt"), "inner");
    EXPECT_EQ(tree.root()->firstChild->firstChild->versions->content()->mtime, 4000000000);
}

TEST_F(HostileArchive, VersionsPointingAnywhereAndClaimedSizesGiveMessagesNotGigabytes) {
    using Build = std::function<void(ArchiveWriter&, int32_t)>;
    auto full = [](uint32_t pos, int32_t stored, int32_t size) -> Build {
        return [=](ArchiveWriter& a, int32_t f) { a.file(f, pos, stored, size, 0); };
    };
    // A version claiming size bytes over a stored base: the base itself from skip bytes into
    // it, or a delta of the given commands over it.
    auto over = [](std::string base, std::string delta, int32_t size, uint32_t crc = 0,
                   uint32_t skip = 0) -> Build {
        return [=](ArchiveWriter& a, int32_t f) {
            auto [pos, stored] = a.item(stg::FILE_CONTENT, base);
            if (delta.empty()) return a.file(f, pos + skip, stored - int32_t(skip), size, crc);
            auto [diff, diffStored] = a.item(stg::FILE_DIFF, delta);
            a.file(f, pos, diffStored, size, crc, diff);
        };
    };
    const std::string ten = "0123456789";
    // Two blocks of a base are kept decoded in memory: the to and fro between two of them costs
    // nothing, a round over eight decodes a block per copy unless it is kept elsewhere.
    int32_t& cached = findSetting("Tresmo.baseCacheBlocks", Setting::INT, false)->_int;
    const std::unique_ptr<int32_t, void (*)(int32_t*)> restore(&cached,
                                                               [](int32_t* c) { *c = 256; });
    cached = 2;
    std::string thousandCopies, toAndFro, rounds;
    for (int i = 0; i < 5000; ++i)  // each copy straddles a block boundary of the base
        toAndFro += "B" + number(65535) + number(65537);
    for (int i = 0; i < 40000; ++i)
        rounds += "B" + number((i % 8) << 16) + number(((i % 8) << 16) + 1);
    for (int i = 0; i < 1000; ++i)
        thousandCopies += "B" + number(0) + number(1000000000);
    const std::pair<const char*, Build> cases[] = {
        {"content beyond the end of the file", full(0x7FFFFFF0, 20, 5)},
        {"content at the transaction link", full(StgFile::FILE_HEADER_LEN, 20, 5)},
        {"full content that is a delta item",
         [](ArchiveWriter& a, int32_t f) {
             auto [pos, stored] = a.item(stg::FILE_DIFF, "C");
             a.file(f, pos, stored, 0, 0);
         }},
        {"size of 2 GB over ten stored bytes", over(ten, "", 2000000000)},
        {"negative size", over(ten, "", -5)},
        {"delta copying 2 GB from a ten-byte base",
         over(ten, "B" + number(0) + number(2000000000) + "C", 1 << 30)},
        {"delta adding 2 GB of new bytes it does not hold",
         over(ten, "A" + number(2000000000) + "abc", 1 << 30)},
        {"delta of a thousand copies of 1 GB each", over(ten, thousandCopies + "C", 1 << 30)},
        {"delta seeking 2 GB into a ten-byte base",
         over(ten, "B" + number(2000000000) + number(2000000005) + "C", 5)},
        {"delta ending short of its size, with the CRC of what it made",
         over(ten, "B" + number(0) + number(5) + "C", 10, crc32::of("01234", 5))},
        {"delta copying 5000 times across a block boundary of a text base",
         over(check::words(1 << 17, 7), toAndFro + "C", 10000)},
        {"delta copying 40000 times round eight blocks",
         over(check::words(1 << 19, 7), rounds + "C", 40000)},
        {"delta whose base is a delta",
         [](ArchiveWriter& a, int32_t f) {
             auto [diff, stored] = a.item(stg::FILE_DIFF, "A" + number(3) + "abcC");
             a.file(f, diff, stored, 3, 0, diff);
         }},
        {"content pointing into the middle of an item",
         over(std::string(3000, 'm'), "", 3000, 0, 7)},
        {"delta beyond the end of the file",
         [](ArchiveWriter& a, int32_t f) {
             auto [base, baseStored] = a.item(stg::FILE_CONTENT, "0123456789");
             a.file(f, base, 20, 5, 0, 0x7FFFFFF0);
         }},
    };
    for (const auto& [label, build] : cases)
        runCase(label, [&](ArchiveWriter& a) { build(a, a.add("f.bin", 0)); });
    // Exported over an old copy, a version that fails its CRC leaves the old copy as it was.
    auto badCrc = [&](ArchiveWriter& a) { over(ten, "", 10, 12345)(a, a.add("f.bin", 0)); };
    auto oldCopy = [&](const std::string&) { w.write("target/archive/f.bin", "old"); };
    runCase("CRC that does not match, over an old copy", badCrc, oldCopy, true, true);
    const check::Snapshot kept{{"archive/f.bin", "old"}};
    EXPECT_EQ(last.target, kept);
    Tresmo a;  // the file alone, over an old file
    ASSERT_TRUE(check::load(a, w / "a.trsm", T0 + 100));
    a.selectFile(a.root()->firstChild, true);
    oldCopy("");
    RecordingPresenter quiet;
    EXPECT_FALSE(a.exportSelected(w / "target/archive", "", nullptr, true));
    EXPECT_EQ(check::folderSnapshot(w / "target"), kept);
    // Ten stored bytes never become more than a few kilobytes on disk or a few megabytes of
    // memory (the coder's tables), whatever a record claims.
    EXPECT_LT(maxBytes, 65536u);
    EXPECT_LT(peakRssKb() - rssBefore, 256 * 1024);
    // verify names each: a version that cannot be restored, or records that do not replay.
    EXPECT_EQ(verifyFound, probed);
}

// File metadata that cannot apply: an entry that is not fine is ignored and named (archive,
// transaction, path) while the item's other entries still apply; an item whose values do not
// frame entries is refused whole and named. Contents stay readable either way, and the bits
// never move what export writes.
TEST_F(HostileArchive, FileMetadataThatCannotApplyIsNamedAndContentsStayReadable) {
    using Kind = MetaEntry::Kind;
    auto entry = [](const std::string& path, int kind, int32_t mode) {
        return number(static_cast<int32_t>(path.size())) + path + char(kind) + number(mode);
    };
    // Every item ends with the control entry, which applies unless the item is refused whole.
    const std::string control = entry("d/inner", Kind::FILE, 0600);
    struct Case {
        std::string entries;  // before the control entry
        int count;            // entries the item claims, the control entry included
        int code;
        const char* named;  // in the message
        std::string after = "";
    };
    const Case cases[] = {
        {entry("../x", Kind::FILE, 0777), 2, 2056, "for ../x is ignored (a path with"},
        {entry("/abs/x", Kind::FILE, 0777), 2, 2056, "for /abs/x is ignored (an absolute"},
        {entry("d//inner", Kind::FILE, 0777), 2, 2056, "for d//inner is ignored"},
        {entry(std::string("a\0\n", 3), Kind::FILE, 0777), 2, 2056, "for a?? is ignored"},
        {entry("run.sh", Kind::FILE, 0755) + entry("run.sh", Kind::FILE, 0777), 3, 2056,
         "for run.sh is ignored (a path listed twice)"},
        {entry("d", Kind::LINK, 0777), 2, 2056, "for d is ignored (a kind the stored"},
        {entry("d", Kind::FILE, 0777), 2, 2056, "for d is ignored (a kind the stored"},
        {entry("run.sh", Kind::FOLDER, 0700), 2, 2056, "for run.sh is ignored (a kind"},
        {entry("run.sh/x", Kind::FILE, 0777), 2, 2056, "for run.sh/x is ignored (a path below"},
        {entry("run.sh", 9, 0777), 2, 2056, "(an unknown kind)"},
        {entry("run.sh", Kind::FILE, 010000), 2, 2056, "(a mode out of range)"},
        {number(4096) + std::string(4096, 'x') + char(2) + number(0), 2, 2054,
         "transaction 1 is refused (Invalid file metadata - a path length out of range)"},
        {number(9) + "run.sh", 2, 2054, "transaction 1 is refused"},
        {"", 1, 2054, "(Invalid file metadata - bytes after the last entry)", "x"},
        {"", -1, 2054, "(Invalid file metadata - a negative count)"},
    };
    for (const Case& c : cases) {
        auto build = [&](ArchiveWriter& a) {
            a.item(stg::TXN_META, number(c.count) + c.entries + control + c.after);
            int32_t d = a.add("d", 0), run = a.add("run.sh", 0, d);
            a.content(run, "echo");
            a.folder(d);
            a.content(a.add("inner", d), "inner");
        };
        runCase(c.named, build);
        ASSERT_FALSE(last.said.empty());
        const Msg& m = last.said[0];
        EXPECT_EQ(m.code, c.code);
        EXPECT_NE(m.text.find("Archive " + (w / "a.trsm")), std::string::npos) << m.text;
        EXPECT_NE(m.text.find(c.named), std::string::npos) << m.text;
        const check::Snapshot all{{"archive/d/inner", "inner"}, {"archive/run.sh", "echo"}};
        EXPECT_EQ(last.target, all);
        EXPECT_TRUE(last.clean);
        auto mode = [&](const char* p) { return int(fs::status(w / p).permissions()); };
        EXPECT_EQ(mode("target/archive/d/inner"), c.code == 2056 ? 0600 : 0644);
        EXPECT_EQ(mode("target/archive/run.sh"), 0644);
        EXPECT_EQ(mode("target/archive/d"), 0755);
    }
    // A hundred thousand wrong entries cost a line each for the first twenty, a count for the rest.
    std::string many;
    for (int i = 0; i < 100000; ++i)
        many += entry("run.sh/" + std::to_string(i % 10), Kind::FILE, 0700);
    runCase("100000 entries below a file", [&](ArchiveWriter& a) {
        a.item(stg::TXN_META, number(100000) + many);
        a.content(a.add("run.sh", 0), "echo");
    });
    ASSERT_EQ(last.said.size(), 21u);
    EXPECT_EQ(last.said[20].code, 2057);
    EXPECT_NE(last.said[20].text.find(": 99980 more"), std::string::npos) << last.said[20].text;
}

#ifdef TRESMO_CLI_PATH
// Shapes that overflowed a command's stack or took gigabytes, scaled down: each command runs
// with 256 KiB of stack and gives its answer, in memory that does not grow with the product
// of depth and width nor with the length of its listing. cat, open and diff stream a version:
// 32 MiB made by a delta over 1 MiB never sits in memory whole, and a CRC found wrong after
// the bytes went out fails, naming the file.
TEST_F(HostileArchive, TreeShapesKeepEveryCommandWithinStackAndMemory) {
    CliRun cli{TRESMO_TOOL_peak_rss, w.path()};
    cli.env = {{"TRESMO_CONFIG_DIR", w / "conf"}, {"PEAK_RSS_FILE", w / "peak"}};
    w.write("watched/big.bin", "the file diff compares with");
    fs::create_directories(w / "out");
    ASSERT_EQ(cli.run({TRESMO_CLI_PATH, "init", w / "watched", w / "a.trsm"}).code, 0);
    struct Run {
        std::vector<std::string> args;  // "A" stands for the archive
        int code;
        const char* says;  // in what it wrote
    };
    using Build = std::function<void(ArchiveWriter&)>;
    const std::pair<Build, std::vector<Run>> cases[] = {
        {forge::rootFile,
         {{{"ls", "-r", "A"}, 1, "empty"},
          {{"export", "A", w / "out"}, 1, "empty"},
          {{"cat", "A", "."}, 1, "empty"},
          {{"verify", "A"}, 1, "Error 2043"}}},
        {forge::fileParent,
         {{{"history", "A", "f"}, 0, "2038"}, {{"verify", "A", "--json"}, 1, "2044"}}},
        {[](ArchiveWriter& a) { forge::deepChain(a, 4000); },
         {{{"ls", "-r", "A"}, 0, "d/d/d/d"},
          {{"log", "A"}, 0, "   1  "},
          {{"status", "A"}, 0, "D  d/ (0 files)\n"},
          {{"verify", "A"}, 0, "OK: 1 transaction,"}}},
        {[](ArchiveWriter& a) { forge::deepChain(a, 20000); }, {{{"log", "A"}, 0, "   1  "}}},
        {[](ArchiveWriter& a) { forge::deepAndWide(a, 3000, 2); },
         {{{"verify", "A"}, 0, "6000 versions"},
          {{"ls", "-r", "A"}, 0, "z/z/z/f1"},
          {{"status", "A"}, 0, "D  z/ (5998 files)\n"}}},
        {[](ArchiveWriter& a) { forge::manyTransactions(a, 40000); },
         {{{"log", "--json", "A"}, 0, "\"number\":40000"}}},
        {[](ArchiveWriter& a) {
             std::string copies;
             for (int i = 0; i < 32; ++i)
                 copies += "B" + number(0) + number(1 << 20);
             auto [pos, stored] = a.item(stg::FILE_CONTENT, std::string(1 << 20, 'z'));
             auto [diff, diffStored] = a.item(stg::FILE_DIFF, copies + "C");
             a.file(a.add("big.bin", 0), pos, diffStored, 32 << 20, 0, diff);
         },
         {{{"cat", "A", "big.bin"}, 1, "Error 2028: Export of file big.bin failed"},
          {{"open", "A", "big.bin", "--at=1"}, 1, "Error 2028: Export of file big.bin failed"},
          {{"diff", "A", "big.bin", "-q"}, 1, "Error 2028: Export of file big.bin failed"}}},
        {[](ArchiveWriter& a) { forge::wideFolder(a, 40000); },
         {{{"ls", "-r", "--json", "A"}, 0, "\"path\":\"f39999\""}}},
    };
    for (const auto& [build, runs] : cases) {
        fs::remove(w / "a.trsm");
        ArchiveWriter a(w / "a.trsm");
        build(a);
        a.finish();
        for (const Run& r : runs) {
            std::vector<std::string> args = r.args;
            for (std::string& x : args)
                if (x == "A") x = w / "a.trsm";
            SCOPED_TRACE(args[0] + " " + args[1]);
            args.insert(args.begin(), TRESMO_CLI_PATH);
            struct rlimit stack, small;
            getrlimit(RLIMIT_STACK, &stack);
            small = {256 * 1024, stack.rlim_max};
            setrlimit(RLIMIT_STACK, &small);
            pid_t pid = cli.start(args);
            setrlimit(RLIMIT_STACK, &stack);
            CliResult got = cli.finish(pid);
            EXPECT_EQ(got.code, r.code);
            EXPECT_NE((got.out + got.err).find(r.says), std::string::npos)
                << got.err.substr(0, 300);
#if !defined(__SANITIZE_ADDRESS__)  // its shadow memory and quarantine swamp the figure
            EXPECT_LT(std::stol(w.read("peak")), 24 * 1024);
#endif
        }
    }
}
#endif

TEST(RecordReplay, EveryRecordIsChecked) {
    auto txn = [](uint32_t t) {
        return "A" + std::string{char(t), char(t >> 8), char(t >> 16), char(t >> 24)};
    };
    const std::string root = txn(100) + "C";
    // A child of len bytes of name under parent, first ('D') or after a sibling ('E').
    auto child = [](int32_t len, int32_t parent, int32_t after = -1) {
        std::string r = (after < 0 ? "D" : "E") + number(len) + std::string(len, 'n');
        return r + number(parent) + (after < 0 ? "" : number(after));
    };
    // A full version of the node: position, stored size, size, time and CRC all zero.
    auto full = [](int32_t id) {
        return "G" + number(id) + std::string(4, 0) + number(0) + number(0) + std::string(8, 0);
    };
    struct Case {
        std::string records;
        int code;
        int64_t now = 2000000000;
    };
    const Case cases[] = {
        {txn(100) + txn(100), 2000},
        {txn(100) + txn(99), 2000},
        {txn(500), 0, 500},  // a clock behind the history: read, now moves past it
        {txn(499), 0, 500},
        {root + child(259, 0), 0},
        {root + child(260, 0), 2002},
        {root + "D" + number(-1), 2002},
        {root + child(1, 1), 2003},
        {root + child(1, 0, 5), 2004},
        {root + child(1, 0) + child(1, 1) + child(2, 0, 2), 2005},  // sibling in another folder
        {"CF" + number(0), 2006},
        {root + "G" + number(1), 2007},
        {"CI" + number(0), 2008},
        {root + "I" + number(3), 2009},
        {root + "B", 2010},
        {root + "J", 2010},
        {root + "F", 4202},  // the stream ends inside a record: the reader fails
        {root + full(0), 2043},
        // Stored beneath a file in a later transaction, directly or beneath a folder there.
        {root + child(1, 0) + full(1) + txn(101) + child(1, 1) + "F" + number(2), 2044},
        {root + child(1, 0) + "F" + number(1) + child(1, 1) + "F" + number(2) + txn(101) + full(1) +
             txn(102) + "I" + number(2),
         2044},
        // A folder replaced by a file: what it held goes first, in the same transaction.
        {root + child(1, 0) + "F" + number(1) + child(1, 1) + "F" + number(2) + txn(101) + "I" +
             number(2) + full(1),
         0},
    };
    for (const Case& c : cases) {
        TresmoData tree;
        tree.setNow(c.now);
        tree.setName("proj");
        std::vector<uint8_t> bytes(c.records.begin(), c.records.end());
        MemValueReader in(bytes);
        EXPECT_EQ(codeOf([&] { RecordReplay(tree).run(in); }), c.code) << "case " << &c - cases;
    }
}
