// Runs a program as a child and reads its output, as get_process_socket_stats runs its traffic
// tool: posix_spawnp, standard input from /dev/null, standard output and standard error on pipes
// read to their end together, then waitpid.
//
//   spawn_peer HEADER_LINES PROGRAM ARG...
//
// A long-lived worker: each line on standard input asks for one run, answered on standard output
// with "<nanoseconds> <items>", items being the output lines after the first HEADER_LINES that do
// not start with a blank (ss -i writes each socket's details on an indented second line). A run
// that fails answers "-1 <exit status>".
#define _GNU_SOURCE
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

static char buffer[1 << 16];

static long long now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// Counts item lines in what arrives on standard output; standard error is read and dropped.
static long run(char** argv, long header_lines, int* status) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    pid_t child;
    int failed = posix_spawnp(&child, argv[0], &actions, NULL, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    long lines = 0, items = 0;
    int at_line_start = 1;
    struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    while (!failed && (fds[0].fd >= 0 || fds[1].fd >= 0)) {
        if (poll(fds, 2, -1) < 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                fds[i].fd = -1;
                continue;
            }
            for (ssize_t k = 0; i == 0 && k < n; ++k) {
                if (at_line_start && lines >= header_lines && buffer[k] != ' ' &&
                    buffer[k] != '\t' && buffer[k] != '\n') {
                    ++items;
                }
                at_line_start = buffer[k] == '\n';
                lines += at_line_start;
            }
        }
    }
    close(out[0]);
    close(err[0]);
    if (failed) return -1;
    waitpid(child, status, 0);
    return items;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: spawn_peer HEADER_LINES PROGRAM ARG...\n");
        return 2;
    }
    long header_lines = strtol(argv[1], NULL, 10);
    char line[64];
    while (fgets(line, sizeof line, stdin) != NULL) {
        int status = 0;
        long long start = now_ns();
        long items = run(argv + 2, header_lines, &status);
        long long elapsed = now_ns() - start;
        if (items < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            printf("-1 %d\n", status);
        } else {
            printf("%lld %ld\n", elapsed, items);
        }
        fflush(stdout);
    }
    return 0;
}
