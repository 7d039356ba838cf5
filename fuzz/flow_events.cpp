// Feeds data-plane events to a gateway with a service, sockets, tunnels and
// flows: Update (32), frames (42-44), diverted packets (45), MIC-Failure (105)
// and Quota-Reached (106). The process's request socket has no far end, so
// every request the events cause fails at once, as a process that went away.
//
// Input: one selector byte choosing the event type, then its body and data.
#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <iterator>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "common/ctl_msg.h"
#include "common/log.h"
#include "common/packet.h"
#include "common/uclient.h"
#include "common/umsg.h"
#include "gateway/frlc.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_ctl_msg.h"
#include "gateway/ugwd_flow.h"
#include "gateway/ugwd_proc.h"
#include "gateway/ugwd_service.h"

namespace
{

constexpr uint32_t types[] = {32, 42, 43, 44, 45, 105, 106};

struct harness {
    ugwd_ctl *ctl;
    ugwd_proc *proc;
    int evt[2];
    size_t flows; // created at set-up; the rest go after each input
};

std::vector<uint8_t> run(ugwd_ctl *ctl, std::vector<uint8_t> msg)
{
    msg.resize(std::max<size_t>(msg.size(), 2048));
    int r = ugwd_ctl_dispatch(ctl, msg.data(), ctl_msg_size(msg.data(), msg.size()), 2048, 1);
    msg.resize(r > 0 ? static_cast<size_t>(r) : 0);
    return msg;
}

harness *setup()
{
    static harness h;
    log_hook = nullptr;
    char dir[] = "/tmp/ugw-fuzz-flow-XXXXXX";
    if (!mkdtemp(dir)) abort();
    h.ctl = ugwd_ctl_create((std::string(dir) + "/sock").c_str(), nullptr, 0, false);
    if (!h.ctl) abort();
    uint32_t lo = if_nametoindex("lo");
    std::vector<uint8_t> m(ctl_msg_catalogue[CTL_ADD_PORT].size);
    ugwd_ctl_msg_init(m.data(), CTL_ADD_PORT);
    ctl_put32(m.data(), 8, lo);
    run(h.ctl, m);
    for (auto [proto, port] : {std::pair{1u, 5246}, {2u, 4789}, {3u, 6081}, {4u, 0}}) {
        std::vector<uint8_t> s(ctl_msg_catalogue[CTL_ADD_SOCKET].size);
        ugwd_ctl_msg_init(s.data(), CTL_ADD_SOCKET);
        ctl_put32(s.data(), 8, lo);
        ctl_put32(s.data(), 12, proto);
        uint16_t p = static_cast<uint16_t>(port);
        memcpy(s.data() + 16, &p, 2);
        run(h.ctl, s);
    }
    std::vector<uint8_t> svc(ctl_msg_catalogue[CTL_ADD_SERVICE].size);
    ugwd_ctl_msg_init(svc.data(), CTL_ADD_SERVICE);
    ugwd_service_conf c = {};
    c.mib.ulmexServiceId[0] = 0x5e;
    c.mib.ulmexServiceId[15] = 1;
    c.mib.ulmexServiceVNI = 101;
    c.mib.ulmexServiceIfCount = 1;
    c.mib.ulmexServiceIfIndices[0] = lo;
    c.dot11.dot11BssMaxIdlePeriod = 3;
    memcpy(svc.data() + 8, &c, sizeof(c));
    run(h.ctl, svc);

    // A process whose requests fail at once, and whose events this harness sends.
    int req[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM, 0, req) < 0 ||
        socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, h.evt) < 0)
        abort();
    close(req[1]);
    auto *ipc = static_cast<uclient *>(calloc(1, sizeof(uclient)));
    array_init(&ipc->buffer, 1);
    list_init(&ipc->link);
    sigprocmask(SIG_SETMASK, nullptr, &ipc->sigmask);
    ipc->fd = req[0];
    ipc->event_fd = h.evt[0];
    ipc->event_pass_fd = -1;
    h.proc = static_cast<ugwd_proc *>(calloc(1, sizeof(ugwd_proc)));
    h.proc->ctl = h.ctl;
    h.proc->number = 1;
    h.proc->node_a = 1;
    h.proc->node_b = 2;
    auto *client = static_cast<frlc *>(calloc(1, sizeof(frlc)));
    array_init(&client->request, 1);
    client->ops = ugwd_ctl_frl_event_ops;
    client->ipc = ipc;
    client->pool = h.ctl->packet_pool;
    client->user = h.proc;
    h.proc->fernrelay = client;

    // Flows of each tunnel kind and an 802.11 flow, unbound.
    ugwd_service *s = ugwd_table_get_service(h.ctl->table, c.mib.ulmexServiceId);
    if (!s) abort();
    uint8_t mac[6] = {2, 0x57, 0, 0, 0, 1};
    sockaddr_in peer = {};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = htonl(0x7f000002);
    for (uint8_t t : {2, 3, 4}) {
        peer.sin_port = htons(t == 2 ? 4789 : t == 3 ? 6081 : 0);
        mac[5]++;
        ugwd_ctl_get_tunnel_flow(h.ctl, s, reinterpret_cast<sockaddr *>(&peer), 101, t, mac);
    }
    uint8_t bssid[6] = {2, 0xb5, 0, 0, 0, 1};
    ugwd_vap *vap = ugwd_service_create_vap(s, bssid, reinterpret_cast<sockaddr *>(&peer));
    if (vap && ugwd_table_insert_vap(h.ctl->table, vap) == 0)
        ugwd_ctl_create_flow(h.ctl, vap, nullptr, mac);
    h.flows = ugwd_table_count_flows(h.ctl->table);
    // Pools hide their objects from the leak checker: the gateway goes at exit.
    atexit([] { ugwd_ctl_free(h.ctl); });
    return &h;
}

harness *h;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    h = setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size - 1 > UMSG_PAYLOAD * 2) return 0;
    uint8_t buf[UMSG_DATAGRAM];
    while (recv(h->evt[0], buf, sizeof(buf), MSG_DONTWAIT) >= 0) {
    }
    std::vector<uint8_t> msg(8 + size - 1);
    uint32_t type = types[data[0] % std::size(types)];
    frl_store32(msg.data(), type);
    memcpy(msg.data() + 8, data + 1, size - 1);
    umsg_send(h->evt[1], UMSG_REQUEST, 0, 0, msg.data(), msg.size(), nullptr, nullptr, -1);
    frlc_process(h->proc->fernrelay);
    // Flows the input created go again, so that inputs stay independent.
    while (ugwd_table_count_flows(h->ctl->table) > h->flows) {
        ugwd_flow *last = container_of(h->ctl->flows._prev, &ugwd_flow::link);
        ugwd_ctl_unbind_flow(last);
    }
    ugwd_stash_flush(h->ctl->stash);
    return 0;
}
