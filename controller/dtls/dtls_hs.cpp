#include "controller/dtls/dtls_hs.h"

void dtls_hs_init(dtls_hs_state *state, sha256_ctx *hash, uint16_t fragment_payload)
{
    *state = {};
    packet_queue_init(&state->reassembly);
    state->hash = hash;
    state->fragment_payload = fragment_payload;
}
void dtls_hs_fini(dtls_hs_state *state)
{
    packet_queue_purge(&state->reassembly);
}
uint16_t dtls_hs_fragment_payload(uint16_t payload_mtu, const dtls_security_parameters *params)
{
    return static_cast<uint16_t>(payload_mtu - params->record_iv_length - params->mac_length -
                                 DTLS_RECORD_SIZE);
}
packet *dtls_make_hs_message(mempool *, size_t)
{
    return nullptr;
}
int dtls_hs_send(dtls_hs_state *, const sockaddr *, packet *, uint8_t, bool, packet_queue *)
{
    return -1;
}
size_t dtls_hs_deagg(const sockaddr *, packet *, packet_queue *)
{
    return 0;
}
int dtls_hs_recv(dtls_hs_state *, const sockaddr *, packet *, packet **)
{
    return -1;
}
int dtls_hs_peek(const sockaddr *, packet *, uint8_t *, uint16_t *)
{
    return -1;
}
int dtls_hs_stateless_reply(const sockaddr *, packet *, uint8_t, uint16_t)
{
    return -1;
}
