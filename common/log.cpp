#include "common/log.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include "common/timer.h"

log_hook_fn log_hook = nullptr;
log_cfg log_config = {};

namespace {

FILE *log_stream = nullptr;
bool log_to_syslog = false;

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
        log_stream = fopen(path, "ae");
        if (!log_stream) {
            fprintf(stderr, "Failed to open %s: %s\n", path, strerror(errno));
            log_hook = log_default;
            return -1;
        }
        int fd = fileno(log_stream);
        int fl = fcntl(fd, F_GETFD);
        if (fl < 0 || fcntl(fd, F_SETFD, fl | FD_CLOEXEC) < 0) {
            fprintf(stderr, "Failed to set CLOEXEC flag: %s\n", strerror(errno));
            fclose(log_stream);
            log_stream = nullptr;
            log_hook = log_default;
            return -1;
        }
    }
    return 0;
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
}
