#include "utility/ugw_action.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <net/if.h>

#include "common/crypto/hmac.h"
#include "common/crypto/secure.h"
#include "common/log.h"
#include "controller/ulmex.h"
#include "gateway/ugwd_control.h"
#include "radius/radius_mib.h"

static_assert(UGW_SERVICE_RECORD == 1292);
// One server action serves both row types.
static_assert(offsetof(radiusAccClientServerExtTable, radiusAccServerSharedSecret) ==
              offsetof(radiusAuthClientServerExtTable, radiusAuthServerSharedSecret));
static_assert(offsetof(radiusAccClientServerExtTable, radiusAccClientServerInetPortNumber) ==
              offsetof(radiusAuthClientServerExtTable, radiusAuthClientServerInetPortNumber));

int pbkdf2_hmac_sha1(const void *password, size_t password_len, const void *salt, size_t salt_len,
                     uint32_t iterations, uint8_t *out, size_t out_len)
{
    if (iterations == 0) {
        errno = EINVAL;
        return -1;
    }
    // The keyed inner and outer states are computed once and copied per round.
    hmac_sha1_ctx keyed;
    hmac_sha1_init(&keyed, password, password_len);
    uint8_t u[20], t[20];
    for (uint32_t block = 1; out_len > 0; block++) {
        uint8_t counter[4] = {uint8_t(block >> 24), uint8_t(block >> 16), uint8_t(block >> 8),
                              uint8_t(block)};
        hmac_sha1_ctx h = keyed;
        hmac_sha1_update(&h, salt, salt_len);
        hmac_sha1_update(&h, counter, sizeof(counter));
        hmac_sha1_final(&h, u);
        memcpy(t, u, sizeof(t));
        for (uint32_t i = 1; i < iterations; i++) {
            h = keyed;
            hmac_sha1_update(&h, u, sizeof(u));
            hmac_sha1_final(&h, u);
            for (size_t k = 0; k < sizeof(t); k++)
                t[k] ^= u[k];
        }
        size_t n = out_len < sizeof(t) ? out_len : sizeof(t);
        memcpy(out, t, n);
        out += n;
        out_len -= n;
    }
    secure_wipe(&keyed, sizeof(keyed));
    secure_wipe(u, sizeof(u));
    secure_wipe(t, sizeof(t));
    return 0;
}

int psk_from_passphrase(const char *passphrase, const uint8_t *ssid, size_t ssid_len,
                        uint8_t psk[32])
{
    if (ssid_len == 0) {
        errno = ENOKEY;
        return -1;
    }
    // Stations read 64 characters as a hex key, and only printable ASCII
    // is typed the same on every station.
    size_t n = strlen(passphrase);
    bool printable = n >= 8 && n <= 63;
    for (size_t i = 0; printable && i < n; i++)
        printable = passphrase[i] >= 0x20 && passphrase[i] <= 0x7e;
    if (!printable) {
        errno = EINVAL;
        return -1;
    }
    return pbkdf2_hmac_sha1(passphrase, n, ssid, ssid_len, 4096, psk, 32);
}

namespace
{

// Runs change on an aligned copy of the record's size bytes (not its
// padding) and writes it back: 1 when a byte differs, 0 when none does, -1
// (record untouched) when change fails.
template <typename T, size_t Size = sizeof(T), typename F> int act_on(void *record, F change)
{
    static_assert(Size <= sizeof(T));
    T before{}, after{};
    memcpy(&before, record, Size);
    memcpy(&after, record, Size);
    if (change(after) < 0) return -1;
    if (memcmp(&before, &after, Size) == 0) return 0;
    memcpy(record, &after, Size);
    return 1;
}

int fail(int err)
{
    errno = err;
    return -1;
}

// ---- log ----

int log_modules(const char *names, uint32_t *mask)
{
    *mask = 0;
    char copy[UGW_TEXT_MAX + 1];
    snprintf(copy, sizeof(copy), "%s", names);
    char *save = nullptr;
    for (char *w = strtok_r(copy, " ", &save); w; w = strtok_r(nullptr, " ", &save)) {
        uint32_t bit = log_module_lookup(w);
        if (!bit) return fail(EINVAL);
        *mask |= bit;
    }
    return 0;
}

int change_log(void *settings, const ugw_command *cmd, bool set)
{
    const ugw_conf &conf = cmd->conf;
    return act_on<log_cfg>(settings, [&](log_cfg &l) {
        switch (conf.attr) {
        case UGW_ATTR_LOG_LEVEL:
            l.level = set ? static_cast<int8_t>(conf.u.value) : 0;
            return 0;
        case UGW_ATTR_LOG_OPTION:
            l.format = set ? uint8_t(l.format | conf.u.value) : uint8_t(l.format & ~conf.u.value);
            return 0;
        case UGW_ATTR_LOG_MODULE: {
            uint32_t mask;
            if (log_modules(conf.u.text, &mask) < 0) return -1;
            l.components = set ? l.components | mask : l.components & ~mask;
            return 0;
        }
        case UGW_ATTR_LOG_TRACE:
            l.level = set ? 5 : 4;
            if (set)
                memcpy(l.trace_mac, conf.u.mac, 6);
            else
                memset(l.trace_mac, 0, 6);
            return 0;
        default:
            return fail(EINVAL);
        }
    });
}

// ---- control, port, NAS, servers ----

int change_control(void *control, const ugw_command *cmd, bool set)
{
    const ugw_conf &conf = cmd->conf;
    if (conf.attr != UGW_ATTR_CONTROL_KEY) return fail(EINVAL);
    return act_on<ulmexControl>(control, [&](ulmexControl &c) {
        memset(c.ulmexControlKey, 0, sizeof(c.ulmexControlKey));
        c.ulmexControlKeyLength = 0;
        if (!set) return 0;
        int bits = conf.u.hex.bits;
        if (bits <= 0 || bits > 256) return fail(EINVAL);
        memcpy(c.ulmexControlKey, conf.u.hex.bytes, size_t(bits + 7) / 8);
        c.ulmexControlKeyLength = static_cast<uint16_t>(bits);
        return 0;
    });
}

int change_port(void *port, const ugw_command *cmd, bool set)
{
    const ugw_conf &conf = cmd->conf;
    if (conf.attr != UGW_ATTR_PORT_IP) return fail(EINVAL);
    const ugw_addr &a = conf.u.addr;
    return act_on<ugwd_port_mib>(port, [&](ugwd_port_mib &p) {
        uint8_t *v4 = p.ulmexPortConfig, *v6 = p.ulmexPortConfig6;
        if (set) {
            if (a.family == AF_INET)
                memcpy(v4, a.bytes, 4);
            else if (a.family == AF_INET6)
                memcpy(v6, a.bytes, 16);
            else
                return fail(EINVAL);
            return 0;
        }
        if ((a.family == 0 || a.family == AF_INET) && (!a.family || !memcmp(v4, a.bytes, 4)))
            memset(v4, 0, 4);
        if ((a.family == 0 || a.family == AF_INET6) && (!a.family || !memcmp(v6, a.bytes, 16)))
            memset(v6, 0, 16);
        return 0;
    });
}

int change_nas(void *config, const ugw_command *cmd, bool set)
{
    const ugw_conf &conf = cmd->conf;
    return act_on<radius_nas_config>(config, [&](radius_nas_config &n) {
        if (conf.attr == UGW_ATTR_NAS_PORTS) {
            if (set && (conf.u.value == 0 || conf.u.value > 0x7fff)) return fail(EINVAL);
            n.radiusClientRequestPorts = set ? conf.u.value & 0x7fff : 1;
            return 0;
        }
        if (conf.attr == UGW_ATTR_NAS_CACHING) {
            n.radiusClientCaching = set ? 1 : 0;
            return 0;
        }
        return fail(EINVAL);
    });
}

int change_server(void *row, const ugw_command *cmd, bool set, uint16_t default_port)
{
    const ugw_conf &conf = cmd->conf;
    return act_on<radiusAuthClientServerExtTable>(row, [&](radiusAuthClientServerExtTable &r) {
        if (conf.attr == UGW_ATTR_SERVER_PORT) {
            if (set && (conf.u.value == 0 || conf.u.value > 65535)) return fail(EINVAL);
            r.radiusAuthClientServerInetPortNumber =
                set ? static_cast<uint16_t>(conf.u.value) : default_port;
            return 0;
        }
        if (conf.attr == UGW_ATTR_SERVER_SECRET) {
            // Refused rather than cut: a cut secret matches no server.
            size_t n = set ? strlen(conf.u.text) : 0;
            if (n > RADIUS_SECRET_SIZE - 1) return fail(EINVAL);
            memset(r.radiusAuthServerSharedSecret, 0, sizeof(r.radiusAuthServerSharedSecret));
            memcpy(r.radiusAuthServerSharedSecret, conf.u.text, n);
            return 0;
        }
        return fail(EINVAL);
    });
}

// ---- services ----

struct service {
    ugwd_service_mib mib;
    dot11_auth_config dot11;
    uint8_t vap[UGW_SERVICE_VAP_PARAMS];
    uint8_t rest[52 + 64];
};
static_assert(offsetof(service, dot11) == 768 && offsetof(service, vap) == 768 + 280);
static_assert(offsetof(service, rest) + sizeof(service::rest) == UGW_SERVICE_RECORD);

constexpr uint32_t WPA_OUI = 0x0050f2, RSN_OUI = 0x000fac;

constexpr uint32_t suite(uint32_t oui, uint32_t type)
{
    return dot11_suite(uint8_t(oui >> 16), uint8_t(oui >> 8), uint8_t(oui), uint8_t(type));
}

bool is_psk_akm(uint32_t s)
{
    return s == DOT11_AKM_PSK || s == DOT11_AKM_WPA_PSK || s == DOT11_AKM_FT_PSK ||
           s == DOT11_AKM_PSK_SHA256;
}

template <size_t N> bool has(const uint32_t (&list)[N], uint32_t s)
{
    for (uint32_t v : list)
        if (v == s) return true;
    return false;
}

// Adds once: a suite listed twice would overflow the daemon's element buffers.
template <size_t N> int add_suite(uint32_t (&list)[N], uint32_t s)
{
    if (has(list, s)) return 0;
    for (uint32_t &v : list)
        if (v == 0) {
            v = s;
            return 0;
        }
    return fail(ENOSPC);
}

// Removes and closes the gap, keeping the order.
template <size_t N> void remove_suite(uint32_t (&list)[N], uint32_t s)
{
    size_t w = 0;
    for (size_t r = 0; r < N; r++)
        if (list[r] != s) list[w++] = list[r];
    while (w < N)
        list[w++] = 0;
}

bool all_zero(const uint8_t *p, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (p[i]) return false;
    return true;
}

uint32_t akm_of(const ugw_conf &conf)
{
    uint32_t oui = conf.attr == UGW_ATTR_WPA_AUTH ? WPA_OUI : RSN_OUI;
    return suite(oui, conf.u.value);
}

uint32_t cipher_of(const ugw_conf &conf)
{
    uint32_t oui = conf.attr == UGW_ATTR_WPA_CIPHER ? WPA_OUI : RSN_OUI;
    return suite(oui, conf.u.value);
}

// Seconds to TU, in 64 bits: 32 bits wrap at 4295 s.
uint64_t seconds_to_tu(uint64_t seconds)
{
    return (seconds * 1000000 + 512) / 1024;
}

void clear_psk(service &s)
{
    memset(s.dot11.dot11RSNAConfigPSKValue, 0, sizeof(s.dot11.dot11RSNAConfigPSKValue));
}

int set_ssid(service &s, const char *text)
{
    size_t n = strlen(text);
    // Refused rather than cut: a PSK from a cut SSID matches no station.
    if (n > sizeof(s.mib.ulmexServiceSSID.ulmexSSIDValue)) return fail(EINVAL);
    memset(&s.mib.ulmexServiceSSID, 0, sizeof(s.mib.ulmexServiceSSID));
    memcpy(s.mib.ulmexServiceSSID.ulmexSSIDValue, text, n);
    s.mib.ulmexServiceSSID.length = static_cast<uint8_t>(n);
    memset(s.dot11.ssid, 0, sizeof(s.dot11.ssid));
    memcpy(s.dot11.ssid, text, n);
    s.dot11.ssid_len = static_cast<uint8_t>(n);
    clear_psk(s);
    return 0;
}

int set_nas_name(service &s, const char *text)
{
    size_t n = strlen(text);
    if (n > sizeof(s.mib.ulmexRadiusNASIdentifier) - 1) return fail(EINVAL);
    memset(s.mib.ulmexRadiusNASIdentifier, 0, sizeof(s.mib.ulmexRadiusNASIdentifier));
    memcpy(s.mib.ulmexRadiusNASIdentifier, text, n);
    return 0;
}

int change_device(service &s, const char *name, bool add)
{
    unsigned index = if_nametoindex(name);
    if (!index) return fail(ENODEV);
    uint32_t *list = s.mib.ulmexServiceIfIndices;
    unsigned count = s.mib.ulmexServiceIfCount;
    if (count > UGWD_SERVICE_IFS) return fail(EINVAL);
    for (unsigned i = 0; i < count; i++) {
        if (list[i] != index) continue;
        if (add) return 0;
        memmove(list + i, list + i + 1, (count - i - 1) * sizeof(*list));
        list[count - 1] = 0;
        s.mib.ulmexServiceIfCount = static_cast<uint8_t>(count - 1);
        return 0;
    }
    if (!add) return 0;
    if (count >= 4) return fail(ENOSPC);
    list[count] = index;
    s.mib.ulmexServiceIfCount = static_cast<uint8_t>(count + 1);
    return 0;
}

void set_mode(service &s, uint32_t attr, uint32_t mode)
{
    unsigned shift = attr == UGW_ATTR_BROADCAST   ? 6
                     : attr == UGW_ATTR_MULTICAST ? 4
                     : attr == UGW_ATTR_ISOLATION ? 2
                                                  : 0;
    s.mib.mode = static_cast<uint8_t>((s.mib.mode & ~(3u << shift)) | (mode & 3u) << shift);
}

void set_spp(service &s, uint32_t mode)
{
    // none 0, auto 2 (capable), required 3 (capable and required): the two
    // bits of the VAP flags and, one place up, of the 802.11 flags.
    s.vap[UGW_VAP_FLAGS_AT] = static_cast<uint8_t>((s.vap[UGW_VAP_FLAGS_AT] & ~UGW_VAP_SPP) | mode);
    s.dot11.flags_b = static_cast<uint8_t>(
        (s.dot11.flags_b & ~(DOT11_CFG_B_SPP_CAPABLE | DOT11_CFG_B_SPP_REQUIRED)) | mode << 1);
}

void vap_flag(service &s, uint8_t bit, bool on)
{
    uint8_t &b = s.vap[UGW_VAP_FLAGS_AT];
    b = static_cast<uint8_t>(on ? b | bit : b & ~bit);
}

void dot11_flag(uint8_t &flags, uint8_t bit, bool on)
{
    flags = static_cast<uint8_t>(on ? flags | bit : flags & ~bit);
}

void set_frag(service &s, uint32_t frag)
{
    uint16_t v = static_cast<uint16_t>(frag < 256 ? 256 : frag > 65535 ? 65535 : frag);
    memcpy(s.vap + UGW_VAP_FRAG_AT, &v, 2);
}

int set_timeout(service &s, uint32_t seconds)
{
    // Rounded to the nearest unit, so that a dump and reload keep it.
    uint64_t units = (seconds_to_tu(seconds) + 500) / 1000;
    if (units > 65535) return fail(EINVAL);
    s.dot11.dot11BssMaxIdlePeriod = static_cast<uint16_t>(units ? units : 1);
    return 0;
}

int set_psk_key(service &s, const ugw_conf &conf)
{
    if (conf.u.hex.bits != 256) return fail(EINVAL);
    memcpy(s.dot11.dot11RSNAConfigPSKValue, conf.u.hex.bytes, 32);
    return 0;
}

int set_passphrase(service &s, const char *passphrase)
{
    uint8_t psk[32];
    if (psk_from_passphrase(passphrase, s.mib.ulmexServiceSSID.ulmexSSIDValue,
                            s.mib.ulmexServiceSSID.length, psk) < 0)
        return -1;
    memcpy(s.dot11.dot11RSNAConfigPSKValue, psk, 32);
    secure_wipe(psk, sizeof(psk));
    return 0;
}

int set_attr(service &s, const ugw_conf &conf)
{
    dot11_auth_config &d = s.dot11;
    uint32_t v = conf.u.value;
    switch (conf.attr) {
    case UGW_ATTR_DEVICE:
        return change_device(s, conf.u.text, true);
    case UGW_ATTR_SSID:
        return set_ssid(s, conf.u.text);
    case UGW_ATTR_VNI:
        if (v >= 1u << 24) return fail(EINVAL);
        s.mib.ulmexServiceVNI = v;
        return 0;
    case UGW_ATTR_QOS:
        vap_flag(s, UGW_VAP_QOS, true);
        return 0;
    case UGW_ATTR_FRAG:
        set_frag(s, v);
        return 0;
    case UGW_ATTR_AMSDU_AGG:
        vap_flag(s, UGW_VAP_AMSDU, true);
        return 0;
    case UGW_ATTR_AMSDU_SPP:
        if (v != UGW_SPP_NONE && v != UGW_SPP_AUTO && v != UGW_SPP_REQUIRED) return fail(EINVAL);
        set_spp(s, v);
        return 0;
    case UGW_ATTR_TIMEOUT:
        return set_timeout(s, v);
    case UGW_ATTR_WPA_AUTH:
    case UGW_ATTR_RSN_AUTH:
    case UGW_ATTR_FT_AUTH:
        if (v < 1 || v > 6) return fail(EINVAL);
        return add_suite(d.dot11RSNAConfigAuthenticationSuite, akm_of(conf));
    case UGW_ATTR_WPA_CIPHER:
    case UGW_ATTR_RSN_CIPHER:
    case UGW_ATTR_FT_CIPHER:
        if (v != UGW_CIPHER_TKIP && v != UGW_CIPHER_CCMP) return fail(EINVAL);
        return add_suite(d.dot11RSNAConfigPairwiseCipher, cipher_of(conf));
    case UGW_ATTR_RSN_PREAUTH:
        dot11_flag(d.flags_b, DOT11_CFG_B_PREAUTH_ACTIVATED, true);
        return 0;
    case UGW_ATTR_GROUP_CIPHER:
        if (v != UGW_CIPHER_TKIP && v != UGW_CIPHER_CCMP) return fail(EINVAL);
        d.dot11RSNAConfigGroupCipher = suite(RSN_OUI, v);
        return 0;
    case UGW_ATTR_GROUP_REKEY_TIME:
        d.dot11RSNAConfigGroupRekeyTime = v;
        return 0;
    case UGW_ATTR_GROUP_REKEY_PACKETS:
        d.dot11RSNAConfigGroupRekeyPackets = v;
        return 0;
    case UGW_ATTR_GROUP_REKEY_STRICT:
        dot11_flag(d.flags_a, DOT11_CFG_A_REKEY_STRICT, true);
        return 0;
    case UGW_ATTR_PMKSA_CACHE:
        if (v > 255) return fail(EINVAL);
        d.dot11RSNAConfigPMKIDCacheSize = static_cast<uint8_t>(v);
        return 0;
    case UGW_ATTR_PSK_PASSPHRASE:
        return set_passphrase(s, conf.u.text);
    case UGW_ATTR_PSK_KEY:
        return set_psk_key(s, conf);
    case UGW_ATTR_FT_MOBILITY_DOMAIN:
        if (v > 65535) return fail(EINVAL);
        d.dot11FTMobilityDomainID = static_cast<uint16_t>(v);
        return 0;
    case UGW_ATTR_FT_OVER_DS:
        dot11_flag(d.flags_b, DOT11_CFG_B_FT_OVER_DS, true);
        return 0;
    case UGW_ATTR_FT_TIMEOUT: {
        uint64_t tu = seconds_to_tu(v);
        if (tu > UINT32_MAX) return fail(EINVAL);
        d.dot11FTReassociationDeadline = static_cast<uint32_t>(tu);
        return 0;
    }
    case UGW_ATTR_NAS:
        return set_nas_name(s, conf.u.text);
    case UGW_ATTR_BROADCAST:
    case UGW_ATTR_MULTICAST:
    case UGW_ATTR_ISOLATION:
    case UGW_ATTR_ND:
        if (v > 3) return fail(EINVAL);
        set_mode(s, conf.attr, v);
        return 0;
    default:
        return fail(EINVAL);
    }
}

int unset_attr(service &s, const ugw_conf &conf)
{
    dot11_auth_config &d = s.dot11;
    switch (conf.attr) {
    case UGW_ATTR_DEVICE:
        return change_device(s, conf.u.text, false);
    case UGW_ATTR_SSID:
        return set_ssid(s, "");
    case UGW_ATTR_VNI:
        s.mib.ulmexServiceVNI = 0;
        return 0;
    case UGW_ATTR_QOS:
        vap_flag(s, UGW_VAP_QOS, false);
        return 0;
    case UGW_ATTR_FRAG:
        set_frag(s, UGW_DEFAULT_FRAG);
        return 0;
    case UGW_ATTR_AMSDU_AGG:
        vap_flag(s, UGW_VAP_AMSDU, false);
        return 0;
    case UGW_ATTR_AMSDU_SPP:
        set_spp(s, UGW_SPP_AUTO);
        return 0;
    case UGW_ATTR_TIMEOUT:
        d.dot11BssMaxIdlePeriod = UGW_DEFAULT_TIMEOUT;
        return 0;
    case UGW_ATTR_WPA_AUTH:
    case UGW_ATTR_RSN_AUTH:
    case UGW_ATTR_FT_AUTH:
        remove_suite(d.dot11RSNAConfigAuthenticationSuite, akm_of(conf));
        return 0;
    case UGW_ATTR_WPA_CIPHER:
    case UGW_ATTR_RSN_CIPHER:
    case UGW_ATTR_FT_CIPHER:
        remove_suite(d.dot11RSNAConfigPairwiseCipher, cipher_of(conf));
        return 0;
    case UGW_ATTR_RSN_PREAUTH:
        dot11_flag(d.flags_b, DOT11_CFG_B_PREAUTH_ACTIVATED, false);
        return 0;
    case UGW_ATTR_GROUP_CIPHER:
        d.dot11RSNAConfigGroupCipher = 0;
        return 0;
    case UGW_ATTR_GROUP_REKEY_TIME:
        d.dot11RSNAConfigGroupRekeyTime = 0;
        return 0;
    case UGW_ATTR_GROUP_REKEY_PACKETS:
        d.dot11RSNAConfigGroupRekeyPackets = 0;
        return 0;
    case UGW_ATTR_GROUP_REKEY_STRICT:
        dot11_flag(d.flags_a, DOT11_CFG_A_REKEY_STRICT, false);
        return 0;
    case UGW_ATTR_PMKSA_CACHE:
        d.dot11RSNAConfigPMKIDCacheSize = UGW_DEFAULT_PMKSA_CACHE;
        return 0;
    case UGW_ATTR_PSK_PASSPHRASE:
    case UGW_ATTR_PSK_KEY:
        clear_psk(s);
        return 0;
    case UGW_ATTR_FT_MOBILITY_DOMAIN:
        d.dot11FTMobilityDomainID = UGW_DEFAULT_MOBILITY_DOMAIN;
        return 0;
    case UGW_ATTR_FT_OVER_DS:
        dot11_flag(d.flags_b, DOT11_CFG_B_FT_OVER_DS, false);
        return 0;
    case UGW_ATTR_FT_TIMEOUT:
        d.dot11FTReassociationDeadline = UGW_DEFAULT_FT_TIMEOUT;
        return 0;
    case UGW_ATTR_NAS:
        return set_nas_name(s, "");
    case UGW_ATTR_BROADCAST:
    case UGW_ATTR_MULTICAST:
    case UGW_ATTR_ISOLATION:
    case UGW_ATTR_ND:
        set_mode(s, conf.attr, 0);
        return 0;
    default:
        return fail(EINVAL);
    }
}

int change_service(void *record, const ugw_command *cmd, bool set)
{
    return act_on<service, UGW_SERVICE_RECORD>(record, [&](service &s) {
        if ((set ? set_attr(s, cmd->conf) : unset_attr(s, cmd->conf)) < 0) return -1;
        set_service_field(&s.mib, &s.dot11);
        const dot11_auth_config &d = s.dot11;
        bool psk_akm = false;
        for (uint32_t a : d.dot11RSNAConfigAuthenticationSuite)
            psk_akm = psk_akm || is_psk_akm(a);
        if ((d.flags_a & DOT11_CFG_A_RSNA_ACTIVATED) && psk_akm &&
            all_zero(d.dot11RSNAConfigPSKValue, sizeof(d.dot11RSNAConfigPSKValue)))
            fprintf(stderr, "ugw: PSK authentication requires a key: the service's VAPs are "
                            "refused until one is set\n");
        return 0;
    });
}

} // namespace

void set_service_field(ugwd_service_mib *mib, dot11_auth_config *d)
{
    bool akm = false, ft = false;
    for (uint32_t a : d->dot11RSNAConfigAuthenticationSuite) {
        akm = akm || a != 0;
        ft = ft || a == DOT11_AKM_FT_PSK || a == DOT11_AKM_FT_8021X;
    }
    bool pairwise = false;
    for (uint32_t c : d->dot11RSNAConfigPairwiseCipher)
        pairwise = pairwise || c != 0;
    // Security follows the suites alone: a missing PSK must not open a PSK
    // service (the daemon refuses its VAPs until a key is set).
    bool secure = d->dot11RSNAConfigGroupCipher != 0 && pairwise && akm;
    dot11_flag(d->flags_a, DOT11_CFG_A_RSNA_ACTIVATED, secure);
    dot11_flag(d->flags_b, DOT11_CFG_B_FT_ACTIVATED, ft);

    bool time = d->dot11RSNAConfigGroupRekeyTime != 0;
    bool packets = d->dot11RSNAConfigGroupRekeyPackets != 0;
    uint8_t method = time && packets ? DOT11_REKEY_TIME_PACKETS
                     : time          ? DOT11_REKEY_TIME
                     : packets       ? DOT11_REKEY_PACKETS
                                     : DOT11_REKEY_DISABLED;
    d->flags_a = static_cast<uint8_t>((d->flags_a & ~DOT11_CFG_A_REKEY_METHOD) | method << 1);

    memset(d->dot11FTR0KeyHolderID, 0, sizeof(d->dot11FTR0KeyHolderID));
    d->r0kh_id_len = 0;
    if (!ft) return;
    const uint8_t *id = mib->ulmexServiceSSID.ulmexSSIDValue;
    size_t n = mib->ulmexServiceSSID.length;
    if (n > sizeof(mib->ulmexServiceSSID.ulmexSSIDValue)) n = 0;
    if (mib->ulmexRadiusNASIdentifier[0]) {
        id = reinterpret_cast<const uint8_t *>(mib->ulmexRadiusNASIdentifier);
        n = strnlen(mib->ulmexRadiusNASIdentifier, sizeof(mib->ulmexRadiusNASIdentifier));
    }
    if (n > sizeof(d->dot11FTR0KeyHolderID) - 1) n = sizeof(d->dot11FTR0KeyHolderID) - 1;
    memcpy(d->dot11FTR0KeyHolderID, id, n);
    d->r0kh_id_len = static_cast<uint8_t>(n);
}

void ugw_service_defaults(void *record, const uint8_t uuid[16])
{
    service s{};
    memcpy(s.mib.ulmexServiceId, uuid, 16);
    vap_flag(s, UGW_VAP_QOS, true);
    set_frag(s, UGW_DEFAULT_FRAG);
    set_spp(s, UGW_SPP_AUTO);
    s.dot11.dot11BssMaxIdlePeriod = UGW_DEFAULT_TIMEOUT;
    s.dot11.dot11RSNAConfigGroupRekeyTime = UGW_DEFAULT_REKEY_TIME;
    s.dot11.dot11RSNAConfigPMKIDCacheSize = UGW_DEFAULT_PMKSA_CACHE;
    s.dot11.dot11FTMobilityDomainID = UGW_DEFAULT_MOBILITY_DOMAIN;
    s.dot11.dot11FTReassociationDeadline = UGW_DEFAULT_FT_TIMEOUT;
    set_service_field(&s.mib, &s.dot11);
    memcpy(record, &s, UGW_SERVICE_RECORD);
}

int ugw_set_log(void *settings, const ugw_command *cmd)
{
    return change_log(settings, cmd, true);
}
int ugw_unset_log(void *settings, const ugw_command *cmd)
{
    return change_log(settings, cmd, false);
}
int ugw_set_control(void *control, const ugw_command *cmd)
{
    return change_control(control, cmd, true);
}
int ugw_unset_control(void *control, const ugw_command *cmd)
{
    return change_control(control, cmd, false);
}
int ugw_set_port(void *port, const ugw_command *cmd)
{
    return change_port(port, cmd, true);
}
int ugw_unset_port(void *port, const ugw_command *cmd)
{
    return change_port(port, cmd, false);
}
int ugw_set_nas(void *config, const ugw_command *cmd)
{
    return change_nas(config, cmd, true);
}
int ugw_unset_nas(void *config, const ugw_command *cmd)
{
    return change_nas(config, cmd, false);
}
int ugw_set_auth(void *row, const ugw_command *cmd)
{
    return change_server(row, cmd, true, 1812);
}
int ugw_unset_auth(void *row, const ugw_command *cmd)
{
    return change_server(row, cmd, false, 1812);
}
int ugw_set_acct(void *row, const ugw_command *cmd)
{
    return change_server(row, cmd, true, 1813);
}
int ugw_unset_acct(void *row, const ugw_command *cmd)
{
    return change_server(row, cmd, false, 1813);
}
int ugw_set_service(void *record, const ugw_command *cmd)
{
    return change_service(record, cmd, true);
}
int ugw_unset_service(void *record, const ugw_command *cmd)
{
    return change_service(record, cmd, false);
}
