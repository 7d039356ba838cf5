// The 802.11 MIB groups as the show outputs assemble and print them.
//
// A show passes up to seven optional sources; one assembly function per
// group copies into a zeroed group record what each present source carries,
// the last present source winning. The BSS capability, BSS element and
// station capability sources have no sender yet: their positions are kept
// and the groups that only they feed stay zero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "dot11/dot11_mib.h"
#include "utility/ugw_json.h"

// One access category of an EDCA table; tables hold BE, BK, VI, VO.
struct dot11_edca_entry {
    uint16_t cwmin;
    uint16_t cwmax;
    uint16_t aifsn;
    uint16_t txop_limit;
    uint16_t msdu_lifetime;
};
static_assert(sizeof(dot11_edca_entry[4]) == 40);

// One line per access category with any of CWmin, CWmax, AIFSN, TXOP set,
// labelled with the first two characters of side.
void print_edca_lines(FILE *out, const dot11_edca_entry table[4], const char *side);
// One line per spatial stream that the map supports (2-bit value not 3).
void print_mcs_lines(FILE *out, const char *label, const uint8_t map[8]);

// The flow's station record (the 136-byte block of a flow reply): the
// station and its BSS, the codes of its last failures, its RSNA selections
// and statistics.
struct dot11_flow_station {
    uint8_t sta[6];
    uint8_t bssid[6];
    uint16_t dot11DisassociateReason;
    uint16_t dot11DeauthenticateReason;
    uint16_t dot11AuthenticateFailStatus;
    uint16_t dot11AssociateFailStatus;
    uint16_t dot11ReassociateFailStatus;
    uint8_t reserved22[2];
    uint32_t dot11RSNAAuthenticationSuiteRequested;
    uint32_t dot11RSNAPairwiseCipherRequested;
    uint32_t dot11RSNAGroupCipherRequested;
    uint32_t dot11RSNAAuthenticationSuiteSelected;
    uint32_t dot11RSNAPairwiseCipherSelected;
    uint32_t dot11RSNAGroupCipherSelected;
    uint8_t dot11RSNAPMKIDUsed[16];
    uint32_t dot11RSNAStatsTKIPRemoteMICFailures;
    uint32_t dot11RSNA4WayHandshakeFailures;
    dot11RSNAStats stats;
    uint8_t reserved104[24];
    uint8_t flags; // DOT11_FLOWSTA_*
    uint8_t reserved129[7];
};
static_assert(sizeof(dot11_flow_station) == 136);
static_assert(offsetof(dot11_flow_station, bssid) == 6);
static_assert(offsetof(dot11_flow_station, dot11DisassociateReason) == 12);
static_assert(offsetof(dot11_flow_station, dot11ReassociateFailStatus) == 20);
static_assert(offsetof(dot11_flow_station, dot11RSNAAuthenticationSuiteRequested) == 24);
static_assert(offsetof(dot11_flow_station, dot11RSNAPMKIDUsed) == 48);
static_assert(offsetof(dot11_flow_station, dot11RSNA4WayHandshakeFailures) == 68);
static_assert(offsetof(dot11_flow_station, stats) == 72);
static_assert(offsetof(dot11_flow_station, flags) == 128);

enum : uint8_t {
    DOT11_FLOWSTA_HT = 0x80,
    DOT11_FLOWSTA_QOS = 0x40,
    DOT11_FLOWSTA_RSNA = 0x20,
    DOT11_FLOWSTA_AMSDU_ACTIVATED = 0x10,
    DOT11_FLOWSTA_AMSDU_LENGTH = 0x08,
    DOT11_FLOWSTA_SPP_CAPABLE = 0x04,
    DOT11_FLOWSTA_SPP_REQUIRED = 0x02,
    DOT11_FLOWSTA_PMKID_CACHED = 0x01,
};

// The seven sources in their order; absent ones are null.
struct dot11_mib_sources {
    const void *bss_capability;      // 1: no sender
    const void *bss_elements;        // 2: no sender
    const dot11_mib_sta *sta;        // 3
    const dot11_auth_config *config; // 4
    const void *sta_capability;      // 5: no sender
    const dot11_flow_station *flow;  // 6
    const dot11_ft_auth_row *ft;     // 7
};

// Flag bytes of dot11StationConfig that gate the groups: flags[0] is byte 1.
enum : uint8_t {
    DOT11_SC1_HIDDEN_SSID = 0x80,
    DOT11_SC1_BSS_TYPE = 0x40,
    DOT11_SC1_MEMBERSHIP_HT = 0x20,
    DOT11_SC1_MULTIDOMAIN = 0x08,
    DOT11_SC1_SPECTRUM_IMPLEMENTED = 0x02,
    DOT11_SC1_SPECTRUM_REQUIRED = 0x01,
    DOT11_SC2_RM_IMPLEMENTED = 0x80,
    DOT11_SC2_RM_ACTIVATED = 0x40,
    DOT11_SC2_HR = 0x20,
    DOT11_SC2_OFDM = 0x10,
    DOT11_SC2_ERP = 0x08,
    DOT11_SC2_HT = 0x04,
    DOT11_SC2_VHT = 0x02,
    DOT11_SC3_QOS = 0x80,
    DOT11_SC3_WMM = 0x40,
    DOT11_SC3_DELAYED_BA = 0x20,
    DOT11_SC3_IMMEDIATE_BA = 0x10,
    DOT11_SC3_APSD = 0x08,
    DOT11_SC3_UAPSD = 0x04,
    DOT11_SC3_QACK = 0x02,
    DOT11_SC3_RSNA = 0x01,
    DOT11_SC4_PREAUTH = 0x80,
    DOT11_SC4_FT = 0x40,
    DOT11_SC4_HE = 0x20,
};

struct dot11StationConfig {
    uint8_t dot11StationID[6];
    uint16_t dot11AuthenticationResponseTimeout;
    uint16_t dot11AssociationResponseTimeout;
    uint16_t dot11MaxTransmitMSDULifetime;
    uint16_t dot11BssMaxIdlePeriod;
    uint16_t dot11DisassociateReason;
    uint16_t dot11DeauthenticateReason;
    uint16_t dot11AuthenticateFailStatus;
    uint16_t dot11AssociateFailStatus;
    uint16_t dot11ReassociateFailStatus;
    uint16_t dot11BeaconPeriod;
    uint8_t dot11DTIMPeriod;
    uint16_t dot11AssociateID;
    uint16_t dot11ListenInterval;
    uint8_t rate_count;
    uint8_t dot11OperationalRateSet[12]; // 500 kbit/s units, bit 7 basic
    char dot11CountryString[4];
    char dot11DesiredSSID[33];
    uint8_t ssid_len;
    uint8_t flags[4]; // DOT11_SC1_* to DOT11_SC4_*
};

struct dot11Operation {
    char dot11ManufacturerID[32];
    char dot11ProductID[32];
    uint16_t dot11MaxTransmitMPDULength;
    uint16_t dot11FragmentationThreshold;
    uint16_t dot11RTSThreshold;
    uint16_t dot11ShortRetryLimit;
    uint16_t dot11LongRetryLimit;
    int16_t dot11CurrentTransmitPowerLevel; // hundredths of a dBm
    uint16_t dot11BSSWidthTriggerScanInterval;
    uint16_t dot11BSSWidthChannelTransitionDelayFactor;
    uint16_t dot11OBSSScanPassiveDwell;
    uint16_t dot11OBSSScanActiveDwell;
    uint16_t dot11OBSSScanPassiveTotalPerChannel;
    uint16_t dot11OBSSScanActiveTotalPerChannel;
    uint8_t dot11OBSSScanActivityThreshold; // hundredths of a percent
    uint8_t dot11HTProtection;
    uint16_t flags; // DOT11_OP_*
};

enum : uint16_t {
    DOT11_OP_COEXISTENCE = 0x0001,
    DOT11_OP_RIFS = 0x0002,
    DOT11_OP_AMSDU_ACTIVATED = 0x0004,
    DOT11_OP_LSIG_TXOP = 0x0008,
    DOT11_OP_NON_GF = 0x0010,
    DOT11_OP_DUAL_CTS = 0x0020,
    DOT11_OP_PCO = 0x0040,
    DOT11_OP_40_INTOLERANT = 0x0080,
    DOT11_OP_DSSS_CCK_40 = 0x0100,
    DOT11_OP_OBSS_NON_HT = 0x0200,
    DOT11_OP_NON_ERP = 0x0400,
    DOT11_OP_ERP_PROTECTION = 0x0800,
    DOT11_OP_BARKER = 0x1000,
};

struct dot11_multidomain_entry {
    uint8_t first_channel;
    uint8_t channels;
    int16_t max_power; // hundredths of a dBm
};
static_assert(sizeof(dot11_multidomain_entry) == 4);

struct dot11HTStationConfig {
    uint8_t dot11HTOperationalMCSSet[76];
    uint8_t dot11MaxAMSDULength; // index
    uint8_t dot11MaxRxAMPDUFactor;
    uint8_t dot11MinimumMPDUStartSpacing;
    uint8_t dot11TransitionTime;
    uint8_t dot11MCSFeedbackOptionImplemented;
    uint16_t flags; // DOT11_HT_*
};

enum : uint16_t {
    DOT11_HT_DELAYED_BA = 0x01,
    DOT11_HT_STBC_CONTROL = 0x02,
    DOT11_HT_LSIG_TXOP = 0x04,
    DOT11_HT_PCO = 0x08,
    DOT11_HT_HTC = 0x10,
    DOT11_HT_RD_RESPONDER = 0x20,
    DOT11_HT_SPP_CAPABLE = 0x40,
    DOT11_HT_SPP_REQUIRED = 0x80,
    DOT11_HT_FORTY_MHZ = 0x100,
};

// A group that only the sources without a sender feed: its flags, numbers
// and MCS maps by position, the positions given by the group's member table
// (dot11_mib_cap_index).
struct dot11_mib_cap_group {
    uint8_t bits[8];
    uint16_t num[16];
    uint8_t map[6][8];
};

struct dot11_ppe_entry {
    uint8_t nss;
    uint8_t ru_index;
    uint8_t ppet8;
    uint8_t ppet16;
};

struct dot11_suite_entry {
    bool activated;
    uint32_t implemented;
    uint8_t key_length; // pairwise ciphers only
};

struct dot11FastBSSTransitionConfig {
    bool dot11FastBSSTransitionActivated;
    bool dot11FTOverDSActivated;
    bool dot11FTResourceRequestSupported;
    uint16_t dot11FTMobilityDomainID;
    char dot11FTR0KeyHolderID[49];
    uint8_t r0kh_id_len;
    uint32_t dot11FTR0KeyLifetime;
    uint32_t dot11FTReassociationDeadline;
};

// The groups without their own record type, named for the member tables.
enum dot11_cap_kind : uint8_t {
    DOT11_CAP_VHT_STATION,
    DOT11_CAP_VHT_BEAMFORMING,
    DOT11_CAP_HE_STATION,
    DOT11_CAP_HE_BEAMFORMING,
    DOT11_CAP_PHY_OPERATION,
    DOT11_CAP_PHY_HRDSSS,
    DOT11_CAP_PHY_OFDM,
    DOT11_CAP_PHY_ERP,
    DOT11_CAP_PHY_HT,
    DOT11_CAP_PHY_VHT,
    DOT11_CAP_PHY_HE,
    DOT11_CAP_APSD,
    DOT11_CAP_SPECTRUM,
    DOT11_CAP_RADIO_MEASUREMENT,
    DOT11_CAP_KINDS,
};

// The position of a member in its group record: the bit, number or map
// index, or -1 for a name the group lacks.
int dot11_mib_cap_index(dot11_cap_kind kind, const char *member);
bool dot11_mib_cap_flag(const dot11_mib_cap_group *g, dot11_cap_kind kind, const char *member);
unsigned dot11_mib_cap_num(const dot11_mib_cap_group *g, dot11_cap_kind kind, const char *member);
const uint8_t *dot11_mib_cap_map(const dot11_mib_cap_group *g, dot11_cap_kind kind,
                                 const char *member);
void dot11_mib_cap_set(dot11_mib_cap_group *g, dot11_cap_kind kind, const char *member,
                       unsigned value);

struct dot11_mib_groups {
    dot11StationConfig station;
    dot11Operation operation;
    uint8_t bssid[6];
    dot11_multidomain_entry multidomain[16];
    size_t multidomain_count;
    dot11HTStationConfig ht;
    dot11_mib_cap_group cap[DOT11_CAP_KINDS];
    dot11_ppe_entry ppe[32];
    size_t ppe_count;
    dot11_edca_entry ap_edca[4];
    dot11_edca_entry edca[4];
    uint8_t auth_algorithm;
    bool rsna_activated;
    bool preauth_activated;
    dot11RSNAConfig rsna_config;
    dot11_suite_entry pairwise[4];
    size_t pairwise_count;
    dot11_suite_entry akm[8];
    size_t akm_count;
    dot11FastBSSTransitionConfig ft;
    dot11Counters counters;
    dot11RSNAStats stats;
};

// One assembly function per group: each fills a zeroed record from the
// sources it reads, in their order.
void dot11_mib_assemble_station_config(dot11StationConfig *g, const dot11_mib_sources *s);
void dot11_mib_assemble_operation(dot11Operation *g, const dot11_mib_sources *s);
void dot11_mib_assemble_bssid(uint8_t bssid[6], const dot11_mib_sources *s);
// The country triplets of the BSS elements: the number copied, at most 16.
size_t dot11_mib_assemble_multidomain(dot11_multidomain_entry out[16], const dot11_mib_sources *s);
void dot11_mib_assemble_ht_station_config(dot11HTStationConfig *g, const dot11_mib_sources *s);
void dot11_mib_assemble_cap_group(dot11_mib_cap_group *g, dot11_cap_kind kind,
                                  const dot11_mib_sources *s);
size_t dot11_mib_assemble_ppe(dot11_ppe_entry out[32], const dot11_mib_sources *s);
void dot11_mib_assemble_ap_edca(dot11_edca_entry out[4], const dot11_mib_sources *s);
void dot11_mib_assemble_edca(dot11_edca_entry out[4], const dot11_mib_sources *s);
uint8_t dot11_mib_assemble_auth_algorithm(const dot11_mib_sources *s);
void dot11_mib_assemble_privacy(bool *rsna_activated, bool *preauth_activated,
                                const dot11_mib_sources *s);
void dot11_mib_assemble_rsna_config(dot11RSNAConfig *g, const dot11_mib_sources *s);
size_t dot11_mib_assemble_pairwise(dot11_suite_entry out[4], const dot11_mib_sources *s);
size_t dot11_mib_assemble_akm(dot11_suite_entry out[8], const dot11_mib_sources *s);
void dot11_mib_assemble_ft(dot11FastBSSTransitionConfig *g, const dot11_mib_sources *s);
void dot11_mib_assemble_counters(dot11Counters *g, const dot11_mib_sources *s);
void dot11_mib_assemble_rsna_stats(dot11RSNAStats *g, const dot11_mib_sources *s);
// Every group, from zero.
void dot11_mib_assemble(dot11_mib_groups *g, const dot11_mib_sources *s);

// True when the group's gate is open.
inline bool dot11_sc(const dot11StationConfig &c, unsigned byte, uint8_t bit)
{
    return c.flags[byte - 1] & bit;
}

// JSON: the MIB groups as members of the object the caller has open.
void render_json_dot11_mib(json_writer *json, const void *bss_capability, const void *bss_elements,
                           const dot11_mib_sta *sta, const dot11_auth_config *config,
                           const void *sta_capability, const dot11_flow_station *flow,
                           const dot11_ft_auth_row *ft);
void render_json_dot11_pmksa(json_writer *json, const dot11_key_row *row);
// The group renderers, each one object or array.
void render_json_dot11_groups(json_writer *json, const dot11_mib_groups *g,
                              const dot11_mib_sources *s);
void render_json_dot11_station_config(json_writer *json, const dot11StationConfig *g);
void render_json_dot11_operation(json_writer *json, const dot11Operation *g);
void render_json_dot11_ht_station_config(json_writer *json, const dot11HTStationConfig *g);
void render_json_dot11_cap_group(json_writer *json, const dot11_mib_cap_group *g,
                                 dot11_cap_kind kind);
void render_json_dot11_rsna_config(json_writer *json, const dot11RSNAConfig *g);
void render_json_dot11_counters(json_writer *json, const dot11Counters *g);
void render_json_dot11_rsna_stats(json_writer *json, const dot11RSNAStats *g);

// Text: the groups of a VAP (station false) or of a station's flow.
void render_text_dot11_mib(FILE *out, const dot11_mib_sources *s, bool station);
void render_text_dot11_groups(FILE *out, const dot11_mib_groups *g, const dot11_mib_sources *s,
                              bool station);
void render_text_dot11_pmksa(FILE *out, const dot11_key_row *row);
// The names of the text form: the empty text for a suite without one.
const char *dot11_akm_name(uint32_t suite);
const char *dot11_cipher_name(uint32_t suite);
