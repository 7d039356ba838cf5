// The 802.11 MIB of the show outputs: group assembly from the seven
// sources, the JSON groups (their keys in order, as the MIB names them, and
// their value forms) and the text blocks of a VAP, a flow, a PMKSA entry and
// an FT authentication row.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "render_fixture.h"
#include "utility/ugw_dot11_mib.h"
#include "utility/ugw_render_util.h"

namespace
{

constexpr uint32_t CCMP = DOT11_CIPHER_CCMP, TKIP = DOT11_CIPHER_TKIP;

const uint8_t bss_mac[6] = {0x02, 0x00, 0x00, 0x00, 0x01, 0x00};
const uint8_t sta_mac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x07};
const uint8_t flow_mac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x08};
const uint8_t ft_mac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x09};

// The keys of each group in document order, one string each.
const std::map<std::string, std::string> group_keys = {
    {"dot11StationConfig",
     "dot11StationID dot11AuthenticationResponseTimeout dot11AssociationResponseTimeout "
     "dot11MaxTransmitMSDULifetime dot11BssMaxIdlePeriod dot11DisassociateReason "
     "dot11DeauthenticateReason dot11AuthenticateFailStatus dot11AssociateFailStatus "
     "dot11ReassociateFailStatus dot11BeaconPeriod dot11DTIMPeriod dot11AssociateID "
     "dot11ListenInterval dot11OperationalRateSet dot11CountryString dot11DesiredSSID "
     "dot11HiddenSSIDActivated dot11BSSType dot11BSSMembershipHT "
     "dot11MultidomaincapabilityImplemented dot11HROptionImplemented dot11OFDMOptionImplemented "
     "dot11ERPOptionImplemented dot11HighThroughputOptionImplemented dot11QosOptionImplemented "
     "dot11WMMOptionImplemented dot11DelayedBlockAckOptionImplemented "
     "dot11ImmediateBlockAckOptionImplemented dot11APSDOptionImplemented "
     "dot11UAPSDOptionImplemented dot11QAckOptionImplemented dot11SpectrumManagementImplemented "
     "dot11SpectrumManagementRequired dot11RadioMeasurementImplemented "
     "dot11RadioMeasurementActivated dot11RSNAOptionImplemented "
     "dot11RSNAPreauthenticationImplemented dot11FastBSSTransitionImplemented"},
    {"dot11Operation",
     "dot11ManufacturerID dot11ProductID dot11MaxTransmitMPDULength dot11FragmentationThreshold "
     "dot11RTSThreshold dot11ShortRetryLimit dot11LongRetryLimit dot11CurrentTransmitPowerLevel "
     "dot112040BSSCoexistenceManagementSupport dot11BSSWidthTriggerScanInterval "
     "dot11BSSWidthChannelTransitionDelayFactor dot11OBSSScanPassiveDwell dot11OBSSScanActiveDwell "
     "dot11OBSSScanPassiveTotalPerChannel dot11OBSSScanActiveTotalPerChannel "
     "dot11OBSSScanActivityThreshold dot11HTProtection dot11RIFSMode dot11AMSDUOptionActivated "
     "dot11LSIGTXOPFullProtectionActivated dot11NonGFEntitiesPresent dot11DualCTSProtection "
     "dot11PCOActivated dot11FortyMHzIntolerant dot11DSSSCCKModeIn40MHz "
     "dot11OBSSNonHTEntitiesPresent dot11NonERPEntitiesPresent dot11ERPProtectionActivated "
     "dot11BarkerPreambleMode"},
    {"dot11BSSId", "dot11APMacAddress"},
    {"dot11MultiDomainCapability",
     "dot11NumberOfChannels dot11FirstChannelNumber dot11MaximumTransmitPowerLevel"},
    {"dot11HTStationConfig",
     "dot11HTOperationalMCSSet dot11NDelayedBlockAckOptionImplemented dot11MaxAMSDULength "
     "dot11STBCControlFrameOptionImplemented dot11LsigTxopProtectionOptionImplemented "
     "dot11MaxRxAMPDUFactor dot11MinimumMPDUStartSpacing dot11PCOOptionImplemented "
     "dot11TransitionTime dot11MCSFeedbackOptionImplemented dot11HTControlFieldSupported "
     "dot11RDResponderOptionImplemented dot11SPPAMSDUCapable dot11SPPAMSDURequired "
     "dot11FortyMHzOptionImplemented"},
    {"dot11VHTStationConfig",
     "dot11MaxMPDULength dot11VHTMaxRxAMPDUFactor dot11VHTControlFieldOptionImplemented "
     "dot11VHTTXOPPowerSaveOptionImplemented dot11VHTRxVHTMCSMap "
     "dot11VHTRxHighestDataRateSupported dot11VHTTxVHTMCSMap dot11VHTTxHighestDataRateSupported "
     "dot11VHTOBSSScanCount"},
    {"dot11VHTTransmitBeamformingConfig",
     "dot11VHTSUBeamformeeOptionImplemented dot11VHTSUBeamformerOptionImplemented "
     "dot11VHTMUBeamformeeOptionImplemented dot11VHTMUBeamformerOptionImplemented "
     "dot11VHTNumberSoundingDimensions dot11VHTBeamformeeNTxSupport"},
    {"dot11HEStationConfig",
     "dot11TRSOptionImplemented dot11OFDMARandomAccessOptionImplemented "
     "dot11HEControlFieldOptionImplemented dot11OMIOptionImplemented "
     "dot11HEMCSFeedbackOptionImplemented dot11HEDynamicFragmentationLevel "
     "dot11AMPDUwithMultipleTIDOptionImplemented dot11MPDUAskedforAckInMultiTIDAMPDU "
     "dot11TXOPDurationRTSThreshold dot11PPEThresholdsRequired "
     "dot11IntraPPDUPowerSaveOptionActivated dot11AMSDUFragmentationOptionImplemented "
     "dot11AutonomousBSSColorCollisionReportingImplemented dot11HEPSROptionImplemented "
     "dot11HEBSRControlImplemented dot11HEBQRControlImplemented dot11HECASControlImplemented "
     "dot11PartialBSSColorImplemented dot11ObssNbRuToleranceTime "
     "dot11HESubchannelSelectiveTransmissionImplemented dot11SRResponderOptionImplemented "
     "dot11AutonomousBSSColorInUseReportingImplemented dot11ShortSSIDListImplemented "
     "dot11HTVHTTriggerOptionImplemented dot11HEDynamicSMPowerSaveOptionImplemented "
     "dot11MUEDCAParametersActivated dot11CoHostedBSSIDImplemented "
     "dot11UnsolicitedProbeResponseOptionActivated dot11MemberOfColocated6GHzESSOptionActivated "
     "dot11AckEnabledAMPDUOptionImplemented dot11TWTOptionImplemented "
     "ext11TWTRequesterOptionActivated ext11TWTResponderOptionActivated "
     "ext11HEMaxFragmentedMSDUExponent ext11AMPDUWithMultipleTIDRxSupported "
     "ext11AMPDUWithMultipleTIDTxSupported ext11HEMinFragmentSize ext11MinTrigProcTime "
     "ext11AllAckOptionImplemented ext11BroadcastTWTOptionImplemented "
     "ext1132BABitmapOptionImplemented ext11MUCascadingOptionImplemented "
     "ext11MaxAMPDULengthExponentExtension ext11FlexibleTWTScheduleOptionImplemented "
     "ext11RxControlToMBSSOptionImplemented ext11BSRPBQRPInAMPDUOptionImplemented "
     "ext11NDPFeedbackReportOptionImplemented ext11OpportunisticPowerSaveOptionImplemented "
     "ext11AMSDUInAMPDUNoBAOptionImplemented ext11UL2X996ToneRUOptionImplemented "
     "ext11OMControlULMUDataDisableRxOptionImplemented ext11HERxHEMCSMapLessThanOrEqualTo80 "
     "ext11HETxHEMCSMapLessThanOrEqualTo80 ext11HERxHEMCSMap160 ext11HETxHEMCSMap160 "
     "ext11HERxHEMCSMap80Plus80 ext11HETxHEMCSMap80Plus80"},
    {"dot11HETransmitBeamformingConfig",
     "dot11HESUBeamformerOptionImplemented dot11HESUBeamformeeOptionImplemented "
     "dot11HEMUBeamformerOptionImplemented dot11HEBeamformeeSTSSupportLessThanOrEqualTo80 "
     "dot11HEBeamformeeSTSSupportGreaterThan80 dot11HENumberSoundingDimensionsLessThanOrEqualTo80 "
     "dot11HENumberSoundingDimensionsGreaterThan80 dot11HENG16SUFeedbackSupport "
     "dot11HENG16MUFeedbackSupport dot11HECodebookSizePhi4Psi2SUFeedbackSupport "
     "dot11HECodebookSizePhi7Psi5MUFeedbackSupport "
     "dot11HETriggeredSUBeamformingFeedbackImplemented "
     "dot11HETriggeredMUBeamformingFeedbackImplemented "
     "dot11HETriggeredCQIFeedbackSupportImplemented "
     "ext11HENonTriggeredCQIFeedbackSupportImplemented ext11HEMaxNCInCompressedBFOrCQIReport"},
    {"dot11PhyOperation", "dot11PHYType"},
    {"dot11PhyHRDSSS", "dot11ShortPreambleOptionImplemented dot11PBCCOptionImplemented"},
    {"dot11PhyOFDM", "dot11CurrentFrequency"},
    {"dot11PhyERP",
     "dot11ERPPBCCOptionImplemented dot11DSSSOFDMOptionImplemented dot11DSSSOFDMOptionActivated "
     "dot11ShortSlotTimeOptionImplemented dot11ShortSlotTimeOptionActivated"},
    {"dot11PhyHT",
     "dot11CurrentPrimaryChannel dot11CurrentSecondaryChannel dot11HighestSupportedDataRate "
     "dot11FortyMHzOperationImplemented dot11FortyMHzOperationActivated "
     "dot11NumberOfSpatialStreamsImplemented dot11NumberOfSpatialStreamsActivated "
     "dot11HTGreenfieldOptionImplemented dot11HTGreenfieldOptionActivated "
     "dot11ShortGIOptionInTwentyImplemented dot11ShortGIOptionInTwentyActivated "
     "dot11ShortGIOptionInFortyImplemented dot11ShortGIOptionInFortyActivated "
     "dot11LDPCCodingOptionImplemented dot11LDPCCodingOptionActivated dot11TxSTBCOptionImplemented "
     "dot11TxSTBCOptionActivated dot11RxSTBCOptionImplemented dot11RxSTBCOptionActivated "
     "dot11BeamFormingOptionImplemented dot11BeamFormingOptionActivated dot11TxMCSSetDefined "
     "dot11TxRxMCSSetNotEqual dot11TxMaximumNumberSpatialStreamsSupported "
     "dot11TxUnequalModulationSupported dot11SMPSStaticOptionImplemented "
     "dot11SMPSDynamicOptionImplemented dot11SMPSModeActivated"},
    {"dot11PhyVHT",
     "dot11CurrentChannelCenterFrequencyIndex0 dot11CurrentChannelCenterFrequencyIndex1 "
     "dot11VHTChannelWidthOptionImplemented dot11CurrentChannelWidth "
     "dot11VHTShortGIOptionIn80Implemented dot11VHTShortGIOptionIn80Activated "
     "dot11VHTShortGIOptionIn160and80p80Implemented dot11VHTShortGIOptionIn160and80p80Activated "
     "dot11VHTLDPCCodingOptionImplemented dot11VHTLDPCCodingOptionActivated "
     "dot11VHTTxSTBCOptionImplemented dot11VHTTxSTBCOptionActivated "
     "dot11VHTRxSTBCOptionImplemented dot11VHTRxSTBCOptionActivated "
     "dot11VHTLinkAdaptationImplemented dot11VHTRxAntPatternConsistency "
     "dot11VHTTxAntPatternConsistency"},
    {"dot11PhyHE",
     "dot11HECurrentChannelWidthSet dot11HEPuncturedPreambleRxImplemented dot11HEDeviceClass "
     "dot11HELDPCCodingInPayloadImplemented dot11HESUPPDUwith1xHELTFand0point8GIlmplemented "
     "dot11HESUPPDUandHEMUPPDUwith4xHELTFand0point8GIlmplemented "
     "dot11HEERSUPPDUwith4xHELTFand0point8GIImplemented "
     "dot11HEERSUPPDUwith1xHELTFand0point8GIImplemented dot11HEMidambleRxMaxNSTS "
     "dot11HENDPwith4xHELTFand3point2GIImplemented dot11HESTBCTxLessThanOrEqualTo80Implemented "
     "dot11HESTBCRxLessThanOrEqualTo80Implemented dot11HESTBCTxGreaterThan80Implemented "
     "dot11HESTBCRxGreaterThan80Implemented dot11HEDopplerTxImplemented "
     "dot11HEDopplerRxImplemented dot11HEDCMImplemented dot11HEFullBWULMUMIMOImplemented "
     "dot11HEPartialBWULMUMIMOImplemented dot11HEPartialBWDLMUMIMOImplemented "
     "dot11HEULMUPayloadImplemented dot11HEPSRbasedSRSupportImplemented "
     "dot11HEPowerBoostFactorImplemented dot11HEPartialBWERSUPayloadImplemented "
     "dot11HEPuncturedSoundingOptionImplemented ext11HEDCMMaxConstellationTx "
     "ext11HEDCMMaxConstellationRx ext11HEDCMMaxNSSTx ext11HEDCMMaxNSSRx "
     "ext11HERxPartialBWSUIn20MUOptionImplemented ext11HE20In40MHzIn2GHzOptionImplemented "
     "ext11HE20In160Or80Plus80MHzOptionImplemented ext11HE80In160Or80Plus80MHzOptionImplemented "
     "ext11HEMidambleWith2xAnd1xHELTFOptionImplemented ext11HEDCMMaxRUSupported "
     "ext11HELongerThan16HESIGBOFDMSymbolsSupport "
     "ext11HETx1024QAMWithLessThan242RUOptionImplemented "
     "ext11HERx1024QAMWithLessThan242RUOptionImplemented "
     "ext11HERxFullBWSUWithCompressedHESIGBOptionImplemented "
     "ext11HERxFullBWSUWithNonCompressedHESIGBOptionImplemented ext11HENominalPacketPadding "
     "ext11HEMUWithMoreThanOneRURxMaxNHELTF"},
    {"dot11PPEThresholdsMappingsTable",
     "dot11PPEThresholdsMappingNSS dot11PPEThresholdsMappingRUIndex dot11PPEThresholdsMappingPPET8 "
     "dot11PPEThresholdsMappingPPET16"},
    {"dot11APSD", "dot11APSDVOImplemented dot11APSDVIImplemented dot11APSDBKImplemented "
                  "dot11APSDBEImplemented dot11MaxSPLength dot11MoreDataAckImplemented"},
    {"dot11APEDCA", "dot11APEDCATableCWmin dot11APEDCATableCWmax dot11APEDCATableAIFSN "
                    "dot11APEDCATableTXOPLimit dot11APEDCATableMSDULifetime"},
    {"dot11EDCA", "dot11EDCATableCWmin dot11EDCATableCWmax dot11EDCATableAIFSN "
                  "dot11EDCATableTXOPLimit dot11EDCATableMSDULifetime"},
    {"dot11SpectrumManagement", "dot11ChannelSwitchTime dot11PowerCapabilityMinImplemented "
                                "dot11PowerCapabilityMaxImplemented"},
    {"dot11RadioMeasurement",
     "dot11RMMeasurementPilotPeriod dot11RMLinkMeasurementActivated dot11RMNeighborReportActivated "
     "dot11RMParallelMeasurementsActivated dot11RMRepeatedMeasurementsActivated "
     "dot11RMBeaconPassiveMeasurementActivated dot11RMBeaconActiveMeasurementActivated "
     "dot11RMBeaconTableMeasurementActivated dot11RMBeaconMeasurementReportingConditionsActivated "
     "dot11RMFrameMeasurementActivated dot11RMChannelLoadMeasurementActivated "
     "dot11RMNoiseHistogramMeasurementActivated dot11RMStatisticsMeasurementActivated "
     "dot11RMLCIMeasurementActivated dot11RMLCIAzimuthActivated "
     "dot11RMTransmitStreamCategoryMeasurementActivated "
     "dot11RMTriggeredTransmitStreamCategoryMeasurementActivated dot11RMAPChannelReportActivated "
     "dot11RMMIBActivated dot11RMMaxMeasurementDuration "
     "dot11RMNonOperatingChannelMaxMeasurementDuration "
     "dot11RMMeasurementPilotTransmissionInformationActivated dot11RMMeasurementPilotActivated "
     "dot11RMNeighborReportTSFOffsetActivated dot11RMRCPIMeasurementActivated "
     "dot11RMRSNIMeasurementActivated dot11RMBSSAverageAccessDelayActivated "
     "dot11RMBSSAvailableAdmissionCapacityActivated dot11RMAntennaInformationActivated"},
    {"dot11AuthenticationAlgorithms", "dot11AuthenticationAlgorithm"},
    {"dot11Privacy", "dot11RSNAActivated dot11RSNAPreauthenticationActivated"},
    {"dot11RSNAConfig",
     "dot11RSNAConfigGroupRekeyTime dot11RSNAConfigGroupRekeyPackets dot11RSNAConfigGroupCipher "
     "dot11RSNAConfigGroupCipherSize dot11RSNAConfigGroupRekeyMethod "
     "dot11RSNAConfigGroupRekeyStrict dot11RSNAConfigPSKValue dot11RSNAConfigGroupUpdateCount "
     "dot11RSNAConfigPairwiseUpdateCount dot11RSNAConfigPMKLifetime "
     "dot11RSNAConfigPMKReauthThreshold dot11RSNAConfigNumberOfPTKSAReplayCountersImplemented "
     "dot11RSNAConfigPMKIDCacheSize dot11RSNAConfigSATimeout dot11RSNAAuthenticationSuiteRequested "
     "dot11RSNAPairwiseCipherRequested dot11RSNAGroupCipherRequested "
     "dot11RSNAAuthenticationSuiteSelected dot11RSNAPairwiseCipherSelected "
     "dot11RSNAGroupCipherSelected dot11RSNAPMKIDUsed dot11RSNAPMKIDCached "
     "dot11RSNATKIPCounterMeasuresInvoked dot11RSNA4WayHandshakeFailures"},
    {"dot11RSNAConfigPairwiseCiphers",
     "dot11RSNAConfigPairwiseCipherActivated dot11RSNAConfigPairwiseCipherImplemented"},
    {"dot11RSNAConfigAuthenticationSuites",
     "dot11RSNAConfigAuthenticationSuiteActivated dot11RSNAConfigAuthenticationSuiteImplemented"},
    {"dot11FastBSSTransitionConfig",
     "dot11FastBSSTransitionActivated dot11FTOverDSActivated dot11FTResourceRequestSupported "
     "dot11FTMobilityDomainID dot11FTR0KeyHolderID dot11FTR0KeyLifetime "
     "dot11FTReassociationDeadline"},
    {"dot11Counters",
     "dot11AssociatedStationCount dot11ReceivedFragmentCount dot11ReceivedFrameCount "
     "dot11ReceivedFragmentOctets dot11ReceivedAMSDUCount dot11ReceivedOctetsInAMSDUCount "
     "dot11TransmittedFragmentCount dot11TransmittedFrameCount dot11GroupTransmittedFrameCount "
     "dot11FrameDuplicateCount dot11TransmittedFragmentOctets dot11TransmittedAMSDUCount "
     "dot11TransmittedOctetsInAMSDUCount dot11FailedCount dot11RetryCount "
     "dot11QosDiscardedFragmentCount dot11ReceiveTimeStamp dot11ReceiveSignalLevel "
     "dot11ReceiveDataRate dot11TransmitTimeStamp dot11TransmitDataRate dot11EstimatedThroughput"},
    {"dot11RSNAStats",
     "dot11RSNAStatsTKIPReplays dot11RSNAStatsTKIPICVErrors dot11RSNAStatsTKIPLocalMICFailures "
     "dot11RSNAStatsTKIPRemoteMICFailures dot11RSNAStatsCCMPReplays "
     "dot11RSNAStatsCCMPDecryptErrors dot11RSNAStatsCMACReplays dot11RSNAStatsBIPMICErrors"},
};

std::string words(const std::string &jq_array)
{
    std::string out;
    for (char c : jq_array)
        if (c == ',')
            out += ' ';
        else if (c != '[' && c != ']' && c != '"')
            out += c;
    return out;
}

std::string document(const dot11_mib_groups &g, const dot11_mib_sources &s)
{
    return render_json_capture([&](json_writer *json) {
        json_open_object(json);
        render_json_dot11_groups(json, &g, &s);
        json_close(json);
    });
}

std::string mib_document(const dot11_mib_sources &s)
{
    return render_json_capture([&](json_writer *json) {
        json_open_object(json);
        render_json_dot11_mib(json, s.bss_capability, s.bss_elements, s.sta, s.config,
                              s.sta_capability, s.flow, s.ft);
        json_close(json);
    });
}

dot11_auth_config vap_config()
{
    dot11_auth_config c{};
    memcpy(c.bss_mac, bss_mac, 6);
    memcpy(c.ssid, "lab\x01net", 7);
    c.ssid_len = 7;
    c.dot11BssMaxIdlePeriod = 300;
    c.dot11DeauthenticateReason = 3;
    c.dot11RSNAConfigGroupCipher = CCMP;
    c.dot11RSNAConfigGroupRekeyTime = 3600;
    c.dot11RSNAConfigPairwiseCipher[0] = CCMP;
    c.dot11RSNAConfigAuthenticationSuite[0] = DOT11_AKM_PSK;
    c.dot11RSNAConfigAuthenticationSuite[1] = DOT11_AKM_FT_PSK;
    c.dot11RSNAConfigAuthenticationSuite[2] = dot11_suite(0x00, 0x0f, 0xac, 8);
    c.dot11RSNAConfigPMKLifetime = 43200;
    c.dot11RSNAConfigSATimeout = 60;
    c.dot11RSNAConfigPMKIDCacheSize = 16;
    c.dot11RSNAConfigNumberOfPTKSAReplayCountersImplemented = 1;
    c.dot11FTMobilityDomainID = 0x1234;
    memcpy(c.dot11FTR0KeyHolderID, "r0kh\x1b[1m", 8);
    c.r0kh_id_len = 8;
    c.dot11FTR0KeyLifetime = 10000;
    c.dot11FTReassociationDeadline = 1000;
    c.flags_a = DOT11_CFG_A_RSNA_IMPLEMENTED | DOT11_CFG_A_FT_IMPLEMENTED |
                DOT11_CFG_A_RSNA_ACTIVATED | DOT11_REKEY_TIME << 1;
    c.flags_b = DOT11_CFG_B_FT_ACTIVATED | DOT11_CFG_B_SPP_CAPABLE;
    return c;
}

dot11_mib_sta station_part(const uint8_t mac[6])
{
    dot11_mib_sta s{};
    memcpy(s.mac, mac, 6);
    s.dot11MaxTransmitMPDULength = 2304;
    s.dot11FragmentationThreshold = 2346;
    s.dot11DisassociateReason = 8;
    s.dot11AssociatedStationCount = 2;
    s.dot11ReceivedFragmentCount = 10;
    s.dot11ReceivedFrameCount = 9;
    s.dot11TransmittedFragmentCount = 20;
    s.dot11TransmittedFrameCount = 19;
    s.dot11ReceivedFragmentOctets = dot11_u64_make(5000000000ull);
    s.dot11TransmittedFragmentOctets = dot11_u64_make(1234);
    s.dot11RSNAStatsCCMPReplays = 4;
    s.dot11RSNAGroupCipherSelected = CCMP;
    s.flags = DOT11_STA_INFRA | DOT11_STA_QOS | DOT11_STA_RSNA | DOT11_STA_SPP_REQUIRED;
    return s;
}

dot11_flow_station flow_station()
{
    dot11_flow_station f{};
    memcpy(f.sta, flow_mac, 6);
    memcpy(f.bssid, bss_mac, 6);
    f.dot11DeauthenticateReason = 15;
    f.dot11RSNAAuthenticationSuiteRequested = DOT11_AKM_PSK;
    f.dot11RSNAPairwiseCipherRequested = CCMP;
    f.dot11RSNAGroupCipherRequested = CCMP;
    f.dot11RSNAAuthenticationSuiteSelected = DOT11_AKM_PSK;
    f.dot11RSNAPairwiseCipherSelected = CCMP;
    f.dot11RSNAGroupCipherSelected = CCMP;
    for (uint8_t i = 0; i < 16; i++)
        f.dot11RSNAPMKIDUsed[i] = uint8_t(0x10 + i);
    f.flags = DOT11_FLOWSTA_QOS | DOT11_FLOWSTA_RSNA | DOT11_FLOWSTA_PMKID_CACHED;
    f.stats.dot11RSNAStatsCCMPReplays = 2;
    f.stats.dot11RSNAStatsCCMPDecryptErrors = 1;
    return f;
}

dot11_ft_auth_row ft_row()
{
    dot11_ft_auth_row r{};
    memcpy(r.sta, ft_mac, 6);
    memcpy(r.bssid, bss_mac, 6);
    r.dot11AssociateFailStatus = 53;
    r.auth_algorithm = 2;
    r.akm = DOT11_AKM_FT_PSK;
    r.pairwise = CCMP;
    r.flags = DOT11_FTROW_RSNA;
    return r;
}

TEST(Dot11MibAssembly, NoSourceLeavesEveryGroupZero)
{
    const dot11_mib_sources none{};
    dot11_mib_groups g;
    memset(&g, 0xa5, sizeof g);
    dot11_mib_assemble(&g, &none);
    dot11_mib_groups zero;
    memset(&zero, 0, sizeof zero);
    // dot11RSNAConfig's group cipher size is computed even from nothing: 0.
    EXPECT_EQ(memcmp(&g, &zero, sizeof g), 0);

    const std::string doc = mib_document(none);
    EXPECT_EQ(words(render_jq(doc, "keys_unsorted")),
              "dot11StationConfig dot11Operation dot11AuthenticationAlgorithms");
    EXPECT_EQ(render_jq(doc, ".dot11StationConfig | [.dot11StationID, .dot11DesiredSSID, "
                             ".dot11CountryString, .dot11BSSType, .dot11DTIMPeriod, "
                             "([.[] | select(type == \"boolean\")] | any)]"),
              "[\"00:00:00:00:00:00\",\"\",\"\",\"none\",0,false]");
    EXPECT_EQ(render_jq(doc, ".dot11AuthenticationAlgorithms"),
              "{\"dot11AuthenticationAlgorithm\":\"openSystem\"}");
}

TEST(Dot11MibAssembly, LastPresentSourceWins)
{
    const dot11_auth_config cfg = vap_config();
    const dot11_mib_sta sta = station_part(sta_mac);
    const dot11_flow_station flow = flow_station();
    const dot11_ft_auth_row ft = ft_row();

    struct {
        const char *name;
        dot11_mib_sources s;
        const uint8_t *station_id;
        uint16_t disassociate, deauthenticate, associate_fail;
        uint16_t ht_flags; // SPP bits
    } cases[] = {
        {"station part alone",
         {nullptr, nullptr, &sta, nullptr, nullptr, nullptr, nullptr},
         sta_mac,
         8,
         0,
         0,
         DOT11_HT_SPP_REQUIRED},
        // The service's BSS MAC and codes override the station part's.
        {"VAP",
         {nullptr, nullptr, &sta, &cfg, nullptr, nullptr, nullptr},
         bss_mac,
         0,
         3,
         0,
         DOT11_HT_SPP_CAPABLE},
        {"flow",
         {nullptr, nullptr, &sta, &cfg, nullptr, &flow, nullptr},
         flow_mac,
         0,
         15,
         0,
         DOT11_HT_SPP_CAPABLE},
        {"flow with FT row",
         {nullptr, nullptr, &sta, &cfg, nullptr, &flow, &ft},
         ft_mac,
         0,
         0,
         53,
         0},
        {"FT row alone",
         {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &ft},
         ft_mac,
         0,
         0,
         53,
         0},
    };
    for (const auto &c : cases) {
        dot11_mib_groups g;
        dot11_mib_assemble(&g, &c.s);
        EXPECT_EQ(memcmp(g.station.dot11StationID, c.station_id, 6), 0) << c.name;
        EXPECT_EQ(g.station.dot11DisassociateReason, c.disassociate) << c.name;
        EXPECT_EQ(g.station.dot11DeauthenticateReason, c.deauthenticate) << c.name;
        EXPECT_EQ(g.station.dot11AssociateFailStatus, c.associate_fail) << c.name;
        EXPECT_EQ(g.ht.flags & (DOT11_HT_SPP_CAPABLE | DOT11_HT_SPP_REQUIRED), c.ht_flags)
            << c.name;
    }

    // The FT row selects the suites over the station's own.
    dot11_mib_sources all = {nullptr, nullptr, &sta, &cfg, nullptr, &flow, &ft};
    dot11_mib_groups g;
    dot11_mib_assemble(&g, &all);
    EXPECT_EQ(g.rsna_config.dot11RSNAAuthenticationSuiteSelected, DOT11_AKM_FT_PSK);
    EXPECT_EQ(g.rsna_config.dot11RSNAAuthenticationSuiteRequested, DOT11_AKM_PSK);
    EXPECT_EQ(g.auth_algorithm, 2);
    EXPECT_EQ(memcmp(g.bssid, bss_mac, 6), 0);
    EXPECT_EQ(g.counters.dot11ReceivedFrameCount, 9u);
    EXPECT_EQ(g.stats.dot11RSNAStatsCCMPReplays, 2u);
}

TEST(Dot11MibAssembly, SuiteListsSkipEmptySelectors)
{
    dot11_auth_config cfg{};
    const uint32_t pairwise[4] = {0, CCMP, 0, TKIP};
    memcpy(cfg.dot11RSNAConfigPairwiseCipher, pairwise, sizeof pairwise);
    cfg.dot11RSNAConfigAuthenticationSuite[7] = DOT11_AKM_8021X;
    const dot11_mib_sources s = {nullptr, nullptr, nullptr, &cfg, nullptr, nullptr, nullptr};
    dot11_suite_entry e[4];
    ASSERT_EQ(dot11_mib_assemble_pairwise(e, &s), 2u);
    EXPECT_EQ(e[0].implemented, CCMP);
    EXPECT_EQ(e[0].key_length, 16);
    EXPECT_EQ(e[1].implemented, TKIP);
    EXPECT_EQ(e[1].key_length, 32);
    EXPECT_TRUE(e[0].activated && e[1].activated);
    dot11_suite_entry a[8];
    ASSERT_EQ(dot11_mib_assemble_akm(a, &s), 1u);
    EXPECT_EQ(a[0].implemented, DOT11_AKM_8021X);
}

// Every gate open: each group's keys, in order, are the MIB's.
TEST(Dot11MibJson, GroupKeysInOrder)
{
    dot11_mib_groups g;
    memset(&g, 0, sizeof g);
    g.station.flags[0] = DOT11_SC1_MULTIDOMAIN | DOT11_SC1_SPECTRUM_IMPLEMENTED;
    g.station.flags[1] = DOT11_SC2_RM_IMPLEMENTED | DOT11_SC2_HR | DOT11_SC2_OFDM | DOT11_SC2_ERP |
                         DOT11_SC2_HT | DOT11_SC2_VHT;
    g.station.flags[2] = DOT11_SC3_WMM | DOT11_SC3_RSNA;
    g.station.flags[3] = DOT11_SC4_FT | DOT11_SC4_HE;
    dot11_mib_cap_set(&g.cap[DOT11_CAP_PHY_OPERATION], DOT11_CAP_PHY_OPERATION, "dot11PHYType", 14);
    g.multidomain[0] = {36, 4, 2000};
    g.multidomain_count = 1;
    g.ppe_count = 1;
    g.pairwise[0] = {true, CCMP, 16};
    g.pairwise_count = 1;
    g.akm[0] = {true, DOT11_AKM_PSK, 0};
    g.akm_count = 1;
    const dot11_mib_sta sta{};
    const dot11_flow_station flow{};
    const dot11_mib_sources vap = {nullptr, nullptr, &sta, nullptr, nullptr, &flow, nullptr};

    const std::string doc = document(g, vap);
    EXPECT_EQ(words(render_jq(doc, "keys_unsorted")),
              "dot11StationConfig dot11Operation dot11BSSId dot11MultiDomainCapability "
              "dot11HTStationConfig dot11VHTStationConfig dot11VHTTransmitBeamformingConfig "
              "dot11HEStationConfig dot11HETransmitBeamformingConfig dot11PhyOperation "
              "dot11PhyHRDSSS dot11PhyOFDM dot11PhyERP dot11PhyHT dot11PhyVHT dot11PhyHE "
              "dot11PPEThresholdsMappingsTable dot11APEDCA dot11EDCA dot11SpectrumManagement "
              "dot11RadioMeasurement dot11AuthenticationAlgorithms dot11Privacy dot11RSNAConfig "
              "dot11RSNAConfigPairwiseCiphers dot11RSNAConfigAuthenticationSuites "
              "dot11FastBSSTransitionConfig dot11Counters dot11RSNAStats");
    // A station capability source switches the EDCA tables for the APSD group.
    const int capability = 0;
    dot11_mib_sources station = vap;
    station.sta_capability = &capability;
    const std::string doc2 = document(g, station);
    EXPECT_EQ(render_jq(doc2, "has(\"dot11APSD\"), has(\"dot11APEDCA\"), has(\"dot11EDCA\")"),
              "true\nfalse\nfalse");

    for (const auto &[group, keys] : group_keys) {
        const std::string &d = group == "dot11APSD" ? doc2 : doc;
        std::string filter =
            "." + group + " | if type == \"array\" then .[0] else . end | keys_unsorted";
        EXPECT_EQ(words(render_jq(d, filter)), keys) << group;
    }
    EXPECT_EQ(render_jq(doc, ".dot11APEDCA | length"), "4");
    EXPECT_EQ(render_jq(doc, ".dot11PhyOperation.dot11PHYType"), "\"he\"");
}

TEST(Dot11MibJson, ValueForms)
{
    dot11_mib_groups g;
    memset(&g, 0, sizeof g);
    g.station.flags[1] = DOT11_SC2_VHT;
    g.station.flags[2] = DOT11_SC3_RSNA;
    g.station.rate_count = 14;
    for (uint8_t i = 0; i < 12; i++)
        g.station.dot11OperationalRateSet[i] = uint8_t(2 + i);
    memcpy(g.station.dot11CountryString, "DE I", 4); // four bytes, no NUL
    memcpy(g.station.dot11DesiredSSID, "caf\xc3\xa9\"\x01", 7);
    g.station.ssid_len = 7;
    g.operation.dot11CurrentTransmitPowerLevel = -150;
    g.auth_algorithm = 1;
    g.rsna_config.dot11RSNAConfigGroupCipher = dot11_suite(0x00, 0x50, 0xf2, 4);
    g.rsna_config.dot11RSNAPMKIDUsed[15] = 0xab;
    const dot11_mib_sources none{};

    struct {
        unsigned factor, rx_rate;
        const char *want;
    } vht[] = {
        {0, 0, "[8191,null]"},
        {3, 780, "[65535,780]"},
        {7, 1, "[1048575,1]"},
    };
    for (const auto &c : vht) {
        dot11_mib_cap_group &v = g.cap[DOT11_CAP_VHT_STATION];
        dot11_mib_cap_set(&v, DOT11_CAP_VHT_STATION, "dot11VHTMaxRxAMPDUFactor", c.factor);
        dot11_mib_cap_set(&v, DOT11_CAP_VHT_STATION, "dot11VHTRxHighestDataRateSupported",
                          c.rx_rate);
        EXPECT_EQ(render_jq(document(g, none),
                            ".dot11VHTStationConfig | [.dot11VHTMaxRxAMPDUFactor, "
                            ".dot11VHTRxHighestDataRateSupported]"),
                  c.want);
    }

    const std::string doc = document(g, none);
    const struct {
        const char *path, *want;
    } cases[] = {
        // A zero VHT group behind its open gate.
        {".dot11VHTStationConfig | [.dot11MaxMPDULength, .dot11VHTRxVHTMCSMap, "
         ".dot11VHTTxHighestDataRateSupported]",
         "[3895,[0,0,0,0,0,0,0,0],null]"},
        {".dot11StationConfig.dot11OperationalRateSet | length", "12"},
        {".dot11StationConfig.dot11CountryString", "\"DE I\""},
        {".dot11StationConfig.dot11DesiredSSID", "\"caf\u00e9\\\"\\u0001\""},
        {".dot11Operation.dot11CurrentTransmitPowerLevel", "-1.5"},
        {".dot11AuthenticationAlgorithms.dot11AuthenticationAlgorithm", "null"},
        {".dot11RSNAConfig.dot11RSNAConfigGroupRekeyMethod", "null"},
        {".dot11RSNAConfig.dot11RSNAConfigGroupCipher", "\"00-50-f2:4\""},
        {".dot11RSNAConfig.dot11RSNAAuthenticationSuiteSelected", "\"00-00-00:0\""},
        {".dot11RSNAConfig.dot11RSNAPMKIDUsed", "\"000000000000000000000000000000ab\""},
        {".dot11RSNAConfig.dot11RSNAConfigPSKValue | length", "64"},
        {"has(\"dot11HTStationConfig\"), has(\"dot11PhyVHT\"), has(\"dot11Counters\")",
         "false\ntrue\nfalse"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(render_jq(doc, c.path), c.want) << c.path;
    EXPECT_NE(doc.find("\"dot11CurrentTransmitPowerLevel\":-1.500000e+00"), std::string::npos);

    // A PHY type of an empty row writes null; 0 leaves the group out.
    dot11_mib_cap_set(&g.cap[DOT11_CAP_PHY_OPERATION], DOT11_CAP_PHY_OPERATION, "dot11PHYType", 5);
    EXPECT_EQ(render_jq(document(g, none), ".dot11PhyOperation"), "{\"dot11PHYType\":null}");
}

TEST(Dot11MibJson, PmksaRow)
{
    dot11_key_row row{};
    memcpy(row.mac, sta_mac, 6);
    for (uint8_t i = 0; i < 16; i++)
        row.key_id[i] = uint8_t(i * 17);
    row.akm = DOT11_AKM_FT_8021X;
    row.pairwise = CCMP;
    row.lifetime = 3600;
    const std::string doc =
        render_json_capture([&](json_writer *json) { render_json_dot11_pmksa(json, &row); });
    EXPECT_EQ(render_jq(doc, "."), "{\"dot11StationID\":\"02:00:00:00:00:07\","
                                   "\"dot11RSNAPMKIDUsed\":\"00112233445566778899aabbccddeeff\","
                                   "\"dot11RSNAAuthenticationSuiteSelected\":\"00-0f-ac:3\","
                                   "\"dot11RSNAPairwiseCipherSelected\":\"00-0f-ac:4\","
                                   "\"dot11RSNAConfigPMKLifetime\":3600}");
}

// A show line as the text form lays it out: label right-aligned in 22.
std::string row(const std::string &label, const std::string &value)
{
    return std::string(label.size() < 22 ? 22 - label.size() : 0, ' ') + label + value + "\n";
}

std::string text_of(const dot11_mib_sources &s, bool station)
{
    return render_capture([&](FILE *out) { render_text_dot11_mib(out, &s, station); });
}

// The operation group of records that carry only the MPDU limits.
std::string operation_rows(unsigned fragmentation, unsigned mpdu)
{
    return row("Manufacturer: ", "") + row("Chipset/Driver: ", "") + row("RTS Threshold: ", "0") +
           row("Short Retry Limit: ", "0") + row("Long Retry Limit: ", "0") +
           row("RIFS Mode: ", "Disabled") + row("DSSS-CCK in 40 MHz: ", "Disabled") +
           row("PCO: ", "Disabled") + row("40 MHz Intolerant: ", "No") +
           row("20/40 Coexistance: ", "No") + row("OBSS Scan Interval: ", "0s") +
           row("Width Delay Factor: ", "0") + row("Scan Activity Thresh: ", "0.00%") +
           row("OBSS Passive Dwell: ", "0 TU") + row("OBSS Active Dwell: ", "0 TU") +
           row("OBSS Passive Total: ", "0 TU") + row("OBSS Active Total: ", "0 TU") +
           row("ERP Protection: ", "Disabled") + row("Barker Preamble Mode: ", "Disabled") +
           row("HT Protection: ", "None") + row("Dual CTS Protection: ", "Disabled") +
           row("LSIG Protection: ", "Disabled") + row("Non-ERP: ", "Not present") +
           row("Non-Greenfield: ", "Not present") + row("OBSS Non-HT: ", "Not present") +
           row("Transmit Power Level: ", "0.00 dBm") +
           row("Fragmentation Thr: ", std::to_string(fragmentation)) +
           row("Tx MPDU Limit: ", std::to_string(mpdu));
}

std::string security_rows(unsigned ccmp_replays, unsigned ccmp_decrypt)
{
    return row("TKIP Replays: ", "0") + row("TKIP ICV Err: ", "0") +
           row("TKIP Local MIC Err: ", "0") + row("TKIP Remote MIC Err: ", "0") +
           row("CCMP Replays: ", std::to_string(ccmp_replays)) +
           row("CCMP Decrypt Err: ", std::to_string(ccmp_decrypt)) + row("BIP Replays: ", "0") +
           row("BIP MIC Errors: ", "0");
}

// The counters of station_part(), which carries no stamps or rates.
std::string station_part_counter_rows()
{
    return row("Associated Stations: ", "2") + row("Rx Octets: ", "5000000000") +
           row("Rx Fragments: ", "10") + row("Rx Frames: ", "9") + row("Rx A-MSDU Frames: ", "0") +
           row("Rx A-MSDU Octets: ", "0") + row("Rx Duplicate Frames: ", "0") +
           row("Rx Discarded Frames: ", "0") + row("Tx Octets: ", "1234") +
           row("Tx Fragments: ", "20") + row("Tx Frames: ", "19") +
           row("Tx Broadcast Frames: ", "0") + row("Tx A-MSDU Frames: ", "0") +
           row("Tx A-MSDU Octets: ", "0") + row("Tx Retries: ", "0") + row("Tx Failed: ", "0") +
           row("Rx Idle Time: ", "-") + row("Tx Throughput: ", "0 bit/s") +
           row("Tx Data Rate: ", "0 bit/s") + row("Tx Idle Time: ", "-") +
           row("Rx Data Rate: ", "0 bit/s") + row("Rx Signal Level: ", "0 dBm");
}

TEST(Dot11MibText, Vap)
{
    const dot11_auth_config cfg = vap_config();
    const dot11_mib_sta sta = station_part(sta_mac);
    const dot11_mib_sources vap = {nullptr, nullptr, &sta, &cfg, nullptr, nullptr, nullptr};
    const std::string want =
        row("Station ID: ", "02:00:00:00:01:00") + row("Country: ", "-") +
        row("Environment: ", "any") + row("Supported Rates: ", "") + row("SSID: ", "\"lab.net\" ") +
        row("Options: ", "QoS RSNA ") + row("Deauth Reason: ", "3") + operation_rows(2346, 2304) +
        row("Authentication: ", "Open Fast BSS transition ") + row("RSNA: ", "Enabled") +
        row("RSNA Preauth: ", "Disabled") + row("Group Cipher: ", "CCMP") +
        row("Group Rekey: ", "3600s ") + row("PMK Lifetime: ", "43200s") +
        row("SA Timeout: ", "60s") + row("PMKID Cache Size: ", "16") +
        row("PTKSA Replay Ctr: ", "1") + row("Selected Group: ", "CCMP") +
        row("Pairwise Ciphers: ", "CCMP ") +
        // 00-0F-AC:8 has no name: an empty one and its blank.
        row("AKM Suites: ", "PSK PSK-FT  ") + row("Fast BSS Transition: ", "Enabled") +
        row("FT Over-DS: ", "Disabled") + row("FT Mobility Domain: ", "4660") +
        row("R0 Key Holder: ", "r0kh.[1m") + row("R0 Key Lifetime: ", "10000") +
        row("FT Reassoc Deadline: ", "1000") + station_part_counter_rows() + security_rows(4, 0);
    EXPECT_EQ(text_of(vap, false), want);
}

TEST(Dot11MibText, StationFlow)
{
    const dot11_auth_config cfg = vap_config();
    const dot11_mib_sta sta = station_part(sta_mac);
    dot11_flow_station flow = flow_station();
    const dot11_mib_sources s = {nullptr, nullptr, &sta, &cfg, nullptr, &flow, nullptr};
    const std::string want =
        row("Station ID: ", "02:00:00:00:00:08") + row("Country: ", "-") +
        row("Environment: ", "any") + row("Supported Rates: ", "") + row("SSID: ", "\"lab.net\" ") +
        row("Options: ", "QoS RSNA ") + row("Deauth Reason: ", "15") + operation_rows(2346, 2304) +
        row("AP MAC Address: ", "02:00:00:00:01:00") + row("APSD Classes: ", "") +
        row("APSD SP Length: ", "0") + row("APSD More-Data-Ack: ", "No") +
        row("Authentication: ", "Open Fast BSS transition ") + row("RSNA: ", "Enabled") +
        row("RSNA Preauth: ", "Disabled") + row("Group Cipher: ", "CCMP") +
        row("Group Rekey: ", "3600s ") + row("PMK Lifetime: ", "43200s") +
        row("SA Timeout: ", "60s") + row("PMKID Cache Size: ", "16") +
        row("PTKSA Replay Ctr: ", "1") + row("Requested Group: ", "CCMP") +
        row("Selected Group: ", "CCMP") + row("Requested Cipher: ", "CCMP") +
        row("Selected Cipher: ", "CCMP") + row("Requested AKM: ", "PSK") +
        row("Selected AKM: ", "PSK") + row("PMKID: ", "101112131415161718191a1b1c1d1e1f (cached)") +
        row("Pairwise Ciphers: ", "CCMP ") + row("AKM Suites: ", "PSK PSK-FT  ") +
        row("Fast BSS Transition: ", "Enabled") + row("FT Over-DS: ", "Disabled") +
        row("FT Mobility Domain: ", "4660") + row("R0 Key Holder: ", "r0kh.[1m") +
        row("R0 Key Lifetime: ", "10000") + row("FT Reassoc Deadline: ", "1000") +
        station_part_counter_rows() + security_rows(2, 1);
    EXPECT_EQ(text_of(s, true), want);
}

TEST(Dot11MibText, FtRowAndPmksa)
{
    const dot11_ft_auth_row ft = ft_row();
    const dot11_mib_sources s = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &ft};
    // The selected cipher prints only after a requested one.
    const std::string want = row("Station ID: ", "02:00:00:00:00:09") + row("Country: ", "-") +
                             row("Environment: ", "any") + row("Supported Rates: ", "") +
                             row("Options: ", "RSNA ") + row("Associate Failure: ", "53") +
                             operation_rows(0, 0) + row("AP MAC Address: ", "02:00:00:00:01:00") +
                             row("Authentication: ", "Open ") + row("RSNA: ", "Disabled") +
                             row("RSNA Preauth: ", "Disabled") + row("Selected AKM: ", "PSK-FT") +
                             row("Pairwise Ciphers: ", "") + row("AKM Suites: ", "") +
                             security_rows(0, 0);
    EXPECT_EQ(text_of(s, true), want);

    const dot11_key_row key = {{0x02, 0, 0, 0, 0, 0x07},
                               {0xde, 0xad, 0xbe, 0xef, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11},
                               {},
                               dot11_suite(0x00, 0x0f, 0xac, 8),
                               DOT11_CIPHER_WPA_TKIP,
                               86400};
    EXPECT_EQ(render_capture([&](FILE *out) { render_text_dot11_pmksa(out, &key); }),
              row("Station ID: ", "02:00:00:00:00:07") +
                  row("PMKID: ", "deadbeef000102030405060708090a0b") + row("Authentication: ", "") +
                  row("Cipher: ", "TKIP") + row("Lifetime: ", "86400"));
}

// The printers behind the gates that only capability sources open.
TEST(Dot11MibText, GatedPrinters)
{
    dot11_mib_groups g;
    memset(&g, 0, sizeof g);
    g.station.flags[0] = DOT11_SC1_MULTIDOMAIN;
    g.station.flags[1] = DOT11_SC2_HR | DOT11_SC2_ERP | DOT11_SC2_VHT;
    g.station.flags[2] = DOT11_SC3_QOS | DOT11_SC3_RSNA;
    g.multidomain[0] = {36, 4, 2300};
    g.multidomain[1] = {1, 3, -50};
    g.multidomain[2] = {100, 0, 0}; // ends the list
    g.multidomain[3] = {149, 1, 0};
    g.multidomain_count = 4;
    dot11_mib_cap_group &erp = g.cap[DOT11_CAP_PHY_ERP];
    dot11_mib_cap_set(&erp, DOT11_CAP_PHY_ERP, "dot11DSSSOFDMOptionImplemented", 1);
    dot11_mib_cap_set(&erp, DOT11_CAP_PHY_ERP, "dot11ShortSlotTimeOptionImplemented", 1);
    dot11_mib_cap_set(&erp, DOT11_CAP_PHY_ERP, "dot11ShortSlotTimeOptionActivated", 1);
    dot11_mib_cap_set(&erp, DOT11_CAP_PHY_ERP, "dot11ERPPBCCOptionActivated", 1); // no such member
    dot11_mib_cap_group &vht = g.cap[DOT11_CAP_VHT_STATION];
    dot11_mib_cap_set(&vht, DOT11_CAP_VHT_STATION, "dot11VHTMaxRxAMPDUFactor", 3);
    dot11_mib_cap_set(&vht, DOT11_CAP_VHT_STATION, "dot11VHTRxVHTMCSMap", 0xfffa); // 2 x MCS 0-9
    dot11_mib_cap_set(&vht, DOT11_CAP_VHT_STATION, "dot11VHTTxVHTMCSMap", 0xffff);
    dot11_mib_cap_set(&vht, DOT11_CAP_VHT_STATION, "dot11VHTControlFieldOptionImplemented", 1);
    g.ap_edca[0] = {15, 1023, 3, 0, 0};
    // Idle times count from the stamps on the management clock; 0 is no stamp.
    g.counters.dot11ReceiveTimeStamp = ugw_render_now() - 5;
    g.counters.dot11TransmitDataRate = 54000000;
    g.counters.dot11ReceiveSignalLevel = -61;
    const dot11_mib_sta station_part_record{};
    g.edca[3] = {3, 7, 2, 47, 0};
    const dot11_mib_sources none = {nullptr, nullptr, &station_part_record, nullptr, nullptr,
                                    nullptr, nullptr};
    auto text = [&](bool station) {
        return render_capture(
            [&](FILE *out) { render_text_dot11_groups(out, &g, &none, station); });
    };
    const std::string vap = text(false);
    const struct {
        const char *what;
        std::string line;
        bool present;
    } cases[] = {
        {"options in order", row("Options: ", "HR ERP VHT QoS RSNA Multi-Domain "), true},
        {"5 GHz channels step by 4", row("Channels @ 23.00 dBm: ", "36 40 44 48 "), true},
        {"2.4 GHz channels step by 1", row("Channels @ -0.50 dBm: ", "1 2 3 "), true},
        {"no channels ends the list", "149 ", false},
        {"ERP options with their marks", row("ERP PHY Options: ", "DSSS-OFDM Short-Slot* "), true},
        {"HR options", row("HR PHY Options: ", ""), true},
        {"VHT without HT", row("VHT Max Rx A-MPDU: ", "65535 octets"), true},
        {"VHT options", row("VHT Config Options: ", "+HTC "), true},
        {"VHT receive map",
         row("VHT Rx 1 SS: ", "MCS 0-9") + row("VHT Rx 2 SS: ", "MCS 0-9") +
             row("VHT Max Rx Rate: ", "0 Mbit/s"),
         true},
        {"VHT transmit map", "VHT Tx 1 SS", false},
        {"no HT block", "HT MCS Set", false},
        {"VHT PHY", row("VHT Channel Width: ", "20 MHz") + row("VHT Max Width: ", "80 MHz"), true},
        {"Tx EDCA", row("Tx EDCA AC_BE: ", "AIFSN 3 CW 15-1023 burst 0"), true},
        {"Rx EDCA", row("Rx EDCA AC_VO: ", "AIFSN 2 CW 3-7 burst 47"), true},
        {"no APSD on a VAP", "APSD", false},
        {"no stamp", row("Tx Idle Time: ", "-"), true},
        {"rate", row("Tx Data Rate: ", "54.0 Mbit/s"), true},
        {"signal", row("Rx Signal Level: ", "-61 dBm"), true},
    };
    for (const auto &c : cases)
        EXPECT_EQ(vap.find(c.line) != std::string::npos, c.present) << c.what << "\n" << vap;
    // The clock may tick once between the stamp and the print.
    EXPECT_TRUE(vap.find(row("Rx Idle Time: ", "5s")) != std::string::npos ||
                vap.find(row("Rx Idle Time: ", "6s")) != std::string::npos)
        << vap;

    dot11_mib_cap_group &apsd = g.cap[DOT11_CAP_APSD];
    dot11_mib_cap_set(&apsd, DOT11_CAP_APSD, "dot11APSDVOImplemented", 1);
    dot11_mib_cap_set(&apsd, DOT11_CAP_APSD, "dot11APSDBEImplemented", 1);
    dot11_mib_cap_set(&apsd, DOT11_CAP_APSD, "dot11MaxSPLength", 2);
    const std::string sta = text(true);
    EXPECT_NE(sta.find(row("APSD Classes: ", "VO BE ") + row("APSD SP Length: ", "2") +
                       row("APSD More-Data-Ack: ", "No")),
              std::string::npos)
        << sta;
    EXPECT_EQ(sta.find("EDCA"), std::string::npos) << sta;
}

} // namespace
