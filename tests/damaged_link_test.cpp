// Damage is never cut as if it were an unfinished save.
#include "support/RecordingPresenter.h"
#include "support/TestDir.h"

#include "archive/ops/Tresmo.h"
#include "archive/storage/StgFile.h"
#include "archive/storage/StgRecovery.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

constexpr int64_t T0 = 1600000000;

TEST(DamagedLink, EveryBitFlipInALinkKeepsWhatFollowsAndRefusesSaveAndRepair) {
    TestDir d;
    RecordingPresenter shown;
    FileSel sel;
    sel.setFolder(d / "w");
    const std::string archive = d / "w.trsm";
    for (int i = 1; i <= 3; ++i) {
        d.write("w/f" + std::to_string(i) + ".txt", std::string(2000 * i, 'a' + i), T0 + 100 * i);
        Tresmo a;
        a.setPath(archive);
        ASSERT_TRUE(a.refresh(sel, T0 + 100 * i + 50) && a.save());
    }
    d.write("w/pending.txt", "not yet saved", T0 + 400);
    std::vector<uint64_t> links;
    {
        StgFile f(archive, 20, 10);
        f.open();
        links = StgRecovery::walk(f).links;
        f.close();
    }
    ASSERT_EQ(links.size(), 3u);
    const std::string good = d.read("w.trsm");
    for (size_t k = 0; k < links.size(); ++k) {
        for (uint64_t at = links[k]; at < links[k] + StgFile::LINK_LEN; ++at) {
            for (int bit = 0; bit < 8; ++bit) {
                std::string bad = good;
                bad[at] = static_cast<char>(bad[at] ^ (1 << bit));
                d.write("w.trsm", bad);
                SCOPED_TRACE("byte " + std::to_string(at) + " bit " + std::to_string(bit));
                Tresmo a;
                a.setPath(archive);
                const bool loaded = a.refresh(sel, T0 + 1000);
                const int txns = a.txns() ? a.txns()->seq + 1 : 0;
                const bool saved = a.save();
                Tresmo r;
                r.setPath(archive);
                std::string side;
                r.repair(&side);
                const std::string now = d.read("w.trsm");
                std::vector<std::string> tails;
                for (auto& e : fs::directory_iterator(d.path()))
                    if (e.path().filename().string().find(".tail-") != std::string::npos) {
                        tails.push_back(d.read(e.path().filename().string()));
                        fs::remove(e.path());
                    }
                if (k + 1 < links.size()) {
                    // Complete transactions follow: damage, reported, nothing cut or added;
                    // unless the flip left the link's meaning as it was.
                    EXPECT_TRUE(side.empty() && tails.empty());
                    // Read up to the damage and not saved into, or the four transactions with
                    // the pending one and saved on top.
                    EXPECT_TRUE(a.readOnly() ? !saved && now == bad && txns < 4
                                             : loaded && txns == 4 && saved &&
                                                   now.compare(0, bad.size(), bad) == 0);
                } else if (!tails.empty()) {
                    // The newest link may read as a torn save: cut only after a whole copy.
                    EXPECT_TRUE(now.compare(0, links[k], good, 0, links[k]) == 0);
                    EXPECT_TRUE(tails == std::vector<std::string>{bad.substr(links[k])});
                } else {
                    EXPECT_TRUE(now.compare(0, bad.size(), bad) == 0);
                }
            }
        }
    }
}

}  // namespace
