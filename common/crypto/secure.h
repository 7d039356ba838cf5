// Wiping secrets and comparing them without leaking where they differ.
#pragma once

#include <cstddef>
#include <cstdint>

// Zeroes memory with a store the compiler cannot drop as dead.
void secure_wipe(void *buf, size_t len);

// Wipes a secret when the scope that holds it ends, on every way out.
class secure_wipe_guard
{
  public:
    template <class T> explicit secure_wipe_guard(T &secret) : p_(&secret), n_(sizeof secret) {}
    secure_wipe_guard(void *p, size_t n) : p_(p), n_(n) {}
    ~secure_wipe_guard() { secure_wipe(p_, n_); }
    secure_wipe_guard(const secure_wipe_guard &) = delete;
    secure_wipe_guard &operator=(const secure_wipe_guard &) = delete;

  private:
    void *p_;
    size_t n_;
};

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
