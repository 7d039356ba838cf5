#include "gateway/ugwd_mib.h"

#include <array>
#include <cstdlib>
#include <cstring>

#include "common/crypto/hmac.h"
#include "common/crypto/secure.h"
#include "common/filter/filter_rule.h"
#include "gateway/frlc.h"
#include "radius/radius_authz.h"

namespace {

void copy_text(char (&slot)[254], const char *text)
{
    memset(slot, 0, sizeof slot);
    if (text)
        strncpy(slot, text, sizeof slot - 1);
}

// 802.11 reason codes 0..51 to controller flow reasons; 52 and above give 2.
constexpr std::array<uint8_t, 52> flow_reasons = [] {
    std::array<uint8_t, 52> r{};
    for (auto &v : r)
        v = 2;
    r[0] = 1;
    r[2] = 5;
    for (int i = 13; i <= 24; i++)
        r[i] = 5;
    for (int i = 48; i <= 51; i++)
        r[i] = 5;
    r[4] = 3;
    r[8] = 4;
    return r;
}();

} // namespace

void ugwd_mib_fill_access(ugwd_mib_access *out, const radius_authz *a)
{
    memset(out, 0, sizeof *out);
    out->ulmexAutzMaxBandwidthUp = a->bandwidth_up;
    out->ulmexAutzMaxBandwidthDown = a->bandwidth_down;
    out->ulmexAutzMaxVolumeUp = a->volume_up;
    out->ulmexAutzMaxVolumeDown = a->volume_down;
    out->ulmexAutzMaxDuration = a->session_timeout;
    out->ulmexAutzUpdateInterval = a->interim_interval;
    out->ulmexAutzTerminationAction = (a->flags & RADIUS_AUTHZ_TERMINATE_REQUEST) ? 1 : 0;
    out->ulmexAuthentication = static_cast<uint8_t>(radius_authz_acct_authentic(a));
    out->ulmexAutzVlanId = static_cast<uint16_t>(radius_authz_vlan(a));
    copy_text(out->ulmexAutzRedirectUrl, a->redirect_url);
    copy_text(out->ulmexAutzCaptivePortal, a->captive_portal);
    copy_text(out->ulmexAutzUserName, a->user_name);
    copy_text(out->ulmexAutzChargeableUserId, a->cui);
    out->ulmexAutzFilterRulesLength = static_cast<uint8_t>(a->rule_count);
}

uint32_t ugwd_mib_copy_rules(filter_rule *out, uint32_t room, const radius_authz *a)
{
    uint32_t n = a->rule_count < room ? a->rule_count : room;
    if (n && a->rules)
        memcpy(out, a->rules, n * sizeof(filter_rule));
    return a->rule_count;
}

void ugwd_conv_counter_delta(ugwd_conv_counters *rec, const ugwd_conv_counters *older)
{
    for (int i = 0; i < 6; i++)
        rec->c[i] -= older->c[i];
    for (int i = 0; i < 2; i++)
        rec->octets[i] -= older->octets[i];
}

const char *ugwd_tunnel_transport_name(uint8_t transport)
{
    static constexpr const char *names[] = {"", "Native", "VXLAN", "Geneve", "GRE"};
    return transport < std::size(names) ? names[transport] : "";
}

void ugwd_sockaddr_to_port_address(ulmex_port_address *out, const sockaddr *sa)
{
    *out = ulmex_port_address{};
    if (sa->sa_family == AF_INET) {
        const auto *sin = reinterpret_cast<const sockaddr_in *>(sa);
        out->inet.present = ulmex_inet_type::ip;
        out->inet.address = {reinterpret_cast<const uint8_t *>(&sin->sin_addr), 4};
        out->port = ntohs(sin->sin_port);
    } else if (sa->sa_family == AF_INET6) {
        const auto *sin6 = reinterpret_cast<const sockaddr_in6 *>(sa);
        out->inet.present = ulmex_inet_type::ipv6;
        out->inet.address = {reinterpret_cast<const uint8_t *>(&sin6->sin6_addr), 16};
        out->port = ntohs(sin6->sin6_port);
    }
}

void ugwd_port_address_to_sockaddr(ugwd_sockaddr *out, const ulmex_port_address *pa)
{
    memset(out, 0, sizeof *out);
    size_t n = pa->inet.address.size();
    if (pa->inet.present == ulmex_inet_type::ip) {
        out->sin.sin_family = AF_INET;
        out->sin.sin_port = htons(pa->port);
        memcpy(&out->sin.sin_addr, pa->inet.address.data(), n < 4 ? n : 4);
    } else if (pa->inet.present == ulmex_inet_type::ipv6) {
        out->sin6.sin6_family = AF_INET6;
        out->sin6.sin6_port = htons(pa->port);
        memcpy(&out->sin6.sin6_addr, pa->inet.address.data(), n < 16 ? n : 16);
    }
}

uint8_t ugwd_flow_reason(uint16_t reason)
{
    return reason < flow_reasons.size() ? flow_reasons[reason] : 2;
}

void ugwd_tunnel_key_expand(uint8_t out[16], const uint8_t session_key[32])
{
    static constexpr char label[] = "Tunnel Key Expansion";
    uint8_t mac[32];
    secure_wipe_guard wipe(mac);
    hmac_sha256_ctx ctx;
    secure_wipe_guard wipe_ctx(ctx);
    hmac_sha256_init(&ctx, session_key, 32);
    hmac_sha256_update(&ctx, label, sizeof label - 1);
    hmac_sha256_final(&ctx, mac);
    memcpy(out, mac, 16);
}

int ugwd_ctl_insert_mac(Ary *macs, const uint8_t mac[6])
{
    uint32_t n = array_length(macs);
    uint32_t lo = 0, hi = n;
    while (lo < hi) {
        uint32_t mid = (lo + hi) / 2;
        int c = memcmp(array_at<uint8_t>(macs, mid), mac, 6);
        if (c == 0)
            return 0;
        if (c < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (!array_push<uint8_t>(macs))
        return -1;
    if (lo < n) {
        array_shift(macs, lo, lo + 1);
    }
    memcpy(array_at<uint8_t>(macs, lo), mac, 6);
    return 0;
}

int ugwd_ctl_get_dp_groups(frlc *client, const flow_id *id, Ary *macs)
{
    const uint8_t *entries = nullptr;
    ssize_t n = frlc_request_39(client, id, &entries);
    if (n < 0)
        return -1;
    macs->_size = 6;
    macs->_count = 0;
    if (array_reserve(macs, static_cast<uint32_t>(n)) < 0)
        return -1;
    if (n)
        memcpy(array_at<uint8_t>(macs, 0), entries, static_cast<size_t>(n) * 6);
    qsort(array_at<uint8_t>(macs, 0), static_cast<size_t>(n), 6,
          [](const void *a, const void *b) { return memcmp(a, b, 6); });
    return static_cast<int>(n);
}

void ugwd_lease_reset(ugwd_lease_rec *r)
{
    r->flags &= 0x81;
    r->max_msg_size = 576;
    memset(r->addr, 0, sizeof r->addr);
    r->start = 0;
    r->lease_time = 0;
}

void ugwd_lease6_reset(ugwd_lease6_rec *r)
{
    r->prefix_len = 0;
    memset(r->addr, 0, sizeof r->addr);
    r->valid_lifetime = 0;
    r->start = 0;
}

void ugwd_pair_set(ugwd_pair *p, uintptr_t first, uintptr_t second)
{
    p->first = first;
    p->second = second;
}
