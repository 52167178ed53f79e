#include "archive/support/process.h"

#include "archive/os/os.h"

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// The program name: quotes group and vanish, and backslashes are ordinary bytes, because a
// program path may end in a folder separator right before its closing quote.
size_t takeProgram(std::string_view s, size_t i, std::string& out) {
    bool quoted = false;
    for (; i < s.size(); ++i) {
        char c = s[i];
        if (c == '"')
            quoted = !quoted;
        else if (isBlank(c) && !quoted)
            break;
        else
            out += c;
    }
    return i;
}

size_t takeArgument(std::string_view s, size_t i, std::string& out) {
    bool quoted = false;
    while (i < s.size()) {
        char c = s[i];
        if (c == '\\') {
            size_t n = 0;
            while (i < s.size() && s[i] == '\\')
                ++n, ++i;
            if (i < s.size() && s[i] == '"') {
                out.append(n / 2, '\\');
                if (n % 2) {
                    out += '"';
                    ++i;
                }
                // An even count leaves the quote to the code below, as a delimiter.
            } else {
                out.append(n, '\\');
            }
            continue;
        }
        if (c == '"') {
            if (quoted && i + 1 < s.size() && s[i + 1] == '"') {
                out += '"';
                i += 2;
                continue;
            }
            quoted = !quoted;
            ++i;
            continue;
        }
        if (isBlank(c) && !quoted) break;
        out += c;
        ++i;
    }
    return i;
}

}  // namespace

std::vector<std::string> splitCommandLine(std::string_view s) {
    std::vector<std::string> args;
    size_t i = 0;
    for (;;) {
        while (i < s.size() && isBlank(s[i]))
            ++i;
        if (i == s.size()) break;
        std::string arg;
        i = args.empty() ? takeProgram(s, i, arg) : takeArgument(s, i, arg);
        args.push_back(std::move(arg));
    }
    return args;
}

std::vector<std::string> expandCommandTemplate(std::string_view commandTemplate,
                                               std::string_view file1, std::string_view file2) {
    std::vector<std::string> args = splitCommandLine(commandTemplate);
    for (std::string& arg : args) {
        std::string out;
        for (size_t i = 0; i < arg.size(); ++i) {
            if (arg[i] == '%' && i + 1 < arg.size() && (arg[i + 1] == '1' || arg[i + 1] == '2')) {
                out += arg[i + 1] == '1' ? file1 : file2;
                ++i;
            } else {
                out += arg[i];
            }
        }
        arg = std::move(out);
    }
    return args;
}

bool startProcess(const std::vector<std::string>& argv) {
    if (argv.empty() || argv[0].empty()) return false;
    std::vector<char*> ptrs;
    ptrs.reserve(argv.size() + 1);
    for (const std::string& a : argv)
        ptrs.push_back(const_cast<char*>(a.c_str()));
    ptrs.push_back(nullptr);
    pid_t pid;
    return os::sys().spawn(&pid, ptrs[0], ptrs.data()) == 0;
}

bool startProcess(const char* commandLine) {
    return commandLine && startProcess(splitCommandLine(commandLine));
}

bool shellOpen(const char* path) {
    std::string arg = path;
    // A relative name starting with '-' would be read as an option.
    if (arg.starts_with('-')) arg = "./" + arg;
    return startProcess(std::vector<std::string>{"xdg-open", arg});
}
