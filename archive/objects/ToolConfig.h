// Viewer and diff programs chosen by file extension.
//
// A ToolConfig is an ordered list of entries (program, options with "%1"/"%2" placeholders,
// extension list); the first entry whose list holds a file's extension serves the file. The
// list lives in the string store under "<name>.itemCount", "<name>.program<i>",
// "<name>.options<i>" and "<name>.extList<i>", and is read on first use. Two lists exist:
// viewerConfig() and diffToolConfig(). Store writes that fail are ignored; the list in memory
// stays as edited.
#pragma once

#include <string>
#include <vector>

class ToolConfig {
  public:
    static constexpr int MAX_TOOLS = 1000;  // rows read from the store at most
    explicit ToolConfig(std::string name) : _name(std::move(name)) {}

    int count();
    const std::string& program(int i) const { return _entries.at(static_cast<size_t>(i)).program; }
    const std::string& options(int i) const { return _entries.at(static_cast<size_t>(i)).options; }
    const std::string& extList(int i) const { return _entries.at(static_cast<size_t>(i)).extList; }

    // Index of the first entry serving path's extension, or -1.
    int find(const std::string& path);
    // A valid list that shares no extension with any entry but entry i (-1 for a new one).
    bool isValidExtList(const std::string& list, int i) const;
    void add(const std::string& program, const std::string& options, const std::string& extList);
    void replace(int i, const std::string& program, const std::string& options,
                 const std::string& extList);
    void remove(int i);
    void move(int i, int j);

    // The command line of entry i as the user sees it; false when it does not fit size.
    bool viewerCommand(char* out, size_t size, int i, const std::string& file) const;
    bool diffCommand(char* out, size_t size, int i, const std::string& file1,
                     const std::string& file2) const;
    // The arguments the program is started with: the template is split first and the file
    // names substituted inside the arguments their placeholders stand in, so a name is always
    // exactly one argument (or part of the one its placeholder is in).
    std::vector<std::string> viewerArgv(int i, const std::string& file) const;
    std::vector<std::string> diffArgv(int i, const std::string& file1,
                                      const std::string& file2) const;

    // The checks an entry passes before it is stored, shared by the Tool Setup dialog and
    // tresmo-cli: the program fewer than 99 characters, a valid absolute path of something
    // that exists; the options fewer than 99 characters; the extension list fewer than 99
    // characters and accepted by isValidExtList(extList, i) (i: the entry being replaced, -1
    // for a new one). Returns the first field that fails, or None.
    enum class Field { None, Program, Options, ExtList };
    Field checkEntry(const std::string& program, const std::string& options,
                     const std::string& extList, int i) const;

    // Forgets the list read so far, so the next use reads the store again.
    void reload() {
        _loaded = false;
        _entries.clear();
    }

    // Whether list is a valid extension list, and whether it holds ext.
    static bool validList(const std::string& list);
    static bool contains(const std::string& list, const std::string& ext);

  private:
    struct Entry {
        std::string program, options, extList;
    };
    void load();
    void storeEntry(int i) const;
    void storeCount() const;
    std::string key(const char* what, int i = -1) const;

    std::string _name;
    bool _loaded = false;
    std::vector<Entry> _entries;
};

ToolConfig& viewerConfig();
ToolConfig& diffToolConfig();
