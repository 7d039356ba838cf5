#include "common/crypto/crypto_hw.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace {

uint32_t probe()
{
    uint32_t found = 0;
#if defined(__x86_64__) || defined(__i386__)
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d))
        return 0;
    bool ssse3 = c & (1u << 9), sse41 = c & (1u << 19), aes = c & (1u << 25);
    if (aes && sse41)
        found |= CRYPTO_HW_AES;
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & (1u << 29)) && ssse3 && sse41)
        found |= CRYPTO_HW_SHA;
#endif
    return found;
}

uint32_t limit = ~0u;

} // namespace

uint32_t crypto_hw()
{
    static const uint32_t found = probe();
    return found & limit;
}

uint32_t crypto_hw_limit(uint32_t mask)
{
    uint32_t old = limit;
    limit = mask;
    return old;
}
