// Tresmo::verify: checks every transaction and restores every version, changing nothing.
#include "archive/ops/Verify.h"

#include "archive/ops/RecordStream.h"
#include "archive/ops/Tresmo.h"
#include "archive/os/os.h"
#include "archive/storage/Crc32.h"
#include "archive/storage/StgFile.h"
#include "archive/storage/StgItem.h"
#include "archive/storage/StgReadBuffer.h"
#include "archive/storage/StgReader.h"
#include "archive/storage/StgRecovery.h"
#include "archive/support/Progress.h"

#include <algorithm>
#include <limits>

bool Tresmo::verify(Progress* progress, VerifyReport& report) {
    report = VerifyReport{};
    if (!_stg) return false;
    // A missing or empty file would be created (with a header) by the storage file's open.
    if (!storageExists()) return false;
    struct stat st;
    if (os::sys().stat(_path.c_str(), &st) != 0) st.st_size = 0;
    if (st.st_size < static_cast<off_t>(StgFile::FILE_HEADER_LEN)) {
        showError(makeError(makeError("StgFile.readFileHeader.1"), "Tresmo.read.1", _path, 0, 0));
        return false;
    }
    const size_t slash = _path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : _path.substr(0, slash + 1);
    const std::string prefix = _path.substr(slash + 1) + ".tail-";
    std::vector<os::DirEntry> entries;
    if (os::sys().listDir(folder.c_str(), entries) == 0)
        for (const os::DirEntry& e : entries)
            if (e.name.compare(0, prefix.size(), prefix) == 0)
                report.sideFiles.push_back(slash == std::string::npos ? e.name : folder + e.name);
    std::sort(report.sideFiles.begin(), report.sideFiles.end());
    Tresmo tree;
    tree.setPath(_path);
    StgFile& file = *tree._stg;
    tree.setNow(std::numeric_limits<int32_t>::max() * int64_t{4});
    tree.setName(name()[0] ? name() : "archive");
    bool ok = true;
    try {
        file.open(StgFile::Access::Read);
        report.fileSize = file.committedSize();
        StgRecovery::Walk w = StgRecovery::walk(file);
        report.tailBytes = file.committedSize() - w.end;
        report.transactions = static_cast<int32_t>(w.links.size());
        report.chainBroken = w.broken;
        if (w.end < file.committedSize()) file.keepTail(w.end);
        if (progress) progress->expect(0, static_cast<int64_t>(file.committedSize()));
        int32_t firstDamaged = std::numeric_limits<int32_t>::max();  // a record stream that fails
        for (size_t i = 0; i < w.links.size(); ++i) {
            if (progress) progress->checkCancel();
            try {
                StgRecovery::checkRecordStream(file, w.links[i]);
            } catch (Error& e) {
                int32_t n = static_cast<int32_t>(i + 1);
                report.damagedTxns.push_back({n, 0, "", e.chainText(), w.links[i]});
                firstDamaged = std::min(firstDamaged, n);
            }
        }
        if (w.broken)
            report.damagedTxns.push_back({report.transactions + 1, 0, "",
                                          makeError("StgReadBuffer.readItemHeader.2").chainText(),
                                          w.brokenAt});
        // The replay goes as far as the first damaged transaction; the tree then holds the
        // transactions before it.
        RecordReplay replay(tree);
        if (file.committedSize() > StgFile::FILE_HEADER_LEN && !w.links.empty()) {
            try {
                StgReader r(file, StgFile::FILE_HEADER_LEN, stg::TXN_SEQUENCE | stg::CHECK_CRC);
                r.start();
                replay.run(r);
            } catch (Error& e) {
                // A transaction whose blocks check but whose records do not replay. Errors of
                // the blocks themselves were found above, each with its own transaction.
                bool blocks = false;
                for (const Error* c = &e; c; c = c->cause.get())
                    blocks |= c->code >= 3200 && c->code <= 3214;
                int32_t n = replay.txnCount() > 0 ? replay.txnCount() : 1;
                // The replay may have begun a transaction the chain did not find complete.
                const uint64_t link = static_cast<size_t>(n) <= w.links.size()
                                          ? w.links[static_cast<size_t>(n) - 1]
                                          : 0;
                if (!blocks && n < firstDamaged)
                    report.damagedTxns.push_back(
                        {n, tree.txns() ? tree.txns()->time : 0, "", e.chainText(), link});
            }
        }
        // A transaction's number is its place in the chain plus one.
        report.replayed = tree.txns() ? tree.txns()->seq + 1 : 0;
        if (tree.txns() && tree.txns()->time >= os::sys().time())
            report.aheadTime = tree.txns()->time;
        for (const Txn* t = tree.txns(); t; t = t->older)
            for (VerifyReport::Problem& p : report.damagedTxns)
                if (p.txn == t->seq + 1) p.time = t->time;
        // Every version of every file, in preorder without recursion (a hostile archive may
        // nest without limit); a path is spelt out only for a version that fails.
        for (const Node* node = tree.root(); node; node = nextInTree(node, tree.root())) {
            bool file = false;
            for (const Version* v = node->versions; v; v = v->older) {
                const ContentInfo* content = v->content();
                if (!content) continue;
                if (!file) ++report.files;
                file = true;
                if (progress) progress->checkCancel();
                ++report.versions;
                try {
                    int64_t n = 0;
                    uint32_t crc = crc32::init();
                    tree.restoreTo(*content, [&](std::span<const uint8_t> b) {
                        crc = crc32::update(crc, b.data(), b.size());
                        n += std::ssize(b);
                    });
                    if (crc32::finalize(crc) != content->crc)
                        throw makeError("Tresmo.exportFile.2");
                    report.bytes += n;
                    if (progress) progress->advance(1, n);
                } catch (Error& e) {
                    std::string path;
                    for (const Node* n = node; n->parent; n = n->parent)
                        path.insert(0, path.empty() ? n->name : n->name + std::string("/"));
                    Error wrapped = makeError(std::move(e), "Tresmo.exportFile", path);
                    const bool delta = content->diffPos != 0;
                    report.badVersions.push_back(
                        {v->txn->seq + 1, v->txn->time, path, wrapped.chainText(),
                         delta ? content->diffPos : content->pos, delta ? content->pos : 0u});
                }
            }
        }
    } catch (Error& e) {
        // Cancelled, or the file could not be opened or read at all.
        showError(makeError(std::move(e), "Tresmo.read.1", _path, report.replayed, 0));
        ok = false;
    }
    try {
        file.close();
    } catch (Error& e) {
        showError(makeError(std::move(e), "Tresmo.read.2"));
        ok = false;
    }
    return ok;
}
