#include "dot11/dot11_mib.h"

#include <cstring>

#include "common/crypto/secure.h"

namespace {

template <typename T>
void copy_field(T &dst, const T &src)
{
    memcpy(&dst, &src, sizeof dst);
}

// Moves the masked bits of src into dst.
void copy_bits(uint8_t &dst, uint8_t src, uint8_t mask)
{
    dst = uint8_t((dst & ~mask) | (src & mask));
}

void set_bit(uint8_t &dst, uint8_t bit, bool on)
{
    dst = uint8_t(on ? dst | bit : dst & ~bit);
}

// Later of two clock readings, across a wrap of the seconds counter.
uint32_t later(uint32_t a, uint32_t b)
{
    return int32_t(b - a) > 0 ? b : a;
}

dot11_u64 add64(dot11_u64 a, dot11_u64 b)
{
    dot11_u64 r;
    r.lo = a.lo + b.lo;
    r.hi = a.hi + b.hi + (r.lo < a.lo);
    return r;
}

dot11_u64 sub64(dot11_u64 a, dot11_u64 b)
{
    dot11_u64 r;
    r.lo = a.lo - b.lo;
    r.hi = a.hi - b.hi - (a.lo < b.lo);
    return r;
}

// The fields of dot11Counters that add, sub and max treat as counters, once.
template <typename Op32, typename Op16, typename Op64>
void for_counters(dot11Counters *d, const dot11Counters *s, Op32 op32, Op16 op16, Op64 op64)
{
    d->dot11AssociatedStationCount = op16(d->dot11AssociatedStationCount, s->dot11AssociatedStationCount);
    d->dot11ReceivedFragmentOctets = op64(d->dot11ReceivedFragmentOctets, s->dot11ReceivedFragmentOctets);
    d->dot11TransmittedFragmentOctets =
        op64(d->dot11TransmittedFragmentOctets, s->dot11TransmittedFragmentOctets);
    uint32_t dot11Counters::*const fields[] = {
        &dot11Counters::dot11ReceivedFragmentCount,
        &dot11Counters::dot11ReceivedFrameCount,
        &dot11Counters::dot11ReceivedAMSDUCount,
        &dot11Counters::dot11ReceivedOctetsInAMSDUCount,
        &dot11Counters::dot11TransmittedFragmentCount,
        &dot11Counters::dot11TransmittedFrameCount,
        &dot11Counters::dot11GroupTransmittedFrameCount,
        &dot11Counters::dot11FrameDuplicateCount,
        &dot11Counters::dot11TransmittedAMSDUCount,
        &dot11Counters::dot11TransmittedOctetsInAMSDUCount,
        &dot11Counters::dot11FailedCount,
        &dot11Counters::dot11RetryCount,
        &dot11Counters::dot11QosDiscardedFragmentCount,
    };
    for (auto f : fields)
        d->*f = op32(d->*f, s->*f);
}

constexpr uint32_t dot11RSNAStats::*const rsna_stat_fields[] = {
    &dot11RSNAStats::dot11RSNAStatsTKIPReplays,
    &dot11RSNAStats::dot11RSNAStatsTKIPICVErrors,
    &dot11RSNAStats::dot11RSNAStatsTKIPLocalMICFailures,
    &dot11RSNAStats::dot11RSNAStatsTKIPRemoteMICFailures,
    &dot11RSNAStats::dot11RSNAStatsCCMPReplays,
    &dot11RSNAStats::dot11RSNAStatsCCMPDecryptErrors,
    &dot11RSNAStats::dot11RSNAStatsCMACReplays,
    &dot11RSNAStats::dot11RSNAStatsBIPMICErrors,
};
static_assert(std::size(rsna_stat_fields) * 4 == sizeof(dot11RSNAStats));

} // namespace

// Byte 57: method in bits 7-6, cause bits 15-10 in bits 5-0; byte 58: cause
// bits 9-2; byte 59: cause bits 1-0 in bits 7-6.
void dot1x_session_set_method(dot1xAuthSessionStats *s, uint8_t method)
{
    s->method_cause[0] = uint8_t((s->method_cause[0] & 0x3f) | (method & 3) << 6);
}

uint8_t dot1x_session_method(const dot1xAuthSessionStats *s)
{
    return s->method_cause[0] >> 6;
}

void dot1x_session_set_cause(dot1xAuthSessionStats *s, uint16_t cause)
{
    s->method_cause[0] = uint8_t((s->method_cause[0] & 0xc0) | (cause >> 10));
    s->method_cause[1] = uint8_t(cause >> 2);
    s->method_cause[2] = uint8_t((s->method_cause[2] & 0x3f) | (cause & 3) << 6);
}

uint16_t dot1x_session_cause(const dot1xAuthSessionStats *s)
{
    return uint16_t((s->method_cause[0] & 0x3f) << 10 | s->method_cause[1] << 2 |
                    s->method_cause[2] >> 6);
}

void dot11_mib_fill_config(dot11_auth_config *cfg, const dot11_mib_vap *vap,
                           const dot11_mib_sta *capability, const uint8_t *rsna_flags,
                           const dot11RSNAConfig *rc, const dot11_mib_ft *ft,
                           const dot11RSNAStats *rsna_stats)
{
    if (vap) {
        memcpy(cfg->bss_mac, vap->bss_mac, sizeof cfg->bss_mac);
        uint8_t len = vap->ssid_len < 32 ? vap->ssid_len : 32;
        memset(cfg->ssid, 0, sizeof cfg->ssid);
        memcpy(cfg->ssid, vap->ssid, len);
        cfg->ssid_len = len;
        cfg->dot11BssMaxIdlePeriod = vap->dot11BssMaxIdlePeriod;
        cfg->dot11DisassociateReason = vap->dot11DisassociateReason;
        cfg->dot11DeauthenticateReason = vap->dot11DeauthenticateReason;
        cfg->dot11AuthenticateFailStatus = vap->dot11AuthenticateFailStatus;
        cfg->dot11AssociateFailStatus = vap->dot11AssociateFailStatus;
        cfg->dot11ReassociateFailStatus = vap->dot11ReassociateFailStatus;
        copy_bits(cfg->flags_a, vap->flags,
                  DOT11_CFG_A_RSNA_IMPLEMENTED | DOT11_CFG_A_PREAUTH_IMPLEMENTED |
                      DOT11_CFG_A_FT_IMPLEMENTED);
    }
    if (capability) {
        set_bit(cfg->flags_b, DOT11_CFG_B_SPP_CAPABLE, capability->flags & DOT11_STA_SPP_CAPABLE);
        set_bit(cfg->flags_b, DOT11_CFG_B_SPP_REQUIRED, capability->flags & DOT11_STA_SPP_REQUIRED);
    }
    if (rsna_flags) {
        set_bit(cfg->flags_a, DOT11_CFG_A_RSNA_ACTIVATED, *rsna_flags & DOT11_RSNA_FLAG_ACTIVATED);
        set_bit(cfg->flags_b, DOT11_CFG_B_PREAUTH_ACTIVATED, *rsna_flags & DOT11_RSNA_FLAG_PREAUTH);
    }
    if (rc) {
        cfg->dot11RSNAConfigGroupRekeyTime = rc->dot11RSNAConfigGroupRekeyTime;
        cfg->dot11RSNAConfigGroupRekeyPackets = rc->dot11RSNAConfigGroupRekeyPackets;
        cfg->dot11RSNAConfigGroupCipher = rc->dot11RSNAConfigGroupCipher;
        uint8_t method = (rc->rekey & DOT11_RSNA_REKEY_METHOD) >> 5;
        copy_bits(cfg->flags_a, uint8_t(method << 1), DOT11_CFG_A_REKEY_METHOD);
        set_bit(cfg->flags_a, DOT11_CFG_A_REKEY_STRICT, rc->rekey & DOT11_RSNA_REKEY_STRICT);
        copy_field(cfg->dot11RSNAConfigPSKValue, rc->dot11RSNAConfigPSKValue);
        cfg->dot11RSNAConfigGroupUpdateCount = rc->dot11RSNAConfigGroupUpdateCount;
        cfg->dot11RSNAConfigPairwiseUpdateCount = rc->dot11RSNAConfigPairwiseUpdateCount;
        cfg->dot11RSNAConfigPMKLifetime = rc->dot11RSNAConfigPMKLifetime;
        cfg->dot11RSNAConfigPMKReauthThreshold = rc->dot11RSNAConfigPMKReauthThreshold;
        cfg->dot11RSNAConfigNumberOfPTKSAReplayCountersImplemented =
            rc->dot11RSNAConfigNumberOfPTKSAReplayCountersImplemented;
        cfg->dot11RSNAConfigPMKIDCacheSize = rc->dot11RSNAConfigPMKIDCacheSize;
        cfg->dot11RSNAConfigSATimeout = rc->dot11RSNAConfigSATimeout;
        cfg->dot11RSNAAuthenticationSuiteRequested = rc->dot11RSNAAuthenticationSuiteRequested;
        cfg->dot11RSNAPairwiseCipherRequested = rc->dot11RSNAPairwiseCipherRequested;
        cfg->dot11RSNAGroupCipherRequested = rc->dot11RSNAGroupCipherRequested;
        cfg->dot11RSNAAuthenticationSuiteSelected = rc->dot11RSNAAuthenticationSuiteSelected;
        cfg->dot11RSNAPairwiseCipherSelected = rc->dot11RSNAPairwiseCipherSelected;
        cfg->dot11RSNAGroupCipherSelected = rc->dot11RSNAGroupCipherSelected;
        copy_field(cfg->dot11RSNAPMKIDUsed, rc->dot11RSNAPMKIDUsed);
        set_bit(cfg->flags_b, DOT11_CFG_B_PMKID_CACHED, rc->flags & DOT11_RSNA_PMKID_CACHED);
        cfg->dot11RSNATKIPCounterMeasuresInvoked = rc->dot11RSNATKIPCounterMeasuresInvoked;
        cfg->dot11RSNA4WayHandshakeFailures = rc->dot11RSNA4WayHandshakeFailures;
    }
    if (ft) {
        set_bit(cfg->flags_b, DOT11_CFG_B_FT_ACTIVATED, ft->flags & DOT11_FT_ACTIVATED);
        set_bit(cfg->flags_b, DOT11_CFG_B_FT_OVER_DS, ft->flags & DOT11_FT_OVER_DS);
        set_bit(cfg->flags_b, DOT11_CFG_B_FT_RESOURCE_REQUEST, ft->flags & DOT11_FT_RESOURCE_REQUEST);
        cfg->dot11FTMobilityDomainID = ft->dot11FTMobilityDomainID;
        uint8_t len = ft->r0kh_id_len < 48 ? ft->r0kh_id_len : 48;
        memset(cfg->dot11FTR0KeyHolderID, 0, sizeof cfg->dot11FTR0KeyHolderID);
        memcpy(cfg->dot11FTR0KeyHolderID, ft->dot11FTR0KeyHolderID, len);
        cfg->r0kh_id_len = len;
        cfg->dot11FTR0KeyLifetime = ft->dot11FTR0KeyLifetime;
        cfg->dot11FTReassociationDeadline = ft->dot11FTReassociationDeadline;
    }
    if (rsna_stats)
        cfg->dot11RSNAStatsTKIPRemoteMICFailures = rsna_stats->dot11RSNAStatsTKIPRemoteMICFailures;
}

void dot11_mib_fill_rsna_config(dot11RSNAConfig *rc, const dot11_mib_sta *sta,
                                const dot11_auth_config *cfg, const dot11_rsna_mib *rsna,
                                const dot11_ft_auth_row *ftauth)
{
    if (sta)
        rc->dot11RSNAGroupCipherSelected = sta->dot11RSNAGroupCipherSelected;
    if (cfg) {
        rc->dot11RSNAConfigGroupRekeyTime = cfg->dot11RSNAConfigGroupRekeyTime;
        rc->dot11RSNAConfigGroupRekeyPackets = cfg->dot11RSNAConfigGroupRekeyPackets;
        rc->dot11RSNAConfigGroupCipher = cfg->dot11RSNAConfigGroupCipher;
        rc->rekey = uint8_t(dot11_config_rekey_method(cfg) << 5 |
                            (cfg->flags_a & DOT11_CFG_A_REKEY_STRICT ? DOT11_RSNA_REKEY_STRICT : 0));
        copy_field(rc->dot11RSNAConfigPSKValue, cfg->dot11RSNAConfigPSKValue);
        rc->dot11RSNAConfigGroupUpdateCount = cfg->dot11RSNAConfigGroupUpdateCount;
        rc->dot11RSNAConfigPairwiseUpdateCount = cfg->dot11RSNAConfigPairwiseUpdateCount;
        rc->dot11RSNAConfigPMKLifetime = cfg->dot11RSNAConfigPMKLifetime;
        rc->dot11RSNAConfigPMKReauthThreshold = cfg->dot11RSNAConfigPMKReauthThreshold;
        rc->dot11RSNAConfigNumberOfPTKSAReplayCountersImplemented =
            cfg->dot11RSNAConfigNumberOfPTKSAReplayCountersImplemented;
        rc->dot11RSNAConfigPMKIDCacheSize = cfg->dot11RSNAConfigPMKIDCacheSize;
        rc->dot11RSNAConfigSATimeout = cfg->dot11RSNAConfigSATimeout;
        copy_field(rc->dot11RSNAPMKIDUsed, cfg->dot11RSNAPMKIDUsed);
        set_bit(rc->flags, DOT11_RSNA_PMKID_CACHED, cfg->flags_b & DOT11_CFG_B_PMKID_CACHED);
        rc->dot11RSNATKIPCounterMeasuresInvoked = cfg->dot11RSNATKIPCounterMeasuresInvoked;
        rc->dot11RSNA4WayHandshakeFailures = cfg->dot11RSNA4WayHandshakeFailures;
    }
    if (rsna) {
        rc->dot11RSNAAuthenticationSuiteRequested = rsna->dot11RSNAAuthenticationSuiteRequested;
        rc->dot11RSNAPairwiseCipherRequested = rsna->dot11RSNAPairwiseCipherRequested;
        rc->dot11RSNAGroupCipherRequested = rsna->dot11RSNAGroupCipherRequested;
        rc->dot11RSNAAuthenticationSuiteSelected = rsna->dot11RSNAAuthenticationSuiteSelected;
        rc->dot11RSNAPairwiseCipherSelected = rsna->dot11RSNAPairwiseCipherSelected;
        rc->dot11RSNAGroupCipherSelected = rsna->dot11RSNAGroupCipherSelected;
        copy_field(rc->dot11RSNAPMKIDUsed, rsna->dot11RSNAPMKIDUsed);
        set_bit(rc->flags, DOT11_RSNA_PMKID_CACHED, rsna->dot11RSNAPMKIDCached);
        rc->dot11RSNA4WayHandshakeFailures = rsna->dot11RSNA4WayHandshakeFailures;
    }
    if (ftauth) {
        rc->dot11RSNAAuthenticationSuiteSelected = ftauth->akm;
        rc->dot11RSNAPairwiseCipherSelected = ftauth->pairwise;
    }
    rc->dot11RSNAConfigGroupCipherSize = dot11_cipher_key_length(rc->dot11RSNAConfigGroupCipher);
}

void dot11_mib_fill_rsna_stats(dot11RSNAStats *st, const dot11_mib_sta *sta,
                               const dot11RSNAStats *other, const dot11_auth_config *cfg,
                               const dot11_rsna_mib *rsna)
{
    if (sta) {
        st->dot11RSNAStatsTKIPReplays = sta->dot11RSNAStatsTKIPReplays;
        st->dot11RSNAStatsTKIPICVErrors = sta->dot11RSNAStatsTKIPICVErrors;
        st->dot11RSNAStatsTKIPLocalMICFailures = sta->dot11RSNAStatsTKIPLocalMICFailures;
        st->dot11RSNAStatsCCMPReplays = sta->dot11RSNAStatsCCMPReplays;
        st->dot11RSNAStatsCCMPDecryptErrors = sta->dot11RSNAStatsCCMPDecryptErrors;
        st->dot11RSNAStatsCMACReplays = sta->dot11RSNAStatsCMACReplays;
        st->dot11RSNAStatsBIPMICErrors = sta->dot11RSNAStatsBIPMICErrors;
    }
    if (other)
        *st = *other;
    if (cfg)
        st->dot11RSNAStatsTKIPRemoteMICFailures = cfg->dot11RSNAStatsTKIPRemoteMICFailures;
    if (rsna)
        st->dot11RSNAStatsTKIPRemoteMICFailures = rsna->dot11RSNAStatsTKIPRemoteMICFailures;
}

void dot11_mib_fill_counters(dot11Counters *c, const dot11_mib_sta *sta, const dot11Counters *other)
{
    if (sta) {
        c->dot11AssociatedStationCount = sta->dot11AssociatedStationCount;
        c->dot11ReceivedFragmentCount = sta->dot11ReceivedFragmentCount;
        c->dot11ReceivedFragmentOctets = sta->dot11ReceivedFragmentOctets;
        c->dot11ReceivedFrameCount = sta->dot11ReceivedFrameCount;
        c->dot11ReceivedAMSDUCount = sta->dot11ReceivedAMSDUCount;
        c->dot11ReceivedOctetsInAMSDUCount = sta->dot11ReceivedOctetsInAMSDUCount;
        c->dot11TransmittedFragmentCount = sta->dot11TransmittedFragmentCount;
        c->dot11TransmittedFragmentOctets = sta->dot11TransmittedFragmentOctets;
        c->dot11TransmittedFrameCount = sta->dot11TransmittedFrameCount;
        c->dot11GroupTransmittedFrameCount = sta->dot11GroupTransmittedFrameCount;
        c->dot11FrameDuplicateCount = sta->dot11FrameDuplicateCount;
        c->dot11TransmittedAMSDUCount = sta->dot11TransmittedAMSDUCount;
        c->dot11TransmittedOctetsInAMSDUCount = sta->dot11TransmittedOctetsInAMSDUCount;
        c->dot11QosDiscardedFragmentCount = sta->dot11QosDiscardedFragmentCount;
    }
    if (other)
        *c = *other;
}

void dot11_mib_fill_sta(dot11_mib_sta *sta, const dot11_mib_assoc *assoc, const dot11_rsna_mib *rsna,
                        const dot11Counters *c, const dot11RSNAStats *st)
{
    if (assoc) {
        memcpy(sta->mac, assoc->mac, sizeof sta->mac);
        sta->dot11MaxTransmitMPDULength = assoc->dot11MaxTransmitMPDULength;
        sta->dot11FragmentationThreshold = assoc->dot11FragmentationThreshold;
        sta->flags = assoc->flags;
    }
    if (rsna) {
        sta->dot11DisassociateReason = rsna->dot11DisassociateReason;
        sta->dot11DeauthenticateReason = rsna->dot11DeauthenticateReason;
        sta->dot11AuthenticateFailStatus = rsna->dot11AuthenticateFailStatus;
        sta->dot11AssociateFailStatus = rsna->dot11AssociateFailStatus;
        sta->dot11ReassociateFailStatus = rsna->dot11ReassociateFailStatus;
        sta->dot11RSNAGroupCipherSelected = rsna->dot11RSNAGroupCipherSelected;
    }
    if (c) {
        sta->dot11AssociatedStationCount = c->dot11AssociatedStationCount;
        sta->dot11ReceivedFragmentCount = c->dot11ReceivedFragmentCount;
        sta->dot11ReceivedFrameCount = c->dot11ReceivedFrameCount;
        sta->dot11ReceivedAMSDUCount = c->dot11ReceivedAMSDUCount;
        sta->dot11ReceivedOctetsInAMSDUCount = c->dot11ReceivedOctetsInAMSDUCount;
        sta->dot11TransmittedFragmentCount = c->dot11TransmittedFragmentCount;
        sta->dot11TransmittedFrameCount = c->dot11TransmittedFrameCount;
        sta->dot11GroupTransmittedFrameCount = c->dot11GroupTransmittedFrameCount;
        sta->dot11TransmittedAMSDUCount = c->dot11TransmittedAMSDUCount;
        sta->dot11TransmittedOctetsInAMSDUCount = c->dot11TransmittedOctetsInAMSDUCount;
        sta->dot11FrameDuplicateCount = c->dot11FrameDuplicateCount;
        sta->dot11QosDiscardedFragmentCount = c->dot11QosDiscardedFragmentCount;
        sta->dot11ReceivedFragmentOctets = c->dot11ReceivedFragmentOctets;
        sta->dot11TransmittedFragmentOctets = c->dot11TransmittedFragmentOctets;
    }
    if (st) {
        sta->dot11RSNAStatsTKIPReplays = st->dot11RSNAStatsTKIPReplays;
        sta->dot11RSNAStatsTKIPICVErrors = st->dot11RSNAStatsTKIPICVErrors;
        sta->dot11RSNAStatsTKIPLocalMICFailures = st->dot11RSNAStatsTKIPLocalMICFailures;
        sta->dot11RSNAStatsCCMPReplays = st->dot11RSNAStatsCCMPReplays;
        sta->dot11RSNAStatsCCMPDecryptErrors = st->dot11RSNAStatsCCMPDecryptErrors;
        sta->dot11RSNAStatsCMACReplays = st->dot11RSNAStatsCMACReplays;
        sta->dot11RSNAStatsBIPMICErrors = st->dot11RSNAStatsBIPMICErrors;
    }
}

void dot11_mib_add_counters(dot11Counters *dst, const dot11Counters *src)
{
    for_counters(
        dst, src, [](uint32_t a, uint32_t b) { return uint32_t(a + b); },
        [](uint16_t a, uint16_t b) { return uint16_t(a + b); }, add64);
    dst->dot11ReceiveTimeStamp = later(dst->dot11ReceiveTimeStamp, src->dot11ReceiveTimeStamp);
    dst->dot11TransmitTimeStamp = later(dst->dot11TransmitTimeStamp, src->dot11TransmitTimeStamp);
}

void dot11_mib_sub_counters(dot11Counters *dst, const dot11Counters *src)
{
    for_counters(
        dst, src, [](uint32_t a, uint32_t b) { return uint32_t(a - b); },
        [](uint16_t a, uint16_t b) { return uint16_t(a - b); }, sub64);
    dst->dot11ReceiveTimeStamp = later(dst->dot11ReceiveTimeStamp, src->dot11ReceiveTimeStamp);
    dst->dot11TransmitTimeStamp = later(dst->dot11TransmitTimeStamp, src->dot11TransmitTimeStamp);
}

void dot11_mib_max_counters(dot11Counters *dst, const dot11Counters *src)
{
    for_counters(
        dst, src, [](uint32_t a, uint32_t b) { return a > b ? a : b; },
        [](uint16_t a, uint16_t b) { return a > b ? a : b; },
        [](dot11_u64 a, dot11_u64 b) { return dot11_u64_get(a) >= dot11_u64_get(b) ? a : b; });
    dst->dot11ReceiveTimeStamp = later(dst->dot11ReceiveTimeStamp, src->dot11ReceiveTimeStamp);
    dst->dot11TransmitTimeStamp = later(dst->dot11TransmitTimeStamp, src->dot11TransmitTimeStamp);
    if (src->dot11ReceiveSignalLevel > dst->dot11ReceiveSignalLevel)
        dst->dot11ReceiveSignalLevel = src->dot11ReceiveSignalLevel;
    uint32_t dot11Counters::*const rates[] = {
        &dot11Counters::dot11ReceiveDataRate,
        &dot11Counters::dot11TransmitDataRate,
        &dot11Counters::dot11EstimatedThroughput,
    };
    for (auto f : rates)
        if (src->*f > dst->*f)
            dst->*f = src->*f;
}

void dot11_mib_add_rsna_stats(dot11RSNAStats *dst, const dot11RSNAStats *src)
{
    for (auto f : rsna_stat_fields)
        dst->*f += src->*f;
}

void dot11_mib_sub_rsna_stats(dot11RSNAStats *dst, const dot11RSNAStats *src)
{
    for (auto f : rsna_stat_fields)
        dst->*f -= src->*f;
}

void dot11_mib_add_rsna_counters(dot11RSNAConfig *dst, const dot11RSNAConfig *src)
{
    dst->dot11RSNATKIPCounterMeasuresInvoked += src->dot11RSNATKIPCounterMeasuresInvoked;
    dst->dot11RSNA4WayHandshakeFailures += src->dot11RSNA4WayHandshakeFailures;
}

void dot11_mib_sub_rsna_counters(dot11RSNAConfig *dst, const dot11RSNAConfig *src)
{
    dst->dot11RSNATKIPCounterMeasuresInvoked -= src->dot11RSNATKIPCounterMeasuresInvoked;
    dst->dot11RSNA4WayHandshakeFailures -= src->dot11RSNA4WayHandshakeFailures;
}

void dot11_config_copy(dot11_auth_config *dst, const dot11_auth_config *src)
{
    copy_field(dst->bss_mac, src->bss_mac);
    copy_field(dst->ssid, src->ssid);
    dst->ssid_len = src->ssid_len;
    dst->dot11BssMaxIdlePeriod = src->dot11BssMaxIdlePeriod;
    dst->dot11DisassociateReason = src->dot11DisassociateReason;
    dst->dot11DeauthenticateReason = src->dot11DeauthenticateReason;
    dst->dot11AuthenticateFailStatus = src->dot11AuthenticateFailStatus;
    dst->dot11AssociateFailStatus = src->dot11AssociateFailStatus;
    dst->dot11ReassociateFailStatus = src->dot11ReassociateFailStatus;
    dst->dot11RSNAConfigGroupCipher = src->dot11RSNAConfigGroupCipher;
    dst->dot11RSNAConfigGroupRekeyTime = src->dot11RSNAConfigGroupRekeyTime;
    dst->dot11RSNAConfigGroupRekeyPackets = src->dot11RSNAConfigGroupRekeyPackets;
    dst->dot11RSNAConfigGroupUpdateCount = src->dot11RSNAConfigGroupUpdateCount;
    copy_field(dst->dot11RSNAConfigPairwiseCipher, src->dot11RSNAConfigPairwiseCipher);
    copy_field(dst->dot11RSNAConfigAuthenticationSuite, src->dot11RSNAConfigAuthenticationSuite);
    dst->dot11RSNAConfigPairwiseUpdateCount = src->dot11RSNAConfigPairwiseUpdateCount;
    copy_field(dst->dot11RSNAConfigPSKValue, src->dot11RSNAConfigPSKValue);
    dst->dot11RSNAConfigPMKLifetime = src->dot11RSNAConfigPMKLifetime;
    dst->dot11RSNAConfigPMKReauthThreshold = src->dot11RSNAConfigPMKReauthThreshold;
    dst->dot11RSNAConfigNumberOfPTKSAReplayCountersImplemented =
        src->dot11RSNAConfigNumberOfPTKSAReplayCountersImplemented;
    dst->dot11RSNAConfigPMKIDCacheSize = src->dot11RSNAConfigPMKIDCacheSize;
    dst->dot11RSNAConfigSATimeout = src->dot11RSNAConfigSATimeout;
    dst->dot11FTMobilityDomainID = src->dot11FTMobilityDomainID;
    copy_field(dst->dot11FTR0KeyHolderID, src->dot11FTR0KeyHolderID);
    dst->r0kh_id_len = src->r0kh_id_len;
    dst->dot11FTR0KeyLifetime = src->dot11FTR0KeyLifetime;
    dst->dot11FTReassociationDeadline = src->dot11FTReassociationDeadline;
    dst->flags_a = src->flags_a;
    dst->flags_b = src->flags_b;
}

void dot11_config_copy_vap(dot11_auth_config *dst, const dot11_auth_config *src)
{
    copy_field(dst->bss_mac, src->bss_mac);
    dst->dot11BssMaxIdlePeriod = src->dot11BssMaxIdlePeriod;
    dst->dot11DeauthenticateReason = src->dot11DeauthenticateReason;
    dst->flags_a = src->flags_a;
}

void dot11_config_clear_psk(dot11_auth_config *cfg)
{
    secure_wipe(cfg->dot11RSNAConfigPSKValue, sizeof cfg->dot11RSNAConfigPSKValue);
}

bool dot11_config_has_cipher(const dot11_auth_config *cfg, uint32_t suite)
{
    if (!suite)
        return false;
    for (uint32_t s : cfg->dot11RSNAConfigPairwiseCipher)
        if (s == suite)
            return true;
    return false;
}

bool dot11_config_has_akm(const dot11_auth_config *cfg, uint32_t suite)
{
    if (!suite)
        return false;
    for (uint32_t s : cfg->dot11RSNAConfigAuthenticationSuite)
        if (s == suite)
            return true;
    return false;
}
