#include "controller/dtls/dtls_aes_ccm.h"

#include "common/packet.h"

namespace {
void stub_set_key(dtls_cipher_state *, const uint8_t *) {}
void stub_wipe(dtls_cipher_state *) {}
int stub_start(ccm_ctx *, const dtls_cipher_state *, const uint8_t *, size_t, const uint8_t *,
               size_t, size_t, size_t)
{
    return -1;
}
void stub_update(ccm_ctx *, const uint8_t *, uint8_t *, size_t) {}
void stub_efinal(ccm_ctx *, uint8_t *) {}
int stub_dfinal(ccm_ctx *, const uint8_t *)
{
    return -1;
}
int stub_enc(const dtls_cipher_state *, const uint8_t *, size_t, const uint8_t *, size_t, uint8_t *,
             size_t, uint8_t *, size_t)
{
    return -1;
}
int stub_dec(const dtls_cipher_state *, const uint8_t *, size_t, const uint8_t *, size_t,
             const uint8_t *, size_t, uint8_t *, size_t)
{
    return -1;
}
} // namespace

const ccm_impl ccm_default_impl = {stub_set_key, stub_wipe,   stub_start, stub_update, stub_update,
                                   stub_efinal,  stub_dfinal, stub_enc,   stub_dec,    "CCM"};
const ccm_impl *ccm_current = &ccm_default_impl;

void dtls_aes_ccm_init(dtls_cipher_state *, const dtls_security_parameters *, const uint8_t *) {}
void dtls_aes_ccm_free(dtls_cipher_state *) {}
int dtls_aes_ccm_encrypt(dtls_cipher_state *, const dtls_security_parameters *, const uint8_t *,
                         packet *)
{
    return -1;
}
int dtls_aes_ccm_decrypt(dtls_cipher_state *, const dtls_security_parameters *, const uint8_t *,
                         packet *)
{
    return -1;
}

const dtls_cipher_ops dtls_aes_ccm_ops = {dtls_aes_ccm_init, dtls_aes_ccm_free,
                                          dtls_aes_ccm_encrypt, dtls_aes_ccm_decrypt};
