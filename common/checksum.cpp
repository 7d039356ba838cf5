#include "common/checksum.h"

#include <bit>
#include <cstring>

namespace {

uint32_t fold(uint64_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint32_t>(sum);
}

// Ones'-complement addition of 64-bit words: the carry out goes back in.
uint64_t add_carry(uint64_t acc, uint64_t w)
{
    uint64_t s;
    bool carry = __builtin_add_overflow(acc, w, &s);
    return s + carry;
}

// Word by word: a copy of a whole round goes through the stack.
uint64_t load64(const uint8_t *p)
{
    uint64_t w;
    memcpy(&w, p, 8);
    return w;
}

} // namespace

uint32_t inet_csum_partial_generic(uint32_t sum, const void *bytes, size_t n)
{
    auto *p = static_cast<const uint8_t *>(bytes);
    if constexpr (std::endian::native == std::endian::little) {
        // The ones'-complement sum does not depend on byte order or word
        // size: add native 64-bit words with end-around carry, 32 bytes a
        // round over two chains so that the carries do not queue, and swap
        // the folded result once.
        uint64_t acc = 0, acc2 = 0;
        while (n >= 32) {
            acc = add_carry(acc, load64(p));
            acc2 = add_carry(acc2, load64(p + 8));
            acc = add_carry(acc, load64(p + 16));
            acc2 = add_carry(acc2, load64(p + 24));
            p += 32;
            n -= 32;
        }
        while (n >= 8) {
            acc = add_carry(acc, load64(p));
            p += 8;
            n -= 8;
        }
        acc = add_carry(acc, acc2);
        if (n >= 4) {
            uint32_t w;
            memcpy(&w, p, 4);
            acc = add_carry(acc, w);
            p += 4;
            n -= 4;
        }
        if (n >= 2) {
            uint16_t w;
            memcpy(&w, p, 2);
            acc = add_carry(acc, w);
            p += 2;
            n -= 2;
        }
        if (n)
            acc = add_carry(acc, p[0]); // the high byte of a big-endian word
        uint32_t native = fold((acc & 0xffffffff) + (acc >> 32));
        return fold(static_cast<uint64_t>(sum) + static_cast<uint16_t>(native << 8 | native >> 8));
    }
    uint64_t acc = sum;
    // Four words at a time; the 64-bit sum cannot overflow below 2^32 rounds.
    while (n >= 8) {
        acc += static_cast<uint32_t>(p[0] << 8 | p[1]) + static_cast<uint32_t>(p[2] << 8 | p[3]) +
               static_cast<uint32_t>(p[4] << 8 | p[5]) + static_cast<uint32_t>(p[6] << 8 | p[7]);
        p += 8;
        n -= 8;
    }
    while (n >= 2) {
        acc += static_cast<uint32_t>(p[0] << 8 | p[1]);
        p += 2;
        n -= 2;
    }
    if (n)
        acc += static_cast<uint32_t>(p[0]) << 8;
    return fold(acc);
}

inet_csum_fn inet_csum_partial = inet_csum_partial_generic;

uint32_t inet_csum_pseudo4(const uint8_t *ip, uint16_t length)
{
    uint32_t sum = inet_csum_partial(0, ip + 12, 8);
    return fold(static_cast<uint64_t>(sum) + ip[9] + length);
}

uint32_t inet_csum_pseudo6(const uint8_t *ip6, uint8_t next_header, uint32_t length)
{
    uint8_t pseudo[40];
    memcpy(pseudo, ip6 + 8, 32);
    pseudo[32] = static_cast<uint8_t>(length >> 24);
    pseudo[33] = static_cast<uint8_t>(length >> 16);
    pseudo[34] = static_cast<uint8_t>(length >> 8);
    pseudo[35] = static_cast<uint8_t>(length);
    pseudo[36] = pseudo[37] = pseudo[38] = 0;
    pseudo[39] = next_header ? next_header : ip6[6];
    return inet_csum_partial(0, pseudo, sizeof(pseudo));
}
