#include <cstring>
#include <iterator>

#include "utility/ugw_dot11_mib.h"
#include "utility/ugw_render_util.h"

namespace
{

const char *const sym_dot11BSSType[] = {"none", "infra"};
const char *const sym_dot11AuthenticationAlgorithm[] = {"openSystem", "", "fastBSSTransition"};
const char *const sym_dot11CurrentChannelWidth[] = {"cbw20", "cbw40", "cbw80", "cbw160",
                                                    "cbw80p80"};
const char *const sym_dot11HTProtection[] = {"htNoProtection", "htNonmemberProtection",
                                             "ht20MHzProtection", "htNonHTMixed"};
const char *const sym_dot11MCSFeedbackOptionImplemented[] = {"none", "", "unsolicited", "both"};
const char *const sym_dot11PHYType[] = {"",     "fhss", "dsss", "irbaseband", "ofdm",
                                        "",     "erp",  "ht",   "dmg",        "vht",
                                        "tvht", "s1g",  "cdmg", "cmmg",       "he"};
const char *const sym_dot11PPEThresholdsMappingPPET[] = {"bpsk",    "qpsk",     "16-qam", "64-qam",
                                                         "256-qam", "1024-qam", "",       "none"};
const char *const sym_dot11RSNAConfigGroupRekeyMethod[] = {"", "disabled", "timeBased",
                                                           "packetBased", "timePacketBased"};
const char *const sym_dot11RUIndex[] = {"242-tone", "484-tone", "996-tone", "2x996-tone"};
const char *const sym_dot11SMPSModeActivated[] = {"disabled", "static", "dynamic"};
const char *const sym_dot11VHTChannelWidthOptionImplemented[] = {"contiguous80", "contiguous160",
                                                                 "noncontiguous80plus80"};
const char *const sym_ext11HEDCMMaxConstellation[] = {"none", "bpsk", "qpsk", "16-qam"};

const uint64_t map_dot11MaxAMSDULength[] = {3839, 7935};
const uint64_t map_dot11MaxMPDULength[] = {3895, 7991, 11454};
const uint64_t map_ext11HEMinFragmentSize[] = {0, 128, 256, 512};
const uint64_t map_ext11MinTrigProcTime[] = {0, 8, 16};

#define SYM(t) t, std::size(t), nullptr
#define MAP(t) nullptr, std::size(t), t

// Value forms of the capability groups: B flag, N number, I signed number,
// E enumeration, T number table, A MCS map, P A-MPDU factor as octets,
// Z number or null for 0, W the set bits of a number.
struct cap_member {
    const char *key;
    char form;
    const char *const *sym = nullptr;
    size_t n = 0;
    const uint64_t *map = nullptr;
};

constexpr cap_member vht_station[] = {
    {"dot11MaxMPDULength", 'T', MAP(map_dot11MaxMPDULength)},
    {"dot11VHTMaxRxAMPDUFactor", 'P'},
    {"dot11VHTControlFieldOptionImplemented", 'B'},
    {"dot11VHTTXOPPowerSaveOptionImplemented", 'B'},
    {"dot11VHTRxVHTMCSMap", 'A'},
    {"dot11VHTRxHighestDataRateSupported", 'Z'},
    {"dot11VHTTxVHTMCSMap", 'A'},
    {"dot11VHTTxHighestDataRateSupported", 'Z'},
    {"dot11VHTOBSSScanCount", 'N'},
};

constexpr cap_member vht_beamforming[] = {
    {"dot11VHTSUBeamformeeOptionImplemented", 'B'}, {"dot11VHTSUBeamformerOptionImplemented", 'B'},
    {"dot11VHTMUBeamformeeOptionImplemented", 'B'}, {"dot11VHTMUBeamformerOptionImplemented", 'B'},
    {"dot11VHTNumberSoundingDimensions", 'N'},      {"dot11VHTBeamformeeNTxSupport", 'N'},
};

constexpr cap_member he_station[] = {
    {"dot11TRSOptionImplemented", 'B'},
    {"dot11OFDMARandomAccessOptionImplemented", 'B'},
    {"dot11HEControlFieldOptionImplemented", 'B'},
    {"dot11OMIOptionImplemented", 'B'},
    {"dot11HEMCSFeedbackOptionImplemented", 'E', SYM(sym_dot11MCSFeedbackOptionImplemented)},
    {"dot11HEDynamicFragmentationLevel", 'N'},
    {"dot11AMPDUwithMultipleTIDOptionImplemented", 'B'},
    {"dot11MPDUAskedforAckInMultiTIDAMPDU", 'B'},
    {"dot11TXOPDurationRTSThreshold", 'N'},
    {"dot11PPEThresholdsRequired", 'B'},
    {"dot11IntraPPDUPowerSaveOptionActivated", 'B'},
    {"dot11AMSDUFragmentationOptionImplemented", 'B'},
    {"dot11AutonomousBSSColorCollisionReportingImplemented", 'B'},
    {"dot11HEPSROptionImplemented", 'B'},
    {"dot11HEBSRControlImplemented", 'B'},
    {"dot11HEBQRControlImplemented", 'B'},
    {"dot11HECASControlImplemented", 'B'},
    {"dot11PartialBSSColorImplemented", 'B'},
    {"dot11ObssNbRuToleranceTime", 'N'},
    {"dot11HESubchannelSelectiveTransmissionImplemented", 'B'},
    {"dot11SRResponderOptionImplemented", 'B'},
    {"dot11AutonomousBSSColorInUseReportingImplemented", 'B'},
    {"dot11ShortSSIDListImplemented", 'B'},
    {"dot11HTVHTTriggerOptionImplemented", 'B'},
    {"dot11HEDynamicSMPowerSaveOptionImplemented", 'B'},
    {"dot11MUEDCAParametersActivated", 'B'},
    {"dot11CoHostedBSSIDImplemented", 'B'},
    {"dot11UnsolicitedProbeResponseOptionActivated", 'B'},
    {"dot11MemberOfColocated6GHzESSOptionActivated", 'B'},
    {"dot11AckEnabledAMPDUOptionImplemented", 'B'},
    {"dot11TWTOptionImplemented", 'B'},
    {"ext11TWTRequesterOptionActivated", 'B'},
    {"ext11TWTResponderOptionActivated", 'B'},
    {"ext11HEMaxFragmentedMSDUExponent", 'N'},
    {"ext11AMPDUWithMultipleTIDRxSupported", 'N'},
    {"ext11AMPDUWithMultipleTIDTxSupported", 'N'},
    {"ext11HEMinFragmentSize", 'T', MAP(map_ext11HEMinFragmentSize)},
    {"ext11MinTrigProcTime", 'T', MAP(map_ext11MinTrigProcTime)},
    {"ext11AllAckOptionImplemented", 'B'},
    {"ext11BroadcastTWTOptionImplemented", 'B'},
    {"ext1132BABitmapOptionImplemented", 'B'},
    {"ext11MUCascadingOptionImplemented", 'B'},
    {"ext11MaxAMPDULengthExponentExtension", 'N'},
    {"ext11FlexibleTWTScheduleOptionImplemented", 'B'},
    {"ext11RxControlToMBSSOptionImplemented", 'B'},
    {"ext11BSRPBQRPInAMPDUOptionImplemented", 'B'},
    {"ext11NDPFeedbackReportOptionImplemented", 'B'},
    {"ext11OpportunisticPowerSaveOptionImplemented", 'B'},
    {"ext11AMSDUInAMPDUNoBAOptionImplemented", 'B'},
    {"ext11UL2X996ToneRUOptionImplemented", 'B'},
    {"ext11OMControlULMUDataDisableRxOptionImplemented", 'B'},
    {"ext11HERxHEMCSMapLessThanOrEqualTo80", 'A'},
    {"ext11HETxHEMCSMapLessThanOrEqualTo80", 'A'},
    {"ext11HERxHEMCSMap160", 'A'},
    {"ext11HETxHEMCSMap160", 'A'},
    {"ext11HERxHEMCSMap80Plus80", 'A'},
    {"ext11HETxHEMCSMap80Plus80", 'A'},
};

constexpr cap_member he_beamforming[] = {
    {"dot11HESUBeamformerOptionImplemented", 'B'},
    {"dot11HESUBeamformeeOptionImplemented", 'B'},
    {"dot11HEMUBeamformerOptionImplemented", 'B'},
    {"dot11HEBeamformeeSTSSupportLessThanOrEqualTo80", 'N'},
    {"dot11HEBeamformeeSTSSupportGreaterThan80", 'N'},
    {"dot11HENumberSoundingDimensionsLessThanOrEqualTo80", 'N'},
    {"dot11HENumberSoundingDimensionsGreaterThan80", 'N'},
    {"dot11HENG16SUFeedbackSupport", 'B'},
    {"dot11HENG16MUFeedbackSupport", 'B'},
    {"dot11HECodebookSizePhi4Psi2SUFeedbackSupport", 'B'},
    {"dot11HECodebookSizePhi7Psi5MUFeedbackSupport", 'B'},
    {"dot11HETriggeredSUBeamformingFeedbackImplemented", 'B'},
    {"dot11HETriggeredMUBeamformingFeedbackImplemented", 'B'},
    {"dot11HETriggeredCQIFeedbackSupportImplemented", 'B'},
    {"ext11HENonTriggeredCQIFeedbackSupportImplemented", 'B'},
    {"ext11HEMaxNCInCompressedBFOrCQIReport", 'N'},
};

constexpr cap_member phy_operation[] = {{"dot11PHYType", 'E', SYM(sym_dot11PHYType)}};

constexpr cap_member phy_hrdsss[] = {{"dot11ShortPreambleOptionImplemented", 'B'},
                                     {"dot11PBCCOptionImplemented", 'B'}};

constexpr cap_member phy_ofdm[] = {{"dot11CurrentFrequency", 'N'}};

constexpr cap_member phy_erp[] = {
    {"dot11ERPPBCCOptionImplemented", 'B'},     {"dot11DSSSOFDMOptionImplemented", 'B'},
    {"dot11DSSSOFDMOptionActivated", 'B'},      {"dot11ShortSlotTimeOptionImplemented", 'B'},
    {"dot11ShortSlotTimeOptionActivated", 'B'},
};

constexpr cap_member phy_ht[] = {
    {"dot11CurrentPrimaryChannel", 'N'},
    {"dot11CurrentSecondaryChannel", 'N'},
    {"dot11HighestSupportedDataRate", 'N'},
    {"dot11FortyMHzOperationImplemented", 'B'},
    {"dot11FortyMHzOperationActivated", 'B'},
    {"dot11NumberOfSpatialStreamsImplemented", 'N'},
    {"dot11NumberOfSpatialStreamsActivated", 'N'},
    {"dot11HTGreenfieldOptionImplemented", 'B'},
    {"dot11HTGreenfieldOptionActivated", 'B'},
    {"dot11ShortGIOptionInTwentyImplemented", 'B'},
    {"dot11ShortGIOptionInTwentyActivated", 'B'},
    {"dot11ShortGIOptionInFortyImplemented", 'B'},
    {"dot11ShortGIOptionInFortyActivated", 'B'},
    {"dot11LDPCCodingOptionImplemented", 'B'},
    {"dot11LDPCCodingOptionActivated", 'B'},
    {"dot11TxSTBCOptionImplemented", 'B'},
    {"dot11TxSTBCOptionActivated", 'B'},
    {"dot11RxSTBCOptionImplemented", 'B'},
    {"dot11RxSTBCOptionActivated", 'B'},
    {"dot11BeamFormingOptionImplemented", 'B'},
    {"dot11BeamFormingOptionActivated", 'B'},
    {"dot11TxMCSSetDefined", 'B'},
    {"dot11TxRxMCSSetNotEqual", 'B'},
    {"dot11TxMaximumNumberSpatialStreamsSupported", 'N'},
    {"dot11TxUnequalModulationSupported", 'B'},
    {"dot11SMPSStaticOptionImplemented", 'B'},
    {"dot11SMPSDynamicOptionImplemented", 'B'},
    {"dot11SMPSModeActivated", 'E', SYM(sym_dot11SMPSModeActivated)},
};

constexpr cap_member phy_vht[] = {
    {"dot11CurrentChannelCenterFrequencyIndex0", 'N'},
    {"dot11CurrentChannelCenterFrequencyIndex1", 'N'},
    {"dot11VHTChannelWidthOptionImplemented", 'E', SYM(sym_dot11VHTChannelWidthOptionImplemented)},
    {"dot11CurrentChannelWidth", 'E', SYM(sym_dot11CurrentChannelWidth)},
    {"dot11VHTShortGIOptionIn80Implemented", 'B'},
    {"dot11VHTShortGIOptionIn80Activated", 'B'},
    {"dot11VHTShortGIOptionIn160and80p80Implemented", 'B'},
    {"dot11VHTShortGIOptionIn160and80p80Activated", 'B'},
    {"dot11VHTLDPCCodingOptionImplemented", 'B'},
    {"dot11VHTLDPCCodingOptionActivated", 'B'},
    {"dot11VHTTxSTBCOptionImplemented", 'B'},
    {"dot11VHTTxSTBCOptionActivated", 'B'},
    {"dot11VHTRxSTBCOptionImplemented", 'B'},
    {"dot11VHTRxSTBCOptionActivated", 'B'},
    {"dot11VHTLinkAdaptationImplemented", 'E', SYM(sym_dot11MCSFeedbackOptionImplemented)},
    {"dot11VHTRxAntPatternConsistency", 'B'},
    {"dot11VHTTxAntPatternConsistency", 'B'},
};

constexpr cap_member phy_he[] = {
    {"dot11HECurrentChannelWidthSet", 'W'},
    {"dot11HEPuncturedPreambleRxImplemented", 'N'},
    {"dot11HEDeviceClass", 'N'},
    {"dot11HELDPCCodingInPayloadImplemented", 'B'},
    {"dot11HESUPPDUwith1xHELTFand0point8GIlmplemented", 'B'},
    {"dot11HESUPPDUandHEMUPPDUwith4xHELTFand0point8GIlmplemented", 'B'},
    {"dot11HEERSUPPDUwith4xHELTFand0point8GIImplemented", 'B'},
    {"dot11HEERSUPPDUwith1xHELTFand0point8GIImplemented", 'B'},
    {"dot11HEMidambleRxMaxNSTS", 'N'},
    {"dot11HENDPwith4xHELTFand3point2GIImplemented", 'B'},
    {"dot11HESTBCTxLessThanOrEqualTo80Implemented", 'B'},
    {"dot11HESTBCRxLessThanOrEqualTo80Implemented", 'B'},
    {"dot11HESTBCTxGreaterThan80Implemented", 'B'},
    {"dot11HESTBCRxGreaterThan80Implemented", 'B'},
    {"dot11HEDopplerTxImplemented", 'B'},
    {"dot11HEDopplerRxImplemented", 'B'},
    {"dot11HEDCMImplemented", 'B'},
    {"dot11HEFullBWULMUMIMOImplemented", 'B'},
    {"dot11HEPartialBWULMUMIMOImplemented", 'B'},
    {"dot11HEPartialBWDLMUMIMOImplemented", 'B'},
    {"dot11HEULMUPayloadImplemented", 'B'},
    {"dot11HEPSRbasedSRSupportImplemented", 'B'},
    {"dot11HEPowerBoostFactorImplemented", 'B'},
    {"dot11HEPartialBWERSUPayloadImplemented", 'B'},
    {"dot11HEPuncturedSoundingOptionImplemented", 'B'},
    {"ext11HEDCMMaxConstellationTx", 'E', SYM(sym_ext11HEDCMMaxConstellation)},
    {"ext11HEDCMMaxConstellationRx", 'E', SYM(sym_ext11HEDCMMaxConstellation)},
    {"ext11HEDCMMaxNSSTx", 'N'},
    {"ext11HEDCMMaxNSSRx", 'N'},
    {"ext11HERxPartialBWSUIn20MUOptionImplemented", 'B'},
    {"ext11HE20In40MHzIn2GHzOptionImplemented", 'B'},
    {"ext11HE20In160Or80Plus80MHzOptionImplemented", 'B'},
    {"ext11HE80In160Or80Plus80MHzOptionImplemented", 'B'},
    {"ext11HEMidambleWith2xAnd1xHELTFOptionImplemented", 'B'},
    {"ext11HEDCMMaxRUSupported", 'E', SYM(sym_dot11RUIndex)},
    {"ext11HELongerThan16HESIGBOFDMSymbolsSupport", 'B'},
    {"ext11HETx1024QAMWithLessThan242RUOptionImplemented", 'B'},
    {"ext11HERx1024QAMWithLessThan242RUOptionImplemented", 'B'},
    {"ext11HERxFullBWSUWithCompressedHESIGBOptionImplemented", 'B'},
    {"ext11HERxFullBWSUWithNonCompressedHESIGBOptionImplemented", 'B'},
    {"ext11HENominalPacketPadding", 'T', MAP(map_ext11MinTrigProcTime)},
    {"ext11HEMUWithMoreThanOneRURxMaxNHELTF", 'B'},
};

constexpr cap_member apsd[] = {
    {"dot11APSDVOImplemented", 'B'}, {"dot11APSDVIImplemented", 'B'},
    {"dot11APSDBKImplemented", 'B'}, {"dot11APSDBEImplemented", 'B'},
    {"dot11MaxSPLength", 'N'},       {"dot11MoreDataAckImplemented", 'B'},
};

constexpr cap_member spectrum[] = {
    {"dot11ChannelSwitchTime", 'N'},
    {"dot11PowerCapabilityMinImplemented", 'I'},
    {"dot11PowerCapabilityMaxImplemented", 'I'},
};

constexpr cap_member radio_measurement[] = {
    {"dot11RMMeasurementPilotPeriod", 'N'},
    {"dot11RMLinkMeasurementActivated", 'B'},
    {"dot11RMNeighborReportActivated", 'B'},
    {"dot11RMParallelMeasurementsActivated", 'B'},
    {"dot11RMRepeatedMeasurementsActivated", 'B'},
    {"dot11RMBeaconPassiveMeasurementActivated", 'B'},
    {"dot11RMBeaconActiveMeasurementActivated", 'B'},
    {"dot11RMBeaconTableMeasurementActivated", 'B'},
    {"dot11RMBeaconMeasurementReportingConditionsActivated", 'B'},
    {"dot11RMFrameMeasurementActivated", 'B'},
    {"dot11RMChannelLoadMeasurementActivated", 'B'},
    {"dot11RMNoiseHistogramMeasurementActivated", 'B'},
    {"dot11RMStatisticsMeasurementActivated", 'B'},
    {"dot11RMLCIMeasurementActivated", 'B'},
    {"dot11RMLCIAzimuthActivated", 'B'},
    {"dot11RMTransmitStreamCategoryMeasurementActivated", 'B'},
    {"dot11RMTriggeredTransmitStreamCategoryMeasurementActivated", 'B'},
    {"dot11RMAPChannelReportActivated", 'B'},
    {"dot11RMMIBActivated", 'B'},
    {"dot11RMMaxMeasurementDuration", 'N'},
    {"dot11RMNonOperatingChannelMaxMeasurementDuration", 'N'},
    {"dot11RMMeasurementPilotTransmissionInformationActivated", 'B'},
    {"dot11RMMeasurementPilotActivated", 'N'},
    {"dot11RMNeighborReportTSFOffsetActivated", 'B'},
    {"dot11RMRCPIMeasurementActivated", 'B'},
    {"dot11RMRSNIMeasurementActivated", 'B'},
    {"dot11RMBSSAverageAccessDelayActivated", 'B'},
    {"dot11RMBSSAvailableAdmissionCapacityActivated", 'B'},
    {"dot11RMAntennaInformationActivated", 'B'},
};

struct cap_table {
    const cap_member *members;
    size_t count;
};

constexpr cap_table cap_tables[DOT11_CAP_KINDS] = {
    {vht_station, std::size(vht_station)},
    {vht_beamforming, std::size(vht_beamforming)},
    {he_station, std::size(he_station)},
    {he_beamforming, std::size(he_beamforming)},
    {phy_operation, std::size(phy_operation)},
    {phy_hrdsss, std::size(phy_hrdsss)},
    {phy_ofdm, std::size(phy_ofdm)},
    {phy_erp, std::size(phy_erp)},
    {phy_ht, std::size(phy_ht)},
    {phy_vht, std::size(phy_vht)},
    {phy_he, std::size(phy_he)},
    {apsd, std::size(apsd)},
    {spectrum, std::size(spectrum)},
    {radio_measurement, std::size(radio_measurement)},
};

// Flags take bit positions, maps map positions, every other form a number.
int position_of(const cap_table &t, size_t member)
{
    const char form = t.members[member].form;
    int pos = 0;
    for (size_t i = 0; i < member; i++) {
        const char f = t.members[i].form;
        if ((form == 'B') == (f == 'B') && (form == 'A') == (f == 'A')) pos++;
    }
    return pos;
}

constexpr size_t cap_capacity(char form)
{
    return form == 'B' ? 64 : form == 'A' ? 6 : 16;
}

// The capacities hold every table.
constexpr bool cap_tables_fit()
{
    for (const cap_table &t : cap_tables) {
        size_t bits = 0, maps = 0, nums = 0;
        for (size_t i = 0; i < t.count; i++)
            (t.members[i].form == 'B' ? bits : t.members[i].form == 'A' ? maps : nums)++;
        if (bits > cap_capacity('B') || maps > cap_capacity('A') || nums > cap_capacity('N'))
            return false;
    }
    return true;
}
static_assert(cap_tables_fit());

bool cap_bit(const dot11_mib_cap_group *g, int pos)
{
    return g->bits[pos / 8] & (0x80 >> pos % 8);
}

void json_map(json_writer *json, const uint8_t map[8])
{
    json_open_array(json);
    for (size_t i = 0; i < 8; i++)
        json_uint(json, map[i] & 3);
    json_close(json);
}

void json_member_bool(json_writer *json, const char *key, bool value)
{
    json_k(json, key);
    json_bool(json, value);
}

void json_member_int(json_writer *json, const char *key, int64_t value)
{
    json_k(json, key);
    json_int(json, value);
}

void json_member_mac(json_writer *json, const char *key, const uint8_t mac[6])
{
    json_k(json, key);
    json_mac(json, mac);
}

void json_member_text(json_writer *json, const char *key, const char *text, size_t size)
{
    json_k(json, key);
    json_string(json, text, ssize_t(size));
}

void json_member_hex(json_writer *json, const char *key, const uint8_t *bytes, size_t size)
{
    json_k(json, key);
    json_hex(json, bytes, 2 * size);
}

void json_member_suite(json_writer *json, const char *key, uint32_t suite)
{
    uint8_t b[4];
    memcpy(b, &suite, 4);
    char text[24];
    int n = snprintf(text, sizeof text, "%02x-%02x-%02x:%u", b[0], b[1], b[2], b[3]);
    json_k(json, key);
    json_plain_string(json, text, size_t(n));
}

template <size_t N>
void json_member_sym(json_writer *json, const char *key, const char *const (&table)[N], size_t i)
{
    json_k(json, key);
    json_symbol(json, table, N, i);
}

template <size_t N>
void json_member_map(json_writer *json, const char *key, const uint64_t (&table)[N], size_t i)
{
    json_member_uint(json, key, i < N ? table[i] : 0);
}

void json_member_float(json_writer *json, const char *key, float value)
{
    json_k(json, key);
    json_double(json, double(value));
}

void json_edca(json_writer *json, const dot11_edca_entry table[4], const char *const keys[5])
{
    json_open_array(json);
    for (size_t i = 0; i < 4; i++) {
        const dot11_edca_entry &e = table[i];
        const uint16_t v[5] = {e.cwmin, e.cwmax, e.aifsn, e.txop_limit, e.msdu_lifetime};
        json_open_object(json);
        for (size_t k = 0; k < 5; k++)
            json_member_uint(json, keys[k], v[k]);
        json_close(json);
    }
    json_close(json);
}

void json_suites(json_writer *json, const dot11_suite_entry *e, size_t n, const char *activated,
                 const char *implemented)
{
    json_open_array(json);
    for (size_t i = 0; i < n; i++) {
        json_open_object(json);
        json_member_bool(json, activated, e[i].activated);
        json_member_suite(json, implemented, e[i].implemented);
        json_close(json);
    }
    json_close(json);
}

} // namespace

int dot11_mib_cap_index(dot11_cap_kind kind, const char *member)
{
    if (kind >= DOT11_CAP_KINDS) return -1;
    const cap_table &t = cap_tables[kind];
    for (size_t i = 0; i < t.count; i++)
        if (strcmp(t.members[i].key, member) == 0) return position_of(t, i);
    return -1;
}

namespace
{

char form_of(dot11_cap_kind kind, const char *member)
{
    const cap_table &t = cap_tables[kind];
    for (size_t i = 0; i < t.count; i++)
        if (strcmp(t.members[i].key, member) == 0) return t.members[i].form;
    return 0;
}

} // namespace

bool dot11_mib_cap_flag(const dot11_mib_cap_group *g, dot11_cap_kind kind, const char *member)
{
    int pos = dot11_mib_cap_index(kind, member);
    return pos >= 0 && form_of(kind, member) == 'B' && cap_bit(g, pos);
}

unsigned dot11_mib_cap_num(const dot11_mib_cap_group *g, dot11_cap_kind kind, const char *member)
{
    int pos = dot11_mib_cap_index(kind, member);
    const char form = form_of(kind, member);
    return pos >= 0 && form != 'B' && form != 'A' ? g->num[pos] : 0;
}

const uint8_t *dot11_mib_cap_map(const dot11_mib_cap_group *g, dot11_cap_kind kind,
                                 const char *member)
{
    static const uint8_t none[8] = {3, 3, 3, 3, 3, 3, 3, 3};
    int pos = dot11_mib_cap_index(kind, member);
    return pos >= 0 && form_of(kind, member) == 'A' ? g->map[pos] : none;
}

void dot11_mib_cap_set(dot11_mib_cap_group *g, dot11_cap_kind kind, const char *member,
                       unsigned value)
{
    int pos = dot11_mib_cap_index(kind, member);
    if (pos < 0) return;
    switch (form_of(kind, member)) {
    case 'B':
        g->bits[pos / 8] = uint8_t(value ? g->bits[pos / 8] | 0x80 >> pos % 8
                                         : g->bits[pos / 8] & ~(0x80 >> pos % 8));
        break;
    case 'A':
        for (size_t i = 0; i < 8; i++)
            g->map[pos][i] = uint8_t(value >> 2 * i & 3);
        break;
    default:
        g->num[pos] = uint16_t(value);
    }
}

void render_json_dot11_cap_group(json_writer *json, const dot11_mib_cap_group *g,
                                 dot11_cap_kind kind)
{
    const cap_table &t = cap_tables[kind];
    json_open_object(json);
    for (size_t i = 0; i < t.count; i++) {
        const cap_member &m = t.members[i];
        const int pos = position_of(t, i);
        json_k(json, m.key);
        switch (m.form) {
        case 'B':
            json_bool(json, cap_bit(g, pos));
            break;
        case 'A':
            json_map(json, g->map[pos]);
            break;
        case 'I':
            json_int(json, int16_t(g->num[pos]));
            break;
        case 'E':
            json_symbol(json, m.sym, m.n, g->num[pos]);
            break;
        case 'T':
            json_uint(json, g->num[pos] < m.n ? m.map[g->num[pos]] : 0);
            break;
        case 'P':
            // The longest A-MPDU in octets; the exponent is at most 7 on the air.
            json_uint(json, (uint64_t(1) << (13 + (g->num[pos] & 7))) - 1);
            break;
        case 'Z':
            json_n0(json, g->num[pos]);
            break;
        case 'W':
            json_open_array(json);
            for (unsigned bit = 0; bit < 7; bit++)
                if (g->num[pos] & 1u << bit) json_uint(json, bit);
            json_close(json);
            break;
        default:
            json_uint(json, g->num[pos]);
        }
    }
    json_close(json);
}

void render_json_dot11_station_config(json_writer *json, const dot11StationConfig *g)
{
    json_open_object(json);
    json_member_mac(json, "dot11StationID", g->dot11StationID);
    json_member_uint(json, "dot11AuthenticationResponseTimeout",
                     g->dot11AuthenticationResponseTimeout);
    json_member_uint(json, "dot11AssociationResponseTimeout", g->dot11AssociationResponseTimeout);
    json_member_uint(json, "dot11MaxTransmitMSDULifetime", g->dot11MaxTransmitMSDULifetime);
    json_member_uint(json, "dot11BssMaxIdlePeriod", g->dot11BssMaxIdlePeriod);
    json_member_uint(json, "dot11DisassociateReason", g->dot11DisassociateReason);
    json_member_uint(json, "dot11DeauthenticateReason", g->dot11DeauthenticateReason);
    json_member_uint(json, "dot11AuthenticateFailStatus", g->dot11AuthenticateFailStatus);
    json_member_uint(json, "dot11AssociateFailStatus", g->dot11AssociateFailStatus);
    json_member_uint(json, "dot11ReassociateFailStatus", g->dot11ReassociateFailStatus);
    json_member_uint(json, "dot11BeaconPeriod", g->dot11BeaconPeriod);
    json_member_uint(json, "dot11DTIMPeriod", g->dot11DTIMPeriod);
    json_member_uint(json, "dot11AssociateID", g->dot11AssociateID);
    json_member_uint(json, "dot11ListenInterval", g->dot11ListenInterval);
    json_k(json, "dot11OperationalRateSet");
    json_open_array(json);
    for (size_t i = 0; i < g->rate_count && i < 12; i++)
        json_uint(json, g->dot11OperationalRateSet[i]);
    json_close(json);
    json_member_text(json, "dot11CountryString", g->dot11CountryString,
                     sizeof g->dot11CountryString);
    json_member_text(json, "dot11DesiredSSID", g->dot11DesiredSSID,
                     std::min<size_t>(g->ssid_len, 32));
    const uint8_t *f = g->flags;
    const struct {
        const char *key;
        unsigned byte;
        uint8_t bit;
    } bits[] = {
        {"dot11HiddenSSIDActivated", 0, DOT11_SC1_HIDDEN_SSID},
        {nullptr, 0, DOT11_SC1_BSS_TYPE},
        {"dot11BSSMembershipHT", 0, DOT11_SC1_MEMBERSHIP_HT},
        {"dot11MultidomaincapabilityImplemented", 0, DOT11_SC1_MULTIDOMAIN},
        {"dot11HROptionImplemented", 1, DOT11_SC2_HR},
        {"dot11OFDMOptionImplemented", 1, DOT11_SC2_OFDM},
        {"dot11ERPOptionImplemented", 1, DOT11_SC2_ERP},
        {"dot11HighThroughputOptionImplemented", 1, DOT11_SC2_HT},
        {"dot11QosOptionImplemented", 2, DOT11_SC3_QOS},
        {"dot11WMMOptionImplemented", 2, DOT11_SC3_WMM},
        {"dot11DelayedBlockAckOptionImplemented", 2, DOT11_SC3_DELAYED_BA},
        {"dot11ImmediateBlockAckOptionImplemented", 2, DOT11_SC3_IMMEDIATE_BA},
        {"dot11APSDOptionImplemented", 2, DOT11_SC3_APSD},
        {"dot11UAPSDOptionImplemented", 2, DOT11_SC3_UAPSD},
        {"dot11QAckOptionImplemented", 2, DOT11_SC3_QACK},
        {"dot11SpectrumManagementImplemented", 0, DOT11_SC1_SPECTRUM_IMPLEMENTED},
        {"dot11SpectrumManagementRequired", 0, DOT11_SC1_SPECTRUM_REQUIRED},
        {"dot11RadioMeasurementImplemented", 1, DOT11_SC2_RM_IMPLEMENTED},
        {"dot11RadioMeasurementActivated", 1, DOT11_SC2_RM_ACTIVATED},
        {"dot11RSNAOptionImplemented", 2, DOT11_SC3_RSNA},
        {"dot11RSNAPreauthenticationImplemented", 3, DOT11_SC4_PREAUTH},
        {"dot11FastBSSTransitionImplemented", 3, DOT11_SC4_FT},
    };
    for (const auto &b : bits) {
        if (b.key) {
            json_member_bool(json, b.key, f[b.byte] & b.bit);
        } else {
            json_member_sym(json, "dot11BSSType", sym_dot11BSSType,
                            f[0] & DOT11_SC1_BSS_TYPE ? 1 : 0);
        }
    }
    json_close(json);
}

void render_json_dot11_operation(json_writer *json, const dot11Operation *g)
{
    const uint16_t f = g->flags;
    json_open_object(json);
    json_member_text(json, "dot11ManufacturerID", g->dot11ManufacturerID,
                     sizeof g->dot11ManufacturerID);
    json_member_text(json, "dot11ProductID", g->dot11ProductID, sizeof g->dot11ProductID);
    json_member_uint(json, "dot11MaxTransmitMPDULength", g->dot11MaxTransmitMPDULength);
    json_member_uint(json, "dot11FragmentationThreshold", g->dot11FragmentationThreshold);
    json_member_uint(json, "dot11RTSThreshold", g->dot11RTSThreshold);
    json_member_uint(json, "dot11ShortRetryLimit", g->dot11ShortRetryLimit);
    json_member_uint(json, "dot11LongRetryLimit", g->dot11LongRetryLimit);
    json_member_float(json, "dot11CurrentTransmitPowerLevel",
                      float(g->dot11CurrentTransmitPowerLevel) / 100.0f);
    json_member_bool(json, "dot112040BSSCoexistenceManagementSupport", f & DOT11_OP_COEXISTENCE);
    json_member_uint(json, "dot11BSSWidthTriggerScanInterval", g->dot11BSSWidthTriggerScanInterval);
    json_member_uint(json, "dot11BSSWidthChannelTransitionDelayFactor",
                     g->dot11BSSWidthChannelTransitionDelayFactor);
    json_member_uint(json, "dot11OBSSScanPassiveDwell", g->dot11OBSSScanPassiveDwell);
    json_member_uint(json, "dot11OBSSScanActiveDwell", g->dot11OBSSScanActiveDwell);
    json_member_uint(json, "dot11OBSSScanPassiveTotalPerChannel",
                     g->dot11OBSSScanPassiveTotalPerChannel);
    json_member_uint(json, "dot11OBSSScanActiveTotalPerChannel",
                     g->dot11OBSSScanActiveTotalPerChannel);
    // Hundredths of a percent as a fraction of one.
    json_member_float(json, "dot11OBSSScanActivityThreshold",
                      float(g->dot11OBSSScanActivityThreshold) * 1.0e-4f);
    json_member_sym(json, "dot11HTProtection", sym_dot11HTProtection, g->dot11HTProtection);
    json_member_bool(json, "dot11RIFSMode", f & DOT11_OP_RIFS);
    json_member_bool(json, "dot11AMSDUOptionActivated", f & DOT11_OP_AMSDU_ACTIVATED);
    json_member_bool(json, "dot11LSIGTXOPFullProtectionActivated", f & DOT11_OP_LSIG_TXOP);
    json_member_bool(json, "dot11NonGFEntitiesPresent", f & DOT11_OP_NON_GF);
    json_member_bool(json, "dot11DualCTSProtection", f & DOT11_OP_DUAL_CTS);
    json_member_bool(json, "dot11PCOActivated", f & DOT11_OP_PCO);
    json_member_bool(json, "dot11FortyMHzIntolerant", f & DOT11_OP_40_INTOLERANT);
    json_member_bool(json, "dot11DSSSCCKModeIn40MHz", f & DOT11_OP_DSSS_CCK_40);
    json_member_bool(json, "dot11OBSSNonHTEntitiesPresent", f & DOT11_OP_OBSS_NON_HT);
    json_member_bool(json, "dot11NonERPEntitiesPresent", f & DOT11_OP_NON_ERP);
    json_member_bool(json, "dot11ERPProtectionActivated", f & DOT11_OP_ERP_PROTECTION);
    json_member_bool(json, "dot11BarkerPreambleMode", f & DOT11_OP_BARKER);
    json_close(json);
}

void render_json_dot11_ht_station_config(json_writer *json, const dot11HTStationConfig *g)
{
    const uint16_t f = g->flags;
    json_open_object(json);
    json_member_hex(json, "dot11HTOperationalMCSSet", g->dot11HTOperationalMCSSet,
                    sizeof g->dot11HTOperationalMCSSet);
    json_member_bool(json, "dot11NDelayedBlockAckOptionImplemented", f & DOT11_HT_DELAYED_BA);
    json_member_map(json, "dot11MaxAMSDULength", map_dot11MaxAMSDULength,
                    g->dot11MaxAMSDULength & 1);
    json_member_bool(json, "dot11STBCControlFrameOptionImplemented", f & DOT11_HT_STBC_CONTROL);
    json_member_bool(json, "dot11LsigTxopProtectionOptionImplemented", f & DOT11_HT_LSIG_TXOP);
    json_member_uint(json, "dot11MaxRxAMPDUFactor", g->dot11MaxRxAMPDUFactor);
    json_member_uint(json, "dot11MinimumMPDUStartSpacing", g->dot11MinimumMPDUStartSpacing);
    json_member_bool(json, "dot11PCOOptionImplemented", f & DOT11_HT_PCO);
    json_member_uint(json, "dot11TransitionTime", g->dot11TransitionTime);
    json_member_sym(json, "dot11MCSFeedbackOptionImplemented",
                    sym_dot11MCSFeedbackOptionImplemented, g->dot11MCSFeedbackOptionImplemented);
    json_member_bool(json, "dot11HTControlFieldSupported", f & DOT11_HT_HTC);
    json_member_bool(json, "dot11RDResponderOptionImplemented", f & DOT11_HT_RD_RESPONDER);
    json_member_bool(json, "dot11SPPAMSDUCapable", f & DOT11_HT_SPP_CAPABLE);
    json_member_bool(json, "dot11SPPAMSDURequired", f & DOT11_HT_SPP_REQUIRED);
    json_member_bool(json, "dot11FortyMHzOptionImplemented", f & DOT11_HT_FORTY_MHZ);
    json_close(json);
}

void render_json_dot11_rsna_config(json_writer *json, const dot11RSNAConfig *g)
{
    json_open_object(json);
    json_member_uint(json, "dot11RSNAConfigGroupRekeyTime", g->dot11RSNAConfigGroupRekeyTime);
    json_member_uint(json, "dot11RSNAConfigGroupRekeyPackets", g->dot11RSNAConfigGroupRekeyPackets);
    json_member_suite(json, "dot11RSNAConfigGroupCipher", g->dot11RSNAConfigGroupCipher);
    json_member_uint(json, "dot11RSNAConfigGroupCipherSize", g->dot11RSNAConfigGroupCipherSize);
    json_member_sym(json, "dot11RSNAConfigGroupRekeyMethod", sym_dot11RSNAConfigGroupRekeyMethod,
                    (g->rekey & DOT11_RSNA_REKEY_METHOD) >> 5);
    json_member_bool(json, "dot11RSNAConfigGroupRekeyStrict", g->rekey & DOT11_RSNA_REKEY_STRICT);
    json_member_hex(json, "dot11RSNAConfigPSKValue", g->dot11RSNAConfigPSKValue,
                    sizeof g->dot11RSNAConfigPSKValue);
    json_member_uint(json, "dot11RSNAConfigGroupUpdateCount", g->dot11RSNAConfigGroupUpdateCount);
    json_member_uint(json, "dot11RSNAConfigPairwiseUpdateCount",
                     g->dot11RSNAConfigPairwiseUpdateCount);
    json_member_uint(json, "dot11RSNAConfigPMKLifetime", g->dot11RSNAConfigPMKLifetime);
    json_member_uint(json, "dot11RSNAConfigPMKReauthThreshold",
                     g->dot11RSNAConfigPMKReauthThreshold);
    json_member_uint(json, "dot11RSNAConfigNumberOfPTKSAReplayCountersImplemented",
                     g->dot11RSNAConfigNumberOfPTKSAReplayCountersImplemented);
    json_member_uint(json, "dot11RSNAConfigPMKIDCacheSize", g->dot11RSNAConfigPMKIDCacheSize);
    json_member_uint(json, "dot11RSNAConfigSATimeout", g->dot11RSNAConfigSATimeout);
    json_member_suite(json, "dot11RSNAAuthenticationSuiteRequested",
                      g->dot11RSNAAuthenticationSuiteRequested);
    json_member_suite(json, "dot11RSNAPairwiseCipherRequested",
                      g->dot11RSNAPairwiseCipherRequested);
    json_member_suite(json, "dot11RSNAGroupCipherRequested", g->dot11RSNAGroupCipherRequested);
    json_member_suite(json, "dot11RSNAAuthenticationSuiteSelected",
                      g->dot11RSNAAuthenticationSuiteSelected);
    json_member_suite(json, "dot11RSNAPairwiseCipherSelected", g->dot11RSNAPairwiseCipherSelected);
    json_member_suite(json, "dot11RSNAGroupCipherSelected", g->dot11RSNAGroupCipherSelected);
    json_member_hex(json, "dot11RSNAPMKIDUsed", g->dot11RSNAPMKIDUsed,
                    sizeof g->dot11RSNAPMKIDUsed);
    json_member_bool(json, "dot11RSNAPMKIDCached", g->flags & DOT11_RSNA_PMKID_CACHED);
    json_member_uint(json, "dot11RSNATKIPCounterMeasuresInvoked",
                     g->dot11RSNATKIPCounterMeasuresInvoked);
    json_member_uint(json, "dot11RSNA4WayHandshakeFailures", g->dot11RSNA4WayHandshakeFailures);
    json_close(json);
}

void render_json_dot11_counters(json_writer *json, const dot11Counters *g)
{
    json_open_object(json);
    json_member_uint(json, "dot11AssociatedStationCount", g->dot11AssociatedStationCount);
    json_member_uint(json, "dot11ReceivedFragmentCount", g->dot11ReceivedFragmentCount);
    json_member_uint(json, "dot11ReceivedFrameCount", g->dot11ReceivedFrameCount);
    json_member_uint(json, "dot11ReceivedFragmentOctets",
                     dot11_u64_get(g->dot11ReceivedFragmentOctets));
    json_member_uint(json, "dot11ReceivedAMSDUCount", g->dot11ReceivedAMSDUCount);
    json_member_uint(json, "dot11ReceivedOctetsInAMSDUCount", g->dot11ReceivedOctetsInAMSDUCount);
    json_member_uint(json, "dot11TransmittedFragmentCount", g->dot11TransmittedFragmentCount);
    json_member_uint(json, "dot11TransmittedFrameCount", g->dot11TransmittedFrameCount);
    json_member_uint(json, "dot11GroupTransmittedFrameCount", g->dot11GroupTransmittedFrameCount);
    json_member_uint(json, "dot11FrameDuplicateCount", g->dot11FrameDuplicateCount);
    json_member_uint(json, "dot11TransmittedFragmentOctets",
                     dot11_u64_get(g->dot11TransmittedFragmentOctets));
    json_member_uint(json, "dot11TransmittedAMSDUCount", g->dot11TransmittedAMSDUCount);
    json_member_uint(json, "dot11TransmittedOctetsInAMSDUCount",
                     g->dot11TransmittedOctetsInAMSDUCount);
    json_member_uint(json, "dot11FailedCount", g->dot11FailedCount);
    json_member_uint(json, "dot11RetryCount", g->dot11RetryCount);
    json_member_uint(json, "dot11QosDiscardedFragmentCount", g->dot11QosDiscardedFragmentCount);
    json_member_uint(json, "dot11ReceiveTimeStamp", g->dot11ReceiveTimeStamp);
    json_member_int(json, "dot11ReceiveSignalLevel", g->dot11ReceiveSignalLevel);
    json_member_uint(json, "dot11ReceiveDataRate", g->dot11ReceiveDataRate);
    json_member_uint(json, "dot11TransmitTimeStamp", g->dot11TransmitTimeStamp);
    json_member_uint(json, "dot11TransmitDataRate", g->dot11TransmitDataRate);
    json_member_uint(json, "dot11EstimatedThroughput", g->dot11EstimatedThroughput);
    json_close(json);
}

void render_json_dot11_rsna_stats(json_writer *json, const dot11RSNAStats *g)
{
    json_open_object(json);
    json_member_uint(json, "dot11RSNAStatsTKIPReplays", g->dot11RSNAStatsTKIPReplays);
    json_member_uint(json, "dot11RSNAStatsTKIPICVErrors", g->dot11RSNAStatsTKIPICVErrors);
    json_member_uint(json, "dot11RSNAStatsTKIPLocalMICFailures",
                     g->dot11RSNAStatsTKIPLocalMICFailures);
    json_member_uint(json, "dot11RSNAStatsTKIPRemoteMICFailures",
                     g->dot11RSNAStatsTKIPRemoteMICFailures);
    json_member_uint(json, "dot11RSNAStatsCCMPReplays", g->dot11RSNAStatsCCMPReplays);
    json_member_uint(json, "dot11RSNAStatsCCMPDecryptErrors", g->dot11RSNAStatsCCMPDecryptErrors);
    json_member_uint(json, "dot11RSNAStatsCMACReplays", g->dot11RSNAStatsCMACReplays);
    json_member_uint(json, "dot11RSNAStatsBIPMICErrors", g->dot11RSNAStatsBIPMICErrors);
    json_close(json);
}

void render_json_dot11_groups(json_writer *json, const dot11_mib_groups *g,
                              const dot11_mib_sources *s)
{
    const dot11StationConfig &sc = g->station;
    auto cap = [&](const char *key, dot11_cap_kind kind) {
        json_k(json, key);
        render_json_dot11_cap_group(json, &g->cap[kind], kind);
    };

    json_k(json, "dot11StationConfig");
    render_json_dot11_station_config(json, &sc);
    json_k(json, "dot11Operation");
    render_json_dot11_operation(json, &g->operation);
    if (s->sta_capability || s->flow || s->ft) {
        json_k(json, "dot11BSSId");
        json_open_object(json);
        json_member_mac(json, "dot11APMacAddress", g->bssid);
        json_close(json);
    }
    if (dot11_sc(sc, 1, DOT11_SC1_MULTIDOMAIN)) {
        json_k(json, "dot11MultiDomainCapability");
        json_open_array(json);
        for (size_t i = 0; i < g->multidomain_count && i < 16 && g->multidomain[i].channels; i++) {
            json_open_object(json);
            json_member_uint(json, "dot11NumberOfChannels", g->multidomain[i].channels);
            json_member_uint(json, "dot11FirstChannelNumber", g->multidomain[i].first_channel);
            json_member_int(json, "dot11MaximumTransmitPowerLevel", g->multidomain[i].max_power);
            json_close(json);
        }
        json_close(json);
    }
    if (dot11_sc(sc, 2, DOT11_SC2_HT)) {
        json_k(json, "dot11HTStationConfig");
        render_json_dot11_ht_station_config(json, &g->ht);
    }
    if (dot11_sc(sc, 2, DOT11_SC2_VHT)) {
        cap("dot11VHTStationConfig", DOT11_CAP_VHT_STATION);
        cap("dot11VHTTransmitBeamformingConfig", DOT11_CAP_VHT_BEAMFORMING);
    }
    const bool he = dot11_sc(sc, 4, DOT11_SC4_HE);
    if (he) {
        cap("dot11HEStationConfig", DOT11_CAP_HE_STATION);
        cap("dot11HETransmitBeamformingConfig", DOT11_CAP_HE_BEAMFORMING);
    }
    if (dot11_mib_cap_num(&g->cap[DOT11_CAP_PHY_OPERATION], DOT11_CAP_PHY_OPERATION,
                          "dot11PHYType") &
        15)
        cap("dot11PhyOperation", DOT11_CAP_PHY_OPERATION);
    if (dot11_sc(sc, 2, DOT11_SC2_HR)) cap("dot11PhyHRDSSS", DOT11_CAP_PHY_HRDSSS);
    if (dot11_sc(sc, 2, DOT11_SC2_OFDM)) cap("dot11PhyOFDM", DOT11_CAP_PHY_OFDM);
    if (dot11_sc(sc, 2, DOT11_SC2_ERP)) cap("dot11PhyERP", DOT11_CAP_PHY_ERP);
    if (dot11_sc(sc, 2, DOT11_SC2_HT)) cap("dot11PhyHT", DOT11_CAP_PHY_HT);
    if (dot11_sc(sc, 2, DOT11_SC2_VHT)) cap("dot11PhyVHT", DOT11_CAP_PHY_VHT);
    if (he) {
        cap("dot11PhyHE", DOT11_CAP_PHY_HE);
        json_k(json, "dot11PPEThresholdsMappingsTable");
        json_open_array(json);
        for (size_t i = 0; i < g->ppe_count && i < 32; i++) {
            const dot11_ppe_entry &e = g->ppe[i];
            json_open_object(json);
            json_member_uint(json, "dot11PPEThresholdsMappingNSS", e.nss & 15);
            json_member_sym(json, "dot11PPEThresholdsMappingRUIndex", sym_dot11RUIndex,
                            e.ru_index & 3);
            json_member_sym(json, "dot11PPEThresholdsMappingPPET8",
                            sym_dot11PPEThresholdsMappingPPET, e.ppet8 & 7);
            json_member_sym(json, "dot11PPEThresholdsMappingPPET16",
                            sym_dot11PPEThresholdsMappingPPET, e.ppet16 & 7);
            json_close(json);
        }
        json_close(json);
    }
    if (dot11_sc(sc, 3, DOT11_SC3_QOS) || dot11_sc(sc, 3, DOT11_SC3_WMM)) {
        if (s->sta_capability) {
            cap("dot11APSD", DOT11_CAP_APSD);
        } else {
            static const char *const ap_keys[5] = {
                "dot11APEDCATableCWmin", "dot11APEDCATableCWmax", "dot11APEDCATableAIFSN",
                "dot11APEDCATableTXOPLimit", "dot11APEDCATableMSDULifetime"};
            static const char *const keys[5] = {"dot11EDCATableCWmin", "dot11EDCATableCWmax",
                                                "dot11EDCATableAIFSN", "dot11EDCATableTXOPLimit",
                                                "dot11EDCATableMSDULifetime"};
            json_k(json, "dot11APEDCA");
            json_edca(json, g->ap_edca, ap_keys);
            json_k(json, "dot11EDCA");
            json_edca(json, g->edca, keys);
        }
    }
    if (dot11_sc(sc, 1, DOT11_SC1_SPECTRUM_IMPLEMENTED))
        cap("dot11SpectrumManagement", DOT11_CAP_SPECTRUM);
    if (dot11_sc(sc, 2, DOT11_SC2_RM_IMPLEMENTED))
        cap("dot11RadioMeasurement", DOT11_CAP_RADIO_MEASUREMENT);
    json_k(json, "dot11AuthenticationAlgorithms");
    json_open_object(json);
    json_member_sym(json, "dot11AuthenticationAlgorithm", sym_dot11AuthenticationAlgorithm,
                    g->auth_algorithm);
    json_close(json);
    const bool rsna = dot11_sc(sc, 3, DOT11_SC3_RSNA);
    if (rsna) {
        json_k(json, "dot11Privacy");
        json_open_object(json);
        json_member_bool(json, "dot11RSNAActivated", g->rsna_activated);
        json_member_bool(json, "dot11RSNAPreauthenticationActivated", g->preauth_activated);
        json_close(json);
        json_k(json, "dot11RSNAConfig");
        render_json_dot11_rsna_config(json, &g->rsna_config);
        json_k(json, "dot11RSNAConfigPairwiseCiphers");
        json_suites(json, g->pairwise, g->pairwise_count, "dot11RSNAConfigPairwiseCipherActivated",
                    "dot11RSNAConfigPairwiseCipherImplemented");
        json_k(json, "dot11RSNAConfigAuthenticationSuites");
        json_suites(json, g->akm, g->akm_count, "dot11RSNAConfigAuthenticationSuiteActivated",
                    "dot11RSNAConfigAuthenticationSuiteImplemented");
    }
    if (dot11_sc(sc, 4, DOT11_SC4_FT)) {
        const dot11FastBSSTransitionConfig &ft = g->ft;
        json_k(json, "dot11FastBSSTransitionConfig");
        json_open_object(json);
        json_member_bool(json, "dot11FastBSSTransitionActivated",
                         ft.dot11FastBSSTransitionActivated);
        json_member_bool(json, "dot11FTOverDSActivated", ft.dot11FTOverDSActivated);
        json_member_bool(json, "dot11FTResourceRequestSupported",
                         ft.dot11FTResourceRequestSupported);
        json_member_uint(json, "dot11FTMobilityDomainID", ft.dot11FTMobilityDomainID);
        json_member_text(json, "dot11FTR0KeyHolderID", ft.dot11FTR0KeyHolderID,
                         std::min<size_t>(ft.r0kh_id_len, 48));
        json_member_uint(json, "dot11FTR0KeyLifetime", ft.dot11FTR0KeyLifetime);
        json_member_uint(json, "dot11FTReassociationDeadline", ft.dot11FTReassociationDeadline);
        json_close(json);
    }
    if (s->bss_elements || s->sta || s->sta_capability || s->flow) {
        json_k(json, "dot11Counters");
        render_json_dot11_counters(json, &g->counters);
    }
    if (rsna) {
        json_k(json, "dot11RSNAStats");
        render_json_dot11_rsna_stats(json, &g->stats);
    }
}

void render_json_dot11_mib(json_writer *json, const void *bss_capability, const void *bss_elements,
                           const dot11_mib_sta *sta, const dot11_auth_config *config,
                           const void *sta_capability, const dot11_flow_station *flow,
                           const dot11_ft_auth_row *ft)
{
    const dot11_mib_sources s = {bss_capability, bss_elements, sta, config,
                                 sta_capability, flow,         ft};
    dot11_mib_groups g;
    dot11_mib_assemble(&g, &s);
    render_json_dot11_groups(json, &g, &s);
}

void render_json_dot11_pmksa(json_writer *json, const dot11_key_row *row)
{
    json_open_object(json);
    json_member_mac(json, "dot11StationID", row->mac);
    json_member_hex(json, "dot11RSNAPMKIDUsed", row->key_id, sizeof row->key_id);
    json_member_suite(json, "dot11RSNAAuthenticationSuiteSelected", row->akm);
    json_member_suite(json, "dot11RSNAPairwiseCipherSelected", row->pairwise);
    json_member_uint(json, "dot11RSNAConfigPMKLifetime", row->lifetime);
    json_close(json);
}
