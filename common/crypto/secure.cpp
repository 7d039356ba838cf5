#include "common/crypto/secure.h"

#include <cstring>

namespace {
// volatile: the compiler must load the pointer and so cannot know that the call is memset.
void *(*volatile wipe_fn)(void *, int, size_t) = memset;
}

void secure_wipe(void *buf, size_t len)
{
    if (len)
        wipe_fn(buf, 0, len);
}

int secure_compare(const void *a, const void *b, size_t len)
{
    const auto *x = static_cast<const uint8_t *>(a);
    const auto *y = static_cast<const uint8_t *>(b);
    uint64_t diff = 0;
    size_t i = 0;
    // A word at a time; the empty asm keeps the compiler from ending the
    // loop at the first difference.
    for (; i + 8 <= len; i += 8) {
        uint64_t u, v;
        memcpy(&u, x + i, 8);
        memcpy(&v, y + i, 8);
        diff |= u ^ v;
        asm volatile("" : "+r"(diff));
    }
    for (; i < len; i++) {
        diff |= uint64_t(x[i] ^ y[i]);
        asm volatile("" : "+r"(diff));
    }
    diff |= diff >> 32;
    diff |= diff >> 16;
    diff |= diff >> 8;
    return int(diff & 0xff);
}
