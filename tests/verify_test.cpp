// verify names what is damaged (a transaction, a version) and never changes the file.
#include "archive/ops/Verify.h"

#include "support/ArchiveCheck.h"
#include "support/RecordingPresenter.h"
#include "support/TestDir.h"

#include "archive/ops/Tresmo.h"
#include "archive/storage/StgFile.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

constexpr int64_t T0 = 1600000000;

// Three transactions: a.txt and b.txt, then a.txt changed (a delta), then c.txt added.
struct ThreeSaves : check::Saves {
    ThreeSaves() {
        std::string a(40000, 'a');
        for (size_t i = 0; i < a.size(); i += 7)
            a[i] = static_cast<char>('a' + i % 23);
        dir.write("w/a.txt", a, T0 - 10);
        dir.write("w/b.txt", std::string(3000, 'b'), T0 - 10);
        EXPECT_TRUE(save(T0));
        a.replace(20000, 5, "12345");
        dir.write("w/a.txt", a, T0 + 90);
        EXPECT_TRUE(save(T0 + 100));
        dir.write("w/c.txt", "ccc", T0 + 190);
        EXPECT_TRUE(save(T0 + 200));
    }
    VerifyReport verify(bool expectOk = true) {
        const std::string before = check::fileBytes(archive);
        Tresmo x;
        x.setPath(archive);
        VerifyReport r;
        EXPECT_EQ(x.verify(nullptr, r), expectOk);
        EXPECT_EQ(check::fileBytes(archive), before) << "verify changed the file";
        return r;
    }
    // Flips one bit at pos.
    void flip(size_t pos) {
        std::string bytes = check::fileBytes(archive);
        bytes[pos] ^= 0x10;
        check::writeBytes(archive, bytes);
    }
};

}  // namespace

TEST(Verify, ASoundArchiveRestoresEveryVersion) {
    RecordingPresenter shown;
    ThreeSaves s;
    VerifyReport r = s.verify();
    EXPECT_TRUE(r.clean());
    EXPECT_EQ(r.transactions, 3);
    EXPECT_EQ(r.replayed, 3);
    EXPECT_EQ(r.versions, 4);  // a twice, b, c
    EXPECT_EQ(r.bytes, 40000 * 2 + 3000 + 3);
    EXPECT_EQ(r.fileSize, s.ends.back());
}

TEST(Verify, DamagedContentNamesTheVersionAndDamagedRecordsTheTransaction) {
    RecordingPresenter shown;
    ThreeSaves s;
    // Inside the first transaction's first content item (a.txt's full version, the base of
    // the second transaction's delta).
    s.flip(StgFile::FILE_HEADER_LEN + 10 + 40);
    VerifyReport r = s.verify();
    EXPECT_FALSE(r.clean());
    EXPECT_TRUE(r.damagedTxns.empty());
    ASSERT_EQ(r.badVersions.size(), 2u);  // the full version and the delta on top of it
    for (const VerifyReport::Problem& p : r.badVersions)
        EXPECT_EQ(p.path, "a.txt");
    EXPECT_EQ(r.versions, 4);

    ThreeSaves t;
    // The last bytes before the third transaction: the second one's record-stream CRC.
    t.flip(t.ends[1] - 2);
    r = t.verify();
    ASSERT_EQ(r.damagedTxns.size(), 1u);
    EXPECT_EQ(r.damagedTxns[0].txn, 2);
    EXPECT_NE(r.damagedTxns[0].text.find("3214"), std::string::npos) << r.damagedTxns[0].text;
    EXPECT_EQ(r.replayed, 1);  // the replay stops before the damaged one
    EXPECT_EQ(r.transactions, 3);
}

TEST(Verify, AnIncompleteTailIsReportedAndAMissingFileIsNotCreated) {
    RecordingPresenter shown;
    ThreeSaves s;
    check::writeBytes(s.archive, check::fileBytes(s.archive).substr(0, s.ends.back() - 4));
    VerifyReport r = s.verify();
    EXPECT_EQ(r.tailBytes, s.ends[2] - 4 - s.ends[1]);
    EXPECT_EQ(r.transactions, 2);
    EXPECT_TRUE(r.damagedTxns.empty());
    EXPECT_TRUE(r.badVersions.empty());

    Tresmo x;
    x.setPath(s.dir / "missing.trsm");
    EXPECT_FALSE(x.verify(nullptr, r));
    EXPECT_FALSE(std::filesystem::exists(s.dir / "missing.trsm"));
    ASSERT_FALSE(shown.errors.empty());
    EXPECT_TRUE(shown.errors.back().hasCode(3000));
}
