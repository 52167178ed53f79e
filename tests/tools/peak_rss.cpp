// Runs a program and writes its peak resident memory in KiB to $PEAK_RSS_FILE; exits as the
// program did. A child started straight from a large test process would inherit that
// process's peak (Linux keeps it across exec); one forked from this small one does not.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
    const char* out = std::getenv("PEAK_RSS_FILE");
    if (argc < 2 || !out) return 2;
    pid_t pid = fork();
    if (pid == 0) {
        execv(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    struct rusage ru {};
    if (pid < 0 || wait4(pid, &status, 0, &ru) < 0) return 3;
    if (FILE* f = std::fopen(out, "w")) {
        std::fprintf(f, "%ld\n", ru.ru_maxrss);
        std::fclose(f);
    }
    if (WIFSIGNALED(status)) {
        std::signal(WTERMSIG(status), SIG_DFL);
        raise(WTERMSIG(status));
    }
    return WEXITSTATUS(status);
}
