// Folder states as the robustness tests saw them committed, and the same read back from an
// archive by restoring every version in memory.
#pragma once

#include "support/RecordingPresenter.h"
#include "support/TestDir.h"

#include "archive/ops/Tresmo.h"
#include "archive/ops/Verify.h"
#include "archive/support/msg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace check {

using Snapshot = std::map<std::string, std::string>;  // path relative to the folder -> bytes

inline std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline void writeBytes(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

// n bytes of a few words in random order: text that compresses and in which deltas match.
inline std::string words(size_t n, unsigned seed) {
    static const char* w[] = {"alpha ", "beta ", "gamma\n", "delta ", "epsilon ", "zeta\n"};
    std::mt19937 rnd(seed);
    std::string s;
    while (s.size() < n)
        s += w[rnd() % 6];
    s.resize(n);
    return s;
}

inline Snapshot folderSnapshot(const std::string& dir) {
    namespace fs = std::filesystem;
    Snapshot s;
    // A symbolic link as an archive with file metadata stores it: its target.
    for (auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_symlink())
            s[e.path().lexically_relative(dir).string()] = fs::read_symlink(e.path()).string();
        else if (e.is_regular_file())
            s[e.path().lexically_relative(dir).string()] = fileBytes(e.path().string());
    return s;
}

// Whether two archives' bytes are equal; a difference is told by sizes and where, never bytes.
inline ::testing::AssertionResult sameBytes(const std::string& ours, const std::string& want) {
    if (ours == want) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "sizes " << ours.size() << " and " << want.size() << ", first difference at "
           << std::mismatch(ours.begin(), ours.end(), want.begin(), want.end()).first -
                  ours.begin();
}

// Transaction times, oldest first.
inline std::vector<int64_t> txnTimes(const Tresmo& a) {
    std::vector<int64_t> out;
    for (const Txn* t = a.txns(); t; t = t->older)
        out.insert(out.begin(), t->time);
    return out;
}

// The folder at time t, every file restored (CRC checked); what cannot be restored in `failed`.
inline void collect(Tresmo& a, const Node* n, const std::string& rel, int64_t t, Snapshot& out,
                    std::vector<std::string>& failed) {
    for (const Node* c = n->firstChild; c; c = c->next) {
        const Version* v = Tresmo::versionAt(c, t);
        if (!v) continue;
        std::string path = rel.empty() ? c->name : rel + "/" + c->name;
        if (v->kind() == NodeKind::Folder) collect(a, c, path, t, out, failed);
        if (const ContentInfo* ci = v->content()) {
            try {
                a.restore(*ci, path, [&, &d = out[path]](auto b) { d.append(b.begin(), b.end()); });
            } catch (Error& e) {
                out.erase(path);
                failed.push_back(path + ": " + e.chainText());
            }
        }
    }
}

inline Snapshot stateAt(Tresmo& a, int64_t t, std::vector<std::string>& failed) {
    Snapshot s;
    if (a.root()) collect(a, a.root(), "", t, s, failed);
    return s;
}

// Whether the folder restored from the archive at time t is want, every file read back.
inline ::testing::AssertionResult restores(Tresmo& a, int64_t t, const Snapshot& want) {
    std::vector<std::string> failed;
    if (stateAt(a, t, failed) == want && failed.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "the state at " << t << " differs " << (failed.empty() ? "" : failed.front());
}

// A number from the environment (a seed, a count of points), or fallback when it is not set.
inline unsigned envNumber(const char* name, unsigned fallback) {
    const char* v = std::getenv(name);
    return v ? static_cast<unsigned>(std::strtoul(v, nullptr, 10)) : fallback;
}

// Loads the archive alone (no folder scanned) at time now.
inline bool load(Tresmo& a, const std::string& archive, int64_t now) {
    a.setPath(archive);
    return a.refresh(FileSel(), now, "archive");
}

// What loading, restoring, exporting and verifying an archive gave.
struct Probe {
    bool loaded = false, tail = false, exported = false, clean = false;
    bool damaged = false;  // loaded read-only up to damage, which a warning names
    bool outside = false;  // something in the folder outside target* changed
    std::vector<int64_t> times;
    std::vector<Snapshot> states;                  // restored, per transaction
    std::vector<std::vector<std::string>> failed;  // versions that did not restore, per txn
    Snapshot target;                               // the target after the export
    size_t errors = 0, warnings = 0;               // shown before the verify
    MsgList said;                                  // the warnings themselves
    double seconds = 0;
};

// Probes w/a.trsm: loads it, restores every transaction, exports the root into w/target (with
// replace, over what is there), verifies.
inline Probe probe(const std::string& w, int64_t now, bool replace = false) {
    // Path, type and bytes of everything in w but target*, links not followed.
    auto outside = [&] {
        namespace fs = std::filesystem;
        std::map<std::string, std::string> out;
        for (auto it = fs::recursive_directory_iterator(w); it != fs::end(it); ++it) {
            std::string rel = fs::relative(it->path(), w).string();
            if (rel.rfind("target", 0) == 0) continue;
            out[rel] = it->is_symlink()        ? "link " + fs::read_symlink(it->path()).string()
                       : it->is_regular_file() ? "file " + fileBytes(it->path().string())
                                               : "dir";
        }
        return out;
    };
    const auto before = outside();
    const auto start = std::chrono::steady_clock::now();
    Probe p;
    RecordingPresenter shown;
    Tresmo a;
    p.loaded = load(a, w + "/a.trsm", now);
    p.tail = !shown.warnings.empty() && shown.warnings[0].code == 3016;
    p.damaged = a.readOnly() && !shown.warnings.empty() && shown.warnings.back().code == 2038;
    p.times = txnTimes(a);
    for (int64_t t : p.times) {
        p.failed.emplace_back();
        p.states.push_back(stateAt(a, t, p.failed.back()));
    }
    if (a.root()) {
        a.selectFolder(a.root());
        p.exported = a.exportSelected(w + "/target", "", nullptr, replace);
    }
    p.target = folderSnapshot(w + "/target");
    p.errors = shown.errors.size();
    p.warnings = shown.warnings.size();
    p.said = shown.warnings;
    Tresmo v;
    v.setPath(w + "/a.trsm");
    VerifyReport report;
    p.clean = v.verify(nullptr, report) && report.clean();
    p.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    p.outside = outside() != before;
    return p;
}

// The copies of tails a save or repair set aside beside the archive w.trsm in folder.
inline std::vector<std::string> sideFiles(const std::string& folder) {
    std::vector<std::string> found;
    for (auto& e : std::filesystem::directory_iterator(folder))
        if (e.path().filename().string().rfind("w.trsm.tail-", 0) == 0)
            found.push_back(e.path().string());
    return found;
}

// A folder "w" saved step by step into "w.trsm": after each save its time, size and files.
struct Saves {
    TestDir dir;
    FileSel sel;
    std::string archive = dir / "w.trsm";
    std::vector<int64_t> times;
    std::vector<uint64_t> ends;
    std::vector<Snapshot> states;

    Saves() { sel.setFolder(dir / "w"); }
    bool save(int64_t t, SaveStats* stats = nullptr) {
        Tresmo a;
        a.setPath(archive);
        if (!a.refresh(sel, t) || !a.save(nullptr, stats)) return false;
        times.push_back(t);
        ends.push_back(std::filesystem::file_size(archive));
        states.push_back(folderSnapshot(dir / "w"));
        return true;
    }
};

}  // namespace check
