// The window while a build writes into its folder: a watched folder of 100,000 files, shown in
// the file list, and a writer adding 1,000 files a second for 5 seconds. Prints the longest gap
// of a 10 ms timer on the UI thread (how long the window could not answer; target 100 ms) and
// the time from the last write until the window counts every file as pending (target 2 s).
// Not a test: run it by hand, offscreen (target tresmo_live_bench):
//   QT_QPA_PLATFORM=offscreen tresmo_live_bench [files [seconds [per second]]]
#include "archive_gui/doc/ArchiveDoc.h"
#include "archive_gui/frame/MainFrame.h"
#include "archive_gui/views/DirTreeView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeView>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace {

void writeFile(const std::string& path) {
    std::ofstream(path) << "x";
}

std::string name(const char* prefix, int i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s%06d.txt", prefix, i);
    return buf;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const int files = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 5;
    const int rate = argc > 3 ? std::atoi(argv[3]) : 1000;
    QTemporaryDir tmp;
    qputenv("TRESMO_CONFIG_DIR", tmp.path().toUtf8());
    const std::string w = tmp.path().toStdString() + "/w";
    std::filesystem::create_directory(w);
    for (int i = 0; i < files; ++i)
        writeFile(w + "/" + name("f", i));

    ArchiveDoc doc;
    MainFrame frame{doc};
    frame.show();
    FileSel sel;
    sel.setFolder(w);
    QElapsedTimer clock;
    clock.start();
    doc.applySelection(sel);
    std::printf("loaded %d files in %lld ms\n", files, clock.elapsed());
    // The big folder in the file list: every change shows there.
    QTreeView* tree = frame.findChild<DirTreeView*>()->treeView();
    tree->setCurrentIndex(tree->model()->index(0, 0));
    QApplication::processEvents();

    const int writes = seconds * rate;
    std::atomic<bool> written{false};
    std::atomic<qint64> lastWrite{0};
    clock.restart();
    std::thread writer([&] {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < writes; ++i) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(1000000LL * i / rate));
            writeFile(w + "/" + name("new", i));
        }
        lastWrite = clock.nsecsElapsed();
        written = true;
    });

    qint64 previous = 0, longestGap = 0, rightAt = -1;
    int looks = 0;
    QObject::connect(&doc, &ArchiveDoc::liveUpdated, [&] { ++looks; });
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        longestGap = std::max(longestGap, now - previous);
        previous = now;
        const Node* root = doc.archive().root();
        if (written && root && root->info && root->info->pending == files + writes) {
            rightAt = now;
            app.quit();
        } else if (now > 120'000'000'000LL) {
            app.quit();
        }
    });
    tick.start(10);
    app.exec();
    writer.join();
    std::printf("%d files written at %d a second; %d looks\n", writes, rate, looks);
    std::printf("longest UI gap: %.1f ms (target 100)\n", longestGap / 1e6);
    if (rightAt < 0) {
        std::printf("pending list never right (%d pending)\n", doc.archive().root()->info->pending);
        return 1;
    }
    std::printf("pending list right %.0f ms after the last write (target 2000)\n",
                (rightAt - lastWrite) / 1e6);
    return 0;
}
