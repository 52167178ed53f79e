#include "archive_cli/ArchiveWords.h"

#include "archive_cli/Cli.h"
#include "archive_cli/Session.h"

#include "archive/ops/Tresmo.h"
#include "archive/os/os.h"

#include <CLI/CLI.hpp>
#include <cstdlib>

namespace cli {

const char* const PATH_HELP =
    "A stored file or folder (from the current folder when inside the watched one)";

void ArchiveWords::add(CLI::App& cmd, Context& ctx, std::string& archive, std::vector<Word> words) {
    auto self = std::shared_ptr<ArchiveWords>(new ArchiveWords(archive, std::move(words)));
    self->_options.push_back(cmd.add_option(
        "ARCHIVE", archive, "The archive file (found from the current folder when left out)"));
    for (const Word& w : self->_words)
        self->_options.push_back(cmd.add_option(w.name, *w.value, w.help));
    cmd.parse_complete_callback([self, &ctx] { ctx.locate = [self, &ctx] { self->locate(ctx); }; });
}

size_t ArchiveWords::requiredCount() const {
    size_t n = 0;
    for (const Word& w : _words)
        n += w.required ? 1 : 0;
    return n;
}

void ArchiveWords::locate(const Context& ctx) const {
    std::vector<std::string> given;  // what was typed, in order
    for (CLI::Option* o : _options)
        if (o->count() > 0) given.push_back(o->as<std::string>());
    for (const Word& w : _words)
        w.value->clear();

    size_t first = 0;
    std::string archive;
    const char* env = std::getenv("TRESMO_ARCHIVE");
    if (!ctx.archiveOption.empty()) {
        archive = ctx.archiveOption;
    } else if (!given.empty() && (given.size() > _words.size() || namesArchive(given[0]) ||
                                  Tresmo::isArchiveFile(absolutePath(given[0])))) {
        archive = given[first++];
    } else if (env && *env) {
        archive = env;
    } else if (std::string found = archiveWatching(os::currentDir()); !found.empty()) {
        archive = found;
    } else if (given.size() > requiredCount()) {
        archive = given[first++];
    } else {
        const std::string cwd = os::currentDir();
        throw Usage("no archive given, and no archive watches " +
                    (cwd.empty() ? std::string("the current folder") : cwd) +
                    " or a folder above it; name one, or use -a ARCHIVE or TRESMO_ARCHIVE");
    }
    _archive = archive;
    if (given.size() - first > _words.size())
        throw Usage("unexpected argument '" + given[first + _words.size()] + "'");
    for (size_t i = 0; i < _words.size(); ++i) {
        if (first + i < given.size())
            *_words[i].value = given[first + i];
        else if (_words[i].required)
            throw Usage(_words[i].name + " is required");
    }
}

}  // namespace cli
