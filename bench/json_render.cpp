// 10^5 flow records rendered as one JSON array, beside RapidJSON's Writer
// writing the same members to the same kind of stream. Both documents are
// compared byte for byte once before timing. ratio_rapidjson is RapidJSON's
// time over ours: above 1 means we are faster.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <net/if.h>
#include <string>
#include <vector>

#include <rapidjson/filewritestream.h>
#include <rapidjson/writer.h>

#include "bench/crypto_side_by_side.h"
#include "bench/pin.h"
#include "common/timer.h"
#include "utility/ugw_format.h"
#include "utility/ugw_render.h"

namespace
{

constexpr size_t FLOWS = 100000;

char *bench_ifname(unsigned index, char *name)
{
    snprintf(name, IF_NAMESIZE, "eth%u", index);
    return name;
}

std::vector<ugw_flow_rec> make_flows()
{
    std::vector<ugw_flow_rec> flows(FLOWS);
    for (size_t i = 0; i < FLOWS; i++) {
        ugw_flow_rec &f = flows[i];
        memset(&f, 0, sizeof f);
        auto n = static_cast<uint32_t>(i);
        memcpy(f.ulmexBSSID, "\x02\x00\x00\x00\x00\x01", 6);
        memcpy(f.ulmexClientMAC, &n, 4);
        f.ulmexClientMAC[5] = 0x42;
        memcpy(f.ulmexRadioId, "\x02\x00\x00\x00\x10\x01", 6);
        memset(f.ulmexServiceId, 0x5a, 16);
        memcpy(f.ulmexSSIDValue, "guest-network", 13);
        f.ulmexSSIDLength = 13;
        if (i % 2)
            snprintf(f.ulmexAutzUserName, sizeof f.ulmexAutzUserName, "user%zu@example.org", i);
        f.ulmexVisibility = 3;
        f.ulmexFrequencyBand = static_cast<int8_t>(i % 6);
        f.ulmexTunnelProto = 1 + n % 4;
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(4789);
        local.sin_addr.s_addr = htonl(0xc0000201);
        memcpy(f.ulmexLocalPort, &local, sizeof local);
        sockaddr_in6 remote{};
        remote.sin6_family = AF_INET6;
        remote.sin6_port = htons(static_cast<uint16_t>(1024 + i % 5000));
        inet_pton(AF_INET6, "2001:db8::17", &remote.sin6_addr);
        memcpy(&remote.sin6_addr.s6_addr[12], &n, 4);
        memcpy(f.ulmexRemotePort, &remote, sizeof remote);
        memcpy(f.ulmexFrlFlowId, &n, 4);
        f.ulmexFrlProcessId = 1 + n % 8;
        for (uint32_t k = 0; k < 7; k++)
            f.node_ids[k] = k % 2 ? 0 : n * 7 + k;
        f.ulmexRadioIfIndex = 1 + n % 4;
        f.ulmexServiceIfIndex = 5;
        f.ulmexInstallTime = 1000 + n;
        f.ulmexConnectTime = i % 3 ? 2000 + n : 0;
        f.ulmexAssociateTime = 2001 + n;
        f.ulmexTouchTime = 3000 + n;
        f.ulmexInstallTimeout = 30;
        f.ulmexConnectTimeout = 60;
        f.ulmexFlowKeepalive = 10;
        f.ulmexInformInterval = i % 4 ? 300 : 0;
        f.ulmexAuthMethod = 0x02ac0f00;
        f.ulmexCipherSuite = 0x04ac0f00;
        f.ulmexOffloadEnable = i % 2;
        f.ulmexDownloadPackets = n * 13;
        f.ulmexUploadPackets = n * 11;
        f.ulmexDownloadDrops = n % 17;
        f.ulmexDownloadBytes = uint64_t{n} * 1500 * 13;
        f.ulmexUploadBytes = uint64_t{n} * 900 * 11;
        f.ulmexRecvSignal[0] = -80;
        f.ulmexRecvSignal[1] = -40;
        f.ulmexRecvSignal[2] = static_cast<int8_t>(-40 - static_cast<int>(n % 40));
        f.ulmexRecvRate[0] = 6000000;
        f.ulmexRecvRate[1] = 866000000;
        f.ulmexRecvRate[2] = 300000000 + n;
        f.ulmexSendRate[1] = 1000;
        f.ulmexThroughput[2] = n;
    }
    return flows;
}

// The anchor, as its best users write it: one Writer over a buffered file stream.
using rj_writer = rapidjson::Writer<rapidjson::FileWriteStream>;

constexpr char hex[] = "0123456789abcdef";

void rj_mac(rj_writer &w, const uint8_t *mac)
{
    char t[17];
    for (int i = 0; i < 6; i++) {
        t[3 * i] = hex[mac[i] >> 4];
        t[3 * i + 1] = hex[mac[i] & 15];
        if (i < 5) t[3 * i + 2] = ':';
    }
    w.String(t, 17);
}

void rj_uuid(rj_writer &w, const uint8_t *u)
{
    char t[37];
    w.String(format_uuid(t, u), 36);
}

void rj_id12(rj_writer &w, const uint8_t *id)
{
    uint32_t a, c;
    uint16_t b, d;
    memcpy(&a, id, 4);
    memcpy(&b, id + 4, 2);
    memcpy(&c, id + 6, 4);
    memcpy(&d, id + 10, 2);
    char t[32];
    int n = snprintf(t, sizeof t, "%08x%04x-%08x%04x", a, b, c, d);
    w.String(t, static_cast<rapidjson::SizeType>(n));
}

void rj_n0(rj_writer &w, uint64_t v)
{
    if (v)
        w.Uint64(v);
    else
        w.Null();
}

void rj_time(rj_writer &w, uint32_t stamp)
{
    if (stamp)
        w.Uint64(static_cast<uint64_t>(static_cast<int64_t>(stamp) + clock_offset_sec));
    else
        w.Null();
}

void rj_str_or_null(rj_writer &w, const char *s)
{
    if (s)
        w.String(s);
    else
        w.Null();
}

void rj_inet(rj_writer &w, const uint8_t *stored)
{
    sockaddr_in6 sa;
    memcpy(&sa, stored, sizeof sa);
    w.StartObject();
    w.Key("ulmexAddressType");
    char t[INET6_ADDRSTRLEN] = "";
    if (sa.sin6_family == AF_INET) {
        w.String("ipv4");
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(&sa)->sin_addr, t, sizeof t);
    } else if (sa.sin6_family == AF_INET6) {
        w.String("ipv6");
        inet_ntop(AF_INET6, &sa.sin6_addr, t, sizeof t);
    } else {
        w.String("unknown");
    }
    w.Key("ulmexAddress");
    w.String(t);
    w.Key("ulmexPortNumber");
    rj_n0(w, ntohs(sa.sin6_port));
    w.EndObject();
}

void rj_rate(rj_writer &w, const uint32_t *r)
{
    w.StartObject();
    w.Key("ulmexMinRate");
    rj_n0(w, r[0]);
    w.Key("ulmexMaxRate");
    rj_n0(w, r[1]);
    w.Key("ulmexAvgRate");
    rj_n0(w, r[2]);
    w.EndObject();
}

void rj_flow(rj_writer &w, const ugw_flow_rec &f)
{
    static const char *const visibility[] = {"none", "hidden", "unicast", "broadcast"};
    static const char *const band[] = {"TV white spaces", "900 MHz", "2.4 GHz",
                                       "3.6 GHz",         "5 GHz",   "60 GHz"};
    static const char *const proto[] = {nullptr, "native", "vxlan", "geneve", "gre"};
    static const char *const nodes[7] = {"ulmexFrlRouteNodeId",   "ulmexFrlRadioNodeId",
                                         "ulmexFrlServiceNodeId", "ulmexFrlTunnelNodeId",
                                         "ulmexFrlPmtuNodeId",    "ulmexFrlLimiterNodeId",
                                         "ulmexFrlFilterNodeId"};
    w.StartObject();
    w.Key("ulmexBSSID");
    rj_mac(w, f.ulmexBSSID);
    w.Key("ulmexClientMAC");
    rj_mac(w, f.ulmexClientMAC);
    w.Key("ulmexAutzUserName");
    if (f.ulmexAutzUserName[0])
        w.String(f.ulmexAutzUserName,
                 static_cast<rapidjson::SizeType>(strnlen(f.ulmexAutzUserName, 253)));
    else
        w.Null();
    w.Key("ulmexRadioId");
    rj_mac(w, f.ulmexRadioId);
    w.Key("ulmexServiceId");
    rj_uuid(w, f.ulmexServiceId);
    w.Key("ulmexServiceSSID");
    w.String(reinterpret_cast<const char *>(f.ulmexSSIDValue),
             static_cast<rapidjson::SizeType>(
                 strnlen(reinterpret_cast<const char *>(f.ulmexSSIDValue), f.ulmexSSIDLength)));
    w.Key("ulmexVisibility");
    rj_str_or_null(w, f.ulmexVisibility < 4 ? visibility[f.ulmexVisibility] : nullptr);
    w.Key("ulmexFrequencyBand");
    rj_str_or_null(w, f.ulmexFrequencyBand >= 0 && f.ulmexFrequencyBand < 6
                          ? band[f.ulmexFrequencyBand]
                          : nullptr);
    w.Key("ulmexTunnelProto");
    rj_str_or_null(w, f.ulmexTunnelProto < 5 ? proto[f.ulmexTunnelProto] : nullptr);
    w.Key("ulmexLocalPort");
    rj_inet(w, f.ulmexLocalPort);
    w.Key("ulmexRemotePort");
    rj_inet(w, f.ulmexRemotePort);
    w.Key("ulmexFrlFlowId");
    rj_id12(w, f.ulmexFrlFlowId);
    w.Key("ulmexFrlBroadcastId");
    rj_id12(w, f.ulmexFrlBroadcastId);
    w.Key("ulmexFrlProcessId");
    rj_n0(w, f.ulmexFrlProcessId);
    for (int k = 0; k < 7; k++) {
        w.Key(nodes[k]);
        rj_n0(w, f.node_ids[k]);
    }
    w.Key("ulmexRadioIfIndex");
    rj_str_or_null(w, ugw_ifname(f.ulmexRadioIfIndex));
    w.Key("ulmexServiceIfIndex");
    rj_str_or_null(w, ugw_ifname(f.ulmexServiceIfIndex));
    w.Key("ulmexTunnelIfIndex");
    rj_str_or_null(w, ugw_ifname(f.ulmexTunnelIfIndex));
    w.Key("ulmexInstallTime");
    rj_time(w, f.ulmexInstallTime);
    w.Key("ulmexConnectTime");
    rj_time(w, f.ulmexConnectTime);
    w.Key("ulmexAssociateTime");
    rj_time(w, f.ulmexAssociateTime);
    w.Key("ulmexTouchTime");
    rj_time(w, f.ulmexTouchTime);
    w.Key("ulmexInstallTimeout");
    w.Uint(f.ulmexInstallTimeout);
    w.Key("ulmexConnectTimeout");
    w.Uint(f.ulmexConnectTimeout);
    w.Key("ulmexFlowKeepalive");
    w.Uint(f.ulmexFlowKeepalive);
    w.Key("ulmexInformInterval");
    rj_n0(w, f.ulmexInformInterval);
    w.Key("ulmexAuthMethod");
    rj_str_or_null(w, akm_suite_name(f.ulmexAuthMethod));
    w.Key("ulmexCipherSuite");
    rj_str_or_null(w, cipher_suite_name(f.ulmexCipherSuite));
    w.Key("ulmexOffloadEnable");
    w.Bool(f.ulmexOffloadEnable);
    w.Key("ulmexDownloadPackets");
    w.Uint(f.ulmexDownloadPackets);
    w.Key("ulmexUploadPackets");
    w.Uint(f.ulmexUploadPackets);
    w.Key("ulmexDownloadDiscards");
    w.Uint(f.ulmexDownloadDiscards);
    w.Key("ulmexUploadDiscards");
    w.Uint(f.ulmexUploadDiscards);
    w.Key("ulmexDownloadDrops");
    w.Uint(f.ulmexDownloadDrops);
    w.Key("ulmexUploadDrops");
    w.Uint(f.ulmexUploadDrops);
    w.Key("ulmexDownloadBytes");
    w.Uint64(f.ulmexDownloadBytes);
    w.Key("ulmexUploadBytes");
    w.Uint64(f.ulmexUploadBytes);
    w.Key("ulmexRecvSignal");
    w.StartObject();
    bool unset = !f.ulmexRecvSignal[0] || !f.ulmexRecvSignal[1] || !f.ulmexRecvSignal[2];
    static const char *const signal[3] = {"ulmexMinSignal", "ulmexMaxSignal", "ulmexAvgSignal"};
    for (int k = 0; k < 3; k++) {
        w.Key(signal[k]);
        if (unset)
            w.Null();
        else
            w.Int(f.ulmexRecvSignal[k]);
    }
    w.EndObject();
    w.Key("ulmexRecvRate");
    rj_rate(w, f.ulmexRecvRate);
    w.Key("ulmexSendRate");
    rj_rate(w, f.ulmexSendRate);
    w.Key("ulmexThroughput");
    rj_rate(w, f.ulmexThroughput);
    w.EndObject();
}

void render_ours(FILE *out, const std::vector<ugw_flow_rec> &flows)
{
    render_json_list(out, ugw_json_record<ugw_flow_rec, render_json_ulmex_flow>, flows.data(),
                     flows.size(), sizeof(ugw_flow_rec));
}

void render_rapidjson(FILE *out, const std::vector<ugw_flow_rec> &flows)
{
    static char buffer[32768];
    rapidjson::FileWriteStream stream(out, buffer, sizeof buffer);
    rj_writer w(stream);
    w.StartArray();
    for (const auto &f : flows)
        rj_flow(w, f);
    w.EndArray();
    stream.Flush();
    fflush(out);
}

std::string capture(void (*render)(FILE *, const std::vector<ugw_flow_rec> &),
                    const std::vector<ugw_flow_rec> &flows)
{
    char *data = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&data, &size);
    render(out, flows);
    fclose(out);
    std::string s(data, size);
    free(data);
    return s;
}

void BM_FlowList(benchmark::State &state)
{
    static const std::vector<ugw_flow_rec> flows = make_flows();
    ugw_ifname_reset(bench_ifname);
    clock_refresh_offset();
    std::string ours = capture(render_ours, flows);
    std::string theirs = capture(render_rapidjson, flows);
    if (ours != theirs) {
        size_t at = 0;
        while (at < ours.size() && at < theirs.size() && ours[at] == theirs[at])
            at++;
        state.SkipWithError(("documents differ at byte " + std::to_string(at) + ": " +
                             ours.substr(at > 40 ? at - 40 : 0, 100) + " | " +
                             theirs.substr(at > 40 ? at - 40 : 0, 100))
                                .c_str());
        return;
    }
    FILE *null = fopen("/dev/null", "w");
    side_by_side_anchors(
        state, ours.size(), 1, [&] { render_ours(null, flows); },
        anchor{"rapidjson", [&] { render_rapidjson(null, flows); }});
    fclose(null);
    state.counters["doc_bytes"] = static_cast<double>(ours.size());
}
BENCHMARK(BM_FlowList)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    return bench_main_pinned(argc, argv);
}
