#include "controller/dtls/dtls_rec.h"

void dtls_rec_init_cipher(dtls_security_context *, uint8_t) {}
void dtls_rec_free_ciphers(dtls_security_context *) {}
int dtls_rec_send(dtls_security_context *, const sockaddr *, packet *, uint8_t)
{
    return -1;
}
int dtls_rec_recv(dtls_security_context *, const sockaddr *, packet *)
{
    return -1;
}
int dtls_rec_replay_check(dtls_security_context *, const sockaddr *, uint32_t, uint32_t, size_t)
{
    return -3;
}
size_t dtls_rec_part_length(const uint8_t *header)
{
    return dtls_get_u16(header + 11);
}
size_t dtls_gen_deagg(const sockaddr *, packet *, packet_queue *, dtls_part_length_fn, size_t,
                      const char *)
{
    return 0;
}
packet *dtls_gen_enagg(const sockaddr *, packet_queue *, size_t, const char *)
{
    return nullptr;
}
int dtls_rec_peek(const sockaddr *, packet *, uint8_t *, uint32_t *)
{
    return -1;
}
int dtls_rec_stateless_encap(const sockaddr *, packet *, uint8_t, uint32_t)
{
    return -1;
}
