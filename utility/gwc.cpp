#include "utility/gwc.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/ctl_msg.h"
#include "common/log.h"
#include "common/uclient.h"

namespace
{

// Announced size of a reply from its first fragment; 0 when it cannot be told.
size_t announced_size(const uint8_t *payload, size_t len)
{
    uint32_t size = ctl_msg_size(payload, len);
    return size == UINT32_MAX ? 0 : size;
}

// Only these requests read the force bit, and only their answers may be a
// bare Status 0 in place of the record.
bool forcible(uint32_t type)
{
    if (type >= CTL_MSG_TYPES) return false;
    const char *name = ctl_msg_catalogue[type].name;
    return strncmp(name, "Add-", 4) == 0 || strncmp(name, "Remove-", 7) == 0;
}

void clear_cursor(gwc_connection *c)
{
    c->payload = nullptr;
    c->offset = 0;
    c->length = 0;
    c->rest = nullptr;
    c->rest_at = 0;
}

// The reply's bytes from `at` on, up to where they stop being contiguous.
const uint8_t *reply_at(const gwc_connection *c, uint32_t at)
{
    return c->rest && at >= c->rest_at ? c->rest + (at - c->rest_at) : c->payload + at;
}

// n bytes from the cursor on, across the two parts of a split reply.
void copy_out(const gwc_connection *c, uint8_t *out, size_t n)
{
    size_t first = n;
    if (c->rest && c->offset < c->rest_at && n > c->rest_at - c->offset)
        first = c->rest_at - c->offset;
    memcpy(out, reply_at(c, c->offset), first);
    if (first < n) memcpy(out + first, c->rest, n - first);
}

void advance(gwc_connection *c, uint32_t n)
{
    c->offset += n;
    if (c->offset == c->length) clear_cursor(c);
}

using event_slot = void (*ugw_listen_ops::*)(void *, const void *);
constexpr event_slot event_slots[CTL_EVENT_GROUPS] = {
    &ugw_listen_ops::new_control,    &ugw_listen_ops::delete_control, &ugw_listen_ops::new_service,
    &ugw_listen_ops::delete_service, &ugw_listen_ops::new_vap,        &ugw_listen_ops::delete_vap,
    &ugw_listen_ops::new_tunnel,     &ugw_listen_ops::delete_tunnel,  &ugw_listen_ops::new_flow,
    &ugw_listen_ops::delete_flow,
};

} // namespace

gwc_connection *gwc_attach(uclient *client, const ugw_listen_ops *ops, void *user, uint32_t force)
{
    auto *c = static_cast<gwc_connection *>(calloc(1, sizeof(gwc_connection)));
    if (!c) {
        ulog(LOG_COMP_UCLIENT, ULOG_ERROR, "Memory allocation failed");
        uclient_close(client);
        errno = ENOMEM;
        return nullptr;
    }
    array_init(&c->request, 1);
    if (ops) {
        c->ops = *ops;
        c->user = user;
    }
    c->force = force;
    c->client = client;
    client->expect = announced_size;
    return c;
}

gwc_connection *gwc_create(const char *path, const ugw_listen_ops *ops, void *user, uint32_t force)
{
    uclient *client = uclient_open(path);
    return client ? gwc_attach(client, ops, user, force) : nullptr;
}

void gwc_destroy(gwc_connection *c)
{
    if (!c) return;
    array_purge(&c->request);
    uclient_close(c->client);
    free(c);
}

int gwc_fd(const gwc_connection *c)
{
    return uclient_event_fd(c->client);
}

int gwc_begin(gwc_connection *c, uint32_t type)
{
    clear_cursor(c);
    c->stood_in = false;
    array_reset(&c->request, 1);
    if (array_reserve(&c->request, sizeof(ctl_msg)) < 0) return -1;
    uint8_t *msg = array_data<uint8_t>(&c->request);
    ctl_put32(msg, offsetof(ctl_msg, type), type);
    ctl_put32(msg, offsetof(ctl_msg, status), forcible(type) ? c->force & CTL_F_FORCE : 0);
    return 0;
}

int gwc_append(gwc_connection *c, const void *bytes, size_t n)
{
    uint32_t at = array_length(&c->request);
    if (n > UMSG_PAYLOAD) {
        errno = EMSGSIZE;
        return -1;
    }
    if (array_reserve(&c->request, at + static_cast<uint32_t>(n)) < 0) return -1;
    if (bytes && n) memcpy(array_at<uint8_t>(&c->request, at), bytes, n);
    return 0;
}

int gwc_append_string(gwc_connection *c, const char *text, size_t n)
{
    if (text && strnlen(text, n) >= n) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return gwc_append(c, text, text ? strlen(text) : 0) < 0 ||
                   gwc_append(c, nullptr, n - (text ? strlen(text) : 0)) < 0
               ? -1
               : 0;
}

int gwc_response(gwc_connection *c, uint32_t expected)
{
    return gwc_response_rows(c, expected, 0);
}

int gwc_response_rows(gwc_connection *c, uint32_t expected, uint32_t rows_at)
{
    const uint8_t *req = array_data<const uint8_t>(&c->request);
    size_t len = array_length(&c->request);
    UGW_ASSERT(len >= sizeof(ctl_msg) && ctl_msg_size(req, len) == len);
    bool forced = ctl_get32(req, offsetof(ctl_msg, status)) & CTL_F_FORCE;
    clear_cursor(c);
    c->stood_in = false;

    const uint8_t *reply, *rest;
    size_t split = rows_at ? sizeof(ctl_msg) + rows_at : 0;
    ssize_t got = uclient_request_split(c->client, req, len, split, &reply, &rest);
    if (got < 0) return -1;
    size_t n = static_cast<size_t>(got);
    // A split reply's head holds its header and whatever precedes the rows.
    uint32_t size = n >= 4 ? ctl_msg_size(reply, rest ? split : n) : 0;
    if (n < 4 || n < size) {
        ulog(LOG_COMP_UCLIENT, ULOG_DEBUG, "Short IPC response %zu bytes", n);
        errno = EBADMSG;
        return -1;
    }
    uint32_t type = ctl_get32(reply, offsetof(ctl_msg, type));
    if (type == CTL_STATUS) {
        uint32_t status = ctl_get32(reply, offsetof(ctl_msg, status));
        if (status != 0) {
            // Only a plausible errno goes on; anything else is a broken reply.
            errno = status < 4096 ? static_cast<int>(status) : EBADMSG;
            return -1;
        }
        if (expected != CTL_STATUS) {
            if (!forced) {
                ulog(LOG_COMP_UCLIENT, ULOG_DEBUG, "Unexpected IPC response %u", type);
                errno = EBADMSG;
                return -1;
            }
            c->stood_in = true;
            return 0;
        }
    } else if (type != expected) {
        ulog(LOG_COMP_UCLIENT, ULOG_DEBUG, "Unexpected IPC response %u", type);
        errno = EBADMSG;
        return -1;
    }
    if (n > sizeof(ctl_msg)) {
        c->payload = reply + sizeof(ctl_msg);
        c->length = static_cast<uint32_t>(n - sizeof(ctl_msg));
        if (rest) {
            c->rest = rest;
            c->rest_at = rows_at;
        }
    }
    return 0;
}

int gwc_read(gwc_connection *c, void *out, size_t n)
{
    if (c->stood_in) return 0;
    if (n > c->length - c->offset) {
        errno = EBADMSG;
        return -1;
    }
    if (out && n) copy_out(c, static_cast<uint8_t *>(out), n);
    advance(c, static_cast<uint32_t>(n));
    return 0;
}

int gwc_export(gwc_connection *c, Ary *rows, uint32_t count, uint32_t row_size)
{
    if (c->stood_in) {
        if (rows) array_reset(rows, row_size);
        return 0;
    }
    uint64_t bytes = static_cast<uint64_t>(count) * row_size;
    if (bytes > c->length - c->offset) {
        errno = EBADMSG;
        return -1;
    }
    if (!rows || bytes == 0) {
        if (rows) array_reset(rows, row_size);
        advance(c, static_cast<uint32_t>(bytes));
        return 0;
    }
    Ary *buf = &c->client->buffer;
    if (rows->_dynamic && (!c->rest || c->offset >= c->rest_at)) {
        // The rows are the reply's last part: they go to (or, split at their
        // start, already are at) the front of the receive buffer, which
        // becomes the caller's array; the caller's old buffer serves the next
        // reply.
        const uint8_t *src = reply_at(c, c->offset);
        uint8_t *base = array_data<uint8_t>(buf);
        if (src != base) memmove(base, src, bytes);
        Ary mine = *buf;
        // Counted whole, so that receiving into it zeroes nothing first.
        *buf = Ary{rows->_buffer, rows->_capacity, rows->_capacity, 1, true};
        *rows = Ary{mine._buffer, mine._capacity, count, row_size, true};
        clear_cursor(c);
        return 0;
    }
    array_reset(rows, row_size);
    if (array_reserve(rows, count) < 0) return -1;
    copy_out(c, array_data<uint8_t>(rows), bytes);
    advance(c, static_cast<uint32_t>(bytes));
    return 0;
}

ssize_t gwc_notification_dispatch(gwc_connection *c)
{
    const uint8_t *p;
    ssize_t got = uclient_recv_event(c->client, &p);
    if (got < 0) return -1;
    size_t n = static_cast<size_t>(got);
    uint32_t size = ctl_msg_size(p, n);
    if (size == 0 || size > n) {
        ulog(LOG_COMP_UCLIENT, ULOG_DEBUG, "Discarding unknown IPC notification %zu bytes", n);
        return got;
    }
    uint32_t type = ctl_get32(p, offsetof(ctl_msg, type));
    int group = ctl_event_group_index(type);
    uint32_t record = ctl_event_record_size(type);
    if (group < 0 || record == 0) {
        ulog(LOG_COMP_UCLIENT, ULOG_DEBUG, "Discarding unknown IPC notification %u", type);
        return got;
    }
    static_assert(sizeof(gwc_connection::event) >= CTL_REC_SERVICE);
    memcpy(c->event, p + sizeof(ctl_msg), record);
    if (auto cb = c->ops.*event_slots[group]) cb(c->user, c->event);
    return got;
}

int gwc_subscribe(gwc_connection *c, uint32_t kind)
{
    if (kind > GWC_EVENT_FLOWS) {
        errno = EINVAL;
        return -1;
    }
    // No lock: clients that may not lock may still listen.
    uint32_t created = ctl_event_group[2 * kind], deleted = ctl_event_group[2 * kind + 1];
    int a = uclient_join_group(c->client, &created, sizeof(created));
    int saved = errno;
    int b = uclient_join_group(c->client, &deleted, sizeof(deleted));
    if (a < 0) errno = saved;
    return a | b;
}

int gwc_lock(gwc_connection *c)
{
    if (uclient_lock(c->client) == 0) return 0;
    if (errno == EPERM)
        errno = EBUSY; // refused: someone else's batch, or a client that may not lock
    return -1;
}

int gwc_unlock(gwc_connection *c)
{
    return uclient_unlock(c->client);
}

int gwc_health_check(gwc_connection *c)
{
    return uclient_health_check(c->client) == 1 ? 0 : -1;
}

int gwc_get_log(gwc_connection *c, uint8_t settings[12])
{
    return uclient_get_log(c->client, settings);
}

int gwc_set_log(gwc_connection *c, const uint8_t settings[12])
{
    return uclient_set_log(c->client, settings);
}
