#include "utility/ugw_dot11_mib.h"

#include <algorithm>
#include <cstring>

namespace
{

void set_bit(uint8_t &byte, uint8_t bit, bool on)
{
    byte = uint8_t(on ? byte | bit : byte & ~bit);
}

template <class T> void set_flag(T &word, T bit, bool on)
{
    word = T(on ? word | bit : word & ~bit);
}

struct codes {
    uint16_t disassociate, deauthenticate, authenticate, associate, reassociate;
};

template <class R> codes codes_of(const R *r)
{
    return {r->dot11DisassociateReason, r->dot11DeauthenticateReason,
            r->dot11AuthenticateFailStatus, r->dot11AssociateFailStatus,
            r->dot11ReassociateFailStatus};
}

void put_codes(dot11StationConfig *g, const codes &c)
{
    g->dot11DisassociateReason = c.disassociate;
    g->dot11DeauthenticateReason = c.deauthenticate;
    g->dot11AuthenticateFailStatus = c.authenticate;
    g->dot11AssociateFailStatus = c.associate;
    g->dot11ReassociateFailStatus = c.reassociate;
}

// The capability bits that the station part, the flow station and the FT
// row share, each in its own positions.
struct station_bits {
    bool ht, qos, rsna, amsdu_length, spp_capable, spp_required;
};

station_bits bits_of(const dot11_mib_sta *r)
{
    return {bool(r->flags & DOT11_STA_HT),          bool(r->flags & DOT11_STA_QOS),
            bool(r->flags & DOT11_STA_RSNA),        bool(r->flags & DOT11_STA_AMSDU_LENGTH),
            bool(r->flags & DOT11_STA_SPP_CAPABLE), bool(r->flags & DOT11_STA_SPP_REQUIRED)};
}

station_bits bits_of(const dot11_flow_station *r)
{
    return {
        bool(r->flags & DOT11_FLOWSTA_HT),          bool(r->flags & DOT11_FLOWSTA_QOS),
        bool(r->flags & DOT11_FLOWSTA_RSNA),        bool(r->flags & DOT11_FLOWSTA_AMSDU_LENGTH),
        bool(r->flags & DOT11_FLOWSTA_SPP_CAPABLE), bool(r->flags & DOT11_FLOWSTA_SPP_REQUIRED)};
}

station_bits bits_of(const dot11_ft_auth_row *r)
{
    return {bool(r->flags & DOT11_FTROW_HT),          bool(r->flags & DOT11_FTROW_QOS),
            bool(r->flags & DOT11_FTROW_RSNA),        bool(r->flags & DOT11_FTROW_AMSDU_LENGTH),
            bool(r->flags & DOT11_FTROW_SPP_CAPABLE), bool(r->flags & DOT11_FTROW_SPP_REQUIRED)};
}

void put_station_bits(dot11StationConfig *g, const station_bits &b)
{
    set_bit(g->flags[1], DOT11_SC2_HT, b.ht);
    set_bit(g->flags[2], DOT11_SC3_QOS, b.qos);
    set_bit(g->flags[2], DOT11_SC3_RSNA, b.rsna);
}

void put_ht_bits(dot11HTStationConfig *g, const station_bits &b)
{
    g->dot11MaxAMSDULength = b.amsdu_length;
    set_flag<uint16_t>(g->flags, DOT11_HT_SPP_CAPABLE, b.spp_capable);
    set_flag<uint16_t>(g->flags, DOT11_HT_SPP_REQUIRED, b.spp_required);
}

// The station's own RSNA as the fill function takes it.
dot11_rsna_mib rsna_of(const dot11_flow_station *f)
{
    dot11_rsna_mib m{};
    m.dot11RSNAAuthenticationSuiteRequested = f->dot11RSNAAuthenticationSuiteRequested;
    m.dot11RSNAPairwiseCipherRequested = f->dot11RSNAPairwiseCipherRequested;
    m.dot11RSNAGroupCipherRequested = f->dot11RSNAGroupCipherRequested;
    m.dot11RSNAAuthenticationSuiteSelected = f->dot11RSNAAuthenticationSuiteSelected;
    m.dot11RSNAPairwiseCipherSelected = f->dot11RSNAPairwiseCipherSelected;
    m.dot11RSNAGroupCipherSelected = f->dot11RSNAGroupCipherSelected;
    memcpy(m.dot11RSNAPMKIDUsed, f->dot11RSNAPMKIDUsed, 16);
    m.dot11RSNAPMKIDCached = f->flags & DOT11_FLOWSTA_PMKID_CACHED;
    m.dot11RSNAStatsTKIPRemoteMICFailures = f->dot11RSNAStatsTKIPRemoteMICFailures;
    m.dot11RSNA4WayHandshakeFailures = f->dot11RSNA4WayHandshakeFailures;
    return m;
}

} // namespace

void dot11_mib_assemble_station_config(dot11StationConfig *g, const dot11_mib_sources *s)
{
    if (const dot11_mib_sta *r = s->sta) {
        memcpy(g->dot11StationID, r->mac, 6);
        put_codes(g, codes_of(r));
        set_bit(g->flags[0], DOT11_SC1_BSS_TYPE, r->flags & DOT11_STA_INFRA);
        put_station_bits(g, bits_of(r));
    }
    if (const dot11_auth_config *c = s->config) {
        memcpy(g->dot11StationID, c->bss_mac, 6);
        memcpy(g->dot11DesiredSSID, c->ssid, sizeof g->dot11DesiredSSID);
        g->dot11DesiredSSID[32] = 0;
        g->ssid_len = std::min<uint8_t>(c->ssid_len, 32);
        g->dot11BssMaxIdlePeriod = c->dot11BssMaxIdlePeriod;
        put_codes(g, codes_of(c));
        set_bit(g->flags[2], DOT11_SC3_RSNA, c->flags_a & DOT11_CFG_A_RSNA_IMPLEMENTED);
        set_bit(g->flags[3], DOT11_SC4_PREAUTH, c->flags_a & DOT11_CFG_A_PREAUTH_IMPLEMENTED);
        set_bit(g->flags[3], DOT11_SC4_FT, c->flags_a & DOT11_CFG_A_FT_IMPLEMENTED);
    }
    if (const dot11_flow_station *f = s->flow) {
        memcpy(g->dot11StationID, f->sta, 6);
        put_codes(g, codes_of(f));
        put_station_bits(g, bits_of(f));
    }
    if (const dot11_ft_auth_row *t = s->ft) {
        memcpy(g->dot11StationID, t->sta, 6);
        put_codes(g, codes_of(t));
        put_station_bits(g, bits_of(t));
    }
}

void dot11_mib_assemble_operation(dot11Operation *g, const dot11_mib_sources *s)
{
    if (const dot11_mib_sta *r = s->sta) {
        g->dot11MaxTransmitMPDULength = r->dot11MaxTransmitMPDULength;
        g->dot11FragmentationThreshold = r->dot11FragmentationThreshold;
        set_flag<uint16_t>(g->flags, DOT11_OP_AMSDU_ACTIVATED,
                           r->flags & DOT11_STA_AMSDU_ACTIVATED);
    }
    if (const dot11_flow_station *f = s->flow)
        set_flag<uint16_t>(g->flags, DOT11_OP_AMSDU_ACTIVATED,
                           f->flags & DOT11_FLOWSTA_AMSDU_ACTIVATED);
}

void dot11_mib_assemble_bssid(uint8_t bssid[6], const dot11_mib_sources *s)
{
    if (s->flow) memcpy(bssid, s->flow->bssid, 6);
    if (s->ft) memcpy(bssid, s->ft->bssid, 6);
}

size_t dot11_mib_assemble_multidomain(dot11_multidomain_entry[16], const dot11_mib_sources *)
{
    return 0;
}

void dot11_mib_assemble_ht_station_config(dot11HTStationConfig *g, const dot11_mib_sources *s)
{
    if (s->sta) put_ht_bits(g, bits_of(s->sta));
    if (s->flow) put_ht_bits(g, bits_of(s->flow));
    if (const dot11_auth_config *c = s->config) {
        set_flag<uint16_t>(g->flags, DOT11_HT_SPP_CAPABLE, c->flags_b & DOT11_CFG_B_SPP_CAPABLE);
        set_flag<uint16_t>(g->flags, DOT11_HT_SPP_REQUIRED, c->flags_b & DOT11_CFG_B_SPP_REQUIRED);
    }
    if (s->ft) put_ht_bits(g, bits_of(s->ft));
}

void dot11_mib_assemble_cap_group(dot11_mib_cap_group *, dot11_cap_kind, const dot11_mib_sources *)
{
}

size_t dot11_mib_assemble_ppe(dot11_ppe_entry[32], const dot11_mib_sources *)
{
    return 0;
}

void dot11_mib_assemble_ap_edca(dot11_edca_entry[4], const dot11_mib_sources *) {}

void dot11_mib_assemble_edca(dot11_edca_entry[4], const dot11_mib_sources *) {}

uint8_t dot11_mib_assemble_auth_algorithm(const dot11_mib_sources *s)
{
    return s->ft ? s->ft->auth_algorithm : 0;
}

void dot11_mib_assemble_privacy(bool *rsna_activated, bool *preauth_activated,
                                const dot11_mib_sources *s)
{
    if (const dot11_auth_config *c = s->config) {
        *rsna_activated = c->flags_a & DOT11_CFG_A_RSNA_ACTIVATED;
        *preauth_activated = c->flags_b & DOT11_CFG_B_PREAUTH_ACTIVATED;
    }
}

void dot11_mib_assemble_rsna_config(dot11RSNAConfig *g, const dot11_mib_sources *s)
{
    dot11_rsna_mib own{};
    if (s->flow) own = rsna_of(s->flow);
    dot11_mib_fill_rsna_config(g, s->sta, s->config, s->flow ? &own : nullptr, s->ft);
}

size_t dot11_mib_assemble_pairwise(dot11_suite_entry out[4], const dot11_mib_sources *s)
{
    size_t n = 0;
    if (!s->config) return 0;
    for (uint32_t suite : s->config->dot11RSNAConfigPairwiseCipher)
        if (suite) out[n++] = {true, suite, dot11_cipher_key_length(suite)};
    return n;
}

size_t dot11_mib_assemble_akm(dot11_suite_entry out[8], const dot11_mib_sources *s)
{
    size_t n = 0;
    if (!s->config) return 0;
    for (uint32_t suite : s->config->dot11RSNAConfigAuthenticationSuite)
        if (suite) out[n++] = {true, suite, 0};
    return n;
}

void dot11_mib_assemble_ft(dot11FastBSSTransitionConfig *g, const dot11_mib_sources *s)
{
    const dot11_auth_config *c = s->config;
    if (!c) return;
    g->dot11FastBSSTransitionActivated = c->flags_b & DOT11_CFG_B_FT_ACTIVATED;
    g->dot11FTOverDSActivated = c->flags_b & DOT11_CFG_B_FT_OVER_DS;
    g->dot11FTResourceRequestSupported = c->flags_b & DOT11_CFG_B_FT_RESOURCE_REQUEST;
    g->dot11FTMobilityDomainID = c->dot11FTMobilityDomainID;
    memcpy(g->dot11FTR0KeyHolderID, c->dot11FTR0KeyHolderID, sizeof g->dot11FTR0KeyHolderID);
    g->r0kh_id_len = std::min<uint8_t>(c->r0kh_id_len, 48);
    g->dot11FTR0KeyHolderID[g->r0kh_id_len] = 0;
    g->dot11FTR0KeyLifetime = c->dot11FTR0KeyLifetime;
    g->dot11FTReassociationDeadline = c->dot11FTReassociationDeadline;
}

void dot11_mib_assemble_counters(dot11Counters *g, const dot11_mib_sources *s)
{
    // The flow's block carries no 802.11 counters of its own.
    dot11_mib_fill_counters(g, s->sta, nullptr);
}

void dot11_mib_assemble_rsna_stats(dot11RSNAStats *g, const dot11_mib_sources *s)
{
    dot11_rsna_mib own{};
    if (s->flow) own = rsna_of(s->flow);
    dot11_mib_fill_rsna_stats(g, s->sta, s->flow ? &s->flow->stats : nullptr, s->config,
                              s->flow ? &own : nullptr);
}

void dot11_mib_assemble(dot11_mib_groups *g, const dot11_mib_sources *s)
{
    memset(g, 0, sizeof *g);
    dot11_mib_assemble_station_config(&g->station, s);
    dot11_mib_assemble_operation(&g->operation, s);
    dot11_mib_assemble_bssid(g->bssid, s);
    g->multidomain_count = dot11_mib_assemble_multidomain(g->multidomain, s);
    dot11_mib_assemble_ht_station_config(&g->ht, s);
    for (unsigned k = 0; k < DOT11_CAP_KINDS; k++)
        dot11_mib_assemble_cap_group(&g->cap[k], dot11_cap_kind(k), s);
    g->ppe_count = dot11_mib_assemble_ppe(g->ppe, s);
    dot11_mib_assemble_ap_edca(g->ap_edca, s);
    dot11_mib_assemble_edca(g->edca, s);
    g->auth_algorithm = dot11_mib_assemble_auth_algorithm(s);
    dot11_mib_assemble_privacy(&g->rsna_activated, &g->preauth_activated, s);
    dot11_mib_assemble_rsna_config(&g->rsna_config, s);
    g->pairwise_count = dot11_mib_assemble_pairwise(g->pairwise, s);
    g->akm_count = dot11_mib_assemble_akm(g->akm, s);
    dot11_mib_assemble_ft(&g->ft, s);
    dot11_mib_assemble_counters(&g->counters, s);
    dot11_mib_assemble_rsna_stats(&g->stats, s);
}
