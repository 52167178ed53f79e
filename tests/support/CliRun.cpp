#include "support/CliRun.h"

#include "support/ArchiveCheck.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>

extern char** environ;

static std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (std::string& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

pid_t CliRun::start(const std::vector<std::string>& args) const {
    std::vector<std::string> copy = args, vars;
    copy.insert(copy.begin(), _program);
    for (char** e = environ; *e; ++e)
        if (!env.count(std::string(*e, std::strcspn(*e, "=")))) vars.push_back(*e);
    for (const auto& [name, value] : env)
        vars.push_back(name + "=" + value);
    std::vector<char*> argv = pointers(copy), envp = pointers(vars);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    const std::string out = _outDir + "/stdout", err = _outDir + "/stderr";
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
    pid_t pid = -1;
    int rc = posix_spawn(&pid, _program.c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) throw std::runtime_error("cannot start " + _program);
    return pid;
}

CliResult CliRun::finish(pid_t pid) const {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    CliResult r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    r.out = check::fileBytes(_outDir + "/stdout");
    r.err = check::fileBytes(_outDir + "/stderr");
    return r;
}

std::vector<std::string> waitForArgv(const std::string& path) {
    for (int i = 0; i < 1000 && !std::filesystem::exists(path); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::string data = check::fileBytes(path);
    std::vector<std::string> args;
    for (size_t pos = 0; pos < data.size(); pos = data.find('\0', pos) + 1)
        args.push_back(data.substr(pos, data.find('\0', pos) - pos));
    std::error_code ec;
    std::filesystem::remove(path, ec);
    return args;
}
