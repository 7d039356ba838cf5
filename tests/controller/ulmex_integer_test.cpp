// Integers take a direct path through the codec's runtime when within their PER range; the
// runtime's general INTEGER path is the oracle, bit for bit, both ways.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <random>
#include <vector>

#include "INTEGER.h"
#include "Integer8.h"
#include "Unsigned16.h"
#include "Unsigned32.h"
#include "Unsigned8.h"
#include "per_decoder.h"
#include "per_encoder.h"

namespace {

struct encoded {
    bool ok;
    std::vector<uint8_t> bytes;
    bool operator==(const encoded &) const = default;
};

// The same type, its values held as INTEGER_t and coded by the runtime's general path.
asn_TYPE_descriptor_t general(asn_TYPE_descriptor_t *td)
{
    long probe = 0;
    uint8_t scratch[16];
    uper_encode_to_buffer(td, &probe, scratch, sizeof(scratch)); // settles inherited members
    asn_TYPE_descriptor_t g = *td;
    g.uper_encoder = INTEGER_encode_uper;
    g.uper_decoder = INTEGER_decode_uper;
    g.free_struct = asn_DEF_INTEGER.free_struct;
    return g;
}

encoded encode_native(asn_TYPE_descriptor_t *td, long v)
{
    uint8_t buf[16] = {};
    asn_enc_rval_t r = uper_encode_to_buffer(td, &v, buf, sizeof(buf));
    if (r.encoded < 0) return {false, {}};
    return {true, {buf, buf + (r.encoded + 7) / 8}};
}

encoded encode_general(asn_TYPE_descriptor_t *g, bool is_unsigned, long v)
{
    INTEGER_t st{};
    int rc = is_unsigned ? asn_ulong2INTEGER(&st, static_cast<unsigned long>(v))
                         : asn_long2INTEGER(&st, v);
    if (rc != 0) return {false, {}};
    uint8_t buf[16] = {};
    asn_enc_rval_t r = uper_encode_to_buffer(g, &st, buf, sizeof(buf));
    ASN_STRUCT_FREE_CONTENTS_ONLY(asn_DEF_INTEGER, &st);
    if (r.encoded < 0) return {false, {}};
    return {true, {buf, buf + (r.encoded + 7) / 8}};
}

struct decoded {
    int code;
    long value;
    bool operator==(const decoded &) const = default;
};

decoded decode_native(asn_TYPE_descriptor_t *td, const std::vector<uint8_t> &b)
{
    long v = 0;
    void *p = &v;
    asn_dec_rval_t r = uper_decode(nullptr, td, &p, b.data(), b.size(), 0, 0);
    return {r.code, r.code == RC_OK ? v : 0};
}

decoded decode_general(asn_TYPE_descriptor_t *g, bool is_unsigned, const std::vector<uint8_t> &b)
{
    INTEGER_t st{};
    void *p = &st;
    asn_dec_rval_t r = uper_decode(nullptr, g, &p, b.data(), b.size(), 0, 0);
    long v = 0;
    if (r.code == RC_OK) {
        int rc = is_unsigned ? asn_INTEGER2ulong(&st, reinterpret_cast<unsigned long *>(&v))
                             : asn_INTEGER2long(&st, &v);
        if (rc != 0) r.code = RC_FAIL;
    }
    ASN_STRUCT_FREE_CONTENTS_ONLY(asn_DEF_INTEGER, &st);
    return {r.code, r.code == RC_OK ? v : 0};
}

TEST(UlmexInteger, DirectPathCodesAsTheGeneralPath)
{
    struct kind {
        asn_TYPE_descriptor_t *td;
        bool is_unsigned;
        long lo, hi;
    };
    const kind kinds[] = {
        {&asn_DEF_Integer8, false, -128, 127},
        {&asn_DEF_Unsigned8, true, 0, 255},
        {&asn_DEF_Unsigned16, true, 0, 65535},
        {&asn_DEF_Unsigned32, true, 0, 4294967295L},
    };
    std::mt19937_64 rng(7);
    for (const kind &k : kinds) {
        SCOPED_TRACE(k.td->name);
        asn_TYPE_descriptor_t g = general(k.td);
        std::vector<long> values = {k.lo,     k.lo + 1, k.hi - 1, k.hi,    k.lo - 1,
                                    k.hi + 1, 0,        -1,       LONG_MIN, LONG_MAX};
        for (int i = 0; i < 200; i++)
            values.push_back(k.lo + static_cast<long>(rng() % static_cast<unsigned long>(k.hi - k.lo + 1)));
        for (long v : values) {
            SCOPED_TRACE(v);
            encoded fast = encode_native(k.td, v);
            ASSERT_EQ(fast, encode_general(&g, k.is_unsigned, v));
            EXPECT_EQ(fast.ok, v >= k.lo && v <= k.hi);
        }
        // Every bit pattern of the value's width (and a short buffer) decodes alike.
        for (int i = 0; i < 300; i++) {
            std::vector<uint8_t> b(1 + rng() % 5);
            for (auto &x : b) x = static_cast<uint8_t>(rng());
            ASSERT_EQ(decode_native(k.td, b), decode_general(&g, k.is_unsigned, b));
        }
    }
}

} // namespace
