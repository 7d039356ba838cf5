// Both unpaddings over decrypted blocks of any content and size; the first
// byte picks the output size and the label length.
#include <cstdint>
#include <cstring>

#include "common/crypto/rsa.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    size_t out_size = data[0] & 0x7f, label_len = data[0] >> 7;
    const uint8_t *block = data + 1;
    size_t k = size - 1;
    uint8_t out[128];
    int n = rsa_pkcs1_unpad(block, k, out, out_size);
    if (n > int(out_size))
        __builtin_trap();
    n = rsa_oaep_decode(block, k, data, label_len, out, out_size);
    if (n > int(out_size))
        __builtin_trap();
    return 0;
}
