// A document for the views and screenshots: a real archive written at chosen times.
#pragma once

#include "archive_gui/doc/ViewDoc.h"

#include "archive/objects/FileSel.h"
#include "archive/ops/Tresmo.h"

#include <QTemporaryDir>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/time.h>

class ViewTestDoc : public ViewDoc {
  public:
    ViewTestDoc() {
        std::filesystem::create_directories(_folder);
        _sel.setFolder(_folder);
        _sel.setIncludeSubfolders(true);
    }

    Tresmo& archive() override { return _a; }
    bool valid() const override { return _valid; }
    bool busy() const override { return false; }

    void put(const std::string& rel, const std::string& data, int64_t mtime) const {
        std::filesystem::path p = std::filesystem::path(_folder) / rel;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << data;
        struct timeval tv[2] = {{static_cast<time_t>(mtime), 0}, {static_cast<time_t>(mtime), 0}};
        ::utimes(p.c_str(), tv);
    }
    void remove(const std::string& rel) const {
        std::filesystem::remove_all(std::filesystem::path(_folder) / rel);
    }

    // Stores what changed at time t as one transaction, as another run of the program would.
    bool save(int64_t t) const {
        Tresmo a;
        a.setPath(_archivePath);
        return a.refresh(_sel, t) && a.save();
    }

    // Reloads at time t (from the Current range's start unless from is given), sending the hints.
    void reload(int64_t t, int64_t from = 0) {
        emit treeAboutToGo();
        if (from) _a.setRange(from, _a.to());
        _a.setPath(_archivePath);
        _valid = _a.refresh(_sel, t);
        updateViews(HINT_STRUCTURE);
        _a.pruneSelection();
        _a.updateSelectionInfo();
        _a.updateVersionMarks();
        updateViews(HINT_SELECTION);
    }

    // Opens the archive as of time t: both range ends at now, then the first update.
    void open(int64_t t) {
        emit treeAboutToGo();
        _a.setRange(t, t);
        _a.setPath(_archivePath);
        _valid = _a.refresh(_sel, t);
        _a.setRange(_a.now(), _a.now());
        _a.updateFolderInfo();
    }

  private:
    QTemporaryDir _tmp;
    std::string _folder = _tmp.path().toStdString() + "/work";
    std::string _archivePath = _folder + ".trsm";
    FileSel _sel;
    Tresmo _a;
    bool _valid = true;
};
