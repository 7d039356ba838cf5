// Sample controller messages and a bit writer for hand-made encodings, shared by the
// controller tests and the codec benchmark.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "controller/ulmex_codec.h"

// Appends bit fields most significant bit first, as unaligned PER lays them out.
class bitwriter {
public:
    bitwriter &put(uint64_t value, unsigned bits)
    {
        for (unsigned i = bits; i-- > 0;) {
            if (nbits % 8 == 0)
                buf.push_back(0);
            if ((value >> i) & 1)
                buf.back() |= static_cast<uint8_t>(0x80 >> (nbits % 8));
            nbits++;
        }
        return *this;
    }
    const std::vector<uint8_t> &bytes() const { return buf; }

private:
    std::vector<uint8_t> buf;
    size_t nbits = 0;
};

inline std::vector<uint8_t> bytes_of(ulmex_bytes b)
{
    return {b.begin(), b.end()};
}

inline constexpr uint8_t fixture_mac_bytes[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
inline constexpr uint8_t fixture_mac2_bytes[6] = {0x02, 0x66, 0x77, 0x88, 0x99, 0xaa};
inline constexpr uint8_t fixture_mask_bytes[6] = {0xff, 0xff, 0xff, 0x00, 0x00, 0x00};
inline constexpr uint8_t fixture_uuid_bytes[16] = {0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc,
                                                   0xde, 0xf0, 0x0f, 0xed, 0xcb, 0xa9,
                                                   0x87, 0x65, 0x43, 0x21};
inline constexpr uint8_t fixture_ipv4_bytes[4] = {192, 0, 2, 10};
inline constexpr uint8_t fixture_ipv6_bytes[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0,
                                                   0,    0,    0,    0,    0, 0, 0, 1};
inline constexpr uint8_t fixture_key_bytes[32] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
                                                  12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22,
                                                  23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
inline constexpr uint8_t fixture_template_bytes[5] = {0xdd, 0x03, 0x00, 0x50, 0xf2};
inline constexpr uint8_t fixture_ssid_bytes[8] = {'g', 'u', 'e', 's', 't', 'n', 'e', 't'};
inline constexpr uint8_t fixture_modes_bytes[2] = {0xf0, 0x80};
inline constexpr uint8_t fixture_suite_bytes[4] = {0x00, 0x0f, 0xac, 0x04};
inline constexpr uint8_t fixture_akm_bytes[4] = {0x00, 0x0f, 0xac, 0x02};

inline constexpr ulmex_bytes fixture_mac{fixture_mac_bytes};
inline constexpr ulmex_bytes fixture_mac2{fixture_mac2_bytes};
inline constexpr ulmex_bytes fixture_uuid{fixture_uuid_bytes};
inline constexpr ulmex_bytes fixture_ipv6{fixture_ipv6_bytes};
inline constexpr ulmex_bytes fixture_key{fixture_key_bytes};
inline constexpr ulmex_bits fixture_modes{ulmex_bytes(fixture_modes_bytes), 3};

inline constexpr ulmex_frequency_band fixture_bands[2] = {ulmex_frequency_band::band_2_4_ghz,
                                                          ulmex_frequency_band::band_5_ghz};
inline constexpr uint16_t fixture_channels[3] = {1, 6, 11};

inline ulmex_port_address sample_port_address()
{
    return {{ulmex_inet_type::ip, ulmex_bytes(fixture_ipv4_bytes)}, 5246};
}

inline ulmex_port_address sample_port_address6()
{
    return {{ulmex_inet_type::ipv6, fixture_ipv6}, 4789};
}

template <std::size_t N, class T> ulmex_message sample_request(const T &pdu, uint32_t id = 0x01020304)
{
    ulmex_message m;
    m.request = true;
    m.identity = id;
    m.pdu = ulmex_make_pdu<N>(pdu);
    return m;
}

inline ulmex_message sample_device_accept()
{
    ulmex_device_accept p;
    p.controlPort = sample_port_address();
    p.epochId = 99;
    p.environment = ulmex_environment::outdoor;
    p.countryId = "GB";
    p.keepalive = 15u;
    p.firmwareUrl = "https://fw.example/1.2";
    p.firmwareId = "1.2";
    p.loginKey = "k3y";
    return sample_request<ULMEX_DEVICE_ACCEPT>(p);
}

inline ulmex_message sample_radio_register()
{
    ulmex_radio_register p;
    p.radioId = fixture_mac;
    p.sessionId = 7;
    p.deviceId = fixture_mac2;
    p.versionId = "v1";
    p.driverName = "drv";
    p.supportedModes = fixture_modes;
    p.supportedBands = fixture_bands;
    p.frequencyBand = ulmex_frequency_band::band_5_ghz;
    p.bssCount = 255;
    p.phyTemplate = fixture_template_bytes;
    return sample_request<ULMEX_RADIO_REGISTER>(p);
}

inline ulmex_message sample_radio_inform()
{
    ulmex_radio_inform p;
    p.radioId = fixture_mac;
    p.sessionId = 8;
    p.cpuLoad = 40;
    p.frequency = 5180;
    p.channelWidth = ulmex_channel_width::bw_20_mhz;
    p.powerLevel = -3;
    return sample_request<ULMEX_RADIO_INFORM>(p);
}

inline ulmex_message sample_flow_install()
{
    ulmex_flow_install p;
    p.radioId = fixture_mac;
    p.bssId = fixture_mac;
    p.clientId = fixture_mac2;
    p.serviceId = fixture_uuid;
    p.sessionId = 0xdeadbeef;
    p.sessionKey = fixture_key;
    p.dataPort = sample_port_address6();
    p.timeout = 65535;
    p.keepalive = 30;
    p.frequencyBand = ulmex_frequency_band::band_5_ghz;
    return sample_request<ULMEX_FLOW_INSTALL>(p);
}

inline ulmex_message sample_flow_radio_inform()
{
    ulmex_flow_radio_inform p;
    p.radioId = fixture_mac;
    p.bssId = fixture_mac;
    p.clientId = fixture_mac2;
    p.sessionId = 1;
    p.linkId = 0xFFFFFFFF;
    p.serviceId = fixture_uuid;
    p.flowEvent = ulmex_flow_event::stop;
    p.flowReason = ulmex_flow_reason::auth_failure;
    p.duration = 60;
    p.packetsDown = 2;
    p.droppedDown = 3;
    p.packetsUp = 4;
    p.octetsDown = 0x123456789ABCDEF0ull;
    p.octetsUp = 0xFFFFFFFF00000001ull;
    p.recvSignal = {-128, 127, -60};
    p.recvRate = {1, 2, 3};
    p.sendRate = {0, 0xFFFFFFFF, 7};
    p.throughput = {5, 6, 0xFFFFFFFF};
    return sample_request<ULMEX_FLOW_RADIO_INFORM>(p);
}

inline ulmex_message sample_flow_service_inform(ulmex_flow_reason reason)
{
    ulmex_flow_service_inform p;
    p.radioId = fixture_mac;
    p.bssId = fixture_mac;
    p.clientId = fixture_mac2;
    p.sessionId = 1;
    p.linkId = 1;
    p.serviceId = fixture_uuid;
    p.flowEvent = ulmex_flow_event::update;
    p.flowReason = reason;
    p.duration = 600;
    p.packetsDown = 1000;
    p.packetsUp = 900;
    p.droppedUp = 12;
    p.octetsDown = 1500000;
    p.octetsUp = 0x100000000ull;
    p.authCached = true;
    p.authMethod = fixture_akm_bytes;
    p.cipherSuite = fixture_suite_bytes;
    return sample_request<ULMEX_FLOW_SERVICE_INFORM>(p);
}

inline ulmex_message sample_binding_request(uint32_t delay)
{
    ulmex_binding_request p;
    p.radioId = fixture_mac;
    p.sessionId = 2;
    p.clientId = fixture_mac2;
    p.signalLevel = -128;
    p.requestDelay = delay;
    p.serviceName = ulmex_bytes(fixture_ssid_bytes);
    return sample_request<ULMEX_BINDING_REQUEST>(p);
}

inline const ulmex_index fixture_indices[2] = {
    {{ulmex_selector_type::clientGroup, {fixture_mac, ulmex_bytes(fixture_mask_bytes)}, {}, {}},
     std::nullopt,
     0},
    {{ulmex_selector_type::serviceId, {}, {}, fixture_uuid},
     ulmex_selector{ulmex_selector_type::serviceName, {}, ulmex_bytes(fixture_ssid_bytes), {}},
     600},
};

inline const ulmex_binding fixture_bindings[2] = {
    {fixture_indices,
     ulmex_service{fixture_uuid,
                   ulmex_visibility::hidden,
                   0xFFFFFFFF,
                   {ulmex_band_steering::load_balance, std::span(fixture_bands), int8_t(-70)},
                   ulmex_bytes(fixture_template_bytes),
                   {ulmex_bytes(fixture_modes_bytes).first(1), 3}}},
    {std::span(fixture_indices).first(1), std::nullopt},
};

inline ulmex_message sample_binding_install()
{
    return sample_request<ULMEX_BINDING_INSTALL>(ulmex_binding_install{fixture_mac, fixture_bindings});
}

inline const ulmex_port fixture_ports[3] = {
    {sample_port_address(), 10},
    {sample_port_address6(), 65535},
    {{{ulmex_inet_type::ip, ulmex_bytes(fixture_ipv4_bytes)}, 1}, 0},
};

inline ulmex_message sample_service_inform()
{
    return sample_request<ULMEX_SERVICE_INFORM>(ulmex_service_inform{fixture_uuid, 77, fixture_ports});
}

// Every PDU, with its optional members present and absent and its defaults both ways.
inline std::vector<std::pair<std::string, ulmex_message>> every_pdu()
{
    std::vector<std::pair<std::string, ulmex_message>> all;
    auto add = [&](std::string name, ulmex_message m) { all.emplace_back(std::move(name), m); };
    static const ulmex_port_address port_table[2] = {sample_port_address(),
                                                     sample_port_address6()};
    static const uint8_t payload[3] = {1, 2, 3};

    for (auto code : {ulmex_status_code::success, ulmex_status_code::echo,
                      ulmex_status_code::failure, ulmex_status_code::busy,
                      ulmex_status_code::missing, ulmex_status_code::expired})
        add("Status", sample_request<ULMEX_STATUS>(ulmex_status{code}));
    add("DeviceRegister", sample_request<ULMEX_DEVICE_REGISTER>(ulmex_device_register{
                              fixture_mac, 1, "fw-1.0", "model \xc3\xa9", 3,
                              ulmex_environment::indoor}));
    add("DeviceRegister empty strings",
        sample_request<ULMEX_DEVICE_REGISTER>(ulmex_device_register{fixture_mac, 1, "", ""}));
    add("DeviceAccept full", sample_device_accept());
    add("DeviceAccept bare", sample_request<ULMEX_DEVICE_ACCEPT>(ulmex_device_accept{
                                 sample_port_address6(), 1, ulmex_environment::any}));
    add("DeviceConfigure full",
        sample_request<ULMEX_DEVICE_CONFIGURE>(ulmex_device_configure{
            fixture_mac, 2, ulmex_environment::outdoor, "ZZ", 0u, "u", "i", "k"}));
    add("DeviceConfigure bare", sample_request<ULMEX_DEVICE_CONFIGURE>(ulmex_device_configure{
                                    fixture_mac, 2, ulmex_environment::auto_}));
    add("DeviceUnregister",
        sample_request<ULMEX_DEVICE_UNREGISTER>(ulmex_device_unregister{fixture_mac, 9}));
    add("DeviceAction", sample_request<ULMEX_DEVICE_ACTION>(ulmex_device_action{
                            fixture_mac, ulmex_action_code::factory_default}));
    add("RadioRegister", sample_radio_register());

    ulmex_radio_accept ra;
    ra.controlPort = sample_port_address();
    ra.epochId = 4;
    ra.informInterval = 30u;
    ra.flowLimit = uint16_t(65535);
    ra.frequencyBand = ulmex_frequency_band::band_60_ghz;
    ra.channelPolicy = {fixture_channels, ulmex_channel_tuning::adaptive,
                        ulmex_channel_width::bw_160_mhz};
    ra.powerPolicy = {int64_t(-100000), ulmex_power_control::adaptive};
    ra.enabledModes = fixture_modes;
    ra.requiredModes = {};
    add("RadioAccept full", sample_request<ULMEX_RADIO_ACCEPT>(ra));
    ra.informInterval.reset();
    ra.flowLimit.reset();
    ra.frequencyBand.reset();
    ra.powerPolicy.powerLimit.reset();
    ra.channelPolicy.channelTable = {};
    add("RadioAccept bare", sample_request<ULMEX_RADIO_ACCEPT>(ra));

    ulmex_radio_configure rc;
    rc.radioId = fixture_mac;
    rc.epochId = 5;
    rc.informInterval = 1u;
    rc.flowLimit = uint16_t(1);
    rc.frequencyBand = ulmex_frequency_band::band_tv_white_spaces;
    rc.channelPolicy = {fixture_channels, ulmex_channel_tuning::auto_,
                        ulmex_channel_width::auto_};
    rc.powerPolicy = {int64_t(20), ulmex_power_control::auto_};
    rc.enabledModes = fixture_modes;
    rc.requiredModes = fixture_modes;
    add("RadioConfigure full", sample_request<ULMEX_RADIO_CONFIGURE>(rc));
    rc.informInterval.reset();
    rc.flowLimit.reset();
    rc.frequencyBand.reset();
    rc.powerPolicy.powerLimit.reset();
    add("RadioConfigure bare", sample_request<ULMEX_RADIO_CONFIGURE>(rc));

    add("RadioUnregister",
        sample_request<ULMEX_RADIO_UNREGISTER>(ulmex_radio_unregister{fixture_mac, 10}));
    add("RadioInform bare", sample_radio_inform());
    ulmex_message ri = sample_radio_inform();
    std::get<ULMEX_RADIO_INFORM>(ri.pdu).countryId = "US";
    std::get<ULMEX_RADIO_INFORM>(ri.pdu).powerLevel = 1ll << 40;
    add("RadioInform full", ri);
    add("ServiceRegister", sample_request<ULMEX_SERVICE_REGISTER>(ulmex_service_register{
                               fixture_uuid, 11, fixture_mac, "3.1", fixture_template_bytes}));
    add("ServiceAccept full", sample_request<ULMEX_SERVICE_ACCEPT>(ulmex_service_accept{
                                  sample_port_address(), 12, 0u}));
    add("ServiceAccept bare", sample_request<ULMEX_SERVICE_ACCEPT>(ulmex_service_accept{
                                  sample_port_address6(), 12}));
    add("ServiceConfigure full", sample_request<ULMEX_SERVICE_CONFIGURE>(
                                     ulmex_service_configure{fixture_uuid, 13, 60u}));
    add("ServiceConfigure bare", sample_request<ULMEX_SERVICE_CONFIGURE>(
                                     ulmex_service_configure{fixture_uuid, 13}));
    add("ServiceUnregister",
        sample_request<ULMEX_SERVICE_UNREGISTER>(ulmex_service_unregister{fixture_uuid, 14}));
    add("ServiceInform", sample_service_inform());
    add("ServiceInform empty", sample_request<ULMEX_SERVICE_INFORM>(
                                   ulmex_service_inform{fixture_uuid, 14, {}}));
    add("BindingNotify full", sample_request<ULMEX_BINDING_NOTIFY>(ulmex_binding_notify{
                                  fixture_uuid, 15, fixture_mac2, "phone", fixture_mac,
                                  ulmex_frequency_band::band_900_mhz}));
    add("BindingNotify bare", sample_request<ULMEX_BINDING_NOTIFY>(ulmex_binding_notify{
                                  fixture_uuid, 15, fixture_mac2}));
    add("BindingRequest default", sample_binding_request(0));
    add("BindingRequest delay", sample_binding_request(0xFFFFFFFF));
    ulmex_message br = sample_binding_request(0);
    std::get<ULMEX_BINDING_REQUEST>(br.pdu).serviceName.reset();
    add("BindingRequest bare", br);
    add("BindingInstall", sample_binding_install());
    add("BindingRemove full",
        sample_request<ULMEX_BINDING_REMOVE>(ulmex_binding_remove{fixture_mac, fixture_indices[1].primary}));
    add("BindingRemove bare", sample_request<ULMEX_BINDING_REMOVE>(ulmex_binding_remove{fixture_mac}));
    add("FlowRequest", sample_request<ULMEX_FLOW_REQUEST>(ulmex_flow_request{
                           fixture_mac, fixture_mac, fixture_mac2, fixture_uuid, 16, port_table}));
    add("FlowInstall", sample_flow_install());
    add("FlowRemove",
        sample_request<ULMEX_FLOW_REMOVE>(ulmex_flow_remove{fixture_mac, fixture_mac2, 17}));
    add("FlowRadioInform", sample_flow_radio_inform());
    ulmex_message fr = sample_flow_radio_inform();
    std::get<ULMEX_FLOW_RADIO_INFORM>(fr.pdu).flowReason = ulmex_flow_reason::none;
    add("FlowRadioInform default", fr);
    add("FlowServiceInform default", sample_flow_service_inform(ulmex_flow_reason::none));
    add("FlowServiceInform reason",
        sample_flow_service_inform(ulmex_flow_reason::network_timeout));
    add("FlowInformAccept full",
        sample_request<ULMEX_FLOW_INFORM_ACCEPT>(ulmex_flow_inform_accept{0xFFFFFFFFu}));
    add("FlowInformAccept bare", sample_request<ULMEX_FLOW_INFORM_ACCEPT>(ulmex_flow_inform_accept{}));
    add("CannedRequest", sample_request<ULMEX_CANNED_REQUEST>(
                             ulmex_canned_request{sample_port_address(), payload}));
    add("CannedResponse", sample_request<ULMEX_CANNED_RESPONSE>(
                              ulmex_canned_request{sample_port_address6(), {}}));

    // Flags and identities of every kind.
    ulmex_message both = sample_request<ULMEX_STATUS>(ulmex_status{}, 0xFFFFFFFF);
    both.response = true;
    add("Status both flags", both);
    ulmex_message neither = sample_request<ULMEX_STATUS>(ulmex_status{}, 0);
    neither.request = false;
    neither.version = 300;
    add("Status no flags, version 300", neither);
    return all;
}
