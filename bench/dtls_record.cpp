// Record protection and checking (AES-128-CCM, 16- and 8-byte tags) against
// libcrypto's AES-128-CCM doing the same work: seal a record with 13 bytes of
// additional data, then open it again.
#include <benchmark/benchmark.h>

#include <openssl/evp.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "bench/crypto_side_by_side.h"
#include "common/packet.h"
#include "controller/dtls/dtls_aes_ccm.h"
#include "controller/dtls/dtls_rec.h"

// Heap allocations made while records are processed (must stay 0). The
// replacement pairs malloc with free, which gcc cannot see through.
#pragma GCC diagnostic ignored "-Wpragmas"
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
static std::atomic<uint64_t> heap_allocs{0};
void *operator new(size_t n)
{
    heap_allocs++;
    if (void *p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept
{
    std::free(p);
}
void operator delete(void *p, size_t) noexcept
{
    std::free(p);
}

namespace {

const dtls_security_parameters kCcm = {0, 1, 3, 2, 16, 16, 4, 8, 0, 16, 0, 0};
const dtls_security_parameters kCcm8 = {0, 1, 3, 2, 16, 16, 4, 8, 0, 8, 0, 0};

struct openssl_ccm {
    EVP_CIPHER_CTX *enc = EVP_CIPHER_CTX_new();
    EVP_CIPHER_CTX *dec = EVP_CIPHER_CTX_new();
    int tag_length;
    uint8_t key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    uint8_t nonce[12] = {9, 9, 9, 9};
    uint8_t aad[13] = {0, 1};
    uint8_t tag[16];
    explicit openssl_ccm(int m) : tag_length(m)
    {
        for (EVP_CIPHER_CTX *c : {enc, dec}) {
            EVP_CipherInit_ex(c, EVP_aes_128_ccm(), nullptr, nullptr, nullptr, c == enc);
            EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_AEAD_SET_IVLEN, 12, nullptr);
            EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_AEAD_SET_TAG, m, nullptr);
            EVP_CipherInit_ex(c, nullptr, nullptr, key, nullptr, c == enc);
        }
    }
    ~openssl_ccm()
    {
        EVP_CIPHER_CTX_free(enc);
        EVP_CIPHER_CTX_free(dec);
    }
    bool seal_open(uint8_t *data, int n)
    {
        int len;
        nonce[11]++;
        EVP_EncryptInit_ex(enc, nullptr, nullptr, nullptr, nonce);
        EVP_EncryptUpdate(enc, nullptr, &len, nullptr, n);
        EVP_EncryptUpdate(enc, nullptr, &len, aad, 13);
        EVP_EncryptUpdate(enc, data, &len, data, n);
        EVP_EncryptFinal_ex(enc, data + len, &len);
        EVP_CIPHER_CTX_ctrl(enc, EVP_CTRL_AEAD_GET_TAG, tag_length, tag);
        EVP_DecryptInit_ex(dec, nullptr, nullptr, nullptr, nonce);
        EVP_CIPHER_CTX_ctrl(dec, EVP_CTRL_AEAD_SET_TAG, tag_length, tag);
        EVP_DecryptUpdate(dec, nullptr, &len, nullptr, n);
        EVP_DecryptUpdate(dec, nullptr, &len, aad, 13);
        return EVP_DecryptUpdate(dec, data, &len, data, n) == 1;
    }
};

void BM_RecordSealOpen(benchmark::State &state)
{
    aes_init();
    size_t n = size_t(state.range(0));
    const dtls_security_parameters *params = state.range(1) == 16 ? &kCcm : &kCcm8;
    packet_pool_config cfg = {17000, 32, 16, 4, 4, 0};
    mempool *pool = packet_pool_create(&cfg);
    packet *p = packet_alloc(pool, n);
    memset(p->data, 0x42, n);

    dtls_key_block kb = {};
    for (size_t i = 0; i < sizeof kb.bytes; i++)
        kb.bytes[i] = uint8_t(i * 11);
    kb.client_write_key = 0;
    kb.server_write_key = 16;
    kb.client_write_iv = 32;
    kb.server_write_iv = 36;
    dtls_security_context client = {}, server = {};
    for (auto [c, e] : {std::pair{&client, DTLS_CLIENT}, std::pair{&server, DTLS_SERVER}}) {
        c->params = params;
        c->cipher = &dtls_aes_ccm_ops;
        c->entity = e;
        c->epoch = 1;
        c->keys = kb;
        dtls_rec_init_cipher(c, DTLS_CLIENT);
    }
    openssl_ccm theirs(params->mac_length);
    static uint8_t buffer[16384];

    bool ok = true;
    auto ours = [&] {
        ok &= dtls_rec_send(&client, nullptr, p, DTLS_CT_APPLICATION_DATA) == 0;
        ok &= dtls_rec_recv(&server, nullptr, p) == 0;
    };
    // Allocations are counted over records of their own, outside the timing.
    uint64_t allocs_before = heap_allocs.load();
    uint32_t pool_before = pool->info.memUsedObjects;
    for (int i = 0; i < 1000; i++)
        ours();
    double allocs = double(heap_allocs.load() - allocs_before + pool->info.memUsedObjects -
                           pool_before) / 1000;
    side_by_side(state, n, 64, ours, [&] { ok &= theirs.seal_open(buffer, int(n)); });
    if (!ok || p->length != n)
        state.SkipWithError("a record failed");
    state.counters["allocs_per_record"] = allocs;
    dtls_rec_free_ciphers(&client);
    dtls_rec_free_ciphers(&server);
    packet_release(p);
    mempool_unref(pool);
}

BENCHMARK(BM_RecordSealOpen)
    ->ArgNames({"bytes", "tag"})
    ->ArgsProduct({{64, 1024, 16384}, {16, 8}});

} // namespace

BENCHMARK_MAIN();
