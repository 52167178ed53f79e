// Runs a program as a child with extra environment, its output in files, and its exit status.
#pragma once

#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

struct CliResult {
    int code = -1;  // the exit status, or 1000 + the signal that ended the process
    std::string out, err;
};

class CliRun {
  public:
    CliRun(std::string program, std::string outDir)
        : _program(std::move(program)), _outDir(std::move(outDir)) {}

    // Replaces ours of the same name in the child.
    std::map<std::string, std::string> env;
    std::string cwd;  // the child's current folder; empty: ours

    pid_t start(const std::vector<std::string>& args) const;
    CliResult finish(pid_t pid) const;
    CliResult run(const std::vector<std::string>& args) const { return finish(start(args)); }

  private:
    std::string _program, _outDir;
};

// The arguments argv_dump wrote to path (waiting up to ten seconds), then removes the file.
std::vector<std::string> waitForArgv(const std::string& path);
