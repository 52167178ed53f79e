// The positional words of a command that works on an archive: [ARCHIVE] and then the
// command's own (PATH, DEST).
//
// Where the archive comes from, first match wins:
//   1. -a/--archive ARCHIVE; every word is then the command's own;
//   2. the first word, when it is an archive: a file that begins with the archive header, a
//      name with the archive or selection extension (so that a missing or damaged one is
//      reported as such), or any word when there are more words than the command takes;
//   3. $TRESMO_ARCHIVE;
//   4. the archive that watches the current folder or a folder above it: a folder D is
//      watched when D.trsm and D.sel lie beside it and the .sel names D;
//   5. the first word after all, when the command's own words do without it, so that the
//      error names what was typed.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace cli {

struct Context;

// The help of a PATH word: where a path starts.
extern const char* const PATH_HELP;

class ArchiveWords {
  public:
    struct Word {
        std::string name;  // as the help shows it: PATH
        std::string* value;
        bool required;
        std::string help;
    };

    // Adds ARCHIVE and each word as positionals of cmd (all optional for the parser); once
    // the command line chose cmd, the context's locate step fills archive and the words.
    static void add(CLI::App& cmd, Context& ctx, std::string& archive, std::vector<Word> words);

  private:
    ArchiveWords(std::string& archive, std::vector<Word> words)
        : _archive(archive), _words(std::move(words)) {}
    void locate(const Context& ctx) const;
    size_t requiredCount() const;

    std::string& _archive;
    std::vector<Word> _words;
    std::vector<CLI::Option*> _options;  // ARCHIVE, then one per word
};

}  // namespace cli
