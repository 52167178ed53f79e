// A document's file selection: the watched folder, whether its subfolders are scanned and
// which are excepted, and the file types that are the only ones taken (include mode) or the
// ones left out (exclude mode).
//
// Copies share one data object until one of them is changed (copy on write). A setter that
// gives a field the value it already has changes nothing; any real change clears `saved`.
// The selection is stored in its own object file beside the document; write() and read()
// show their own failures (2100, 2101) and return false.
#pragma once

#include <memory>
#include <string>
#include <vector>

class FileSel {
  public:
    FileSel();

    // The selection file's path; empty before the document has one.
    const std::string& file() const { return _data->file; }
    // The watched folder; empty when none is chosen.
    const std::string& folder() const { return _data->folder; }
    bool includeSubfolders() const { return _data->includeSubfolders; }
    // Subfolder names separated by commas, as the user entered them.
    const std::string& exceptions() const { return _data->exceptions; }
    bool excludeTypes() const { return _data->excludeTypes; }
    const std::vector<std::string>& types() const { return _data->types; }
    bool saved() const { return _data->saved; }
    // Whether a new archive keeps file metadata (permission bits); the archive's first save
    // makes the choice its own. A file without the value is plain.
    bool metaFormat() const { return _data->metaFormat; }
    void setMetaFormat(bool on);
    bool isListed(const std::string& type) const;

    void setFile(const std::string& path);
    void setFolder(const std::string& path);
    void setIncludeSubfolders(bool on);
    void setExceptions(const std::string& text);
    void setExcludeTypes(bool on);
    // Adds the type at the end of the list or removes it; compared exactly, case-sensitive.
    void setListed(const std::string& type, bool on);

    // Writes the selection to file(); true on success.
    bool write();
    // Reads file(). A selection file that moved together with the folder it selects has that
    // folder re-based onto its new place; a stored folder that no longer exists is dropped.
    bool read();
    // As read(), but a file that cannot be read is only false, not shown.
    bool readQuietly();

    // True when both handles share one data object (for tests of the sharing).
    bool sharesWith(const FileSel& other) const { return _data == other._data; }

  private:
    struct Data {
        std::string file;
        std::string folder;
        bool includeSubfolders = true;
        std::string exceptions;
        bool excludeTypes = true;
        std::vector<std::string> types;
        bool metaFormat = false;
        bool saved = false;
    };
    Data& detach();
    void readFrom(const std::string& path);

    std::shared_ptr<Data> _data;
};
