#include "support/CliRun.h"

#include "support/ArchiveCheck.h"

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>

extern char** environ;

pid_t CliRun::start(const std::vector<std::string>& args) const {
    std::vector<std::string> copy = args;
    copy.insert(copy.begin(), _program);
    std::vector<char*> argv;
    for (std::string& a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> vars;
    for (char** e = environ; *e; ++e) {
        std::string v = *e;
        if (!env.count(v.substr(0, v.find('=')))) vars.push_back(v);
    }
    for (const auto& [name, value] : env)
        vars.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& v : vars)
        envp.push_back(v.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    const std::string out = _outDir + "/stdout", err = _outDir + "/stderr";
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
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
