// fernrelayd stand-in: a test peer that speaks the daemon's data-plane
// protocol from a small in-memory model. It forwards nothing. See README.md.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <getopt.h>
#include <map>
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
    bytes r(FRL_MSG_HDR_SIZE + body_len, 0);
    frl_store32(r.data(), type);
    frl_store32(r.data() + FRL_MSG_HDR_SIZE, static_cast<uint32_t>(records.size()));
    for (const bytes *rec : records)
        r.insert(r.end(), rec->begin(), rec->end());
    return r;
}

// The offset of the count in a list reply, for the huge-count fault.
size_t list_count_at(uint32_t type)
{
    switch (type) {
    case FRL_MSG_MEMPOOL:
        return 88;
    case FRL_MSG_MEMPOOL_LIST:
    case FRL_MSG_FABRIC:
    case FRL_MSG_XSK:
    case FRL_MSG_DEVICE_LIST:
    case FRL_MSG_NODE_LIST:
    case FRL_MSG_FLOW_LIST:
    case FRL_MSG_FLOW_GROUP_LIST:
    case FRL_MSG_HOST_LIST:
        return 8;
    default:
        return 0;
    }
}

// --- the model ---------------------------------------------------------

key12 key_of(const uint8_t *p, size_t n)
{
    return key12(reinterpret_cast<const char *>(p), n);
}

// Bodies of the requests this stand-in serves: the exact fixed length and,
// for counted ones, where the count lies and what it counts.
struct body_rule {
    uint32_t type;
    size_t fixed;    // header included
    size_t count_at; // 0: none
    size_t element;
    bool byte_count;
};

constexpr body_rule body_rules[] = {
    {FRL_MSG_GET_MEMPOOL, 12, 8, 1, false},
    {FRL_MSG_DUMP_MEMPOOLS, 8, 0, 0, false},
    {FRL_MSG_GET_FABRIC, 8, 0, 0, false},
    {FRL_MSG_GET_XSK, 8, 0, 0, false},
    {FRL_MSG_ADD_PORT, 8 + FRL_PORT_SIZE, 0, 0, false},
    {FRL_MSG_REMOVE_PORT, 12, 0, 0, false},
    {FRL_MSG_DUMP_DEVICES, 8, 0, 0, false},
    {FRL_MSG_ADD_SOCKET, 8 + FRL_SOCKET_SIZE, 0, 0, false},
    {FRL_MSG_REMOVE_SOCKET, 8 + FRL_SOCKADDR_SIZE, 0, 0, false},
    {FRL_MSG_ADD_NODE, 8 + FRL_NODE_SIZE + 4, 8 + FRL_NODE_SIZE, FRL_NODE_ENTRY_SIZE, false},
    {FRL_MSG_REMOVE_NODE, 12, 0, 0, false},
    {FRL_MSG_DUMP_NODES, 8, 0, 0, false},
    {FRL_MSG_ADD_FLOW, 8 + FRL_FLOW_SIZE, 0, 0, false},
    {FRL_MSG_REMOVE_FLOW, 20, 0, 0, false},
    {FRL_MSG_MODIFY_FLOW, 8 + FRL_FLOW_SIZE, 0, 0, false},
    {FRL_MSG_READ_FLOW, 20, 0, 0, false},
    {FRL_MSG_DUMP_FLOWS, 8, 0, 0, false},
    {FRL_MSG_GET_FLOW_GROUPS, 20, 0, 0, false},
    {FRL_MSG_SET_FLOW_GROUPS, 24, 20, FRL_GROUP_ENTRY_SIZE, false},
    {FRL_MSG_GET_VAP, 12, 0, 0, false},
    {FRL_MSG_SET_VAP, 16 + FRL_VAP_SIZE, 0, 0, false},
    {FRL_MSG_GET_HOSTS, 16, 0, 0, false},
    {FRL_MSG_SET_HOSTS, 20, 16, 1, false},
    {FRL_MSG_GET_FLOW_STATS, 24, 0, 0, false},
    {FRL_MSG_ASSOCIATE, 24 + FRL_ASSOC_SIZE, 0, 0, false},
    {FRL_MSG_DISASSOCIATE, 26, 0, 0, false},
    {FRL_MSG_INSTALL_KEY, 30, 29, 1, true},
    {FRL_MSG_ACTIVATE_KEY, 24, 0, 0, false},
    {FRL_MSG_SET_KEY_STATE, 25, 0, 0, false},
    {FRL_MSG_GET_TSC, 25, 0, 0, false},
    {FRL_MSG_SET_LIMITS, 24 + FRL_LIMITS_SIZE, 0, 0, false},
    {FRL_MSG_SET_MAC_RULES, 28, 24, FRL_MAC_RULE_SIZE, false},
    {FRL_MSG_SET_IP_RULES, 28, 24, FRL_IP_RULE_SIZE, false},
    {FRL_MSG_SET_REDIRECT, 28, 24, 1, false},
};

const body_rule *rule_of(uint32_t type)
{
    for (const auto &r : body_rules)
        if (r.type == type)
            return &r;
    return nullptr;
}

// Checks the request's length against its body; the count it carries, or -1.
int64_t checked_count(const body_rule *r, const uint8_t *p, size_t len)
{
    if (len < r->fixed)
        return -1;
    uint64_t count = 0;
    if (r->count_at)
        count = r->byte_count ? p[r->count_at] : frl_load32(p + r->count_at);
    if (len != r->fixed + count * r->element)
        return -1;
    return static_cast<int64_t>(count);
}

bool node_exists(uint32_t id)
{
    return S.m.nodes.count(id) != 0;
}

bytes handle(const uint8_t *p, size_t len)
{
    model &m = S.m;
    uint32_t type = frl_load32(p);
    uint8_t op = p[7];
    const body_rule *rule = rule_of(type);
    if (!rule)
        return reply_status(EOPNOTSUPP);
    int64_t count = checked_count(rule, p, len);
    if (count < 0)
        return reply_status(EINVAL);
    const uint8_t *b = p + FRL_MSG_HDR_SIZE;
    uint32_t id = len >= 12 ? frl_load32(b) : 0;
    key12 fid = len >= 24 ? key_of(b + 4, 12) : key12();
    switch (type) {
    case FRL_MSG_GET_MEMPOOL: {
        // One pool, named "packet"; the statistics record opens with its name.
        const char *name = count ? reinterpret_cast<const char *>(b + 4) : "";
        if (count && (b[4 + count - 1] != '\0' || strcmp(name, "packet") != 0))
            return reply_status(ENOENT);
        bytes stats(FRL_POOL_STATS_SIZE + 4, 0);
        memcpy(stats.data(), "packet", 6);
        return reply_record(FRL_MSG_MEMPOOL, stats);
    }
    case FRL_MSG_DUMP_MEMPOOLS: {
        bytes stats(FRL_POOL_STATS_SIZE, 0);
        memcpy(stats.data(), "packet", 6);
        return reply_list(FRL_MSG_MEMPOOL_LIST, 4, {&stats});
    }
    case FRL_MSG_GET_FABRIC:
        return reply_list(FRL_MSG_FABRIC, 4, {});
    case FRL_MSG_GET_XSK:
        return reply_list(FRL_MSG_XSK, 4, {});
    case FRL_MSG_ADD_PORT: {
        bytes rec(b, b + FRL_PORT_SIZE);
        if (!m.ports.emplace(id, rec).second)
            return reply_status(EEXIST);
        return reply_record(FRL_MSG_PORT, rec);
    }
    case FRL_MSG_REMOVE_PORT: {
        auto it = m.ports.find(id);
        if (it == m.ports.end())
            return reply_status(ENOENT);
        bytes r = reply_record(FRL_MSG_PORT_REMOVED, it->second);
        m.ports.erase(it);
        return r;
    }
    case FRL_MSG_DUMP_DEVICES: {
        std::vector<const bytes *> recs;
        for (auto &[k, v] : m.ports)
            recs.push_back(&v);
        return reply_list(FRL_MSG_DEVICE_LIST, 8, recs);
    }
    case FRL_MSG_ADD_SOCKET: {
        // The record opens with the 28-byte address; the id goes after it.
        key12 addr = key_of(b, FRL_SOCKADDR_SIZE);
        if (m.sockets.count(addr))
            return reply_status(EEXIST);
        bytes rec(b, b + FRL_SOCKET_SIZE);
        frl_store32(rec.data() + FRL_SOCKADDR_SIZE, m.next_socket++);
        m.sockets[addr] = rec;
        return reply_record(FRL_MSG_SOCKET, rec);
    }
    case FRL_MSG_REMOVE_SOCKET: {
        auto it = m.sockets.find(key_of(b, FRL_SOCKADDR_SIZE));
        if (it == m.sockets.end())
            return reply_status(ENOENT);
        bytes r = reply_record(FRL_MSG_SOCKET_REMOVED, it->second);
        m.sockets.erase(it);
        return r;
    }
    case FRL_MSG_ADD_NODE: {
        bytes rec(b, b + FRL_NODE_SIZE);
        uint32_t nid = m.next_node++;
        frl_store32(rec.data(), nid);
        m.nodes[nid] = rec;
        return reply_record(FRL_MSG_NODE, rec);
    }
    case FRL_MSG_REMOVE_NODE: {
        auto it = m.nodes.find(id);
        if (it == m.nodes.end())
            return reply_status(ENOENT);
        for (auto &[k, f] : m.flows)
            if (frl_load32(f.record.data() + 12) == id)
                return reply_status(EBUSY); // its flows go first
        bytes r = reply_record(FRL_MSG_NODE_REMOVED, it->second);
        m.nodes.erase(it);
        m.vaps.erase(id);
        for (auto c = m.configs.begin(); c != m.configs.end();)
            c = c->first.first == id ? m.configs.erase(c) : std::next(c);
        return r;
    }
    case FRL_MSG_DUMP_NODES: {
        std::vector<const bytes *> recs;
        for (auto &[k, v] : m.nodes)
            recs.push_back(&v);
        return reply_list(FRL_MSG_NODE_LIST, 8, recs);
    }
    case FRL_MSG_ADD_FLOW:
    case FRL_MSG_MODIFY_FLOW: {
        // The flow's node at offset 12, its id at 16.
        bytes rec(b, b + FRL_FLOW_SIZE);
        key12 k = key_of(rec.data() + 16, 12);
        if (!node_exists(frl_load32(rec.data() + 12)))
            return reply_status(ENOENT);
        auto it = m.flows.find(k);
        if (type == FRL_MSG_ADD_FLOW && it != m.flows.end())
            return reply_status(EEXIST);
        if (type == FRL_MSG_MODIFY_FLOW && it == m.flows.end())
            return reply_status(ENOENT);
        m.flows[k].record = rec;
        return reply_record(FRL_MSG_FLOW, rec);
    }
    case FRL_MSG_READ_FLOW:
    case FRL_MSG_REMOVE_FLOW: {
        auto it = m.flows.find(key_of(b, 12));
        if (it == m.flows.end())
            return reply_status(ENOENT);
        if (type == FRL_MSG_READ_FLOW)
            return reply_list(FRL_MSG_FLOW_LIST, 8, {&it->second.record});
        bytes r = reply_record(FRL_MSG_FLOW_REMOVED, it->second.record);
        m.flows.erase(it);
        return r;
    }
    case FRL_MSG_DUMP_FLOWS: {
        std::vector<const bytes *> recs;
        for (auto &[k, f] : m.flows)
            recs.push_back(&f.record);
        return reply_list(FRL_MSG_FLOW_LIST, 8, recs);
    }
    case FRL_MSG_GET_FLOW_GROUPS: {
        auto it = m.flows.find(key_of(b, 12));
        if (it == m.flows.end())
            return reply_status(ENOENT);
        std::vector<bytes> entries;
        for (auto &g : it->second.groups)
            entries.emplace_back(g.begin(), g.end());
        std::vector<const bytes *> recs;
        for (auto &e : entries)
            recs.push_back(&e);
        return reply_list(FRL_MSG_FLOW_GROUP_LIST, 4, recs);
    }
    case FRL_MSG_SET_FLOW_GROUPS: {
        auto it = m.flows.find(key_of(b, 12));
        if (it == m.flows.end())
            return reply_status(ENOENT);
        if (op > FRL_LIST_REMOVE)
            return reply_status(EINVAL);
        auto &g = it->second.groups;
        if (op == FRL_LIST_REPLACE)
            g.clear();
        for (int64_t i = 0; i < count; i++) {
            std::string e = key_of(b + 16 + i * FRL_GROUP_ENTRY_SIZE, FRL_GROUP_ENTRY_SIZE);
            auto at = std::find(g.begin(), g.end(), e);
            if (op == FRL_LIST_REMOVE && at != g.end())
                g.erase(at);
            else if (op != FRL_LIST_REMOVE && at == g.end())
                g.push_back(e);
        }
        return reply_status(0);
    }
    case FRL_MSG_GET_VAP: {
        if (!node_exists(id))
            return reply_status(ENOENT);
        auto it = m.vaps.find(id);
        return reply_record(FRL_MSG_VAP, it != m.vaps.end() ? it->second : bytes(FRL_VAP_SIZE, 0));
    }
    case FRL_MSG_SET_VAP:
        if (!node_exists(id))
            return reply_status(ENOENT);
        m.vaps[id] = bytes(b + 8, b + 8 + FRL_VAP_SIZE);
        return reply_status(0);
    case FRL_MSG_GET_HOSTS: {
        if (!node_exists(id))
            return reply_status(ENOENT);
        std::vector<bytes> recs;
        for (const auto &h : m.hostsets[{id, frl_load32(b + 4)}]) {
            bytes rec(FRL_HOST_SIZE, 0);
            memcpy(rec.data(), h.data(), std::min(h.size(), FRL_HOST_SIZE - 1));
            recs.push_back(rec);
        }
        std::vector<const bytes *> ptrs;
        for (auto &r : recs)
            ptrs.push_back(&r);
        return reply_list(FRL_MSG_HOST_LIST, 4, ptrs);
    }
    case FRL_MSG_SET_HOSTS: {
        if (!node_exists(id))
            return reply_status(ENOENT);
        if (op > FRL_LIST_REMOVE || (count && b[12 + count - 1] != '\0'))
            return reply_status(EINVAL);
        auto &set = m.hostsets[{id, frl_load32(b + 4)}];
        if (op == FRL_LIST_REPLACE)
            set.clear();
        if (count > 1) {
            std::string text(reinterpret_cast<const char *>(b + 12));
            if (op == FRL_LIST_REMOVE)
                set.erase(text);
            else
                set.insert(text);
        }
        return reply_status(0);
    }
    default:
        break;
    }
    // Requests about one flow on one node.
    if (!node_exists(id))
        return reply_status(ENOENT);
    bool bcast = fid == std::string("\0\0\0\0\0\0\xff\xff\xff\xff\xff\xff", 12);
    bool flow_known = bcast || m.flows.count(fid);
    flow_config &c = m.configs[{id, fid}];
    switch (type) {
    case FRL_MSG_GET_FLOW_STATS: {
        if (!flow_known)
            return reply_status(ENOENT);
        bytes rec(FRL_FLOW_STATS_SIZE, 0);
        memcpy(rec.data(), fid.data(), 12);
        return reply_record(FRL_MSG_FLOW_STATS, rec);
    }
    case FRL_MSG_ASSOCIATE:
    case FRL_MSG_DISASSOCIATE:
    case FRL_MSG_ACTIVATE_KEY:
    case FRL_MSG_SET_KEY_STATE:
        return reply_status(flow_known ? 0 : ENOENT);
    case FRL_MSG_INSTALL_KEY:
        c.keys[key_of(b + 16, 5)] = bytes(b + 22, b + 22 + count);
        return reply_status(0);
    case FRL_MSG_GET_TSC:
        return reply_record(FRL_MSG_TSC, bytes(FRL_TSC_SIZE, 0));
    case FRL_MSG_SET_LIMITS:
        c.limits.assign(b + 16, b + 16 + FRL_LIMITS_SIZE);
        return reply_status(0);
    case FRL_MSG_SET_MAC_RULES:
    case FRL_MSG_SET_IP_RULES: {
        if (op > FRL_CHUNK_MORE)
            return reply_status(EINVAL);
        bytes &rules = type == FRL_MSG_SET_IP_RULES ? c.ip_rules : c.mac_rules;
        if (op == FRL_CHUNK_FIRST)
            rules.clear();
        rules.insert(rules.end(), b + 20, b + 20 + count * rule->element);
        return reply_status(0);
    }
    case FRL_MSG_SET_REDIRECT:
        if (count && b[20 + count - 1] != '\0')
            return reply_status(EINVAL);
        c.url = count ? reinterpret_cast<const char *>(b + 20) : "";
        return reply_status(0);
    }
    return reply_status(EOPNOTSUPP);
}

void journal_request(const uint8_t *p, size_t len)
{
    if (len < 8) {
        note("req ? len=%zu", len);
        return;
    }
    uint32_t type = frl_load32(p);
    const body_rule *r = rule_of(type);
    if (r && r->count_at && len >= r->fixed)
        note("req %u len=%zu op=%u count=%u", type, len, p[7],
             r->byte_count ? p[r->count_at] : frl_load32(p + r->count_at));
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

std::string command(const std::string &line)
{
    std::string err;
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
        userver_ops data_ops = {data_request, data_message, data_subscribe, data_health};
        S.data = userver_listen(prefix, static_cast<unsigned>(getpid()), 0, &data_ops, nullptr);
        if (!S.data) {
            fprintf(stderr, "fernrelayd: cannot bind under %s\n", prefix);
            return 1;
        }
        // Beside the data socket but not under its prefix, so that it is never
        // taken for another data plane's socket.
        std::string ctl = std::string(prefix) + "-ctl." + std::to_string(getpid());
        userver_ops control_ops = {control_request, nullptr, nullptr, nullptr};
        S.control = userver_listen(ctl.c_str(), 0, 0, &control_ops, nullptr);
        if (!S.control) {
            fprintf(stderr, "fernrelayd: cannot bind %s\n", ctl.c_str());
            userver_close(S.data);
            return 1;
        }
    }

    for (;;) {
        pollfd p[3] = {{sfd, POLLIN, 0},
                       {S.data ? userver_fd(S.data) : -1, POLLIN, 0},
                       {S.control ? userver_fd(S.control) : -1, POLLIN, 0}};
        if (poll(p, 3, -1) < 0) {
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
    }
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
