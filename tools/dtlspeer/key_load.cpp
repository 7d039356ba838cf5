#include "tools/dtlspeer/key_load.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/crypto/der.h"
#include "common/crypto/rsa.h"
#include "common/crypto/secure.h"

namespace {

using bytes = std::vector<uint8_t>;

int b64_value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// The body of the first PEM block, or the text itself when it is DER.
bool pem_decode(const std::string &text, bytes *der)
{
    size_t begin = text.find("-----BEGIN ");
    if (begin == std::string::npos) {
        der->assign(text.begin(), text.end());
        return true;
    }
    size_t start = text.find('\n', begin);
    size_t end = text.find("-----END ", start);
    if (start == std::string::npos || end == std::string::npos)
        return false;
    uint32_t acc = 0;
    int bits = 0;
    for (size_t i = start; i < end; i++) {
        char c = text[i];
        if (c == '=' || c == '\n' || c == '\r' || c == ' ')
            continue;
        int v = b64_value(c);
        if (v < 0)
            return false;
        acc = acc << 6 | uint32_t(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            der->push_back(uint8_t(acc >> bits));
        }
    }
    return true;
}

rsa_key *parse_pkcs1(const uint8_t *der, size_t len)
{
    rsa_key *key = rsa_new();
    if (!key)
        return nullptr;
    bigint *version = nullptr;
    bigint **slots[] = {&version, &key->n, &key->e, &key->d, &key->p,
                        &key->q,  &key->dp, &key->dq, &key->qinv};
    der_item t[10] = {{DER_SEQUENCE, 1, 0, 0, 0, nullptr, nullptr}};
    for (size_t i = 0; i < 9; i++)
        t[i + 1] = {DER_INTEGER, 0, 1, 0, 0, slots[i], nullptr};
    bool ok = der_parse(der, len, t, 10) == 0 && der_get_integers(der, t, 10) == 0 &&
              bi_is_zero(version);
    bi_free(version);
    if (!ok) {
        rsa_free(key);
        return nullptr;
    }
    key->bits = bi_num_bits(key->n);
    return key;
}

rsa_key *parse_pkcs8(const uint8_t *der, size_t len)
{
    der_item t[] = {
        {DER_SEQUENCE, 1, 0, 0, 0, nullptr, nullptr}, {DER_INTEGER, 0, 1, 0, 0, nullptr, nullptr},
        {DER_SEQUENCE, 1, 1, 0, 0, nullptr, nullptr}, {DER_OID, 0, 2, 0, 0, nullptr, nullptr},
        {DER_NULL, 0, 2, 0, 0, nullptr, nullptr},     {4 /* OCTET STRING */, 0, 1, 0, 0, nullptr, nullptr},
    };
    if (der_parse(der, len, t, 6) < 0)
        return nullptr;
    return parse_pkcs1(der + t[5].offset, t[5].length);
}

} // namespace

rsa_key *key_load_private(const char *path)
{
    FILE *f = fopen(path, "rb");
    if (!f) {
        fprintf(stderr, "dtlspeer: cannot open %s\n", path);
        return nullptr;
    }
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    fclose(f);
    bytes der;
    rsa_key *key = nullptr;
    if (pem_decode(text, &der) && !der.empty()) {
        key = parse_pkcs8(der.data(), der.size());
        if (!key)
            key = parse_pkcs1(der.data(), der.size());
    }
    secure_wipe(text.data(), text.size());
    secure_wipe(der.data(), der.size());
    if (!key)
        fprintf(stderr, "dtlspeer: %s holds no RSA private key\n", path);
    return key;
}
