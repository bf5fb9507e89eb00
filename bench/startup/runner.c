/* Runs one program and reports its wall time and peak resident set size:
 *   qor_bench_runner <working directory> <program>
 * prints "<wall nanoseconds> <peak RSS KiB> <exit code>". The runner is tiny on purpose: the peak RSS a
 * child reports includes what it inherited before exec, so it must not be forked from a large process. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc != 3)
    {
        fprintf(stderr, "usage: %s <working directory> <program>\n", argv[0]);
        return 2;
    }
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    const pid_t pid = fork();
    if (pid < 0)
    {
        perror("fork");
        return 2;
    }
    if (pid == 0)
    {
        const int devnull = open("/dev/null", O_RDWR);
        if (chdir(argv[1]) != 0 || devnull < 0)
            _exit(126);
        dup2(devnull, 1);
        dup2(devnull, 2);
        execl(argv[2], argv[2], (char*)NULL);
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    pid_t done;
    do
    {
        done = wait4(pid, &status, 0, &usage);
    } while (done < 0 && errno == EINTR);
    clock_gettime(CLOCK_MONOTONIC, &end);
    if (done != pid)
    {
        perror("wait4");
        return 2;
    }
    const long long nanoseconds =
        (long long)(end.tv_sec - start.tv_sec) * 1000000000LL + (long long)(end.tv_nsec - start.tv_nsec);
    printf("%lld %ld %d\n", nanoseconds, usage.ru_maxrss,
           WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    return 0;
}
