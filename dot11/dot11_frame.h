// What the authenticator puts on the air and on the wire: the management
// frames it sends, the comparison that recognises a retransmitted request,
// the conversion between FT Action frames and remote request broker (RRB)
// Ethernet frames, and the protection of EAPOL-Key frames (MIC, key data
// encryption) and of the FT elements (FTIE MIC).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/crypto/aes_cmac.h"
#include "common/packet.h"

// 802.11 management header; multi-byte fields little-endian.
enum : size_t {
    DOT11_HDR_FC = 0,
    DOT11_HDR_DURATION = 2,
    DOT11_HDR_ADDR1 = 4,
    DOT11_HDR_ADDR2 = 10,
    DOT11_HDR_ADDR3 = 16,
    DOT11_HDR_SEQ = 22,
    DOT11_HDR_LEN = 24,
};

enum : uint8_t {
    DOT11_FC1_RETRY = 0x08, // in the frame control's second byte
};

// Management subtypes.
enum : uint8_t {
    DOT11_ST_ASSOC_REQ = 0,
    DOT11_ST_ASSOC_RESP = 1,
    DOT11_ST_REASSOC_REQ = 2,
    DOT11_ST_REASSOC_RESP = 3,
    DOT11_ST_PROBE_REQ = 4,
    DOT11_ST_PROBE_RESP = 5,
    DOT11_ST_BEACON = 8,
    DOT11_ST_DISASSOC = 10,
    DOT11_ST_AUTH = 11,
    DOT11_ST_DEAUTH = 12,
    DOT11_ST_ACTION = 13,
};

// Direction of a frame relative to the BSS.
enum : int {
    DOT11_FROM_BSS = 0, // Address 1 the peer, Address 2 the BSSID
    DOT11_TO_BSS = 1,   // Address 1 the BSSID, Address 2 the peer
};

enum : uint8_t {
    DOT11_CATEGORY_FT = 6,
    DOT11_FT_REQUEST = 1,
    DOT11_FT_RESPONSE = 2,
    DOT11_FT_CONFIRM = 3,
    DOT11_FT_ACK = 4,
};

// FT Action body, from its start behind the header.
enum : size_t {
    DOT11_FT_CATEGORY = 0,
    DOT11_FT_ACTION_CODE = 1,
    DOT11_FT_STA = 2,
    DOT11_FT_TARGET_AP = 8,
    DOT11_FT_STATUS = 14, // Response and Ack
    DOT11_FT_REQ_MIN = 14,
    DOT11_FT_RESP_MIN = 16,
};

enum : uint16_t {
    DOT11_ETH_EAPOL = 0x888e,
    DOT11_ETH_PREAUTH = 0x88c7,
    DOT11_ETH_RRB = 0x890d,
};

// RRB frame: Ethernet header, RRB header, FT Action body.
enum : size_t {
    DOT11_RRB_DST = 0,
    DOT11_RRB_SRC = 6,
    DOT11_RRB_ETHERTYPE = 12, // big-endian
    DOT11_RRB_TYPE = 14,      // DOT11_RRB_REQUEST or _RESPONSE
    DOT11_RRB_LENGTH = 15,    // of the FT Action body, little-endian
    DOT11_RRB_AP = 17,
    DOT11_RRB_BODY = 23,
    DOT11_RRB_HDR_LEN = DOT11_RRB_BODY - 14, // behind the Ethernet header
};

enum : uint8_t {
    DOT11_RRB_REQUEST = 0,  // FT Request, FT Confirm
    DOT11_RRB_RESPONSE = 1, // FT Response, FT Ack
};

// EAPOL-Key frame from the EAPOL header; multi-byte fields big-endian.
enum : size_t {
    EAPOL_VERSION = 0,
    EAPOL_TYPE = 1,
    EAPOL_LENGTH = 2,
    EAPOL_KEY_DESC = 4,
    EAPOL_KEY_INFO = 5,
    EAPOL_KEY_LENGTH = 7,
    EAPOL_KEY_REPLAY = 9,
    EAPOL_KEY_NONCE = 17,
    EAPOL_KEY_IV = 49,
    EAPOL_KEY_RSC = 65,
    EAPOL_KEY_RESERVED = 73,
    EAPOL_KEY_MIC = 81,
    EAPOL_KEY_DATA_LEN = 97,
    EAPOL_KEY_DATA = 99,
};

enum : uint16_t {
    EAPOL_KEY_INFO_VERSION = 0x0007,
    EAPOL_KEY_INFO_PAIRWISE = 0x0008,
    EAPOL_KEY_INFO_INDEX = 0x0030,
    EAPOL_KEY_INFO_INSTALL = 0x0040,
    EAPOL_KEY_INFO_ACK = 0x0080,
    EAPOL_KEY_INFO_MIC = 0x0100,
    EAPOL_KEY_INFO_SECURE = 0x0200,
    EAPOL_KEY_INFO_ERROR = 0x0400,
    EAPOL_KEY_INFO_REQUEST = 0x0800,
    EAPOL_KEY_INFO_ENCRYPTED = 0x1000,
};

// Key descriptor versions.
enum : uint8_t {
    EAPOL_KEY_V1 = 1, // HMAC-MD5 MIC, RC4 key data
    EAPOL_KEY_V2 = 2, // HMAC-SHA1-128 MIC, AES key wrap
    EAPOL_KEY_V3 = 3, // AES-128-CMAC MIC, AES key wrap
};

void dot11_make_hdr(uint8_t hdr[DOT11_HDR_LEN], const uint8_t bssid[6], const uint8_t peer[6],
                    uint8_t subtype, int direction);

// Frame builders: append the frame at the packet's tail, the fixed part only
// when the tail room holds it and the elements cut to what remains, and mark
// the packet as a complete frame. 0 when the whole frame was written,
// negative (written minus frame length) when it was cut.
int dot11_make_probe_resp(packet *p, const uint8_t bssid[6], const uint8_t dst[6],
                          uint16_t capability, uint16_t beacon_interval, const uint8_t *const *ies,
                          size_t count);
int dot11_make_auth(packet *p, const uint8_t bssid[6], const uint8_t peer[6], int direction,
                    uint16_t algorithm, uint16_t seq, uint16_t status, const uint8_t *const *ies,
                    size_t count);
int dot11_make_assoc_resp(packet *p, const uint8_t bssid[6], const uint8_t sta[6], uint8_t subtype,
                          uint16_t capability, uint16_t status, const uint8_t *const *ies,
                          size_t count);
int dot11_make_deauth(packet *p, const uint8_t bssid[6], const uint8_t peer[6], int direction,
                      uint16_t reason);
int dot11_make_action_ft_resp(packet *p, const uint8_t bssid[6], const uint8_t sta[6],
                              const uint8_t target_ap[6], uint16_t status, const uint8_t *const *ies,
                              size_t count);

// 0 when b is a as sent again: the same length, frame control apart from the
// Retry bit, addresses and body; duration and sequence control do not count.
int dot11_frame_cmp(std::span<const uint8_t> a, std::span<const uint8_t> b);

// In place, on a packet of one segment: 0, or -1 (logged) with the packet
// unchanged.
int dot11_encap_rrb(packet *p);
int dot11_decap_rrb(packet *p);

// The MIC of an EAPOL-Key frame of len bytes by its key descriptor version,
// with the MIC field taken as zero; written into the MIC field and into mic
// (which may be null). -1 for another version or a key data length beyond
// the frame.
int dot11_eapol_mic(uint8_t *eapol, size_t len, const uint8_t kck[16], uint8_t mic[16]);
// Encrypts the key data in place: RC4 under the next 16 bytes of the nonce
// counter and the KEK for version 1; otherwise padded (0xdd, then zeros, to a
// multiple of 8 and at least 16 bytes) and AES key wrapped, the Key Data
// Length growing by the padding and 8. cap is the room from the frame start.
// -1 for another version or too little room.
int dot11_eapol_encrypt_key_data(uint8_t *eapol, size_t cap, const uint8_t kek[16],
                                 uint8_t counter[32]);
// AES-CMAC over STA || AP || seq || the other elements || the FTIE with its
// MIC taken as zero. -1 when the FTIE is short or its MIC element count is
// not count + 1.
int dot11_ft_mic(const uint8_t *ftie, const uint8_t kck[16], const uint8_t sta[6],
                 const uint8_t ap[6], uint8_t seq, const uint8_t *const *ies, size_t count,
                 uint8_t mic[16]);
// The same under a KCK already set up (schedule and subkeys).
int dot11_ft_mic(const uint8_t *ftie, const aes_cmac_key *kck, const uint8_t sta[6],
                 const uint8_t ap[6], uint8_t seq, const uint8_t *const *ies, size_t count,
                 uint8_t mic[16]);
// The same for an FTIE that carries a wrapped key: wraps the wn 64-bit
// blocks of key under kek into the 8 * (wn + 1) bytes at ftie + at (room the
// FTIE already counts), then writes the MIC over the result; the MIC's chain
// over the bytes in front of the key runs beside the wrap. -1 as there, or
// when the wrapped key does not fit the FTIE (nothing written then).
int dot11_ft_mic_wrap(uint8_t *ftie, size_t at, const uint8_t *key, size_t wn,
                      const uint8_t kck[16], const uint8_t kek[16], const uint8_t sta[6],
                      const uint8_t ap[6], uint8_t seq, const uint8_t *const *ies, size_t count,
                      uint8_t mic[16]);
int dot11_ft_mic_wrap(uint8_t *ftie, size_t at, const uint8_t *key, size_t wn,
                      const aes_cmac_key *kck, const uint8_t kek[16], const uint8_t sta[6],
                      const uint8_t ap[6], uint8_t seq, const uint8_t *const *ies, size_t count,
                      uint8_t mic[16]);
// What an FTIE MIC covers, as dot11_ft_mic takes it.
struct dot11_ft_mic_input {
    const uint8_t *ftie;
    const uint8_t *sta, *ap;
    uint8_t seq;
    const uint8_t *const *ies;
    size_t count;
};
// dot11_ft_mic_wrap that also takes the MIC of another FTIE under the same
// KCK in its pass (a Reassoc-Req's, checked while its response is sealed):
// the chains run side by side. -1 with nothing written when either input is
// refused there or too long for one pass.
int dot11_ft_mic_wrap(uint8_t *ftie, size_t at, const uint8_t *key, size_t wn,
                      const aes_cmac_key *kck, const uint8_t kek[16], const uint8_t sta[6],
                      const uint8_t ap[6], uint8_t seq, const uint8_t *const *ies, size_t count,
                      uint8_t mic[16], const dot11_ft_mic_input &other, uint8_t other_mic[16]);
