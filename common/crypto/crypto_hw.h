// Run-time choice between the portable code and the processor's crypto
// instructions. Every path computes the same function.
#pragma once

#include <cstdint>

enum : uint32_t {
    CRYPTO_HW_AES = 0x1, // AES-NI (with SSE4.1 for the loads and shuffles)
    CRYPTO_HW_SHA = 0x2, // SHA extensions (with SSSE3 and SSE4.1)
};

// What the processor offers, limited by crypto_hw_limit.
uint32_t crypto_hw();

// Limits the paths used (tests compare paths against each other); returns the
// previous limit. Call it only while no other thread hashes or encrypts.
uint32_t crypto_hw_limit(uint32_t mask);
