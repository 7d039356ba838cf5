// fernrelayd stand-in: a test peer that speaks the daemon's data-plane
// protocol from a small in-memory model; its bridge carries the tunnel
// packets of stations in the test's namespace. See README.md.
#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <getopt.h>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <set>
#include <string>
#include <sys/signalfd.h>
#include <unistd.h>
#include <vector>

#include "common/log.h"
#include "common/strings.h"
#include "common/umsg.h"
#include "common/userver.h"
#include "gateway/fernrelayd_msg.h"
#include "gateway/ugwd_stash.h"
#include "tools/fernrelayd/bridge.h"
#include "tools/fernrelayd/shm_writer.h"

namespace {

using bytes = std::vector<uint8_t>;
using key12 = std::string; // a flow id or a socket address, as bytes

// A scripted fault: what happens to the next requests of one type.
enum class fault_kind { error, short_reply, late, wrong_type, count, die };

struct fault {
    fault_kind kind;
    uint32_t type;
    uint64_t arg;
    unsigned times; // 0: every time
};

struct flow_state {
    bytes record;
    std::vector<std::string> groups; // 6-byte entries
};

// Rules, URL, limits and keys of one flow on one node.
struct flow_config {
    bytes ip_rules, mac_rules, limits;
    std::string url;
    std::map<std::string, bytes> keys; // by u32 value + one-byte value
};

struct model {
    std::map<uint32_t, bytes> ports;
    std::map<key12, bytes> sockets;
    std::map<uint32_t, bytes> nodes;
    std::map<uint32_t, bytes> vaps;
    std::map<key12, flow_state> flows;
    std::map<std::pair<uint32_t, key12>, flow_config> configs;
    std::map<std::pair<uint32_t, uint32_t>, std::set<std::string>> hostsets;
    uint32_t next_node = 1;
    uint32_t next_socket = 1;
    uint64_t frames_in[256] = {}; // one-way messages by type
};

struct standin {
    userver *data = nullptr;
    userver *control = nullptr;
    model m;
    std::vector<std::string> journal;
    bool journal_on = true;
    std::vector<fault> faults;
    bytes pending; // a reply too long for the server's buffer, until it calls again
    bool pending_valid = false;
    bool exit_after_reply = false;
    bool health_nak = false; // withhold the health acknowledgement
};

standin S;

void note(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void note(const char *fmt, ...)
{
    if (!S.journal_on)
        return;
    va_list ap, again;
    va_start(ap, fmt);
    va_copy(again, ap);
    int n = vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string line(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    vsnprintf(line.data(), line.size() + 1, fmt, again);
    va_end(again);
    S.journal.push_back(std::move(line));
}

std::string hex(const uint8_t *p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

bool unhex(const char *text, bytes *out)
{
    out->clear();
    const char *end = text + strcspn(text, " \n");
    for (; text < end; text += 2) {
        uint8_t v;
        auto [at, ec] = std::from_chars(text, std::min(text + 2, end), v, 16);
        if (ec != std::errc() || at != text + 2)
            return false;
        out->push_back(v);
    }
    return true;
}

// --- the layouts, as this stand-in reads them ----------------------------
//
// Its own reading of the data-plane protocol, independent of the daemon's
// client: offsets from the start of a message body (after the 8-byte header)
// or of a record.
constexpr size_t BODY = FRL_MSG_HDR_SIZE;

// Requests that name one object put its u32 id first (ports, nodes, VAP
// records, host sets, and the node of a request about one flow on one
// node); the latter carry the flow id next and their own fields after it.
constexpr size_t REQ_ID = 0;
constexpr size_t REQ_FLOW = 4;
constexpr size_t REQ_ON_FLOW = 16;

constexpr size_t MEMPOOL_NAME = 4; // after its u32 length

// Records: a socket opens with its address, the id the data plane gives
// it follows; a node's id is written over its first word; a flow names
// its node and its id.
constexpr size_t SOCKET_ADDR = 0;
constexpr size_t SOCKET_ID = FRL_SOCKADDR_SIZE;
constexpr size_t SOCKET_PROTO = 32;
constexpr size_t NODE_ID = 0;
constexpr size_t FLOW_NODE = 12;
constexpr size_t FLOW_ID = 16;

// Requests about a flow by its id alone (read, remove, its groups).
constexpr size_t FLOW_REQ_ID = 0;
constexpr size_t GROUPS_COUNT = 12;
constexpr size_t GROUPS_ENTRIES = 16;

constexpr size_t VAP_RECORD = 8; // after the node and a zero word
constexpr size_t HOSTS_SET = 4;
constexpr size_t HOSTS_LENGTH = 8;
constexpr size_t HOSTS_TEXT = 12;

constexpr size_t KEY_INDEX = REQ_ON_FLOW; // u32 value, then a one-byte value
constexpr size_t KEY_INDEX_SIZE = 5;
constexpr size_t KEY_LENGTH = REQ_ON_FLOW + 5;
constexpr size_t KEY = REQ_ON_FLOW + 6;
constexpr size_t LIMITS = REQ_ON_FLOW;
constexpr size_t RULES_COUNT = REQ_ON_FLOW;
constexpr size_t RULES = REQ_ON_FLOW + 4;
constexpr size_t URL_LENGTH = REQ_ON_FLOW;
constexpr size_t URL = REQ_ON_FLOW + 4;

// Replies: a list opens with its count; a pool's statistics record comes
// before the count of its entries.
constexpr size_t LIST_COUNT = 0;
constexpr size_t MEMPOOL_COUNT = FRL_POOL_STATS_SIZE;

// --- replies -----------------------------------------------------------

bytes reply_status(uint32_t err)
{
    bytes r(FRL_MSG_HDR_SIZE, 0);
    frl_store32(r.data() + 4, err);
    return r;
}

bytes reply_record(uint32_t type, const bytes &record)
{
    bytes r(FRL_MSG_HDR_SIZE, 0);
    frl_store32(r.data(), type);
    r.insert(r.end(), record.begin(), record.end());
    return r;
}

// A list reply: the fixed body (the count, then padding up to body_len),
// then the records.
bytes reply_list(uint32_t type, size_t body_len, const std::vector<const bytes *> &records)
{
    bytes r(BODY + body_len, 0);
    frl_store32(r.data(), type);
    frl_store32(r.data() + BODY + LIST_COUNT, static_cast<uint32_t>(records.size()));
    for (const bytes *rec : records)
        r.insert(r.end(), rec->begin(), rec->end());
    return r;
}

// The offset of the count in a list reply, for the huge-count fault.
size_t list_count_at(uint32_t type)
{
    switch (type) {
    case FRL_MSG_MEMPOOL:
        return BODY + MEMPOOL_COUNT;
    case FRL_MSG_MEMPOOL_LIST:
    case FRL_MSG_FABRIC:
    case FRL_MSG_XSK:
    case FRL_MSG_DEVICE_LIST:
    case FRL_MSG_NODE_LIST:
    case FRL_MSG_FLOW_LIST:
    case FRL_MSG_FLOW_GROUP_LIST:
    case FRL_MSG_HOST_LIST:
        return BODY + LIST_COUNT;
    default:
        return 0;
    }
}

// --- the model ---------------------------------------------------------

key12 key_of(const uint8_t *p, size_t n)
{
    return key12(reinterpret_cast<const char *>(p), n);
}

bool node_exists(uint32_t id)
{
    return S.m.nodes.count(id) != 0;
}

const bytes &record_of(const bytes &record)
{
    return record;
}

const bytes &record_of(const flow_state &flow)
{
    return flow.record;
}

// Every record of a table, as a list reply.
template <class Table> bytes reply_each(uint32_t type, const Table &table)
{
    std::vector<const bytes *> recs;
    for (auto &[k, v] : table)
        recs.push_back(&record_of(v));
    return reply_list(type, 8, recs);
}

// Takes a record out of its table, answering with it as the removed record.
template <class Table, class Key>
bytes remove_record(Table &table, const Key &key, uint32_t removed_type)
{
    auto it = table.find(key);
    if (it == table.end())
        return reply_status(ENOENT);
    bytes reply = reply_record(removed_type, it->second);
    table.erase(it);
    return reply;
}

const key12 broadcast_flow("\0\0\0\0\0\0\xff\xff\xff\xff\xff\xff", 12);

// One request, its length checked against what its body says.
struct request {
    uint32_t type;
    uint8_t op;          // header byte 7
    uint64_t count;      // of the counted part; 0 for types without one
    size_t element;      // bytes per counted element
    const uint8_t *body;

    uint32_t id() const { return frl_load32(body + REQ_ID); }
    key12 flow() const { return key_of(body + REQ_FLOW, sizeof(flow_id)); }
};

using request_fn = bytes (*)(const request &r);

// One request type: its fixed body, where its count lies (from the message
// start, 0 for none) and what it counts, and its handler.
struct request_kind {
    size_t fixed; // header included
    size_t count_at;
    size_t element;
    bool byte_count; // a one-byte count (the key length of type 85)
    request_fn handle;
};

bytes get_mempool(const request &r)
{
    // One pool, named "packet"; the statistics record opens with its name.
    const uint8_t *name = r.body + MEMPOOL_NAME;
    if (r.count && (name[r.count - 1] != '\0' || strcmp(reinterpret_cast<const char *>(name), "packet") != 0))
        return reply_status(ENOENT);
    bytes stats(FRL_POOL_STATS_SIZE + 4, 0);
    memcpy(stats.data(), "packet", 6);
    return reply_record(FRL_MSG_MEMPOOL, stats);
}

bytes dump_mempools(const request &)
{
    bytes stats(FRL_POOL_STATS_SIZE, 0);
    memcpy(stats.data(), "packet", 6);
    return reply_list(FRL_MSG_MEMPOOL_LIST, 4, {&stats});
}

// --- fabric and AF_XDP records ---------------------------------------------

// By default a process reports one fabric link to each other data plane
// under its prefix and two AF_XDP sockets; `fabric N` and `xsk N` script
// other counts (-1: back to the default).
struct link_model {
    std::string prefix;
    long fabric = -1;
    long xsk = -1;
};
link_model L;

// The data planes whose sockets sit beside this one: PREFIX.DIGITS.
size_t data_planes()
{
    std::string dir = ".", base = L.prefix;
    if (size_t slash = L.prefix.rfind('/'); slash != std::string::npos) {
        dir = slash ? L.prefix.substr(0, slash) : "/";
        base = L.prefix.substr(slash + 1);
    }
    size_t n = 0;
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (name.size() <= base.size() + 1 || name.compare(0, base.size(), base) != 0 ||
                name[base.size()] != '.')
                continue;
            n += name.find_first_not_of("0123456789", base.size() + 1) == std::string::npos;
        }
        closedir(d);
    }
    return n;
}

template <class T> void put_host(bytes &rec, size_t at, T v)
{
    memcpy(rec.data() + at, &v, sizeof(v));
}

bytes get_fabric(const request &)
{
    size_t planes = data_planes();
    size_t n = L.fabric >= 0 ? static_cast<size_t>(L.fabric) : planes ? planes - 1 : 0;
    std::vector<bytes> recs(n, bytes(FRL_FABRIC_SIZE, 0));
    for (size_t i = 0; i < n; i++) {
        recs[i][0] = 0;                                                  // fabLocalPort
        recs[i][1] = static_cast<uint8_t>(i + 1);                        // fabRemotePort
        put_host<uint16_t>(recs[i], 2, 1024);                            // fabRingSize
        put_host<uint16_t>(recs[i], 4, 2048);                            // fabChunkSize
        put_host<uint16_t>(recs[i], 6, 1920);                            // fabBufferSize
        put_host<uint32_t>(recs[i], 8, 4096);                            // fabBufferCount
        put_host<uint32_t>(recs[i], 12, static_cast<uint32_t>(100 + i)); // fabInputPackets
    }
    std::vector<const bytes *> ptrs;
    for (auto &r : recs)
        ptrs.push_back(&r);
    return reply_list(FRL_MSG_FABRIC, 4, ptrs);
}

bytes get_xsk(const request &)
{
    size_t n = L.xsk >= 0 ? static_cast<size_t>(L.xsk) : 2;
    std::vector<bytes> recs(n, bytes(FRL_XSK_SIZE, 0));
    for (size_t i = 0; i < n; i++) {
        put_host<uint32_t>(recs[i], 0, 1);                                // xskIfIndex
        put_host<int16_t>(recs[i], 4, static_cast<int16_t>(i));           // xskQueueId
        recs[i][6] = 0;                                                   // xskZeroCopy
        recs[i][7] = 1;                                                   // xskOperation
        put_host<uint32_t>(recs[i], 8, 2048);                             // xskRingSize
        put_host<uint32_t>(recs[i], 32, static_cast<uint32_t>(getpid())); // xskInputPackets
    }
    std::vector<const bytes *> ptrs;
    for (auto &r : recs)
        ptrs.push_back(&r);
    return reply_list(FRL_MSG_XSK, 4, ptrs);
}

std::string link_command(const std::string &line)
{
    char what[8] = "";
    long n = 0;
    if (sscanf(line.c_str(), "%7s %ld", what, &n) != 2 || n < -1 || n > 1000)
        return "error: usage: fabric|xsk COUNT\n";
    (strcmp(what, "fabric") == 0 ? L.fabric : L.xsk) = n;
    return "ok\n";
}

bytes add_port(const request &r)
{
    bytes rec(r.body, r.body + FRL_PORT_SIZE);
    if (!S.m.ports.emplace(r.id(), rec).second)
        return reply_status(EEXIST);
    shm_writer_port_added(r.id());
    return reply_record(FRL_MSG_PORT, rec);
}

bytes remove_port(const request &r)
{
    if (S.m.ports.count(r.id())) shm_writer_port_removed(r.id());
    return remove_record(S.m.ports, r.id(), FRL_MSG_PORT_REMOVED);
}

bytes dump_devices(const request &)
{
    return reply_each(FRL_MSG_DEVICE_LIST, S.m.ports);
}

bytes add_socket(const request &r)
{
    key12 addr = key_of(r.body + SOCKET_ADDR, FRL_SOCKADDR_SIZE);
    if (S.m.sockets.count(addr))
        return reply_status(EEXIST);
    bytes rec(r.body, r.body + FRL_SOCKET_SIZE);
    frl_store32(rec.data() + SOCKET_ID, S.m.next_socket++);
    S.m.sockets[addr] = rec;
    return reply_record(FRL_MSG_SOCKET, rec);
}

bytes remove_socket(const request &r)
{
    return remove_record(S.m.sockets, key_of(r.body + SOCKET_ADDR, FRL_SOCKADDR_SIZE),
                         FRL_MSG_SOCKET_REMOVED);
}

bytes add_node(const request &r)
{
    bytes rec(r.body, r.body + FRL_NODE_SIZE);
    uint32_t id = S.m.next_node++;
    frl_store32(rec.data() + NODE_ID, id);
    S.m.nodes[id] = rec;
    return reply_record(FRL_MSG_NODE, rec);
}

bytes remove_node(const request &r)
{
    model &m = S.m;
    uint32_t id = r.id();
    auto it = m.nodes.find(id);
    if (it == m.nodes.end())
        return reply_status(ENOENT);
    for (auto &[k, f] : m.flows)
        if (frl_load32(f.record.data() + FLOW_NODE) == id)
            return reply_status(EBUSY); // its flows go first
    bytes reply = reply_record(FRL_MSG_NODE_REMOVED, it->second);
    m.nodes.erase(it);
    m.vaps.erase(id);
    for (auto c = m.configs.begin(); c != m.configs.end();)
        c = c->first.first == id ? m.configs.erase(c) : std::next(c);
    return reply;
}

bytes dump_nodes(const request &)
{
    return reply_each(FRL_MSG_NODE_LIST, S.m.nodes);
}

// Add and modify.
bytes put_flow(const request &r)
{
    bytes rec(r.body, r.body + FRL_FLOW_SIZE);
    uint32_t node = frl_load32(rec.data() + FLOW_NODE);
    // Each node's broadcast flow gets an id of its own: ff:ff and the node id.
    if (r.type == FRL_MSG_ADD_FLOW &&
        key_of(rec.data() + FLOW_ID, sizeof(flow_id)) == broadcast_flow)
        frl_store32(rec.data() + FLOW_ID + 8, node);
    key12 k = key_of(rec.data() + FLOW_ID, sizeof(flow_id));
    if (!node_exists(node)) return reply_status(ENOENT);
    bool known = S.m.flows.count(k);
    if (r.type == FRL_MSG_ADD_FLOW && known)
        return reply_status(EEXIST);
    if (r.type == FRL_MSG_MODIFY_FLOW && !known)
        return reply_status(ENOENT);
    S.m.flows[k].record = rec;
    return reply_record(FRL_MSG_FLOW, rec);
}

// Read and remove.
bytes take_flow(const request &r)
{
    auto it = S.m.flows.find(key_of(r.body + FLOW_REQ_ID, sizeof(flow_id)));
    if (it == S.m.flows.end())
        return reply_status(ENOENT);
    if (r.type == FRL_MSG_READ_FLOW)
        return reply_list(FRL_MSG_FLOW_LIST, 8, {&it->second.record});
    bytes reply = reply_record(FRL_MSG_FLOW_REMOVED, it->second.record);
    // Its rules, URL, limits and keys go with it, on every node: a model that
    // kept them would grow with each flow ever made.
    for (auto c = S.m.configs.begin(); c != S.m.configs.end();)
        c = c->first.second == it->first ? S.m.configs.erase(c) : std::next(c);
    S.m.flows.erase(it);
    return reply;
}

bytes dump_flows(const request &)
{
    return reply_each(FRL_MSG_FLOW_LIST, S.m.flows);
}

bytes get_flow_groups(const request &r)
{
    auto it = S.m.flows.find(key_of(r.body + FLOW_REQ_ID, sizeof(flow_id)));
    if (it == S.m.flows.end())
        return reply_status(ENOENT);
    std::vector<bytes> entries;
    for (auto &g : it->second.groups)
        entries.emplace_back(g.begin(), g.end());
    std::vector<const bytes *> recs;
    for (auto &e : entries)
        recs.push_back(&e);
    return reply_list(FRL_MSG_FLOW_GROUP_LIST, 4, recs);
}

bytes set_flow_groups(const request &r)
{
    auto it = S.m.flows.find(key_of(r.body + FLOW_REQ_ID, sizeof(flow_id)));
    if (it == S.m.flows.end())
        return reply_status(ENOENT);
    if (r.op > FRL_LIST_REMOVE)
        return reply_status(EINVAL);
    auto &g = it->second.groups;
    if (r.op == FRL_LIST_REPLACE)
        g.clear();
    for (uint64_t i = 0; i < r.count; i++) {
        std::string e = key_of(r.body + GROUPS_ENTRIES + i * FRL_GROUP_ENTRY_SIZE, FRL_GROUP_ENTRY_SIZE);
        auto at = std::find(g.begin(), g.end(), e);
        if (r.op == FRL_LIST_REMOVE && at != g.end())
            g.erase(at);
        else if (r.op != FRL_LIST_REMOVE && at == g.end())
            g.push_back(e);
    }
    return reply_status(0);
}

bytes get_vap(const request &r)
{
    if (!node_exists(r.id()))
        return reply_status(ENOENT);
    auto it = S.m.vaps.find(r.id());
    return reply_record(FRL_MSG_VAP, it != S.m.vaps.end() ? it->second : bytes(FRL_VAP_SIZE, 0));
}

bytes set_vap(const request &r)
{
    if (!node_exists(r.id()))
        return reply_status(ENOENT);
    S.m.vaps[r.id()] = bytes(r.body + VAP_RECORD, r.body + VAP_RECORD + FRL_VAP_SIZE);
    return reply_status(0);
}

bytes get_hosts(const request &r)
{
    if (!node_exists(r.id()))
        return reply_status(ENOENT);
    std::vector<bytes> recs;
    for (const auto &h : S.m.hostsets[{r.id(), frl_load32(r.body + HOSTS_SET)}]) {
        bytes rec(FRL_HOST_SIZE, 0);
        memcpy(rec.data(), h.data(), std::min(h.size(), FRL_HOST_SIZE - 1));
        recs.push_back(rec);
    }
    std::vector<const bytes *> ptrs;
    for (auto &rec : recs)
        ptrs.push_back(&rec);
    return reply_list(FRL_MSG_HOST_LIST, 4, ptrs);
}

bytes set_hosts(const request &r)
{
    if (!node_exists(r.id()))
        return reply_status(ENOENT);
    const uint8_t *text = r.body + HOSTS_TEXT;
    if (r.op > FRL_LIST_REMOVE || (r.count && text[r.count - 1] != '\0'))
        return reply_status(EINVAL);
    auto &set = S.m.hostsets[{r.id(), frl_load32(r.body + HOSTS_SET)}];
    if (r.op == FRL_LIST_REPLACE)
        set.clear();
    if (r.count > 1) {
        std::string t(reinterpret_cast<const char *>(text));
        if (r.op == FRL_LIST_REMOVE)
            set.erase(t);
        else
            set.insert(t);
    }
    return reply_status(0);
}

// Requests about one flow on one node: the node must exist; the broadcast
// flow counts as known on every node. Their settings are kept whether the
// flow is known or not.
struct flow_target {
    bool known;
    flow_config *config;
};

bytes on_flow(const request &r, bytes (*then)(const request &, const flow_target &))
{
    if (!node_exists(r.id()))
        return reply_status(ENOENT);
    key12 fid = r.flow();
    flow_target t{fid == broadcast_flow || S.m.flows.count(fid) != 0, &S.m.configs[{r.id(), fid}]};
    return then(r, t);
}

template <bytes (*Then)(const request &, const flow_target &)> bytes flow_request(const request &r)
{
    return on_flow(r, Then);
}

bytes flow_stats(const request &r, const flow_target &t)
{
    if (!t.known)
        return reply_status(ENOENT);
    bytes rec(FRL_FLOW_STATS_SIZE, 0);
    memcpy(rec.data(), r.body + REQ_FLOW, sizeof(flow_id));
    return reply_record(FRL_MSG_FLOW_STATS, rec);
}

// Associate, disassociate, activate a key, set its state: acknowledged only.
bytes flow_ack(const request &, const flow_target &t)
{
    return reply_status(t.known ? 0 : ENOENT);
}

// The reason is noted: tests tell an idle station's end from others by it.
bytes disassociate(const request &r, const flow_target &t)
{
    note("disassociate node=%u flow=%s reason=%u", r.id(), hex(r.body + REQ_FLOW, 12).c_str(),
         frl_load16(r.body + REQ_ON_FLOW));
    return flow_ack(r, t);
}

bytes install_key(const request &r, const flow_target &t)
{
    t.config->keys[key_of(r.body + KEY_INDEX, KEY_INDEX_SIZE)] = bytes(r.body + KEY, r.body + KEY + r.count);
    return reply_status(0);
}

bytes get_tsc(const request &, const flow_target &)
{
    return reply_record(FRL_MSG_TSC, bytes(FRL_TSC_SIZE, 0));
}

bytes set_limits(const request &r, const flow_target &t)
{
    t.config->limits.assign(r.body + LIMITS, r.body + LIMITS + FRL_LIMITS_SIZE);
    return reply_status(0);
}

// MAC and IP rule chunks: the first replaces the list, the others append.
bytes set_rules(const request &r, const flow_target &t)
{
    if (r.op > FRL_CHUNK_MORE)
        return reply_status(EINVAL);
    bytes &rules = r.type == FRL_MSG_SET_IP_RULES ? t.config->ip_rules : t.config->mac_rules;
    if (r.op == FRL_CHUNK_FIRST)
        rules.clear();
    rules.insert(rules.end(), r.body + RULES, r.body + RULES + r.count * r.element);
    return reply_status(0);
}

bytes set_redirect(const request &r, const flow_target &t)
{
    const uint8_t *url = r.body + URL;
    if (r.count && url[r.count - 1] != '\0')
        return reply_status(EINVAL);
    t.config->url = r.count ? reinterpret_cast<const char *>(url) : "";
    return reply_status(0);
}

// The requests this stand-in serves, by type; any other is refused.
constexpr std::array<request_kind, FRL_MSG_TYPE_MAX + 1> make_requests()
{
    std::array<request_kind, FRL_MSG_TYPE_MAX + 1> t{};
    // A fixed body, or one with a counted part.
    auto fixed = [&t](uint32_t type, size_t body, request_fn fn) { t[type] = {BODY + body, 0, 0, false, fn}; };
    auto counted = [&t](uint32_t type, size_t body, size_t count_at, size_t element, request_fn fn) {
        t[type] = {BODY + body, BODY + count_at, element, false, fn};
    };
    counted(FRL_MSG_GET_MEMPOOL, 4, 0, 1, get_mempool);
    fixed(FRL_MSG_DUMP_MEMPOOLS, 0, dump_mempools);
    fixed(FRL_MSG_GET_FABRIC, 0, get_fabric);
    fixed(FRL_MSG_GET_XSK, 0, get_xsk);
    fixed(FRL_MSG_ADD_PORT, FRL_PORT_SIZE, add_port);
    fixed(FRL_MSG_REMOVE_PORT, 4, remove_port);
    fixed(FRL_MSG_DUMP_DEVICES, 0, dump_devices);
    fixed(FRL_MSG_ADD_SOCKET, FRL_SOCKET_SIZE, add_socket);
    fixed(FRL_MSG_REMOVE_SOCKET, FRL_SOCKADDR_SIZE, remove_socket);
    counted(FRL_MSG_ADD_NODE, FRL_NODE_SIZE + 4, FRL_NODE_SIZE, FRL_NODE_ENTRY_SIZE, add_node);
    fixed(FRL_MSG_REMOVE_NODE, 4, remove_node);
    fixed(FRL_MSG_DUMP_NODES, 0, dump_nodes);
    fixed(FRL_MSG_ADD_FLOW, FRL_FLOW_SIZE, put_flow);
    fixed(FRL_MSG_MODIFY_FLOW, FRL_FLOW_SIZE, put_flow);
    fixed(FRL_MSG_READ_FLOW, sizeof(flow_id), take_flow);
    fixed(FRL_MSG_REMOVE_FLOW, sizeof(flow_id), take_flow);
    fixed(FRL_MSG_DUMP_FLOWS, 0, dump_flows);
    fixed(FRL_MSG_GET_FLOW_GROUPS, sizeof(flow_id), get_flow_groups);
    counted(FRL_MSG_SET_FLOW_GROUPS, GROUPS_ENTRIES, GROUPS_COUNT, FRL_GROUP_ENTRY_SIZE, set_flow_groups);
    fixed(FRL_MSG_GET_VAP, 4, get_vap);
    fixed(FRL_MSG_SET_VAP, VAP_RECORD + FRL_VAP_SIZE, set_vap);
    fixed(FRL_MSG_GET_HOSTS, HOSTS_SET + 4, get_hosts);
    counted(FRL_MSG_SET_HOSTS, HOSTS_TEXT, HOSTS_LENGTH, 1, set_hosts);
    fixed(FRL_MSG_GET_FLOW_STATS, REQ_ON_FLOW, flow_request<flow_stats>);
    fixed(FRL_MSG_ASSOCIATE, REQ_ON_FLOW + FRL_ASSOC_SIZE, flow_request<flow_ack>);
    fixed(FRL_MSG_DISASSOCIATE, REQ_ON_FLOW + 2, flow_request<disassociate>);
    t[FRL_MSG_INSTALL_KEY] = {BODY + KEY, BODY + KEY_LENGTH, 1, true, flow_request<install_key>};
    fixed(FRL_MSG_ACTIVATE_KEY, REQ_ON_FLOW, flow_request<flow_ack>);
    fixed(FRL_MSG_SET_KEY_STATE, REQ_ON_FLOW + 1, flow_request<flow_ack>);
    fixed(FRL_MSG_GET_TSC, REQ_ON_FLOW + 1, flow_request<get_tsc>);
    fixed(FRL_MSG_SET_LIMITS, LIMITS + FRL_LIMITS_SIZE, flow_request<set_limits>);
    counted(FRL_MSG_SET_MAC_RULES, RULES, RULES_COUNT, FRL_MAC_RULE_SIZE, flow_request<set_rules>);
    counted(FRL_MSG_SET_IP_RULES, RULES, RULES_COUNT, FRL_IP_RULE_SIZE, flow_request<set_rules>);
    counted(FRL_MSG_SET_REDIRECT, URL, URL_LENGTH, 1, flow_request<set_redirect>);
    return t;
}

constexpr std::array<request_kind, FRL_MSG_TYPE_MAX + 1> requests = make_requests();

const request_kind *kind_of(uint32_t type)
{
    return type < requests.size() && requests[type].handle ? &requests[type] : nullptr;
}

uint64_t count_of(const request_kind *k, const uint8_t *p)
{
    if (!k->count_at)
        return 0;
    return k->byte_count ? p[k->count_at] : frl_load32(p + k->count_at);
}

bytes handle(const uint8_t *p, size_t len)
{
    const request_kind *k = kind_of(frl_load32(p));
    if (!k)
        return reply_status(EOPNOTSUPP);
    if (len < k->fixed)
        return reply_status(EINVAL);
    request r{frl_load32(p), p[7], count_of(k, p), k->element, p + BODY};
    if (len != k->fixed + r.count * k->element)
        return reply_status(EINVAL);
    return k->handle(r);
}

void journal_request(const uint8_t *p, size_t len)
{
    if (len < BODY) {
        note("req ? len=%zu", len);
        return;
    }
    uint32_t type = frl_load32(p);
    const request_kind *k = kind_of(type);
    if (k && k->count_at && len >= k->fixed)
        note("req %u len=%zu op=%u count=%u", type, len, p[7],
             static_cast<unsigned>(count_of(k, p)));
    else
        note("req %u len=%zu op=%u", type, len, p[7]);
}

void sleep_ms(uint64_t ms)
{
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
    while (nanosleep(&ts, &ts) < 0 && errno == EINTR) {
    }
}

// Applies the first fault scripted for this type; false when none.
bool take_fault(uint32_t type, fault *out)
{
    for (auto it = S.faults.begin(); it != S.faults.end(); ++it) {
        if (it->type != type)
            continue;
        *out = *it;
        if (it->times && --it->times == 0)
            S.faults.erase(it);
        return true;
    }
    return false;
}

bytes serve(const uint8_t *p, size_t len)
{
    journal_request(p, len);
    uint32_t type = len >= 4 ? frl_load32(p) : UINT32_MAX;
    fault f;
    if (!take_fault(type, &f))
        return handle(p, len);
    switch (f.kind) {
    case fault_kind::error:
        return reply_status(static_cast<uint32_t>(f.arg));
    case fault_kind::die:
        note("die");
        _exit(3);
    default:
        break;
    }
    bytes r = handle(p, len);
    switch (f.kind) {
    case fault_kind::short_reply:
        r.resize(r.size() > f.arg ? r.size() - f.arg : 0);
        break;
    case fault_kind::late:
        sleep_ms(f.arg);
        break;
    case fault_kind::wrong_type:
        frl_store32(r.data(), static_cast<uint32_t>(f.arg));
        break;
    case fault_kind::count: {
        size_t at = list_count_at(frl_load32(r.data()));
        if (at && r.size() >= at + 4)
            frl_store32(r.data() + at, static_cast<uint32_t>(f.arg));
        break;
    }
    default:
        break;
    }
    return r;
}

// The server calls again with a larger buffer when the reply did not fit:
// the request must not be applied twice.
int finish(bytes r, uint8_t *payload, size_t cap)
{
    if (r.size() > cap) {
        S.pending = std::move(r);
        S.pending_valid = true;
        return static_cast<int>(S.pending.size());
    }
    if (!r.empty())
        memcpy(payload, r.data(), r.size());
    return static_cast<int>(r.size());
}

int data_request(void *, uint8_t *payload, size_t len, size_t cap, int)
{
    if (S.pending_valid) {
        S.pending_valid = false;
        return finish(std::move(S.pending), payload, cap);
    }
    return finish(serve(payload, len), payload, cap);
}

void data_message(void *, const uint8_t *payload, size_t len)
{
    uint32_t type = len >= 4 ? frl_load32(payload) : UINT32_MAX;
    if (type < 256)
        S.m.frames_in[type]++;
    if (type == FRL_MSG_OUTPUT_PACKET && len >= FRL_PACKET_HDR_SIZE &&
        payload[FRL_PACKET_ENCAP] == FRL_ENCAP_IP)
        bridge_output_packet(payload + FRL_PACKET_HDR_SIZE, len - FRL_PACKET_HDR_SIZE);
    if (type == FRL_MSG_FRAME && len >= FRL_FRAME_HDR_SIZE && payload[FRL_FRAME_CLASS] == 1 &&
        payload[FRL_FRAME_ENCAP] == FRL_ENCAP_ETHER)
        bridge_output_frame(payload + FRL_FRAME_FLOW, payload + FRL_FRAME_HDR_SIZE,
                            len - FRL_FRAME_HDR_SIZE);
    if (type == FRL_MSG_FRAME_SNOOP && len >= FRL_FRAME_HDR_SIZE && payload[FRL_FRAME_CLASS] < 2 &&
        payload[FRL_FRAME_ENCAP] == FRL_ENCAP_ETHER)
        bridge_output_snooped(payload + FRL_FRAME_FLOW, payload[FRL_FRAME_CLASS],
                              payload + FRL_FRAME_HDR_SIZE, len - FRL_FRAME_HDR_SIZE);
    if (!S.journal_on)
        return;
    if (len >= FRL_FRAME_HDR_SIZE && (type == FRL_MSG_FRAME || type == FRL_MSG_FRAME_SNOOP))
        note("msg %u len=%zu node=%u flow=%s class=%u encap=%u prio=%u data=%s", type, len,
             frl_load32(payload + FRL_FRAME_NODE), hex(payload + FRL_FRAME_FLOW, 12).c_str(),
             payload[FRL_FRAME_CLASS], payload[FRL_FRAME_ENCAP], payload[FRL_FRAME_PRIO],
             hex(payload + FRL_FRAME_HDR_SIZE, len - FRL_FRAME_HDR_SIZE).c_str());
    else if (len >= FRL_PACKET_HDR_SIZE && type == FRL_MSG_OUTPUT_PACKET)
        note("msg %u len=%zu device=%u encap=%u prio=%u data=%s", type, len,
             frl_load32(payload + FRL_PACKET_DEVICE), payload[FRL_PACKET_ENCAP],
             payload[FRL_PACKET_PRIO],
             hex(payload + FRL_PACKET_HDR_SIZE, len - FRL_PACKET_HDR_SIZE).c_str());
    else
        note("msg %u len=%zu", type, len);
}

int data_subscribe(void *, list_link *, const uint8_t *key, size_t len)
{
    note("join %s", hex(key, len).c_str());
    return 0;
}

int data_health(void *)
{
    return S.health_nak ? -1 : 0;
}

// --- control -----------------------------------------------------------

bool parse_fault(const char *line, std::string *err)
{
    char kind[16];
    unsigned type = 0;
    unsigned long long arg = 0;
    unsigned times = 1;
    int n = sscanf(line, "fault %15s %u %llu %u", kind, &type, &arg, &times);
    if (n < 2) {
        *err = "usage: fault KIND TYPE [ARG] [TIMES]";
        return false;
    }
    fault f{fault_kind::error, type, arg, times};
    std::string k = kind;
    if (k == "errno")
        f.kind = fault_kind::error;
    else if (k == "short")
        f.kind = fault_kind::short_reply, f.arg = n >= 3 ? arg : 1;
    else if (k == "late")
        f.kind = fault_kind::late, f.arg = n >= 3 ? arg : 5000;
    else if (k == "type")
        f.kind = fault_kind::wrong_type;
    else if (k == "count")
        f.kind = fault_kind::count, f.arg = n >= 3 ? arg : UINT32_MAX;
    else if (k == "die")
        f.kind = fault_kind::die;
    else {
        *err = "unknown fault " + k;
        return false;
    }
    S.faults.push_back(f);
    return true;
}

// Sends a message to every member once, or to those of one group key.
int inject(const bytes &msg, const bytes *key)
{
    std::set<std::string> done;
    int sent = 0;
    for (userver_member *mem : list_records<&userver_member::member>(&S.data->members)) {
        if (key && (mem->keylen != key->size() || memcmp(mem->key, key->data(), key->size()) != 0))
            continue;
        std::string who(reinterpret_cast<const char *>(&mem->addr.sun), mem->addr.len);
        if (!key && !done.insert(who).second)
            continue;
        if (userver_notify(S.data, mem, msg.data(), msg.size()) == 0)
            sent++;
    }
    return sent;
}

// Packet bytes of an injected frame: hex, "-" for none, or "*N" for N bytes
// counting up from 0 (frames too long to write out).
bool parse_data(const char *text, bytes *out)
{
    if (strcmp(text, "-") == 0) {
        out->clear();
        return true;
    }
    if (*text == '*') {
        size_t n = 0;
        const char *end = text + strlen(text);
        auto [at, ec] = std::from_chars(text + 1, end, n);
        if (ec != std::errc() || at != end || n > UMSG_MESSAGE_MAX)
            return false;
        out->resize(n);
        for (size_t i = 0; i < n; i++)
            (*out)[i] = static_cast<uint8_t>(i);
        return true;
    }
    return unhex(text, out);
}

// frame TYPE NODE FLOWHEX CLASS ENCAP PRIO DATA (types 42-44), or
// packet DEVICE ENCAP PRIO DATA (type 45): a frame or packet diverted to the
// control plane, built here and sent as notify sends.
std::string inject_frame(const std::string &line)
{
    unsigned type = FRL_MSG_DIVERTED_PACKET, id = 0, cls = 0, encap = 0, prio = 0;
    char fid[32] = "";
    int used = 0;
    bool frame = line.rfind("frame ", 0) == 0;
    bool ok = frame ? sscanf(line.c_str(), "frame %u %u %31s %u %u %u %n", &type, &id, fid, &cls,
                             &encap, &prio, &used) == 6
                    : sscanf(line.c_str(), "packet %u %u %u %n", &id, &encap, &prio, &used) == 3;
    bytes flow, payload;
    ok = ok && used > 0 && encap < 256 && prio < 256 && cls < 256 &&
         parse_data(line.c_str() + used, &payload);
    if (frame)
        ok = ok && type >= FRL_MSG_FRAME && type <= FRL_MSG_FRAME_COPY && unhex(fid, &flow) &&
             flow.size() == 12;
    if (!ok)
        return frame ? "error: usage: frame TYPE NODE FLOWID CLASS ENCAP PRIO DATA\n"
                     : "error: usage: packet DEVICE ENCAP PRIO DATA\n";
    bytes msg(frame ? FRL_FRAME_HDR_SIZE : FRL_PACKET_HDR_SIZE, 0);
    frl_store32(msg.data(), type);
    if (frame) {
        frl_store32(msg.data() + FRL_FRAME_NODE, id);
        memcpy(msg.data() + FRL_FRAME_FLOW, flow.data(), 12);
        msg[FRL_FRAME_CLASS] = static_cast<uint8_t>(cls);
        msg[FRL_FRAME_ENCAP] = static_cast<uint8_t>(encap);
        msg[FRL_FRAME_PRIO] = static_cast<uint8_t>(prio);
    } else {
        frl_store32(msg.data() + FRL_PACKET_DEVICE, id);
        msg[FRL_PACKET_ENCAP] = static_cast<uint8_t>(encap);
        msg[FRL_PACKET_PRIO] = static_cast<uint8_t>(prio);
    }
    msg.insert(msg.end(), payload.begin(), payload.end());
    return "sent " + std::to_string(inject(msg, nullptr)) + "\n";
}

// --- the bridge's view of the model -----------------------------------

uint8_t bridge_transport_of(const uint8_t addr[FRL_SOCKADDR_SIZE], bool gre)
{
    sa_family_t family;
    memcpy(&family, addr, sizeof(family));
    size_t at =
        family == AF_INET ? offsetof(sockaddr_in, sin_addr) : offsetof(sockaddr_in6, sin6_addr);
    size_t n = family == AF_INET ? 4 : 16;
    for (auto &[key, rec] : S.m.sockets) {
        auto proto = static_cast<uint8_t>(frl_load32(rec.data() + SOCKET_PROTO));
        if (memcmp(rec.data(), &family, sizeof(family)) || memcmp(rec.data() + at, addr + at, n) ||
            gre != (proto == UGWD_TRANSPORT_GRE))
            continue;
        // A GRE socket's port holds the IP protocol: the packet had it.
        if (gre || !memcmp(rec.data() + offsetof(sockaddr_in, sin_port),
                           addr + offsetof(sockaddr_in, sin_port), 2))
            return proto;
    }
    return 0;
}

// The daemon's ids of tunnel flows: 2, the transport and the IPv4 address,
// then the station; an IPv6 one hashes the address, so only its form and the
// station are compared.
uint8_t *bridge_flow_of(uint8_t transport, const uint8_t *peer, bool v6, const uint8_t mac[6])
{
    if (!v6) {
        uint8_t id[12] = {2, transport, peer[0], peer[1], peer[2], peer[3]};
        memcpy(id + 6, mac, 6);
        auto it = S.m.flows.find(key_of(id, 12));
        return it == S.m.flows.end() ? nullptr : it->second.record.data();
    }
    for (auto &[id, flow] : S.m.flows)
        if (id[0] == 2 && id[1] == 0 && !memcmp(id.data() + 6, mac, 6)) return flow.record.data();
    return nullptr;
}

void bridge_divert(uint32_t device, const uint8_t *packet, size_t len)
{
    bytes msg(FRL_PACKET_HDR_SIZE, 0);
    frl_store32(msg.data(), FRL_MSG_DIVERTED_PACKET);
    frl_store32(msg.data() + FRL_PACKET_DEVICE, device);
    msg[FRL_PACKET_ENCAP] = FRL_ENCAP_IP;
    msg.insert(msg.end(), packet, packet + len);
    inject(msg, nullptr);
}

// The snooping node: a process's second base node (kind 11, index 1).
bool bridge_snoop(const uint8_t flow[12], uint8_t cls, const uint8_t *frame, size_t len)
{
    for (auto &[id, rec] : S.m.nodes) {
        if (rec[FRL_NODE_KIND] != 11 || frl_load32(rec.data() + FRL_NODE_BASE_INDEX) != 1) continue;
        bytes msg(FRL_FRAME_HDR_SIZE, 0);
        frl_store32(msg.data(), FRL_MSG_FRAME_SNOOP);
        frl_store32(msg.data() + FRL_FRAME_NODE, id);
        memcpy(msg.data() + FRL_FRAME_FLOW, flow, 12);
        msg[FRL_FRAME_CLASS] = cls;
        msg[FRL_FRAME_ENCAP] = FRL_ENCAP_ETHER;
        msg.insert(msg.end(), frame, frame + len);
        inject(msg, nullptr);
        return true;
    }
    return false;
}

const bridge_hooks hooks = {.transport_of = bridge_transport_of,
                            .flow_of = bridge_flow_of,
                            .divert = bridge_divert,
                            .snoop = bridge_snoop};

std::string command(const std::string &line)
{
    std::string err;
    if (std::string out = shm_writer_command(line); !out.empty()) return out;
    if (std::string out = bridge_command(line); !out.empty()) return out;
    if (line == "journal") {
        std::string out;
        for (auto &j : S.journal)
            out += j + "\n";
        return out;
    }
    if (line == "clear") {
        S.journal.clear();
        return "ok\n";
    }
    if (line == "journal off" || line == "journal on") {
        S.journal_on = line == "journal on";
        return "ok\n";
    }
    if (line == "state") {
        char out[256];
        snprintf(out, sizeof(out), "ports=%zu sockets=%zu nodes=%zu flows=%zu locks=%d members=%u\n",
                 S.m.ports.size(), S.m.sockets.size(), S.m.nodes.size(), S.m.flows.size(),
                 S.data ? S.data->locks : 0, S.data ? S.data->nmembers : 0);
        return out;
    }
    if (line.rfind("rules ", 0) == 0) {
        // rules NODE FLOWHEX: the rule counts and URL of one flow on one node.
        unsigned node = 0;
        char fid[32] = "";
        bytes id;
        if (sscanf(line.c_str(), "rules %u %31s", &node, fid) != 2 || !unhex(fid, &id) ||
            id.size() != 12)
            return "error: usage: rules NODE FLOWID\n";
        auto it = S.m.configs.find({node, key_of(id.data(), 12)});
        if (it == S.m.configs.end())
            return "ip=0 mac=0 url=\n";
        char out[300];
        snprintf(out, sizeof(out), "ip=%zu mac=%zu url=%s\n", it->second.ip_rules.size() / FRL_IP_RULE_SIZE,
                 it->second.mac_rules.size() / FRL_MAC_RULE_SIZE, it->second.url.c_str());
        return out;
    }
    if (line.rfind("port ", 0) == 0) {
        // port FLOWHEX ENTRY ENCAP MTU OUTPKTS INPKTS DROPS INOCTETS OUTOCTETS
        char fid[32] = "";
        unsigned entry, encap, mtu;
        unsigned long long outp, inp, drops, ino, outo;
        bytes id;
        if (sscanf(line.c_str(), "port %31s %u %u %u %llu %llu %llu %llu %llu", fid, &entry, &encap,
                   &mtu, &outp, &inp, &drops, &ino, &outo) != 9 ||
            !unhex(fid, &id) || id.size() != 12 || entry > 1 || encap > 7 || mtu > 65535)
            return "error: usage: port FLOWID ENTRY ENCAP MTU OUTPKTS INPKTS DROPS INOCTETS "
                   "OUTOCTETS\n";
        auto it = S.m.flows.find(key_of(id.data(), 12));
        if (it == S.m.flows.end()) return "error: no such flow\n";
        uint8_t *e = it->second.record.data() + FRL_FLOW_PORT_TABLE + entry * FRL_FLOW_PORT_ENTRY;
        e[0] = static_cast<uint8_t>((e[0] & 0x1f) | (encap << 5));
        frl_store16(e + 2, static_cast<uint16_t>(mtu));
        frl_store32(e + 4, static_cast<uint32_t>(outp));
        frl_store32(e + 8, static_cast<uint32_t>(inp));
        frl_store32(e + 12, static_cast<uint32_t>(drops));
        frl_store64(e + 24, ino);
        frl_store64(e + 32, outo);
        return "ok\n";
    }
    if (line.rfind("update ", 0) == 0) {
        // update FLOWHEX: the flow's record as an Update event (type 32).
        bytes id;
        if (!unhex(line.c_str() + 7, &id) || id.size() != 12)
            return "error: usage: update FLOWID\n";
        auto it = S.m.flows.find(key_of(id.data(), 12));
        if (it == S.m.flows.end()) return "error: no such flow\n";
        return "sent " +
               std::to_string(inject(reply_record(FRL_MSG_FLOW, it->second.record), nullptr)) +
               "\n";
    }
    if (line.rfind("fabric ", 0) == 0 || line.rfind("xsk ", 0) == 0) return link_command(line);
    if (line.rfind("fault ", 0) == 0)
        return parse_fault(line.c_str(), &err) ? "ok\n" : "error: " + err + "\n";
    if (line == "faults clear") {
        S.faults.clear();
        return "ok\n";
    }
    if (line.rfind("notify ", 0) == 0) {
        // notify HEX, or notify @KEYHEX HEX for one group.
        const char *rest = line.c_str() + 7;
        bytes key, msg;
        bool keyed = *rest == '@';
        if (keyed) {
            if (!unhex(rest + 1, &key))
                return "error: bad key\n";
            rest = strchr(rest, ' ');
            if (!rest)
                return "error: no message\n";
            rest++;
        }
        if (!unhex(rest, &msg) || msg.empty())
            return "error: bad message\n";
        return "sent " + std::to_string(inject(msg, keyed ? &key : nullptr)) + "\n";
    }
    if (line.rfind("frame ", 0) == 0 || line.rfind("packet ", 0) == 0)
        return inject_frame(line);
    if (line == "health nak" || line == "health ack") {
        S.health_nak = line == "health nak";
        return "ok\n";
    }
    if (line == "die") {
        S.exit_after_reply = true;
        return "ok\n";
    }
    return "error: unknown command\n";
}

int control_request(void *, uint8_t *payload, size_t len, size_t cap, int trusted)
{
    if (S.pending_valid) {
        S.pending_valid = false;
        return finish(std::move(S.pending), payload, cap);
    }
    if (!trusted)
        return -1;
    std::string line(reinterpret_cast<const char *>(payload), len);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\0'))
        line.pop_back();
    std::string out = command(line);
    return finish(bytes(out.begin(), out.end()), payload, cap);
}

// Reads one datagram of the data socket, noting the IPC-level messages that
// the request callbacks never see.
void serve_data()
{
    userver *srv = S.data;
    umsghdr hdr;
    umsg_addr peer = {};
    umsg_cred cred;
    int passfd = -1;
    // Replies to slow readers go on from here too: the server's descriptor
    // turns readable for them as well as for datagrams.
    userver_flush(srv);
    uint8_t *payload = array_data<uint8_t>(&srv->buffer);
    ssize_t r = umsg_recv(srv->fd, &hdr, payload, UMSG_PAYLOAD, 0, &srv->sigmask, &peer, &cred,
                          &passfd);
    if (r < 0)
        return;
    size_t len = static_cast<size_t>(r) - sizeof(hdr);
    switch (hdr.type) {
    case UMSG_LEAVE:
        note("leave %s", hex(payload, len).c_str());
        break;
    case UMSG_LOCK:
        note("lock");
        break;
    case UMSG_UNLOCK:
        note("unlock");
        break;
    case UMSG_HEALTH:
        note("health");
        break;
    case UMSG_GET_LOG:
        note("getlog");
        break;
    case UMSG_SET_LOG:
        note("setlog %s", hex(payload, len).c_str());
        break;
    default:
        break;
    }
    userver_handle(srv, &hdr, payload, len, &peer, &cred, passfd);
}

bool env_set(const char *name)
{
    const char *v = getenv(name);
    return v && *v && strcmp(v, "0") != 0;
}

bool valid_size(const char *text, bool bytes_suffix)
{
    const char *end;
    errno = 0;
    string_parse_size(text, &end);
    if (errno || end == text)
        return false;
    if (bytes_suffix && *end == 'B')
        end++;
    return *end == '\0';
}

int usage_error(const char *prog, const char *what)
{
    fprintf(stderr, "%s: invalid argument: %s\n", prog, what);
    return 2;
}

enum : int { OPT_BUFFER = 0x100, OPT_RING, OPT_MEMORY, OPT_NO_FABRIC, OPT_NO_XSK };

const option long_options[] = {
    {"buffer-size", required_argument, nullptr, OPT_BUFFER},
    {"ring-size", required_argument, nullptr, OPT_RING},
    {"memory-size", required_argument, nullptr, OPT_MEMORY},
    {"disable-fabric", no_argument, nullptr, OPT_NO_FABRIC},
    {"disable-xsk", no_argument, nullptr, OPT_NO_XSK},
    {nullptr, 0, nullptr, 0},
};

} // namespace

int main(int argc, char **argv)
{
    const char *prefix = nullptr;
    int debug = 0;
    int c;
    while ((c = getopt_long(argc, argv, "S:dF:Lxtl", long_options, nullptr)) != -1) {
        switch (c) {
        case 'S':
            prefix = optarg;
            break;
        case 'd':
            debug++;
            break;
        case 'F':
        case 'L':
        case 'x':
        case 't':
        case 'l':
        case OPT_NO_FABRIC:
        case OPT_NO_XSK:
            break;
        case OPT_BUFFER:
        case OPT_RING:
            if (!valid_size(optarg, false))
                return usage_error(argv[0], optarg);
            break;
        case OPT_MEMORY:
            if (!valid_size(optarg, true))
                return usage_error(argv[0], optarg);
            break;
        default:
            return 2;
        }
    }
    if (!prefix || optind < argc)
        return usage_error(argv[0], prefix ? argv[optind] : "no -S");
    L.prefix = prefix;
    {
        std::string args;
        for (int i = 1; i < argc; i++)
            args += std::string(" ") + argv[i];
        note("args%s", args.c_str());
        if (debug) {
            fprintf(stderr, "fernrelayd[%d]:%s\n", static_cast<int>(getpid()), args.c_str());
            log_open("fernrelayd", debug, LOG_COMP_ALL, LOG_FMT_PID, log_default);
        }
    }

    // Faults scripted before start, for what happens before a test can reach
    // the control socket: lines separated by ';'.
    if (const char *script = getenv("FERNRELAYD_FAULTS")) {
        std::string all = script, err;
        size_t at = 0;
        while (at <= all.size()) {
            size_t end = all.find(';', at);
            std::string line = all.substr(at, end == std::string::npos ? std::string::npos : end - at);
            if (!line.empty() && !parse_fault(line.c_str(), &err)) {
                fprintf(stderr, "fernrelayd: %s\n", err.c_str());
                return 2;
            }
            if (end == std::string::npos)
                break;
            at = end + 1;
        }
    }

    sigset_t set;
    sigemptyset(&set);
    if (env_set("FERNRELAYD_TEST_IGNORE_TERM"))
        signal(SIGTERM, SIG_IGN);
    else
        sigaddset(&set, SIGTERM);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
    int sfd = signalfd(-1, &set, SFD_CLOEXEC);
    if (sfd < 0) {
        perror("fernrelayd: signalfd");
        return 1;
    }

    if (!env_set("FERNRELAYD_TEST_NOBIND")) {
        userver_ops data_ops = {.request = data_request,
                                .message = data_message,
                                .subscribe = data_subscribe,
                                .health = data_health};
        S.data = userver_listen(prefix, static_cast<unsigned>(getpid()), 0, &data_ops, nullptr);
        if (!S.data) {
            fprintf(stderr, "fernrelayd: cannot bind under %s\n", prefix);
            return 1;
        }
        // Beside the data socket but not under its prefix, so that it is never
        // taken for another data plane's socket; bound with our pid so that
        // those of stand-ins that were killed are pruned like data sockets.
        std::string ctl = std::string(prefix) + "-ctl";
        userver_ops control_ops = {.request = control_request,
                                   .message = nullptr,
                                   .subscribe = nullptr,
                                   .health = nullptr};
        S.control = userver_listen(ctl.c_str(), static_cast<unsigned>(getpid()), 0, &control_ops,
                                   nullptr);
        if (!S.control) {
            fprintf(stderr, "fernrelayd: cannot bind %s.%u\n", ctl.c_str(),
                    static_cast<unsigned>(getpid()));
            userver_close(S.data);
            return 1;
        }
    }

    bridge_init(&hooks);
    for (std::vector<pollfd> p;;) {
        p = {{sfd, POLLIN, 0},
             {S.data ? userver_fd(S.data) : -1, POLLIN, 0},
             {S.control ? userver_fd(S.control) : -1, POLLIN, 0}};
        bridge_fds(&p);
        if (poll(p.data(), p.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (p[0].revents & POLLIN)
            break; // SIGTERM
        if (p[1].revents & POLLIN)
            serve_data();
        if (p[2].revents & POLLIN) {
            userver_process(S.control);
            if (S.exit_after_reply)
                _exit(3); // dies as a crash would: sockets left behind
        }
        for (size_t i = 3; i < p.size(); i++)
            if (p[i].revents & POLLIN) bridge_serve(p[i].fd);
    }
    bridge_shutdown();
    shm_writer_shutdown();
    userver_close(S.control);
    userver_close(S.data);
    // The journal outlives the process for tests that look at what came last.
    if (const char *dir = getenv("FERNRELAYD_JOURNAL")) {
        std::string path = std::string(dir) + "/fernrelayd-journal." + std::to_string(getpid());
        if (FILE *f = fopen(path.c_str(), "w")) {
            for (auto &j : S.journal)
                fprintf(f, "%s\n", j.c_str());
            fclose(f);
        }
    }
    return 0;
}
