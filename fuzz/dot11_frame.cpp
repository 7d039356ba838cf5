#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/packet.h"
#include "dot11/dot11_desc.h"
#include "dot11/dot11_frame.h"

namespace {

mempool *pool_with_headroom(uint32_t headroom)
{
    packet_pool_config c{};
    c.buffer_size = 4096;
    c.headroom = headroom;
    c.tailroom = 0;
    c.packet_count = 4;
    c.buffer_count = 4;
    return packet_pool_create(&c);
}

} // namespace

// The first byte picks the head room and the describers' buffer size; the
// rest is an RRB frame, an 802.11 frame and an EAPOL-Key frame at once.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static mempool *pools[3] = {pool_with_headroom(0), pool_with_headroom(1), pool_with_headroom(64)};
    if (size < 2 || size > 4000)
        return 0;
    uint8_t knob = data[0];
    std::vector<uint8_t> in(data + 1, data + size);

    mempool *pool = pools[knob % 3];
    packet *p = packet_alloc(pool, in.size());
    if (!p)
        return 0;
    memcpy(p->data, in.data(), in.size());
    if (dot11_decap_rrb(p) == 0) {
        if (p->length < DOT11_HDR_LEN + 14)
            __builtin_trap();
        dot11_encap_rrb(p);
    } else if (p->length != in.size() || memcmp(p->data, in.data(), in.size()) != 0) {
        __builtin_trap(); // a refusal leaves the packet alone
    }
    packet_release(p);

    p = packet_alloc(pool, in.size());
    if (!p)
        return 0;
    memcpy(p->data, in.data(), in.size());
    if (dot11_encap_rrb(p) == 0 && dot11_decap_rrb(p) != 0)
        __builtin_trap(); // what we encapsulate we can take apart
    packet_release(p);

    char text[96];
    size_t cap = 1 + knob % sizeof text;
    dot11_frame_describe(in.data(), in.size(), text, cap);
    if (strnlen(text, cap) >= cap)
        __builtin_trap();
    dot11_eapol_describe(in.data(), in.size(), text, cap);
    if (strnlen(text, cap) >= cap)
        __builtin_trap();
    size_t half = in.size() / 2;
    dot11_frame_cmp(std::span(in).first(half), std::span(in).subspan(half, half));
    return 0;
}
