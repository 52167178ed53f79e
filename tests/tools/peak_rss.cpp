// peak_rss FILE PROGRAM [ARGS...]: runs the program and writes its peak resident memory in KiB
// to FILE; exits as the program did. The program is forked from this small process, so the
// figure is its own: one started straight from a large test process would report the test's
// peak too (the kernel keeps the larger of the memory replaced by exec and the new one).
#include <cstdio>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 3) return 125;
    pid_t pid = fork();
    if (pid == 0) {
        execv(argv[2], argv + 2);
        _exit(127);
    }
    int status = 0;
    struct rusage ru {};
    if (pid < 0 || wait4(pid, &status, 0, &ru) != pid) return 126;
    if (FILE* f = std::fopen(argv[1], "w")) {
        std::fprintf(f, "%ld\n", ru.ru_maxrss);
        std::fclose(f);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
