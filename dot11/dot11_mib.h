// The 802.11 and 802.1X management records: the authenticator configuration,
// the RSNA configuration and statistics, the 802.11 counters, the station
// part of flow and VAP records, the four 802.1X tables and the rows of the
// key lists; and the functions that fill, copy, add and subtract them.
//
// The records travel unchanged between the daemon and the utility on one
// host, so multi-byte integers are in host order like every management
// record; bit positions inside a byte are as listed, bit 7 the most
// significant. 64-bit counters of the 802.11 records are two 32-bit words,
// high word first. The utility links this module: nothing here may need the
// daemon.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

// Cipher and AKM suite selectors are held as 32-bit values whose four bytes
// in memory are the OUI and then the suite type, as on the air: read as a
// little-endian number, 00-0F-AC:1 is 0x01AC0F00.
constexpr uint32_t dot11_suite(uint8_t oui0, uint8_t oui1, uint8_t oui2, uint8_t type)
{
    return std::bit_cast<uint32_t>(std::array<uint8_t, 4>{oui0, oui1, oui2, type});
}
constexpr uint8_t dot11_suite_type(uint32_t suite)
{
    return std::bit_cast<std::array<uint8_t, 4>>(suite)[3];
}
// The OUI as the 24-bit number of its three bytes (00-0F-AC is 0x000FAC).
constexpr uint32_t dot11_suite_oui(uint32_t suite)
{
    auto b = std::bit_cast<std::array<uint8_t, 4>>(suite);
    return uint32_t(b[0]) << 16 | uint32_t(b[1]) << 8 | b[2];
}

enum : uint32_t {
    DOT11_OUI_RSN = 0x000fac,
    DOT11_OUI_WPA = 0x0050f2,
};

enum : uint32_t {
    DOT11_AKM_8021X = dot11_suite(0x00, 0x0f, 0xac, 1),
    DOT11_AKM_PSK = dot11_suite(0x00, 0x0f, 0xac, 2),
    DOT11_AKM_FT_8021X = dot11_suite(0x00, 0x0f, 0xac, 3),
    DOT11_AKM_FT_PSK = dot11_suite(0x00, 0x0f, 0xac, 4),
    DOT11_AKM_8021X_SHA256 = dot11_suite(0x00, 0x0f, 0xac, 5),
    DOT11_AKM_PSK_SHA256 = dot11_suite(0x00, 0x0f, 0xac, 6),
    DOT11_AKM_WPA_8021X = dot11_suite(0x00, 0x50, 0xf2, 1),
    DOT11_AKM_WPA_PSK = dot11_suite(0x00, 0x50, 0xf2, 2),
    DOT11_CIPHER_TKIP = dot11_suite(0x00, 0x0f, 0xac, 2),
    DOT11_CIPHER_CCMP = dot11_suite(0x00, 0x0f, 0xac, 4),
    DOT11_CIPHER_WPA_TKIP = dot11_suite(0x00, 0x50, 0xf2, 2),
    DOT11_CIPHER_WPA_CCMP = dot11_suite(0x00, 0x50, 0xf2, 4),
};
static_assert(std::endian::native != std::endian::little || DOT11_AKM_8021X == 0x01ac0f00);

constexpr bool dot11_cipher_is_tkip(uint32_t s)
{
    return s == DOT11_CIPHER_TKIP || s == DOT11_CIPHER_WPA_TKIP;
}
constexpr bool dot11_cipher_is_ccmp(uint32_t s)
{
    return s == DOT11_CIPHER_CCMP || s == DOT11_CIPHER_WPA_CCMP;
}
// Temporal key length of a cipher under either OUI: 32 TKIP, 16 CCMP, else 0.
constexpr uint8_t dot11_cipher_key_length(uint32_t s)
{
    return dot11_cipher_is_tkip(s) ? 32 : dot11_cipher_is_ccmp(s) ? 16 : 0;
}

// The 802.11 security block of a service or VAP; copied into each
// authenticator and into the key cache.
struct dot11_auth_config {
    uint8_t bss_mac[6];
    uint8_t ssid[33]; // NUL-padded
    uint8_t ssid_len; // at most 32
    uint16_t dot11BssMaxIdlePeriod; // units of 1000 TUs; 0 = none
    uint16_t dot11DisassociateReason;
    uint16_t dot11DeauthenticateReason;
    uint16_t dot11AuthenticateFailStatus;
    uint16_t dot11AssociateFailStatus;
    uint16_t dot11ReassociateFailStatus;
    uint32_t dot11RSNAConfigGroupCipher;
    uint32_t dot11RSNAConfigGroupRekeyTime; // s
    uint32_t dot11RSNAConfigGroupRekeyPackets;
    uint8_t dot11RSNAConfigGroupUpdateCount;
    uint8_t reserved65[3];
    uint32_t dot11RSNAConfigPairwiseCipher[4]; // empty slots 0
    uint32_t dot11RSNAConfigAuthenticationSuite[8];
    uint8_t dot11RSNAConfigPairwiseUpdateCount;
    uint8_t dot11RSNAConfigPSKValue[32];
    uint8_t reserved149[3];
    uint32_t dot11RSNAConfigPMKLifetime; // s; 0 = unlimited
    uint8_t dot11RSNAConfigPMKReauthThreshold; // %
    uint8_t dot11RSNAConfigNumberOfPTKSAReplayCountersImplemented; // RSN Capabilities bits 2-5
    uint8_t dot11RSNAConfigPMKIDCacheSize;
    uint8_t reserved159;
    uint32_t dot11RSNAConfigSATimeout; // s
    uint32_t dot11RSNAAuthenticationSuiteRequested;
    uint32_t dot11RSNAPairwiseCipherRequested;
    uint32_t dot11RSNAGroupCipherRequested;
    uint32_t dot11RSNAAuthenticationSuiteSelected;
    uint32_t dot11RSNAPairwiseCipherSelected;
    uint32_t dot11RSNAGroupCipherSelected;
    uint8_t dot11RSNAPMKIDUsed[16];
    uint32_t dot11RSNAStatsTKIPRemoteMICFailures;
    uint32_t dot11RSNATKIPCounterMeasuresInvoked;
    uint32_t dot11RSNA4WayHandshakeFailures;
    uint16_t dot11FTMobilityDomainID;
    uint8_t dot11FTR0KeyHolderID[49]; // NUL-padded, at most 48
    uint8_t r0kh_id_len;
    uint32_t dot11FTR0KeyLifetime; // s; 0 = unlimited
    uint32_t dot11FTReassociationDeadline; // TUs
    uint8_t flags_a; // DOT11_CFG_A_*
    uint8_t flags_b; // DOT11_CFG_B_*
    uint8_t reserved278[2];
};
static_assert(sizeof(dot11_auth_config) == 280);
static_assert(offsetof(dot11_auth_config, ssid) == 6 && offsetof(dot11_auth_config, ssid_len) == 39);
static_assert(offsetof(dot11_auth_config, dot11BssMaxIdlePeriod) == 40);
static_assert(offsetof(dot11_auth_config, dot11DisassociateReason) == 42);
static_assert(offsetof(dot11_auth_config, dot11ReassociateFailStatus) == 50);
static_assert(offsetof(dot11_auth_config, dot11RSNAConfigGroupCipher) == 52);
static_assert(offsetof(dot11_auth_config, dot11RSNAConfigGroupRekeyTime) == 56);
static_assert(offsetof(dot11_auth_config, dot11RSNAConfigGroupRekeyPackets) == 60);
static_assert(offsetof(dot11_auth_config, dot11RSNAConfigGroupUpdateCount) == 64);
static_assert(offsetof(dot11_auth_config, dot11RSNAConfigPairwiseCipher) == 68);
static_assert(offsetof(dot11_auth_config, dot11RSNAConfigAuthenticationSuite) == 84);
static_assert(offsetof(dot11_auth_config, dot11RSNAConfigPairwiseUpdateCount) == 116);
static_assert(offsetof(dot11_auth_config, dot11RSNAConfigPSKValue) == 117);
static_assert(offsetof(dot11_auth_config, dot11RSNAConfigPMKLifetime) == 152);
static_assert(offsetof(dot11_auth_config, dot11RSNAConfigPMKReauthThreshold) == 156);
static_assert(offsetof(dot11_auth_config, dot11RSNAConfigNumberOfPTKSAReplayCountersImplemented) == 157);
static_assert(offsetof(dot11_auth_config, dot11RSNAConfigPMKIDCacheSize) == 158);
static_assert(offsetof(dot11_auth_config, dot11RSNAConfigSATimeout) == 160);
static_assert(offsetof(dot11_auth_config, dot11RSNAAuthenticationSuiteRequested) == 164);
static_assert(offsetof(dot11_auth_config, dot11RSNAGroupCipherSelected) == 184);
static_assert(offsetof(dot11_auth_config, dot11RSNAPMKIDUsed) == 188);
static_assert(offsetof(dot11_auth_config, dot11RSNAStatsTKIPRemoteMICFailures) == 204);
static_assert(offsetof(dot11_auth_config, dot11RSNATKIPCounterMeasuresInvoked) == 208);
static_assert(offsetof(dot11_auth_config, dot11RSNA4WayHandshakeFailures) == 212);
static_assert(offsetof(dot11_auth_config, dot11FTMobilityDomainID) == 216);
static_assert(offsetof(dot11_auth_config, dot11FTR0KeyHolderID) == 218);
static_assert(offsetof(dot11_auth_config, r0kh_id_len) == 267);
static_assert(offsetof(dot11_auth_config, dot11FTR0KeyLifetime) == 268);
static_assert(offsetof(dot11_auth_config, dot11FTReassociationDeadline) == 272);
static_assert(offsetof(dot11_auth_config, flags_a) == 276 && offsetof(dot11_auth_config, flags_b) == 277);

enum : uint8_t {
    DOT11_CFG_A_RSNA_IMPLEMENTED = 0x80,
    DOT11_CFG_A_PREAUTH_IMPLEMENTED = 0x40,
    DOT11_CFG_A_FT_IMPLEMENTED = 0x20,
    DOT11_CFG_A_RSNA_ACTIVATED = 0x10, // RSNA enabled
    DOT11_CFG_A_REKEY_METHOD = 0x0e,   // DOT11_REKEY_* << 1
    DOT11_CFG_A_REKEY_STRICT = 0x01,

    DOT11_CFG_B_PREAUTH_ACTIVATED = 0x80,
    DOT11_CFG_B_PMKID_CACHED = 0x40,
    DOT11_CFG_B_FT_ACTIVATED = 0x20,
    DOT11_CFG_B_FT_OVER_DS = 0x10,
    DOT11_CFG_B_FT_RESOURCE_REQUEST = 0x08,
    DOT11_CFG_B_SPP_CAPABLE = 0x04,
    DOT11_CFG_B_SPP_REQUIRED = 0x02,
};

// dot11RSNAConfigGroupRekeyMethod.
enum : uint8_t {
    DOT11_REKEY_DISABLED = 1,
    DOT11_REKEY_TIME = 2,
    DOT11_REKEY_PACKETS = 3,
    DOT11_REKEY_TIME_PACKETS = 4,
};

constexpr uint8_t dot11_config_rekey_method(const dot11_auth_config *c)
{
    return uint8_t((c->flags_a & DOT11_CFG_A_REKEY_METHOD) >> 1);
}

struct dot11RSNAConfig {
    uint32_t dot11RSNAConfigGroupRekeyTime;
    uint32_t dot11RSNAConfigGroupRekeyPackets;
    uint32_t dot11RSNAConfigGroupCipher;
    uint8_t dot11RSNAConfigGroupCipherSize; // bytes
    uint8_t rekey; // DOT11_RSNA_REKEY_*
    uint8_t dot11RSNAConfigPSKValue[32];
    uint8_t dot11RSNAConfigGroupUpdateCount;
    uint8_t dot11RSNAConfigPairwiseUpdateCount;
    uint32_t dot11RSNAConfigPMKLifetime;
    uint8_t dot11RSNAConfigPMKReauthThreshold;
    uint8_t dot11RSNAConfigNumberOfPTKSAReplayCountersImplemented;
    uint8_t dot11RSNAConfigPMKIDCacheSize;
    uint8_t reserved55;
    uint32_t dot11RSNAConfigSATimeout;
    uint32_t dot11RSNAAuthenticationSuiteRequested;
    uint32_t dot11RSNAPairwiseCipherRequested;
    uint32_t dot11RSNAGroupCipherRequested;
    uint32_t dot11RSNAAuthenticationSuiteSelected;
    uint32_t dot11RSNAPairwiseCipherSelected;
    uint32_t dot11RSNAGroupCipherSelected;
    uint8_t dot11RSNAPMKIDUsed[16];
    uint8_t flags; // DOT11_RSNA_PMKID_CACHED
    uint8_t reserved101[3];
    uint32_t dot11RSNATKIPCounterMeasuresInvoked;
    uint32_t dot11RSNA4WayHandshakeFailures;
};
static_assert(sizeof(dot11RSNAConfig) == 112);
static_assert(offsetof(dot11RSNAConfig, dot11RSNAConfigGroupCipherSize) == 12);
static_assert(offsetof(dot11RSNAConfig, rekey) == 13);
static_assert(offsetof(dot11RSNAConfig, dot11RSNAConfigPSKValue) == 14);
static_assert(offsetof(dot11RSNAConfig, dot11RSNAConfigGroupUpdateCount) == 46);
static_assert(offsetof(dot11RSNAConfig, dot11RSNAConfigPMKLifetime) == 48);
static_assert(offsetof(dot11RSNAConfig, dot11RSNAConfigPMKReauthThreshold) == 52);
static_assert(offsetof(dot11RSNAConfig, dot11RSNAConfigPMKIDCacheSize) == 54);
static_assert(offsetof(dot11RSNAConfig, dot11RSNAConfigSATimeout) == 56);
static_assert(offsetof(dot11RSNAConfig, dot11RSNAAuthenticationSuiteRequested) == 60);
static_assert(offsetof(dot11RSNAConfig, dot11RSNAGroupCipherSelected) == 80);
static_assert(offsetof(dot11RSNAConfig, dot11RSNAPMKIDUsed) == 84);
static_assert(offsetof(dot11RSNAConfig, flags) == 100);
static_assert(offsetof(dot11RSNAConfig, dot11RSNATKIPCounterMeasuresInvoked) == 104);
static_assert(offsetof(dot11RSNAConfig, dot11RSNA4WayHandshakeFailures) == 108);

enum : uint8_t {
    DOT11_RSNA_REKEY_METHOD = 0xe0, // DOT11_REKEY_* << 5
    DOT11_RSNA_REKEY_STRICT = 0x10,
    DOT11_RSNA_PMKID_CACHED = 0x80, // in flags
};

struct dot11RSNAStats {
    uint32_t dot11RSNAStatsTKIPReplays;
    uint32_t dot11RSNAStatsTKIPICVErrors;
    uint32_t dot11RSNAStatsTKIPLocalMICFailures;
    uint32_t dot11RSNAStatsTKIPRemoteMICFailures;
    uint32_t dot11RSNAStatsCCMPReplays;
    uint32_t dot11RSNAStatsCCMPDecryptErrors;
    uint32_t dot11RSNAStatsCMACReplays;
    uint32_t dot11RSNAStatsBIPMICErrors;
};
static_assert(sizeof(dot11RSNAStats) == 32);
static_assert(offsetof(dot11RSNAStats, dot11RSNAStatsBIPMICErrors) == 28);

// A 64-bit counter of the 802.11 records: high word first.
struct dot11_u64 {
    uint32_t hi;
    uint32_t lo;
};
static_assert(sizeof(dot11_u64) == 8 && alignof(dot11_u64) == 4);

constexpr uint64_t dot11_u64_get(dot11_u64 v)
{
    return uint64_t(v.hi) << 32 | v.lo;
}
constexpr dot11_u64 dot11_u64_make(uint64_t v)
{
    return {uint32_t(v >> 32), uint32_t(v)};
}

struct dot11Counters {
    uint16_t dot11AssociatedStationCount;
    uint8_t reserved2[2];
    uint32_t dot11ReceivedFragmentCount;
    dot11_u64 dot11ReceivedFragmentOctets;
    uint32_t dot11ReceivedFrameCount;
    uint32_t dot11ReceivedAMSDUCount;
    uint32_t dot11ReceivedOctetsInAMSDUCount;
    uint32_t dot11TransmittedFragmentCount;
    dot11_u64 dot11TransmittedFragmentOctets;
    uint32_t dot11TransmittedFrameCount;
    uint32_t dot11GroupTransmittedFrameCount;
    uint32_t dot11FrameDuplicateCount;
    uint32_t dot11TransmittedAMSDUCount;
    uint32_t dot11TransmittedOctetsInAMSDUCount;
    uint32_t dot11FailedCount;
    uint32_t dot11RetryCount;
    uint32_t dot11QosDiscardedFragmentCount;
    uint32_t dot11ReceiveTimeStamp; // clock seconds
    int8_t dot11ReceiveSignalLevel;
    uint8_t reserved77[3];
    uint32_t dot11ReceiveDataRate;
    uint32_t dot11TransmitTimeStamp;
    uint32_t dot11TransmitDataRate;
    uint32_t dot11EstimatedThroughput;
};
static_assert(sizeof(dot11Counters) == 96);
static_assert(offsetof(dot11Counters, dot11ReceivedFragmentCount) == 4);
static_assert(offsetof(dot11Counters, dot11ReceivedFragmentOctets) == 8);
static_assert(offsetof(dot11Counters, dot11ReceivedFrameCount) == 16);
static_assert(offsetof(dot11Counters, dot11TransmittedFragmentCount) == 28);
static_assert(offsetof(dot11Counters, dot11TransmittedFragmentOctets) == 32);
static_assert(offsetof(dot11Counters, dot11TransmittedFrameCount) == 40);
static_assert(offsetof(dot11Counters, dot11QosDiscardedFragmentCount) == 68);
static_assert(offsetof(dot11Counters, dot11ReceiveTimeStamp) == 72);
static_assert(offsetof(dot11Counters, dot11ReceiveSignalLevel) == 76);
static_assert(offsetof(dot11Counters, dot11ReceiveDataRate) == 80);
static_assert(offsetof(dot11Counters, dot11TransmitTimeStamp) == 84);
static_assert(offsetof(dot11Counters, dot11EstimatedThroughput) == 92);

// The station part of a flow or VAP record.
struct dot11_mib_sta {
    uint8_t mac[6];
    uint16_t dot11MaxTransmitMPDULength;
    uint16_t dot11FragmentationThreshold;
    uint16_t dot11DisassociateReason;
    uint16_t dot11DeauthenticateReason;
    uint16_t dot11AuthenticateFailStatus;
    uint16_t dot11AssociateFailStatus;
    uint16_t dot11ReassociateFailStatus;
    uint16_t dot11AssociatedStationCount;
    uint8_t reserved22[2];
    uint32_t dot11ReceivedFragmentCount;
    uint32_t dot11ReceivedFrameCount;
    uint32_t dot11ReceivedAMSDUCount;
    uint32_t dot11ReceivedOctetsInAMSDUCount;
    uint32_t dot11TransmittedFragmentCount;
    uint32_t dot11TransmittedFrameCount;
    uint32_t dot11GroupTransmittedFrameCount;
    uint32_t dot11TransmittedAMSDUCount;
    uint32_t dot11TransmittedOctetsInAMSDUCount;
    uint32_t dot11FrameDuplicateCount;
    uint32_t dot11QosDiscardedFragmentCount;
    uint32_t reserved68;
    dot11_u64 dot11ReceivedFragmentOctets;
    dot11_u64 dot11TransmittedFragmentOctets;
    uint32_t dot11RSNAStatsTKIPReplays;
    uint32_t dot11RSNAStatsTKIPICVErrors;
    uint32_t dot11RSNAStatsTKIPLocalMICFailures;
    uint32_t dot11RSNAStatsCCMPReplays;
    uint32_t dot11RSNAStatsCCMPDecryptErrors;
    uint32_t dot11RSNAStatsCMACReplays;
    uint32_t dot11RSNAStatsBIPMICErrors;
    uint32_t dot11RSNAGroupCipherSelected;
    uint8_t flags; // DOT11_STA_*
    uint8_t reserved121[3];
};
static_assert(sizeof(dot11_mib_sta) == 124);
static_assert(offsetof(dot11_mib_sta, dot11MaxTransmitMPDULength) == 6);
static_assert(offsetof(dot11_mib_sta, dot11DisassociateReason) == 10);
static_assert(offsetof(dot11_mib_sta, dot11AssociatedStationCount) == 20);
static_assert(offsetof(dot11_mib_sta, dot11ReceivedFragmentCount) == 24);
static_assert(offsetof(dot11_mib_sta, dot11TransmittedFragmentCount) == 40);
static_assert(offsetof(dot11_mib_sta, dot11FrameDuplicateCount) == 60);
static_assert(offsetof(dot11_mib_sta, dot11QosDiscardedFragmentCount) == 64);
static_assert(offsetof(dot11_mib_sta, dot11ReceivedFragmentOctets) == 72);
static_assert(offsetof(dot11_mib_sta, dot11TransmittedFragmentOctets) == 80);
static_assert(offsetof(dot11_mib_sta, dot11RSNAStatsTKIPReplays) == 88);
static_assert(offsetof(dot11_mib_sta, dot11RSNAStatsCCMPReplays) == 100);
static_assert(offsetof(dot11_mib_sta, dot11RSNAGroupCipherSelected) == 116);
static_assert(offsetof(dot11_mib_sta, flags) == 120);

enum : uint8_t {
    DOT11_STA_INFRA = 0x80, // BSS type infrastructure
    DOT11_STA_HT = 0x40,
    DOT11_STA_QOS = 0x20,
    DOT11_STA_RSNA = 0x10,
    DOT11_STA_AMSDU_ACTIVATED = 0x08,
    DOT11_STA_AMSDU_LENGTH = 0x04, // index of the maximum A-MSDU length
    DOT11_STA_SPP_CAPABLE = 0x02,
    DOT11_STA_SPP_REQUIRED = 0x01,
};

// The row of an FT authentication list: a copy of the station's FT
// authentication record. The bytes named state belong to its handshake.
struct dot11_ft_auth_row {
    uint8_t sta[6];
    uint8_t bssid[6];
    uint16_t dot11DisassociateReason;
    uint16_t dot11DeauthenticateReason;
    uint16_t dot11AuthenticateFailStatus;
    uint16_t dot11AssociateFailStatus;
    uint16_t dot11ReassociateFailStatus;
    uint8_t auth_algorithm; // 0 open system, 2 fast BSS transition
    uint8_t state23[13];
    uint32_t akm;
    uint32_t pairwise;
    uint8_t state44[12];
    uint8_t pmkr1name[16];
    uint8_t flags; // DOT11_FTROW_*
    uint8_t state73[3];
};
static_assert(sizeof(dot11_ft_auth_row) == 76);
static_assert(offsetof(dot11_ft_auth_row, dot11DisassociateReason) == 12);
static_assert(offsetof(dot11_ft_auth_row, auth_algorithm) == 22);
static_assert(offsetof(dot11_ft_auth_row, akm) == 36 && offsetof(dot11_ft_auth_row, pairwise) == 40);
static_assert(offsetof(dot11_ft_auth_row, pmkr1name) == 56 && offsetof(dot11_ft_auth_row, flags) == 72);

enum : uint8_t {
    DOT11_FTROW_RSNA = 0x40,
    DOT11_FTROW_QOS = 0x20,
    DOT11_FTROW_HT = 0x10,
    DOT11_FTROW_AMSDU_LENGTH = 0x08,
    DOT11_FTROW_SPP_CAPABLE = 0x04,
    DOT11_FTROW_SPP_REQUIRED = 0x02,
};

// A row of the key list: one key-cache entry. The five fields take 34
// bytes; the suites start on their natural boundary.
struct dot11_key_row {
    uint8_t mac[6];
    uint8_t key_id[16];
    uint8_t reserved22[2];
    uint32_t akm;
    uint32_t pairwise;
    uint32_t lifetime; // remaining seconds
};
static_assert(sizeof(dot11_key_row) == 36);
static_assert(offsetof(dot11_key_row, akm) == 24 && offsetof(dot11_key_row, lifetime) == 32);

// 802.1X port status and configuration (dot1xAuthConfigTable).
struct dot1xAuthConfig {
    uint8_t states; // bits 7-4 dot1xAuthPaeState, 3-0 dot1xAuthBackendAuthState
    uint8_t port;   // DOT1X_PORT_*
    uint8_t dot1xAuthServerTimeout;
    uint8_t dot1xAuthQuietPeriod;
    uint8_t dot1xAuthReAuthMax;
    uint8_t reserved5;
    uint16_t dot1xAuthReAuthPeriod;
};
static_assert(sizeof(dot1xAuthConfig) == 8 && offsetof(dot1xAuthConfig, dot1xAuthReAuthPeriod) == 6);

enum : uint8_t {
    DOT1X_PORT_ADMIN_DIRS = 0x80,
    DOT1X_PORT_OPER_DIRS = 0x40,
    DOT1X_PORT_STATUS = 0x30,  // 1 authorized, 2 unauthorized
    DOT1X_PORT_CONTROL = 0x0c, // 1 ForceUnauthorized, 2 Auto, 3 ForceAuthorized
    DOT1X_PORT_REAUTH = 0x02,
    DOT1X_PORT_KEY_TX = 0x01,
};

enum : uint8_t {
    DOT1X_PORT_AUTHORIZED = 1,
    DOT1X_PORT_UNAUTHORIZED = 2,
    DOT1X_CONTROL_FORCE_UNAUTHORIZED = 1,
    DOT1X_CONTROL_AUTO = 2,
    DOT1X_CONTROL_FORCE_AUTHORIZED = 3,
};

constexpr uint8_t dot1x_pae_state(const dot1xAuthConfig &c)
{
    return c.states >> 4;
}
constexpr uint8_t dot1x_backend_state(const dot1xAuthConfig &c)
{
    return c.states & 0x0f;
}
constexpr uint8_t dot1x_port_status(const dot1xAuthConfig &c)
{
    return (c.port & DOT1X_PORT_STATUS) >> 4;
}
constexpr uint8_t dot1x_port_control(const dot1xAuthConfig &c)
{
    return (c.port & DOT1X_PORT_CONTROL) >> 2;
}

// A new port: Auto, reauthentication off, key transmission on, server
// time-out 30 s, quiet period 60 s, ReAuthMax 2, reauthentication 3600 s.
inline constexpr dot1xAuthConfig dot1x_config_template = {
    .states = 0,
    .port = DOT1X_CONTROL_AUTO << 2 | DOT1X_PORT_KEY_TX,
    .dot1xAuthServerTimeout = 30,
    .dot1xAuthQuietPeriod = 60,
    .dot1xAuthReAuthMax = 2,
    .reserved5 = 0,
    .dot1xAuthReAuthPeriod = 3600,
};
static_assert(dot1x_config_template.port == 0x09);

// Per key cache, summed over its ports (dot1xAuthStatsTable).
struct dot1xAuthStats {
    uint32_t dot1xAuthEapolFramesRx;
    uint32_t dot1xAuthEapolFramesTx;
    uint32_t dot1xAuthEapolStartFramesRx;
    uint32_t dot1xAuthEapolLogoffFramesRx;
    uint32_t dot1xAuthEapolRespIdFramesRx;
    uint32_t dot1xAuthEapolRespFramesRx;
    uint32_t dot1xAuthEapolReqIdFramesTx;
    uint32_t dot1xAuthEapolReqFramesTx;
    uint32_t dot1xAuthInvalidEapolFramesRx;
    uint32_t dot1xAuthEapLengthErrorFramesRx;
    uint32_t dot1xAuthLastEapolFrameVersion;
    uint8_t dot1xAuthLastEapolFrameSource[6];
    uint8_t reserved50[2];
};
static_assert(sizeof(dot1xAuthStats) == 52);
static_assert(offsetof(dot1xAuthStats, dot1xAuthLastEapolFrameVersion) == 40);
static_assert(offsetof(dot1xAuthStats, dot1xAuthLastEapolFrameSource) == 44);

// Per key cache (dot1xAuthDiagTable).
struct dot1xAuthDiag {
    uint32_t dot1xAuthEntersConnecting;
    uint32_t dot1xAuthEapLogoffsWhileConnecting;
    uint32_t dot1xAuthEntersAuthenticating;
    uint32_t dot1xAuthAuthSuccessWhileAuthenticating;
    uint32_t dot1xAuthAuthTimeoutsWhileAuthenticating;
    uint32_t dot1xAuthAuthFailWhileAuthenticating;
    uint32_t dot1xAuthAuthEapStartsWhileAuthenticating;
    uint32_t dot1xAuthAuthEapLogoffWhileAuthenticating;
    uint32_t dot1xAuthAuthReauthsWhileAuthenticated;
    uint32_t dot1xAuthAuthEapStartsWhileAuthenticated;
    uint32_t dot1xAuthAuthEapLogoffWhileAuthenticated;
    uint32_t dot1xAuthBackendResponses;
    uint32_t dot1xAuthBackendAccessChallenges;
    uint32_t dot1xAuthBackendOtherRequestsToSupplicant;
    uint32_t dot1xAuthBackendAuthSuccesses;
    uint32_t dot1xAuthBackendAuthFails;
};
static_assert(sizeof(dot1xAuthDiag) == 64);
static_assert(offsetof(dot1xAuthDiag, dot1xAuthBackendAuthFails) == 60);

// One session (dot1xAuthSessionStatsTable). Bytes 57-59 hold the
// authentic method (2 bits) and the terminate cause (16 bits), packed from
// the most significant bit of byte 57: use the accessors below.
struct dot1xAuthSessionStats {
    uint64_t dot1xAuthSessionOctetsRx;
    uint64_t dot1xAuthSessionOctetsTx;
    uint32_t dot1xAuthSessionFramesRx;
    uint32_t dot1xAuthSessionFramesTx;
    char dot1xAuthSessionId[33]; // 32 lower-case hex digits of the key id
    uint8_t method_cause[3];
    uint32_t dot1xAuthSessionTime; // s
    char dot1xAuthSessionUserName[256];
};
static_assert(sizeof(dot1xAuthSessionStats) == 320);
static_assert(offsetof(dot1xAuthSessionStats, dot1xAuthSessionFramesRx) == 16);
static_assert(offsetof(dot1xAuthSessionStats, dot1xAuthSessionId) == 24);
static_assert(offsetof(dot1xAuthSessionStats, method_cause) == 57);
static_assert(offsetof(dot1xAuthSessionStats, dot1xAuthSessionTime) == 60);
static_assert(offsetof(dot1xAuthSessionStats, dot1xAuthSessionUserName) == 64);

enum : uint16_t {
    DOT1X_METHOD_LOCAL = 1,  // the PSK AKMs
    DOT1X_METHOD_REMOTE = 2, // the others
    DOT1X_CAUSE_NOT_TERMINATED = 999,
};

void dot1x_session_set_method(dot1xAuthSessionStats *s, uint8_t method);
uint8_t dot1x_session_method(const dot1xAuthSessionStats *s);
void dot1x_session_set_cause(dot1xAuthSessionStats *s, uint16_t cause);
uint16_t dot1x_session_cause(const dot1xAuthSessionStats *s);

// What the authenticator keeps for the MIB of one station.
struct dot11_rsna_mib {
    uint32_t dot11RSNAAuthenticationSuiteRequested;
    uint32_t dot11RSNAPairwiseCipherRequested;
    uint32_t dot11RSNAGroupCipherRequested;
    uint32_t dot11RSNAAuthenticationSuiteSelected;
    uint32_t dot11RSNAPairwiseCipherSelected;
    uint32_t dot11RSNAGroupCipherSelected;
    uint8_t dot11RSNAPMKIDUsed[16];
    bool dot11RSNAPMKIDCached;
    uint32_t dot11RSNAStatsTKIPRemoteMICFailures;
    uint32_t dot11RSNA4WayHandshakeFailures;
    uint16_t dot11DisassociateReason;
    uint16_t dot11DeauthenticateReason;
    uint16_t dot11AuthenticateFailStatus;
    uint16_t dot11AssociateFailStatus;
    uint16_t dot11ReassociateFailStatus;
    uint16_t dot11AuthenticationAlgorithm;
};

// What the association of a station establishes for its station part.
struct dot11_mib_assoc {
    uint8_t mac[6];
    uint16_t dot11MaxTransmitMPDULength;
    uint16_t dot11FragmentationThreshold;
    uint8_t flags; // DOT11_STA_*
};

// The VAP-level 802.11 station configuration of the core.
struct dot11_mib_vap {
    uint8_t bss_mac[6];
    uint8_t ssid[33];
    uint8_t ssid_len;
    uint16_t dot11BssMaxIdlePeriod;
    uint16_t dot11DisassociateReason;
    uint16_t dot11DeauthenticateReason;
    uint16_t dot11AuthenticateFailStatus;
    uint16_t dot11AssociateFailStatus;
    uint16_t dot11ReassociateFailStatus;
    uint8_t flags; // DOT11_CFG_A_RSNA_IMPLEMENTED, _PREAUTH_IMPLEMENTED, _FT_IMPLEMENTED
};

// The fast BSS transition settings of a service.
struct dot11_mib_ft {
    uint8_t flags; // DOT11_FT_*
    uint16_t dot11FTMobilityDomainID;
    uint8_t dot11FTR0KeyHolderID[49];
    uint8_t r0kh_id_len;
    uint32_t dot11FTR0KeyLifetime;
    uint32_t dot11FTReassociationDeadline;
};

enum : uint8_t {
    DOT11_FT_ACTIVATED = 0x80,
    DOT11_FT_OVER_DS = 0x40,
    DOT11_FT_RESOURCE_REQUEST = 0x20,
};

// The RSNA flag byte of fill_config.
enum : uint8_t {
    DOT11_RSNA_FLAG_ACTIVATED = 0x80,
    DOT11_RSNA_FLAG_PREAUTH = 0x40,
};

// Fills: each source is optional (null: absent); later sources override
// earlier ones.
void dot11_mib_fill_config(dot11_auth_config *cfg, const dot11_mib_vap *vap,
                           const dot11_mib_sta *capability, const uint8_t *rsna_flags,
                           const dot11RSNAConfig *rsna_config, const dot11_mib_ft *ft,
                           const dot11RSNAStats *rsna_stats);
// Selections from the station part and the FT row, everything but the
// station's selections from the configuration, and the station's own; the
// group cipher size last.
void dot11_mib_fill_rsna_config(dot11RSNAConfig *rc, const dot11_mib_sta *sta,
                                const dot11_auth_config *cfg, const dot11_rsna_mib *rsna,
                                const dot11_ft_auth_row *ftauth);
void dot11_mib_fill_rsna_stats(dot11RSNAStats *st, const dot11_mib_sta *sta,
                               const dot11RSNAStats *other, const dot11_auth_config *cfg,
                               const dot11_rsna_mib *rsna);
void dot11_mib_fill_counters(dot11Counters *c, const dot11_mib_sta *sta, const dot11Counters *other);
void dot11_mib_fill_sta(dot11_mib_sta *sta, const dot11_mib_assoc *assoc, const dot11_rsna_mib *rsna,
                        const dot11Counters *counters, const dot11RSNAStats *stats);

// dst = dst + src and dst = dst - src, field by field, modulo 2^32 (2^64 for
// the octet counters). The time stamps keep the later of the two; signal
// level, data rates and throughput keep dst's.
void dot11_mib_add_counters(dot11Counters *dst, const dot11Counters *src);
void dot11_mib_sub_counters(dot11Counters *dst, const dot11Counters *src);
// dst = max(dst, src) on every field.
void dot11_mib_max_counters(dot11Counters *dst, const dot11Counters *src);
void dot11_mib_add_rsna_stats(dot11RSNAStats *dst, const dot11RSNAStats *src);
void dot11_mib_sub_rsna_stats(dot11RSNAStats *dst, const dot11RSNAStats *src);
// Only dot11RSNATKIPCounterMeasuresInvoked and dot11RSNA4WayHandshakeFailures.
void dot11_mib_add_rsna_counters(dot11RSNAConfig *dst, const dot11RSNAConfig *src);
void dot11_mib_sub_rsna_counters(dot11RSNAConfig *dst, const dot11RSNAConfig *src);

// Copies the configuration: identity, suites, PSK, lifetimes, FT settings and
// the flag bits; dst keeps its counters and last selections.
void dot11_config_copy(dot11_auth_config *dst, const dot11_auth_config *src);
// Copies the VAP-level part: BSS MAC, max idle period, deauthentication
// reason and flag byte A.
void dot11_config_copy_vap(dot11_auth_config *dst, const dot11_auth_config *src);
void dot11_config_clear_psk(dot11_auth_config *cfg);
// 0 is never a member.
bool dot11_config_has_cipher(const dot11_auth_config *cfg, uint32_t suite);
bool dot11_config_has_akm(const dot11_auth_config *cfg, uint32_t suite);
