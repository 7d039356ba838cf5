// The utility's JSON writer: one document written straight to a stream, with
// no tree held in memory. The writer buffers its own output (a flow list of
// 10^5 rows is one run of appends and a few large writes) and formats
// numbers without printf.
//
// Nesting is tracked in one flag byte per level: bit 7 array, bit 6 a member
// was started, bit 5 a member is being written, bit 4 its key is out. A comma
// goes before a member only when an earlier one of the same container is
// complete. Strings are escaped as JSON requires and invalid UTF-8 becomes
// U+FFFD, so names that stations and servers choose cannot break or forge the
// document a script reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <sys/types.h>

constexpr unsigned JSON_MAX_DEPTH = 16;

enum : uint8_t {
    JSON_ARRAY = 0x80,
    JSON_STARTED = 0x40,
    JSON_MEMBER = 0x20,
    JSON_KEYED = 0x10,
};

struct json_writer {
    FILE *out;
    unsigned level;
    uint8_t flags[JSON_MAX_DEPTH];
    size_t used;
    bool failed; // a write to the stream failed; later output is dropped
    char buffer[32768];
};

void json_init(json_writer *json, FILE *out);
// Writes what is buffered; 0, or -1 with errno when the stream refused it.
int json_flush(json_writer *json);

// The key of a member: the name itself, or with a parent the leading run of
// lower-case letters of the parent's name followed by the name.
void json_key(json_writer *json, const char *parent, const char *name);
void json_open_object(json_writer *json);
void json_open_array(json_writer *json);
void json_close(json_writer *json);

// Value writers: each completes the member it is written for.
void json_null(json_writer *json);
void json_uint(json_writer *json, uint64_t value);
void json_int(json_writer *json, int64_t value);
void json_bool(json_writer *json, bool value);
// Length -1: up to the NUL; otherwise at most length bytes, up to a NUL.
// No text: null.
void json_string(json_writer *json, const char *text, ssize_t length);
// n hex digits of the bytes, the last one the high digit of a byte when n is odd.
void json_hex(json_writer *json, const uint8_t *bytes, size_t n);
void json_mac(json_writer *json, const uint8_t mac[6]);
// A data-plane identifier: u32, u16, u32, u16 as "%08x%04x-%08x%04x".
void json_id12(json_writer *json, const uint8_t id[12]);
// The symbol of value in a table of n texts; null beyond it or for an empty symbol.
void json_symbol(json_writer *json, const char *const *table, size_t n, size_t value);
// A finite number as "%e"; null for infinity or NaN.
void json_double(json_writer *json, double value);
// A text the caller made itself (address, UUID): written without escaping.
void json_plain_string(json_writer *json, const char *text, size_t length);

// Member helpers: key, then value.
inline void json_member_uint(json_writer *json, const char *name, uint64_t value)
{
    json_key(json, nullptr, name);
    json_uint(json, value);
}
inline void json_member_null(json_writer *json, const char *name)
{
    json_key(json, nullptr, name);
    json_null(json);
}
