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

} // namespace

uint32_t inet_csum_partial_generic(uint32_t sum, const void *bytes, size_t n)
{
    auto *p = static_cast<const uint8_t *>(bytes);
    if constexpr (std::endian::native == std::endian::little) {
        // The ones'-complement sum does not depend on byte order: add native
        // words eight bytes at a time and swap the folded result once. The
        // 64-bit sum takes 2^31 rounds before it could overflow.
        uint64_t acc = 0;
        while (n >= 8) {
            uint64_t w;
            memcpy(&w, p, 8);
            acc += (w & 0xffffffff) + (w >> 32);
            p += 8;
            n -= 8;
        }
        if (n >= 4) {
            uint32_t w;
            memcpy(&w, p, 4);
            acc += w;
            p += 4;
            n -= 4;
        }
        if (n >= 2) {
            uint16_t w;
            memcpy(&w, p, 2);
            acc += w;
            p += 2;
            n -= 2;
        }
        if (n)
            acc += p[0]; // the high byte of a big-endian word
        uint32_t native = fold(acc);
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
