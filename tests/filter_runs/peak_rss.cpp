// peak_rss OUT PROGRAM ARGV0 [ARG...]
//
// Runs PROGRAM with ARGV0 as its argv[0], waits for it, writes its peak
// resident memory in kB to the file OUT and exits with its status (128 plus
// the signal when it was killed). A process started straight from a large
// test process would count that process's memory as its own peak: this one is
// small when it forks.
#include <cstdio>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 4)
        return 2;
    pid_t pid = fork();
    if (pid < 0)
        return 2;
    if (pid == 0) {
        execv(argv[2], argv + 3);
        _exit(127);
    }
    int status = 0;
    struct rusage usage = {};
    if (wait4(pid, &status, 0, &usage) != pid)
        return 2;
    if (FILE *f = fopen(argv[1], "w")) {
        fprintf(f, "%ld\n", usage.ru_maxrss);
        fclose(f);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
