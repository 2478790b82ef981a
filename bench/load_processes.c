// Process load for the benchmarks: "load_processes COUNT" starts COUNT sleeping children with
// varied names and argument lists, prints "ready COUNT" and holds them until its standard input
// closes or it receives SIGTERM/SIGINT; then it kills and reaps every child. Each child also dies
// with its parent (PR_SET_PDEATHSIG), so nothing outlives the benchmark even if this holder is
// killed outright.
#define _GNU_SOURCE
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

enum { MAX_CHILDREN = 4000, MAX_WORDS = 8 };

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

static pid_t start_child(int index, pid_t holder) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
    if (getppid() != holder) _exit(0);
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
    if (count <= 0 || count > MAX_CHILDREN) {
        fprintf(stderr, "usage: load_processes COUNT (1..%d)\n", MAX_CHILDREN);
        return 2;
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
        children[started] = start_child(started, holder);
        if (children[started] < 0) {
            fprintf(stderr, "load_processes: fork failed after %d children: %s\n", started,
                    strerror(errno));
            break;
        }
    }
    int status = started == count ? 0 : 1;
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
