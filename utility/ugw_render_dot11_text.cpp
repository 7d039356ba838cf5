#include <cstring>
#include <iterator>

#include "utility/ugw_dot11_ie.h"
#include "utility/ugw_dot11_mib.h"
#include "utility/ugw_render_util.h"

namespace
{

template <size_t N> const char *name_at(const char *const (&names)[N], size_t i)
{
    return i < N ? names[i] : "";
}

const char *enabled(bool on)
{
    return on ? "Enabled" : "Disabled";
}

const char *yes(bool on)
{
    return on ? "Yes" : "No";
}

void line_u(FILE *out, const char *label, unsigned v)
{
    text_linef(out, label, "%u\n", v);
}

void line_mac(FILE *out, const char *label, const uint8_t mac[6])
{
    char text[18];
    text_line(out, label, format_mac(text, mac));
}

// Hundredths as "%d.%02u", the sign kept for values between -1 and 0.
void print_hundredths(FILE *out, int value)
{
    const unsigned a = unsigned(value < 0 ? -value : value);
    fprintf(out, "%s%u.%02u", value < 0 ? "-" : "", a / 100, a % 100);
}

// A list line of names, each followed by one blank.
struct list_line {
    FILE *out;
    list_line(FILE *o, const char *label) : out(o) { fprintf(out, "%22s", label); }
    void item(const char *name, bool on = true)
    {
        if (on) fprintf(out, "%s ", name);
    }
    // An implemented option, "*" behind it when it is in use.
    void option(const char *name, bool implemented, bool activated)
    {
        if (implemented) fprintf(out, "%s%s ", name, activated ? "*" : "");
    }
    ~list_line() { fputc('\n', out); }
};

// A list of names separated by ", ".
struct comma_line {
    FILE *out;
    bool first = true;
    comma_line(FILE *o, const char *label) : out(o) { fprintf(out, "%22s", label); }
    void item(const char *name, bool on)
    {
        if (!on) return;
        fprintf(out, "%s%s", first ? "" : ", ", name);
        first = false;
    }
    ~comma_line() { fputc('\n', out); }
};

struct cap_view {
    const dot11_mib_cap_group *g;
    dot11_cap_kind kind;
    bool flag(const char *m) const { return dot11_mib_cap_flag(g, kind, m); }
    unsigned num(const char *m) const { return dot11_mib_cap_num(g, kind, m); }
    const uint8_t *map(const char *m) const { return dot11_mib_cap_map(g, kind, m); }
};

const char *const feedback_names[] = {"None", "", "Unsolicited", "Both"};
const char *const width_names[] = {"20", "40", "80", "160", "80+80"};
const char *const ru_names[] = {"242", "484", "996", "2x996"};

void print_station_config(FILE *out, const dot11StationConfig &c)
{
    line_mac(out, "Station ID: ", c.dot11StationID);
    const char *country = c.dot11CountryString;
    // Letters only: an unset country prints "-", never the NUL bytes.
    if (country[0] > ' ' && country[0] < 0x7f && country[1] > ' ' && country[1] < 0x7f)
        text_linef(out, "Country: ", "%c%c\n", country[0], country[1]);
    else
        text_line(out, "Country: ", "-");
    text_line(out, "Environment: ",
              country[2] == 'O'   ? "outdoor"
              : country[2] == 'I' ? "indoor"
                                  : "any");
    if (c.dot11BeaconPeriod) text_linef(out, "Beacon Period: ", "%u TU\n", c.dot11BeaconPeriod);
    if (c.dot11DTIMPeriod) line_u(out, "DTIM Period: ", c.dot11DTIMPeriod);
    {
        list_line rates(out, "Supported Rates: ");
        for (size_t i = 0; i < c.rate_count && i < 12; i++) {
            const unsigned r = unsigned(c.dot11OperationalRateSet[i] & 0x7f) * 5;
            fprintf(out, "%u.%u%s ", r / 10, r % 10,
                    c.dot11OperationalRateSet[i] & 0x80 ? "(B)" : "");
        }
    }
    if (c.ssid_len) {
        char ssid[33];
        text_linef(
            out, "SSID: ", "\"%s\" %s\n",
            format_ssid(ssid, reinterpret_cast<const uint8_t *>(c.dot11DesiredSSID), c.ssid_len),
            dot11_sc(c, 1, DOT11_SC1_HIDDEN_SSID) ? "(hidden)" : "");
    }
    {
        list_line o(out, "Options: ");
        o.item("HR", dot11_sc(c, 2, DOT11_SC2_HR));
        o.item("OFDM", dot11_sc(c, 2, DOT11_SC2_OFDM));
        o.item("ERP", dot11_sc(c, 2, DOT11_SC2_ERP));
        o.item("HT", dot11_sc(c, 2, DOT11_SC2_HT));
        o.item("VHT", dot11_sc(c, 2, DOT11_SC2_VHT));
        o.item("QoS", dot11_sc(c, 3, DOT11_SC3_QOS));
        o.item("WMM", dot11_sc(c, 3, DOT11_SC3_WMM));
        o.item("Delayed-BA", dot11_sc(c, 3, DOT11_SC3_DELAYED_BA));
        o.item("Immediate-BA", dot11_sc(c, 3, DOT11_SC3_IMMEDIATE_BA));
        o.item("APSD", dot11_sc(c, 3, DOT11_SC3_APSD));
        o.item("U-APSD", dot11_sc(c, 3, DOT11_SC3_UAPSD));
        o.item("Spectrum-Mgmt", dot11_sc(c, 1, DOT11_SC1_SPECTRUM_IMPLEMENTED));
        o.item("RM", dot11_sc(c, 2, DOT11_SC2_RM_IMPLEMENTED));
        o.item("QAck", dot11_sc(c, 3, DOT11_SC3_QACK));
        o.item("RSNA", dot11_sc(c, 3, DOT11_SC3_RSNA));
        o.item("Multi-Domain", dot11_sc(c, 1, DOT11_SC1_MULTIDOMAIN));
        o.item("HT-Only", dot11_sc(c, 1, DOT11_SC1_MEMBERSHIP_HT));
        // No source marks a VHT-only BSS yet.
        o.item("VHT-Only", false);
    }
    if (c.dot11AssociateID) line_u(out, "Association ID: ", c.dot11AssociateID);
    if (c.dot11DeauthenticateReason) line_u(out, "Deauth Reason: ", c.dot11DeauthenticateReason);
    if (c.dot11DisassociateReason) line_u(out, "Disassociate Reason: ", c.dot11DisassociateReason);
    if (c.dot11AuthenticateFailStatus) line_u(out, "Auth Failure: ", c.dot11AuthenticateFailStatus);
    if (c.dot11AssociateFailStatus) line_u(out, "Associate Failure: ", c.dot11AssociateFailStatus);
}

void print_operation(FILE *out, const dot11Operation &o)
{
    static const char *const protection[] = {"None", "Non-Member", "20MHz", "Mixed"};
    const uint16_t f = o.flags;
    text_line_name(out, "Manufacturer: ", o.dot11ManufacturerID, sizeof o.dot11ManufacturerID);
    text_line_name(out, "Chipset/Driver: ", o.dot11ProductID, sizeof o.dot11ProductID);
    line_u(out, "RTS Threshold: ", o.dot11RTSThreshold);
    line_u(out, "Short Retry Limit: ", o.dot11ShortRetryLimit);
    line_u(out, "Long Retry Limit: ", o.dot11LongRetryLimit);
    text_line(out, "RIFS Mode: ", enabled(f & DOT11_OP_RIFS));
    text_line(out, "DSSS-CCK in 40 MHz: ", enabled(f & DOT11_OP_DSSS_CCK_40));
    text_line(out, "PCO: ", enabled(f & DOT11_OP_PCO));
    text_line(out, "40 MHz Intolerant: ", yes(f & DOT11_OP_40_INTOLERANT));
    text_line(out, "20/40 Coexistance: ", yes(f & DOT11_OP_COEXISTENCE));
    text_linef(out, "OBSS Scan Interval: ", "%us\n", o.dot11BSSWidthTriggerScanInterval);
    line_u(out, "Width Delay Factor: ", o.dot11BSSWidthChannelTransitionDelayFactor);
    text_linef(out, "Scan Activity Thresh: ", "%u.%02u%%\n",
               o.dot11OBSSScanActivityThreshold / 100u, o.dot11OBSSScanActivityThreshold % 100u);
    text_linef(out, "OBSS Passive Dwell: ", "%u TU\n", o.dot11OBSSScanPassiveDwell);
    text_linef(out, "OBSS Active Dwell: ", "%u TU\n", o.dot11OBSSScanActiveDwell);
    text_linef(out, "OBSS Passive Total: ", "%u TU\n", o.dot11OBSSScanPassiveTotalPerChannel);
    text_linef(out, "OBSS Active Total: ", "%u TU\n", o.dot11OBSSScanActiveTotalPerChannel);
    text_line(out, "ERP Protection: ", enabled(f & DOT11_OP_ERP_PROTECTION));
    text_line(out, "Barker Preamble Mode: ", enabled(f & DOT11_OP_BARKER));
    text_line(out, "HT Protection: ", name_at(protection, o.dot11HTProtection));
    text_line(out, "Dual CTS Protection: ", enabled(f & DOT11_OP_DUAL_CTS));
    text_line(out, "LSIG Protection: ", enabled(f & DOT11_OP_LSIG_TXOP));
    text_line(out, "Non-ERP: ", f & DOT11_OP_NON_ERP ? "Present" : "Not present");
    text_line(out, "Non-Greenfield: ", f & DOT11_OP_NON_GF ? "Present" : "Not present");
    text_line(out, "OBSS Non-HT: ", f & DOT11_OP_OBSS_NON_HT ? "Present" : "Not present");
    fprintf(out, "%22s", "Transmit Power Level: ");
    print_hundredths(out, o.dot11CurrentTransmitPowerLevel);
    fputs(" dBm\n", out);
    line_u(out, "Fragmentation Thr: ", o.dot11FragmentationThreshold);
    line_u(out, "Tx MPDU Limit: ", o.dot11MaxTransmitMPDULength);
}

void print_channels(FILE *out, const dot11_multidomain_entry *e, size_t count)
{
    for (size_t i = 0; i < count && i < 16 && e[i].channels; i++) {
        char label[25];
        const int p = e[i].max_power;
        const unsigned a = unsigned(p < 0 ? -p : p);
        snprintf(label, sizeof label, "Channels @ %s%u.%02u dBm: ", p < 0 ? "-" : "", a / 100,
                 a % 100);
        fprintf(out, "%22s", label);
        unsigned ch = e[i].first_channel;
        for (unsigned k = 0; k < e[i].channels; k++) {
            fprintf(out, "%u ", ch);
            const unsigned mhz = dot11_channel_frequency(ch);
            ch += mhz >= 5000 && mhz <= 5999 ? 4 : 1;
        }
        fputc('\n', out);
    }
}

void print_ht_mac(FILE *out, const dot11HTStationConfig &h)
{
    static const char *const spacing[] = {"None", "1/4 us", "1/2 us", "1 us",
                                          "2 us", "4 us",   "8 us",   "16 us"};
    static const char *const transition[] = {"None", "400 us", "1.5 ms", "5 ms"};
    {
        list_line mcs(out, "HT MCS Set: ");
        for (size_t i = 0; i < sizeof h.dot11HTOperationalMCSSet; i++)
            if (h.dot11HTOperationalMCSSet[i])
                fprintf(out, "%zu%s ", i, h.dot11HTOperationalMCSSet[i] & 0x80 ? "(B)" : "");
    }
    text_linef(out, "Max Rx A-MPDU: ", "%u octets\n", 8192u << (h.dot11MaxRxAMPDUFactor & 3));
    text_linef(out, "Max A-MSDU: ", "%u octets\n", h.dot11MaxAMSDULength & 1 ? 7935u : 3839u);
    text_line(out,
              "A-MSDU Protection: ", h.flags & DOT11_HT_SPP_CAPABLE ? "Capable" : "Not supported");
    text_line(out, "Min MPDU Spacing: ", spacing[h.dot11MinimumMPDUStartSpacing & 7]);
    text_line(out, "Transition Time: ", transition[h.dot11TransitionTime & 3]);
    text_line(out, "MCS Feedback: ", name_at(feedback_names, h.dot11MCSFeedbackOptionImplemented));
    list_line o(out, "HT Options: ");
    o.item("Delayed-BA", h.flags & DOT11_HT_DELAYED_BA);
    o.item("STBC-Control", h.flags & DOT11_HT_STBC_CONTROL);
    o.item("LSIG-Prot", h.flags & DOT11_HT_LSIG_TXOP);
    o.item("PCO", h.flags & DOT11_HT_PCO);
    o.item("+HTC", h.flags & DOT11_HT_HTC);
    o.item("RD-Responder", h.flags & DOT11_HT_RD_RESPONDER);
    o.item("BW-40", h.flags & DOT11_HT_FORTY_MHZ);
}

void print_vht_mac(FILE *out, cap_view v, cap_view bf)
{
    static const char *const mpdu[] = {"3895", "7991", "11454"};
    text_linef(out, "Max MPDU Length: ", "%s octets\n", name_at(mpdu, v.num("dot11MaxMPDULength")));
    text_linef(out, "VHT Max Rx A-MPDU: ", "%u octets\n",
               (1u << (13 + (v.num("dot11VHTMaxRxAMPDUFactor") & 7))) - 1);
    text_linef(out, "VHT Config Options: ", "%s%s\n",
               v.flag("dot11VHTControlFieldOptionImplemented") ? "+HTC " : "",
               v.flag("dot11VHTTXOPPowerSaveOptionImplemented") ? "TXOP-PS" : "");
    print_mcs_lines(out, "VHT Rx", v.map("dot11VHTRxVHTMCSMap"));
    text_linef(out, "VHT Max Rx Rate: ", "%u Mbit/s\n",
               v.num("dot11VHTRxHighestDataRateSupported"));
    print_mcs_lines(out, "VHT Tx", v.map("dot11VHTTxVHTMCSMap"));
    text_linef(out, "VHT Max Tx Rate: ", "%u Mbit/s\n",
               v.num("dot11VHTTxHighestDataRateSupported"));
    line_u(out, "VHT OBSS Scans: ", v.num("dot11VHTOBSSScanCount"));
    {
        list_line b(out, "VHT Beamforming: ");
        b.item("SU-Rx", bf.flag("dot11VHTSUBeamformeeOptionImplemented"));
        b.item("SU-Tx", bf.flag("dot11VHTSUBeamformerOptionImplemented"));
        b.item("MU-Rx", bf.flag("dot11VHTMUBeamformeeOptionImplemented"));
        b.item("MU-Tx", bf.flag("dot11VHTMUBeamformerOptionImplemented"));
    }
    line_u(out, "# VHT Beamformee STS: ", bf.num("dot11VHTBeamformeeNTxSupport"));
    line_u(out, "# VHT Sounding Dims: ", bf.num("dot11VHTNumberSoundingDimensions"));
}

void print_he_mac(FILE *out, cap_view h, cap_view bf)
{
    static const char *const mac_options[][2] = {
        {"TWT Requester", "ext11TWTRequesterOptionActivated"},
        {"TWT Responder", "ext11TWTResponderOptionActivated"},
        {"All Ack", "ext11AllAckOptionImplemented"},
        {"Broadcast TWT", "ext11BroadcastTWTOptionImplemented"},
        {"32-bit BA Bitmap", "ext1132BABitmapOptionImplemented"},
        {"MU Cascading", "ext11MUCascadingOptionImplemented"},
        {"Ack-Enabled Aggregation", "dot11AckEnabledAMPDUOptionImplemented"},
        {"OM Control", "dot11OMIOptionImplemented"},
        {"OFDMA RA", "dot11OFDMARandomAccessOptionImplemented"},
        {"A-MSDU Fragmentation", "dot11AMSDUFragmentationOptionImplemented"},
        {"BQR", "dot11HEBQRControlImplemented"},
        {"PSR Responder ", "dot11SRResponderOptionImplemented"},
        {"NDP Feedback Report", "ext11NDPFeedbackReportOptionImplemented"},
        {"OPS", "ext11OpportunisticPowerSaveOptionImplemented"},
        {"A-MSDU not under BA in Ack-Enabled A-MPDU", "ext11AMSDUInAMPDUNoBAOptionImplemented"},
        {"HE Subchannel Selective Transmission",
         "dot11HESubchannelSelectiveTransmissionImplemented"},
        {"UL 2x996-tone RU ", "ext11UL2X996ToneRUOptionImplemented"},
        {"OM Control UL MU Data Disable Rx", "ext11OMControlULMUDataDisableRxOptionImplemented"},
        {"TRS", "dot11TRSOptionImplemented"},
        {"+HTC HE", "dot11HEControlFieldOptionImplemented"},
        {"BSR", "dot11HEBSRControlImplemented"},
        {"Partial BSS Color", "dot11PartialBSSColorImplemented"},
        {"Co-Hosted BSS", "dot11CoHostedBSSIDImplemented"},
        {"HE and VHT Trigger Frame Rx", "dot11HTVHTTriggerOptionImplemented"},
        {"BSRP BQRP A-MPDU Aggregation", "ext11BSRPBQRPInAMPDUOptionImplemented"},
        {"Rx Control Frame To MultiBSS", "ext11RxControlToMBSSOptionImplemented"},
        {"Flexible TWT Schedule", "ext11FlexibleTWTScheduleOptionImplemented"},
    };
    static const char *const fragment[] = {"No restriction", "128 octets", "256 octets",
                                           "512 octets"};
    static const unsigned padding[] = {0, 8, 16};
    {
        comma_line o(out, "HE MAC Options: ");
        for (const auto &m : mac_options)
            o.item(m[0], h.flag(m[1]));
    }
    line_u(out, "TXOP RTS Thresh: ", h.num("dot11TXOPDurationRTSThreshold"));
    text_line(out,
              "HE TWT Operation: ", h.flag("dot11TWTOptionImplemented") ? "Required" : "Optional");
    line_u(out, "HE Link Adaptation: ", h.num("dot11HEMCSFeedbackOptionImplemented"));
    line_u(out, "HE Dyn Frag Level: ", h.num("dot11HEDynamicFragmentationLevel"));
    text_line(out, "Min Fragment Size: ", name_at(fragment, h.num("ext11HEMinFragmentSize")));
    const unsigned msdus = h.num("ext11HEMaxFragmentedMSDUExponent");
    if (msdus >= 7)
        text_line(out, "HE Max Frag MSDUs: ", "No limit");
    else
        line_u(out, "HE Max Frag MSDUs: ", 1u << msdus);
    text_linef(out, "HE Max Rx A-MPDU: ", "%ux\n", h.num("ext11MaxAMPDULengthExponentExtension"));
    const unsigned trig = h.num("ext11MinTrigProcTime");
    text_linef(out, "Trigger MAC Padding: ", "%u us\n", trig < 3 ? padding[trig] : 0);
    print_mcs_lines(out, "HE Rx 0-80 MHz", h.map("ext11HERxHEMCSMapLessThanOrEqualTo80"));
    print_mcs_lines(out, "HE Tx 0-80 MHz", h.map("ext11HETxHEMCSMapLessThanOrEqualTo80"));
    print_mcs_lines(out, "HE Rx 160 MHz", h.map("ext11HERxHEMCSMap160"));
    print_mcs_lines(out, "HE Tx 160 MHz", h.map("ext11HETxHEMCSMap160"));
    print_mcs_lines(out, "HE Rx 80+80 MHz", h.map("ext11HERxHEMCSMap80Plus80"));
    print_mcs_lines(out, "HE Tx 80+80 MHz", h.map("ext11HETxHEMCSMap80Plus80"));
    text_linef(out, "HE A-MSDU Multi-TID: ", "%u Rx %u Tx\n",
               h.num("ext11AMPDUWithMultipleTIDRxSupported"),
               h.num("ext11AMPDUWithMultipleTIDTxSupported"));
    {
        list_line b(out, "HE Beamforming: ");
        b.item("SU-Rx", bf.flag("dot11HESUBeamformeeOptionImplemented"));
        b.item("SU-Tx", bf.flag("dot11HESUBeamformerOptionImplemented"));
        b.item("MU-Tx", bf.flag("dot11HEMUBeamformerOptionImplemented"));
    }
    line_u(out, "HE BF STS 0-80 MHz: ", bf.num("dot11HEBeamformeeSTSSupportLessThanOrEqualTo80"));
    line_u(out, "HE BF STS 80+ MHz: ", bf.num("dot11HEBeamformeeSTSSupportGreaterThan80"));
    line_u(out,
           "HE BF Snd 0-80 MHz: ", bf.num("dot11HENumberSoundingDimensionsLessThanOrEqualTo80"));
    line_u(out, "HE BF Snd 80+ MHz: ", bf.num("dot11HENumberSoundingDimensionsGreaterThan80"));
    {
        list_line o(out, "HE BF Options: ");
        o.item("Ng16-SU-Fb", bf.flag("dot11HENG16SUFeedbackSupport"));
        o.item("Ng16-MU-Fb", bf.flag("dot11HENG16MUFeedbackSupport"));
        o.item("Phi4-Psi2-SU-Fb", bf.flag("dot11HECodebookSizePhi4Psi2SUFeedbackSupport"));
        o.item("Phi7-Psi5-MU-Fb", bf.flag("dot11HECodebookSizePhi7Psi5MUFeedbackSupport"));
        o.item("Trig-SU-Fb", bf.flag("dot11HETriggeredSUBeamformingFeedbackImplemented"));
        o.item("Trig-MU-Fb", bf.flag("dot11HETriggeredMUBeamformingFeedbackImplemented"));
        o.item("Trig-CQI-Fb", bf.flag("dot11HETriggeredCQIFeedbackSupportImplemented"));
        o.item("Nontrig-CQI-Fb", bf.flag("ext11HENonTriggeredCQIFeedbackSupportImplemented"));
    }
    line_u(out, "HE BF Max Nc: ", bf.num("ext11HEMaxNCInCompressedBFOrCQIReport"));
}

void print_phy_ht(FILE *out, cap_view p)
{
    static const char *const smps[] = {"Disabled", "Static", "Dynamic"};
    fprintf(out, "%22s%u", "HT PHY Channel(s): ", p.num("dot11CurrentPrimaryChannel"));
    if (unsigned second = p.num("dot11CurrentSecondaryChannel")) fprintf(out, "+%u", second);
    fputc('\n', out);
    {
        list_line o(out, "HT PHY Options: ");
        auto opt = [&](const char *name, const char *implemented, const char *activated) {
            o.option(name, p.flag(implemented), p.flag(activated));
        };
        opt("40MHz", "dot11FortyMHzOperationImplemented", "dot11FortyMHzOperationActivated");
        opt("Greenfield", "dot11HTGreenfieldOptionImplemented", "dot11HTGreenfieldOptionActivated");
        opt("SGI-20", "dot11ShortGIOptionInTwentyImplemented",
            "dot11ShortGIOptionInTwentyActivated");
        opt("SGI-40", "dot11ShortGIOptionInFortyImplemented", "dot11ShortGIOptionInFortyActivated");
        opt("LDPC", "dot11LDPCCodingOptionImplemented", "dot11LDPCCodingOptionActivated");
        opt("STBC-Tx", "dot11TxSTBCOptionImplemented", "dot11TxSTBCOptionActivated");
        opt("STBC-Rx", "dot11RxSTBCOptionImplemented", "dot11RxSTBCOptionActivated");
        opt("Beamforming", "dot11BeamFormingOptionImplemented", "dot11BeamFormingOptionActivated");
    }
    text_linef(out, "# Spatial Streams: ", "%u/%u\n",
               p.num("dot11NumberOfSpatialStreamsImplemented"),
               p.num("dot11NumberOfSpatialStreamsActivated"));
    line_u(out, "Max Tx Streams: ", p.num("dot11TxMaximumNumberSpatialStreamsSupported"));
    line_u(out, "Max Data Rate: ", p.num("dot11HighestSupportedDataRate"));
    text_line(out, "MIMO Power Save: ", name_at(smps, p.num("dot11SMPSModeActivated")));
    text_line(out, "Tx MCS Set: ", p.flag("dot11TxMCSSetDefined") ? "Defined" : "Not defined");
    text_line(out, "Tx Uneq Modulation: ",
              p.flag("dot11TxUnequalModulationSupported") ? "Supported" : "Not supported");
}

void print_phy_vht(FILE *out, cap_view p)
{
    static const char *const max_width[] = {"80", "160", "80+80"};
    fprintf(out, "%22s%u",
            "VHT PHY Channel(s): ", p.num("dot11CurrentChannelCenterFrequencyIndex0"));
    if (unsigned second = p.num("dot11CurrentChannelCenterFrequencyIndex1"))
        fprintf(out, "+%u", second);
    fputc('\n', out);
    text_linef(out, "VHT Channel Width: ", "%s MHz\n",
               name_at(width_names, p.num("dot11CurrentChannelWidth")));
    text_linef(out, "VHT Max Width: ", "%s MHz\n",
               name_at(max_width, p.num("dot11VHTChannelWidthOptionImplemented")));
    {
        list_line o(out, "VHT PHY Options: ");
        auto opt = [&](const char *name, const char *implemented, const char *activated) {
            o.option(name, p.flag(implemented), p.flag(activated));
        };
        opt("SGI-80", "dot11VHTShortGIOptionIn80Implemented", "dot11VHTShortGIOptionIn80Activated");
        opt("SGI-160", "dot11VHTShortGIOptionIn160and80p80Implemented",
            "dot11VHTShortGIOptionIn160and80p80Activated");
        opt("LDPC", "dot11VHTLDPCCodingOptionImplemented", "dot11VHTLDPCCodingOptionActivated");
        opt("STBC-Tx", "dot11VHTTxSTBCOptionImplemented", "dot11VHTTxSTBCOptionActivated");
        opt("STBC-Rx", "dot11VHTRxSTBCOptionImplemented", "dot11VHTRxSTBCOptionActivated");
    }
    text_line(out, "VHT Link Adaptation: ",
              name_at(feedback_names, p.num("dot11VHTLinkAdaptationImplemented")));
}

void print_phy_he(FILE *out, cap_view p, const dot11_ppe_entry *ppe, size_t ppe_count)
{
    static const char *const options[][2] = {
        {"LDPC Coding in Payload", "dot11HELDPCCodingInPayloadImplemented"},
        {"HE SU PPDU with 1x HE-LTF and 0.8 us GI",
         "dot11HESUPPDUwith1xHELTFand0point8GIlmplemented"},
        {"NDP with 4x HE-LTF and 3.2 us GI", "dot11HENDPwith4xHELTFand3point2GIImplemented"},
        {"Doppler Rx", "dot11HEDopplerRxImplemented"},
        {"Doppler Tx", "dot11HEDopplerTxImplemented"},
        {"Full Bandwidth UL MU-MIMO", "dot11HEFullBWULMUMIMOImplemented"},
        {"Partial Bandwith UL MU-MIMO", "dot11HEPartialBWULMUMIMOImplemented"},
        {"Rx Partial BW SU in 20 MHz HE MU PPDU", "ext11HERxPartialBWSUIn20MUOptionImplemented"},
        {"HE ER SU PPDU with 4x HE-LTF and 0.8 us GI",
         "dot11HEERSUPPDUwith4xHELTFand0point8GIImplemented"},
        {"HE ER SU PPDU with 1x HE-LTF and 0.8 us GI",
         "dot11HEERSUPPDUwith1xHELTFand0point8GIImplemented"},
        {"Partial Bandwidth Extended Range", "dot11HEPartialBWERSUPayloadImplemented"},
        {"Partial Bandwidth DL MU-MIMO", "dot11HEPartialBWDLMUMIMOImplemented"},
        {"PSR-based SR Support", "dot11HEPSRbasedSRSupportImplemented"},
        {"Power Boost Factor Support", "dot11HEPowerBoostFactorImplemented"},
        {"HE SU/MU PPDU with 4x HE-LTF and 0.8 us GI",
         "dot11HESUPPDUandHEMUPPDUwith4xHELTFand0point8GIlmplemented"},
        {"Midamble Tx/Rx 2x and 1x HE-LTF", "ext11HEMidambleWith2xAnd1xHELTFOptionImplemented"},
        {"20 MHz in 40 MHz HE PPDU in 2.4 GHz Band", "ext11HE20In40MHzIn2GHzOptionImplemented"},
        {"20 MHz in 160/80+80 MHz HE PPDU", "ext11HE20In160Or80Plus80MHzOptionImplemented"},
        {"80 MHz in 160/80+80 MHz HE PPDU", "ext11HE80In160Or80Plus80MHzOptionImplemented"},
        {"Rx 1924-QAM < 242-tone RU Support", "ext11HERx1024QAMWithLessThan242RUOptionImplemented"},
        {"Tx 1924-QAM < 242-tone RU Support", "ext11HETx1024QAMWithLessThan242RUOptionImplemented"},
        {"Rx Full BW SU using HE MU PPDU with Compressed HE-SIG-B",
         "ext11HERxFullBWSUWithCompressedHESIGBOptionImplemented"},
        {"Rx Full BW SU using HE MU PPDU with Non-Compressed HE-SIG-B",
         "ext11HERxFullBWSUWithNonCompressedHESIGBOptionImplemented"},
        {"Longer than 16 HE-SIG-B OFDM Symbols Support",
         "ext11HELongerThan16HESIGBOFDMSymbolsSupport"},
        {"Punctured Sounding Support", "dot11HEPuncturedSoundingOptionImplemented"},
        {"HE UL MU Payload", "dot11HEULMUPayloadImplemented"},
    };
    static const char *const constellation[] = {"", "BPSK", "QPSK", "16-QAM"};
    static const char *const ppet[] = {"BPSK",    "QPSK",     "16-QAM", "64-QAM",
                                       "256-QAM", "1024-QAM", "",       "None"};
    text_linef(out, "HE Channel Width: ", "0x%02x\n",
               p.num("dot11HECurrentChannelWidthSet") & 0x7f);
    line_u(out, "Device Class: ", p.num("dot11HEDeviceClass"));
    {
        comma_line o(out, "HE PHY Options: ");
        for (const auto &m : options)
            o.item(m[0], p.flag(m[1]));
    }
    text_linef(out, "Max DCM RU: ", "%s-tone\n",
               name_at(ru_names, p.num("ext11HEDCMMaxRUSupported")));
    text_linef(out, "Punct Preamble Rx: ", "0x%x\n",
               p.num("dot11HEPuncturedPreambleRxImplemented"));
    auto stbc = [&](const char *label, const char *low, const char *high) {
        const bool l = p.flag(low), h = p.flag(high);
        text_line(out, label, l && h ? "0-160 MHz" : l ? "0-80 MHz" : h ? "160 MHz" : "-");
    };
    stbc("HE STBC Rx: ", "dot11HESTBCRxLessThanOrEqualTo80Implemented",
         "dot11HESTBCRxGreaterThan80Implemented");
    stbc("HE STBC Tx: ", "dot11HESTBCTxLessThanOrEqualTo80Implemented",
         "dot11HESTBCTxGreaterThan80Implemented");
    line_u(out, "HE Midamble Rx NSTS: ", p.num("dot11HEMidambleRxMaxNSTS"));
    if (unsigned c = p.num("ext11HEDCMMaxConstellationRx")) {
        text_line(out, "DCM Constellation Rx: ", name_at(constellation, c));
        line_u(out, "DCM Max NSS Rx: ", p.num("ext11HEDCMMaxNSSRx"));
    }
    if (unsigned c = p.num("ext11HEDCMMaxConstellationTx")) {
        text_line(out, "DCM Constellation Tx: ", name_at(constellation, c));
        line_u(out, "DCM Max NSS Tx: ", p.num("ext11HEDCMMaxNSSTx"));
    }
    for (size_t i = 0; i < ppe_count && i < 32; i++) {
        char label[32];
        snprintf(label, sizeof label, "%s-tone %u SS PPET: ", ru_names[ppe[i].ru_index & 3],
                 unsigned(ppe[i].nss & 15));
        text_linef(out, label, "%s 8 ms, %s 16 ms\n", ppet[ppe[i].ppet8 & 7],
                   ppet[ppe[i].ppet16 & 7]);
    }
}

void print_rsna_config(FILE *out, const dot11RSNAConfig &r)
{
    if (r.dot11RSNAConfigGroupCipher)
        text_line(out, "Group Cipher: ", dot11_cipher_name(r.dot11RSNAConfigGroupCipher));
    const unsigned method = (r.rekey & DOT11_RSNA_REKEY_METHOD) >> 5;
    if (method) {
        fprintf(out, "%22s", "Group Rekey: ");
        if (method == DOT11_REKEY_DISABLED) fputs("Disabled ", out);
        if (method == DOT11_REKEY_TIME || method == DOT11_REKEY_TIME_PACKETS)
            fprintf(out, "%us ", r.dot11RSNAConfigGroupRekeyTime);
        if (method == DOT11_REKEY_PACKETS || method == DOT11_REKEY_TIME_PACKETS)
            fprintf(out, "%u packets ", r.dot11RSNAConfigGroupRekeyPackets);
        if (r.rekey & DOT11_RSNA_REKEY_STRICT) fputs("strict ", out);
        fputc('\n', out);
    }
    if (r.dot11RSNAConfigPMKLifetime)
        text_linef(out, "PMK Lifetime: ", "%us\n", r.dot11RSNAConfigPMKLifetime);
    if (r.dot11RSNAConfigSATimeout)
        text_linef(out, "SA Timeout: ", "%us\n", r.dot11RSNAConfigSATimeout);
    if (r.dot11RSNAConfigPMKIDCacheSize)
        line_u(out, "PMKID Cache Size: ", r.dot11RSNAConfigPMKIDCacheSize);
    if (r.dot11RSNAConfigNumberOfPTKSAReplayCountersImplemented)
        line_u(out, "PTKSA Replay Ctr: ", r.dot11RSNAConfigNumberOfPTKSAReplayCountersImplemented);
    if (r.dot11RSNAGroupCipherRequested)
        text_line(out, "Requested Group: ", dot11_cipher_name(r.dot11RSNAGroupCipherRequested));
    if (r.dot11RSNAGroupCipherSelected)
        text_line(out, "Selected Group: ", dot11_cipher_name(r.dot11RSNAGroupCipherSelected));
    if (r.dot11RSNAPairwiseCipherRequested) {
        text_line(out, "Requested Cipher: ", dot11_cipher_name(r.dot11RSNAPairwiseCipherRequested));
        if (r.dot11RSNAPairwiseCipherSelected)
            text_line(out,
                      "Selected Cipher: ", dot11_cipher_name(r.dot11RSNAPairwiseCipherSelected));
    }
    if (r.dot11RSNAAuthenticationSuiteRequested)
        text_line(out, "Requested AKM: ", dot11_akm_name(r.dot11RSNAAuthenticationSuiteRequested));
    if (r.dot11RSNAAuthenticationSuiteSelected)
        text_line(out, "Selected AKM: ", dot11_akm_name(r.dot11RSNAAuthenticationSuiteSelected));
    if (!bytes_zero(r.dot11RSNAPMKIDUsed, 16)) {
        char id[33];
        text_linef(out, "PMKID: ", "%s %s\n", format_pmkid(id, r.dot11RSNAPMKIDUsed),
                   r.flags & DOT11_RSNA_PMKID_CACHED ? "(cached)" : "");
    }
    if (r.dot11RSNATKIPCounterMeasuresInvoked)
        line_u(out, "TKIP Countermeasures: ", r.dot11RSNATKIPCounterMeasuresInvoked);
    if (r.dot11RSNA4WayHandshakeFailures)
        line_u(out, "4-Way Handshake Fail: ", r.dot11RSNA4WayHandshakeFailures);
}

void print_ft(FILE *out, const dot11FastBSSTransitionConfig &f)
{
    text_line(out, "Fast BSS Transition: ", enabled(f.dot11FastBSSTransitionActivated));
    text_line(out, "FT Over-DS: ", enabled(f.dot11FTOverDSActivated));
    line_u(out, "FT Mobility Domain: ", f.dot11FTMobilityDomainID);
    text_line_name(out, "R0 Key Holder: ", f.dot11FTR0KeyHolderID,
                   std::min<size_t>(f.r0kh_id_len, 48));
    line_u(out, "R0 Key Lifetime: ", f.dot11FTR0KeyLifetime);
    line_u(out, "FT Reassoc Deadline: ", f.dot11FTReassociationDeadline);
}

// Seconds since a stamp of the management clock; "-" for no stamp.
void print_idle(FILE *out, const char *label, uint32_t stamp)
{
    if (!stamp) {
        text_line(out, label, "-");
        return;
    }
    const uint32_t now = ugw_render_now();
    text_linef(out, label, "%us\n", now > stamp ? now - stamp : 0);
}

void print_rate(FILE *out, const char *label, uint32_t rate)
{
    char text[24];
    text_linef(out, label, "%sbit/s\n", format_units1000(text, sizeof text, rate));
}

void print_counters(FILE *out, const dot11Counters &c)
{
    line_u(out, "Associated Stations: ", c.dot11AssociatedStationCount);
    text_linef(out, "Rx Octets: ", "%llu\n",
               (unsigned long long)dot11_u64_get(c.dot11ReceivedFragmentOctets));
    line_u(out, "Rx Fragments: ", c.dot11ReceivedFragmentCount);
    line_u(out, "Rx Frames: ", c.dot11ReceivedFrameCount);
    line_u(out, "Rx A-MSDU Frames: ", c.dot11ReceivedAMSDUCount);
    line_u(out, "Rx A-MSDU Octets: ", c.dot11ReceivedOctetsInAMSDUCount);
    line_u(out, "Rx Duplicate Frames: ", c.dot11FrameDuplicateCount);
    line_u(out, "Rx Discarded Frames: ", c.dot11QosDiscardedFragmentCount);
    text_linef(out, "Tx Octets: ", "%llu\n",
               (unsigned long long)dot11_u64_get(c.dot11TransmittedFragmentOctets));
    line_u(out, "Tx Fragments: ", c.dot11TransmittedFragmentCount);
    line_u(out, "Tx Frames: ", c.dot11TransmittedFrameCount);
    line_u(out, "Tx Broadcast Frames: ", c.dot11GroupTransmittedFrameCount);
    line_u(out, "Tx A-MSDU Frames: ", c.dot11TransmittedAMSDUCount);
    line_u(out, "Tx A-MSDU Octets: ", c.dot11TransmittedOctetsInAMSDUCount);
    line_u(out, "Tx Retries: ", c.dot11RetryCount);
    line_u(out, "Tx Failed: ", c.dot11FailedCount);
    print_idle(out, "Rx Idle Time: ", c.dot11ReceiveTimeStamp);
    print_rate(out, "Tx Throughput: ", c.dot11EstimatedThroughput);
    print_rate(out, "Tx Data Rate: ", c.dot11TransmitDataRate);
    print_idle(out, "Tx Idle Time: ", c.dot11TransmitTimeStamp);
    print_rate(out, "Rx Data Rate: ", c.dot11ReceiveDataRate);
    text_linef(out, "Rx Signal Level: ", "%d dBm\n", c.dot11ReceiveSignalLevel);
}

void print_security_errors(FILE *out, const dot11RSNAStats &s)
{
    line_u(out, "TKIP Replays: ", s.dot11RSNAStatsTKIPReplays);
    line_u(out, "TKIP ICV Err: ", s.dot11RSNAStatsTKIPICVErrors);
    line_u(out, "TKIP Local MIC Err: ", s.dot11RSNAStatsTKIPLocalMICFailures);
    line_u(out, "TKIP Remote MIC Err: ", s.dot11RSNAStatsTKIPRemoteMICFailures);
    line_u(out, "CCMP Replays: ", s.dot11RSNAStatsCCMPReplays);
    line_u(out, "CCMP Decrypt Err: ", s.dot11RSNAStatsCCMPDecryptErrors);
    line_u(out, "BIP Replays: ", s.dot11RSNAStatsCMACReplays);
    line_u(out, "BIP MIC Errors: ", s.dot11RSNAStatsBIPMICErrors);
}

} // namespace

const char *dot11_akm_name(uint32_t suite)
{
    switch (suite) {
    case DOT11_AKM_8021X:
        return "802.1X";
    case DOT11_AKM_PSK:
        return "PSK";
    case DOT11_AKM_FT_8021X:
        return "802.1X-FT";
    case DOT11_AKM_FT_PSK:
        return "PSK-FT";
    case DOT11_AKM_8021X_SHA256:
        return "802.1X-SHA256";
    case DOT11_AKM_PSK_SHA256:
        return "PSK-SHA256";
    case DOT11_AKM_WPA_8021X:
        return "802.1X-WPA";
    case DOT11_AKM_WPA_PSK:
        return "PSK-WPA";
    default:
        return "";
    }
}

const char *dot11_cipher_name(uint32_t suite)
{
    return dot11_cipher_is_tkip(suite) ? "TKIP" : dot11_cipher_is_ccmp(suite) ? "CCMP" : "";
}

void render_text_dot11_mib(FILE *out, const dot11_mib_sources *s, bool station)
{
    dot11_mib_groups g;
    dot11_mib_assemble(&g, s);
    render_text_dot11_groups(out, &g, s, station);
}

void render_text_dot11_groups(FILE *out, const dot11_mib_groups *groups, const dot11_mib_sources *s,
                              bool station)
{
    static const char *const phy_names[] = {"",        "FHSS", "DSSS", "IR",   "OFDM",
                                            "HR-DSSS", "ERP",  "HT",   "DMG",  "VHT",
                                            "TVHT",    "S1G",  "CDMG", "CMMG", "HE"};
    const dot11_mib_groups &g = *groups;
    const dot11StationConfig &c = g.station;
    auto cap = [&](dot11_cap_kind k) { return cap_view{&g.cap[k], k}; };

    print_station_config(out, c);
    print_operation(out, g.operation);
    if (s->sta_capability || s->flow || s->ft) line_mac(out, "AP MAC Address: ", g.bssid);
    if (dot11_sc(c, 1, DOT11_SC1_MULTIDOMAIN))
        print_channels(out, g.multidomain, g.multidomain_count);
    if (dot11_sc(c, 2, DOT11_SC2_HT)) print_ht_mac(out, g.ht);
    if (dot11_sc(c, 2, DOT11_SC2_VHT))
        print_vht_mac(out, cap(DOT11_CAP_VHT_STATION), cap(DOT11_CAP_VHT_BEAMFORMING));
    const bool he = dot11_sc(c, 4, DOT11_SC4_HE);
    if (he) print_he_mac(out, cap(DOT11_CAP_HE_STATION), cap(DOT11_CAP_HE_BEAMFORMING));
    const unsigned phy = cap(DOT11_CAP_PHY_OPERATION).num("dot11PHYType") & 15;
    if (phy && phy < std::size(phy_names)) text_line(out, "PHY Type: ", phy_names[phy]);
    if (dot11_sc(c, 2, DOT11_SC2_HR)) {
        list_line o(out, "HR PHY Options: ");
        o.item("Short-Preamble",
               cap(DOT11_CAP_PHY_HRDSSS).flag("dot11ShortPreambleOptionImplemented"));
        o.item("PBCC", cap(DOT11_CAP_PHY_HRDSSS).flag("dot11PBCCOptionImplemented"));
    }
    if (dot11_sc(c, 2, DOT11_SC2_OFDM))
        line_u(out, "OFDM PHY Channel: ", cap(DOT11_CAP_PHY_OFDM).num("dot11CurrentFrequency"));
    if (dot11_sc(c, 2, DOT11_SC2_ERP)) {
        const cap_view e = cap(DOT11_CAP_PHY_ERP);
        list_line o(out, "ERP PHY Options: ");
        o.option("DSSS-OFDM", e.flag("dot11DSSSOFDMOptionImplemented"),
                 e.flag("dot11DSSSOFDMOptionActivated"));
        o.option("Short-Slot", e.flag("dot11ShortSlotTimeOptionImplemented"),
                 e.flag("dot11ShortSlotTimeOptionActivated"));
        o.item("ERP-PBCC", e.flag("dot11ERPPBCCOptionImplemented"));
    }
    if (dot11_sc(c, 2, DOT11_SC2_HT)) print_phy_ht(out, cap(DOT11_CAP_PHY_HT));
    if (dot11_sc(c, 2, DOT11_SC2_VHT)) print_phy_vht(out, cap(DOT11_CAP_PHY_VHT));
    if (he) print_phy_he(out, cap(DOT11_CAP_PHY_HE), g.ppe, g.ppe_count);
    if (dot11_sc(c, 3, DOT11_SC3_QOS) || dot11_sc(c, 3, DOT11_SC3_WMM)) {
        if (station) {
            const cap_view a = cap(DOT11_CAP_APSD);
            {
                list_line o(out, "APSD Classes: ");
                o.item("VO", a.flag("dot11APSDVOImplemented"));
                o.item("VI", a.flag("dot11APSDVIImplemented"));
                o.item("BK", a.flag("dot11APSDBKImplemented"));
                o.item("BE", a.flag("dot11APSDBEImplemented"));
            }
            line_u(out, "APSD SP Length: ", a.num("dot11MaxSPLength") & 3);
            text_line(out, "APSD More-Data-Ack: ", yes(a.flag("dot11MoreDataAckImplemented")));
        } else {
            print_edca_lines(out, g.ap_edca, "Tx");
            print_edca_lines(out, g.edca, "Rx");
        }
    }
    if (dot11_sc(c, 1, DOT11_SC1_SPECTRUM_IMPLEMENTED)) {
        const cap_view p = cap(DOT11_CAP_SPECTRUM);
        text_linef(out, "Channel Switch Time: ", "%u TBTT\n", p.num("dot11ChannelSwitchTime"));
        text_linef(out, "Min Power Capability: ", "%d dBm\n",
                   int16_t(p.num("dot11PowerCapabilityMinImplemented")));
        text_linef(out, "Max Power Capability: ", "%d dBm\n",
                   int16_t(p.num("dot11PowerCapabilityMaxImplemented")));
    }
    if (dot11_sc(c, 2, DOT11_SC2_RM_IMPLEMENTED))
        text_line(out, "RM Neighbor Reports: ",
                  enabled(cap(DOT11_CAP_RADIO_MEASUREMENT).flag("dot11RMNeighborReportActivated")));
    {
        list_line a(out, "Authentication: ");
        a.item("Open");
        a.item("Fast BSS transition", dot11_sc(c, 4, DOT11_SC4_FT));
    }
    const bool rsna = dot11_sc(c, 3, DOT11_SC3_RSNA);
    if (rsna) {
        text_line(out, "RSNA: ", enabled(g.rsna_activated));
        text_line(out, "RSNA Preauth: ", enabled(g.preauth_activated));
        print_rsna_config(out, g.rsna_config);
        {
            list_line p(out, "Pairwise Ciphers: ");
            for (size_t i = 0; i < g.pairwise_count; i++)
                p.item(dot11_cipher_name(g.pairwise[i].implemented));
        }
        list_line a(out, "AKM Suites: ");
        for (size_t i = 0; i < g.akm_count; i++)
            a.item(dot11_akm_name(g.akm[i].implemented));
    }
    if (dot11_sc(c, 4, DOT11_SC4_FT)) print_ft(out, g.ft);
    if (s->bss_elements || s->sta || s->sta_capability || s->flow) print_counters(out, g.counters);
    if (rsna) print_security_errors(out, g.stats);
}

void render_text_dot11_pmksa(FILE *out, const dot11_key_row *row)
{
    char id[33];
    line_mac(out, "Station ID: ", row->mac);
    text_line(out, "PMKID: ", format_pmkid(id, row->key_id));
    text_line(out, "Authentication: ", dot11_akm_name(row->akm));
    text_line(out, "Cipher: ", dot11_cipher_name(row->pairwise));
    line_u(out, "Lifetime: ", row->lifetime);
}
