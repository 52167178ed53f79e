// Arbitrary bytes as a whole archive: load it, verify it, restore every version (streamed) and
// export the root into a scratch folder. Any message is a correct answer; a crash, a hang, an
// unbounded allocation or a write outside the scratch folder is not (export walks the folder
// by descriptors, and the scratch folder is removed afterwards).
#include "archive/ops/Tresmo.h"
#include "archive/ops/Verify.h"
#include "archive/support/msg.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

class Quiet : public Presenter {
  public:
    void showError(const Error&) override {}
    void showMsgs(const MsgList&) override {}
    void verifyFailed(const char*, int, const char*) override { std::abort(); }
};

void restoreAll(Tresmo& a) {
    for (const Node* c = a.root(); c; c = nextInTree(c, a.root())) {
        for (const Version* v = c->versions; v; v = v->older) {
            const ContentInfo* content = v->content();
            if (!content) continue;
            try {
                a.restore(*content, c->name, [](std::span<const uint8_t>) {});
            } catch (Error&) {
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Quiet quiet;
    installPresenter(&quiet);
    namespace fs = std::filesystem;
    const char* tmp = std::getenv("TMPDIR");
    fs::path dir =
        fs::path(tmp && *tmp ? tmp : "/tmp") / ("archive_fuzz." + std::to_string(getpid()));
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::create_directories(dir / "out");
    const std::string path = (dir / "a.trsm").string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    {
        Tresmo a;
        a.setPath(path);
        a.refresh(FileSel(), 4000000000LL, "archive");
        if (a.root() && a.root()->firstChild) {
            restoreAll(a);
            a.selectFolder(a.root());
            a.exportSelected((dir / "out").string());
        }
        Tresmo v;
        v.setPath(path);
        VerifyReport report;
        v.verify(nullptr, report);
    }
    fs::remove_all(dir, ec);
    return 0;
}
