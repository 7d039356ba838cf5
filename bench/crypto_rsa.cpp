// RSA-2048 raw public and private operations side by side with OpenSSL.
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <vector>

#include "bench/crypto_side_by_side.h"
#include "common/crypto/rsa.h"

namespace {

struct pair {
    EVP_PKEY *pk = nullptr;
    rsa_key *key = nullptr;
    pair()
    {
        pk = EVP_RSA_gen(2048);
        key = rsa_new();
        struct {
            const char *name;
            bigint **slot;
        } parts[] = {{OSSL_PKEY_PARAM_RSA_N, &key->n},         {OSSL_PKEY_PARAM_RSA_E, &key->e},
                     {OSSL_PKEY_PARAM_RSA_D, &key->d},         {OSSL_PKEY_PARAM_RSA_FACTOR1, &key->p},
                     {OSSL_PKEY_PARAM_RSA_FACTOR2, &key->q},   {OSSL_PKEY_PARAM_RSA_EXPONENT1, &key->dp},
                     {OSSL_PKEY_PARAM_RSA_EXPONENT2, &key->dq}, {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, &key->qinv}};
        for (auto &p : parts) {
            BIGNUM *b = nullptr;
            EVP_PKEY_get_bn_param(pk, p.name, &b);
            std::vector<uint8_t> bytes(size_t(BN_num_bytes(b)));
            BN_bn2bin(b, bytes.data());
            *p.slot = bi_from_bytes(bytes.data(), bytes.size());
            BN_free(b);
        }
        key->bits = bi_num_bits(key->n);
    }
    ~pair()
    {
        rsa_free(key);
        EVP_PKEY_free(pk);
    }
};

pair &keys()
{
    static pair p;
    return p;
}

void BM_Rsa2048(benchmark::State &state, bool priv)
{
    pair &k = keys();
    std::vector<uint8_t> in(256, 0x5a), out(256), theirs(256);
    in[0] = 0x01;
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(k.pk, nullptr);
    priv ? EVP_PKEY_decrypt_init(ctx) : EVP_PKEY_encrypt_init(ctx);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING);
    size_t n;
    side_by_side(state, 0, priv ? 5 : 50,
                 [&] {
                     if ((priv ? rsa_private(k.key, in.data(), out.data()) : rsa_public(k.key, in.data(), out.data())) < 0)
                         state.SkipWithError("operation failed");
                 },
                 [&] {
                     n = theirs.size();
                     if (priv)
                         EVP_PKEY_decrypt(ctx, theirs.data(), &n, in.data(), in.size());
                     else
                         EVP_PKEY_encrypt(ctx, theirs.data(), &n, in.data(), in.size());
                 });
    if (out != theirs)
        state.SkipWithError("results differ from OpenSSL");
    EVP_PKEY_CTX_free(ctx);
}

void BM_Rsa2048Public(benchmark::State &state)
{
    BM_Rsa2048(state, false);
}
void BM_Rsa2048Private(benchmark::State &state)
{
    BM_Rsa2048(state, true);
}
BENCHMARK(BM_Rsa2048Public);
BENCHMARK(BM_Rsa2048Private);

} // namespace

BENCHMARK_MAIN();
