// Feeds the data-plane client what a data plane can send it: notifications
// to its dispatch, and replies to its requests.
//
// Input: one selector byte, then the message. An even selector delivers the
// message as a notification; an odd one answers a request with it, the
// request chosen by selector / 2. Frames and packets come from a real pool,
// which must be full again after every input.
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <sys/socket.h>

#include "common/log.h"
#include "common/packet.h"
#include "common/uclient.h"
#include "gateway/frlc.h"

namespace {

volatile uint32_t sink;

void touch(const void *p, size_t n)
{
    const auto *b = static_cast<const uint8_t *>(p);
    for (size_t i = 0; i < n; i++)
        sink = sink + b[i];
}

// Reads the whole packet; every other one is kept past the call by a
// reference of its own, dropped at the end of the input.
packet *kept;

void take(packet *p)
{
    uint8_t buf[256];
    for (size_t at = 0; at < p->length; at += sizeof(buf))
        touch(buf, packet_access(p, at, sizeof(buf), buf, PACKET_ACCESS_READ));
    sink = sink + packet_priority(p);
    if (!kept && (sink & 1) && packet_ref(p) == 0)
        kept = p;
}

void frame(void *, uint32_t node, const flow_id *f, uint8_t cls, uint8_t encap, packet *p)
{
    touch(f, sizeof(*f));
    sink = sink + node + cls + encap;
    take(p);
}

const frlc_ops ops = {
    .diverted_packet = [](void *, uint32_t dev, uint8_t encap, packet *p) { sink = sink + dev + encap; take(p); },
    .frame = frame,
    .frame_snoop = frame,
    .frame_copy = nullptr, // an empty slot drops the packet
    .port_removed = [](void *, const frl_port *r) { touch(r, sizeof(*r)); },
    .node_removed = [](void *, const frl_node *r) { touch(r, sizeof(*r)); },
    .flow_removed = [](void *, const frl_flow *r) { touch(r, sizeof(*r)); },
    .flow_update = [](void *, const frl_flow *r) { touch(r, sizeof(*r)); },
    .port_event = [](void *, uint32_t id) { sink = sink + id; },
    .flow_event = [](void *, uint32_t id, const flow_id *f) { touch(f, sizeof(*f)); sink = sink + id; },
    .flow_value_event = [](void *, uint32_t id, const flow_id *f, uint16_t v) { touch(f, sizeof(*f)); sink = sink + id + v; },
    .mic_failure = [](void *, uint32_t id, const flow_id *f) { touch(f, sizeof(*f)); sink = sink + id; },
    .quota_reached = [](void *, uint32_t id, const flow_id *f) { touch(f, sizeof(*f)); sink = sink + id; },
};

struct harness {
    int req[2];
    int evt[2];
    frlc *client;
};

// A client over two socket pairs whose far ends this harness plays.
harness *setup()
{
    static harness h;
    if (socketpair(AF_UNIX, SOCK_DGRAM, 0, h.req) < 0 ||
        socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, h.evt) < 0)
        abort();
    auto *ipc = static_cast<uclient *>(calloc(1, sizeof(uclient)));
    array_init(&ipc->buffer, 1);
    list_init(&ipc->link);
    sigprocmask(SIG_SETMASK, nullptr, &ipc->sigmask);
    ipc->fd = h.req[0];
    ipc->event_fd = h.evt[0];
    ipc->event_pass_fd = -1;
    h.client = static_cast<frlc *>(calloc(1, sizeof(frlc)));
    array_init(&h.client->request, 1);
    h.client->ops = ops;
    h.client->ipc = ipc;
    // Small buffers, so that long frames become chains.
    packet_pool_config cfg = {512, 32, 16, 64, 0, 0};
    h.client->pool = packet_pool_create(&cfg);
    if (!h.client->pool)
        abort();
    log_hook = nullptr; // quiet
    return &h;
}

void request(frlc *c, unsigned which)
{
    const uint8_t *recs = nullptr;
    flow_id fid = {};
    frl_port port = {};
    frl_node node = {};
    frl_flow flow = {};
    frl_vap vap = {};
    frl_pool_stats stats;
    frl_flow_stats fstats;
    uint8_t tsc[8];
    ssize_t n = -1;
    switch (which % 16) {
    case 0: n = frlc_get_mempool(c, "packet", &stats, &recs); break;
    case 1: n = frlc_dump_mempools(c, &recs); break;
    case 2: n = frlc_get_fabric(c, &recs); break;
    case 3: n = frlc_add_port(c, &port); break;
    case 4: n = frlc_remove_port(c, 1, &port); break;
    case 5: n = frlc_dump_devices(c, &recs); break;
    case 6: n = frlc_add_node(c, &node, nullptr, 0); break;
    case 7: n = frlc_dump_nodes(c, &recs); break;
    case 8: n = frlc_add_flow(c, &flow); break;
    case 9: n = frlc_read_flow(c, &fid, &flow); break;
    case 10: n = frlc_dump_flows(c, &recs); break;
    case 11: n = frlc_request_39(c, &fid, &recs); break;
    case 12: n = frlc_get_vap_stats(c, 1, &vap); break;
    case 13: n = frlc_get_hosts(c, 1, 2, &recs); break;
    case 14: n = frlc_get_flow_stats(c, 1, &fid, &fstats); break;
    default: n = frlc_get_tsc(c, 1, &fid, 0, tsc); break;
    }
    // Records handed out must lie inside the reply.
    if (n > 0 && recs)
        touch(recs, 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static harness *h = setup();
    if (size < 1 || size - 1 > UMSG_PAYLOAD * 4)
        return 0;
    // Every input starts from empty queues: nothing left over from the last.
    uint8_t buf[UMSG_DATAGRAM];
    for (int fd : {h->req[0], h->req[1], h->evt[0]})
        while (recv(fd, buf, sizeof(buf), MSG_DONTWAIT) >= 0) {
        }
    uint8_t sel = data[0];
    const uint8_t *msg = data + 1;
    size_t len = size - 1;
    if (sel % 2 == 0) {
        umsg_send(h->evt[1], UMSG_REQUEST, 0, 0, msg, len, nullptr, nullptr, -1);
        frlc_process(h->client);
    } else {
        uclient *ipc = h->client->ipc;
        umsg_send(h->req[1], UMSG_REQUEST, UMSG_F_ACK, static_cast<uint16_t>(ipc->seq + 1), msg, len,
                  nullptr, nullptr, -1);
        request(h->client, sel / 2);
    }
    packet_release(kept);
    kept = nullptr;
    // Every packet of a notification went back, whatever became of it.
    if (h->client->pool->info.memUsedObjects != 0)
        abort();
    return 0;
}
