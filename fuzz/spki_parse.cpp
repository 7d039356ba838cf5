// SubjectPublicKeyInfo from the network: parse, and when accepted, encode
// again to the same bytes and fingerprint.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/crypto/rsa.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    rsa_key *key = rsa_parse_spki(data, size);
    if (!key)
        return 0;
    size_t len = rsa_encode_spki(nullptr, 0, key);
    uint8_t *der = static_cast<uint8_t *>(malloc(len));
    if (der) {
        rsa_encode_spki(der, len, key);
        // Only the shortest form is accepted, so the bytes come back unchanged.
        if (len != size || memcmp(der, data, size) != 0)
            abort();
        free(der);
    }
    uint8_t fp[RSA_FINGERPRINT_LEN];
    rsa_key_fingerprint(key, fp);
    // A public operation on input derived from the fuzz data.
    size_t k = rsa_size(key);
    uint8_t *block = static_cast<uint8_t *>(calloc(1, k)), *out = static_cast<uint8_t *>(malloc(k));
    if (block && out) {
        memcpy(block + 1, data, size < k - 1 ? size : k - 1);
        rsa_public(key, block, out);
    }
    free(block);
    free(out);
    rsa_free(key);
    return 0;
}
