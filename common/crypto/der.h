// Matching and writing DER against fixed templates (universal tags below 31
// only): enough for RSA public keys.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/crypto/bigint.h"

enum : uint8_t {
    DER_INTEGER = 2,
    DER_BIT_STRING = 3,
    DER_NULL = 5,
    DER_OID = 6,
    DER_SEQUENCE = 16,
};

struct der_item {
    uint8_t tag;         // tag number
    uint8_t constructed; // 0 or 1
    uint8_t depth;       // nesting, 0 for the outermost
    size_t offset;       // of the content in the buffer
    size_t length;       // of the content
    bigint **target;     // INTEGER value read or written, or null
    const uint8_t *data; // content written for other primitives, or null to leave room
};

// 0 when the buffer is exactly the template: definite lengths only, in their
// shortest form, each inside its container. Fills offset and length.
int der_parse(const uint8_t *buf, size_t len, der_item *t, size_t count);
// Reads every INTEGER with a target (non-negative, non-empty, shortest form);
// -1 otherwise.
// Integers already read stay with the caller, who frees them.
int der_get_integers(const uint8_t *buf, der_item *t, size_t count);
// Sets INTEGER lengths from their targets and constructed lengths from their
// children, innermost first; returns the encoded size of the whole.
size_t der_layout(der_item *t, size_t count);
// Writes a laid-out template; fills offsets. The caller fills primitives
// without data or target afterwards.
void der_write(uint8_t *buf, der_item *t, size_t count);
