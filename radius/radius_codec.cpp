#include "radius/radius_codec.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "common/crypto/md5.h"
#include "common/crypto/secure.h"
#include "common/log.h"
#include "common/packet.h"
#include "common/sockaddr.h"
#include "common/strings.h"

namespace {

constexpr uint8_t zero_auth[RADIUS_AUTH_LEN] = {};

constexpr uint8_t type_byte(radius_attr_type t)
{
    return static_cast<uint8_t>(t);
}

// Bytes a reader may look at: the first fragment only.
size_t readable(const packet *msg)
{
    return packet_headsize(msg);
}

// The attribute at off, when its two header octets exist and it ends inside
// the message; else null. The walks of this file all stop at such a place.
const uint8_t *attr_at(const packet *msg, size_t off)
{
    size_t end = readable(msg);
    if (off + RADIUS_ATTR_HDR_LEN > end)
        return nullptr;
    const uint8_t *a = msg->data + off;
    if (a[1] < RADIUS_ATTR_HDR_LEN || a[1] > end - off)
        return nullptr;
    return a;
}

bool vsa_matches(const uint8_t *a, uint32_t vendor, uint8_t vendor_type)
{
    if (a[1] < RADIUS_VSA_HDR_LEN)
        return false;
    uint8_t vlen = a[7];
    return radius_load32(a + 2) == vendor && a[6] == vendor_type && vlen >= 2 &&
           static_cast<size_t>(vlen) + 6 <= a[1];
}

const uint8_t *find_attr(const packet *msg, radius_attr_type type, uint32_t vendor,
                         uint8_t vendor_type)
{
    if (readable(msg) < RADIUS_HDR_LEN)
        return nullptr;
    for (const uint8_t *a = attr_at(msg, RADIUS_HDR_LEN); a; a = radius_next_attr(msg, a)) {
        if (a[0] != type_byte(type))
            continue;
        if (type != radius_attr_type::vendor_specific || vsa_matches(a, vendor, vendor_type))
            return a;
    }
    return nullptr;
}

size_t round4(size_t n)
{
    return (n + 3) & ~size_t{3};
}

uint8_t *store_data(radius_store *store)
{
    return reinterpret_cast<uint8_t *>(store + 1);
}

} // namespace

radius_hdr *radius_header(packet *msg)
{
    return reinterpret_cast<radius_hdr *>(msg->data);
}

const radius_hdr *radius_header(const packet *msg)
{
    return reinterpret_cast<const radius_hdr *>(msg->data);
}

void radius_set_length(packet *msg)
{
    if (packet_headsize(msg) >= 4)
        radius_store16(radius_header(msg)->length, msg->length);
}

// ---- attributes ----

int radius_validate_attrs(const packet *msg)
{
    if (packet_isfragmented(msg) || msg->length < RADIUS_HDR_LEN)
        return -1;
    size_t end = msg->length;
    const uint8_t *d = msg->data;
    size_t off = RADIUS_HDR_LEN;
    while (off < end) {
        if (end - off < RADIUS_ATTR_HDR_LEN)
            return -1;
        size_t len = d[off + 1];
        if (len < RADIUS_ATTR_HDR_LEN + 1 || len > end - off)
            return -1;
        if (d[off] == type_byte(radius_attr_type::vendor_specific)) {
            if (len < RADIUS_VSA_HDR_LEN)
                return -1;
            size_t vlen = d[off + 7];
            if (vlen < 2 || vlen + 6 > len)
                return -1;
        }
        off += len;
    }
    return 0;
}

const uint8_t *radius_first_attr(const packet *msg)
{
    if (readable(msg) < RADIUS_HDR_LEN)
        return nullptr;
    return attr_at(msg, RADIUS_HDR_LEN);
}

const uint8_t *radius_next_attr(const packet *msg, const uint8_t *attr)
{
    return attr_at(msg, static_cast<size_t>(attr - msg->data) + attr[1]);
}

const uint8_t *radius_find_attr(const packet *msg, radius_attr_type type, uint32_t vendor,
                                uint8_t vendor_type)
{
    return find_attr(msg, type, vendor, vendor_type);
}

uint8_t *radius_find_attr(packet *msg, radius_attr_type type, uint32_t vendor, uint8_t vendor_type)
{
    return const_cast<uint8_t *>(find_attr(msg, type, vendor, vendor_type));
}

int radius_get_int(const uint8_t *attr, uint32_t *out)
{
    if (attr[1] != RADIUS_INT_ATTR_LEN)
        return -1;
    *out = radius_load32(attr + 2);
    return 0;
}

int radius_get_number(const uint8_t *attr, size_t skip, uint32_t *out)
{
    if (attr[1] < RADIUS_ATTR_HDR_LEN)
        return -1;
    size_t vlen = attr[1] - RADIUS_ATTR_HDR_LEN;
    if (skip >= vlen || vlen - skip > 31)
        return -1;
    std::string_view text(reinterpret_cast<const char *>(attr + 2 + skip), vlen - skip);
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    } else if (text.size() > 1 && text[0] == '0') {
        base = 8;
        text.remove_prefix(1);
    }
    uint64_t value = 0;
    for (char c : text) {
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            return -1;
        if (digit >= base)
            return -1;
        value = value * base + digit;
        if (value > UINT32_MAX)
            return -1;
    }
    *out = static_cast<uint32_t>(value);
    return 0;
}

int radius_get_mac(const uint8_t *attr, uint8_t out[6])
{
    if (attr[1] != RADIUS_ATTR_HDR_LEN + 17)
        return -1;
    return mac_parse(out, std::string_view(reinterpret_cast<const char *>(attr + 2), 17));
}

uint8_t *radius_dup_attr(const uint8_t *attr)
{
    size_t len = attr[1] < RADIUS_ATTR_HDR_LEN ? RADIUS_ATTR_HDR_LEN : attr[1];
    auto *copy = static_cast<uint8_t *>(malloc(len));
    if (!copy) {
        ulog(LOG_COMP_RADIUS, ULOG_ERROR, "Memory allocation failed");
        return nullptr;
    }
    memcpy(copy, attr, len);
    return copy;
}

uint8_t *radius_append(packet *msg, const void *bytes, size_t n)
{
    if (packet_isfragmented(msg) || n > packet_tailroom(msg) ||
        msg->length + n > PACKET_MAX_LENGTH) {
        errno = ENOSPC;
        return nullptr;
    }
    uint8_t *at = packet_put(msg, n);
    if (bytes)
        memcpy(at, bytes, n);
    else
        memset(at, 0, n);
    radius_set_length(msg);
    return at;
}

uint8_t *radius_append_attr(packet *msg, radius_attr_type type, const void *value, size_t n)
{
    if (n > RADIUS_ATTR_MAX_VALUE) {
        errno = EINVAL;
        return nullptr;
    }
    uint8_t *at = radius_append(msg, nullptr, n + RADIUS_ATTR_HDR_LEN);
    if (!at)
        return nullptr;
    at[0] = type_byte(type);
    at[1] = static_cast<uint8_t>(n + RADIUS_ATTR_HDR_LEN);
    if (value)
        memcpy(at + 2, value, n);
    return at;
}

uint8_t *radius_append_int(packet *msg, radius_attr_type type, uint32_t value)
{
    uint8_t v[4];
    radius_store32(v, value);
    return radius_append_attr(msg, type, v, sizeof v);
}

uint8_t *radius_append_str(packet *msg, radius_attr_type type, const char *value)
{
    return radius_append_attr(msg, type, value, strlen(value));
}

uint8_t *radius_append_mac(packet *msg, radius_attr_type type, const uint8_t mac[6])
{
    // "%02X-%02X-%02X-%02X-%02X-%02X", written out: every request carries one or two.
    static constexpr char hex[] = "0123456789ABCDEF";
    char text[17];
    for (int i = 0; i < 6; i++) {
        text[3 * i] = hex[mac[i] >> 4];
        text[3 * i + 1] = hex[mac[i] & 15];
        if (i < 5)
            text[3 * i + 2] = '-';
    }
    return radius_append_attr(msg, type, text, sizeof text);
}

uint8_t *radius_move_attr_to_end(packet *msg, radius_attr_type type, uint32_t vendor,
                                 uint8_t vendor_type)
{
    uint8_t *attr = radius_find_attr(msg, type, vendor, vendor_type);
    if (!attr)
        return nullptr;
    uint8_t *end = msg->data + packet_headsize(msg);
    size_t len = attr[1];
    if (attr + len == end)
        return attr;
    uint8_t saved[255];
    memcpy(saved, attr, len);
    memmove(attr, attr + len, static_cast<size_t>(end - (attr + len)));
    memcpy(end - len, saved, len);
    return end - len;
}

char *radius_attr_terminate(uint8_t *attr, uint8_t *length)
{
    uint8_t len = attr[1];
    *length = len;
    size_t vlen = len > RADIUS_ATTR_HDR_LEN ? len - RADIUS_ATTR_HDR_LEN : 0;
    memmove(attr + 1, attr + 2, vlen);
    attr[1 + vlen] = 0;
    return reinterpret_cast<char *>(attr + 1);
}

void radius_attr_unterminate(uint8_t *attr, uint8_t length)
{
    size_t vlen = length > RADIUS_ATTR_HDR_LEN ? length - RADIUS_ATTR_HDR_LEN : 0;
    memmove(attr + 2, attr + 1, vlen);
    attr[1] = length;
}

// ---- cryptography ----

void radius_calc_authenticator(const char *secret, const packet *msg, const uint8_t *authenticator,
                               uint8_t out[RADIUS_AUTH_LEN])
{
    size_t len = readable(msg);
    md5_ctx ctx;
    md5_init(&ctx);
    md5_update(&ctx, msg->data, len < 4 ? len : 4);
    md5_update(&ctx, authenticator ? authenticator : zero_auth, RADIUS_AUTH_LEN);
    if (len > RADIUS_HDR_LEN)
        md5_update(&ctx, msg->data + RADIUS_HDR_LEN, len - RADIUS_HDR_LEN);
    md5_update(&ctx, secret, strlen(secret));
    md5_final(&ctx, out);
}

uint8_t *radius_msg_auth_value(packet *msg)
{
    uint8_t *attr = radius_find_attr(msg, radius_attr_type::message_authenticator);
    if (!attr || attr[1] != RADIUS_MSG_AUTH_ATTR_LEN)
        return nullptr;
    return attr + 2;
}

void radius_msg_auth_key_init(radius_msg_auth_key *key, const char *secret)
{
    uint8_t k[MD5_BLOCK_LEN] = {}, pad[MD5_BLOCK_LEN];
    secure_wipe_guard wipe_k(k), wipe_pad(pad);
    size_t len = strlen(secret);
    if (len > MD5_BLOCK_LEN) {
        md5_ctx c;
        md5_init(&c);
        md5_update(&c, secret, len);
        md5_final(&c, k);
    } else {
        memcpy(k, secret, len);
    }
    for (size_t i = 0; i < MD5_BLOCK_LEN; i++)
        pad[i] = k[i] ^ 0x36;
    md5_init(&key->inner);
    md5_update(&key->inner, pad, sizeof pad);
    for (size_t i = 0; i < MD5_BLOCK_LEN; i++)
        pad[i] = k[i] ^ 0x5c;
    md5_init(&key->outer);
    md5_update(&key->outer, pad, sizeof pad);
}

void radius_msg_auth_key_wipe(radius_msg_auth_key *key)
{
    secure_wipe(key, sizeof *key);
}

int radius_calc_msg_auth_key(const radius_msg_auth_key *key, const packet *msg,
                             const uint8_t *authenticator, uint8_t out[RADIUS_AUTH_LEN])
{
    const uint8_t *value = radius_msg_auth_value(const_cast<packet *>(msg));
    if (!value)
        return 255;
    const uint8_t *d = msg->data;
    const uint8_t *end = d + readable(msg);
    md5_ctx ctx = key->inner;
    md5_update(&ctx, d, 4);
    md5_update(&ctx, authenticator ? authenticator : zero_auth, RADIUS_AUTH_LEN);
    md5_update(&ctx, d + RADIUS_HDR_LEN, static_cast<size_t>(value - (d + RADIUS_HDR_LEN)));
    md5_update(&ctx, zero_auth, RADIUS_AUTH_LEN);
    const uint8_t *rest = value + RADIUS_AUTH_LEN;
    md5_update(&ctx, rest, static_cast<size_t>(end - rest));
    uint8_t inner[MD5_DIGEST_LEN];
    secure_wipe_guard wipe_inner(inner);
    md5_final(&ctx, inner);
    ctx = key->outer;
    md5_update(&ctx, inner, sizeof inner);
    md5_final(&ctx, out);
    return 0;
}

int radius_calc_msg_auth(const char *secret, const packet *msg, const uint8_t *authenticator,
                         uint8_t out[RADIUS_AUTH_LEN])
{
    if (!radius_msg_auth_value(const_cast<packet *>(msg)))
        return 255;
    radius_msg_auth_key key;
    secure_wipe_guard wipe_key(key);
    radius_msg_auth_key_init(&key, secret);
    return radius_calc_msg_auth_key(&key, msg, authenticator, out);
}

void radius_mppe_decrypt(const char *secret, const uint8_t request_auth[RADIUS_AUTH_LEN],
                         uint8_t *data, size_t blocks, const uint8_t salt[2])
{
    size_t secret_len = strlen(secret);
    uint8_t b[16], c[16];
    secure_wipe_guard wipe_b(b), wipe_c(c);
    md5_ctx ctx;
    md5_init(&ctx);
    md5_update(&ctx, secret, secret_len);
    md5_update(&ctx, request_auth, RADIUS_AUTH_LEN);
    md5_update(&ctx, salt, 2);
    md5_final(&ctx, b);
    for (size_t i = 0; i < blocks; i++) {
        uint8_t *p = data + 16 * i;
        memcpy(c, p, 16);
        for (int k = 0; k < 16; k++)
            p[k] ^= b[k];
        if (i + 1 < blocks) {
            md5_init(&ctx);
            md5_update(&ctx, secret, secret_len);
            md5_update(&ctx, c, 16);
            md5_final(&ctx, b);
        }
    }
}

int radius_get_mppe_key(const char *secret, packet *msg, const uint8_t request_auth[RADIUS_AUTH_LEN],
                        uint8_t vendor_type)
{
    uint8_t *attr = radius_find_attr(msg, radius_attr_type::vendor_specific,
                                     RADIUS_VENDOR_MICROSOFT, vendor_type);
    if (!attr)
        return 0;
    size_t value_len = attr[7] - 2u;
    uint8_t *value = attr + RADIUS_VSA_HDR_LEN;
    if (value_len <= 2 || (value_len - 2) % 16 != 0)
        return -1;
    size_t cipher_len = value_len - 2;
    radius_mppe_decrypt(secret, request_auth, value + 2, cipher_len / 16, value);
    // The first plaintext byte is the key's length; a wrong secret shows here.
    if (value[2] > cipher_len - 1) {
        secure_wipe(value + 2, cipher_len);
        return -1;
    }
    return 1;
}

// ---- names ----

namespace {

struct code_row {
    radius_code code;
    const char *name;
};
constexpr code_row code_names[] = {
    {radius_code::access_request, "Access-Request"},
    {radius_code::access_accept, "Access-Accept"},
    {radius_code::access_reject, "Access-Reject"},
    {radius_code::accounting_request, "Accounting-Request"},
    {radius_code::accounting_response, "Accounting-Response"},
    {radius_code::access_challenge, "Access-Challenge"},
    {radius_code::disconnect_request, "Disconnect-Request"},
    {radius_code::disconnect_ack, "Disconnect-ACK"},
    {radius_code::disconnect_nak, "Disconnect-NAK"},
    {radius_code::coa_request, "CoA-Request"},
    {radius_code::coa_ack, "CoA-ACK"},
    {radius_code::coa_nak, "CoA-NAK"},
};

struct attr_row {
    radius_attr_type type;
    const char *name;
};
using T = radius_attr_type;
constexpr attr_row attr_names[] = {
    {T::user_name, "User-Name"},
    {T::nas_ip_address, "NAS-IP-Address"},
    {T::service_type, "Service-Type"},
    {T::framed_ip_address, "Framed-IP-Address"},
    {T::filter_id, "Filter-Id"},
    {T::reply_message, "Reply-Message"},
    {T::state, "State"},
    {T::class_, "Class"},
    {T::vendor_specific, "Vendor-Specific"},
    {T::session_timeout, "Session-Timeout"},
    {T::termination_action, "Termination-Action"},
    {T::called_station_id, "Called-Station-Id"},
    {T::calling_station_id, "Calling-Station-Id"},
    {T::nas_identifier, "NAS-Identifier"},
    {T::proxy_state, "Proxy-State"},
    {T::acct_status_type, "Acct-Status-Type"},
    {T::acct_delay_time, "Acct-Delay-Time"},
    {T::acct_input_octets, "Acct-Input-Octets"},
    {T::acct_output_octets, "Acct-Output-Octets"},
    {T::acct_session_id, "Acct-Session-Id"},
    {T::acct_authentic, "Acct-Authentic"},
    {T::acct_session_time, "Acct-Session-Time"},
    {T::acct_input_packets, "Acct-Input-Packets"},
    {T::acct_output_packets, "Acct-Output-Packets"},
    {T::acct_terminate_cause, "Acct-Terminate-Cause"},
    {T::acct_multi_session_id, "Acct-Multi-Session-Id"},
    {T::acct_link_count, "Acct-Link-Count"},
    {T::acct_input_gigawords, "Acct-Input-Gigawords"},
    {T::acct_output_gigawords, "Acct-Output-Gigawords"},
    {T::event_timestamp, "Event-Timestamp"},
    {T::nas_port_type, "NAS-Port-Type"},
    {T::tunnel_type, "Tunnel-Type"},
    {T::tunnel_medium_type, "Tunnel-Medium-Type"},
    {T::tunnel_client_endpoint, "Tunnel-Client-Endpoint"},
    {T::tunnel_server_endpoint, "Tunnel-Server-Endpoint"},
    {T::eap_message, "EAP-Message"},
    {T::message_authenticator, "Message-Authenticator"},
    {T::tunnel_private_group_id, "Tunnel-Private-Group-ID"},
    {T::acct_interim_interval, "Acct-Interim-Interval"},
    {T::chargeable_user_identity, "Chargeable-User-Identity"},
    {T::nas_filter_rule, "NAS-Filter-Rule"},
    {T::nas_ipv6_address, "NAS-IPv6-Address"},
    {T::framed_ipv6_prefix, "Framed-IPv6-Prefix"},
    {T::error_cause, "Error-Cause"},
    {T::framed_ipv6_address, "Framed-IPv6-Address"},
    {T::mobility_domain_id, "Mobility-Domain-Id"},
    {T::wlan_reason_code, "WLAN-Reason-Code"},
    {T::wlan_pairwise_cipher, "WLAN-Pairwise-Cipher"},
    {T::wlan_group_cipher, "WLAN-Group-Cipher"},
    {T::wlan_akm_suite, "WLAN-AKM-Suite"},
    {T::wlan_rf_band, "WLAN-RF-Band"},
};

// Indexed by type; types without a name stay null.
constexpr size_t ATTR_NAME_TYPES = 191;
constexpr auto attr_name_table = [] {
    std::array<const char *, ATTR_NAME_TYPES> t{};
    for (const auto &row : attr_names)
        t[static_cast<uint8_t>(row.type)] = row.name;
    return t;
}();

struct vendor_row {
    uint32_t vendor;
    uint8_t type;
    const char *name;
};
constexpr vendor_row vendor_names[] = {
    {RADIUS_VENDOR_WISPR, 4, "WISPr-Redirection-URL"},
    {RADIUS_VENDOR_WISPR, 7, "WISPr-Bandwidth-Max-Up"},
    {RADIUS_VENDOR_WISPR, 8, "WISPr-Bandwidth-Max-Down"},
    {RADIUS_VENDOR_ULMEX, 1, "Ulmex-Redirection-URL"},
    {RADIUS_VENDOR_ULMEX, 2, "Ulmex-Max-Bandwidth-Up"},
    {RADIUS_VENDOR_ULMEX, 3, "Ulmex-Max-Bandwidth-Down"},
    {RADIUS_VENDOR_ULMEX, 4, "Ulmex-Max-Volume-Up"},
    {RADIUS_VENDOR_ULMEX, 5, "Ulmex-Max-Volume-Down"},
    {RADIUS_VENDOR_ULMEX, 6, "Ulmex-Captive-Portal"},
    {RADIUS_VENDOR_MICROSOFT, RADIUS_MS_MPPE_SEND_KEY, "MS-MPPE-Send-Key"},
    {RADIUS_VENDOR_MICROSOFT, RADIUS_MS_MPPE_RECV_KEY, "MS-MPPE-Recv-Key"},
};

// The form of an unnamed attribute of a known vendor.
struct vendor_fallback {
    uint32_t vendor;
    const char *format;
};
constexpr vendor_fallback vendor_fallbacks[] = {
    {RADIUS_VENDOR_WISPR, "WISPr-<%u>"},
    {RADIUS_VENDOR_ULMEX, "Ulmex-<%u>"},
    {RADIUS_VENDOR_MICROSOFT, "MS-<%d>"},
};

// 802.11 reason code -> Acct-Terminate-Cause, for reasons 0 to 51.
constexpr uint16_t CAUSE_USER_REQUEST = 1;
constexpr uint16_t CAUSE_LOST_CARRIER = 2;
constexpr uint16_t CAUSE_IDLE_TIMEOUT = 4;
constexpr uint16_t CAUSE_SESSION_TIMEOUT = 5;
constexpr uint16_t CAUSE_NAS_REQUEST = 10;
constexpr uint16_t CAUSE_SERVICE_UNAVAILABLE = 15;
constexpr uint16_t CAUSE_REAUTHENTICATION_FAILURE = 20;
struct reason_range {
    uint16_t first, last, cause;
};
constexpr reason_range reason_ranges[] = {
    {0, 0, CAUSE_USER_REQUEST},
    {1, 1, CAUSE_NAS_REQUEST},
    {2, 2, CAUSE_SESSION_TIMEOUT},
    {3, 3, CAUSE_LOST_CARRIER},
    {4, 4, CAUSE_IDLE_TIMEOUT},
    {5, 5, CAUSE_SERVICE_UNAVAILABLE},
    {6, 7, CAUSE_NAS_REQUEST},
    {8, 8, CAUSE_LOST_CARRIER},
    {9, 9, CAUSE_NAS_REQUEST},
    {10, 11, CAUSE_SERVICE_UNAVAILABLE},
    {12, 12, CAUSE_NAS_REQUEST},
    {13, 24, CAUSE_REAUTHENTICATION_FAILURE},
    {25, 47, CAUSE_NAS_REQUEST},
    {48, 51, CAUSE_REAUTHENTICATION_FAILURE},
};
constexpr size_t REASONS = 52;
constexpr auto reason_table = [] {
    std::array<uint16_t, REASONS> t{};
    for (const auto &r : reason_ranges)
        for (unsigned i = r.first; i <= r.last; i++)
            t[i] = r.cause;
    return t;
}();

} // namespace

const char *radius_code_name(unsigned code)
{
    for (const auto &row : code_names)
        if (static_cast<unsigned>(row.code) == code)
            return row.name;
    return string_small_number(static_cast<uint8_t>(code));
}

const char *radius_attr_name(const uint8_t *attr, char *buffer, size_t size)
{
    uint8_t type = attr[0];
    if (type != type_byte(radius_attr_type::vendor_specific)) {
        if (type < ATTR_NAME_TYPES && attr_name_table[type])
            return attr_name_table[type];
        snprintf(buffer, size, "<%u>", type);
        return buffer;
    }
    if (attr[1] < RADIUS_VSA_HDR_LEN)
        return "Vendor-Specific";
    uint32_t vendor = radius_load32(attr + 2);
    uint8_t vendor_type = attr[6];
    for (const auto &row : vendor_names)
        if (row.vendor == vendor && row.type == vendor_type)
            return row.name;
    for (const auto &row : vendor_fallbacks)
        if (row.vendor == vendor) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
            snprintf(buffer, size, row.format, vendor_type);
#pragma GCC diagnostic pop
            return buffer;
        }
    return "Vendor-Specific";
}

const char *radius_termination_action_name(uint32_t value, char *buffer, size_t size)
{
    if (value == 0)
        return "Default";
    if (value == 1)
        return "Request";
    snprintf(buffer, size, "%u", value);
    return buffer;
}

uint16_t radius_reason_to_terminate_cause(uint16_t reason)
{
    return reason < REASONS ? reason_table[reason] : CAUSE_NAS_REQUEST;
}

// ---- the session store ----

radius_store *radius_store_create(size_t size)
{
    if (size > UINT32_MAX - 3) {
        errno = ENOMEM;
        return nullptr;
    }
    size_t capacity = round4(size);
    auto *store = static_cast<radius_store *>(malloc(sizeof(radius_store) + capacity));
    if (!store) {
        ulog(LOG_COMP_RADIUS, ULOG_ERROR, "Memory allocation failed");
        return nullptr;
    }
    *store = radius_store{static_cast<uint32_t>(capacity), 0, 0, 0};
    return store;
}

void radius_store_init_embedded(radius_store *store)
{
    *store = radius_store{0, 0, 0, 1};
}

void radius_store_free(radius_store *store)
{
    if (store && !store->embedded) free(store);
}

radius_store *radius_store_grow(radius_store *store)
{
    if (store->capacity >= store->needed)
        return store;
    radius_store *bigger = radius_store_create(store->needed);
    if (!bigger)
        return nullptr;
    radius_store_free(store);
    return bigger;
}

void radius_store_reset(radius_store *store)
{
    store->used = 0;
    store->needed = 0;
}

void *radius_store_alloc(radius_store *store, size_t n)
{
    // Sizes past 32 bits can never fit: needed then saturates.
    uint64_t rounded = n > UINT32_MAX - 3 ? UINT32_MAX : round4(n);
    uint64_t needed = store->needed + rounded;
    store->needed = needed > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(needed);
    if (static_cast<uint64_t>(store->used) + n > store->capacity)
        return nullptr;
    void *p = store_data(store) + store->used;
    store->used += static_cast<uint32_t>(rounded);
    return p;
}

void *radius_store_memdup(radius_store *store, const void *bytes, size_t n)
{
    void *p = radius_store_alloc(store, n);
    if (p && n)
        memcpy(p, bytes, n);
    return p;
}

char *radius_store_strndup(radius_store *store, const char *string, size_t n)
{
    size_t len = strnlen(string, n);
    auto *p = static_cast<char *>(radius_store_alloc(store, len + 1));
    if (p) {
        memcpy(p, string, len);
        p[len] = 0;
    }
    return p;
}

char *radius_store_strdup(radius_store *store, const char *string)
{
    return radius_store_strndup(store, string, strlen(string));
}
