// Archives written by hand, not by a save: names that would lead an export out of its target,
// names the scan could never produce, versions that point outside the file or at the wrong kind
// of item, and sizes that claim gigabytes. Loading, restoring and exporting each give a message,
// write nothing outside the target (canary listing before and after) and never produce more
// bytes than the stored data holds. Below them, record streams replayed from memory: every
// record is checked, and a history written by the record writer replays into the same tree.
#include "support/ArchiveCheck.h"
#include "support/MemValues.h"
#include "support/RecordingPresenter.h"
#include "support/TestDir.h"
#include "support/TreeDump.h"

#include "archive/delta/DeltaFormat.h"
#include "archive/ops/RecordStream.h"
#include "archive/ops/Tresmo.h"
#include "archive/ops/Verify.h"
#include "archive/storage/Crc32.h"
#include "archive/storage/StgFile.h"
#include "archive/storage/StgItem.h"
#include "archive/storage/StgWriter.h"
#include "archive/support/NumberFormat.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <sys/resource.h>

namespace fs = std::filesystem;

namespace {

constexpr int64_t T0 = 1600000000;

// One transaction built record by record: the root folder and the entries given.
class ArchiveWriter {
  public:
    explicit ArchiveWriter(const std::string& path)
        : _file(path, 20, 10), _rec(nullptr, stg::TXN_SEQUENCE) {
        _file.open();
        _rec.begin();
        _rec.writeByte(record::BEGIN_TXN);
        _rec.writeWord(static_cast<uint32_t>(T0));
        _rec.writeByte(record::ADD_ROOT);
        _rec.writeByte(record::UPD_FOLDER);
        _rec.writeNumber(0);
    }
    // A stored item of the type with these bytes; returns its position and stored size.
    std::pair<uint32_t, int32_t> item(uint32_t type, const std::string& data) {
        StgWriter w(&_file, type);
        w.begin();
        w.writeBytes(
            std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data.data()), data.size()));
        w.finish();
        return {static_cast<uint32_t>(w.itemStart()),
                static_cast<int32_t>(w.itemEnd() - w.itemStart())};
    }
    // Adds a child of parent (0: the root) after the previous child; returns its id.
    int32_t add(const std::string& name, int32_t parent, int32_t after = -1,
                int32_t claimedLen = -1) {
        _rec.writeByte(after < 0 ? record::ADD_FIRST : record::ADD_AFTER);
        _rec.writeNumber(claimedLen >= 0 ? claimedLen : static_cast<int32_t>(name.size()));
        for (char c : name)
            _rec.writeByte(static_cast<uint8_t>(c));
        _rec.writeNumber(parent);
        if (after >= 0) _rec.writeNumber(after);
        return ++_ids;
    }
    void folder(int32_t id) {
        _rec.writeByte(record::UPD_FOLDER);
        _rec.writeNumber(id);
    }
    void file(int32_t id, uint32_t pos, int32_t stored, int32_t size, uint32_t crc,
              uint32_t diffPos = 0) {
        _rec.writeByte(diffPos ? record::UPD_DELTA : record::UPD_FULL);
        _rec.writeNumber(id);
        _rec.writeWord(pos);
        if (diffPos) _rec.writeWord(diffPos);
        _rec.writeNumber(stored);
        _rec.writeNumber(size);
        _rec.writeWord(static_cast<uint32_t>(T0 - 10));
        _rec.writeWord(crc);
    }
    // A full version of data for the entry.
    void content(int32_t id, const std::string& data) {
        auto [pos, stored] = item(stg::FILE_CONTENT, data);
        file(id, pos, stored, static_cast<int32_t>(data.size()),
             crc32::finalize(crc32::update(crc32::init(), data.data(), data.size())));
    }
    void finish() {
        _rec.finish();
        _rec.writeTo(_file);
        _file.commit();
        _file.close();
    }

  private:
    StgFile _file;
    StgWriter _rec;
    int32_t _ids = 0;
};

// Points HOME and TMPDIR into W (each with a canary) for its lifetime.
class EnvInside {
  public:
    explicit EnvInside(TestDir& w) {
        for (const char* name : {"HOME", "TMPDIR"}) {
            const char* old = std::getenv(name);
            _saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
            std::string dir = w / (std::string("env-") + name);
            fs::create_directories(dir);
            check::writeBytes(dir + "/canary", "canary");
            setenv(name, dir.c_str(), 1);
        }
    }
    ~EnvInside() {
        for (const auto& [name, old] : _saved) {
            if (old)
                setenv(name, old->c_str(), 1);
            else
                unsetenv(name);
        }
    }
    EnvInside(const EnvInside&) = delete;
    EnvInside& operator=(const EnvInside&) = delete;

  private:
    std::vector<std::pair<const char*, std::optional<std::string>>> _saved;
};

struct Tally {
    int cases = 0;
    int refused = 0;        // load, restore or export reported a message
    int outside = 0;        // differences outside the target: goal 0
    int verifyFound = 0;    // verify named a damaged transaction or version
    uint64_t maxBytes = 0;  // most bytes any case left in its target
    double maxSeconds = 0;
};

// Loads the archive, restores every version in memory and exports the root into W/target
// (prepared by layout), then compares W outside the target with its listing before.
void runCase(const std::string& label, TestDir& w, const std::function<void(ArchiveWriter&)>& build,
             const std::function<void(const std::string&)>& layout, Tally& t,
             bool mustRefuse = true) {
    SCOPED_TRACE(label);
    const std::string archive = w / "a.trsm";
    fs::remove(archive);
    fs::remove_all(w / "target");
    fs::create_directories(w / "target");
    {
        ArchiveWriter a(archive);
        build(a);
        a.finish();
    }
    layout(w / "target");
    // The home and temporary folders hold canaries too, inside W so the listing sees them.
    EnvInside env(w);
    auto outsideBefore = check::listing(w.path());
    auto start = std::chrono::steady_clock::now();
    RecordingPresenter shown;
    Tresmo tree;
    bool refused = !check::load(tree, archive, T0 + 100);
    if (tree.root()) {
        std::vector<std::string> failed;
        check::stateAt(tree, T0, failed);
        refused |= !failed.empty();
        tree.selectFolder(tree.root());
        refused |= !tree.exportSelected(w / "target");
    }
    // verify reads the same archive without changing it.
    const std::string bytes0 = check::fileBytes(archive);
    Tresmo v;
    v.setPath(archive);
    VerifyReport report;
    v.verify(nullptr, report);
    if (!report.clean()) ++t.verifyFound;
    EXPECT_EQ(check::fileBytes(archive), bytes0);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ++t.cases;
    // A path too long to write is skipped with a warning rather than refused.
    refused |= !shown.warnings.empty();
    if (refused) ++t.refused;
    if (mustRefuse) {
        EXPECT_TRUE(refused) << "a hostile archive went through without a message";
    }
    EXPECT_TRUE(!shown.errors.empty() || !shown.warnings.empty() || !refused);
    EXPECT_LT(secs, 10.0) << "too slow";
    auto outsideAfter = check::listing(w.path());
    uint64_t bytes = 0;
    for (auto it = outsideAfter.begin(); it != outsideAfter.end();) {
        if (it->first.rfind("target", 0) == 0) {  // "target" and "target-real" (a layout)
            if (it->second.rfind("file ", 0) == 0) bytes += it->second.size() - 5;
            it = outsideAfter.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = outsideBefore.begin(); it != outsideBefore.end();)
        it = it->first.rfind("target", 0) == 0 ? outsideBefore.erase(it) : std::next(it);
    if (outsideAfter != outsideBefore) ++t.outside;
    EXPECT_EQ(outsideAfter, outsideBefore) << "written outside the target";
    t.maxBytes = std::max(t.maxBytes, bytes);
    t.maxSeconds = std::max(t.maxSeconds, secs);
}

std::string number(int32_t n) {
    uint8_t buf[5];
    size_t len = encodeNumber(n, buf);
    return std::string(reinterpret_cast<const char*>(buf), len);
}

long peakRssKb() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

}  // namespace

TEST(HostileArchive, NamesThatLeaveTheTargetOrCannotExistAreRefusedAndNothingLeaves) {
    TestDir w;
    w.write("outside/canary", "canary");
    Tally t;
    auto noLayout = [](const std::string&) {};
    const std::string names[] = {"..",
                                 ".",
                                 "",
                                 "a/b",
                                 "../x",
                                 "../../x",
                                 "a/../../../x",
                                 std::string("x\0y", 3),
                                 std::string("\0", 1),
                                 "x/",
                                 w / "outside/abs",
                                 std::string(300, 'n')};
    for (const std::string& name : names) {
        // The hostile name as a file, beside a harmless one, and as a folder holding a file.
        runCase(
            "file named '" + name + "'", w,
            [&](ArchiveWriter& a) {
                int32_t f = a.add(name, 0);
                a.content(f, "hostile");
                int32_t ok = a.add("ok.txt", 0, f);
                a.content(ok, "fine");
            },
            noLayout, t);
        runCase(
            "folder named '" + name + "'", w,
            [&](ArchiveWriter& a) {
                int32_t d = a.add(name, 0);
                a.folder(d);
                int32_t f = a.add("inner.txt", d);
                a.content(f, "inner");
            },
            noLayout, t);
    }
    // A name claiming more bytes than the record holds, up to gigabytes: nothing may be
    // allocated for what the record does not hold.
    const long rssBefore = peakRssKb();
    for (int32_t claimed : {250, 70000, 2000000000}) {
        runCase(
            "name claiming " + std::to_string(claimed) + " bytes", w,
            [&](ArchiveWriter& a) { a.add("short", 0, -1, claimed); }, noLayout, t);
    }
    EXPECT_LT(peakRssKb() - rssBefore, 64 * 1024);
    // Each name is short enough; together they make a path over 260 bytes.
    runCase(
        "path of 3 x 100 bytes", w,
        [&](ArchiveWriter& a) {
            int32_t d1 = a.add(std::string(100, 'a'), 0);
            a.folder(d1);
            int32_t d2 = a.add(std::string(100, 'b'), d1);
            a.folder(d2);
            int32_t f = a.add(std::string(100, 'c'), d2);
            a.content(f, "deep");
        },
        noLayout, t);
    // Two entries of one name in one folder (a tree the scan never makes): the load takes the
    // records as they come, so the second may be written over the first, but only there.
    runCase(
        "one name twice", w,
        [&](ArchiveWriter& a) {
            int32_t f = a.add("twice", 0);
            a.content(f, "first");
            int32_t g = a.add("twice", 0, f);
            a.content(g, "second");
        },
        noLayout, t, false);
    std::printf(
        "[hostile] names: %d cases, %d refused with a message, %d wrote outside the "
        "target, at most %llu bytes exported, slowest %.2f s\n",
        t.cases, t.refused, t.outside, static_cast<unsigned long long>(t.maxBytes), t.maxSeconds);
    EXPECT_EQ(t.outside, 0);
}

TEST(HostileArchive, SymbolicLinksInTheTargetAreNeverWrittenThrough) {
    TestDir w;
    w.write("outside/canary", "canary");
    Tally t;
    auto twoFiles = [](ArchiveWriter& a) {
        int32_t d = a.add("sub", 0);
        a.folder(d);
        int32_t f = a.add("f.txt", d);
        a.content(f, "exported");
    };
    // The archive's root is exported as the folder "archive" in the target.
    const std::function<void(const std::string&)> layouts[] = {
        [&](const std::string& tg) {
            fs::create_directory_symlink(w / "outside", tg + "/archive");
        },
        [&](const std::string& tg) {
            fs::create_directories(tg + "/archive");
            fs::create_directory_symlink(w / "outside", tg + "/archive/sub");
        },
        [&](const std::string& tg) { fs::create_symlink(w / "outside/nowhere", tg + "/archive"); },
        // A file where one is to be written is a link to the canary, or dangles outside.
        [&](const std::string& tg) {
            fs::create_directories(tg + "/archive/sub");
            fs::create_symlink(w / "outside/canary", tg + "/archive/sub/f.txt");
        },
        [&](const std::string& tg) {
            fs::create_directories(tg + "/archive/sub");
            fs::create_symlink(w / "outside/new.txt", tg + "/archive/sub/f.txt");
        },
        // A relative link climbing out of the target.
        [&](const std::string& tg) {
            fs::create_directories(tg + "/archive");
            fs::create_directory_symlink("../../outside", tg + "/archive/sub");
        },
    };
    int i = 0;
    for (auto& layout : layouts)
        runCase("link layout " + std::to_string(++i), w, twoFiles, layout, t);
    std::printf("[hostile] links in the target: %d layouts, %d wrote outside the target\n", t.cases,
                t.outside);
    EXPECT_EQ(t.outside, 0);
}

TEST(HostileArchive, ATargetThatIsALinkIsFollowedOnceAndNothingLeavesItsDestination) {
    // The user chose a link as the target: allowed, resolved at the start. Its destination
    // ("target-real") counts as the target.
    TestDir w;
    w.write("outside/canary", "canary");
    const std::string archive = w / "a.trsm";
    {
        ArchiveWriter a(archive);
        int32_t d = a.add("sub", 0);
        a.folder(d);
        int32_t f = a.add("f.txt", d);
        a.content(f, "exported");
        a.finish();
    }
    fs::create_directory(w / "target-real");
    fs::create_directory_symlink(w / "target-real", w / "target");
    auto before = check::listing(w.path());
    RecordingPresenter shown;
    Tresmo tree;
    ASSERT_TRUE(check::load(tree, archive, T0 + 100));
    tree.selectFolder(tree.root());
    ASSERT_TRUE(tree.exportSelected(w / "target"));
    auto after = check::listing(w.path());
    EXPECT_EQ(after["target-real/archive/sub/f.txt"], "file exported");
    for (auto* l : {&before, &after})
        for (auto it = l->begin(); it != l->end();)
            it = it->first.rfind("target-real/", 0) == 0 ? l->erase(it) : std::next(it);
    EXPECT_EQ(after, before);
    std::printf("[hostile] target that is a link: 1 case, %d wrote outside its destination\n",
                after == before ? 0 : 1);
}

TEST(HostileArchive, VersionsPointingAnywhereAndClaimedSizesGiveMessagesNotGigabytes) {
    TestDir w;
    w.write("outside/canary", "canary");
    Tally t;
    auto noLayout = [](const std::string&) {};
    const long rssBefore = peakRssKb();
    struct Case {
        const char* label;
        std::function<void(ArchiveWriter&, int32_t)> build;
    };
    std::string thousandCopies;
    for (int i = 0; i < 1000; ++i)
        thousandCopies += "B" + number(0) + number(1000000000);
    thousandCopies += "C";
    // A delta of the given commands over a ten-byte base, for a file that claims size bytes.
    auto overTenBytes = [](std::string delta, int32_t size) {
        return [delta, size](ArchiveWriter& a, int32_t f) {
            auto [base, baseStored] = a.item(stg::FILE_CONTENT, "0123456789");
            auto [diff, stored] = a.item(stg::FILE_DIFF, delta);
            a.file(f, base, stored, size, 0, diff);
        };
    };
    const Case cases[] = {
        {"content beyond the end of the file",
         [](ArchiveWriter& a, int32_t f) { a.file(f, 0x7FFFFFF0, 20, 5, 0); }},
        {"content at the file header", [](ArchiveWriter& a, int32_t f) { a.file(f, 3, 20, 5, 0); }},
        {"content pointing at the transaction link",
         [](ArchiveWriter& a, int32_t f) { a.file(f, StgFile::FILE_HEADER_LEN, 20, 5, 0); }},
        {"full content that is a delta item",
         [](ArchiveWriter& a, int32_t f) {
             auto [pos, stored] = a.item(stg::FILE_DIFF, "C");
             a.file(f, pos, stored, 0, 0);
         }},
        {"size of 2 GB over ten stored bytes",
         [](ArchiveWriter& a, int32_t f) {
             auto [pos, stored] = a.item(stg::FILE_CONTENT, "0123456789");
             a.file(f, pos, stored, 2000000000, 0);
         }},
        {"delta copying 2 GB from a ten-byte base",
         overTenBytes("B" + number(0) + number(2000000000) + "C", 2000000000)},
        {"delta adding 2 GB of new bytes it does not hold",
         overTenBytes("A" + number(2000000000) + "abc", 2000000000)},
        {"delta whose base is a delta",
         [](ArchiveWriter& a, int32_t f) {
             auto [diff, stored] = a.item(stg::FILE_DIFF, "A" + number(3) + "abcC");
             a.file(f, diff, stored, 3, 0, diff);
         }},
        {"content that is the record stream",
         [](ArchiveWriter& a, int32_t f) {
             // The transaction's own record stream begins after the link at the header.
             a.file(f, StgFile::FILE_HEADER_LEN + StgFile::LINK_LEN, 20, 5, 0);
         }},
        {"content pointing into the middle of an item",
         [](ArchiveWriter& a, int32_t f) {
             auto [pos, stored] = a.item(stg::FILE_CONTENT, std::string(3000, 'm'));
             a.file(f, pos + 7, stored - 7, 3000, 0);
         }},
        {"delta whose base is beyond the end of the file",
         [](ArchiveWriter& a, int32_t f) {
             auto [diff, stored] = a.item(stg::FILE_DIFF, "B" + number(0) + number(5) + "C");
             a.file(f, 0x7FFFFFF0, stored, 5, 0, diff);
         }},
        {"delta beyond the end of the file",
         [](ArchiveWriter& a, int32_t f) {
             auto [base, baseStored] = a.item(stg::FILE_CONTENT, "0123456789");
             a.file(f, base, 20, 5, 0, 0x7FFFFFF0);
         }},
        {"delta that is a content item",
         [](ArchiveWriter& a, int32_t f) {
             auto [base, baseStored] = a.item(stg::FILE_CONTENT, "0123456789");
             auto [other, otherStored] = a.item(stg::FILE_CONTENT, "A" + number(3) + "xyzC");
             a.file(f, base, otherStored, 3, 0, other);
         }},
        {"delta of a thousand copies of 1 GB each", overTenBytes(thousandCopies, 2000000000)},
        {"delta seeking 2 GB into a ten-byte base",
         overTenBytes("B" + number(2000000000) + number(2000000005) + "C", 5)},
        {"negative size",
         [](ArchiveWriter& a, int32_t f) {
             auto [pos, stored] = a.item(stg::FILE_CONTENT, "0123456789");
             a.file(f, pos, stored, -5, 0);
         }},
    };
    for (const Case& c : cases) {
        runCase(
            c.label, w,
            [&](ArchiveWriter& a) {
                int32_t f = a.add("f.bin", 0);
                c.build(a, f);
            },
            noLayout, t);
    }
    const long grown = peakRssKb() - rssBefore;
    std::printf(
        "[hostile] versions: %d cases, %d refused with a message, %d wrote outside the "
        "target, at most %llu bytes exported, slowest %.2f s, peak memory grew %ld KiB\n",
        t.cases, t.refused, t.outside, static_cast<unsigned long long>(t.maxBytes), t.maxSeconds,
        grown);
    EXPECT_EQ(t.outside, 0);
    // Ten stored bytes can never become more than a few kilobytes on disk or a few megabytes
    // of memory (the coder's tables), whatever a record claims.
    EXPECT_LT(t.maxBytes, 65536u);
    EXPECT_LT(grown, 256 * 1024);
    // verify names each: a version that cannot be restored, or (the negative size) a
    // transaction whose records do not replay.
    EXPECT_EQ(t.verifyFound, t.cases);
}

namespace {

void prepare(TresmoData& t, int64_t now = 2000000000) {
    t.setNow(now);
    t.setName("proj");
}

// Writes a history through the record writer while applying it to a tree, the way a commit
// does, and returns the records.
struct History {
    TresmoData tree;
    MemValueWriter out;
    RecordWriter<MemValueWriter> rec{tree, out};

    History() { prepare(tree); }
    void begin(int64_t time) {
        tree.beginTxn(time);
        rec.beginTxn(time);
    }
    Node* add(Node* parent, const char* name, NodeKind kind, int32_t size = 0) {
        Node* after = nullptr;
        Node* n;
        if (!parent) {
            n = tree.addNode(name, nullptr, nullptr);
        } else {
            tree.findChild(name, parent, after);
            n = tree.addNode(name, parent, after);
        }
        rec.addNode(n, after);
        update(n, kind, size);
        return n;
    }
    void update(Node* n, NodeKind kind, int32_t size = 0) {
        if (kind == NodeKind::Folder) {
            tree.updNode(n, kind, nullptr);
            rec.updFolder(n);
        } else {
            ContentInfo c;
            c.size = size;
            c.pos = size ? 100u + static_cast<uint32_t>(size) : 0;
            c.diffPos = size > 1000 ? 7 : 0;
            c.mtime = 4000000000LL;  // beyond 2038: stored as an unsigned word
            c.crc = 0xDEADBEEF;
            tree.updNode(n, kind, &c);
            rec.updFile(n, c);
        }
    }
    void remove(Node* n) {
        tree.delSubtree(n);
        rec.delSubtree(n);
    }
};

TEST(RecordReplay, ReplayedHistoryEqualsTheTreeAfterEachCommit) {
    History h;
    h.begin(1000);
    Node* root = h.add(nullptr, "", NodeKind::Folder);
    Node* f = h.add(root, "f", NodeKind::Folder);
    h.add(f, "x", NodeKind::File, 10);
    Node* b = h.add(root, "b.txt", NodeKind::File, 2000);
    h.add(root, "A", NodeKind::File, 3);
    h.begin(2000);
    h.remove(f);
    h.update(b, NodeKind::File, 5);
    h.begin(3000);
    h.update(f, NodeKind::File, 1);  // a folder's name comes back as a file: same node
    Node* z = h.add(root, "z", NodeKind::Folder);
    h.add(z, std::string(259, 'n').c_str(), NodeKind::File, 0);

    TresmoData replayed;
    prepare(replayed);
    MemValueReader in(h.out.bytes);
    RecordReplay(replayed).run(in);
    EXPECT_EQ(dumpTree(replayed), dumpTree(h.tree));
    // f gets one folder version in the first transaction, though x's version propagates to it.
    const std::string dump = dumpTree(replayed);
    EXPECT_NE(dump.find("node 1 File f\n  v txn 1 Folder\n  v txn 2 Absent\n  v txn 3 File"),
              std::string::npos)
        << dump;
    EXPECT_NE(dump.find("mtime=4000000000"), std::string::npos);
}

int replayCode(const std::vector<uint8_t>& bytes, TresmoData& t) {
    MemValueReader in(bytes);
    try {
        RecordReplay(t).run(in);
    } catch (const Error& e) {
        return e.code;
    }
    return 0;
}

int replayCode(const std::vector<uint8_t>& bytes, int64_t now = 2000000000) {
    TresmoData t;
    prepare(t, now);
    return replayCode(bytes, t);
}

TEST(RecordReplay, EveryRecordIsChecked) {
    auto stream = [](auto build) {
        MemValueWriter w;
        build(w);
        return w.bytes;
    };
    auto txn = [](MemValueWriter& w, uint32_t time) {
        w.writeByte('A');
        w.writeWord(time);
    };
    auto addChild = [](MemValueWriter& w, size_t len, int32_t parent, int32_t after = -2) {
        w.writeByte(after == -2 ? 'D' : 'E');
        w.writeNumber(static_cast<int32_t>(len));
        for (size_t i = 0; i < len; ++i)
            w.writeByte('n');
        w.writeNumber(parent);
        if (after != -2) w.writeNumber(after);
    };
    auto rootAnd = [&](auto more) {
        return stream([&](MemValueWriter& w) {
            txn(w, 100);
            w.writeByte('C');
            more(w);
        });
    };
    EXPECT_EQ(replayCode(stream([&](auto& w) { txn(w, 100), txn(w, 100); })), 2000);
    EXPECT_EQ(replayCode(stream([&](auto& w) { txn(w, 100), txn(w, 99); })), 2000);
    EXPECT_EQ(replayCode(stream([&](auto& w) { txn(w, 500); }), 500), 2001);
    EXPECT_EQ(replayCode(stream([&](auto& w) { txn(w, 499); }), 500), 0);
    EXPECT_EQ(replayCode(rootAnd([&](auto& w) { addChild(w, 259, 0); })), 0);
    EXPECT_EQ(replayCode(rootAnd([&](auto& w) { addChild(w, 260, 0); })), 2002);
    EXPECT_EQ(replayCode(rootAnd([&](auto& w) {
                  w.writeByte('D');
                  w.writeNumber(-1);
              })),
              2002);
    EXPECT_EQ(replayCode(rootAnd([&](auto& w) { addChild(w, 1, 1); })), 2003);
    EXPECT_EQ(replayCode(rootAnd([&](auto& w) { addChild(w, 1, 0, 5); })), 2004);
    // 'E' whose after node is a child of another folder.
    EXPECT_EQ(replayCode(rootAnd([&](auto& w) {
                  addChild(w, 1, 0);     // id 1 under the root
                  addChild(w, 1, 1);     // id 2 under 1
                  addChild(w, 2, 0, 2);  // after 2, but parent 0
              })),
              2005);
    EXPECT_EQ(replayCode(stream([&](auto& w) {
                  w.writeByte('C');
                  w.writeByte('F');
                  w.writeNumber(0);
              })),
              2006);
    EXPECT_EQ(replayCode(rootAnd([&](auto& w) {
                  w.writeByte('G');
                  w.writeNumber(1);
              })),
              2007);
    EXPECT_EQ(replayCode(stream([&](auto& w) {
                  w.writeByte('C');
                  w.writeByte('I');
                  w.writeNumber(0);
              })),
              2008);
    EXPECT_EQ(replayCode(rootAnd([&](auto& w) {
                  w.writeByte('I');
                  w.writeNumber(3);
              })),
              2009);
    EXPECT_EQ(replayCode(rootAnd([&](auto& w) { w.writeByte('B'); })), 2010);
    EXPECT_EQ(replayCode(rootAnd([&](auto& w) { w.writeByte('J'); })), 2010);
    // A stream that ends inside a record fails in the reader, not with a wrong tree.
    EXPECT_EQ(replayCode(rootAnd([&](auto& w) { w.writeByte('F'); })), 4202);
}

TEST(RecordReplay, AFailureLeavesWhatWasReplayedAndSaysWhere) {
    MemValueWriter w;
    w.writeByte('A');
    w.writeWord(10);
    w.writeByte('C');
    w.writeByte('F');
    w.writeNumber(0);
    w.writeByte('A');
    w.writeWord(20);
    w.writeByte('F');
    w.writeNumber(9);
    TresmoData t;
    prepare(t);
    MemValueReader in(w.bytes);
    RecordReplay replay(t);
    EXPECT_THROW(replay.run(in), Error);
    EXPECT_EQ(replay.txnCount(), 2);
    EXPECT_EQ(replay.recordNo(), 2);
    ASSERT_NE(t.root(), nullptr);
    EXPECT_EQ(t.root()->storedKind(), NodeKind::Folder);
}

}  // namespace
