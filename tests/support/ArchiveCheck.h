// What the robustness tests compare an archive with: the folder states the test itself saw
// committed. Every state is read back by restoring each file's version in memory, so a check
// never trusts the tree or the file under test.
#pragma once

#include "archive/Tresmo.h"
#include "archive/msg.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace check {

using Snapshot = std::map<std::string, std::string>;  // path relative to the folder -> bytes

inline std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void writeBytes(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

inline Snapshot folderSnapshot(const std::string& dir) {
    namespace fs = std::filesystem;
    Snapshot s;
    for (auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file())
            s[fs::relative(e.path(), dir).string()] = fileBytes(e.path().string());
    return s;
}

// Transaction times, oldest first.
inline std::vector<int64_t> txnTimes(const Tresmo& a) {
    std::vector<int64_t> out;
    for (const Txn* t = a.txns(); t; t = t->older)
        out.insert(out.begin(), t->time);
    return out;
}

// The folder as it was at time t, every file restored (with its CRC checked) from the archive.
// A version that cannot be restored is returned in `failed`.
inline void collect(Tresmo& a, const Node* n, const std::string& rel, int64_t t, Snapshot& out,
                    std::vector<std::string>& failed) {
    for (const Node* c = n->firstChild; c; c = c->next) {
        const Version* v = Tresmo::versionAt(c, t);
        if (!v) continue;
        std::string path = rel.empty() ? c->name : rel + "/" + c->name;
        if (v->kind() == NodeKind::Folder) collect(a, c, path, t, out, failed);
        if (const ContentInfo* ci = v->content()) {
            try {
                out[path] = a.restore(*ci);
            } catch (Error& e) {
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

// Loads the archive alone (no folder scanned) at time now.
inline bool load(Tresmo& a, const std::string& archive, int64_t now) {
    a.setPath(archive);
    return a.refresh(FileSel(), now, "archive");
}

}  // namespace check
