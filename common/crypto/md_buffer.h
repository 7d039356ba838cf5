// The block buffering shared by the hashes whose contexts count bits in two
// 32-bit words (MD5 and SHA-1).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace md_buffer {

inline uint64_t bits(const uint32_t count[2])
{
    return uint64_t(count[1]) << 32 | count[0];
}

// blocks(state, p, n) compresses n whole blocks.
template <typename Blocks, typename State>
void update(State *state, uint32_t count[2], uint8_t block[64], const void *data, size_t len,
            Blocks blocks)
{
    if (!len) // data may then be null
        return;
    const uint8_t *p = static_cast<const uint8_t *>(data);
    uint64_t total = bits(count);
    size_t fill = size_t(total >> 3) & 63;
    total += uint64_t(len) << 3;
    count[0] = uint32_t(total);
    count[1] = uint32_t(total >> 32);
    if (fill) {
        size_t take = 64 - fill < len ? 64 - fill : len;
        memcpy(block + fill, p, take);
        p += take;
        len -= take;
        if (fill + take < 64)
            return;
        blocks(state, block, 1);
    }
    if (len >= 64) {
        blocks(state, p, len / 64);
        p += len & ~size_t(63);
        len &= 63;
    }
    if (len)
        memcpy(block, p, len);
}

// Pads the message; the length goes into bytes 56-63 as store_len writes it.
template <typename Blocks, typename State, typename StoreLen>
void pad(State *state, const uint32_t count[2], uint8_t block[64], Blocks blocks, StoreLen store_len)
{
    uint64_t total = bits(count);
    size_t fill = size_t(total >> 3) & 63;
    block[fill++] = 0x80;
    if (fill > 56) {
        memset(block + fill, 0, 64 - fill);
        blocks(state, block, 1);
        fill = 0;
    }
    memset(block + fill, 0, 56 - fill);
    store_len(block + 56, total);
    blocks(state, block, 1);
}

} // namespace md_buffer
