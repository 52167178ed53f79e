// Scenarios that drive the built tresmo-cli binary as a user would: output, exit codes and
// what ends up on disk. Every test runs with its own settings folder, temporary folder and
// TZ=UTC, so listed times do not depend on the machine.
#include "support/ArchiveCheck.h"
#include "support/CliRun.h"
#include "support/TestDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// Times of the small history: files at T0, saved at T1; edited at T2, saved at T3.
constexpr long T0 = 1700000000;  // 2023-11-14 22:13:20 UTC
constexpr long T1 = T0 + 3600;
constexpr long T2 = T1 + 86400;
constexpr long T3 = T2 + 60;

using Result = CliResult;

// Pseudo-random text lines, so deltas find matches but compression does not make them vanish.
std::string lines(unsigned seed, int count) {
    std::mt19937 rng(seed);
    std::string s;
    for (int i = 0; i < count; ++i)
        s += "line " + std::to_string(i) + ": " + std::to_string(rng()) + " " +
             std::to_string(rng()) + "\n";
    return s;
}

class CliScenario : public ::testing::Test {
  protected:
    void SetUp() override {
        dir.mkdirs("cfg");
        dir.mkdirs("tmp");
        env = {{"TRESMO_CONFIG_DIR", dir / "cfg"},
               {"TMPDIR", dir / "tmp"},
               {"TZ", "UTC"},
               {"NO_COLOR", "1"}};
        archive = dir / "proj.trsm";
    }

    CliRun runner() {
        CliRun r(TRESMO_CLI_PATH, dir.path());
        r.env = env;
        return r;
    }
    pid_t start(const std::vector<std::string>& args) { return runner().start(args); }
    Result finish(pid_t pid) { return runner().finish(pid); }
    Result cli(const std::vector<std::string>& args) { return runner().run(args); }
    json cliJson(const std::vector<std::string>& args) {
        Result r = cli(args);
        EXPECT_EQ(r.code, 0) << r.err;
        return json::parse(r.out);
    }

    // proj: a.txt, empty.txt, sub/b.txt, sub/c.bin at T0, saved as transaction 1 at T1.
    void firstSave() {
        dir.write("proj/a.txt", "alpha\n", T0);
        dir.write("proj/empty.txt", "", T0);
        dir.write("proj/sub/b.txt", lines(1, 60), T0);
        dir.write("proj/sub/c.bin", binary(), T0);
        Result r = cli({"init", dir / "proj"});
        ASSERT_EQ(r.code, 0) << r.err;
        r = cli({"save", archive, "--time", std::to_string(T1)});
        ASSERT_EQ(r.code, 0) << r.err;
    }
    // Then: a.txt and sub/b.txt changed, sub/c.bin removed, new/d.txt added, all at T2.
    void edit() {
        dir.write("proj/a.txt", "alpha two\n", T2);
        dir.write("proj/sub/b.txt", lines(1, 60) + "one more line\n", T2);
        fs::remove(dir / "proj/sub/c.bin");
        dir.write("proj/new/d.txt", "delta\n", T2);
    }
    // Both transactions.
    void history() {
        firstSave();
        edit();
        Result r = cli({"save", archive, "--time", std::to_string(T3)});
        ASSERT_EQ(r.code, 0) << r.err;
    }
    static std::string binary() {
        std::string s;
        for (int i = 0; i < 3000; ++i)
            s += static_cast<char>((i * 7919) >> 3);
        return s;
    }

    TestDir dir;
    std::string archive;
    std::map<std::string, std::string> env;
};

TEST_F(CliScenario, InitPairsArchiveAndSelectionAndItsFiltersShapeTheStatus) {
    dir.write("proj/top.txt", "1", T0);
    dir.write("proj/skip.LOG", "2", T0);
    dir.write("proj/build/obj.o", "3", T0);
    dir.write("proj/src/Build/deep.c", "4", T0);
    dir.write("proj/src/main.c", "5", T0);
    Result r = cli({"init", dir / "proj", "--exclude-dirs", "build, tmp"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("Created " + archive), std::string::npos) << r.out;
    EXPECT_EQ(check::fileBytes(archive).substr(0, 4), "$$**");
    EXPECT_TRUE(fs::exists(dir / "proj.sel"));
    EXPECT_EQ(cli({"status", archive}).out, "A  skip.LOG\nA  src/\nA  src/main.c\nA  top.txt\n");

    r = cli({"init", dir / "proj"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("already exists"), std::string::npos) << r.err;
    // Without the .trsm extension the selection is NAME.sel; one inside the watched folder is
    // refused (it would archive itself), and so is a folder that does not exist.
    ASSERT_EQ(cli({"init", dir / "proj", dir / "o.bak", "--types", "log", "--no-subfolders"}).code,
              0);
    EXPECT_TRUE(fs::exists(dir / "o.bak.sel"));
    json st = cliJson({"status", dir / "o.bak", "--json"});
    ASSERT_EQ(st["changes"].size(), 1u) << st.dump();
    EXPECT_EQ(st["changes"][0]["path"], "skip.LOG");
    EXPECT_EQ(cli({"init", dir / "proj", dir / "proj/inside.trsm"}).code, 1);
    EXPECT_EQ(cli({"init", dir / "missing"}).code, 1);
}

// One history taken through every command that reads it: the state after the edit is
// listed, previewed, saved, logged, listed by range, restored and compared.
TEST_F(CliScenario, EveryCommandSeesTheSameTwoTransactions) {
    firstSave();
    edit();
    Result r = cli({"status", archive});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "M  a.txt\nA  new/\nA  new/d.txt\nM  sub/b.txt\nD  sub/c.bin\n");
    json st = cliJson({"status", archive, "--json"});
    ASSERT_EQ(st["changes"].size(), 5u);
    EXPECT_EQ(st["changes"][1]["kind"], "folder");
    EXPECT_EQ(st["changes"][4]["state"], "removed");
    EXPECT_EQ(st["transactions"], 1);

    const std::string before = check::fileBytes(archive);
    r = cli({"save", archive, "--dry-run", "--time", std::to_string(T3)});
    EXPECT_EQ(r.out, cli({"status", archive}).out);
    EXPECT_EQ(check::fileBytes(archive), before);
    r = cli({"save", archive, "--time", std::to_string(T3)});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("Saved transaction 2 at 2023-11-15 23:14:20: 3 files"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("1 removed"), std::string::npos) << r.out;
    const auto size = fs::file_size(archive);
    r = cli({"save", archive});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("Nothing to save"), std::string::npos);
    EXPECT_EQ(fs::file_size(archive), size);

    r = cli({"log", archive});
    EXPECT_EQ(r.out.find("   2  2023-11-15 23:14:20      1 added      2 modified      1 removed"),
              0u)
        << r.out;
    json log = cliJson({"log", archive, "--json"});
    ASSERT_EQ(log["transactions"].size(), 2u);
    const json& older = log["transactions"][1];
    EXPECT_EQ(older["number"], 1);
    EXPECT_EQ(older["time"], T1);
    EXPECT_EQ(older["added"], 4);

    json at1 = cliJson({"ls", archive, "sub", "--at", "1", "--json"});
    ASSERT_EQ(at1["entries"].size(), 2u);
    EXPECT_EQ(at1["entries"][1]["name"], "c.bin");
    EXPECT_EQ(at1["entries"][1]["size"], 3000);
    r = cli({"ls", archive, "--range", "2..2", "-r"});  // what changed, with its folders
    EXPECT_NE(r.out.find("M          10  2023-11-15 23:13:20  a.txt\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("D        3000  2023-11-14 22:13:20  sub/c.bin\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("empty.txt"), std::string::npos) << r.out;
    EXPECT_EQ(cli({"ls", archive, "nope"}).code, 1);
    EXPECT_EQ(cli({"ls", archive, "--at", "3"}).code, 1);

    json h = cliJson({"history", archive, "sub/b.txt", "--json"});
    ASSERT_EQ(h["versions"].size(), 2u);
    EXPECT_EQ(h["versions"][0]["state"], "modified");
    EXPECT_EQ(h["versions"][0]["stored"], "delta");
    EXPECT_EQ(h["versions"][1]["stored"], "full");
    EXPECT_EQ(cli({"cat", archive, "sub/b.txt", "--at", "1"}).out, lines(1, 60));
    EXPECT_EQ(cli({"cat", archive, "sub/b.txt"}).out, lines(1, 60) + "one more line\n");
    EXPECT_EQ(cli({"cat", archive, "sub/c.bin", "--at", std::to_string(T1)}).out, binary());
    Result gone = cli({"cat", archive, "sub/c.bin"});
    EXPECT_EQ(gone.code, 1);
    EXPECT_EQ(gone.out, "");

    json v = cliJson({"verify", archive, "--json"});
    EXPECT_EQ(v["files"], 5);
    EXPECT_EQ(v["versions"], 7);
    EXPECT_EQ(v["ok"], true);

    r = cli({"diff", archive, "a.txt", "--range", "2..2", "--unified"});
    EXPECT_NE(r.out.find("-alpha\n+alpha two\n"), std::string::npos) << r.out;
    dir.write("proj/a.txt", "alpha three\n", T3);
    r = cli({"diff", archive, "a.txt", "-u"});  // against the working file
    EXPECT_NE(r.out.find("-alpha two\n+alpha three\n"), std::string::npos) << r.out;
}

TEST_F(CliScenario, ExportWritesUnderItsOwnNameWithTimesAndReplacesOnlyWithForce) {
    history();
    dir.mkdirs("out");
    Result r = cli({"export", archive, dir / "out", "--at", "1"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(dir.read("out/proj/sub/c.bin"), binary());
    EXPECT_EQ(dir.read("out/proj/a.txt"), "alpha\n");
    struct stat st;
    ASSERT_EQ(::stat((dir / "out/proj/a.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, T0);

    r = cli({"export", archive, dir / "out"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("already exists; use --force"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::exists(dir / "out/proj/sub/c.bin"));
    ASSERT_EQ(cli({"export", archive, dir / "out", "--force"}).code, 0);
    EXPECT_FALSE(fs::exists(dir / "out/proj/sub/c.bin"));
    EXPECT_EQ(dir.read("out/proj/new/d.txt"), "delta\n");
    ASSERT_EQ(cli({"export", archive, "sub/b.txt", dir / "out"}).code, 0);
    EXPECT_EQ(dir.read("out/b.txt"), lines(1, 60) + "one more line\n");
}

TEST_F(CliScenario, UsageErrorsExitTwoWithoutOutput) {
    history();
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {},
             {"frobnicate"},
             {"log"},
             {"log", archive, "--bogus"},
             {"save", archive, "--time", "yesterday"},
             {"save", archive, "--time", "2023-02-30"},
             {"save", archive, "--time", "2107-01-01T00:00:00Z"},  // past what a stamp holds
             {"ls", archive, "--at", "0"},
             {"ls", archive, "--at", "1", "--changed", "today"},
             {"export", archive},
             {"init", "x", "--types", "a", "--exclude-types", "b"},
             {"tools", "add", "viewer", "/bin/true"}}) {
        Result r = cli(args);
        std::string line;
        for (const std::string& a : args)
            line += a + " ";
        EXPECT_EQ(r.code, 2) << line << r.err;
        EXPECT_EQ(r.out, "") << line;
        EXPECT_NE(r.err, "") << line;
    }
    Result help = cli({"ls", "--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("--changed"), std::string::npos);
}

TEST_F(CliScenario, DamageIsNamedAndRepairDoesWhatItsHintSays) {
    firstSave();
    const std::string first = check::fileBytes(archive);
    edit();
    ASSERT_EQ(cli({"save", archive, "--time", std::to_string(T3)}).code, 0);
    const std::string full = check::fileBytes(archive);

    dir.write("proj.trsm", "$$**99999999" + full.substr(12));
    Result r = cli({"log", archive});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err.find("Error 2011: Could not read Tresmo file\nError 30"), 0u) << r.err;
    // A flipped byte inside the first stored content: replay works, the restore does not.
    std::string bad = full;
    bad[40] = static_cast<char>(bad[40] ^ 0x55);
    dir.write("proj.trsm", bad);
    r = cli({"verify", archive});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("FAILED"), std::string::npos) << r.out;

    // The second save's record stream did not reach the end of the file.
    const std::string cut = full.substr(0, full.size() - 5);
    dir.write("proj.trsm", cut);
    r = cli({"verify", archive});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("INCOMPLETE: " + std::to_string(cut.size() - first.size()) + " bytes"),
              std::string::npos)
        << r.out;
    const std::string hint = "Run 'tresmo-cli repair " + archive + "'";
    EXPECT_NE(r.out.find(hint), std::string::npos) << r.out;
    EXPECT_EQ(cliJson({"log", archive, "--json"})["transactions"].size(), 1u);
    EXPECT_EQ(check::fileBytes(archive), cut);
    r = cli({"repair", archive});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(check::fileBytes(archive), first);
    std::string side;
    for (auto& e : fs::directory_iterator(dir.path()))
        if (e.path().filename().string().rfind("proj.trsm.tail-", 0) == 0) side = e.path();
    EXPECT_NE(r.out.find(side), std::string::npos) << r.out;
    EXPECT_EQ(check::fileBytes(side), cut.substr(first.size()));
    EXPECT_EQ(cliJson({"verify", archive, "--json"})["ok"], true);
    r = cli({"repair", archive});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.err.find("Nothing to repair"), std::string::npos) << r.err;

    // Damage inside the complete second transaction: named by verify, refused by repair.
    bad = full;
    bad[bad.size() - 8] ^= 0x01;
    dir.write("proj.trsm", bad + "tail");
    r = cli({"verify", archive});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("transaction 2 is damaged:\nError 3214"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find(hint), std::string::npos) << r.out;
    r = cli({"repair", archive});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("nothing was changed"), std::string::npos) << r.err;
    EXPECT_EQ(check::fileBytes(archive), bad + "tail");
}

TEST_F(CliScenario, SaveTimesAreCheckedAndFixedTimesGiveByteIdenticalArchives) {
    firstSave();
    const std::string twin = dir / "twin.trsm";
    ASSERT_EQ(cli({"init", dir / "proj", twin}).code, 0);
    ASSERT_EQ(cli({"save", twin, "--time", std::to_string(T1)}).code, 0);
    edit();
    const std::string before = check::fileBytes(archive);
    Result r = cli({"save", archive, "--time", std::to_string(T1)});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("is not later than the newest transaction 1"), std::string::npos) << r.err;
    r = cli({"save", archive, "--time", std::to_string(::time(nullptr) + 3600)});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("is in the future"), std::string::npos) << r.err;
    // A file not older than the transaction fails the save, which rolls back.
    r = cli({"save", archive, "--time", std::to_string(T2)});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("Error 2014"), std::string::npos) << r.err;
    EXPECT_EQ(check::fileBytes(archive), before);

    ASSERT_EQ(cli({"save", archive, "--time", std::to_string(T3)}).code, 0);
    r = cli({"save", twin, "--time", std::to_string(T3), "--quiet"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(check::fileBytes(archive), check::fileBytes(twin));
    // A file written this very second is saved at once and seen by the next command.
    dir.write("proj/a.txt", "written this very second\n");
    ASSERT_EQ(cli({"save", archive}).code, 0);
    EXPECT_EQ(cliJson({"log", archive, "--json"})["transactions"].size(), 3u);
    EXPECT_EQ(cliJson({"verify", archive, "--json"})["ok"], true);
}

TEST_F(CliScenario, InterruptedSaveLeavesTheArchiveAsBefore) {
    firstSave();
    std::mt19937 rng(7);
    std::string big(6 << 20, '\0');
    for (int f = 0; f < 6; ++f) {
        for (char& c : big)
            c = static_cast<char>(rng());
        dir.write("proj/big" + std::to_string(f) + ".bin", big, T2);
    }
    std::string before = check::fileBytes(archive);
    pid_t pid = start({"save", archive, "--time", std::to_string(T3)});
    // Interrupt once the save is writing: the archive grows past what it was.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (fs::file_size(archive) <= before.size() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ::kill(pid, SIGINT);
    Result r = finish(pid);
    EXPECT_EQ(r.code, 130) << r.err;
    EXPECT_NE(r.err.find("interrupted"), std::string::npos) << r.err;
    EXPECT_EQ(check::fileBytes(archive), before);
}

TEST_F(CliScenario, ToolsAreCheckedAndStartedOnRestoredVersions) {
    history();
    std::string dump = dir / "argv";
    env["ARGV_DUMP_FILE"] = dump;
    Result r =
        cli({"tools", "add", "viewer", TRESMO_TOOL_argv_dump, "--ext", "txt", "-o", "--file=%1"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(cli({"tools", "add", "viewer", TRESMO_TOOL_argv_dump, "--ext", "TXT"}).code, 2);
    EXPECT_EQ(cli({"tools", "add", "viewer", dir / "nothing", "--ext", "log"}).code, 2);
    EXPECT_EQ(cli({"tools", "add", "viewer", TRESMO_TOOL_argv_dump, "--ext", ".log"}).code, 2);
    ASSERT_EQ(cli({"tools", "add", "diff", TRESMO_TOOL_argv_dump, "--ext", "txt", "-o",
                   "%2 --against %1"})
                  .code,
              0);
    EXPECT_NE(cli({"tools", "list"}).out.find("txt"), std::string::npos);

    ASSERT_EQ(cli({"open", archive, "a.txt", "--at", "1"}).code, 0);
    std::vector<std::string> args = waitForArgv(dump);
    ASSERT_EQ(args.size(), 2u);
    ASSERT_EQ(args[1].rfind("--file=", 0), 0u) << args[1];
    EXPECT_EQ(check::fileBytes(args[1].substr(7)), "alpha\n");

    ASSERT_EQ(cli({"diff", archive, "a.txt", "--range", "2..2"}).code, 0);
    args = waitForArgv(dump);
    ASSERT_EQ(args.size(), 4u);
    EXPECT_EQ(args[2], "--against");
    EXPECT_EQ(check::fileBytes(args[1]), "alpha two\n");
    EXPECT_EQ(check::fileBytes(args[3]), "alpha\n");

    ASSERT_EQ(cli({"tools", "remove", "viewer", "1"}).code, 0);
    EXPECT_NE(cli({"tools", "list", "viewer"}).out.find("none"), std::string::npos);
}

}  // namespace
