// Small steps that the renderer files share: text lines, JSON value forms
// of the record fields, and the management clock.
#pragma once

#include <arpa/inet.h>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

#include "common/timer.h"
#include "common/sockaddr.h"
#include "utility/ugw_format.h"
#include "utility/ugw_json.h"

// The management clock's seconds, refreshed once when it was never read.
inline uint32_t ugw_render_now()
{
    if (!clock_cached_valid()) clock_refresh_offset();
    return static_cast<uint32_t>(clock_monotonic_sec);
}

// One "show" line: the label (with its ": ") in 22 columns, then the value.
inline void text_line(FILE *out, const char *label, const char *value)
{
    fprintf(out, "%22s%s\n", label, value);
}

__attribute__((format(printf, 3, 4))) inline void text_linef(FILE *out, const char *label,
                                                             const char *fmt, ...)
{
    fprintf(out, "%22s", label);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(out, fmt, ap);
    va_end(ap);
}

// A text field from outside, made safe for the terminal.
inline void text_line_name(FILE *out, const char *label, const char *text, size_t max)
{
    char safe[1100];
    text_line(out, label, format_text(safe, sizeof safe, text, max));
}

inline bool bytes_zero(const uint8_t *p, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (p[i]) return false;
    return true;
}

// A time of the management clock as wall-clock seconds; null for 0.
inline void json_time(json_writer *json, uint32_t stamp)
{
    if (!stamp) {
        json_null(json);
        return;
    }
    ugw_render_now();
    json_uint(json, static_cast<uint64_t>(static_cast<int64_t>(stamp) + clock_offset_sec));
}

inline void json_n0(json_writer *json, uint64_t value)
{
    if (value)
        json_uint(json, value);
    else
        json_null(json);
}

inline void json_uuid(json_writer *json, const uint8_t uuid[16])
{
    char text[37];
    json_plain_string(json, format_uuid(text, uuid), 36);
}

inline void json_mac0(json_writer *json, const uint8_t mac[6])
{
    if (bytes_zero(mac, 6))
        json_null(json);
    else
        json_mac(json, mac);
}

// An IPv4 or IPv6 address as quoted text; null when all zero.
inline void json_inet_text(json_writer *json, int family, const uint8_t *addr)
{
    size_t n = family == AF_INET ? 4 : 16;
    if (bytes_zero(addr, n)) {
        json_null(json);
        return;
    }
    char text[INET6_ADDRSTRLEN];
    inet_ntop(family, addr, text, sizeof text);
    json_plain_string(json, text, strlen(text));
}

// The key of a member; the form's name without parent.
inline void json_k(json_writer *json, const char *name)
{
    json_key(json, nullptr, name);
}
