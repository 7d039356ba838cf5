// ulmex-gateway: the daemon's entry, its data-plane children and its shutdown.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/prctl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/timer.h"
#include "common/log.h"
#include "common/sockaddr.h"
#include "common/strings.h"
#include "common/system.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_main.h"

namespace {

const char dp_name[] = "fernrelayd";

// A child that has neither bound its socket nor died by then is taken as hung.
constexpr long BIND_DEADLINE_MS = 5000;
// How long children get to leave after SIGTERM before they get SIGKILL.
constexpr long REAP_DEADLINE_MS = 3000;

ugwd_options opts;
volatile sig_atomic_t stop_flag;
volatile sig_atomic_t last_signal;
volatile sig_atomic_t child_died;
ugwd_ctl *volatile gateway;
// One slot per child in start order: its pid from fork on, -1 once reaped, 0 never started.
pid_t *volatile child_ids;
unsigned child_count;

void forget_child(pid_t pid)
{
    pid_t *ids = child_ids;
    for (unsigned i = 0; ids && i < child_count; i++)
        if (ids[i] == pid)
            ids[i] = -1;
}

void stop_signals(sigset_t *set)
{
    sigemptyset(set);
    sigaddset(set, SIGINT);
    sigaddset(set, SIGTERM);
    sigaddset(set, SIGQUIT);
    sigaddset(set, SIGCHLD);
}

} // namespace

void ugwd_main_signal(int sig)
{
    int saved = errno;
    last_signal = sig;
    if (sig == SIGINT || sig == SIGQUIT || sig == SIGTERM) {
        stop_flag = 1;
    } else if (sig == SIGCHLD) {
        pid_t pid;
        while ((pid = waitpid(-1, nullptr, WNOHANG)) > 0) {
            forget_child(pid);
            stop_flag = 1;
            child_died = 1;
        }
    }
    if (stop_flag && gateway)
        ugwd_ctl_wakeup(gateway);
    errno = saved;
}

void ugwd_main_cleanup()
{
    rundir_fini();
    log_close();
    ugwd_options_free(&opts);
}

namespace {

// Waits until the child has bound its socket (0), stop was asked for (1), or
// the child ended or missed the deadline (-1 with errno).
int wait_child_socket(pid_t pid, const char *path, const sigset_t *open_mask)
{
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    memcpy(sun.sun_path, path, strlen(path) + 1);
    int64_t deadline = monotonic_ms() + BIND_DEADLINE_MS;
    for (;;) {
        if (stop_flag)
            return 1;
        pid_t r = waitpid(pid, nullptr, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR)) {
            if (r == pid)
                forget_child(pid);
            errno = ESRCH;
            return -1;
        }
        struct stat st;
        if (lstat(path, &st) == 0 || unix_socket_exists(&sun))
            return 0;
        if (monotonic_ms() >= deadline) {
            errno = ETIMEDOUT;
            return -1;
        }
        // Signals get in only while we sleep here.
        timespec ts{0, 10 * 1000 * 1000};
        pselect(0, nullptr, nullptr, nullptr, &ts, open_mask);
    }
}

// 0 when started and attached, 1 when a stop came first, -1 on failure.
int start_child(unsigned index, const sigset_t *child_mask, const sigset_t *open_mask)
{
    ugwd_child_args args;
    ugwd_child_args_build(&args, &opts, index);
    if (log_enabled(LOG_COMP_ALL, ULOG_DEBUG)) {
        char line[1024] = "";
        for (const char *const *a = args.argv + 1; *a; a++) {
            string_lcat(line, " ", sizeof(line));
            string_lcat(line, *a, sizeof(line));
        }
        ulog(LOG_COMP_ALL, ULOG_DEBUG, "Starting data plane #%u: %s%s", index, args.argv[0], line);
    }
    pid_t parent = getpid();
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, "Failed to start data plane %s: %s\n", dp_name, strerror(errno));
        return -1;
    }
    if (pid == 0) {
        // Touch nothing the parent owns; just become the data plane.
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        signal(SIGQUIT, SIG_DFL);
        signal(SIGCHLD, SIG_DFL);
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) < 0 || getppid() != parent ||
            sigprocmask(SIG_SETMASK, child_mask, nullptr) < 0) {
            dprintf(2, "Failed to start data plane %s: %s\n", dp_name, strerror(errno));
            _exit(1);
        }
        execv(opts.dp_program, const_cast<char *const *>(args.argv));
        dprintf(2, "Failed to start data plane %s: %s\n", dp_name, strerror(errno));
        _exit(1);
    }
    child_ids[index] = pid;

    char path[sizeof(sockaddr_un::sun_path)];
    int n = snprintf(path, sizeof(path), "%s.%u", opts.dp_sock_prefix, static_cast<unsigned>(pid));
    int r;
    if (n < 0 || static_cast<size_t>(n) >= sizeof(path)) {
        errno = ENAMETOOLONG;
        r = -1;
    } else {
        r = wait_child_socket(pid, path, open_mask);
    }
    if (r == 0 && ugwd_ctl_add_proc(gateway, pid, path) < 0)
        r = -1;
    if (r < 0) {
        int err = errno;
        fprintf(stderr, "Failed to attach data plane #%u %s[%u]: %s\n", index, dp_name,
                static_cast<unsigned>(pid), strerror(err));
        if (err == ETIMEDOUT)
            kill(pid, SIGKILL); // hung: it would not go with SIGTERM either
    }
    return r;
}

void reap_children()
{
    sigset_t chld;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    int64_t deadline = monotonic_ms() + REAP_DEADLINE_MS;
    bool killed = false;
    for (;;) {
        pid_t pid = waitpid(-1, nullptr, WNOHANG);
        if (pid > 0) {
            forget_child(pid);
            continue;
        }
        if (pid < 0 && errno == EINTR)
            continue;
        if (pid < 0)
            return; // no child left
        int64_t left = deadline - monotonic_ms();
        if (left <= 0 && !killed) {
            for (unsigned i = 0; i < child_count && child_ids[i]; i++)
                if (child_ids[i] > 0)
                    kill(child_ids[i], SIGKILL);
            killed = true;
            deadline = monotonic_ms() + REAP_DEADLINE_MS;
            continue;
        }
        if (left <= 0)
            return; // not even SIGKILL ended it; leave it to init
        timespec ts{left / 1000, (left % 1000) * 1000000};
        sigtimedwait(&chld, nullptr, &ts);
    }
}

int main_shutdown(int status)
{
    sigset_t set;
    stop_signals(&set);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    int sig = last_signal;
    if (sig)
        ulog(LOG_COMP_ALL, ULOG_INFO, "Terminated by signal %d %s", sig,
             sig == SIGINT    ? "(SIGINT)"
             : sig == SIGTERM ? "(SIGTERM)"
             : sig == SIGCHLD ? "(SIGCHLD)"
                              : "");
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGCHLD, SIG_DFL);

    ugwd_ctl *ctl = gateway;
    gateway = nullptr;
    ugwd_ctl_free(ctl);

    if (child_ids) {
        for (unsigned i = 0; i < child_count && child_ids[i]; i++)
            if (child_ids[i] > 0)
                kill(child_ids[i], SIGTERM);
        reap_children();
        pid_t *ids = child_ids;
        child_ids = nullptr;
        free(ids);
    }
    // A child that died on its own is a failure, not a requested stop.
    if (child_died)
        return 1;
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    unsigned channels = ugwd_nic_channel_count();
    long cpus = system_cpu_count();
    ugwd_ctl_init();
    rundir_init();
    atexit(ugwd_main_cleanup);

    if (ugwd_options_defaults(&opts, channels, cpus > 0 ? static_cast<unsigned>(cpus) : 1) < 0) {
        fprintf(stderr, "Memory allocation failed\n");
        return 1;
    }
    switch (ugwd_options_parse(&opts, argc, argv, stdout, stderr)) {
    case UGWD_EXIT_OK:
        return 0;
    case UGWD_EXIT_FAIL:
        return 1;
    case UGWD_RUN:
        break;
    }
    if (!opts.dp_program) {
        fprintf(stderr, "Could not locate data plane binary %s: %s\n", dp_name,
                strerror(opts.dp_errno));
        return 1;
    }
    if (opts.daemon && daemonize("ulmex-gateway", opts.pid_file) < 0)
        return 1;

    child_count = opts.nprocs;
    child_ids = static_cast<pid_t *>(calloc(child_count, sizeof(pid_t)));
    if (!child_ids) {
        fprintf(stderr, "Failed to spawn %zu child processes: %s\n",
                static_cast<size_t>(child_count), strerror(errno));
        return 1;
    }

    uint8_t format = ugwd_log_format(&opts);
    int level = static_cast<int>(opts.debug);
    int r;
    if (opts.log_file) {
        // A fresh log, emptied through the descriptor we opened: removing the
        // name first would let a link put in its place be followed.
        r = log_open(opts.log_file, level, LOG_COMP_ALL, format, log_file);
        if (r == 0)
            log_truncate();
    } else {
        r = log_open("ulmex-gateway", level, LOG_COMP_ALL, format,
                     opts.syslog ? log_syslog : log_default);
    }
    if (r < 0)
        return 1;

    gateway = ugwd_ctl_create(opts.control_sock, opts.lease_file, opts.ifindex, opts.configure);
    if (!gateway)
        return main_shutdown(1);

    // Handlers go in before the first child, with their signals held back
    // except while waiting, so a child that dies early is noticed.
    sigset_t stops, open_mask, child_mask;
    stop_signals(&stops);
    sigprocmask(SIG_BLOCK, &stops, &open_mask);
    sigdelset(&open_mask, SIGINT);
    sigdelset(&open_mask, SIGTERM);
    sigdelset(&open_mask, SIGQUIT);
    sigdelset(&open_mask, SIGCHLD);
    sigemptyset(&child_mask);
    sigaddset(&child_mask, SIGINT);
    struct sigaction sa = {};
    sa.sa_handler = ugwd_main_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGQUIT, &sa, nullptr);
    sigaction(SIGCHLD, &sa, nullptr);

    for (unsigned i = 0; i < opts.nprocs && !stop_flag; i++) {
        r = start_child(i, &child_mask, &open_mask);
        if (r < 0)
            return main_shutdown(1);
    }

    if (opts.daemon && daemon_ready() < 0)
        return main_shutdown(1);
    if (opts.syslog && daemon_null_stdio() < 0)
        return main_shutdown(1);

    for (int s : {SIGALRM, SIGHUP, SIGPIPE, SIGIO, SIGPROF, SIGUSR1, SIGUSR2, SIGVTALRM})
        signal(s, SIG_IGN);

    ulog(LOG_COMP_ALL, ULOG_INFO, "Starting ulmex-gateway - Ulmex Gateway daemon");
    ulog(LOG_COMP_ALL, ULOG_INFO, "Version %s", ugwd_version);

    sigprocmask(SIG_SETMASK, &open_mask, nullptr);
    while (!stop_flag)
        ugwd_ctl_step(gateway, opts.port);
    return main_shutdown(0);
}
