// Small services of the utility: the cache-line size, a descriptor that
// turns readable when a process exits, interface lists as one name pattern,
// and UUID text.
#pragma once

#include <cstddef>
#include <cstdint>

// Bytes per cache line, read once per process; -1 with EOPNOTSUPP when the
// system does not tell.
long cache_line_size();
// The same read from another file, not stored; for tests.
long cache_line_size_from(const char *path);

// A process-events socket that turns readable when pid exits; the caller
// owns it. -1 with errno (EINVAL for a negative pid, EPERM when the system
// refuses the event group: the caller then polls the process instead).
int ugw_pid_watch(int pid);

// The name of one interface, or the pattern (prefix "%d" suffix) that
// formatted with 0, 1, ... gives the names of the indexes in order. Null
// with errno when there is none. A name holding '%' never makes a pattern.
char *ifnames_pattern(const uint32_t *indexes, size_t count, char out[16]);
// The same over another name lookup (if_indextoname's contract); for tests.
char *ifnames_pattern_with(char *(*lookup)(unsigned index, char *name), const uint32_t *indexes,
                           size_t count, char out[16]);

// 8-4-4-4-12 hexadecimal digits; characters after the 36th are not read.
int uuid_parse_text(uint8_t out[16], const char *text);
