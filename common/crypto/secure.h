// Wiping secrets and comparing them without leaking where they differ.
#pragma once

#include <cstddef>
#include <cstdint>

// Zeroes memory with a store the compiler cannot drop as dead.
void secure_wipe(void *buf, size_t len);

// 0 when equal; examines every byte whatever the data.
int secure_compare(const void *a, const void *b, size_t len);

// Branch-free selection helpers for code that must not depend on secret data.
// A mask is all ones (true) or all zeros (false).
inline uint32_t ct_is_zero(uint32_t x)
{
    return 0u - ((~x & (x - 1)) >> 31);
}
inline uint32_t ct_eq(uint32_t a, uint32_t b)
{
    return ct_is_zero(a ^ b);
}
// a < b for values below 2^31.
inline uint32_t ct_lt(uint32_t a, uint32_t b)
{
    return 0u - ((a - b) >> 31);
}
inline uint32_t ct_select(uint32_t mask, uint32_t a, uint32_t b)
{
    return (mask & a) | (~mask & b);
}
