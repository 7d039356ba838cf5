#include "gateway/frlc.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>

#include "common/fatal.h"
#include "common/log.h"
#include "common/packet.h"
#include "common/uclient.h"
#include "common/userver.h"

namespace {

uint8_t *request_bytes(frlc *client)
{
    return array_data<uint8_t>(&client->request);
}

void reply_clear(frlc *client)
{
    client->reply = nullptr;
    client->reply_off = 0;
    client->reply_len = 0;
}

// Resets the request buffer to a header of the given type.
int request_begin(frlc *client, uint32_t type, uint8_t byte7 = 0)
{
    array_truncate(&client->request, 0);
    if (array_reserve(&client->request, FRL_MSG_HDR_SIZE) < 0)
        return -1;
    frl_store32(request_bytes(client), type);
    request_bytes(client)[7] = byte7;
    return 0;
}

int body_u32(frlc *client, uint32_t v)
{
    uint8_t b[4];
    frl_store32(b, v);
    return frlc_request_body(client, b, sizeof(b));
}

int body_id_flow(frlc *client, uint32_t id, const flow_id *fid)
{
    if (body_u32(client, id) < 0)
        return -1;
    return frlc_request_body(client, fid, sizeof(*fid));
}

// The text with its NUL, or a zero length for none.
int body_text(frlc *client, const char *text)
{
    size_t n = text ? strlen(text) + 1 : 0;
    if (n > FRL_MSG_MAX) {
        errno = EMSGSIZE;
        return -1;
    }
    if (body_u32(client, static_cast<uint32_t>(n)) < 0)
        return -1;
    return frlc_request_body(client, text, n);
}

// Reads the fixed body of a list reply, then points *out at its records.
ssize_t take_list(frlc *client, uint32_t type, const uint8_t **out)
{
    const frl_msg_layout *l = frlc_msg_layout(type);
    uint8_t body[FRL_POOL_STATS_SIZE + 4];
    UGW_ASSERT(l->count_at && l->body <= sizeof(body));
    const uint8_t *start = client->reply + client->reply_off;
    if (frlc_take_reply(client, body, l->body) < 0)
        return -1;
    uint32_t count = frl_load32(body + (l->count_at - FRL_MSG_HDR_SIZE));
    uint64_t bytes = static_cast<uint64_t>(count) * l->element;
    if (bytes > client->reply_len - client->reply_off) {
        errno = EBADMSG;
        return -1;
    }
    if (out)
        *out = count ? start + l->body : nullptr;
    if (frlc_take_reply(client, nullptr, static_cast<size_t>(bytes)) < 0)
        return -1;
    return static_cast<ssize_t>(count);
}

// A request of fixed records: send, expect the type, copy the record out.
int transact_record(frlc *client, uint32_t reply_type, void *out, size_t n)
{
    if (frlc_response(client, reply_type) < 0)
        return -1;
    return frlc_take_reply(client, out, n);
}

int join(frlc *client, uint16_t kind, uint32_t id, uint8_t value, bool leave)
{
    uint8_t key[FRL_GROUP_KEY_SIZE];
    frlc_group_key(key, kind, id, value);
    return leave ? uclient_leave_group(client->ipc, key, sizeof(key))
                 : uclient_join_group(client->ipc, key, sizeof(key));
}

// Sends a rule list as consecutive messages of at most per_msg elements, the
// first replacing the flow's list and the others appending, in one lock. A
// list of one message needs none: the data plane applies a request whole, and
// each lock costs two round trips on every flow setup.
int send_chunked(frlc *client, uint32_t type, uint32_t node, const flow_id *fid, const uint8_t *rules,
                 size_t count, size_t element, size_t per_msg)
{
    bool locked = count > per_msg;
    if (locked) frlc_lock(client);
    int rc = 0;
    size_t done = 0;
    do {
        size_t n = count - done < per_msg ? count - done : per_msg;
        if (request_begin(client, type, done ? FRL_CHUNK_MORE : FRL_CHUNK_FIRST) < 0 ||
            body_id_flow(client, node, fid) < 0 || body_u32(client, static_cast<uint32_t>(n)) < 0 ||
            frlc_request_body(client, rules + done * element, n * element) < 0 ||
            frlc_response(client, FRL_MSG_ACK) < 0) {
            rc = -1;
            break;
        }
        done += n;
    } while (done < count);
    int saved = errno;
    if (locked) frlc_unlock(client);
    errno = saved;
    return rc;
}

int wire_list_op(int op, uint8_t *wire)
{
    switch (op) {
    case FRLC_LIST_ADD:
        *wire = FRL_LIST_ADD;
        return 0;
    case FRLC_LIST_REMOVE:
        *wire = FRL_LIST_REMOVE;
        return 0;
    case FRLC_LIST_REPLACE:
    case FRLC_LIST_CLEAR:
        *wire = FRL_LIST_REPLACE;
        return 0;
    default:
        errno = EINVAL;
        return -1;
    }
}

} // namespace

frlc *frlc_create(const char *path, const frlc_ops *ops, mempool *pool, void *user)
{
    auto *client = static_cast<frlc *>(calloc(1, sizeof(frlc)));
    if (!client) {
        ulog(LOG_COMP_FRLC, ULOG_ERROR, "Memory allocation failed");
        return nullptr;
    }
    array_init(&client->request, 1);
    if (ops)
        client->ops = *ops;
    client->pool = pool;
    client->user = user;
    client->ipc = uclient_open(path);
    if (!client->ipc) {
        int saved = errno;
        frlc_destroy(client);
        errno = saved;
        return nullptr;
    }
    return client;
}

void frlc_destroy(frlc *client)
{
    if (!client)
        return;
    array_purge(&client->request);
    uclient_close(client->ipc);
    free(client);
}

void frlc_attach_server(frlc *client, userver *server)
{
    userver_attach_client(server, client->ipc);
}

int frlc_fd(const frlc *client)
{
    return uclient_event_fd(client->ipc);
}

int frlc_lock(frlc *client)
{
    return uclient_lock(client->ipc);
}

int frlc_unlock(frlc *client)
{
    return uclient_unlock(client->ipc);
}

int frlc_request_body(frlc *client, const void *bytes, size_t n)
{
    size_t at = array_length(&client->request);
    // Nothing longer can be sent: refuse before growing the buffer for it.
    if (n > FRL_MSG_MAX - (at < FRL_MSG_MAX ? at : FRL_MSG_MAX)) {
        errno = EMSGSIZE;
        return -1;
    }
    if (n == 0)
        return 0;
    if (array_reserve(&client->request, static_cast<uint32_t>(at + n)) < 0)
        return -1;
    if (bytes)
        memcpy(request_bytes(client) + at, bytes, n);
    return 0;
}

int frlc_response(frlc *client, uint32_t expected)
{
    const uint8_t *msg = request_bytes(client);
    size_t len = array_length(&client->request);
    UGW_ASSERT((size_t)len == fernrelayd_msg_size(msg, len));
    reply_clear(client);
    const uint8_t *reply = nullptr;
    ssize_t got = uclient_request(client->ipc, msg, len, &reply);
    if (got < 0)
        return -1;
    size_t n = static_cast<size_t>(got);
    if (n < fernrelayd_msg_size(reply, n)) {
        ulog(LOG_COMP_FRLC, ULOG_DEBUG, "Short IPC response %zu bytes", n);
        errno = EBADMSG;
        return -1;
    }
    uint32_t type = frl_load32(reply);
    uint32_t status = frl_load32(reply + 4);
    if (type == FRL_MSG_ACK && status != 0) {
        // An error number that no errno can hold still has to fail the request.
        errno = status <= INT_MAX ? static_cast<int>(status) : EPROTO;
        return -1;
    }
    if (type != expected) {
        ulog(LOG_COMP_FRLC, ULOG_DEBUG, "Unexpected IPC response %u", type);
        errno = EBADMSG;
        return -1;
    }
    client->reply = reply + FRL_MSG_HDR_SIZE;
    client->reply_off = 0;
    client->reply_len = n - FRL_MSG_HDR_SIZE;
    if (client->reply_len == 0)
        reply_clear(client);
    return 0;
}

int frlc_take_reply(frlc *client, void *dest, size_t n)
{
    if (client->reply_len - client->reply_off < n) {
        errno = EBADMSG;
        return -1;
    }
    if (dest && n)
        memcpy(dest, client->reply + client->reply_off, n);
    client->reply_off += n;
    if (client->reply_off == client->reply_len)
        reply_clear(client);
    return 0;
}

namespace {

// Sends header and body in front of the packet's data as one one-way message.
// The header goes into the head room, so the payload is not copied; the
// packet is left as it came.
int output(frlc *client, packet *p, const uint8_t *hdr, size_t hdr_len)
{
    if (p->length > FRL_MSG_MAX - hdr_len) {
        errno = EMSGSIZE;
        return -1;
    }
    if (packet_isfragmented(p)) {
        // A chain is not one run of bytes: gather it, a message is small.
        uint8_t msg[FRL_MSG_MAX];
        memcpy(msg, hdr, hdr_len);
        packet_access(p, 0, p->length, msg + hdr_len, PACKET_ACCESS_READ);
        return uclient_send(client->ipc, msg, hdr_len + p->length);
    }
    if (packet_headroom(p) < hdr_len) {
        ulog(LOG_COMP_FRLC, ULOG_DEBUG, "Out of buffer space");
        errno = ENOBUFS;
        return -1;
    }
    uint8_t *msg = packet_push(p, hdr_len);
    memcpy(msg, hdr, hdr_len);
    int rc = uclient_send(client->ipc, msg, p->length);
    int saved = errno;
    packet_pull(p, hdr_len);
    errno = saved;
    return rc;
}

int output_frame(frlc *client, uint32_t type, uint32_t node, const flow_id *id, uint8_t cls,
                 uint8_t encap, packet *p)
{
    uint8_t hdr[FRL_FRAME_HDR_SIZE] = {};
    frl_store32(hdr, type);
    frl_store32(hdr + FRL_FRAME_NODE, node);
    memcpy(hdr + FRL_FRAME_FLOW, id, sizeof(*id));
    hdr[FRL_FRAME_CLASS] = cls;
    hdr[FRL_FRAME_ENCAP] = encap;
    hdr[FRL_FRAME_PRIO] = static_cast<uint8_t>(packet_priority(p));
    return output(client, p, hdr, sizeof(hdr));
}

} // namespace

int frlc_output_packet(frlc *client, uint32_t device, uint8_t encap, packet *p)
{
    uint8_t hdr[FRL_PACKET_HDR_SIZE] = {};
    frl_store32(hdr, FRL_MSG_OUTPUT_PACKET);
    frl_store32(hdr + FRL_PACKET_DEVICE, device);
    hdr[FRL_PACKET_ENCAP] = encap;
    hdr[FRL_PACKET_PRIO] = static_cast<uint8_t>(packet_priority(p));
    return output(client, p, hdr, sizeof(hdr));
}

int frlc_output_frame(frlc *client, uint32_t node, const flow_id *id, uint8_t cls, uint8_t encap,
                      packet *p)
{
    return output_frame(client, FRL_MSG_FRAME, node, id, cls, encap, p);
}

int frlc_output_snooped(frlc *client, uint32_t node, const flow_id *id, uint8_t cls,
                        uint8_t encap, packet *p)
{
    return output_frame(client, FRL_MSG_FRAME_SNOOP, node, id, cls, encap, p);
}

int frlc_join_port(frlc *client, uint32_t port)
{
    return join(client, FRL_GROUP_PORT, port | 0x80000000u, 0, false);
}

int frlc_leave_port(frlc *client, uint32_t port)
{
    return join(client, FRL_GROUP_PORT, port | 0x80000000u, 0, true);
}

int frlc_join_node(frlc *client, uint32_t node, uint8_t value)
{
    return join(client, FRL_GROUP_NODE, node, value, false);
}

int frlc_leave_node(frlc *client, uint32_t node, uint8_t value)
{
    return join(client, FRL_GROUP_NODE, node, value, true);
}

int frlc_join_kind4(frlc *client, uint32_t id)
{
    return join(client, FRL_GROUP_KIND4, id, 0, false);
}

int frlc_leave_kind4(frlc *client, uint32_t id)
{
    return join(client, FRL_GROUP_KIND4, id, 0, true);
}

int frlc_join_kind6(frlc *client, uint32_t id)
{
    return join(client, FRL_GROUP_KIND6, id, 0, false);
}

int frlc_leave_kind6(frlc *client, uint32_t id)
{
    return join(client, FRL_GROUP_KIND6, id, 0, true);
}

ssize_t frlc_get_mempool(frlc *client, const char *name, frl_pool_stats *stats, const uint8_t **entries)
{
    if (request_begin(client, FRL_MSG_GET_MEMPOOL) < 0 || body_text(client, name) < 0 ||
        frlc_response(client, FRL_MSG_MEMPOOL) < 0)
        return -1;
    const uint8_t *start = client->reply; // the statistics record opens the body
    ssize_t n = take_list(client, FRL_MSG_MEMPOOL, entries);
    if (n >= 0 && stats)
        memcpy(stats->b, start, sizeof(stats->b));
    return n;
}

namespace {

ssize_t dump(frlc *client, uint32_t type, uint32_t reply_type, const uint8_t **records)
{
    if (request_begin(client, type) < 0 || frlc_response(client, reply_type) < 0)
        return -1;
    return take_list(client, reply_type, records);
}

} // namespace

ssize_t frlc_dump_mempools(frlc *client, const uint8_t **records)
{
    return dump(client, FRL_MSG_DUMP_MEMPOOLS, FRL_MSG_MEMPOOL_LIST, records);
}

ssize_t frlc_get_fabric(frlc *client, const uint8_t **records)
{
    return dump(client, FRL_MSG_GET_FABRIC, FRL_MSG_FABRIC, records);
}

ssize_t frlc_get_xsk(frlc *client, const uint8_t **records)
{
    return dump(client, FRL_MSG_GET_XSK, FRL_MSG_XSK, records);
}

ssize_t frlc_dump_devices(frlc *client, const uint8_t **records)
{
    return dump(client, FRL_MSG_DUMP_DEVICES, FRL_MSG_DEVICE_LIST, records);
}

ssize_t frlc_dump_nodes(frlc *client, const uint8_t **records)
{
    return dump(client, FRL_MSG_DUMP_NODES, FRL_MSG_NODE_LIST, records);
}

ssize_t frlc_dump_flows(frlc *client, const uint8_t **records)
{
    return dump(client, FRL_MSG_DUMP_FLOWS, FRL_MSG_FLOW_LIST, records);
}

int frlc_add_port(frlc *client, frl_port *port)
{
    if (request_begin(client, FRL_MSG_ADD_PORT) < 0 ||
        frlc_request_body(client, port->b, sizeof(port->b)) < 0)
        return -1;
    return transact_record(client, FRL_MSG_PORT, port->b, sizeof(port->b));
}

int frlc_remove_port(frlc *client, uint32_t id, frl_port *final)
{
    if (request_begin(client, FRL_MSG_REMOVE_PORT) < 0 || body_u32(client, id) < 0)
        return -1;
    return transact_record(client, FRL_MSG_PORT_REMOVED, final ? final->b : nullptr, FRL_PORT_SIZE);
}

int frlc_add_socket(frlc *client, frl_socket *sock)
{
    if (request_begin(client, FRL_MSG_ADD_SOCKET) < 0 ||
        frlc_request_body(client, sock->b, sizeof(sock->b)) < 0)
        return -1;
    return transact_record(client, FRL_MSG_SOCKET, sock->b, sizeof(sock->b));
}

int frlc_remove_socket(frlc *client, const sockaddr *addr, frl_socket *final)
{
    size_t n;
    if (addr->sa_family == AF_INET) {
        n = sizeof(sockaddr_in);
    } else if (addr->sa_family == AF_INET6) {
        n = sizeof(sockaddr_in6);
    } else {
        errno = EAFNOSUPPORT;
        return -1;
    }
    static_assert(sizeof(sockaddr_in6) == FRL_SOCKADDR_SIZE);
    uint8_t padded[FRL_SOCKADDR_SIZE] = {};
    memcpy(padded, addr, n);
    if (request_begin(client, FRL_MSG_REMOVE_SOCKET) < 0 ||
        frlc_request_body(client, padded, sizeof(padded)) < 0)
        return -1;
    return transact_record(client, FRL_MSG_SOCKET_REMOVED, final ? final->b : nullptr,
                           FRL_SOCKET_SIZE);
}

int frlc_add_node(frlc *client, frl_node *node, const uint8_t *entries, uint32_t count)
{
    if (request_begin(client, FRL_MSG_ADD_NODE) < 0 ||
        frlc_request_body(client, node->b, sizeof(node->b)) < 0 || body_u32(client, count) < 0 ||
        frlc_request_body(client, entries, static_cast<size_t>(count) * FRL_NODE_ENTRY_SIZE) < 0)
        return -1;
    return transact_record(client, FRL_MSG_NODE, node->b, sizeof(node->b));
}

int frlc_remove_node(frlc *client, uint32_t id, frl_node *final)
{
    if (request_begin(client, FRL_MSG_REMOVE_NODE) < 0 || body_u32(client, id) < 0)
        return -1;
    return transact_record(client, FRL_MSG_NODE_REMOVED, final ? final->b : nullptr, FRL_NODE_SIZE);
}

int frlc_add_flow(frlc *client, frl_flow *flow)
{
    if (request_begin(client, FRL_MSG_ADD_FLOW) < 0 ||
        frlc_request_body(client, flow->b, sizeof(flow->b)) < 0)
        return -1;
    return transact_record(client, FRL_MSG_FLOW, flow->b, sizeof(flow->b));
}

int frlc_modify_flow(frlc *client, frl_flow *flow)
{
    if (request_begin(client, FRL_MSG_MODIFY_FLOW) < 0 ||
        frlc_request_body(client, flow->b, sizeof(flow->b)) < 0)
        return -1;
    return transact_record(client, FRL_MSG_FLOW, flow->b, sizeof(flow->b));
}

int frlc_read_flow(frlc *client, const flow_id *id, frl_flow *flow)
{
    if (request_begin(client, FRL_MSG_READ_FLOW) < 0 ||
        frlc_request_body(client, id, sizeof(*id)) < 0 ||
        frlc_response(client, FRL_MSG_FLOW_LIST) < 0)
        return -1;
    const uint8_t *records = nullptr;
    ssize_t n = take_list(client, FRL_MSG_FLOW_LIST, &records);
    if (n < 0)
        return -1;
    if (n != 1) {
        errno = EBADMSG;
        return -1;
    }
    memcpy(flow->b, records, sizeof(flow->b));
    return 0;
}

int frlc_remove_flow(frlc *client, const flow_id *id, frl_flow *final)
{
    if (request_begin(client, FRL_MSG_REMOVE_FLOW) < 0 ||
        frlc_request_body(client, id, sizeof(*id)) < 0)
        return -1;
    return transact_record(client, FRL_MSG_FLOW_REMOVED, final ? final->b : nullptr, FRL_FLOW_SIZE);
}

ssize_t frlc_request_39(frlc *client, const flow_id *id, const uint8_t **entries)
{
    if (request_begin(client, FRL_MSG_GET_FLOW_GROUPS) < 0 ||
        frlc_request_body(client, id, sizeof(*id)) < 0 ||
        frlc_response(client, FRL_MSG_FLOW_GROUP_LIST) < 0)
        return -1;
    return take_list(client, FRL_MSG_FLOW_GROUP_LIST, entries);
}

int frlc_set_group(frlc *client, const flow_id *id, const uint8_t *entries, uint32_t count, int op)
{
    uint8_t wire;
    if (wire_list_op(op, &wire) < 0)
        return -1;
    if (op == FRLC_LIST_CLEAR)
        count = 0;
    if (request_begin(client, FRL_MSG_SET_FLOW_GROUPS, wire) < 0 ||
        frlc_request_body(client, id, sizeof(*id)) < 0 || body_u32(client, count) < 0 ||
        frlc_request_body(client, entries, static_cast<size_t>(count) * FRL_GROUP_ENTRY_SIZE) < 0)
        return -1;
    return frlc_response(client, FRL_MSG_ACK);
}

int frlc_get_vap_stats(frlc *client, uint32_t id, frl_vap *vap)
{
    if (request_begin(client, FRL_MSG_GET_VAP) < 0 || body_u32(client, id) < 0)
        return -1;
    return transact_record(client, FRL_MSG_VAP, vap->b, sizeof(vap->b));
}

int frlc_set_vap(frlc *client, uint32_t id, const frl_vap *vap)
{
    if (request_begin(client, FRL_MSG_SET_VAP) < 0 || body_u32(client, id) < 0 ||
        body_u32(client, 0) < 0 || frlc_request_body(client, vap->b, sizeof(vap->b)) < 0)
        return -1;
    return frlc_response(client, FRL_MSG_ACK);
}

ssize_t frlc_get_hosts(frlc *client, uint32_t node, uint32_t hostset, const uint8_t **records)
{
    if (request_begin(client, FRL_MSG_GET_HOSTS) < 0 || body_u32(client, node) < 0 ||
        body_u32(client, hostset) < 0 || frlc_response(client, FRL_MSG_HOST_LIST) < 0)
        return -1;
    return take_list(client, FRL_MSG_HOST_LIST, records);
}

int frlc_set_hostset(frlc *client, uint32_t node, uint32_t hostset, const char *text, int op)
{
    uint8_t wire;
    if (wire_list_op(op, &wire) < 0)
        return -1;
    if (op == FRLC_LIST_CLEAR)
        text = nullptr;
    if (request_begin(client, FRL_MSG_SET_HOSTS, wire) < 0 || body_u32(client, node) < 0 ||
        body_u32(client, hostset) < 0 || body_text(client, text) < 0)
        return -1;
    return frlc_response(client, FRL_MSG_ACK);
}

int frlc_get_flow_stats(frlc *client, uint32_t id, const flow_id *fid, frl_flow_stats *stats)
{
    if (request_begin(client, FRL_MSG_GET_FLOW_STATS) < 0 || body_id_flow(client, id, fid) < 0)
        return -1;
    return transact_record(client, FRL_MSG_FLOW_STATS, stats->b, sizeof(stats->b));
}

int frlc_associate_flow(frlc *client, uint32_t id, const flow_id *fid, const uint8_t assoc[FRL_ASSOC_SIZE])
{
    if (request_begin(client, FRL_MSG_ASSOCIATE) < 0 || body_id_flow(client, id, fid) < 0 ||
        frlc_request_body(client, assoc, FRL_ASSOC_SIZE) < 0)
        return -1;
    return frlc_response(client, FRL_MSG_ACK);
}

int frlc_disassociate_flow(frlc *client, uint32_t id, const flow_id *fid, uint16_t value)
{
    uint8_t v[2];
    frl_store16(v, value);
    if (request_begin(client, FRL_MSG_DISASSOCIATE) < 0 || body_id_flow(client, id, fid) < 0 ||
        frlc_request_body(client, v, sizeof(v)) < 0)
        return -1;
    return frlc_response(client, FRL_MSG_ACK);
}

int frlc_install_key(frlc *client, uint32_t id, const flow_id *fid, uint32_t value, uint8_t value8,
                     const uint8_t *key, uint8_t keylen)
{
    uint8_t tail[2] = {value8, keylen};
    if (request_begin(client, FRL_MSG_INSTALL_KEY) < 0 || body_id_flow(client, id, fid) < 0 ||
        body_u32(client, value) < 0 || frlc_request_body(client, tail, sizeof(tail)) < 0 ||
        frlc_request_body(client, key, keylen) < 0)
        return -1;
    int rc = frlc_response(client, FRL_MSG_ACK);
    // The key went through the request buffer: do not leave it there.
    int saved = errno;
    explicit_bzero(request_bytes(client), array_length(&client->request));
    errno = saved;
    return rc;
}

int frlc_activate_key(frlc *client, uint32_t id, const flow_id *fid)
{
    if (request_begin(client, FRL_MSG_ACTIVATE_KEY) < 0 || body_id_flow(client, id, fid) < 0)
        return -1;
    return frlc_response(client, FRL_MSG_ACK);
}

int frlc_set_key_state(frlc *client, uint32_t id, const flow_id *fid, uint8_t value)
{
    if (request_begin(client, FRL_MSG_SET_KEY_STATE) < 0 || body_id_flow(client, id, fid) < 0 ||
        frlc_request_body(client, &value, 1) < 0)
        return -1;
    return frlc_response(client, FRL_MSG_ACK);
}

int frlc_get_tsc(frlc *client, uint32_t id, const flow_id *fid, uint8_t value, uint8_t tsc[FRL_TSC_SIZE])
{
    if (request_begin(client, FRL_MSG_GET_TSC) < 0 || body_id_flow(client, id, fid) < 0 ||
        frlc_request_body(client, &value, 1) < 0)
        return -1;
    return transact_record(client, FRL_MSG_TSC, tsc, FRL_TSC_SIZE);
}

int frlc_set_flow_limits(frlc *client, uint32_t node, const flow_id *fid, const uint8_t limits[FRL_LIMITS_SIZE])
{
    if (request_begin(client, FRL_MSG_SET_LIMITS) < 0 || body_id_flow(client, node, fid) < 0 ||
        frlc_request_body(client, limits, FRL_LIMITS_SIZE) < 0)
        return -1;
    return frlc_response(client, FRL_MSG_ACK);
}

int frlc_set_mac_rules(frlc *client, uint32_t node, const flow_id *fid, const uint8_t *rules, size_t count)
{
    return send_chunked(client, FRL_MSG_SET_MAC_RULES, node, fid, rules, count, FRL_MAC_RULE_SIZE,
                        FRLC_MAC_RULES_PER_MSG);
}

int frlc_set_ip_rules(frlc *client, uint32_t node, const flow_id *fid, const filter_rule *rules, size_t count)
{
    return send_chunked(client, FRL_MSG_SET_IP_RULES, node, fid,
                        reinterpret_cast<const uint8_t *>(rules), count, FRL_IP_RULE_SIZE,
                        FRLC_IP_RULES_PER_MSG);
}

int frlc_set_redirect_url(frlc *client, uint32_t node, const flow_id *fid, const char *url)
{
    if (request_begin(client, FRL_MSG_SET_REDIRECT) < 0 || body_id_flow(client, node, fid) < 0 ||
        body_text(client, url) < 0)
        return -1;
    return frlc_response(client, FRL_MSG_ACK);
}

void frlc_limits_init(uint8_t limits[FRL_LIMITS_SIZE], uint32_t up_bw, uint32_t up_volume,
                      uint32_t down_bw, uint32_t down_volume)
{
    auto burst = [](uint32_t bw) {
        return static_cast<uint32_t>(static_cast<uint64_t>(bw) * 250 / 8000);
    };
    frl_store32(limits, up_bw);
    frl_store32(limits + 4, burst(up_bw));
    frl_store32(limits + 8, up_volume);
    frl_store32(limits + 12, down_bw);
    frl_store32(limits + 16, burst(down_bw));
    frl_store32(limits + 20, down_volume);
}

namespace {

struct flow_event {
    uint32_t id;
    flow_id fid;
};

flow_event read_flow_event(const uint8_t *msg)
{
    flow_event e;
    e.id = frl_load32(msg + 8);
    memcpy(&e.fid, msg + 12, sizeof(e.fid));
    return e;
}

template <class R> R copy_record(const uint8_t *msg)
{
    R r;
    memcpy(r.b, msg + FRL_MSG_HDR_SIZE, sizeof(r.b));
    return r;
}

// Frames and diverted packets: the bytes after the fixed part become a packet
// of the client's pool for the length of the call; a slot that keeps it takes
// its own reference. The caller has checked that the fixed part is there.
void dispatch_packet(frlc *client, uint32_t type, const uint8_t *msg, size_t n)
{
    size_t fixed = frlc_msg_fixed_size(type);
    packet *p = client->pool ? packet_from_bytes(client->pool, msg + fixed, n - fixed) : nullptr;
    if (!p) {
        ulog(LOG_COMP_FRLC, ULOG_DEBUG, "Out of buffer space");
        return;
    }
    const frlc_ops &ops = client->ops;
    if (type == FRL_MSG_DIVERTED_PACKET) {
        packet_set_priority(p, msg[FRL_PACKET_PRIO] & 7u);
        if (ops.diverted_packet)
            ops.diverted_packet(client->user, frl_load32(msg + FRL_PACKET_DEVICE),
                                msg[FRL_PACKET_ENCAP], p);
    } else {
        packet_set_priority(p, msg[FRL_FRAME_PRIO] & 7u);
        // A callback that sends a request reuses the receive buffer under msg.
        flow_id id;
        memcpy(&id, msg + FRL_FRAME_FLOW, sizeof(id));
        auto cb = type == FRL_MSG_FRAME        ? ops.frame
                  : type == FRL_MSG_FRAME_SNOOP ? ops.frame_snoop
                                                : ops.frame_copy;
        if (cb)
            cb(client->user, frl_load32(msg + FRL_FRAME_NODE), &id, msg[FRL_FRAME_CLASS],
               msg[FRL_FRAME_ENCAP], p);
    }
    packet_release(p);
}

} // namespace

ssize_t frlc_process(frlc *client)
{
    const uint8_t *msg = nullptr;
    ssize_t got = uclient_recv_event(client->ipc, &msg);
    if (got < 0)
        return -1;
    // The event shares the receive buffer with the last reply.
    reply_clear(client);
    size_t n = static_cast<size_t>(got);
    if (n < fernrelayd_msg_size(msg, n)) {
        ulog(LOG_COMP_FRLC, ULOG_DEBUG, "Discarding unknown IPC notification %zu bytes", n);
        return got;
    }
    uint32_t type = frl_load32(msg);
    const frlc_ops &ops = client->ops;
    void *user = client->user;
    switch (type) {
    case FRL_MSG_FRAME:
    case FRL_MSG_FRAME_SNOOP:
    case FRL_MSG_FRAME_COPY:
    case FRL_MSG_DIVERTED_PACKET:
        dispatch_packet(client, type, msg, n);
        break;
    case FRL_MSG_PORT_REMOVED:
        if (ops.port_removed) {
            frl_port r = copy_record<frl_port>(msg);
            ops.port_removed(user, &r);
        }
        break;
    case FRL_MSG_NODE_REMOVED:
        if (ops.node_removed) {
            frl_node r = copy_record<frl_node>(msg);
            ops.node_removed(user, &r);
        }
        break;
    case FRL_MSG_FLOW_REMOVED:
        if (ops.flow_removed) {
            frl_flow r = copy_record<frl_flow>(msg);
            ops.flow_removed(user, &r);
        }
        break;
    case FRL_MSG_FLOW:
        if (ops.flow_update) {
            frl_flow r = copy_record<frl_flow>(msg);
            ops.flow_update(user, &r);
        }
        break;
    case FRL_MSG_PORT_EVENT:
        if (ops.port_event)
            ops.port_event(user, frl_load32(msg + 8));
        break;
    case FRL_MSG_FLOW_EVENT:
    case FRL_MSG_MIC_FAILURE:
    case FRL_MSG_QUOTA_REACHED: {
        auto cb = type == FRL_MSG_FLOW_EVENT    ? ops.flow_event
                  : type == FRL_MSG_MIC_FAILURE ? ops.mic_failure
                                                : ops.quota_reached;
        flow_event e = read_flow_event(msg);
        if (cb)
            cb(user, e.id, &e.fid);
        break;
    }
    case FRL_MSG_FLOW_VALUE_EVENT:
        if (ops.flow_value_event) {
            flow_event e = read_flow_event(msg);
            ops.flow_value_event(user, e.id, &e.fid, frl_load16(msg + 24));
        }
        break;
    default:
        ulog(LOG_COMP_FRLC, ULOG_DEBUG, "Discarding unknown IPC notification %u", type);
        break;
    }
    return got;
}

void frlc_process_cb(void *client, int)
{
    frlc_process(static_cast<frlc *>(client));
}
