#include "common/log.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "common/timer.h"

log_hook_fn log_hook = nullptr;
log_cfg log_config = {};
uint32_t log_source = LOG_SOURCE_TRUSTED;

namespace {

FILE *log_stream = nullptr;
bool log_to_syslog = false;

// A token bucket per source, in tenths of a line so that the refill of
// LOG_LIMIT_PER_SEC a second is exact at millisecond steps.
struct log_limit_slot {
    uint32_t source;
    uint32_t tokens; // tenths of a line
    uint32_t suppressed;
    uint64_t refilled_ms;
    uint64_t heard; // when it was last heard from, in lines of any source
    bool used;
};

log_limit_slot log_limits[LOG_LIMIT_SOURCES];
uint64_t log_limit_lines;

void log_suppressed(int level, const char *file, unsigned line, const log_limit_slot *s)
{
    log_hook(level, file, line, "Suppressed %u log lines caused by uid %u", s->suppressed,
             s->source);
}

log_limit_slot *log_limit_slot_of(uint32_t source, uint64_t now, int level, const char *file,
                                  unsigned line)
{
    log_limit_slot *oldest = nullptr;
    for (log_limit_slot &s : log_limits) {
        if (s.used && s.source == source)
            return &s;
        if (!oldest || (oldest->used && (!s.used || s.heard < oldest->heard)))
            oldest = &s;
    }
    if (oldest->used && oldest->suppressed)
        log_suppressed(level, file, line, oldest);
    *oldest = {source, LOG_LIMIT_BURST * 10, 0, now, 0, true};
    return oldest;
}

const char *level_text(int level)
{
    switch (level) {
    case ULOG_ERROR:
        return "ERROR: ";
    case ULOG_WARNING:
        return "WARNING: ";
    default:
        return "";
    }
}

int syslog_priority(int level)
{
    switch (level) {
    case ULOG_ERROR:
        return LOG_ERR;
    case ULOG_WARNING:
        return LOG_WARNING;
    case ULOG_INFO:
        return LOG_INFO;
    default:
        return LOG_DEBUG;
    }
}

} // namespace

void log_format(FILE *stream, int level, const char *file, unsigned line, const char *fmt,
                va_list ap)
{
    char prefix[256];
    size_t n = 0;
    auto add = [&](const char *f, auto... args) {
        if (n < sizeof(prefix)) {
            int r = snprintf(prefix + n, sizeof(prefix) - n, f, args...);
            if (r > 0)
                n += static_cast<size_t>(r);
        }
    };
    uint8_t flags = log_config.format;
    if (flags & LOG_FMT_DATE) {
        char date[32];
        time_t now = time(nullptr);
        if (ctime_r(&now, date)) {
            date[strcspn(date, "\n")] = '\0';
            add("[%s] ", date);
        }
    }
    if (flags & LOG_FMT_TIME) {
        if (!clock_cached_valid())
            clock_refresh_offset();
        add("[%lu.%06lu] ", static_cast<unsigned long>(clock_monotonic_sec),
            static_cast<unsigned long>(clock_monotonic_usec));
    }
    if (flags & LOG_FMT_PID)
        add("[%d]: ", static_cast<int>(getpid()));
    add("%s", level_text(level));
    if (flags & LOG_FMT_FILE) {
        const char *base = strrchr(file, '/');
        add("%s: ", base ? base + 1 : file);
    }
    if (flags & LOG_FMT_LINE)
        add("%u: ", line);
    if (n > sizeof(prefix) - 1)
        n = sizeof(prefix) - 1;
    // One write per line keeps lines of several processes apart.
    char msg[2048];
    int m = vsnprintf(msg, sizeof(msg), fmt, ap);
    if (m < 0)
        m = 0;
    if (static_cast<size_t>(m) >= sizeof(msg))
        m = sizeof(msg) - 1;
    flockfile(stream);
    fwrite(prefix, 1, n, stream);
    fwrite(msg, 1, static_cast<size_t>(m), stream);
    fputc('\n', stream);
    funlockfile(stream);
}

void log_default(int level, const char *file, unsigned line, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    log_format(stderr, level, file, line, fmt, ap);
    va_end(ap);
}

void log_file(int level, const char *file, unsigned line, const char *fmt, ...)
{
    if (!log_stream)
        return;
    va_list ap;
    va_start(ap, fmt);
    log_format(log_stream, level, file, line, fmt, ap);
    va_end(ap);
    fflush(log_stream);
}

void log_syslog(int level, const char *, unsigned, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsyslog(syslog_priority(level), fmt, ap);
    va_end(ap);
}

bool log_limit_pass(int level, const char *file, unsigned line)
{
    if (log_source == LOG_SOURCE_TRUSTED)
        return true;
    uint64_t now = monotonic_ms();
    log_limit_slot *s = log_limit_slot_of(log_source, now, level, file, line);
    s->heard = ++log_limit_lines;
    uint64_t refill = (now - s->refilled_ms) * LOG_LIMIT_PER_SEC / 100;
    if (refill) {
        uint64_t t = s->tokens + refill;
        s->tokens = static_cast<uint32_t>(t < LOG_LIMIT_BURST * 10 ? t : LOG_LIMIT_BURST * 10);
        s->refilled_ms = now;
    }
    if (s->tokens < 10) {
        s->suppressed++;
        return false;
    }
    s->tokens -= 10;
    if (s->suppressed) {
        log_suppressed(level, file, line, s);
        s->suppressed = 0;
    }
    return true;
}

int log_open_regular(const char *path, int flags, mode_t mode)
{
    int fd = open(path, flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, mode);
    if (fd < 0)
        return -1;
    struct stat st;
    int err = 0;
    if (fstat(fd, &st) < 0)
        err = errno;
    else if (!S_ISREG(st.st_mode))
        err = EINVAL;
    else if (st.st_nlink > 1)
        err = EMLINK;
    if (err) {
        close(fd);
        errno = err;
        return -1;
    }
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) < 0) {
        err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

int log_open(const char *path, int level, uint32_t components, uint8_t format, log_hook_fn hook)
{
    log_close();
    log_config.level = static_cast<int8_t>(level > INT8_MAX ? INT8_MAX : level);
    log_config.format = format;
    log_config.components = components & LOG_COMP_ALL;
    log_hook = hook ? hook : log_default;
    if (log_hook == log_syslog) {
        openlog(path, (format & LOG_FMT_PID) ? LOG_PID : 0, LOG_USER);
        log_to_syslog = true;
    } else if (log_hook == log_file && path) {
        int fd = log_open_regular(path, O_WRONLY | O_APPEND | O_CREAT, 0600);
        if (fd < 0 || !(log_stream = fdopen(fd, "a"))) {
            if (errno == EINVAL)
                fprintf(stderr, "Failed to open %s: not a regular file\n", path);
            else
                fprintf(stderr, "Failed to open %s: %s\n", path, strerror(errno));
            if (fd >= 0)
                close(fd);
            log_hook = log_default;
            return -1;
        }
    }
    return 0;
}

void log_truncate()
{
    if (log_stream && fflush(log_stream) == 0 && ftruncate(fileno(log_stream), 0) < 0)
        return; // logging never fails its caller: the old lines stay
}

void log_close()
{
    if (log_to_syslog)
        closelog();
    log_to_syslog = false;
    if (log_stream)
        fclose(log_stream);
    log_stream = nullptr;
    log_config = log_cfg{};
    log_hook = log_default;
    log_source = LOG_SOURCE_TRUSTED;
    for (log_limit_slot &s : log_limits)
        s = log_limit_slot{};
}

namespace
{

const char *const log_module_names[LOG_MODULES] = {
    "frlc",    "flow", "tunnel", "uclient", "dot11",  "service", "ulmex",  "common", "dtls",
    "control", "port", "nas",    "dhcp",    "filter", "mdns",    "radius", "proc",   "ipc",
};

} // namespace

const char *log_module_name(unsigned bit)
{
    return bit < LOG_MODULES ? log_module_names[bit] : nullptr;
}

uint32_t log_module_lookup(const char *name)
{
    for (unsigned bit = 0; bit < LOG_MODULES; bit++)
        if (strcmp(name, log_module_names[bit]) == 0) return 1u << bit;
    return 0;
}

int format_log_module_mask(char *buf, size_t size, uint32_t mask, char sep)
{
    size_t used = 0;
    if (size == 0) {
        errno = ENOSPC;
        return -1;
    }
    buf[0] = '\0';
    for (unsigned bit = 0; bit < LOG_MODULES; bit++) {
        if (!(mask & (1u << bit))) continue;
        size_t n = strlen(log_module_names[bit]);
        if (used + (used ? 1 : 0) + n + 1 > size) {
            errno = ENOSPC;
            return -1;
        }
        if (used) buf[used++] = sep;
        memcpy(buf + used, log_module_names[bit], n + 1);
        used += n;
    }
    return static_cast<int>(used);
}
