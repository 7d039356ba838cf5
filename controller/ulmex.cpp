#include "controller/ulmex.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/log.h"
#include "common/mempool.h"
#include "common/packet.h"
#include "common/system.h"

const uint8_t ulmex_expected_response[ULMEX_FLOW_INFORM_ACCEPT + 1] = {
    0,
    ULMEX_STATUS,             // Status
    ULMEX_DEVICE_ACCEPT,      // DeviceRegister
    0,                        // DeviceAccept
    ULMEX_STATUS,             // DeviceConfigure
    ULMEX_STATUS,             // DeviceUnregister
    ULMEX_STATUS,             // DeviceAction
    ULMEX_RADIO_ACCEPT,       // RadioRegister
    0,                        // RadioAccept
    ULMEX_STATUS,             // RadioConfigure
    ULMEX_STATUS,             // RadioUnregister
    ULMEX_STATUS,             // RadioInform
    ULMEX_SERVICE_ACCEPT,     // ServiceRegister
    0,                        // ServiceAccept
    ULMEX_STATUS,             // ServiceConfigure
    ULMEX_STATUS,             // ServiceUnregister
    ULMEX_STATUS,             // ServiceInform
    ULMEX_STATUS,             // BindingNotify
    ULMEX_BINDING_INSTALL,    // BindingRequest
    0,                        // BindingInstall
    ULMEX_STATUS,             // BindingRemove
    ULMEX_FLOW_INSTALL,       // FlowRequest
    ULMEX_STATUS,             // FlowInstall
    ULMEX_STATUS,             // FlowRemove
    ULMEX_FLOW_INFORM_ACCEPT, // FlowRadioInform
    ULMEX_FLOW_INFORM_ACCEPT, // FlowServiceInform
    0,                        // FlowInformAccept
};

namespace {

constexpr const char *ulmex_msg_type_names[ULMEX_FLOW_INFORM_ACCEPT + 1] = {
    "",
    "Status",
    "DeviceRegister",
    "DeviceAccept",
    "",
    "DeviceUnregister",
    "",
    "RadioRegister",
    "RadioAccept",
    "",
    "RadioUnregister",
    "RadioInform",
    "ServiceRegister",
    "ServiceAccept",
    "",
    "ServiceUnregister",
    "ServiceInform",
    "BindingNotify",
    "BindingRequest",
    "BindingInstall",
    "BindingRemove",
    "FlowRequest",
    "FlowInstall",
    "FlowRemove",
    "FlowRadioInform",
    "FlowServiceInform",
    "FlowInformAccept",
};

static_assert(offsetof(packet, meta) % alignof(ulmex_pending) == 0);
static_assert(sizeof(ulmex_pending) <= PACKET_META_SIZE);

bool in_mask(uint32_t mask, unsigned type)
{
    return type < 32 && (mask >> type) & 1;
}

ulmex_pending *pending_of(packet *p)
{
    return std::launder(reinterpret_cast<ulmex_pending *>(p->meta));
}

packet *packet_of(ulmex_pending *pend)
{
    return reinterpret_cast<packet *>(reinterpret_cast<uint8_t *>(pend) - offsetof(packet, meta));
}

packet *pending_packet(list_link *queue_link)
{
    return container_of(queue_link, &packet::queue);
}

unsigned pending_type(const ulmex_pending *pend)
{
    return pend->flags & 0x1f;
}

unsigned pending_count(const ulmex_pending *pend)
{
    return pend->flags >> 5;
}

uint32_t now_ms()
{
    return clock_msec();
}

uint32_t now_ticks()
{
    return now_ms() / ULMEX_TICK_MS;
}

// Up to about a tenth of base, from rand() & 0xFF.
uint32_t jitter(uint32_t base)
{
    uint32_t r = static_cast<uint32_t>(rand()) & 0xFF;
    return r * base / 2560;
}

uint8_t first_rto(const ulmexControl &rec)
{
    uint32_t base = rec.ulmexControlRttAvg ? rec.ulmexControlRttAvg + 4 * rec.ulmexControlRttVar
                                           : 2000;
    uint32_t ticks = (base + jitter(base)) / ULMEX_TICK_MS;
    if (ticks > 255)
        ticks = 255;
    if (ticks < 1)
        ticks = 1;
    return static_cast<uint8_t>(ticks);
}

// Doubles with jitter, capped at 125 ticks plus jitter (about 16 to 17.5 s).
uint8_t backoff_rto(uint8_t rto)
{
    // The jitter is a share of the old RTO, not of the doubled one.
    uint32_t next = 2u * rto + jitter(rto);
    if (next > 125)
        next = 125 + jitter(125);
    return static_cast<uint8_t>(next);
}

void rtt_sample(ulmexControl &rec, const ulmex_pending *pend)
{
    uint32_t sent_ms = static_cast<uint32_t>(pend->stamp) * ULMEX_TICK_MS + pend->age / 2u;
    uint32_t rtt = (now_ms() - sent_ms) & 0x7FFF;
    uint32_t srtt = rec.ulmexControlRttAvg;
    if (!srtt) {
        rec.ulmexControlRttAvg = rtt;
        rec.ulmexControlRttVar = rtt / 2;
        return;
    }
    uint32_t delta = srtt > rtt ? srtt - rtt : rtt - srtt;
    rec.ulmexControlRttVar = (3 * rec.ulmexControlRttVar + delta) / 4;
    rec.ulmexControlRttAvg = (7 * srtt + rtt) / 8;
}

void arm_timer(ulmex_link *link, uint32_t ms)
{
    link->ops->timer_start_cb(link->ops, &link->rtx_timer, ms, ulmex_retransmit_cb);
    link->rtx_armed = true;
}

void stop_timer(ulmex_link *link)
{
    link->ops->timer_stop_cb(link->ops, &link->rtx_timer);
    link->rtx_armed = false;
}

// Sends a copy, so that the stored request stays as it was encoded whatever the
// transmit path does to the bytes. False when no copy could be made.
bool transmit_copy(ulmex_link *link, packet *p)
{
    packet *copy = packet_copy(p);
    if (!copy)
        return false;
    link->ops->send_cb(link, copy);
    packet_release(copy);
    return true;
}

// Takes a request off every list and drops the link's reference.
void pending_drop(packet *p)
{
    ulmex_pending *pend = pending_of(p);
    list_remove(&pend->caller);
    list_remove(&p->queue);
    packet_release(p);
}

// Fails every request of a list (already off the link's pending list), oldest first.
void pending_fail_all(ulmex_link *link, list_link *failed)
{
    while (list_link *l = list_pop_head(failed)) {
        packet *p = pending_packet(l);
        ulmex_pending *pend = pending_of(p);
        list_remove(&pend->caller);
        link->ops->failure_cb(link, static_cast<uint8_t>(pending_type(pend)), pend->user);
        packet_release(p);
    }
}

// A link that is reopened or reset without being closed: nothing may stay on the host's
// timer wheel or hold packets once the link's memory is zeroed.
void link_discard(ulmex_link *link)
{
    if (!link->ops)
        return;
    if (link->rtx_armed)
        stop_timer(link);
    if (list_isnull(&link->pending))
        return;
    while (list_link *l = list_pop_head(&link->pending)) {
        packet *p = pending_packet(l);
        list_remove(&pending_of(p)->caller);
        packet_release(p);
    }
}

ulmex_message make_message(const ulmex_pdu &pdu, bool request, uint32_t identity)
{
    ulmex_message msg;
    msg.request = request;
    msg.response = !request;
    msg.identity = identity;
    msg.pdu = pdu;
    return msg;
}

int match_response(ulmex_link *link, const ulmex_message &msg)
{
    ulmexControl &rec = link->record;
    unsigned type = ulmex_pdu_type(msg.pdu);
    for (list_link *l : list_for_each_safe(&link->pending)) {
        packet *p = pending_packet(l);
        ulmex_pending *pend = pending_of(p);
        if (pend->identity != msg.identity)
            continue;
        unsigned req_type = pending_type(pend);
        bool refusal = type == ULMEX_STATUS &&
                       std::get<ULMEX_STATUS>(msg.pdu).statusCode != ulmex_status_code::success;
        if (type != ulmex_expected_response[req_type] && !refusal) {
            ulog(LOG_COMP_ULMEX, ULOG_DEBUG, "Ignoring unexpected Ulmex response message type %s",
                 ulmex_msg_type_name(type));
            rec.ulmexResponseErrors++;
            return -1;
        }
        ulog(LOG_COMP_ULMEX, ULOG_TRACE,
             "Received Ulmex response type %s to request type %s id %08lx",
             ulmex_msg_type_name(type), ulmex_msg_type_name(req_type),
             static_cast<unsigned long>(msg.identity));
        if (pending_count(pend) == 0)
            rtt_sample(rec, pend);
        void *user = pend->user;
        pending_drop(p);
        if (list_isempty(&link->pending))
            stop_timer(link);
        link->ops->response_cb(link, &msg.pdu, static_cast<uint8_t>(req_type), user);
        rec.ulmexResponsesReceived++;
        return 0;
    }
    ulog(LOG_COMP_ULMEX, ULOG_DEBUG, "Ignoring out-of-window Ulmex response id %08lx type %s",
         static_cast<unsigned long>(msg.identity), ulmex_msg_type_name(type));
    rec.ulmexResponseErrors++;
    return -1;
}

} // namespace

const char *ulmex_msg_type_name(unsigned type)
{
    return type <= ULMEX_FLOW_INFORM_ACCEPT ? ulmex_msg_type_names[type] : "??";
}

void ulmex_ops_init(ulmex_ops *ops, const ulmex_ops *tmpl, mempool *pool)
{
    ops->request_cb = tmpl->request_cb;
    ops->response_cb = tmpl->response_cb;
    ops->failure_cb = tmpl->failure_cb;
    ops->cancel_cb = tmpl->cancel_cb;
    ops->send_cb = tmpl->send_cb;
    ops->timer_start_cb = tmpl->timer_start_cb;
    ops->timer_stop_cb = tmpl->timer_stop_cb;
    ops->pool = pool;
}

void ulmex_ops_clear(ulmex_ops *ops)
{
    memset(static_cast<void *>(ops), 0, sizeof(*ops));
}

int ulmex_open(ulmex_ops *ops, ulmex_link *link, const ulmexControl *record)
{
    link_discard(link);
    memset(static_cast<void *>(link), 0, sizeof(*link));
    if (record)
        link->record = *record;
    ulmexControl &rec = link->record;
    rec.ulmexControlStatus = ULMEX_STATE_WAITING;
    rec.ulmexConnectTime = 0;
    rec.ulmexCloseTime = 0;
    rec.ulmexControlRttAvg = 0;
    rec.ulmexControlRttVar = 0;
    link->ops = ops;
    list_init(&link->pending);
    if (system_random(&link->next_identity, sizeof(link->next_identity)) < 0)
        return -1;
    return 0;
}

void ulmex_reset(ulmex_link *link)
{
    link_discard(link);
    memset(static_cast<void *>(link), 0, sizeof(*link));
}

void ulmex_established(ulmex_link *link, const uint8_t *identity)
{
    ulmexControl &rec = link->record;
    if (rec.ulmexControlStatus != ULMEX_STATE_WAITING)
        return;
    if (identity)
        memcpy(rec.ulmexControlIdentity, identity, sizeof(rec.ulmexControlIdentity));
    else
        memset(rec.ulmexControlIdentity, 0, sizeof(rec.ulmexControlIdentity));
    rec.ulmexControlStatus = ULMEX_STATE_RUNNING;
    rec.ulmexConnectTime = clock_sec();
    rec.ulmexLinkCount++;
    rec.ulmexCloseTime = 0;
}

void ulmex_close(ulmex_link *link)
{
    ulmexControl &rec = link->record;
    rec.ulmexCloseTime = clock_sec();
    switch (rec.ulmexControlStatus) {
    case ULMEX_STATE_WAITING:
        rec.ulmexControlStatus = ULMEX_STATE_FAILURE;
        rec.ulmexHandshakeFailures++;
        break;
    case ULMEX_STATE_RUNNING:
        rec.ulmexControlStatus = ULMEX_STATE_WAITING;
        break;
    default:
        rec.ulmexControlStatus = ULMEX_STATE_CONFIGURE;
        break;
    }
    if (!link->ops)
        return; // never opened
    list_link failed;
    list_init(&failed);
    list_splice_tail(&failed, &link->pending);
    pending_fail_all(link, &failed);
    stop_timer(link);
}

packet *ulmex_encode(ulmex_ops *ops, const ulmex_message &msg)
{
    packet *p = packet_alloc(ops->pool, 0);
    if (!p)
        return nullptr;
    // Leave the pool's tail room free: the secured link appends its tag there.
    size_t room = packet_tailroom(p);
    size_t reserve = ops->pool->tailroom;
    room = room > reserve ? room - reserve : 0;
    long n = ulmex_codec_encode(ops->encode_arena, msg, std::span(p->data, room));
    if (n < 0) {
        packet_release(p);
        return nullptr;
    }
    packet_put(p, static_cast<size_t>(n));
    return p;
}

int ulmex_request(ulmex_link *link, const ulmex_pdu &pdu, list_link *caller_list, void *user)
{
    ulmexControl &rec = link->record;
    if (rec.ulmexControlStatus != ULMEX_STATE_RUNNING) {
        rec.ulmexRequestErrors++;
        return -1;
    }
    uint32_t identity = link->next_identity;
    packet *p = ulmex_encode(link->ops, make_message(pdu, true, identity));
    if (!p) {
        rec.ulmexRequestErrors++;
        return -1;
    }
    unsigned type = ulmex_pdu_type(pdu);
    if (!in_mask(ULMEX_VALID_REQUESTS, type)) {
        ulog_ulmex_always("Invalid Ulmex request message type %s", ulmex_msg_type_name(type));
        packet_release(p);
        rec.ulmexRequestErrors++;
        return -1;
    }

    uint32_t ms = now_ms();
    auto *pend = new (p->meta) ulmex_pending{};
    pend->flags = static_cast<uint8_t>(type);
    pend->user = user;
    pend->identity = identity;
    link->next_identity = identity + 1;
    pend->stamp = static_cast<uint8_t>(ms / ULMEX_TICK_MS);
    pend->age = static_cast<uint8_t>(ms * 2);
    pend->rto = first_rto(rec);

    list_append(&link->pending, &p->queue);
    if (caller_list)
        list_append(caller_list, &pend->caller);
    else
        list_init(&pend->caller);

    // Without a copy nothing goes out now; the timer sends it when its RTO runs out.
    ulog(LOG_COMP_ULMEX, ULOG_TRACE, "Transmitting Ulmex control message request type %s id %08x",
         ulmex_msg_type_name(type), identity);
    if (transmit_copy(link, p))
        rec.ulmexRequestsSent++;
    if (!link->rtx_armed)
        arm_timer(link, ULMEX_TICK_MS);
    return 0;
}

void ulmex_retransmit_cb(timer *t)
{
    ulmex_link *link = container_of(t, &ulmex_link::rtx_timer);
    ulmexControl &rec = link->record;
    link->rtx_armed = false;
    uint32_t ticks = now_ticks();
    list_link failed;
    list_init(&failed);

    for (list_link *l : list_for_each_safe(&link->pending)) {
        packet *p = pending_packet(l);
        ulmex_pending *pend = pending_of(p);
        unsigned count = pending_count(pend);
        unsigned elapsed = (ticks - pend->stamp) & 0xFF;
        unsigned age = count ? pend->age + elapsed : elapsed;
        bool timed_out = age > ULMEX_MAX_AGE_TICKS;
        if (!timed_out && elapsed < pend->rto)
            continue;
        if (!timed_out && count >= ULMEX_MAX_RETRANSMITS)
            timed_out = true;
        if (timed_out) {
            ulog(LOG_COMP_ULMEX, ULOG_DEBUG, "Ulmex control message type %s id %08x timed out",
                 ulmex_msg_type_name(pending_type(pend)), pend->identity);
            list_remove(&p->queue);
            list_append(&failed, &p->queue);
            rec.ulmexRequestTimeouts++;
            rec.ulmexControlStatus = ULMEX_STATE_FAILURE;
            continue;
        }
        count++;
        pend->age = static_cast<uint8_t>(age);
        pend->flags = static_cast<uint8_t>(count << 5 | pending_type(pend));
        pend->rto = backoff_rto(pend->rto);
        pend->stamp = static_cast<uint8_t>(ticks);
        // A copy that cannot be made now waits for the next RTO.
        packet *copy = packet_copy(p);
        if (!copy)
            continue;
        unsigned age_ms = pend->age * ULMEX_TICK_MS;
        ulog(LOG_COMP_ULMEX, ULOG_DETAIL,
             "Ulmex control message type %s id %08x retransmit #%u age %u.%02u sec",
             ulmex_msg_type_name(pending_type(pend)), pend->identity, count, age_ms / 1000,
             (age_ms % 1000) / 10);
        link->ops->send_cb(link, copy);
        rec.ulmexRequestRetransmits++;
        packet_release(copy);
    }

    if (!list_isempty(&link->pending))
        arm_timer(link, ULMEX_TICK_MS / 2);
    pending_fail_all(link, &failed);
}

void ulmex_cancel(ulmex_link *link, list_link *caller_list)
{
    while (list_link *l = list_pop_head(caller_list)) {
        auto *pend = container_of(l, &ulmex_pending::caller);
        packet *p = packet_of(pend);
        if (link->ops->cancel_cb)
            link->ops->cancel_cb(link, static_cast<uint8_t>(pending_type(pend)), pend->user);
        list_remove(&p->queue);
        packet_release(p);
        link->record.ulmexRequestCancels++;
    }
}

int ulmex_response(ulmex_link *link, const ulmex_pdu &pdu, uint32_t identity)
{
    ulmexControl &rec = link->record;
    if (rec.ulmexControlStatus != ULMEX_STATE_RUNNING) {
        rec.ulmexResponseErrors++;
        return -1;
    }
    packet *p = ulmex_encode(link->ops, make_message(pdu, false, identity));
    if (!p) {
        rec.ulmexResponseErrors++;
        return -1;
    }
    unsigned type = ulmex_pdu_type(pdu);
    if (!in_mask(ULMEX_VALID_RESPONSES, type)) {
        ulog_ulmex_always("Invalid Ulmex response message type %s", ulmex_msg_type_name(type));
        packet_release(p);
        rec.ulmexResponseErrors++;
        return -1;
    }
    ulog(LOG_COMP_ULMEX, ULOG_TRACE, "Transmitting Ulmex control message response type %s id %08x",
         ulmex_msg_type_name(type), identity);
    link->ops->send_cb(link, p);
    packet_release(p);
    rec.ulmexResponsesSent++;
    return 0;
}

int ulmex_handle_request(ulmex_link *link, const ulmex_message &msg)
{
    unsigned type = ulmex_pdu_type(msg.pdu);
    ulog(LOG_COMP_ULMEX, ULOG_TRACE, "Received Ulmex request type %s id %08lx",
         ulmex_msg_type_name(type), static_cast<unsigned long>(msg.identity));
    if (type == ULMEX_STATUS) {
        // The controller's keepalive is answered here; any other Status is no request.
        if (std::get<ULMEX_STATUS>(msg.pdu).statusCode != ulmex_status_code::echo)
            return -1;
        ulmex_response(link, ulmex_make_pdu<ULMEX_STATUS>(ulmex_status{}), msg.identity);
    } else {
        link->ops->request_cb(link, &msg.pdu, msg.identity);
    }
    link->record.ulmexRequestsReceived++;
    return 0;
}

int ulmex_handle_response(ulmex_link *link, const packet *p)
{
    ulmexControl &rec = link->record;
    ulmex_ops *ops = link->ops;

    // A chain is read into one buffer: a datagram is one whole message.
    static uint8_t joined[PACKET_MAX_LENGTH];
    std::span<const uint8_t> bytes(p->data, p->_fragsize);
    if (packet_isfragmented(p)) {
        size_t n = packet_access(const_cast<packet *>(p), 0, p->length, joined, PACKET_ACCESS_READ);
        bytes = std::span<const uint8_t>(joined, n);
    }
    ulmex_message msg;
    if (ulmex_codec_decode(ops->decode_arena, bytes, msg) < 0)
        return -1;

    unsigned type = ulmex_pdu_type(msg.pdu);
    if (type > ULMEX_FLOW_INFORM_ACCEPT) {
        ulog(LOG_COMP_ULMEX, ULOG_DEBUG, "Ignoring unknown Ulmex message type %u", type);
        rec.ulmexUnknownTypes++;
        return -1;
    }
    if (msg.request) {
        if (!in_mask(ULMEX_VALID_REQUESTS, type)) {
            ulog_ulmex_always("Ignoring invalid Ulmex request message type %s",
                              ulmex_msg_type_name(type));
            rec.ulmexRequestErrors++;
            return -1;
        }
        if (msg.response && !in_mask(ULMEX_VALID_RESPONSES, type)) {
            ulog_ulmex_always("Ignoring invalid Ulmex response message type %s",
                              ulmex_msg_type_name(type));
            rec.ulmexResponseErrors++;
            return -1;
        }
        if (ulmex_handle_request(link, msg) < 0) {
            rec.ulmexRequestErrors++;
            return -1;
        }
        if (!msg.response)
            return 0;
    } else {
        if (!msg.response)
            return 0;
        if (!in_mask(ULMEX_VALID_RESPONSES, type)) {
            ulog_ulmex_always("Ignoring invalid Ulmex response message type %s",
                              ulmex_msg_type_name(type));
            rec.ulmexResponseErrors++;
            return -1;
        }
    }
    return match_response(link, msg);
}
