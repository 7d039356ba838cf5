// Random bytes for the crypto code, from /dev/urandom.
#pragma once

#include <cstddef>

// Fills buf; 0, or -1 after logging "Could not open /dev/urandom: %s".
int crypto_random(void *buf, size_t n);
