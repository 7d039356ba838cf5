#include "utility/ugw_json.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "common/fatal.h"

namespace
{

constexpr char hex_digits[] = "0123456789abcdef";

void json_emit(json_writer *json, const char *bytes, size_t n)
{
    if (json->used + n > sizeof json->buffer) {
        json_flush(json);
        if (n > sizeof json->buffer) {
            if (!json->failed && fwrite(bytes, 1, n, json->out) != n) json->failed = true;
            return;
        }
    }
    memcpy(json->buffer + json->used, bytes, n);
    json->used += n;
}

// Room for n bytes in the buffer, written in place by the caller.
char *json_room(json_writer *json, size_t n)
{
    if (json->used + n > sizeof json->buffer) json_flush(json);
    return json->buffer + json->used;
}

inline void json_char(json_writer *json, char c)
{
    if (json->used == sizeof json->buffer) json_flush(json);
    json->buffer[json->used++] = c;
}

void json_begin_member(json_writer *json)
{
    uint8_t &f = json->flags[json->level];
    if ((f & (JSON_STARTED | JSON_MEMBER)) == JSON_STARTED) json_char(json, ',');
    f |= JSON_STARTED | JSON_MEMBER;
}

// A value in an array is a member of its own; in an object its key began it.
inline void json_value_begin(json_writer *json)
{
    if (json->flags[json->level] & JSON_ARRAY) json_begin_member(json);
}

inline void json_value_end(json_writer *json)
{
    json->flags[json->level] &= static_cast<uint8_t>(~(JSON_MEMBER | JSON_KEYED));
}

size_t json_format_u64(char *out, uint64_t value)
{
    char tmp[20];
    size_t n = 0;
    do {
        tmp[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value);
    for (size_t i = 0; i < n; i++)
        out[i] = tmp[n - 1 - i];
    return n;
}

void json_push(json_writer *json, char open, uint8_t kind)
{
    json_begin_member(json);
    UGW_ASSERT(json->level < JSON_MAX_DEPTH - 1);
    json_char(json, open);
    json->level++;
    json->flags[json->level] = static_cast<uint8_t>((json->flags[json->level] & 0x0f) | kind);
}

// The length of a valid UTF-8 sequence at p (at most n bytes), or 0.
size_t utf8_sequence(const uint8_t *p, size_t n)
{
    uint8_t c = p[0];
    size_t len;
    uint32_t min;
    if (c < 0x80) return 1;
    if (c >= 0xc2 && c <= 0xdf) {
        len = 2;
        min = 0x80;
    } else if ((c & 0xf0) == 0xe0) {
        len = 3;
        min = 0x800;
    } else if (c >= 0xf0 && c <= 0xf4) {
        len = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (n < len) return 0;
    uint32_t cp = c & (0x7f >> len);
    for (size_t i = 1; i < len; i++) {
        if ((p[i] & 0xc0) != 0x80) return 0;
        cp = cp << 6 | (p[i] & 0x3f);
    }
    if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return 0;
    return len;
}

} // namespace

void json_init(json_writer *json, FILE *out)
{
    json->out = out;
    json->level = 0;
    memset(json->flags, 0, sizeof json->flags);
    json->flags[0] = JSON_STARTED | JSON_MEMBER;
    json->used = 0;
    json->failed = false;
}

int json_flush(json_writer *json)
{
    if (json->used && !json->failed && fwrite(json->buffer, 1, json->used, json->out) != json->used)
        json->failed = true;
    json->used = 0;
    if (json->failed) {
        errno = EIO;
        return -1;
    }
    return fflush(json->out) == 0 ? 0 : -1;
}

void json_key(json_writer *json, const char *parent, const char *name)
{
    json_begin_member(json);
    uint8_t &f = json->flags[json->level];
    if (f & (JSON_ARRAY | JSON_KEYED)) return;
    json_char(json, '"');
    if (parent) {
        size_t n = 0;
        while (parent[n] >= 'a' && parent[n] <= 'z')
            n++;
        json_emit(json, parent, n);
    }
    json_emit(json, name, strlen(name));
    json_emit(json, "\":", 2);
    f |= JSON_KEYED;
}

void json_open_object(json_writer *json)
{
    json_push(json, '{', 0);
}

void json_open_array(json_writer *json)
{
    json_push(json, '[', JSON_ARRAY);
}

void json_close(json_writer *json)
{
    UGW_ASSERT(json->level > 0);
    json_char(json, (json->flags[json->level] & JSON_ARRAY) ? ']' : '}');
    json->level--;
    json_value_end(json);
}

void json_null(json_writer *json)
{
    json_value_begin(json);
    json_emit(json, "null", 4);
    json_value_end(json);
}

void json_uint(json_writer *json, uint64_t value)
{
    json_value_begin(json);
    char *p = json_room(json, 20);
    json->used += json_format_u64(p, value);
    json_value_end(json);
}

void json_int(json_writer *json, int64_t value)
{
    json_value_begin(json);
    char *p = json_room(json, 21);
    size_t n = 0;
    uint64_t magnitude = static_cast<uint64_t>(value);
    if (value < 0) {
        p[n++] = '-';
        magnitude = 0 - magnitude;
    }
    n += json_format_u64(p + n, magnitude);
    json->used += n;
    json_value_end(json);
}

void json_bool(json_writer *json, bool value)
{
    json_value_begin(json);
    if (value)
        json_emit(json, "true", 4);
    else
        json_emit(json, "false", 5);
    json_value_end(json);
}

void json_string(json_writer *json, const char *text, ssize_t length)
{
    if (!text) {
        json_null(json);
        return;
    }
    size_t n = length < 0 ? strlen(text) : strnlen(text, static_cast<size_t>(length));
    json_value_begin(json);
    json_char(json, '"');
    const auto *p = reinterpret_cast<const uint8_t *>(text);
    size_t i = 0;
    while (i < n) {
        // Runs of plain characters go out in one copy.
        size_t run = i;
        while (run < n && p[run] >= 0x20 && p[run] < 0x80 && p[run] != '"' && p[run] != '\\')
            run++;
        if (run > i) {
            json_emit(json, text + i, run - i);
            i = run;
            continue;
        }
        uint8_t c = p[i];
        if (c == '"' || c == '\\') {
            char esc[2] = {'\\', static_cast<char>(c)};
            json_emit(json, esc, 2);
            i++;
        } else if (c < 0x20) {
            char esc[6] = {'\\', 'u', '0', '0', hex_digits[c >> 4], hex_digits[c & 15]};
            json_emit(json, esc, 6);
            i++;
        } else {
            size_t len = utf8_sequence(p + i, n - i);
            if (len) {
                json_emit(json, text + i, len);
                i += len;
            } else {
                json_emit(json, "\xef\xbf\xbd", 3);
                i++;
            }
        }
    }
    json_char(json, '"');
    json_value_end(json);
}

void json_plain_string(json_writer *json, const char *text, size_t length)
{
    json_value_begin(json);
    json_char(json, '"');
    json_emit(json, text, length);
    json_char(json, '"');
    json_value_end(json);
}

void json_hex(json_writer *json, const uint8_t *bytes, size_t n)
{
    json_value_begin(json);
    json_char(json, '"');
    for (size_t i = 0; i < n; i++)
        json_char(json, hex_digits[(bytes[i / 2] >> (i % 2 ? 0 : 4)) & 15]);
    json_char(json, '"');
    json_value_end(json);
}

void json_mac(json_writer *json, const uint8_t mac[6])
{
    json_value_begin(json);
    char *p = json_room(json, 19);
    *p++ = '"';
    for (int i = 0; i < 6; i++) {
        *p++ = hex_digits[mac[i] >> 4];
        *p++ = hex_digits[mac[i] & 15];
        *p++ = i < 5 ? ':' : '"';
    }
    json->used += 19;
    json_value_end(json);
}

void json_id12(json_writer *json, const uint8_t id[12])
{
    uint32_t a, c;
    uint16_t b, d;
    memcpy(&a, id, 4);
    memcpy(&b, id + 4, 2);
    memcpy(&c, id + 6, 4);
    memcpy(&d, id + 10, 2);
    json_begin_member(json);
    char text[28];
    snprintf(text, sizeof text, "\"%08x%04x-%08x%04x\"", a, b, c, d);
    json_emit(json, text, 27);
    json_value_end(json);
}

void json_double(json_writer *json, double value)
{
    if (!std::isfinite(value)) {
        json_null(json);
        return;
    }
    char text[32];
    int n = snprintf(text, sizeof text, "%e", value);
    json_value_begin(json);
    json_emit(json, text, size_t(n));
    json_value_end(json);
}

void json_symbol(json_writer *json, const char *const *table, size_t n, size_t value)
{
    if (value >= n || !table[value] || !table[value][0]) {
        json_null(json);
        return;
    }
    json_plain_string(json, table[value], strlen(table[value]));
}
