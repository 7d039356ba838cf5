// RSA private keys from PEM or DER files (PKCS#1 RSAPrivateKey or PKCS#8).
#pragma once

struct rsa_key;

// Null after a message on standard error.
rsa_key *key_load_private(const char *path);
