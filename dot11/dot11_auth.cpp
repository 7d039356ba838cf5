#include "dot11/dot11_auth.h"

#include "common/crypto/aes.h"

void dot11_crypto_init()
{
    aes_init();
}
