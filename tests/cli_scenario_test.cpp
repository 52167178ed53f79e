// Drives the built tresmo-cli as a user would, each with its own settings and temporary folder.
#include "support/ArchiveCheck.h"
#include "support/CliRun.h"
#include "support/TestDir.h"

#include "archive/objects/FileSel.h"
#include "archive/os/os.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <iterator>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::literals;

// Files at T0 (2023-11-14 22:13:20 UTC), saved at T1; edited at T2, saved at T3.
constexpr long T0 = 1700000000;
constexpr long T1 = T0 + 3600;
constexpr long T2 = T1 + 86400;
constexpr long T3 = T2 + 60;

// Pseudo-random text lines, so deltas find matches but compression does not make them vanish.
std::string lines(unsigned seed, int count) {
    std::mt19937 rng(seed);
    std::string s;
    for (int i = 0; i < count; ++i)
        s += "line " + std::to_string(i) + ": " + std::to_string(rng()) + "\n";
    return s;
}

class CliScenario : public ::testing::Test {
  protected:
    CliScenario() {
        dir.mkdirs("cfg");
        dir.mkdirs("tmp");
        run.env = {{"TRESMO_CONFIG_DIR", dir / "cfg"},
                   {"TMPDIR", dir / "tmp"},
                   {"TZ", "UTC"},
                   {"NO_COLOR", "1"}};
    }
    CliResult cli(const std::vector<std::string>& args) { return run.run(args); }
    json cliJson(const std::vector<std::string>& args) {
        CliResult r = cli(args);
        EXPECT_EQ(r.code, 0) << r.err;
        return json::parse(r.out);
    }
    // proj: a.txt, empty.txt, sub/b.txt, sub/c.bin at T0, saved as transaction 1 at T1.
    void firstSave() {
        dir.write("proj/a.txt", "alpha\n", T0);
        dir.write("proj/empty.txt", "", T0);
        dir.write("proj/sub/b.txt", lines(1, 60), T0);
        dir.write("proj/sub/c.bin", binary(), T0);
        ASSERT_EQ(cli({"init", dir / "proj"}).code, 0);
        ASSERT_EQ(cli({"save", archive, "--time", std::to_string(T1)}).code, 0);
    }
    // Then: a.txt and sub/b.txt changed, sub/c.bin removed, new/d.txt added, all at T2.
    void edit() {
        dir.write("proj/a.txt", "alpha two\n", T2);
        dir.write("proj/sub/b.txt", lines(1, 60) + "one more line\n", T2);
        fs::remove(dir / "proj/sub/c.bin");
        dir.write("proj/new/d.txt", "delta\n", T2);
    }
    static std::string binary() {
        std::string s;
        for (int i = 0; i < 3000; ++i)
            s += static_cast<char>((i * 7919) >> 3);
        return s;
    }

    TestDir dir;
    CliRun run{TRESMO_CLI_PATH, dir.path()};
    std::string archive = dir / "proj.trsm";
};

TEST_F(CliScenario, InitPairsArchiveAndSelectionFiltersShapeStatusReadersNeverWriteUsageExitsTwo) {
    for (const char* f : {"top.txt", "skip.LOG", "build/obj.o", "src/Build/deep.c", "src/main.c"})
        dir.write(std::string("proj/") + f, "1", T0);
    ASSERT_EQ(cli({"init", dir / "proj", "--exclude-dirs", "build, tmp", "--plain-format"}).code,
              0);
    EXPECT_EQ(cli({"status", archive}).out, "A  skip.LOG\nA  src/ (1 file)\nA  top.txt\n");
    EXPECT_EQ(cli({"init", dir / "proj"}).code, 1);  // already exists
    ASSERT_EQ(cli({"init", dir / "proj", dir / "o.bak", "--types", "log", "--no-subfolders"}).code,
              0);
    EXPECT_EQ(cli({"status", dir / "o.bak"}).out, "A  skip.LOG\n");
    EXPECT_EQ(cli({"init", dir / "proj", dir / "proj/inside.trsm"}).code, 1);
    fs::create_directory_symlink(dir / "proj", dir / "link");  // a link to a folder is one
    EXPECT_EQ(cli({"init", dir / "link", dir / "l.trsm"}).code, 0);
    EXPECT_EQ(cli({"status", dir / "l.trsm"}).out,
              "A  build/ (1 file)\nA  skip.LOG\nA  src/ (2 files)\nA  top.txt\n");
    // A usage error, before any output, says what and where to read more.
    for (const auto& [args, says] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{}, "--help"},
             {{"frobnicate"}, "unknown command 'frobnicate'\n"},
             {{"-q", "sav", archive}, "did you mean 'save'?"},
             {{"log", archive, "--bogus"}, "'tresmo-cli log --help'"},
             {{"export", archive}, "export --help"},
             {{"export", archive, "sub", dir / "out"}, "not expected"},
             {{"cat", archive, "a.txt", "--at", ""}, "--at: an empty value"},
             {{"init", "x", "--types", "a", "--exclude-types", "b"}, "init --help"},
             {{"init", dir / "proj", dir / "z.trsm", "--exclude-dirs", "a/b"}, "holds a '/'"},
             {{"tools", "add", "viewer", "/bin/true"}, "'tresmo-cli tools add --help'"}}) {
        CliResult r = cli(args);
        EXPECT_TRUE(r.code == 2 && r.out.empty() && r.err.find(says) != std::string::npos)
            << says << r.err;
    }
    EXPECT_EQ(cli({"help", "log"}).out, cli({"log", "--help"}).out);
    EXPECT_NE(cli({"log", dir / "proj.sel"}).err.find("its archive is " + archive),
              std::string::npos);
    // A file written in the transaction's own second is left out, named, and stays pending;
    // the rest is saved and the command exits 3.
    dir.write("proj/src/main.c", "2", T1);
    CliResult r = cli({"save", archive, "--time", std::to_string(T1)});
    EXPECT_TRUE(r.code == 3 &&
                r.err.find("Warning 2039: File " + dir / "proj/src/main.c") != std::string::npos &&
                r.out.find("2 files (0 as deltas), 0 removed; read 2 B, stored 137 B; 1 file "
                           "left out") != std::string::npos)
        << r.out << r.err;
    EXPECT_EQ(cli({"status", archive}).out, "A  src/main.c\n");
    const std::string saved = check::fileBytes(archive);  // nothing else: no transaction at all
    dir.write("proj/src/main.c", "3", T2);
    r = cli({"save", archive, "--time", std::to_string(T2)});
    EXPECT_TRUE(r.code == 3 && check::fileBytes(archive) == saved) << r.err;
    // Names equal but for case: the first by bytes is kept, the other is data not saved, named
    // even with -q, marked in the status, counted by the save, and the exit status is 3.
    for (const char* f : {"NOTE.txt", "Note.txt", "Twin/x.txt", "twin/y.txt"})
        dir.write(std::string("proj/") + f, f, T2);
    r = cli({"-q", "status", archive});
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.out, "A  NOTE.txt\nA  src/main.c\nA  Twin/ (1 file)\n!  Note.txt\n!  twin/\n");
    EXPECT_NE(r.err.find("Warning 3703: File Note.txt in folder " + dir / "proj skipped"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("Warning 3705: Folder twin in folder " + dir / "proj" +
                         " skipped - its name differs only in case from Twin"),
              std::string::npos)
        << r.err;
    r = cli({"save", archive, "--time", std::to_string(T3)});
    EXPECT_EQ(r.code, 3) << r.err;
    EXPECT_NE(r.out.find("3 files (0 as deltas), 0 removed"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("; 2 skipped (see the warnings)"), std::string::npos) << r.out;
    // Commands that only read never create or write the archive they are given, and name it.
    dir.write("a/empty.trsm", "", T0);
    const check::Snapshot before = check::folderSnapshot(dir / "a");  // and nothing beside it
    for (const char* name : {"a/empty.trsm", "a/missing.trsm"}) {
        for (const char* cmd : {"ls", "log", "history a", "cat a", "export /", "verify", "status",
                                "diff a", "open a --at 1"}) {
            std::istringstream words(cmd);
            std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
            args.insert(args.begin() + 1, dir / name);
            r = cli(args);
            EXPECT_TRUE(r.code == 1 && r.err.find(dir / name) != std::string::npos) << r.err;
        }
    }
    EXPECT_TRUE(check::folderSnapshot(dir / "a") == before);
    struct stat st;
    EXPECT_TRUE(::stat((dir / "a/empty.trsm").c_str(), &st) == 0 && st.st_mtime == T0);
}

TEST_F(CliScenario, EveryCommandSeesTheSameTwoTransactionsAndStartsToolsOnThem) {
    const std::string names[] = {"a\nM  fake", "back\\slash", "e\x1b[31mred", "hi\xff.txt"};
    const std::string shown[] = {"a\\x0aM  fake", "back\\x5cslash", "e\\x1b[31mred", "hi\xff.txt"};
    for (const std::string& n : names)
        dir.write("proj/" + n, "one", T0);
    firstSave();
    edit();
    EXPECT_EQ(cli({"status", archive}).out,
              "M  a.txt\nA  new/ (1 file)\nM  sub/b.txt\nD  sub/c.bin\n");

    const std::string before = check::fileBytes(archive);
    CliResult r = cli({"save", archive, "--dry-run", "--time", std::to_string(T3)});
    EXPECT_EQ(r.out, cli({"status", archive}).out);
    EXPECT_EQ(check::fileBytes(archive), before);
    EXPECT_EQ(cli({"save", archive, "--time", std::to_string(T1)}).code, 1);  // not later
    r = cli({"save", archive, "--time", std::to_string(T3)});
    EXPECT_NE(r.out.find("Saved transaction 2 at 2023-11-15 23:14:20: 3 files"), std::string::npos)
        << r.out;
    EXPECT_NE(cli({"save", archive}).err.find("Nothing to save"), std::string::npos);

    EXPECT_EQ(cliJson({"log", archive, "--json"})["transactions"][1]["added"], 8);
    EXPECT_EQ(cliJson({"log", archive, "--json", "-n", "1"})["transactions"].size(), 1u);

    EXPECT_EQ(cliJson({"ls", archive, "sub", "--at", "1", "--json"})["entries"][1]["size"], 3000);
    r = cli({"ls", archive, "--range", "1..2", "-r"});
    EXPECT_NE(r.out.find("M          10  2023-11-15 23:13:20  a.txt\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("empty.txt"), std::string::npos) << r.out;
    const std::string newest = cli({"ls", archive}).out;  // the newest transaction's letters
    EXPECT_NE(newest.find("M          10  2023-11-15 23:13:20  a.txt\n"), std::string::npos);

    EXPECT_EQ(cliJson({"history", archive, "sub/b.txt", "--json"})["versions"][0]["stored"],
              "delta");
    EXPECT_EQ(cli({"cat", archive, "sub/b.txt", "--at", "1"}).out, lines(1, 60));
    EXPECT_EQ(cli({"cat", archive, "sub/c.bin", "--at", std::to_string(T1)}).out, binary());
    EXPECT_EQ(cliJson({"verify", archive, "--json"})["versions"], 11);

    r = cli({"diff", archive, "a.txt", "--range", "1..2", "--unified", "--exit-code"});
    EXPECT_NE(r.out.find("-alpha\n+alpha two\n"), std::string::npos) << r.out;
    // --exit-code: 1 for a difference, 0 for none, 2 for a failure.
    EXPECT_EQ(r.code * 100 + cli({"diff", archive, "a.txt", "-u", "--exit-code"}).code * 10 +
                  cli({"diff", archive, "nothing.txt", "--exit-code"}).code,
              102);
    dir.write("proj/a.txt", "alpha three\n", T3);
    r = cli({"diff", archive, "a.txt", "-u"});  // against the working file
    EXPECT_NE(r.out.find("-alpha two\n+alpha three\n"), std::string::npos) << r.out;

    ASSERT_EQ(cli({"export", archive, dir / "out", "--at", "1"}).code, 0);  // out is made
    ASSERT_EQ(cli({"export", archive, "sub/b.txt", "--to", dir / "out", "--at", "1"}).code, 0);
    EXPECT_EQ(dir.read("out/b.txt"), lines(1, 60));
    EXPECT_EQ(dir.read("out/proj/sub/c.bin"), binary());
    struct stat s;
    EXPECT_TRUE(::stat((dir / "out/proj/a.txt").c_str(), &s) == 0 && s.st_mtime == T0);
    EXPECT_EQ(cli({"export", archive, dir / "out"}).code, 1);  // only with --force
    r = cli({"export", archive, dir / "out/proj/a.txt/in"});
    EXPECT_NE(r.err.find("cannot make the folder " + (dir / "out/proj/a.txt/in")),
              std::string::npos)
        << r.err;
    ASSERT_EQ(cli({"export", archive, dir / "out", "--force"}).code, 0);
    EXPECT_FALSE(fs::exists(dir / "out/proj/sub/c.bin"));
    // Stored names are exported as they are, escaped (\xNN) in listings and messages, JSON in JSON.
    for (const std::string& n : names)
        EXPECT_EQ(dir.read("out/proj/" + n), "one");
    const std::string js = cli({"ls", archive, "--json"}).out;  // bytes not UTF-8 are replaced
    EXPECT_TRUE(json::accept(js));
    dir.write("proj/" + names[2], "changed", T3);
    std::string all = js + cli({"ls", archive}).out + cli({"status", archive}).out +
                      cli({"cat", archive, names[2] + "x"}).err +
                      cli({"diff", archive, names[2], "-u"}).out;
    for (const std::string& line :
         {shown[0], shown[1], shown[3], "M  " + shown[2] + "\n",
          "--- " + shown[2] + " (transaction 1)", "no " + shown[2] + "x in", "\"e\\u001b[31mred\""s,
          "\"hi\uFFFD.txt\""s})
        EXPECT_NE(all.find(line), std::string::npos) << line;
    for (const char* raw : {"\x1b", "\nM  fake", "back\\slash"})
        EXPECT_EQ(all.find(raw), std::string::npos) << raw;
    // Never over the watched folder (from its parent), inside it, or over what holds the archive.
    const check::Snapshot live = check::folderSnapshot(dir / "proj");
    dir.mkdirs("sub");
    fs::copy_file(archive, dir / "sub/copy.trsm");
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"export", "-f", archive, dir.path()},
             {"export", "-f", archive, "sub", "--to", dir / "proj"},
             {"export", archive, "new", "--to", dir / "proj/sub"},
             {"export", "-f", dir / "sub/copy.trsm", "sub", "--to", dir.path()}}) {
        CliResult r = cli(args);
        EXPECT_NE(r.err.find("Error 2035"), std::string::npos) << args[3] << r.err;
    }
    EXPECT_TRUE(check::folderSnapshot(dir / "proj") == live) << "the watched folder changed";
    // A selection naming its folder "proj/sub/..", "proj/." or "proj/" exports proj, and
    // --force replaces nothing but out/proj.
    dir.write("x/out/canary", "1");
    for (const char* crafted : {"/sub/..", "/.", "/"}) {
        FileSel sel;
        sel.setFile(dir / "proj.sel");
        ASSERT_TRUE(sel.read());
        sel.setFolder(dir / "proj" + crafted);
        ASSERT_TRUE(sel.write());
        EXPECT_EQ(cli({"export", archive, dir / "x/out", "--force"}).code, 0) << crafted;
        EXPECT_EQ(dir.read("x/out/canary"), "1");
    }
    EXPECT_EQ(dir.read("x/out/proj/a.txt"), "alpha two\n");

    // Copies for the tools go to a private folder: one planted where they once went, with a
    // link to the working file at the first copy's name, is neither used nor followed.
    dir.mkdirs("tmp/Tresmo");
    fs::permissions(dir / "tmp/Tresmo", fs::perms::all);
    fs::create_symlink(dir / "proj/a.txt", dir / "tmp/Tresmo/a_001.txt");
    ASSERT_EQ(cli({"tools", "add", "diff", "cat", "--ext", "txt", "-o", "%2 %1"}).code, 0);
    r = cli({"diff", archive, "a.txt", "--range", "1..2"});
    EXPECT_EQ(r.out, "alpha two\nalpha\n") << r.err;
    auto tmpCount = [&] { return std::distance(fs::directory_iterator(dir / "tmp"), {}); };
    EXPECT_EQ(tmpCount(), 1);  // removed once the tool has ended
    // A viewer's copy stays after open; a later run removes it once it is a minute old.
    run.env["ARGV_DUMP_FILE"] = dir / "argv";
    ASSERT_EQ(cli({"tools", "add", "viewer", TRESMO_TOOL_argv_dump, "--ext", "txt"}).code, 0);
    std::vector<fs::path> made;
    for (int expect : {2, 3, 2}) {
        ASSERT_EQ(cli({"open", archive, "a.txt", "--at", "1"}).code, 0);
        made.push_back(fs::path(waitForArgv(dir / "argv").at(1)).parent_path());
        EXPECT_EQ(check::fileBytes(made.back() / "a_001.txt"), "alpha\n");
        EXPECT_EQ(tmpCount(), expect);
        for (const fs::path& p : made)
            if (expect == 3) fs::last_write_time(p, fs::file_time_type::clock::now() - 1h);
    }
    EXPECT_EQ(dir.read("proj/a.txt"), "alpha three\n");
    // A link and a change of bits alone, as status, ls and history show them.
    dir.link("proj/ln", "sub/b.txt", T3);
    fs::permissions(dir / "proj/empty.txt", fs::perms::owner_all);
    fs::permissions(dir / "proj/sub/b.txt", fs::perms::owner_read | fs::perms::owner_write);
    r = cli({"status", archive});
    ASSERT_EQ(cli({"save", archive, "--time", std::to_string(T3 + 60)}).code, 0);
    r.out += cli({"ls", archive}).out + cli({"history", archive, "empty.txt"}).out +
             cli({"history", archive, "sub/b.txt"}).out;
    for (const char* line :
         {"M  empty.txt (mode 0700)\n", "A  ln -> sub/b.txt\n", "  empty.txt (mode 0700)\n",
          "  ln -> sub/b.txt\n", "modified           0 B  full            0 B stored (mode 0700)\n",
          "same            0 B stored (mode 0600)\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
}

// Inside the watched folder the archive is found and paths start at the current folder;
// -a, TRESMO_ARCHIVE and a named archive choose another; attach and select edit the .sel.
TEST_F(CliScenario, DailyUseFromInsideTheFolderFindsTheArchiveAndAttachRepointsACopy) {
    firstSave();
    edit();
    run.cwd = dir / "proj/sub";
    EXPECT_EQ(cli({"status"}).out, cli({"status", archive}).out);
    const json saved = cliJson({"save", "--json", "--time", std::to_string(T3)});
    EXPECT_TRUE(saved["transaction"] == 2 && saved["files"] == 3 && saved["removed"] == 1) << saved;
    EXPECT_EQ(cli({"cat", "b.txt", "--at", "1"}).out, lines(1, 60));
    EXPECT_EQ(cli({"cat", "../a.txt"}).out, "alpha two\n");
    EXPECT_EQ(cliJson({"history", "c.bin", "--json"})["path"], "sub/c.bin");
    EXPECT_EQ(cliJson({"ls", "--json", "--at", "1"})["entries"].size(), 2u);  // sub's own
    const json log = cliJson({"log", "../new", "--json"});  // only what changed there
    EXPECT_TRUE(log["transactions"].size() == 1 && log["transactions"][0]["added"] == 1) << log;
    EXPECT_NE(cli({"ls", "--at", "2020-01-01"}).err.find("before its first transaction"),
              std::string::npos);
    dir.mkdirs("out");
    const json exported = cliJson({"export", "--json", "../new", "--to", dir / "out"});
    EXPECT_TRUE(exported["files"] == 1 && exported["bytes"] == 6 &&
                dir.read("out/new/d.txt") == "delta\n")
        << exported;
    // Another archive named by -a, by TRESMO_ARCHIVE or as the first word wins over the found one.
    dir.write("other/x.txt", "x", T0);
    ASSERT_EQ(cli({"init", dir / "other"}).code, 0);
    const std::string other = dir / "other.trsm";
    EXPECT_EQ(cli({"-a", other, "status"}).out, "A  x.txt\n");
    EXPECT_EQ(cli({"status", other}).out, "A  x.txt\n");
    run.env["TRESMO_ARCHIVE"] = other;
    EXPECT_EQ(cli({"status"}).out, "A  x.txt\n");
    EXPECT_EQ(cli({"log", archive, "-n", "1"}).code, 0);
    run.env.erase("TRESMO_ARCHIVE");
    run.cwd = dir.path();  // outside every watched folder
    CliResult r = cli({"status"});
    EXPECT_TRUE(r.code == 2 && r.err.find("no archive given") != std::string::npos) << r.err;
    // A copy of the archive watches nothing until attached to where the folder moved; a folder
    // with too few of its files is refused.
    dir.mkdirs("moved");
    fs::copy_file(archive, dir / "moved/p.trsm");
    fs::rename(dir / "proj", dir / "moved/p");
    fs::copy_file(dir / "proj.sel", dir / "moved/p.sel");
    EXPECT_NE(cli({"status", dir / "moved/p.trsm"}).err.find("tresmo-cli attach"),
              std::string::npos);
    EXPECT_EQ(cli({"attach", dir / "moved/p.trsm", dir / "other"}).code, 1);
    EXPECT_EQ(cli({"attach", dir / "moved/p.trsm", dir / "moved/p"}).code, 0);
    run.cwd = dir / "moved/p";
    r = cli({"status"});
    EXPECT_TRUE(r.code == 0 && r.out.empty()) << r.out << r.err;  // all there, nothing new
    EXPECT_EQ(cli({"select", "--exclude-dirs", "new", "--types", "txt"}).out,
              dir / "moved/p" + " (only TXT, with subfolders except new)\n");
    EXPECT_EQ(cli({"status"}).out, "D  new/ (1 file)\n");
    EXPECT_EQ(cli({"select", "--exclude-dirs", "", "--all-types"}).out,
              dir / "moved/p" + " (every file type, with subfolders)\n");
    // On a terminal the save's progress counts what this save reads, fits the terminal and is
    // cleared before a warning (here: a file dated ahead of the clock).
    CliRun term{"/usr/bin/script", dir.path()};
    term.env = run.env;
    term.cwd = run.cwd;
    for (int columns : {40, 20}) {
        dir.write("moved/p/a.txt", std::string(1000, char('0' + columns)), ::time(nullptr) + 7200);
        r = term.run({"-qec", "stty cols " + std::to_string(columns) + "; " TRESMO_CLI_PATH " save",
                      "/dev/null"});
        EXPECT_NE(r.out.find("\r\x1b[Ktresmo-cli: Warning 2040"), std::string::npos) << r.out;
        bool cut = false;
        for (size_t at = r.out.find("\rsaving"); at != std::string::npos;
             at = r.out.find("\rsaving", at + 1)) {
            const size_t width = r.out.find("\x1b[K", at) - at - 1;
            EXPECT_LT(width, size_t(columns)) << r.out;
            cut = cut || width == size_t(columns) - 1;
        }
        EXPECT_TRUE(columns == 40 ? r.out.find("0/1 files, 0 B of 1000 B") != std::string::npos
                                  : cut)
            << r.out;
    }
}

// Ctrl+C, kill and a closed terminal all roll the save back: no tail, nothing to repair.
TEST_F(CliScenario, SaveStoppedBySignalLeavesTheArchiveAsBefore) {
    firstSave();
    std::mt19937 rng(7);
    std::string big(6 << 20, '\0');
    for (int f = 0; f < 6; ++f) {
        for (char& c : big)
            c = static_cast<char>(rng());
        dir.write("proj/big" + std::to_string(f) + ".bin", big, T2);
    }
    std::string before = check::fileBytes(archive);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        pid_t pid = run.start({"save", archive, "--time", std::to_string(T3)});
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (fs::file_size(archive) <= before.size() &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ::kill(pid, sig);
        CliResult r = run.finish(pid);
        EXPECT_EQ(r.code, 128 + sig) << r.err;
        EXPECT_TRUE(check::fileBytes(archive) == before) << sig;
        EXPECT_EQ(cli({"verify", archive}).code, 0) << sig;
    }
    // A repair stopped while it copies an unfinished save's tail aside cuts nothing and leaves
    // no partial copy; the tail is then still there to repair.
    check::writeBytes(archive, before + big + big + big + big);
    pid_t pid = run.start({"repair", archive});
    const auto side = [&] {
        for (const auto& e : fs::directory_iterator(dir.path()))
            if (e.path().filename().string().starts_with("proj.trsm.tail-")) return true;
        return false;
    };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!side() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ::kill(pid, SIGTERM);
    CliResult r = run.finish(pid);
    EXPECT_EQ(r.code, 128 + SIGTERM) << r.err;
    EXPECT_FALSE(side());
    EXPECT_EQ(fs::file_size(archive), before.size() + 4 * big.size());
    // A rewrite stopped the same way leaves the archive as it was and no new one; bad input
    // writes nothing.
    ASSERT_EQ(cli({"save", archive, "--time", std::to_string(T3)}).code, 0);
    before = check::fileBytes(archive);
    const std::string fresh = dir / "fresh.trsm", part = fresh + ".rewrite-part";
    pid = run.start({"rewrite", archive, fresh});
    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((!fs::exists(part) || fs::file_size(part) < 100000) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ::kill(pid, SIGINT);
    EXPECT_EQ(run.finish(pid).code, 128 + SIGINT);
    for (const auto& [args, code, text] :
         std::vector<std::tuple<std::vector<std::string>, int, std::string>>{
             {{archive, archive}, 1, "Error 2048"},
             {{archive, dir / "proj.sel"}, 1, "Error 2047"},
             {{archive, fresh, "--keep-last", "0"}, 2, "--keep-last"},
             {{archive, fresh, "--keep-since", "2100-01-01"}, 1, "Error 2049"},
             {{dir / "proj.sel", fresh}, 1, "is a selection file"}}) {
        std::vector<std::string> full = {"rewrite"};
        full.insert(full.end(), args.begin(), args.end());
        CliResult r = cli(full);
        EXPECT_EQ(r.code, code) << text;
        EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
    }
    EXPECT_TRUE(check::fileBytes(archive) == before);
    EXPECT_FALSE(fs::exists(fresh) || fs::exists(part));
    // --replace puts the same bytes, written anew, in an archive's place.
    const std::string small = dir / "small.trsm";
    dir.write("small/a.txt", "one", T1);
    ASSERT_EQ(cli({"init", dir / "small", "--plain-format"}).code, 0);
    ASSERT_EQ(cli({"save", small, "--time", std::to_string(T2)}).code, 0);
    dir.write("small/b.txt", "two", T2);
    ASSERT_EQ(cli({"save", small, "--time", std::to_string(T3)}).code, 0);
    before = check::fileBytes(small);
    json j = cliJson({"rewrite", small, fresh, "--replace", "--json"});
    EXPECT_TRUE(j["transactions_kept"] == 2 && j["bytes_after"] == before.size());
    EXPECT_TRUE(check::fileBytes(small) == before);
    EXPECT_TRUE(check::fileBytes(small + ".before-rewrite") == before);
    EXPECT_EQ(cliJson({"rewrite", small, fresh, "--keep-last", "1", "--json"})["versions_kept"], 2);
    // The copy set aside and the new archive watch the folder, where nothing changed since.
    for (const std::string& other : {small + ".before-rewrite", fresh}) {
        json st = cliJson({"status", other, "--json"});
        EXPECT_EQ(st["folder"], dir / "small");
        EXPECT_EQ(st["changes"].size(), 0u);
    }
}

// Forty readers at once, started while a save writes: each waits for the save, none fails;
// a lock held past --wait says once that it waits, then that the archive is in use.
TEST_F(CliScenario, ReadersShareTheArchiveAndWaitForAWriterSayingSo) {
    firstSave();
    std::mt19937 rng(11);
    std::string big(4 << 20, '\0');
    for (char& c : big)
        c = static_cast<char>(rng());
    dir.write("proj/big.bin", big, T2);
    const auto before = fs::file_size(archive);
    pid_t save = run.start({"save", archive, "--time", std::to_string(T3)});
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (fs::file_size(archive) <= before && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::vector<pid_t> readers;
    for (int i = 0; i < 40; ++i)
        readers.push_back(run.start({"log", archive}));
    EXPECT_EQ(run.finish(save).code, 0);
    for (pid_t pid : readers) {
        CliResult r = run.finish(pid);
        EXPECT_TRUE(r.code == 0 && !r.out.empty()) << r.err;
    }

    int held = os::openLocked(archive.c_str(), O_RDWR, 0, os::Lock::Exclusive);
    ASSERT_GE(held, 0);
    CliResult r = cli({"log", archive, "--wait", "1"});
    ::close(held);
    const std::string waiting = "waiting for another program using " + archive;
    EXPECT_EQ(r.err.find(waiting), r.err.rfind(waiting));
    EXPECT_TRUE(r.code == 1 && r.err.find(waiting) != std::string::npos &&
                r.err.find("Archive " + archive + " is in use by another program") !=
                    std::string::npos)
        << r.err;
}

}  // namespace
