// RSA-2048 raw public and private operations side by side with OpenSSL: the
// same key, no padding on either side, OpenSSL's context set up once, and
// the two outputs compared byte for byte before timing. Ours runs with the
// kernels this processor gets by default (MULX where present) and with the
// portable ones.
#include "tests/openssl_rsa.h"
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <vector>

#include "bench/crypto_side_by_side.h"
#include "common/crypto/bigint.h"
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

void BM_Rsa2048(benchmark::State &state, bool priv, bool portable)
{
    pair &k = keys();
    bool old = bi_allow_mulx(!portable);
    state.SetLabel(bi_uses_mulx() ? "mulx" : "portable");
    std::vector<uint8_t> in(256, 0x5a), out(256), theirs(256);
    in[0] = 0x01;
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(k.pk, nullptr);
    if (priv)
        EVP_PKEY_decrypt_init(ctx);
    else
        EVP_PKEY_encrypt_init(ctx);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING);
    auto ours = [&] {
        return priv ? rsa_private(k.key, in.data(), out.data())
                    : rsa_public(k.key, in.data(), out.data());
    };
    auto anchor = [&] {
        size_t n = theirs.size();
        return priv ? EVP_PKEY_decrypt(ctx, theirs.data(), &n, in.data(), in.size())
                    : EVP_PKEY_encrypt(ctx, theirs.data(), &n, in.data(), in.size());
    };
    if (ours() != 256 || anchor() != 1 || out != theirs) {
        state.SkipWithError("results differ from OpenSSL");
    } else {
        side_by_side(
            state, 0, priv ? 5 : 50,
            [&] {
                if (ours() < 0) state.SkipWithError("operation failed");
            },
            [&] { anchor(); });
    }
    EVP_PKEY_CTX_free(ctx);
    bi_allow_mulx(old);
}

BENCHMARK_CAPTURE(BM_Rsa2048, Public, false, false);
BENCHMARK_CAPTURE(BM_Rsa2048, Private, true, false);
BENCHMARK_CAPTURE(BM_Rsa2048, PublicPortable, false, true);
BENCHMARK_CAPTURE(BM_Rsa2048, PrivatePortable, true, true);

} // namespace

BENCHMARK_MAIN();
