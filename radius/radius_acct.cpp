// RADIUS accounting of the sessions: Start, Interim-Update and Stop requests.
//
// Requests are fire and forget: the transport retransmits them and the
// session does not track them. One that finds no free identifier is kept in a
// bounded backlog of the database and sent when an answer frees one; when the
// backlog is full the oldest Interim-Update goes first, since a later one
// carries its counters anyway.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/log.h"
#include "common/system.h"
#include "radius/radius_db.h"

#define MACFMT "%02x:%02x:%02x:%02x:%02x:%02x"
#define MACARG(m) (m)[0], (m)[1], (m)[2], (m)[3], (m)[4], (m)[5]

namespace {

const char *status_name(uint8_t status)
{
    switch (status) {
    case RADIUS_ACCT_START:
        return "Start";
    case RADIUS_ACCT_STOP:
        return "Stop";
    default:
        return "Interim-Update";
    }
}

uint32_t status_of(const packet *msg)
{
    uint32_t v = 0;
    const uint8_t *a = radius_find_attr(msg, radius_attr_type::acct_status_type);
    if (a)
        radius_get_int(a, &v);
    return v;
}

} // namespace

int radius_db_send_acct_request(radius_entry *e, uint8_t status, uint16_t cause, uint16_t reason)
{
    radius_db *db = e->db;
    ulog(LOG_COMP_RADIUS, ULOG_DETAIL,
         "RADIUS NAS %s sending Accounting-Request[%s] for station " MACFMT, db->nas_name,
         status_name(status), MACARG(e->mac));
    size_t room = strlen(e->acct_session_id) + strlen(e->acct_multi_session_id) +
                  (status == RADIUS_ACCT_START ? 48 : 90) + (cause ? 6 : 0) + (reason ? 6 : 0) +
                  (e->class_attr ? e->class_attr[1] : 0);
    packet *msg = packet_alloc(db->packets, RADIUS_HDR_LEN);
    if (!msg)
        return -1;
    if (packet_tailroom(msg) < room) {
        packet_release(msg);
        return -1;
    }
    memset(msg->data, 0, RADIUS_HDR_LEN);
    memset(msg->meta, 0, sizeof msg->meta);
    radius_header(msg)->code = uint8_t(radius_code::accounting_request);
    radius_set_length(msg);
    if (cause)
        radius_append_int(msg, radius_attr_type::acct_terminate_cause, cause);
    if (reason)
        radius_append_int(msg, radius_attr_type::wlan_reason_code, reason);
    if (e->class_attr)
        radius_append(msg, e->class_attr, e->class_attr[1]);
    if (!clock_cached_valid())
        clock_refresh_offset();
    radius_append_int(msg, radius_attr_type::event_timestamp,
                      uint32_t(int64_t(clock_monotonic_sec) + clock_offset_sec));
    radius_append_int(msg, radius_attr_type::acct_status_type, status);
    radius_append_str(msg, radius_attr_type::acct_session_id, e->acct_session_id);
    radius_append_str(msg, radius_attr_type::acct_multi_session_id, e->acct_multi_session_id);
    radius_append_int(msg, radius_attr_type::acct_link_count, e->link_count);
    radius_append_int(msg, radius_attr_type::acct_authentic, e->acct_authentic);
    if (status != RADIUS_ACCT_START) {
        radius_append_int(msg, radius_attr_type::acct_session_time, clock_sec() - e->start_time);
        radius_append_int(msg, radius_attr_type::acct_input_packets, e->packets_up);
        radius_append_int(msg, radius_attr_type::acct_output_packets, e->packets_down);
        radius_append_int(msg, radius_attr_type::acct_input_octets, e->octets_up_lo);
        radius_append_int(msg, radius_attr_type::acct_output_octets, e->octets_down_lo);
        radius_append_int(msg, radius_attr_type::acct_input_gigawords, e->octets_up_hi);
        radius_append_int(msg, radius_attr_type::acct_output_gigawords, e->octets_down_hi);
    }
    if (radius_db_complete_request(e, msg) < 0) {
        packet_release(msg);
        return -1;
    }
    UGW_ASSERT(radius_hdr_length(radius_header(msg)) == msg->length);
    // Requests wait their turn behind the backlog.
    if (packet_queue_count(&db->acct_backlog)) {
        radius_db_acct_backlog(db, msg);
        packet_release(msg);
        radius_db_acct_drain(db);
        return 0;
    }
    e->in_send = 1;
    int r = db->ops.send(db->user, msg, -1, nullptr);
    e->in_send = 0;
    packet_release(msg);
    return r < 0 ? -1 : 0;
}

void radius_db_acct_backlog(radius_db *db, packet *msg)
{
    if (packet_queue_count(&db->acct_backlog) >= RADIUS_ACCT_BACKLOG_MAX) {
        packet *victim = nullptr;
        for (list_link *l : list_for_each(&db->acct_backlog.list)) {
            packet *p = container_of(l, &packet::queue);
            if (status_of(p) == RADIUS_ACCT_INTERIM_UPDATE) {
                victim = p;
                break;
            }
        }
        if (!victim)
            victim = container_of(list_first(&db->acct_backlog.list), &packet::queue);
        ulog(LOG_COMP_RADIUS, ULOG_WARNING,
             "RADIUS NAS %s dropped Accounting-Request[%s] for station " MACFMT
             ": accounting backlog full",
             db->nas_name, status_name(uint8_t(status_of(victim))), MACARG(victim->meta));
        packet_queue_remove(&db->acct_backlog, victim);
        packet_release(victim);
        db->acct_backlog_dropped++;
    }
    if (packet_ref(msg) < 0)
        return;
    packet_queue_append(&db->acct_backlog, msg);
}

void radius_db_acct_drain(radius_db *db)
{
    if (db->draining || !db->acct)
        return;
    db->draining = 1;
    while (packet *msg = packet_queue_pop(&db->acct_backlog)) {
        uint32_t before = packet_queue_count(&db->acct_backlog);
        db->ops.send(db->user, msg, -1, nullptr);
        // Still no identifier: the time-out put it back last; it goes first.
        bool requeued = packet_queue_count(&db->acct_backlog) > before;
        if (requeued) {
            packet_queue_remove(&db->acct_backlog, msg);
            list_insert_head(&db->acct_backlog.list, &msg->queue);
            db->acct_backlog.count++;
            db->acct_backlog.bytes += msg->length;
        }
        packet_release(msg);
        if (requeued)
            break;
    }
    db->draining = 0;
}

void radius_db_acct_update_cb(timer *t)
{
    auto *lt = container_of(t, &radius_long_timer::t);
    radius_entry *e = container_of(lt, &radius_entry::interim);
    radius_db *db = e->db;
    if (radius_long_timer_rearm(db, lt, radius_db_acct_update_cb))
        return;
    lt->due = 0;
    radius_entry_ref(e);
    uint32_t links = e->link_count;
    radius_fsm_step(e);
    if (!e->deleted && e->link_count == links && links && radius_db_accounting(db)) {
        radius_db_send_acct_request(e, RADIUS_ACCT_INTERIM_UPDATE, 0, 0);
        // The next update is due whether or not this one is answered; up to
        // 10% early so that sessions started together spread out.
        uint32_t s = e->authz.interim_interval;
        if (s && !timer_ispending(&lt->t)) {
            uint64_t ms = uint64_t(s < RADIUS_MAX_DELAY_SEC ? s : RADIUS_MAX_DELAY_SEC) * 1000;
            uint8_t r = 0;
            system_random(&r, 1);
            ms -= ms / 10 * r / 255;
            radius_long_timer_arm(db, lt, ms, radius_db_acct_update_cb);
        }
    }
    radius_entry_unref(e);
}
