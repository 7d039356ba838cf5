// Requests the controller sends: flow installation and removal, service
// configuration. Every request but one is answered with a Status, so that the
// controller's request completes; stale ones are recognised by their session
// or epoch number and answered without effect. Session and epoch numbers wrap,
// so they compare in serial-number arithmetic: after 0xFFFFFFFF comes 0.
//
// Nothing the controller sends reaches an assertion: a state the checks should
// have ruled out (a VAP or flow left over where none may be) is answered with
// failure and logged.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/log.h"
#include "common/packet.h"
#include "common/sockaddr.h"
#include "controller/ulmex.h"
#include "controller/ulmex_codec.h"
#include "gateway/frlc.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_flow.h"
#include "gateway/ugwd_mib.h"
#include "gateway/ugwd_proc.h"
#include "gateway/ugwd_service.h"
#include "gateway/ugwd_stash.h"

namespace
{

using code = ulmex_status_code;

// RFC 1982 for 32-bit numbers: a is at or after b.
bool serial_at_or_after(uint32_t a, uint32_t b)
{
    return static_cast<int32_t>(a - b) >= 0;
}

ugwd_ctl *ctl_of(ulmex_link *link)
{
    return container_of(link, &ugwd_ctl::link);
}

void answer(ugwd_ctl *ctl, code status, uint32_t identity)
{
    ulmex_message msg;
    msg.response = true;
    msg.identity = identity;
    msg.pdu = ulmex_make_pdu<ULMEX_STATUS>(ulmex_status{status});
    if (log_enabled(LOG_COMP_ULMEX, ULOG_DUMP)) ugwd_ctl_print_message(ctl, msg);
    ulmex_response(&ctl->link, msg.pdu, identity);
}

// The first 16 bytes of a serviceId, zero-padded.
void copy_uuid(uint8_t out[16], ulmex_bytes id)
{
    memset(out, 0, 16);
    if (!id.empty()) memcpy(out, id.data(), std::min<size_t>(id.size(), 16));
}

// Only a whole IPv4 or IPv6 address makes a data port.
bool to_sockaddr(const ulmex_port_address &pa, ugwd_sockaddr *out)
{
    size_t want = pa.inet.present == ulmex_inet_type::ip     ? 4
                  : pa.inet.present == ulmex_inet_type::ipv6 ? 16
                                                             : 0;
    if (!want || pa.inet.address.size() != want) return false;
    ugwd_port_address_to_sockaddr(out, &pa);
    return true;
}

#define MACF "%02x:%02x:%02x:%02x:%02x:%02x"
#define MACA(m) (m)[0], (m)[1], (m)[2], (m)[3], (m)[4], (m)[5]

void log_stale_flow(const uint8_t mac[6], const uint8_t bssid[6])
{
    ulog(LOG_COMP_ALL, ULOG_DETAIL,
         "Discarding stale control message for flow with client " MACF " on BSSID " MACF, MACA(mac),
         MACA(bssid));
}

void log_service(const char *head, const uint8_t uuid[16], const char *tail)
{
    char u[37];
    ulog(LOG_COMP_ALL, ULOG_DEBUG, "%s%s%s", head, ugwd_uuid_format(uuid, u), tail);
}

ugwd_proc *find_proc(ugwd_ctl *ctl, uint8_t number)
{
    // The stash keeps the low byte of the process number.
    for (ugwd_proc *p : list_records<&ugwd_proc::link>(&ctl->procs))
        if (static_cast<uint8_t>(p->number) == number) return p;
    return nullptr;
}

// Unbinds every flow of the VAP; the VAP goes away with its last one. A flow
// whose unbinding is deferred stays: the walk stops rather than spin on it.
void purge_vap(ugwd_ctl *ctl, ugwd_vap *vap)
{
    uint8_t uuid[16], bssid[6];
    memcpy(uuid, vap->uuid, 16);
    memcpy(bssid, vap->bssid, 6);
    ugwd_flow *last = nullptr;
    while (ugwd_flow *f = ugwd_table_first_flow_by_uuid_bssid(ctl->table, uuid, bssid)) {
        if (f == last) break;
        last = f;
        ugwd_ctl_unbind_flow(f);
    }
}

} // namespace

ugwd_socket *ugwd_ctl_find_socket_by_id(ugwd_ctl *ctl, uint32_t id)
{
    for (ugwd_socket *s : list_records<&ugwd_socket::link>(&ctl->sockets))
        if (s->id == id) return s;
    return nullptr;
}

ulmex_status_code ugwd_ctl_connect_flow(ugwd_flow *f)
{
    ugwd_ctl *ctl = f->ctl;
    packet_queue q;
    packet_queue_init(&q);
    uint8_t number = 0;
    uint16_t socket_id = 0;
    if (!ugwd_stash_retrieve_packets(ctl->stash, &f->id, &q, &number, &socket_id))
        return code::success;
    ugwd_proc *proc = find_proc(ctl, number);
    ugwd_socket *sock = proc ? ugwd_ctl_find_socket_by_id(ctl, socket_id) : nullptr;
    if (!sock || ugwd_ctl_bind_tunnel(f, proc, sock) < 0) {
        packet_queue_purge(&q);
        ugwd_ctl_unbind_flow(f);
        return code::failure;
    }
    // Back into the process they came from, in the order they arrived.
    while (packet *p = packet_queue_pop(&q)) {
        frlc_output_packet(proc->fernrelay, sock->mib.ulmexPortIfIndex, FRL_ENCAP_IP, p);
        packet_release(p);
    }
    return code::success;
}

ulmex_status_code ugwd_ctl_install_80211_flow(ugwd_ctl *ctl, const ulmex_flow_install &req)
{
    uint8_t uuid[16];
    copy_uuid(uuid, req.serviceId);
    ugwd_service *s = ugwd_table_get_service(ctl->table, uuid);
    ugwd_sockaddr port;
    if (!s || req.bssId.size() != 6 || req.clientId.size() != 6 || req.radioId.size() != 6 ||
        !to_sockaddr(req.dataPort, &port))
        return code::failure;
    const uint8_t *bssid = req.bssId.data(), *mac = req.clientId.data();
    flow_id fid;
    frlc_flow_id_pair(&fid, bssid, mac);

    ugwd_flow *f = ugwd_table_get_flow_by_id(ctl->table, &fid);
    if (f && serial_at_or_after(f->session_id, req.sessionId)) return ugwd_ctl_connect_flow(f);
    if (f) {
        ulog(LOG_COMP_ALL, ULOG_DETAIL,
             "Removing stale flow [%zd] for client " MACF " on BSSID " MACF, f->index, MACA(mac),
             MACA(bssid));
        ugwd_ctl_unbind_flow(f);
    }

    ugwd_vap *vap = ugwd_table_get_vap_by_uuid_bssid(ctl->table, uuid, bssid);
    if (vap && sockaddr_compare(&vap->radio.sa, &port.sa) != 0) {
        char from[SOCKADDR_FMT_SIZE], to[SOCKADDR_FMT_SIZE];
        ulog(LOG_COMP_ALL, ULOG_DEBUG,
             "Purging stale VAP [%zd] with BSSID " MACF
             " since its data port changed from %s to %s",
             vap->index, MACA(bssid), sockaddr_format(&vap->radio.sa, from, sizeof(from), 0),
             sockaddr_format(&port.sa, to, sizeof(to), 0));
        purge_vap(ctl, vap);
        vap = ugwd_table_get_vap_by_uuid_bssid(ctl->table, uuid, bssid);
        if (vap && !vap->mib.ulmexServiceActiveFlows) {
            ugwd_ctl_delete_vap(vap);
            vap = ugwd_table_get_vap_by_uuid_bssid(ctl->table, uuid, bssid);
        }
        if (vap) {
            ulog(LOG_COMP_ALL, ULOG_DEBUG,
                 "Refusing flow for client " MACF ": VAP [%zd] with BSSID " MACF " is still in use",
                 MACA(mac), vap->index, MACA(bssid));
            return code::failure;
        }
    }
    if (ugwd_table_get_flow_by_id(ctl->table, &fid)) {
        ulog(LOG_COMP_ALL, ULOG_DEBUG,
             "Refusing flow for client " MACF " on BSSID " MACF ": a flow with its id remains",
             MACA(mac), MACA(bssid));
        return code::failure;
    }
    if (!vap) {
        vap = ugwd_service_create_vap(s, bssid, &port.sa);
        if (!vap) return code::failure;
        if (ugwd_table_insert_vap(ctl->table, vap) < 0) {
            ugwd_ctl_delete_vap(vap);
            return code::failure;
        }
    }

    uint8_t key[32] = {};
    if (!req.sessionKey.empty())
        memcpy(key, req.sessionKey.data(), std::min<size_t>(req.sessionKey.size(), sizeof(key)));
    f = ugwd_service_create_80211_flow(vap, &fid, req.radioId.data(), mac, key, req.sessionId,
                                       req.timeout);
    if (f) {
        vap->mib.ulmexFrequencyBand = static_cast<int8_t>(req.frequencyBand);
        if (ugwd_table_insert_flow(ctl->table, f) < 0) {
            ugwd_service_delete_flow(f);
            f = nullptr;
        } else {
            list_append(&ctl->flows, &f->link);
            // A flow its station does not take over in time goes again.
            ugwd_ctl_arm_unbind(f, req.timeout);
        }
    }
    if (!vap->mib.ulmexServiceActiveFlows) ugwd_ctl_delete_vap(vap);
    if (!f) return code::failure;
    return ugwd_ctl_connect_flow(f);
}

namespace
{

code remove_flow(ugwd_ctl *ctl, const ulmex_flow_remove &req)
{
    if (req.bssId.size() != 6 || req.clientId.size() != 6) return code::missing;
    const uint8_t *bssid = req.bssId.data(), *mac = req.clientId.data();
    ugwd_flow *f = ugwd_table_get_flow_by_bssid_mac(ctl->table, bssid, mac);
    if (f && f->session_id == req.sessionId) {
        ugwd_ctl_unbind_flow(f);
        return code::success;
    }
    log_stale_flow(mac, bssid);
    return code::missing;
}

// nullopt: no answer at all.
std::optional<code> configure_service(ugwd_ctl *ctl, const ulmex_service_configure &req)
{
    uint8_t uuid[16];
    copy_uuid(uuid, req.serviceId);
    ugwd_service *s = ugwd_table_get_service(ctl->table, uuid);
    if (!s) {
        log_service("Discarding stale control message for service ", uuid, "");
        return code::missing;
    }
    if (s->mib.ulmexServiceStatus != ULMEX_STATE_RUNNING) {
        // The controller retransmits until the service runs again.
        log_service("Dropping control message for service ", uuid, " not running");
        return std::nullopt;
    }
    if (!serial_at_or_after(req.epochId, s->epoch_id)) {
        log_service("Swallowing expired control message for service ", uuid, "");
        return code::success;
    }
    log_service("Service ", uuid, " reconfigured");
    s->epoch_id = req.epochId;
    s->mib.ulmexInformInterval = req.informInterval.value_or(0);
    ugwd_ctl_service_changed(s);
    return code::success;
}

} // namespace

void ugwd_ctl_client_request_cb(ulmex_link *link, const ulmex_pdu *pdu, uint32_t identity)
{
    ugwd_ctl *ctl = ctl_of(link);
    if (log_enabled(LOG_COMP_ULMEX, ULOG_DUMP)) {
        ulmex_message msg;
        msg.request = true;
        msg.identity = identity;
        msg.pdu = *pdu;
        ugwd_ctl_print_message(ctl, msg);
    }
    std::optional<code> status;
    switch (ulmex_pdu_type(*pdu)) {
    case ULMEX_FLOW_INSTALL:
        status = ugwd_ctl_install_80211_flow(ctl, std::get<ULMEX_FLOW_INSTALL>(*pdu));
        break;
    case ULMEX_FLOW_REMOVE:
        status = remove_flow(ctl, std::get<ULMEX_FLOW_REMOVE>(*pdu));
        break;
    case ULMEX_SERVICE_CONFIGURE:
        status = configure_service(ctl, std::get<ULMEX_SERVICE_CONFIGURE>(*pdu));
        break;
    default: {
        unsigned type = ulmex_pdu_type(*pdu);
        ulog(LOG_COMP_ALL, ULOG_DEBUG, "Discarding unhandled control message %s (%u)",
             ulmex_msg_type_name(type), type);
        status = code::failure;
    }
    }
    if (status) answer(ctl, *status, identity);
}
