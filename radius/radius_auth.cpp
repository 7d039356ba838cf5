#include "radius/radius_auth.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "common/crypto/secure.h"
#include "common/fatal.h"
#include "common/log.h"
#include "radius/radius_client.h"
#include "radius/radius_codec.h"

#define MACFMT "%02x:%02x:%02x:%02x:%02x:%02x"
#define MACARG(m) (m)[0], (m)[1], (m)[2], (m)[3], (m)[4], (m)[5]

namespace
{

constexpr size_t EAP_PIECE = RADIUS_ATTR_MAX_VALUE;

radius_eap_backend *of(radius_auth *a)
{
    return reinterpret_cast<radius_eap_backend *>(a);
}

void drop_state(radius_eap_backend *a)
{
    if (!a->state) return;
    secure_wipe(a->state, a->state[1]);
    free(a->state);
    a->state = nullptr;
}

void release(packet **slot)
{
    packet_release(*slot);
    *slot = nullptr;
}

// An EAP Response of the station, whole in its packet: its bytes, or 0.
size_t read_response(packet *p, uint8_t *head, size_t head_len)
{
    if (!p || p->length < 5) return 0;
    packet_access(p, 0, head_len, head, PACKET_ACCESS_READ);
    if (head[0] != EAP_CODE_RESPONSE || eap_length(head) != p->length) return 0;
    return p->length;
}

void handle_identity(radius_eap_backend *a)
{
    packet *p = a->pub.aaaIdentity;
    if (!p) return;
    a->pub.aaaIdentity = nullptr;
    uint8_t buf[5 + EAP_IDENTITY_MAX] = {};
    size_t n = read_response(p, buf, p->length < sizeof buf ? p->length : sizeof buf);
    if (!n || buf[4] != EAP_TYPE_IDENTITY) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG,
             "RADIUS Authenticator dropping malformed EAP Identity of station " MACFMT,
             MACARG(a->mac));
        packet_release(p);
        return;
    }
    size_t len = n - 5 < EAP_IDENTITY_MAX ? n - 5 : EAP_IDENTITY_MAX;
    memcpy(a->pub.identity, buf + 5, len);
    a->pub.identity[len] = 0;
    a->base.identity = a->pub.identity[0] ? a->pub.identity : nullptr;
    // An identity opens a new conversation: the old one's State is not its.
    drop_state(a);
    ulog(LOG_COMP_RADIUS, ULOG_DETAIL, "Station " MACFMT " has EAP Identity \"%s\"", MACARG(a->mac),
         a->pub.identity);
    packet_release(p);
}

// The Access-Request body: Message-Authenticator first, the EAP packet in
// pieces of 253 bytes, the kept State. Null when it cannot be one message.
packet *encap_eap(radius_eap_backend *a, packet *eap, mempool *pool)
{
    size_t len = eap->length;
    size_t pieces = (len + EAP_PIECE - 1) / EAP_PIECE;
    size_t size =
        RADIUS_HDR_LEN + RADIUS_MSG_AUTH_ATTR_LEN + 2 * pieces + len + (a->state ? a->state[1] : 0);
    if (size > RADIUS_MAX_LEN || size > packet_pool_capacity(pool)) return nullptr;
    packet *msg = packet_alloc(pool, RADIUS_HDR_LEN);
    if (!msg) return nullptr;
    if (packet_tailroom(msg) < size - RADIUS_HDR_LEN) {
        packet_release(msg);
        return nullptr;
    }
    memset(msg->data, 0, RADIUS_HDR_LEN);
    memset(msg->meta, 0, sizeof msg->meta);
    radius_header(msg)->code = uint8_t(radius_code::access_request);
    radius_set_length(msg);
    radius_append_attr(msg, radius_attr_type::message_authenticator, nullptr, RADIUS_AUTH_LEN);
    uint8_t piece[EAP_PIECE];
    for (size_t at = 0; at < len; at += EAP_PIECE) {
        size_t n = len - at < EAP_PIECE ? len - at : EAP_PIECE;
        packet_access(eap, at, n, piece, PACKET_ACCESS_READ);
        radius_append_attr(msg, radius_attr_type::eap_message, piece, n);
    }
    if (a->state) radius_append(msg, a->state, a->state[1]);
    UGW_ASSERT(radius_hdr_length(radius_header(msg)) == msg->length);
    return msg;
}

void handle_response(radius_eap_backend *a)
{
    eap_aaa &pub = a->pub;
    if (!(pub.flags & EAP_AAA_EAP_RESP)) return;
    pub.flags &= uint8_t(~EAP_AAA_EAP_RESP);
    packet *eap = pub.aaaEapRespData;
    pub.aaaEapRespData = nullptr;
    uint8_t head[5];
    if (!read_response(eap, head, sizeof head)) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG,
             "RADIUS Authenticator dropping malformed EAP Response of station " MACFMT,
             MACARG(a->mac));
        pub.flags |= EAP_AAA_EAP_NO_REQ;
        packet_release(eap);
        return;
    }
    if (!a->sess) {
        pub.flags |= EAP_AAA_TIMEOUT;
        packet_release(eap);
        return;
    }
    packet *msg = encap_eap(a, eap, a->sess->db->packets);
    packet_release(eap);
    if (!msg) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG,
             "RADIUS Authenticator cannot carry the EAP Response of station " MACFMT
             " in one Access-Request",
             MACARG(a->mac));
        pub.flags |= EAP_AAA_TIMEOUT;
        return;
    }
    int r = radius_db_send_eap_request(a->sess, msg, -1);
    packet_release(msg);
    if (r < 0) pub.flags |= EAP_AAA_TIMEOUT;
}

void get_msk(radius_eap_backend *a, packet *msg)
{
    eap_aaa &pub = a->pub;
    pub.msk_len = 0;
    for (uint8_t type : {RADIUS_MS_MPPE_RECV_KEY, RADIUS_MS_MPPE_SEND_KEY}) {
        uint8_t *attr =
            radius_find_attr(msg, radius_attr_type::vendor_specific, RADIUS_VENDOR_MICROSOFT, type);
        if (!attr) continue;
        size_t vlen = attr[7]; // within the attribute: checked by the finder
        if (vlen >= 5) {
            size_t n = attr[10];
            size_t room = EAP_MSK_MAX - pub.msk_len;
            if (n > room) n = room;
            if (n > vlen - 5) n = vlen - 5;
            memcpy(pub.msk + pub.msk_len, attr + 11, n);
            pub.msk_len = uint8_t(pub.msk_len + n);
        } else {
            ulog(LOG_COMP_RADIUS, ULOG_DEBUG,
                 "RADIUS Authenticator ignoring MPPE key of %zu bytes for station " MACFMT, vlen,
                 MACARG(a->mac));
        }
        // The plain key lies in a buffer the data plane may share.
        if (vlen > 2) secure_wipe(attr + RADIUS_VSA_HDR_LEN, vlen - 2);
    }
    if (pub.msk_len) {
        ulog(LOG_COMP_RADIUS, ULOG_TRACE,
             "RADIUS Authenticator received MSK[%zu] for station " MACFMT, size_t(pub.msk_len),
             MACARG(a->mac));
        pub.flags |= EAP_AAA_KEY_AVAILABLE;
    }
}

// All EAP-Message values, in order, as one EAP packet.
void decap_eap(radius_eap_backend *a, const packet *msg, mempool *pool)
{
    eap_aaa &pub = a->pub;
    size_t total = 0;
    bool any = false;
    for (const uint8_t *at = radius_first_attr(msg); at; at = radius_next_attr(msg, at))
        if (at[0] == uint8_t(radius_attr_type::eap_message)) {
            total += at[1] - 2u;
            any = true;
        }
    uint8_t head[4] = {};
    packet *eap = nullptr;
    if (total >= 4 && total <= RADIUS_MAX_LEN) eap = packet_alloc(pool, total);
    if (eap) {
        size_t off = 0;
        for (const uint8_t *at = radius_first_attr(msg); at; at = radius_next_attr(msg, at))
            if (at[0] == uint8_t(radius_attr_type::eap_message)) {
                memcpy(eap->data + off, at + 2, at[1] - 2u);
                off += at[1] - 2u;
            }
        memcpy(head, eap->data, 4);
    }
    size_t len = eap_length(head);
    bool reqresp = head[0] == EAP_CODE_REQUEST || head[0] == EAP_CODE_RESPONSE;
    if (!eap || total < len || len < 4 || (reqresp && len <= 4)) {
        if (any || eap)
            ulog(LOG_COMP_RADIUS, ULOG_DEBUG,
                 "RADIUS Authenticator discarding malformed EAP-Message %u bytes", unsigned(total));
        packet_release(eap);
        pub.flags |= EAP_AAA_EAP_NO_REQ;
        return;
    }
    if (len < total) packet_trim(eap, total - len);
    pub.aaaEapReqData = eap;
    pub.flags |= EAP_AAA_EAP_REQ;
}

const radius_auth_ops backend_ops = {
    .abort = [](radius_auth *a) { radius_auth_abort(of(a)); },
    // The session leaves: the back end stays its EAP authenticator's.
    .destroy = [](radius_auth *a) { radius_auth_detach(of(a)); },
    .recv = [](radius_auth *a, packet *msg) { radius_auth_recv(of(a), msg); },
};

} // namespace

radius_eap_backend *radius_auth_create(radius_client *client, const uint8_t mac[6],
                                       void (*done)(void *user), void *user)
{
    auto *a = static_cast<radius_eap_backend *>(calloc(1, sizeof(radius_eap_backend)));
    if (!a) {
        ulog(LOG_COMP_RADIUS, ULOG_ERROR, "Memory allocation failed");
        return nullptr;
    }
    a->base.ops = &backend_ops;
    a->client = client;
    memcpy(a->mac, mac, 6);
    a->done = done;
    a->user = user;
    a->sess = client ? radius_client_attach_auth(client, mac, &a->base) : nullptr;
    if (!a->sess) {
        free(a);
        return nullptr;
    }
    return a;
}

void radius_auth_delete(radius_eap_backend *a)
{
    if (!a) return;
    if (radius_entry *s = a->sess) {
        a->sess = nullptr;
        radius_client_detach_auth(s);
    }
    packet_release(a->pub.aaaEapReqData);
    packet_release(a->pub.aaaEapRespData);
    packet_release(a->pub.aaaIdentity);
    drop_state(a);
    secure_wipe(&a->pub, sizeof a->pub);
    free(a);
}

void radius_auth_run(radius_eap_backend *a)
{
    a->pub.flags &= uint8_t(~EAP_AAA_KEY_AVAILABLE);
    secure_wipe(a->pub.msk, sizeof a->pub.msk);
    a->pub.msk_len = 0;
    handle_identity(a);
    handle_response(a);
}

void radius_auth_recv(radius_eap_backend *a, packet *msg)
{
    UGW_ASSERT(a->sess);
    eap_aaa &pub = a->pub;
    uint8_t code = radius_header(msg)->code;
    switch (radius_code(code)) {
    case radius_code::access_accept:
        ulog(LOG_COMP_RADIUS, ULOG_DETAIL,
             "RADIUS Authenticator received Access-Accept for station " MACFMT, MACARG(a->mac));
        get_msk(a, msg);
        pub.session_timeout = radius_auth_get_session_timeout(msg);
        if (radius_auth_get_termination_action(msg) == 1)
            pub.flags |= EAP_AAA_TERMINATE_RADIUS;
        else
            pub.flags &= uint8_t(~EAP_AAA_TERMINATE_RADIUS);
        pub.flags |= EAP_AAA_SUCCESS;
        break;
    case radius_code::access_reject:
        ulog(LOG_COMP_RADIUS, ULOG_DETAIL,
             "RADIUS Authenticator received Access-Reject for station " MACFMT, MACARG(a->mac));
        pub.flags |= EAP_AAA_FAIL;
        break;
    case radius_code::access_challenge:
        ulog(LOG_COMP_RADIUS, ULOG_TRACE,
             "RADIUS Authenticator received Access-Challenge for station " MACFMT, MACARG(a->mac));
        pub.method_timeout = radius_auth_get_session_timeout(msg);
        break;
    default:
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "Dropping RADIUS message of type %u", code);
        return;
    }
    release(&pub.aaaEapReqData);
    if (const uint8_t *st =
            radius_find_attr(static_cast<const packet *>(msg), radius_attr_type::state)) {
        if (auto *copy = static_cast<uint8_t *>(malloc(st[1]))) {
            memcpy(copy, st, st[1]);
            drop_state(a);
            a->state = copy;
        }
    }
    decap_eap(a, msg, a->sess->db->packets);
    if (pub.flags & (EAP_AAA_SUCCESS | EAP_AAA_FAIL)) drop_state(a);
    a->done(a->user);
}

void radius_auth_detach(radius_eap_backend *a)
{
    if (radius_entry *s = a->sess) {
        a->sess = nullptr;
        radius_client_detach_auth(s);
    }
    a->pub.flags |= EAP_AAA_TIMEOUT;
    a->done(a->user);
}

void radius_auth_abort(radius_eap_backend *a)
{
    a->pub.flags |= EAP_AAA_TIMEOUT;
    a->done(a->user);
}

uint32_t radius_auth_get_session_timeout(const packet *msg)
{
    uint32_t v = 0;
    const uint8_t *attr = radius_find_attr(msg, radius_attr_type::session_timeout);
    if (attr && radius_get_int(attr, &v) == 0) {
        ulog(LOG_COMP_RADIUS, ULOG_TRACE, "RADIUS Authenticator received Session-Timeout=%u", v);
        return v;
    }
    return 0;
}

uint32_t radius_auth_get_termination_action(const packet *msg)
{
    uint32_t v = 0;
    const uint8_t *attr = radius_find_attr(msg, radius_attr_type::termination_action);
    if (attr && radius_get_int(attr, &v) == 0) {
        char name[32];
        ulog(LOG_COMP_RADIUS, ULOG_TRACE, "RADIUS Authenticator received Termination-Action=%s",
             radius_termination_action_name(v, name, sizeof name));
        return v;
    }
    return 0;
}

const eap_aaa_ops radius_eap_aaa_ops = {
    .create = [](radius_client *nas, const uint8_t *mac, void (*done)(void *),
                 void *user) -> eap_aaa * {
        radius_eap_backend *a = radius_auth_create(nas, mac, done, user);
        return a ? &a->pub : nullptr;
    },
    .destroy =
        [](eap_aaa *aaa) { radius_auth_delete(container_of(aaa, &radius_eap_backend::pub)); },
    .run = [](eap_aaa *aaa) { radius_auth_run(container_of(aaa, &radius_eap_backend::pub)); },
};
