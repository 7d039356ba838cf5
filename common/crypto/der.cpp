#include "common/crypto/der.h"

#include <cstring>

namespace {

constexpr int kMaxDepth = 8;

size_t header_size(size_t len)
{
    if (len < 128)
        return 2;
    size_t n = 2;
    for (size_t l = len; l; l >>= 8)
        n++;
    return n;
}

// Reads a definite length in its shortest form; lengths beyond 4 bytes are
// refused (no key comes near).
bool read_length(const uint8_t *buf, size_t end, size_t &pos, size_t &len)
{
    if (pos >= end)
        return false;
    uint8_t first = buf[pos++];
    if (first < 0x80) {
        len = first;
        return true;
    }
    size_t n = first & 0x7f;
    if (n == 0 || n > 4 || n > end - pos) // indefinite, or overlong length of length
        return false;
    if (buf[pos] == 0) // a leading zero byte is not the shortest form
        return false;
    len = 0;
    for (size_t i = 0; i < n; i++)
        len = len << 8 | buf[pos++];
    return len >= 128; // long form only where short form cannot say it
}

} // namespace

int der_parse(const uint8_t *buf, size_t len, der_item *t, size_t count)
{
    size_t ends[kMaxDepth + 1];
    ends[0] = len;
    size_t pos = 0;
    int open = 0; // items may come at this depth or shallower
    for (size_t i = 0; i < count; i++) {
        int d = t[i].depth;
        if (d > open || d >= kMaxDepth)
            return -1;
        for (int lvl = open; lvl > d; lvl--) // containers left behind must be consumed
            if (pos != ends[lvl])
                return -1;
        size_t end = ends[d];
        if (pos >= end)
            return -1;
        if (buf[pos++] != uint8_t(t[i].tag | (t[i].constructed ? 0x20 : 0)))
            return -1;
        size_t clen;
        if (!read_length(buf, end, pos, clen) || clen > end - pos)
            return -1;
        t[i].offset = pos;
        t[i].length = clen;
        if (t[i].constructed) {
            ends[d + 1] = pos + clen;
            open = d + 1;
        } else {
            pos += clen;
            open = d;
        }
    }
    for (int lvl = open; lvl > 0; lvl--)
        if (pos != ends[lvl])
            return -1;
    return pos == len ? 0 : -1;
}

int der_get_integers(const uint8_t *buf, der_item *t, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        if (!t[i].target || t[i].tag != DER_INTEGER)
            continue;
        const uint8_t *p = buf + t[i].offset;
        if (t[i].length == 0 || (p[0] & 0x80)) // empty or negative
            return -1;
        // Shortest form only: a leading zero just where the sign needs it, so
        // that an accepted key encodes back to the bytes it came in.
        if (t[i].length > 1 && p[0] == 0 && !(p[1] & 0x80))
            return -1;
        bi_free(*t[i].target);
        *t[i].target = bi_from_bytes(p, t[i].length);
        if (!*t[i].target)
            return -1;
    }
    return 0;
}

size_t der_layout(der_item *t, size_t count)
{
    for (size_t i = count; i-- > 0;) {
        if (t[i].tag == DER_INTEGER && t[i].target)
            t[i].length = bi_to_bytes(*t[i].target, nullptr, 0, true);
        if (!t[i].constructed)
            continue;
        size_t sum = 0;
        for (size_t j = i + 1; j < count && t[j].depth > t[i].depth; j++)
            if (t[j].depth == t[i].depth + 1)
                sum += header_size(t[j].length) + t[j].length;
        t[i].length = sum;
    }
    size_t total = 0;
    for (size_t i = 0; i < count; i++)
        if (t[i].depth == 0)
            total += header_size(t[i].length) + t[i].length;
    return total;
}

void der_write(uint8_t *buf, der_item *t, size_t count)
{
    size_t pos = 0;
    for (size_t i = 0; i < count; i++) {
        buf[pos++] = uint8_t(t[i].tag | (t[i].constructed ? 0x20 : 0));
        size_t len = t[i].length;
        size_t hs = header_size(len);
        if (hs == 2) {
            buf[pos++] = uint8_t(len);
        } else {
            buf[pos++] = uint8_t(0x80 | (hs - 2));
            for (size_t b = hs - 2; b-- > 0;)
                buf[pos++] = uint8_t(len >> (8 * b));
        }
        t[i].offset = pos;
        if (t[i].constructed)
            continue; // children follow
        if (t[i].tag == DER_INTEGER && t[i].target)
            bi_to_bytes(*t[i].target, buf + pos, len, true);
        else if (t[i].data)
            memcpy(buf + pos, t[i].data, len);
        pos += len;
    }
}
