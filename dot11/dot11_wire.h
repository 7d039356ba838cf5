// Load and store helpers for the wire fields of the authenticator's frames,
// and its log macro: every line starts with the BSS MAC.
#pragma once

#include <cstdint>

#include "common/log.h"

inline uint16_t dot11_load_le16(const uint8_t *p)
{
    return uint16_t(p[0] | p[1] << 8);
}
inline uint16_t dot11_load_be16(const uint8_t *p)
{
    return uint16_t(p[0] << 8 | p[1]);
}
inline void dot11_store_be16(uint8_t *p, uint16_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
inline uint64_t dot11_load_be64(const uint8_t *p)
{
    uint64_t v = 0;
    for (int i = 0; i < 8; i++)
        v = v << 8 | p[i];
    return v;
}
inline void dot11_store_be64(uint8_t *p, uint64_t v)
{
    for (int i = 7; i >= 0; i--, v >>= 8)
        p[i] = uint8_t(v);
}
inline void dot11_store_le64(uint8_t *p, uint64_t v)
{
    for (int i = 0; i < 8; i++, v >>= 8)
        p[i] = uint8_t(v);
}

#define DOT11_LOG(auth, level, fmt, ...)                                                            \
    ulog(LOG_COMP_DOT11, (level), DOT11_MACF ": " fmt, DOT11_MACA((auth)->config.bss_mac)           \
             __VA_OPT__(, ) __VA_ARGS__)
