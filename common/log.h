// The one process-wide log hook, with levels, per-component enable bits,
// optional prefixes and three targets (standard error, syslog, a file).
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <sys/types.h>

// Levels: debug levels count up from 1, one per -d option.
enum : int {
    ULOG_ERROR = -2,
    ULOG_WARNING = -1,
    ULOG_INFO = 0,
    ULOG_DEBUG = 1,  // failed operations and notable events
    ULOG_DETAIL = 2, // each command, retransmission and periodic figure
    ULOG_TRACE = 3,  // each message sent or received
    ULOG_DUMP = 4,   // message contents
};

// Component bits of the mask (low 18 bits used); every module's bit is defined here.
enum : uint32_t {
    LOG_COMP_FRLC = 0x1,    // the data-plane client
    LOG_COMP_UCLIENT = 0x8, // the utility's management-protocol client
    LOG_COMP_DOT11 = 0x10,  // 802.11 and 802.1X
    LOG_COMP_ULMEX = 0x40,  // the controller protocol
    LOG_COMP_COMMON = 0x80, // the common library
    LOG_COMP_DTLS = 0x100,  // the DTLS engine
    LOG_COMP_RADIUS = 0x8000,
    LOG_COMP_IPC = 0x20000, // UNIX-socket IPC
    LOG_COMP_ALL = 0x3ffff,
};

// The modules' names, one per bit of the component mask, shared by the
// daemon and the utility.
constexpr unsigned LOG_MODULES = 18;
// Null for a bit without a name.
const char *log_module_name(unsigned bit);
// The mask bit of a module name; 0 for a name no module has.
uint32_t log_module_lookup(const char *name);
// The names of the mask's bits from bit 0 up, joined by sep; the length
// written, or -1 with ENOSPC when they do not fit in size (NUL included).
int format_log_module_mask(char *buf, size_t size, uint32_t mask, char sep);

// Format flags: prefixes of the line.
enum : uint8_t {
    LOG_FMT_PID = 0x01,
    LOG_FMT_DATE = 0x02,
    LOG_FMT_TIME = 0x04,
    LOG_FMT_FILE = 0x08,
    LOG_FMT_LINE = 0x10,
    LOG_FMT_KEYS = 0x20,
};

// The settings record that IPC log messages read and merge: its layout is shared.
struct log_cfg {
    int8_t level;     // highest debug level printed
    uint8_t format;   // LOG_FMT_*
    uint8_t trace_mac[6];
    uint32_t components;
};
static_assert(sizeof(log_cfg) == 12);

using log_hook_fn = void (*)(int level, const char *file, unsigned line, const char *fmt, ...);

extern log_hook_fn log_hook;
extern log_cfg log_config;

void log_default(int level, const char *file, unsigned line, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
void log_file(int level, const char *file, unsigned line, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
void log_syslog(int level, const char *file, unsigned line, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));

void log_format(FILE *stream, int level, const char *file, unsigned line, const char *fmt,
                va_list ap);

// path is the file (log_file) or the syslog identity. A null hook means log_default.
// The file is opened for appending without following a symbolic link and must
// be a regular file; a new one is created 0600.
int log_open(const char *path, int level, uint32_t components, uint8_t format, log_hook_fn hook);
void log_close();
// Empties the open log file (a fresh log at start-up without removing the
// file by name, which a symbolic link put in its place would turn against us).
void log_truncate();

// Opens a file in a directory that others may write: never through a symbolic
// link (ELOOP), never anything but a regular file (EINVAL; a FIFO does not
// block the open), never a file with another name too (EMLINK: a hard link to
// someone else's file), close-on-exec. Used for the log and the pid file.
int log_open_regular(const char *path, int flags, mode_t mode);

inline bool log_enabled(uint32_t component, int level)
{
    return log_hook && (log_config.components & component) && level <= log_config.level;
}

#define ulog_emit(level, ...)                                                                      \
    do {                                                                                           \
        log_hook((level), __FILE__, __LINE__, __VA_ARGS__);                                        \
        if ((level) == ULOG_ERROR && log_hook != log_default)                                      \
            log_default((level), __FILE__, __LINE__, __VA_ARGS__);                                 \
    } while (0)

// Errors also reach standard error when another target is active.
#define ulog(component, level, ...)                                                                \
    do {                                                                                           \
        if (log_enabled((component), (level)))                                                     \
            ulog_emit((level), __VA_ARGS__);                                                       \
    } while (0)

// Lines that untrusted input causes are limited per source (the peer's user
// id, kernel-checked): a burst of LOG_LIMIT_BURST, then LOG_LIMIT_PER_SEC a
// second. What is held back is counted, and the count is logged before the
// source's next line that goes through (or when its slot is taken by another
// source). The table is small and fixed: the least recently heard source
// gives way.
enum : uint32_t {
    LOG_SOURCE_TRUSTED = UINT32_MAX, // input from a trusted peer: not limited
    LOG_LIMIT_SOURCES = 16,
    LOG_LIMIT_BURST = 20,
    LOG_LIMIT_PER_SEC = 10,
};

// The source of the input being handled; the IPC server sets it around each
// datagram, so that code below it needs no peer to limit its lines.
extern uint32_t log_source;

// Whether a line of the current source may go out now; logs the count of what
// was held back first when there is one.
bool log_limit_pass(int level, const char *file, unsigned line);

#define ulog_untrusted(component, level, ...)                                                      \
    do {                                                                                           \
        if (log_enabled((component), (level)) && log_limit_pass((level), __FILE__, __LINE__))       \
            ulog_emit((level), __VA_ARGS__);                                                       \
    } while (0)
