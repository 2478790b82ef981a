// The least work a socket listing can do through files: read the four socket tables
// (/proc/net/tcp, tcp6, udp, udp6) once, to their end, and resolve the link of every descriptor of
// every process (/proc/PID/fd/*), which is how a socket's inode is tied to its process.
//
// A long-lived worker: each line on standard input asks for one full pass, answered on standard
// output with "<nanoseconds> <CPU nanoseconds> <sockets in the tables> <socket descriptors>", so
// that only the pass is timed.
#define _GNU_SOURCE
#include <ctype.h>
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static char buffer[1 << 16];

static long count_lines(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    long lines = 0;
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) {
        for (ssize_t i = 0; i < n; ++i) lines += buffer[i] == '\n';
    }
    close(fd);
    return lines;
}

static long socket_links(int proc_fd, const char* pid) {
    char path[NAME_MAX + 8];
    snprintf(path, sizeof path, "%.*s/fd", NAME_MAX, pid);
    int fd_dir = openat(proc_fd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_dir < 0) return 0;
    DIR* fds = fdopendir(fd_dir);
    if (fds == NULL) {
        close(fd_dir);
        return 0;
    }
    long sockets = 0;
    struct dirent* entry;
    char target[128];
    while ((entry = readdir(fds)) != NULL) {
        if (!isdigit((unsigned char)entry->d_name[0])) continue;
        ssize_t n = readlinkat(fd_dir, entry->d_name, target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        sockets += strncmp(target, "socket:[", 8) == 0;
    }
    closedir(fds);
    return sockets;
}

static void pass(long* table_sockets, long* sockets) {
    static const char* const tables[] = {"/proc/net/tcp", "/proc/net/tcp6", "/proc/net/udp",
                                         "/proc/net/udp6"};
    *table_sockets = 0;
    for (size_t i = 0; i < sizeof tables / sizeof tables[0]; ++i) {
        long lines = count_lines(tables[i]);
        if (lines > 0) *table_sockets += lines - 1;  // the first line is the column header
    }
    *sockets = 0;
    DIR* proc = opendir("/proc");
    if (proc == NULL) return;
    struct dirent* entry;
    while ((entry = readdir(proc)) != NULL) {
        if (!isdigit((unsigned char)entry->d_name[0])) continue;
        *sockets += socket_links(dirfd(proc), entry->d_name);
    }
    closedir(proc);
}

static long long now_ns(clockid_t clock) {
    struct timespec ts;
    clock_gettime(clock, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

int main(void) {
    char line[256];
    while (fgets(line, sizeof line, stdin) != NULL) {
        long table_sockets = 0;
        long sockets = 0;
        long long cpu_start = now_ns(CLOCK_PROCESS_CPUTIME_ID);
        long long start = now_ns(CLOCK_MONOTONIC);
        pass(&table_sockets, &sockets);
        long long elapsed = now_ns(CLOCK_MONOTONIC) - start;
        long long cpu = now_ns(CLOCK_PROCESS_CPUTIME_ID) - cpu_start;
        printf("%lld %lld %ld %ld\n", elapsed, cpu, table_sockets, sockets);
        fflush(stdout);
    }
    return 0;
}
