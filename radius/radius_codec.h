// The RADIUS wire format: the header, attributes in a packet buffer, the
// authenticator and Message-Authenticator calculations, MS-MPPE key
// decryption, the names used in log lines, the 802.11 reason to
// Acct-Terminate-Cause map, and the store that holds the strings and rules of
// an authorization.
//
// A message is one unfragmented packet whose data starts at the RADIUS
// header. Readers never look past the packet's length; a fragmented packet
// reads as malformed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/crypto/md5.h"

struct packet;

constexpr size_t RADIUS_HDR_LEN = 20;
constexpr size_t RADIUS_AUTH_LEN = 16;
constexpr size_t RADIUS_MAX_LEN = 4096; // the largest message a peer may send
constexpr size_t RADIUS_ATTR_HDR_LEN = 2;
constexpr size_t RADIUS_ATTR_MAX_VALUE = 253;
constexpr size_t RADIUS_VSA_HDR_LEN = 8; // type, length, vendor id (4), vendor type, vendor length
constexpr size_t RADIUS_INT_ATTR_LEN = 6;
constexpr size_t RADIUS_MSG_AUTH_ATTR_LEN = 18;

// The fixed header; all bytes, so it may overlay a packet buffer.
struct radius_hdr {
    uint8_t code;
    uint8_t identifier;
    uint8_t length[2]; // big-endian, header included
    uint8_t authenticator[RADIUS_AUTH_LEN];
};
static_assert(sizeof(radius_hdr) == RADIUS_HDR_LEN);
static_assert(offsetof(radius_hdr, authenticator) == 4);

enum class radius_code : uint8_t {
    access_request = 1,
    access_accept = 2,
    access_reject = 3,
    accounting_request = 4,
    accounting_response = 5,
    access_challenge = 11,
    disconnect_request = 40,
    disconnect_ack = 41,
    disconnect_nak = 42,
    coa_request = 43,
    coa_ack = 44,
    coa_nak = 45,
};

enum class radius_attr_type : uint8_t {
    user_name = 1,
    nas_ip_address = 4,
    service_type = 6,
    framed_ip_address = 8,
    filter_id = 11,
    reply_message = 18,
    state = 24,
    class_ = 25,
    vendor_specific = 26,
    session_timeout = 27,
    termination_action = 29,
    called_station_id = 30,
    calling_station_id = 31,
    nas_identifier = 32,
    proxy_state = 33,
    acct_status_type = 40,
    acct_delay_time = 41,
    acct_input_octets = 42,
    acct_output_octets = 43,
    acct_session_id = 44,
    acct_authentic = 45,
    acct_session_time = 46,
    acct_input_packets = 47,
    acct_output_packets = 48,
    acct_terminate_cause = 49,
    acct_multi_session_id = 50,
    acct_link_count = 51,
    acct_input_gigawords = 52,
    acct_output_gigawords = 53,
    event_timestamp = 55,
    nas_port_type = 61,
    tunnel_type = 64,
    tunnel_medium_type = 65,
    tunnel_client_endpoint = 66,
    tunnel_server_endpoint = 67,
    eap_message = 79,
    message_authenticator = 80,
    tunnel_private_group_id = 81,
    acct_interim_interval = 85,
    chargeable_user_identity = 89,
    nas_filter_rule = 92,
    nas_ipv6_address = 95,
    framed_ipv6_prefix = 97,
    error_cause = 101,
    framed_ipv6_address = 168,
    mobility_domain_id = 177,
    wlan_reason_code = 185,
    wlan_pairwise_cipher = 186,
    wlan_group_cipher = 187,
    wlan_akm_suite = 188,
    wlan_rf_band = 190,
};

enum : uint32_t {
    RADIUS_VENDOR_MICROSOFT = 311,
    RADIUS_VENDOR_WISPR = 14122,
    // Our own vendor attributes (redirect URL, bandwidth and volume limits,
    // captive portal).
    RADIUS_VENDOR_ULMEX = 32473,
};

enum : uint8_t {
    RADIUS_MS_MPPE_SEND_KEY = 16,
    RADIUS_MS_MPPE_RECV_KEY = 17,
};

// Big-endian fields of the wire format.
inline uint16_t radius_load16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
inline uint32_t radius_load32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}
inline void radius_store16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void radius_store32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// Header access. The caller has checked that the message holds a header.
radius_hdr *radius_header(packet *msg);
const radius_hdr *radius_header(const packet *msg);
inline uint16_t radius_hdr_length(const radius_hdr *hdr)
{
    return radius_load16(hdr->length);
}
// Sets the header's length field to the message length.
void radius_set_length(packet *msg);

// Attribute access. An attribute pointer points at its type octet inside the
// message; its length octet counts the two header octets.
int radius_validate_attrs(const packet *msg);
uint8_t *radius_find_attr(packet *msg, radius_attr_type type, uint32_t vendor = 0,
                          uint8_t vendor_type = 0);
const uint8_t *radius_find_attr(const packet *msg, radius_attr_type type, uint32_t vendor = 0,
                                uint8_t vendor_type = 0);
// The attribute that follows attr, or null at the end or at a malformed one.
const uint8_t *radius_next_attr(const packet *msg, const uint8_t *attr);
const uint8_t *radius_first_attr(const packet *msg);
int radius_get_int(const uint8_t *attr, uint32_t *out);
int radius_get_number(const uint8_t *attr, size_t skip, uint32_t *out);
int radius_get_mac(const uint8_t *attr, uint8_t out[6]);
// A malloc'ed copy of the attribute (free with free()); null after logging.
uint8_t *radius_dup_attr(const uint8_t *attr);

// Appenders keep the header's length field equal to the message length and
// return where the appended bytes start. Null (ENOSPC) when the tail room is
// short, (EINVAL) for a value over 253 bytes: nothing is appended then.
uint8_t *radius_append(packet *msg, const void *bytes, size_t n);
uint8_t *radius_append_attr(packet *msg, radius_attr_type type, const void *value, size_t n);
uint8_t *radius_append_int(packet *msg, radius_attr_type type, uint32_t value);
uint8_t *radius_append_str(packet *msg, radius_attr_type type, const char *value);
uint8_t *radius_append_mac(packet *msg, radius_attr_type type, const uint8_t mac[6]);

// Moves the first matching attribute behind all others; its new place, or null.
uint8_t *radius_move_attr_to_end(packet *msg, radius_attr_type type, uint32_t vendor = 0,
                                 uint8_t vendor_type = 0);

// Turns the value into a NUL-terminated string in place (the value slides
// over the length octet, which is saved in *length); unterminate undoes it.
char *radius_attr_terminate(uint8_t *attr, uint8_t *length);
void radius_attr_unterminate(uint8_t *attr, uint8_t length);

// MD5 over code, identifier, length, the given authenticator (16 zeros for
// null), the attributes and the secret.
void radius_calc_authenticator(const char *secret, const packet *msg, const uint8_t *authenticator,
                               uint8_t out[RADIUS_AUTH_LEN]);
// HMAC-MD5 keyed with the secret over the message with the given
// authenticator (zeros for null) and the Message-Authenticator value as zeros.
// 0, or 255 when the message has no Message-Authenticator of length 18.
int radius_calc_msg_auth(const char *secret, const packet *msg, const uint8_t *authenticator,
                         uint8_t out[RADIUS_AUTH_LEN]);
// A shared secret prepared for HMAC-MD5 once: the hash states after the
// inner and outer padded key blocks. A transport keeps one per server, so a
// Message-Authenticator costs the message's blocks and one more.
struct radius_msg_auth_key {
    md5_ctx inner;
    md5_ctx outer;
};
void radius_msg_auth_key_init(radius_msg_auth_key *key, const char *secret);
void radius_msg_auth_key_wipe(radius_msg_auth_key *key);
// radius_calc_msg_auth with a prepared secret.
int radius_calc_msg_auth_key(const radius_msg_auth_key *key, const packet *msg,
                             const uint8_t *authenticator, uint8_t out[RADIUS_AUTH_LEN]);
// Where the first Message-Authenticator's value sits, or null (none, or not 18 bytes).
uint8_t *radius_msg_auth_value(packet *msg);

// RFC 2548 decryption in place of blocks x 16 bytes of data.
void radius_mppe_decrypt(const char *secret, const uint8_t request_auth[RADIUS_AUTH_LEN],
                         uint8_t *data, size_t blocks, const uint8_t salt[2]);
// Decrypts the Microsoft sub-attribute of that vendor type in place: 1 done,
// 0 absent, -1 when the value after the salt is not a positive multiple of 16
// bytes or the decrypted key length does not fit in it.
int radius_get_mppe_key(const char *secret, packet *msg, const uint8_t request_auth[RADIUS_AUTH_LEN],
                        uint8_t vendor_type);

// Names for log lines.
const char *radius_code_name(unsigned code);
const char *radius_attr_name(const uint8_t *attr, char *buffer, size_t size);
const char *radius_termination_action_name(uint32_t value, char *buffer, size_t size);

uint16_t radius_reason_to_terminate_cause(uint16_t reason);

// The session store: a capacity in bytes, then blocks rounded to 4 bytes. A
// request that does not fit returns null but still counts in needed, so after
// a failed series needed - used is the shortfall, and one grow makes room.
struct radius_store {
    uint32_t capacity;
    uint32_t used;
    uint32_t needed;
    uint32_t embedded; // 1: inside its owner's record, never freed
};
static_assert(sizeof(radius_store) == 16);

radius_store *radius_store_create(size_t size);
// An empty store held in place: most sessions never store anything, and a
// heap block each would cost more than the session record's own bytes.
void radius_store_init_embedded(radius_store *store);
void radius_store_free(radius_store *store);
// The same store when it already covers what was needed; else a new, reset
// one of that size (null on failure: the old one then stays valid).
radius_store *radius_store_grow(radius_store *store);
void radius_store_reset(radius_store *store);
inline uint32_t radius_store_used(const radius_store *store)
{
    return store->used;
}
inline uint32_t radius_store_needed(const radius_store *store)
{
    return store->needed;
}
void *radius_store_alloc(radius_store *store, size_t n);
void *radius_store_memdup(radius_store *store, const void *bytes, size_t n);
char *radius_store_strndup(radius_store *store, const char *string, size_t n);
char *radius_store_strdup(radius_store *store, const char *string);
