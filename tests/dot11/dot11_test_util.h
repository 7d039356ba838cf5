// Helpers shared by the 802.11 tests: byte strings, running a peer program,
// 802.11 frames and EAPOL-Key frames as a station or the tests need them.
#pragma once

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/mempool.h"
#include "common/packet.h"
#include "crypto/util.h"
#include "dot11/dot11_frame.h"

// The key handling's AES goes through the implementation chosen at start-up.
inline const bool dot11_test_aes_ready = (aes_init(), true);

inline bytes operator+(bytes a, const bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Output of a shell command; a bounded run of a program that ends by itself.
inline std::string run(const std::string &cmd)
{
    std::string out;
    FILE *f = popen(cmd.c_str(), "r");
    if (!f)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    pclose(f);
    return out;
}

inline bool have_program(const char *name)
{
    return system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

// A packet pool for the frame builders, released with the test.
struct pool_deleter {
    void operator()(mempool *p) const { mempool_unref(p); }
};
using pool_ptr = std::unique_ptr<mempool, pool_deleter>;

inline pool_ptr make_pool(uint32_t buffer_size = 2048, uint32_t headroom = 64, uint32_t tailroom = 16)
{
    packet_pool_config c{};
    c.buffer_size = buffer_size;
    c.headroom = headroom;
    c.tailroom = tailroom;
    c.packet_count = 32;
    c.buffer_count = 32;
    return pool_ptr(packet_pool_create(&c));
}

inline bytes packet_bytes(const packet *p)
{
    return bytes(p->data, p->data + p->length);
}

// An EAPOL-Key frame (EAPOL header on) with room behind its key data.
inline bytes eapol_key(uint8_t desc, uint16_t info, uint16_t key_len, uint64_t replay,
                       const uint8_t *nonce, uint64_t rsc, const bytes &data, size_t spare = 16)
{
    bytes f(EAPOL_KEY_DATA + data.size() + spare);
    f[EAPOL_VERSION] = 2;
    f[EAPOL_TYPE] = 3;
    size_t body = EAPOL_KEY_DATA - 4 + data.size();
    f[EAPOL_LENGTH] = uint8_t(body >> 8);
    f[EAPOL_LENGTH + 1] = uint8_t(body);
    f[EAPOL_KEY_DESC] = desc;
    f[EAPOL_KEY_INFO] = uint8_t(info >> 8);
    f[EAPOL_KEY_INFO + 1] = uint8_t(info);
    f[EAPOL_KEY_LENGTH] = uint8_t(key_len >> 8);
    f[EAPOL_KEY_LENGTH + 1] = uint8_t(key_len);
    for (int i = 0; i < 8; i++)
        f[EAPOL_KEY_REPLAY + i] = uint8_t(replay >> (56 - 8 * i));
    if (nonce)
        memcpy(&f[EAPOL_KEY_NONCE], nonce, 32);
    for (int i = 0; i < 8; i++)
        f[EAPOL_KEY_RSC + i] = uint8_t(rsc >> (8 * i));
    f[EAPOL_KEY_DATA_LEN] = uint8_t(data.size() >> 8);
    f[EAPOL_KEY_DATA_LEN + 1] = uint8_t(data.size());
    if (!data.empty())
        memcpy(&f[EAPOL_KEY_DATA], data.data(), data.size());
    return f;
}

// The EAPOL frame's length by its body length field.
inline size_t eapol_length(const bytes &f)
{
    return 4 + size_t(f[EAPOL_LENGTH] << 8 | f[EAPOL_LENGTH + 1]);
}

inline size_t eapol_key_data_length(const bytes &f)
{
    return size_t(f[EAPOL_KEY_DATA_LEN] << 8 | f[EAPOL_KEY_DATA_LEN + 1]);
}

// Makes the body length agree with the key data length.
inline void eapol_fix_length(bytes &f)
{
    size_t body = EAPOL_KEY_DATA - 4 + eapol_key_data_length(f);
    f[EAPOL_LENGTH] = uint8_t(body >> 8);
    f[EAPOL_LENGTH + 1] = uint8_t(body);
}

// A management frame: our header and the given fixed fields and elements.
inline bytes mgmt_frame(uint8_t subtype, const uint8_t bssid[6], const uint8_t peer[6], int direction,
                        const bytes &rest)
{
    bytes f(DOT11_HDR_LEN);
    dot11_make_hdr(f.data(), bssid, peer, subtype, direction);
    return f + rest;
}

// An 802.11 data frame carrying an EAPOL frame between the BSS and a station.
inline bytes eapol_data_frame(bool to_ds, const uint8_t bssid[6], const uint8_t sta[6],
                              const bytes &eapol, uint16_t seq)
{
    bytes f(DOT11_HDR_LEN);
    f[0] = 0x08; // data
    f[1] = to_ds ? 0x01 : 0x02;
    memcpy(&f[DOT11_HDR_ADDR1], to_ds ? bssid : sta, 6);
    memcpy(&f[DOT11_HDR_ADDR2], to_ds ? sta : bssid, 6);
    memcpy(&f[DOT11_HDR_ADDR3], bssid, 6);
    f[DOT11_HDR_SEQ] = uint8_t(seq << 4);
    f[DOT11_HDR_SEQ + 1] = uint8_t(seq >> 4);
    bytes llc = {0xaa, 0xaa, 0x03, 0x00, 0x00, 0x00, 0x88, 0x8e};
    return f + llc + bytes(eapol.begin(), eapol.begin() + long(eapol_length(eapol)));
}

// A classic pcap file of raw 802.11 frames (no FCS) or Ethernet frames.
inline void write_pcap(const std::string &path, const std::vector<bytes> &frames, uint32_t linktype = 105)
{
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_TRUE(f);
    uint32_t gh[6] = {0xa1b2c3d4, 0x00040002, 0, 0, 65535, linktype};
    fwrite(gh, sizeof gh, 1, f);
    uint32_t t = 1700000000;
    for (const bytes &b : frames) {
        uint32_t rh[4] = {t++, 0, uint32_t(b.size()), uint32_t(b.size())};
        fwrite(rh, sizeof rh, 1, f);
        fwrite(b.data(), 1, b.size(), f);
    }
    fclose(f);
}

// A temporary directory removed with the test.
struct temp_dir {
    std::string path;
    temp_dir()
    {
        char t[] = "/tmp/ugw-dot11-XXXXXX";
        if (mkdtemp(t))
            path = t;
    }
    ~temp_dir()
    {
        if (!path.empty())
            run("rm -rf '" + path + "'");
    }
};

// A CCMP-protected data frame with one ARP request: tshark decrypts it only
// with the key it derived itself, and then shows that key.
inline bytes ccmp_data_frame(const uint8_t bssid[6], const uint8_t sta[6], bool to_ds, const uint8_t *key,
                             uint8_t key_id, uint64_t pn)
{
    static const uint8_t broadcast[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    bytes h(DOT11_HDR_LEN);
    h[0] = 0x08;
    h[1] = uint8_t((to_ds ? 0x01 : 0x02) | 0x40); // protected
    memcpy(&h[DOT11_HDR_ADDR1], to_ds ? bssid : broadcast, 6);
    memcpy(&h[DOT11_HDR_ADDR2], to_ds ? sta : bssid, 6);
    memcpy(&h[DOT11_HDR_ADDR3], to_ds ? broadcast : sta, 6);
    h[DOT11_HDR_SEQ] = 0x40;
    bytes ccmp = {uint8_t(pn), uint8_t(pn >> 8), 0, uint8_t(0x20 | key_id << 6),
                  uint8_t(pn >> 16), uint8_t(pn >> 24), uint8_t(pn >> 32), uint8_t(pn >> 40)};
    bytes plain = {0xaa, 0xaa, 0x03, 0x00, 0x00, 0x00, 0x08, 0x06, // LLC/SNAP, ARP
                   0x00, 0x01, 0x08, 0x00, 6, 4, 0x00, 0x01};
    const uint8_t *sender = to_ds ? sta : bssid;
    plain.insert(plain.end(), sender, sender + 6);
    plain = plain + bytes{192, 0, 2, uint8_t(to_ds ? 1 : 3)} + bytes(6, 0) + bytes{192, 0, 2, 2};
    // AAD: frame control without Retry, PwrMgt and MoreData, addresses, sequence control without the number.
    bytes aad = {uint8_t(h[0] & 0x8f), uint8_t((h[1] & 0xc7) | 0x40)};
    aad.insert(aad.end(), h.begin() + DOT11_HDR_ADDR1, h.begin() + DOT11_HDR_SEQ);
    aad = aad + bytes{uint8_t(h[DOT11_HDR_SEQ] & 0x0f), 0};
    bytes nonce = {0};
    nonce.insert(nonce.end(), h.begin() + DOT11_HDR_ADDR2, h.begin() + DOT11_HDR_ADDR2 + 6);
    for (int i = 5; i >= 0; i--)
        nonce.push_back(uint8_t(pn >> (8 * i)));
    bytes out(plain.size()), tag(8);
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int n;
    EVP_EncryptInit_ex(ctx, EVP_aes_128_ccm(), nullptr, nullptr, nullptr);
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_CCM_SET_IVLEN, 13, nullptr);
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_CCM_SET_TAG, 8, nullptr);
    EVP_EncryptInit_ex(ctx, nullptr, nullptr, key, nonce.data());
    EVP_EncryptUpdate(ctx, nullptr, &n, nullptr, int(plain.size()));
    EVP_EncryptUpdate(ctx, nullptr, &n, aad.data(), int(aad.size()));
    EVP_EncryptUpdate(ctx, out.data(), &n, plain.data(), int(plain.size()));
    EVP_EncryptFinal_ex(ctx, out.data() + n, &n);
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_CCM_GET_TAG, 8, tag.data());
    EVP_CIPHER_CTX_free(ctx);
    return h + ccmp + out + tag;
}

struct tshark_row {
    std::string msgnr, tk, gtk, kck, kek;
};

// One row per frame: message number, TK and GTK as tshark shows them.
inline std::vector<tshark_row> tshark_keys(const std::string &pcap, const std::string &passphrase,
                                          const std::string &ssid)
{
    std::string out = run(std::string("tshark -n -r ") + pcap +
                          " -o wlan.enable_decryption:TRUE -o 'uat:80211_keys:\"wpa-pwd\",\"" +
                          passphrase + ":" + ssid +
                          "\"' -T fields -E separator=, -e frame.number"
                          " -e wlan_rsna_eapol.keydes.msgnr -e wlan.analysis.tk"
                          " -e wlan.analysis.gtk -e wlan.analysis.kck -e wlan.analysis.kek 2>/dev/null");
    std::vector<tshark_row> rows;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::stringstream ls(line);
        std::string field;
        while (std::getline(ls, field, ','))
            f.push_back(field);
        f.resize(6);
        rows.push_back({f[1], f[2], f[3], f[4], f[5]});
    }
    return rows;
}
