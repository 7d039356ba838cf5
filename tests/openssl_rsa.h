// Our RSA key record filled from a key OpenSSL generated, for tests and
// benchmarks that put the two side by side.
#pragma once

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <vector>

#include "common/crypto/bigint.h"
#include "common/crypto/rsa.h"

inline rsa_key *rsa_key_from_evp(EVP_PKEY *pk)
{
    rsa_key *key = rsa_new();
    struct {
        const char *name;
        bigint **slot;
    } parts[] = {{OSSL_PKEY_PARAM_RSA_N, &key->n},          {OSSL_PKEY_PARAM_RSA_E, &key->e},
                 {OSSL_PKEY_PARAM_RSA_D, &key->d},          {OSSL_PKEY_PARAM_RSA_FACTOR1, &key->p},
                 {OSSL_PKEY_PARAM_RSA_FACTOR2, &key->q},    {OSSL_PKEY_PARAM_RSA_EXPONENT1, &key->dp},
                 {OSSL_PKEY_PARAM_RSA_EXPONENT2, &key->dq}, {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, &key->qinv}};
    for (auto &p : parts) {
        BIGNUM *b = nullptr;
        EVP_PKEY_get_bn_param(pk, p.name, &b);
        std::vector<uint8_t> v(size_t(BN_num_bytes(b)));
        BN_bn2bin(b, v.data());
        *p.slot = bi_from_bytes(v.data(), v.size());
        BN_free(b);
    }
    key->bits = bi_num_bits(key->n);
    return key;
}
