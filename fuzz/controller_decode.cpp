// Decodes arbitrary datagrams as controller messages through the decode arena; whatever
// decodes must encode again, and that encoding must decode back to itself.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <cstring>

#include "controller/ulmex_codec.h"

namespace {

struct arenas {
    ulmex_arena decode, encode, again;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static auto *a = new arenas;
    static uint8_t out[8192], out2[8192];
    ulmex_message msg;
    if (ulmex_codec_decode(a->decode, std::span(data, size), msg) < 0)
        return 0;
    if (ulmex_pdu_type(msg.pdu) == ULMEX_UNKNOWN)
        return 0; // skipped on receipt, nothing to write back
    long n = ulmex_codec_encode(a->encode, msg, out);
    if (n < 0)
        __builtin_trap();
    ulmex_message again;
    if (ulmex_codec_decode(a->again, std::span(out, static_cast<size_t>(n)), again) < 0)
        __builtin_trap();
    long n2 = ulmex_codec_encode(a->encode, again, out2);
    if (n2 != n || memcmp(out, out2, static_cast<size_t>(n)) != 0)
        __builtin_trap();
    return 0;
}
