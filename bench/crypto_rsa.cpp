// RSA-2048 raw public and private operations side by side with OpenSSL.
#include "tests/openssl_rsa.h"
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
        key = rsa_key_from_evp(pk);
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
