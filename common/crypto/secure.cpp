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
    const volatile uint8_t *x = static_cast<const volatile uint8_t *>(a);
    const volatile uint8_t *y = static_cast<const volatile uint8_t *>(b);
    uint8_t diff = 0;
    for (size_t i = 0; i < len; i++)
        diff |= x[i] ^ y[i];
    return diff;
}
