#include "controller/ulmex_codec.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "common/fatal.h"
#include "common/log.h"

// The generated codec: only this file sees it.
#include "Ulmex-Message.h"
#include "asn_internal.h"
#include "constraints.h"
#include "per_decoder.h"
#include "per_encoder.h"

namespace {

// Blocks are 16-byte aligned (codec structures hold 8-byte members) and preceded by a
// header of the same size holding the block's size.
constexpr std::size_t ARENA_ALIGN = 16;
constexpr std::size_t ARENA_HEADER = 16;

ulmex_arena *arena_current;

std::size_t arena_round(std::size_t size)
{
    return (size + ARENA_ALIGN - 1) & ~(ARENA_ALIGN - 1);
}

uint32_t arena_block_size(const uint8_t *block)
{
    uint32_t size;
    memcpy(&size, block - ARENA_HEADER, sizeof(size));
    return size;
}

void *arena_new_block(ulmex_arena &a, std::size_t size)
{
    std::size_t need = arena_round(size);
    if (size > ULMEX_ARENA_SIZE || ARENA_HEADER + need > ULMEX_ARENA_SIZE - a.used) {
        errno = ENOMEM;
        return nullptr;
    }
    uint8_t *block = a.data + a.used + ARENA_HEADER;
    uint32_t size32 = static_cast<uint32_t>(need);
    memcpy(block - ARENA_HEADER, &size32, sizeof(size32));
    a.used += ARENA_HEADER + need;
    return block;
}

void *arena_realloc(ulmex_arena &a, void *ptr, std::size_t size)
{
    if (!ptr)
        return size ? arena_new_block(a, size) : nullptr;
    auto *block = static_cast<uint8_t *>(ptr);
    UGW_ASSERT(block >= a.data + ARENA_HEADER && block <= a.data + a.used);
    std::size_t old = arena_block_size(block);
    bool last = block + old == a.data + a.used;
    if (!size) {
        if (last)
            a.used -= ARENA_HEADER + old;
        return nullptr;
    }
    if (last) {
        std::size_t start = static_cast<std::size_t>(block - a.data);
        std::size_t need = arena_round(size);
        if (size > ULMEX_ARENA_SIZE || need > ULMEX_ARENA_SIZE - start) {
            errno = ENOMEM;
            return nullptr;
        }
        uint32_t size32 = static_cast<uint32_t>(need);
        memcpy(block - ARENA_HEADER, &size32, sizeof(size32));
        a.used = start + need;
        return block;
    }
    void *moved = arena_new_block(a, size);
    if (moved)
        memcpy(moved, block, old < size ? old : size);
    return moved;
}

template <class T> T *arena_zalloc(ulmex_arena &a, std::size_t count = 1)
{
    static_assert(alignof(T) <= ARENA_ALIGN);
    if (count > ULMEX_ARENA_SIZE / sizeof(T))
        return nullptr;
    void *p = arena_new_block(a, count * sizeof(T));
    if (p)
        memset(p, 0, count * sizeof(T));
    return static_cast<T *>(p);
}

template <class T> struct is_optional : std::false_type {};
template <class T> struct is_optional<std::optional<T>> : std::true_type {};
template <class T> struct is_span : std::false_type {};
template <class T> struct is_span<std::span<const T>> : std::true_type {};

template <class G> using seq_elem = std::remove_pointer_t<std::remove_pointer_t<decltype(G::list.array)>>;

// The members of every structured type, listed once for both directions: v(generated
// member, our member). M is our record, const when encoding.
template <class V, class M> void map(V &v, PortAddress_t &g, M &m)
{
    v(g.inet, m.inet);
    v(g.port, m.port);
}
template <class V, class M> void map(V &v, Port_t &g, M &m)
{
    v(g.address, m.address);
    v(g.load, m.load);
}
template <class V, class M> void map(V &v, MacGroup_t &g, M &m)
{
    v(g.base, m.base);
    v(g.mask, m.mask);
}
template <class V, class M> void map(V &v, Index_t &g, M &m)
{
    v(g.primary, m.primary);
    v(g.trigger, m.trigger);
    v(g.lifetime, m.lifetime);
}
template <class V, class M> void map(V &v, ClientPolicy_t &g, M &m)
{
    v(g.bandSteering, m.bandSteering);
    v(g.preferredBands, m.preferredBands);
    v(g.minSignalLevel, m.minSignalLevel);
}
template <class V, class M> void map(V &v, Service_t &g, M &m)
{
    v(g.serviceId, m.serviceId);
    v(g.visibility, m.visibility);
    v(g.timeout, m.timeout);
    v(g.clientPolicy, m.clientPolicy);
    v(g.essTemplate, m.essTemplate);
    v(g.bssIndices, m.bssIndices);
}
template <class V, class M> void map(V &v, Binding_t &g, M &m)
{
    v(g.indexTable, m.indexTable);
    v(g.service, m.service);
}
template <class V, class M> void map(V &v, ChannelPolicy_t &g, M &m)
{
    v(g.channelTable, m.channelTable);
    v(g.channelTuning, m.channelTuning);
    v(g.channelWidth, m.channelWidth);
}
template <class V, class M> void map(V &v, PowerPolicy_t &g, M &m)
{
    v(g.powerLimit, m.powerLimit);
    v(g.powerControl, m.powerControl);
}
template <class V, class M> void map(V &v, SignalStatistics_t &g, M &m)
{
    v(g.minimum, m.minimum);
    v(g.maximum, m.maximum);
    v(g.average, m.average);
}
template <class V, class M> void map(V &v, RateStatistics_t &g, M &m)
{
    v(g.minimum, m.minimum);
    v(g.maximum, m.maximum);
    v(g.average, m.average);
}
template <class V, class M> void map(V &v, Status_t &g, M &m)
{
    v(g.statusCode, m.statusCode);
}
template <class V, class M> void map(V &v, DeviceRegister_t &g, M &m)
{
    v(g.deviceId, m.deviceId);
    v(g.sessionId, m.sessionId);
    v(g.firmwareId, m.firmwareId);
    v(g.modelName, m.modelName);
    v(g.resetCount, m.resetCount);
    v(g.environment, m.environment);
}
template <class V, class G, class M> void map_device_settings(V &v, G &g, M &m)
{
    v(g.epochId, m.epochId);
    v(g.environment, m.environment);
    v(g.countryId, m.countryId);
    v(g.keepalive, m.keepalive);
    v(g.firmwareUrl, m.firmwareUrl);
    v(g.firmwareId, m.firmwareId);
    v(g.loginKey, m.loginKey);
}
template <class V, class M> void map(V &v, DeviceAccept_t &g, M &m)
{
    v(g.controlPort, m.controlPort);
    map_device_settings(v, g, m);
}
template <class V, class M> void map(V &v, DeviceConfigure_t &g, M &m)
{
    v(g.deviceId, m.deviceId);
    map_device_settings(v, g, m);
}
template <class V, class M> void map(V &v, DeviceUnregister_t &g, M &m)
{
    v(g.deviceId, m.deviceId);
    v(g.sessionId, m.sessionId);
}
template <class V, class M> void map(V &v, DeviceAction_t &g, M &m)
{
    v(g.deviceId, m.deviceId);
    v(g.actionCode, m.actionCode);
}
template <class V, class M> void map(V &v, RadioRegister_t &g, M &m)
{
    v(g.radioId, m.radioId);
    v(g.sessionId, m.sessionId);
    v(g.deviceId, m.deviceId);
    v(g.versionId, m.versionId);
    v(g.driverName, m.driverName);
    v(g.supportedModes, m.supportedModes);
    v(g.supportedBands, m.supportedBands);
    v(g.frequencyBand, m.frequencyBand);
    v(g.bssCount, m.bssCount);
    v(g.phyTemplate, m.phyTemplate);
}
template <class V, class G, class M> void map_radio_settings(V &v, G &g, M &m)
{
    v(g.epochId, m.epochId);
    v(g.informInterval, m.informInterval);
    v(g.flowLimit, m.flowLimit);
    v(g.frequencyBand, m.frequencyBand);
    v(g.channelPolicy, m.channelPolicy);
    v(g.powerPolicy, m.powerPolicy);
    v(g.enabledModes, m.enabledModes);
    v(g.requiredModes, m.requiredModes);
}
template <class V, class M> void map(V &v, RadioAccept_t &g, M &m)
{
    v(g.controlPort, m.controlPort);
    map_radio_settings(v, g, m);
}
template <class V, class M> void map(V &v, RadioConfigure_t &g, M &m)
{
    v(g.radioId, m.radioId);
    map_radio_settings(v, g, m);
}
template <class V, class M> void map(V &v, RadioUnregister_t &g, M &m)
{
    v(g.radioId, m.radioId);
    v(g.sessionId, m.sessionId);
}
template <class V, class M> void map(V &v, RadioInform_t &g, M &m)
{
    v(g.radioId, m.radioId);
    v(g.sessionId, m.sessionId);
    v(g.cpuLoad, m.cpuLoad);
    v(g.countryId, m.countryId);
    v(g.frequency, m.frequency);
    v(g.channelWidth, m.channelWidth);
    v(g.powerLevel, m.powerLevel);
}
template <class V, class M> void map(V &v, ServiceRegister_t &g, M &m)
{
    v(g.serviceId, m.serviceId);
    v(g.sessionId, m.sessionId);
    v(g.deviceId, m.deviceId);
    v(g.versionId, m.versionId);
    v(g.essTemplate, m.essTemplate);
}
template <class V, class M> void map(V &v, ServiceAccept_t &g, M &m)
{
    v(g.controlPort, m.controlPort);
    v(g.epochId, m.epochId);
    v(g.informInterval, m.informInterval);
}
template <class V, class M> void map(V &v, ServiceConfigure_t &g, M &m)
{
    v(g.serviceId, m.serviceId);
    v(g.epochId, m.epochId);
    v(g.informInterval, m.informInterval);
}
template <class V, class M> void map(V &v, ServiceUnregister_t &g, M &m)
{
    v(g.serviceId, m.serviceId);
    v(g.sessionId, m.sessionId);
}
template <class V, class M> void map(V &v, ServiceInform_t &g, M &m)
{
    v(g.serviceId, m.serviceId);
    v(g.sessionId, m.sessionId);
    v(g.portTable, m.portTable);
}
template <class V, class M> void map(V &v, BindingNotify_t &g, M &m)
{
    v(g.serviceId, m.serviceId);
    v(g.sessionId, m.sessionId);
    v(g.clientId, m.clientId);
    v(g.clientName, m.clientName);
    v(g.radioId, m.radioId);
    v(g.frequencyBand, m.frequencyBand);
}
template <class V, class M> void map(V &v, BindingRequest_t &g, M &m)
{
    v(g.radioId, m.radioId);
    v(g.sessionId, m.sessionId);
    v(g.clientId, m.clientId);
    v(g.signalLevel, m.signalLevel);
    v(g.requestDelay, m.requestDelay);
    v(g.serviceName, m.serviceName);
}
template <class V, class M> void map(V &v, BindingInstall_t &g, M &m)
{
    v(g.radioId, m.radioId);
    v(g.bindingTable, m.bindingTable);
}
template <class V, class M> void map(V &v, BindingRemove_t &g, M &m)
{
    v(g.radioId, m.radioId);
    v(g.primary, m.primary);
}
template <class V, class M> void map(V &v, FlowRequest_t &g, M &m)
{
    v(g.radioId, m.radioId);
    v(g.bssId, m.bssId);
    v(g.clientId, m.clientId);
    v(g.serviceId, m.serviceId);
    v(g.sessionId, m.sessionId);
    v(g.portTable, m.portTable);
}
template <class V, class M> void map(V &v, FlowInstall_t &g, M &m)
{
    v(g.radioId, m.radioId);
    v(g.bssId, m.bssId);
    v(g.clientId, m.clientId);
    v(g.serviceId, m.serviceId);
    v(g.sessionId, m.sessionId);
    v(g.sessionKey, m.sessionKey);
    v(g.dataPort, m.dataPort);
    v(g.timeout, m.timeout);
    v(g.keepalive, m.keepalive);
    v(g.frequencyBand, m.frequencyBand);
}
template <class V, class M> void map(V &v, FlowRemove_t &g, M &m)
{
    v(g.bssId, m.bssId);
    v(g.clientId, m.clientId);
    v(g.sessionId, m.sessionId);
}
template <class V, class G, class M> void map_flow_head(V &v, G &g, M &m)
{
    v(g.radioId, m.radioId);
    v(g.bssId, m.bssId);
    v(g.clientId, m.clientId);
    v(g.sessionId, m.sessionId);
    v(g.linkId, m.linkId);
    v(g.serviceId, m.serviceId);
    v(g.flowEvent, m.flowEvent);
    v(g.flowReason, m.flowReason);
    v(g.duration, m.duration);
    v(g.packetsDown, m.packetsDown);
}
template <class V, class M> void map(V &v, FlowRadioInform_t &g, M &m)
{
    map_flow_head(v, g, m);
    v(g.droppedDown, m.droppedDown);
    v(g.packetsUp, m.packetsUp);
    v(g.octetsDown, m.octetsDown);
    v(g.octetsUp, m.octetsUp);
    v(g.recvSignal, m.recvSignal);
    v(g.recvRate, m.recvRate);
    v(g.sendRate, m.sendRate);
    v(g.throughput, m.throughput);
}
template <class V, class M> void map(V &v, FlowServiceInform_t &g, M &m)
{
    map_flow_head(v, g, m);
    v(g.packetsUp, m.packetsUp);
    v(g.droppedUp, m.droppedUp);
    v(g.octetsDown, m.octetsDown);
    v(g.octetsUp, m.octetsUp);
    v(g.authCached, m.authCached);
    v(g.authMethod, m.authMethod);
    v(g.cipherSuite, m.cipherSuite);
}
template <class V, class M> void map(V &v, FlowInformAccept_t &g, M &m)
{
    v(g.informInterval, m.informInterval);
}
template <class V, class M> void map(V &v, CannedRequest_t &g, M &m)
{
    v(g.server, m.server);
    v(g.payload, m.payload);
}

// The PDU alternative of number N inside the generated CHOICE.
template <std::size_t N> auto &pdu_member(Ulmex_PDU_t &g)
{
    auto &c = g.choice;
    if constexpr (N == ULMEX_STATUS) return c.status;
    else if constexpr (N == ULMEX_DEVICE_REGISTER) return c.deviceRegister;
    else if constexpr (N == ULMEX_DEVICE_ACCEPT) return c.deviceAccept;
    else if constexpr (N == ULMEX_DEVICE_CONFIGURE) return c.deviceConfigure;
    else if constexpr (N == ULMEX_DEVICE_UNREGISTER) return c.deviceUnregister;
    else if constexpr (N == ULMEX_DEVICE_ACTION) return c.deviceAction;
    else if constexpr (N == ULMEX_RADIO_REGISTER) return c.radioRegister;
    else if constexpr (N == ULMEX_RADIO_ACCEPT) return c.radioAccept;
    else if constexpr (N == ULMEX_RADIO_CONFIGURE) return c.radioConfigure;
    else if constexpr (N == ULMEX_RADIO_UNREGISTER) return c.radioUnregister;
    else if constexpr (N == ULMEX_RADIO_INFORM) return c.radioInform;
    else if constexpr (N == ULMEX_SERVICE_REGISTER) return c.serviceRegister;
    else if constexpr (N == ULMEX_SERVICE_ACCEPT) return c.serviceAccept;
    else if constexpr (N == ULMEX_SERVICE_CONFIGURE) return c.serviceConfigure;
    else if constexpr (N == ULMEX_SERVICE_UNREGISTER) return c.serviceUnregister;
    else if constexpr (N == ULMEX_SERVICE_INFORM) return c.serviceInform;
    else if constexpr (N == ULMEX_BINDING_NOTIFY) return c.bindingNotify;
    else if constexpr (N == ULMEX_BINDING_REQUEST) return c.bindingRequest;
    else if constexpr (N == ULMEX_BINDING_INSTALL) return c.bindingInstall;
    else if constexpr (N == ULMEX_BINDING_REMOVE) return c.bindingRemove;
    else if constexpr (N == ULMEX_FLOW_REQUEST) return c.flowRequest;
    else if constexpr (N == ULMEX_FLOW_INSTALL) return c.flowInstall;
    else if constexpr (N == ULMEX_FLOW_REMOVE) return c.flowRemove;
    else if constexpr (N == ULMEX_FLOW_RADIO_INFORM) return c.flowRadioInform;
    else if constexpr (N == ULMEX_FLOW_SERVICE_INFORM) return c.flowServiceInform;
    else if constexpr (N == ULMEX_FLOW_INFORM_ACCEPT) return c.flowInformAccept;
    else if constexpr (N == ULMEX_CANNED_REQUEST) return c.cannedRequest;
    else return c.cannedResponse;
}
static_assert(static_cast<int>(Ulmex_PDU_PR_status) == ULMEX_STATUS);
static_assert(static_cast<int>(Ulmex_PDU_PR_cannedResponse) == ULMEX_CANNED_RESPONSE);

// Our records into the generated structures, in the encode arena. Byte members point at
// the caller's memory: the encoder only reads them and the arena is never freed piecewise.
struct to_asn {
    ulmex_arena &arena;
    bool ok = true;
    // The runtime takes a string without a buffer for a value not given, empty or not.
    static inline uint8_t empty_buf;

    template <class G, class M> void operator()(G &g, const M &m)
    {
        if constexpr (std::is_same_v<M, ulmex_bytes> || std::is_same_v<M, std::string_view>) {
            if (m.size() > INT_MAX) {
                ok = false;
                return;
            }
            g.buf = m.empty() ? &empty_buf
                              : reinterpret_cast<uint8_t *>(
                                    const_cast<typename M::value_type *>(m.data()));
            g.size = static_cast<int>(m.size());
        } else if constexpr (std::is_same_v<M, ulmex_bits>) {
            if (m.bytes.size() > INT_MAX || m.unused > 7 || (m.unused && m.bytes.empty())) {
                ok = false;
                return;
            }
            g.buf = m.bytes.empty() ? &empty_buf : const_cast<uint8_t *>(m.bytes.data());
            g.size = static_cast<int>(m.bytes.size());
            g.bits_unused = m.unused;
        } else if constexpr (std::is_same_v<G, Unsigned64_t>) {
            g.high = static_cast<uint32_t>(m >> 32);
            g.low = static_cast<uint32_t>(m);
        } else if constexpr (std::is_enum_v<M>) {
            g = static_cast<G>(static_cast<std::underlying_type_t<M>>(m));
        } else if constexpr (std::is_arithmetic_v<M>) {
            g = static_cast<G>(m);
        } else if constexpr (is_optional<M>::value) {
            g = nullptr;
            if (!m)
                return;
            g = arena_zalloc<std::remove_pointer_t<G>>(arena);
            if (!g) {
                ok = false;
                return;
            }
            (*this)(*g, *m);
        } else if constexpr (is_span<M>::value) {
            using E = seq_elem<G>;
            if (m.size() > INT_MAX) {
                ok = false;
                return;
            }
            int n = static_cast<int>(m.size());
            g.list.array = n ? arena_zalloc<E *>(arena, m.size()) : nullptr;
            E *elems = n ? arena_zalloc<E>(arena, m.size()) : nullptr;
            if (n && (!g.list.array || !elems)) {
                ok = false;
                return;
            }
            g.list.count = g.list.size = n;
            for (int i = 0; i < n && ok; i++) {
                g.list.array[i] = &elems[i];
                (*this)(elems[i], m[static_cast<std::size_t>(i)]);
            }
        } else {
            map(*this, g, m);
        }
    }

    void operator()(Inet_t &g, const ulmex_inet &m)
    {
        switch (m.present) {
        case ulmex_inet_type::ip:
            g.present = Inet_PR_ip;
            (*this)(g.choice.ip, m.address);
            break;
        case ulmex_inet_type::ipv6:
            g.present = Inet_PR_ipv6;
            (*this)(g.choice.ipv6, m.address);
            break;
        case ulmex_inet_type::none:
            g.present = Inet_PR_NOTHING;
            break;
        }
    }

    void operator()(Selector_t &g, const ulmex_selector &m)
    {
        switch (m.present) {
        case ulmex_selector_type::clientGroup:
            g.present = Selector_PR_clientGroup;
            (*this)(g.choice.clientGroup, m.clientGroup);
            break;
        case ulmex_selector_type::serviceName:
            g.present = Selector_PR_serviceName;
            (*this)(g.choice.serviceName, m.serviceName);
            break;
        case ulmex_selector_type::serviceId:
            g.present = Selector_PR_serviceId;
            (*this)(g.choice.serviceId, m.serviceId);
            break;
        case ulmex_selector_type::none:
            g.present = Selector_PR_NOTHING;
            break;
        }
    }

    template <std::size_t N> void pdu(Ulmex_PDU_t &g, const ulmex_pdu &m)
    {
        if constexpr (N >= ULMEX_STATUS && N <= ULMEX_CANNED_RESPONSE) {
            g.present = static_cast<Ulmex_PDU_PR>(N);
            (*this)(pdu_member<N>(g), std::get<N>(m));
        }
    }

    void operator()(Ulmex_PDU_t &g, const ulmex_pdu &m)
    {
        g.present = Ulmex_PDU_PR_NOTHING; // no alternative, or one we cannot write
        [&]<std::size_t... N>(std::index_sequence<N...>) {
            ((m.index() == N ? pdu<N>(g, m) : void()), ...);
        }(std::make_index_sequence<std::variant_size_v<ulmex_pdu>>());
    }
};

// Decoded structures into our records; lists are made in the decode arena.
struct from_asn {
    ulmex_arena &arena;
    bool ok = true;

    template <class G, class M> void operator()(const G &g, M &m)
    {
        if constexpr (std::is_same_v<M, ulmex_bytes>) {
            m = g.size > 0 ? ulmex_bytes(g.buf, static_cast<std::size_t>(g.size)) : ulmex_bytes();
        } else if constexpr (std::is_same_v<M, std::string_view>) {
            m = g.size > 0 ? std::string_view(reinterpret_cast<const char *>(g.buf),
                                              static_cast<std::size_t>(g.size))
                           : std::string_view();
        } else if constexpr (std::is_same_v<M, ulmex_bits>) {
            (*this)(g, m.bytes);
            m.unused = static_cast<uint8_t>(g.bits_unused & 7);
        } else if constexpr (std::is_same_v<G, Unsigned64_t>) {
            m = (static_cast<uint64_t>(g.high) << 32) | static_cast<uint32_t>(g.low);
        } else if constexpr (std::is_enum_v<M>) {
            m = static_cast<M>(g);
        } else if constexpr (std::is_arithmetic_v<M>) {
            m = static_cast<M>(g);
        } else if constexpr (is_optional<M>::value) {
            if (!g) {
                m.reset();
                return;
            }
            (*this)(*g, m.emplace());
        } else if constexpr (is_span<M>::value) {
            using E = std::remove_const_t<typename M::element_type>;
            std::size_t n = g.list.count > 0 ? static_cast<std::size_t>(g.list.count) : 0;
            E *elems = n ? arena_zalloc<E>(arena, n) : nullptr;
            if (n && !elems) {
                ok = false;
                return;
            }
            for (std::size_t i = 0; i < n && ok; i++) {
                new (&elems[i]) E{};
                if (!g.list.array[i]) {
                    ok = false;
                    return;
                }
                (*this)(*g.list.array[i], elems[i]);
            }
            m = M(elems, n);
        } else {
            map(*this, const_cast<G &>(g), m);
        }
    }

    void operator()(const Inet_t &g, ulmex_inet &m)
    {
        m = {};
        if (g.present == Inet_PR_ip) {
            m.present = ulmex_inet_type::ip;
            (*this)(g.choice.ip, m.address);
        } else if (g.present == Inet_PR_ipv6) {
            m.present = ulmex_inet_type::ipv6;
            (*this)(g.choice.ipv6, m.address);
        }
    }

    void operator()(const Selector_t &g, ulmex_selector &m)
    {
        m = {};
        switch (g.present) {
        case Selector_PR_clientGroup:
            m.present = ulmex_selector_type::clientGroup;
            (*this)(g.choice.clientGroup, m.clientGroup);
            break;
        case Selector_PR_serviceName:
            m.present = ulmex_selector_type::serviceName;
            (*this)(g.choice.serviceName, m.serviceName);
            break;
        case Selector_PR_serviceId:
            m.present = ulmex_selector_type::serviceId;
            (*this)(g.choice.serviceId, m.serviceId);
            break;
        default:
            break;
        }
    }

    template <std::size_t N> void pdu(const Ulmex_PDU_t &g, ulmex_pdu &m)
    {
        if constexpr (N >= ULMEX_STATUS && N <= ULMEX_CANNED_RESPONSE) {
            auto &alt = m.emplace<N>();
            (*this)(pdu_member<N>(const_cast<Ulmex_PDU_t &>(g)), alt);
        }
    }

    void operator()(const Ulmex_PDU_t &g, ulmex_pdu &m)
    {
        // The decoder leaves nothing present for an alternative of a later version.
        m.emplace<ULMEX_UNKNOWN>();
        std::size_t present = static_cast<std::size_t>(g.present);
        [&]<std::size_t... N>(std::index_sequence<N...>) {
            ((present == N ? pdu<N>(g, m) : void()), ...);
        }(std::make_index_sequence<ULMEX_CANNED_RESPONSE + 1>());
    }
};

Ulmex_Message_t *message_to_asn(ulmex_arena &arena, const ulmex_message &msg)
{
    auto *g = arena_zalloc<Ulmex_Message_t>(arena);
    if (!g)
        return nullptr;
    to_asn v{arena};
    g->version = static_cast<long>(msg.version);
    g->request = msg.request;
    g->response = msg.response;
    g->identity = msg.identity;
    v(g->pdu, msg.pdu);
    return v.ok ? g : nullptr;
}

int check_asn(const Ulmex_Message_t *g)
{
    char text[128];
    size_t len = sizeof(text);
    text[0] = 0;
    if (asn_check_constraints(&asn_DEF_Ulmex_Message, g, text, &len) != 0) {
        ulog_ulmex_always("ASN.1 constraint violation: %s", text);
        return -1;
    }
    if (g->pdu.present == Ulmex_PDU_PR_radioInform &&
        g->pdu.choice.radioInform.channelWidth == ChannelWidth_auto) {
        ulog_ulmex_always("ASN.1 constraint violation: %s", "radioInform: constraint failed");
        return -1;
    }
    return 0;
}

} // namespace

ulmex_arena_scope::ulmex_arena_scope(ulmex_arena &a)
    : saved_arena(arena_current), saved_hook(asn1_realloc_hook)
{
    a.used = 0;
    arena_current = &a;
    asn1_realloc_hook = ulmex_arena_realloc;
}

ulmex_arena_scope::~ulmex_arena_scope()
{
    arena_current = saved_arena;
    asn1_realloc_hook = saved_hook;
}

void *ulmex_arena_realloc(void *block, std::size_t size)
{
    UGW_ASSERT(arena_current);
    return arena_realloc(*arena_current, block, size);
}

int ulmex_check_constraints(ulmex_arena &arena, const ulmex_message &msg)
{
    ulmex_arena_scope scope(arena);
    Ulmex_Message_t *g = message_to_asn(arena, msg);
    if (!g) {
        ulog_ulmex_always("ASN.1 constraint violation: %s", "message does not fit the codec");
        return -1;
    }
    return check_asn(g);
}

int ulmex_codec_print(ulmex_arena &arena, const ulmex_message &msg, FILE *out)
{
    ulmex_arena_scope scope(arena);
    Ulmex_Message_t *g = message_to_asn(arena, msg);
    return g && asn_fprint(out, &asn_DEF_Ulmex_Message, g) == 0 ? 0 : -1;
}

long ulmex_codec_encode(ulmex_arena &arena, const ulmex_message &msg, std::span<uint8_t> out)
{
    ulmex_arena_scope scope(arena);
    Ulmex_Message_t *g = message_to_asn(arena, msg);
    if (!g) {
        ulog_ulmex_always("ASN.1 unaligned PER encoding failed");
        return -1;
    }
    // The PER encoder refuses every value the types forbid, so the full walk of the
    // constraint checker only runs to name what was refused. The one rule the types
    // cannot carry is checked here.
    if (g->pdu.present == Ulmex_PDU_PR_radioInform && check_asn(g) < 0)
        return -1;
    asn_enc_rval_t er = uper_encode_to_buffer(&asn_DEF_Ulmex_Message, g, out.data(), out.size());
    if (er.encoded < 0) {
        if (check_asn(g) == 0)
            ulog_ulmex_always("ASN.1 unaligned PER encoding failed");
        return -1;
    }
    return static_cast<long>((er.encoded + 7) / 8);
}

int ulmex_codec_decode(ulmex_arena &arena, std::span<const uint8_t> in, ulmex_message &msg)
{
    ulmex_arena_scope scope(arena);
    Ulmex_Message_t *g = nullptr;
    asn_dec_rval_t rv = uper_decode_complete(nullptr, &asn_DEF_Ulmex_Message,
                                             reinterpret_cast<void **>(&g), in.data(), in.size());
    // A datagram carries one whole message: trailing bytes are as wrong as missing ones.
    if (rv.code != RC_OK || !g || rv.consumed != in.size()) {
        ulog_ulmex_always("ASN.1 unaligned PER decoding failed");
        return -1;
    }
    // An unknown alternative has nothing to check; the caller counts and refuses it.
    if (g->pdu.present != Ulmex_PDU_PR_NOTHING && check_asn(g) < 0)
        return -1;
    from_asn v{arena};
    msg.version = g->version;
    msg.request = g->request != 0;
    msg.response = g->response != 0;
    msg.identity = static_cast<uint32_t>(g->identity);
    v(g->pdu, msg.pdu);
    if (!v.ok) {
        ulog_ulmex_always("ASN.1 unaligned PER decoding failed");
        return -1;
    }
    return 0;
}
