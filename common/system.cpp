#include "common/system.h"

#include <cerrno>
#include <iterator>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/log.h"

// ---- worker

int worker_start(worker *w, worker_job_fn job, void *arg)
{
    w->fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (w->fd < 0) {
        *w = worker{};
        return -1;
    }
    w->job = job;
    w->arg = arg;
    int err = pthread_create(&w->thread, nullptr, worker_thread, w);
    if (err) {
        close(w->fd);
        *w = worker{};
        errno = err;
        return -1;
    }
    return 0;
}

void *worker_thread(void *arg)
{
    auto *w = static_cast<worker *>(arg);
    void *result = w->job(w->arg);
    uint64_t one = 1;
    if (write(w->fd, &one, sizeof(one)) != sizeof(one))
        return reinterpret_cast<void *>(-1);
    return result;
}

int worker_join(worker *w, void **result)
{
    if (w->fd < 0) {
        errno = EBADF;
        return -1;
    }
    void *r = nullptr;
    int err = pthread_join(w->thread, &r);
    if (err) {
        errno = err;
        return -1;
    }
    if (result)
        *result = r;
    close(w->fd);
    *w = worker{};
    return 0;
}

int worker_cancel(worker *w)
{
    if (w->fd < 0) {
        errno = EBADF;
        return -1;
    }
    pthread_cancel(w->thread);
    pthread_join(w->thread, nullptr);
    close(w->fd);
    *w = worker{};
    return 0;
}

// ---- daemon

namespace {

int pidfile_fd = -1;
char *pidfile_path = nullptr;

void print_error(const char *what)
{
    fprintf(stderr, "%s: %s\n", what, strerror(errno));
}

} // namespace

int daemonize(const char *progname, const char *pidfile)
{
    static const char *const sanitize[] = {"Could not sanitize stdin", "Could not sanitize stdout",
                                           "Could not sanitize stderr"};
    for (int fd = 0; fd < 3; fd++) {
        if (fcntl(fd, F_GETFD) >= 0)
            continue;
        int got = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (got != fd) {
            if (got >= 0) {
                close(got);
                errno = EBADF;
            }
            print_error(sanitize[fd]);
            return -1;
        }
    }

    int fd = -1;
    if (pidfile) {
        // The run directory may be writable by others: a link planted there
        // must not make us truncate whatever it points at.
        fd = log_open_regular(pidfile, O_RDWR | O_CREAT, 0640);
        if (fd < 0) {
            if (errno == EINVAL)
                fprintf(stderr, "Could not create PID file: %s is not a regular file\n", pidfile);
            else
                print_error("Could not create PID file");
            return -1;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) < 0) {
            if (errno == EWOULDBLOCK)
                fprintf(stderr, "Another instance of %s is already running\n", progname);
            else
                print_error("Could not lock PID file");
            close(fd);
            return -1;
        }
    }

    fflush(nullptr);
    pid_t child = fork();
    if (child < 0) {
        print_error("Could not fork background process");
        if (pidfile) {
            unlink(pidfile);
            close(fd);
        }
        return -1;
    }

    if (child > 0) {
        // The parent stays until the child reports ready (it stops itself) or ends.
        int status = 0;
        for (;;) {
            pid_t r = waitpid(child, &status, WUNTRACED);
            if (r == child)
                break;
            if (r < 0 && errno != EINTR)
                exit(1);
        }
        if (WIFSTOPPED(status)) {
            kill(child, SIGCONT);
            exit(0);
        }
        exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
    }

    if (pidfile) {
        // Truncate first: a longer stale id must not leave digits behind.
        char text[24];
        int n = snprintf(text, sizeof(text), "%u\n", static_cast<unsigned>(getpid()));
        if (ftruncate(fd, 0) < 0 || pwrite(fd, text, static_cast<size_t>(n), 0) != n ||
            !(pidfile_path = strdup(pidfile))) {
            print_error("Failed to write pid");
            unlink(pidfile);
            close(fd);
            return -1;
        }
        pidfile_fd = fd;
        atexit(daemon_pidfile_cleanup);
    }
    setsid();
    umask(027);
    return 0;
}

int daemon_null_stdio()
{
    close(0);
    close(1);
    close(2);
    int fd = open("/dev/null", O_RDWR);
    if (fd < 0)
        return -1;
    if (fd != 0 || dup2(0, 1) != 1 || dup2(0, 2) != 2) {
        errno = EBADF;
        return -1;
    }
    return 0;
}

int daemon_ready()
{
    if (chdir("/") < 0) {
        print_error("chdir");
        return -1;
    }
    if (daemon_null_stdio() < 0)
        return -1;
    raise(SIGSTOP);
    return 0;
}

void daemon_pidfile_cleanup()
{
    if (pidfile_fd >= 0)
        close(pidfile_fd);
    pidfile_fd = -1;
    if (pidfile_path)
        unlink(pidfile_path);
    free(pidfile_path);
    pidfile_path = nullptr;
}

// ---- run directories

namespace {

const char default_tmp[] = "/tmp";
const char default_var[] = "/var";
const char default_run[] = "/var/run";

void rundir_set(const char **slot, char *value, const char *fallback)
{
    if (*slot != fallback)
        free(const_cast<char *>(*slot));
    *slot = value ? value : fallback;
}

// The environment's value when it names a usable directory; null otherwise.
char *rundir_from_env(const char *name)
{
    const char *value = getenv(name);
    if (!value)
        return nullptr;
    char *resolved = dir_resolve(value);
    if (!resolved)
        fprintf(stderr, "Ignoring %s=%s: %s\n", name, value, strerror(errno));
    return resolved;
}

} // namespace

const char *rundir_tmp = default_tmp;
const char *rundir_var = default_var;
const char *rundir_run = default_run;

int dir_check(const char *path)
{
    struct stat st;
    if (stat(path, &st) < 0)
        return -1;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
    }
    return access(path, R_OK | X_OK);
}

char *dir_resolve(const char *path)
{
    if (dir_check(path) < 0)
        return nullptr;
    return realpath(path, nullptr);
}

void rundir_init()
{
    rundir_fini();
    char *tmp = rundir_from_env("TMPDIR");
    char *var = rundir_from_env("VARDIR");
    char *run = nullptr;
    if (var) {
        char sub[PATH_MAX];
        if (snprintf(sub, sizeof(sub), "%s/run", var) < static_cast<int>(sizeof(sub)))
            run = dir_resolve(sub);
    }
    if (char *env_run = rundir_from_env("RUNDIR")) {
        free(run);
        run = env_run;
    }
    if (!tmp)
        tmp = dir_resolve(default_tmp);
    if (!var)
        var = dir_resolve(default_var);
    if (!run)
        run = dir_resolve(default_run);
    rundir_set(&rundir_tmp, tmp, default_tmp);
    rundir_set(&rundir_var, var, default_var);
    rundir_set(&rundir_run, run, default_run);
}

void rundir_fini()
{
    rundir_set(&rundir_tmp, nullptr, default_tmp);
    rundir_set(&rundir_var, nullptr, default_var);
    rundir_set(&rundir_run, nullptr, default_run);
}

// ---- interface queries

int ethtool_ioctl(const char *ifname, void *request)
{
    struct ifreq ifr = {};
    if (strlen(ifname) >= sizeof(ifr.ifr_name)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(ifr.ifr_name, ifname, strlen(ifname));
    ifr.ifr_data = static_cast<char *>(request);
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int r = ioctl(fd, SIOCETHTOOL, &ifr);
    int saved = errno;
    close(fd);
    errno = saved;
    return r;
}

int ethtool_get_channels(const char *ifname, ethtool_channels *channels)
{
    *channels = ethtool_channels{};
    channels->cmd = ETHTOOL_GCHANNELS;
    return ethtool_ioctl(ifname, channels);
}

// ---- features

namespace {

constexpr const char *feature_names[] = {"aes",      "crc32c",   "xdp",    "xsk",
                                         "alu32",    "jit",      "fragment", "zerocopy",
                                         "fabric",   "radio",    "service"};

} // namespace

uint32_t features;
char features_text[111];

void features_format(char *buffer, size_t size, uint32_t bits)
{
    if (!size)
        return;
    buffer[0] = '\0';
    size_t n = 0;
    for (unsigned bit = 0; bit < std::size(feature_names); bit++) {
        if (!(bits & (1u << bit)))
            continue;
        int r = snprintf(buffer + n, size - n, "%s%s", n ? " " : "", feature_names[bit]);
        if (r < 0 || static_cast<size_t>(r) >= size - n) {
            buffer[n] = '\0'; // never leave half a name
            return;
        }
        n += static_cast<size_t>(r);
    }
}

int features_set(unsigned bit)
{
    if (bit >= 32) {
        errno = EINVAL;
        return -1;
    }
    features |= 1u << bit;
    features_format(features_text, sizeof(features_text), features);
    return 0;
}

// ---- system information

int system_random(void *buffer, size_t n)
{
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        ulog(LOG_COMP_COMMON, ULOG_ERROR, "Could not open /dev/urandom: %s", strerror(errno));
        return -1;
    }
    size_t got = 0;
    while (got < n) {
        ssize_t r = read(fd, static_cast<char *>(buffer) + got, n - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        got += static_cast<size_t>(r);
    }
    close(fd);
    if (got < n) {
        errno = EIO;
        return -1;
    }
    return 0;
}

long system_page_size()
{
    return sysconf(_SC_PAGESIZE);
}

long system_cpu_count()
{
    return sysconf(_SC_NPROCESSORS_ONLN);
}

ssize_t system_hugepage_size_from(const char *path)
{
    FILE *f = fopen(path, "re");
    if (!f) {
        errno = ENOSYS;
        return -1;
    }
    char line[256];
    ssize_t result = -1;
    while (fgets(line, sizeof(line), f)) {
        long long size;
        char unit;
        if (sscanf(line, "Hugepagesize: %lld %cB", &size, &unit) != 2)
            continue;
        int shift = unit == 'k' ? 10 : unit == 'M' ? 20 : unit == 'G' ? 30 : -1;
        if (shift >= 0 && size >= 0 && size <= (static_cast<long long>(SSIZE_MAX) >> shift))
            result = static_cast<ssize_t>(size) << shift;
        break;
    }
    fclose(f);
    if (result < 0)
        errno = ENOSYS;
    return result;
}

ssize_t system_hugepage_size()
{
    return system_hugepage_size_from("/proc/meminfo");
}

int system_parse_cputime(const char *stat, uint64_t *usec)
{
    // The command name may hold blanks and parentheses: count fields after the last ')'.
    const char *p = strrchr(stat, ')');
    if (!p) {
        errno = EINVAL;
        return -1;
    }
    unsigned long long utime, stime;
    if (sscanf(p + 1, " %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %llu %llu", &utime, &stime) !=
        2) {
        errno = EINVAL;
        return -1;
    }
    long ticks = sysconf(_SC_CLK_TCK);
    if (ticks <= 0)
        ticks = 100;
    unsigned __int128 us = (static_cast<unsigned __int128>(utime) + stime) * 1000000u /
                           static_cast<unsigned long>(ticks);
    *usec = us > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(us);
    return 0;
}

int system_proc_cputime(pid_t pid, uint64_t *usec)
{
    char path[32];
    snprintf(path, sizeof(path), "/proc/%u/stat", static_cast<unsigned>(pid));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        ulog(LOG_COMP_COMMON, ULOG_ERROR, "Could not open %s: %s", path, strerror(errno));
        return -1;
    }
    char text[1024];
    ssize_t n = read(fd, text, sizeof(text) - 1);
    int saved = errno;
    close(fd);
    if (n <= 0) {
        errno = n < 0 ? saved : EINVAL;
        return -1;
    }
    text[n] = '\0';
    return system_parse_cputime(text, usec);
}

char *system_abspath(const char *path)
{
    const char *slash = strrchr(path, '/');
    const char *base = slash ? slash + 1 : path;
    char *dir;
    if (!slash) {
        dir = realpath(".", nullptr);
    } else if (slash == path) {
        dir = realpath("/", nullptr);
    } else {
        char *head = strndup(path, static_cast<size_t>(slash - path));
        if (!head)
            return nullptr;
        dir = realpath(head, nullptr);
        free(head);
    }
    if (!dir)
        return nullptr;
    size_t dlen = strlen(dir);
    if (dlen && dir[dlen - 1] == '/')
        dlen--; // the root directory
    size_t blen = strlen(base);
    char *out = static_cast<char *>(malloc(dlen + 1 + blen + 1));
    if (out) {
        memcpy(out, dir, dlen);
        out[dlen] = '/';
        memcpy(out + dlen + 1, base, blen + 1);
    }
    free(dir);
    return out;
}

char *system_exe_path(pid_t pid, const char *name)
{
    char link[32];
    snprintf(link, sizeof(link), "/proc/%u/exe", static_cast<unsigned>(pid));
    size_t size = 64;
    char *buf = nullptr;
    ssize_t n;
    for (;;) {
        char *grown = static_cast<char *>(realloc(buf, size));
        if (!grown) {
            free(buf);
            return nullptr;
        }
        buf = grown;
        n = readlink(link, buf, size);
        if (n < 0) {
            free(buf);
            return nullptr;
        }
        if (static_cast<size_t>(n) < size)
            break;
        size *= 2;
    }
    buf[n] = '\0';
    if (!name)
        return buf;
    char *slash = strrchr(buf, '/');
    size_t keep = slash ? static_cast<size_t>(slash - buf) + 1 : 0;
    size_t nlen = strlen(name);
    char *out = static_cast<char *>(malloc(keep + nlen + 1));
    if (out) {
        memcpy(out, buf, keep);
        memcpy(out + keep, name, nlen + 1);
    }
    free(buf);
    return out;
}
