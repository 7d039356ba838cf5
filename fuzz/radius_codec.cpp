// RADIUS messages from peers: the attribute walkers and finders, the getters,
// names, in-place editing (move to end, terminate and back), the
// authenticator and Message-Authenticator calculations and MPPE decryption.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/fatal.h"
#include "common/packet.h"
#include "radius/radius_codec.h"

namespace {

mempool *pool()
{
    static const packet_pool_config config = {4096 + 256, 32, 16, 4, 0, 0};
    static mempool *p = packet_pool_create(&config);
    return p;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 1 + RADIUS_MAX_LEN)
        return 0;
    uint8_t control = data[0];
    data++;
    size--;
    packet *msg = packet_alloc(pool(), size);
    if (!msg)
        return 0;
    memcpy(msg->data, data, size);

    radius_validate_attrs(msg);
    char buf[32];
    radius_code_name(size ? data[0] : 0);
    for (const uint8_t *a = radius_first_attr(msg); a; a = radius_next_attr(msg, a)) {
        UGW_ASSERT(a >= msg->data + RADIUS_HDR_LEN && a + a[1] <= msg->data + msg->length);
        uint32_t v;
        uint8_t mac[6];
        radius_attr_name(a, buf, sizeof buf);
        radius_get_int(a, &v);
        radius_get_number(a, control & 3, &v);
        radius_get_mac(a, mac);
        radius_termination_action_name(a[1], buf, sizeof buf);
        if (uint8_t *copy = radius_dup_attr(a)) {
            UGW_ASSERT(memcmp(copy, a, a[1]) == 0);
            free(copy);
        }
        // Terminating and restoring leaves the attribute as it was.
        uint8_t saved[255], length;
        memcpy(saved, a, a[1]);
        uint8_t *w = const_cast<uint8_t *>(a);
        char *text = radius_attr_terminate(w, &length);
        UGW_ASSERT(strlen(text) <= size_t(length - 2));
        radius_attr_unterminate(w, length);
        UGW_ASSERT(memcmp(saved, a, length) == 0);
    }

    uint8_t out[16], auth[16] = {1, 2, 3};
    radius_calc_authenticator("secret", msg, auth, out);
    radius_calc_msg_auth("secret", msg, control & 4 ? auth : nullptr, out);
    radius_get_mppe_key("secret", msg, auth, RADIUS_MS_MPPE_SEND_KEY);
    radius_get_mppe_key("secret", msg, auth, RADIUS_MS_MPPE_RECV_KEY);
    radius_find_attr(msg, radius_attr_type::vendor_specific, RADIUS_VENDOR_WISPR, control);
    uint16_t before = msg->length;
    if (uint8_t *moved = radius_move_attr_to_end(msg, static_cast<radius_attr_type>(control)))
        UGW_ASSERT(moved + moved[1] == msg->data + msg->length);
    UGW_ASSERT(msg->length == before);
    radius_reason_to_terminate_cause(static_cast<uint16_t>(control << 8 | size));
    packet_release(msg);
    return 0;
}
