// Process load for the benchmarks: "load_processes COUNT [PAIRS]" starts COUNT sleeping children
// with varied names and argument lists, each holding PAIRS connected loopback TCP pairs (both ends,
// so 2 * PAIRS sockets, alternately IPv4 and IPv6; none by default). It prints "ready COUNT" once
// every child holds its sockets, and holds the children until its standard input closes or it
// receives SIGTERM/SIGINT; then it kills and reaps every child. Each child also dies with its
// parent (PR_SET_PDEATHSIG), so nothing outlives the benchmark even if this holder is killed
// outright.
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

enum { MAX_CHILDREN = 4000, MAX_WORDS = 8, MAX_PAIRS = 2000 };

static volatile sig_atomic_t stop_requested = 0;

static void on_stop(int signal_number) {
    (void)signal_number;
    stop_requested = 1;
}

static _Noreturn void run_sleeper(const char* name) {
    prctl(PR_SET_NAME, name, 0, 0, 0);
    for (;;) pause();
}

// Builds the argument list of child `index` in `storage`: a name, the sleeper flag, an index and
// a varying number of words of varying length, some of them non-ASCII UTF-8.
static void child_arguments(int index, char storage[][64], char* argv[]) {
    int argc = 0;
    snprintf(storage[argc], 64, "bench-sleeper-%d", index % 50);
    argv[argc] = storage[argc];
    ++argc;
    argv[argc++] = "--sleeper";
    snprintf(storage[argc], 64, "--index=%d", index);
    argv[argc] = storage[argc];
    ++argc;
    int words = index % MAX_WORDS;
    for (int w = 0; w < words; ++w) {
        int length = 1 + (index * 7 + w * 13) % 40;
        if ((index + w) % 10 == 0) {
            snprintf(storage[argc], 64, "na\xc3\xafve-\xe2\x98\x83-%d", w);
        } else {
            for (int c = 0; c < length; ++c) storage[argc][c] = (char)('a' + (index + c * w) % 26);
            storage[argc][length] = '\0';
        }
        argv[argc] = storage[argc];
        ++argc;
    }
    argv[argc] = NULL;
}

// A listening socket on the loopback address of `family`, or -1.
static int loopback_listener(int family, struct sockaddr_storage* address, socklen_t* length) {
    memset(address, 0, sizeof *address);
    if (family == AF_INET) {
        struct sockaddr_in* in = (struct sockaddr_in*)address;
        in->sin_family = AF_INET;
        in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        *length = sizeof *in;
    } else {
        struct sockaddr_in6* in6 = (struct sockaddr_in6*)address;
        in6->sin6_family = AF_INET6;
        in6->sin6_addr = in6addr_loopback;
        *length = sizeof *in6;
    }
    int listener = socket(family, SOCK_STREAM, 0);
    if (listener < 0 || bind(listener, (struct sockaddr*)address, *length) != 0 ||
        listen(listener, 64) != 0 || getsockname(listener, (struct sockaddr*)address, length) != 0)
        return -1;
    return listener;
}

// Opens `pairs` connected TCP pairs on loopback, alternately IPv4 and IPv6, and keeps both ends
// open (they stay open across exec); the listeners are closed again. False on any failure.
static int open_pairs(int pairs) {
    static const int families[2] = {AF_INET, AF_INET6};
    struct sockaddr_storage addresses[2];
    socklen_t lengths[2];
    int listeners[2] = {-1, -1};
    for (int f = 0; f < 2 && f < pairs; ++f) {
        listeners[f] = loopback_listener(families[f], &addresses[f], &lengths[f]);
        if (listeners[f] < 0) return 0;
    }
    for (int i = 0; i < pairs; ++i) {
        int f = i % 2;
        int client = socket(families[f], SOCK_STREAM, 0);
        if (client < 0 || connect(client, (struct sockaddr*)&addresses[f], lengths[f]) != 0)
            return 0;
        if (accept(listeners[f], NULL, NULL) < 0) return 0;
    }
    for (int f = 0; f < 2; ++f) {
        if (listeners[f] >= 0) close(listeners[f]);
    }
    return 1;
}

// Starts child `index`, which writes one byte to `ready_fd` once it holds its sockets (or exits
// with status 3 when it cannot open them) and then becomes a sleeper.
static pid_t start_child(int index, pid_t holder, int pairs, int ready_fd) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
    if (getppid() != holder) _exit(0);
    if (!open_pairs(pairs)) _exit(3);
    if (write(ready_fd, "r", 1) != 1) _exit(3);
    close(ready_fd);
    char storage[MAX_WORDS + 3][64];
    char* argv[MAX_WORDS + 4];
    child_arguments(index, storage, argv);
    execv("/proc/self/exe", argv);
    _exit(127);
}

int main(int argc, char** argv) {
    if (argc >= 2 && strcmp(argv[1], "--sleeper") == 0) {
        char name[16];
        snprintf(name, sizeof name, "bsleep-%s", argc >= 3 ? argv[2] + 8 : "x");
        run_sleeper(name);
    }
    int count = argc >= 2 ? atoi(argv[1]) : 0;
    int pairs = argc >= 3 ? atoi(argv[2]) : 0;
    if (count <= 0 || count > MAX_CHILDREN || pairs < 0 || pairs > MAX_PAIRS) {
        fprintf(stderr, "usage: load_processes COUNT (1..%d) [PAIRS (0..%d)]\n", MAX_CHILDREN,
                MAX_PAIRS);
        return 2;
    }
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        perror("load_processes: pipe");
        return 1;
    }
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_stop;
    sigaction(SIGTERM, &action, NULL);
    sigaction(SIGINT, &action, NULL);

    static pid_t children[MAX_CHILDREN];
    int started = 0;
    pid_t holder = getpid();
    for (; started < count && !stop_requested; ++started) {
        children[started] = start_child(started, holder, pairs, ready[1]);
        if (children[started] < 0) {
            fprintf(stderr, "load_processes: fork failed after %d children: %s\n", started,
                    strerror(errno));
            break;
        }
    }
    close(ready[1]);
    int status = started == count ? 0 : 1;
    // Every child writes one byte once it holds its sockets; end of file before that means one
    // of them failed.
    for (int got = 0; status == 0 && got < started;) {
        char bytes[256];
        ssize_t n = read(ready[0], bytes, sizeof bytes);
        if (n < 0 && errno == EINTR && !stop_requested) continue;
        if (n <= 0) {
            fprintf(stderr, "load_processes: %d of %d children did not get ready\n", started - got,
                    started);
            status = 1;
        }
        got += (int)n;
    }
    close(ready[0]);
    if (status == 0) {
        printf("ready %d\n", started);
        fflush(stdout);
        char byte;
        while (!stop_requested && read(STDIN_FILENO, &byte, 1) > 0) {
        }
    }
    for (int i = 0; i < started; ++i) kill(children[i], SIGKILL);
    for (int i = 0; i < started; ++i) {
        while (waitpid(children[i], NULL, 0) < 0 && errno == EINTR) {
        }
    }
    return status;
}
