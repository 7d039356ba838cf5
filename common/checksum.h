// The Internet checksum (RFC 1071) with IPv4 and IPv6 pseudo-headers.
#pragma once

#include <cstddef>
#include <cstdint>

// Adds the bytes as big-endian 16-bit words to sum and returns the folded
// 16-bit sum, not complemented. A process-wide pointer, so start-up can choose
// an accelerated version.
using inet_csum_fn = uint32_t (*)(uint32_t sum, const void *bytes, size_t n);
extern inet_csum_fn inet_csum_partial;
uint32_t inet_csum_partial_generic(uint32_t sum, const void *bytes, size_t n);

// ip: a whole IPv4 header (20 bytes at least).
uint32_t inet_csum_pseudo4(const uint8_t *ip, uint16_t length);
// ip6: a whole IPv6 header (40 bytes); next_header 0 takes the header's own.
uint32_t inet_csum_pseudo6(const uint8_t *ip6, uint8_t next_header, uint32_t length);
