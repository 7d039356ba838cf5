// Access-Requests, the attributes every request of a session carries, and the
// parsing of an Access-Accept or CoA-Request into a new authorization, with
// the Error-Cause values that refuse one; the named Filter-Id rule sets.
//
// A new authorization is built into the session's scratch store and replaces
// the one in force only when the whole message passed: a refused message
// leaves the session as it was.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/filter/radius_filter_rules.h"
#include "common/log.h"
#include "radius/radius_db.h"

#define MACFMT "%02x:%02x:%02x:%02x:%02x:%02x"
#define MACARG(m) (m)[0], (m)[1], (m)[2], (m)[3], (m)[4], (m)[5]

namespace {

// Room the transport needs behind a request for the NAS address it adds.
constexpr size_t RADIUS_NAS_ADDR_ROOM = 18;

size_t clamp_len(const char *s)
{
    size_t n = strlen(s);
    return n > RADIUS_ATTR_MAX_VALUE ? RADIUS_ATTR_MAX_VALUE : n;
}

const uint8_t *request_state(const radius_entry *e)
{
    if (e->service_type == RADIUS_SERVICE_AUTHORIZE_ONLY && e->coa_state)
        return e->coa_state;
    return e->state_attr;
}

char *store_value(radius_store *store, const uint8_t *value, size_t n)
{
    auto *p = static_cast<char *>(radius_store_alloc(store, n + 1));
    if (p) {
        memcpy(p, value, n);
        p[n] = '\0';
    }
    return p;
}

// The value as printable text for log lines.
const char *printable(const uint8_t *value, size_t n, char *buf, size_t size)
{
    size_t i = 0;
    for (; i < n && i + 1 < size; i++)
        buf[i] = (value[i] >= 0x20 && value[i] < 0x7f) ? char(value[i]) : '.';
    buf[i] = '\0';
    return buf;
}

} // namespace

packet *radius_db_make_access_request(radius_entry *e)
{
    radius_db *db = e->db;
    size_t id_len = e->next_session_id[0] ? strlen(e->next_session_id) : 0;
    size_t room = 44 + (id_len ? 2 + id_len : 0);
    packet *msg = packet_alloc(db->packets, RADIUS_HDR_LEN);
    if (!msg)
        return nullptr;
    if (packet_tailroom(msg) < room - RADIUS_HDR_LEN) {
        packet_release(msg);
        errno = ENOSPC;
        return nullptr;
    }
    memset(msg->data, 0, RADIUS_HDR_LEN);
    memset(msg->meta, 0, sizeof msg->meta);
    radius_hdr *hdr = radius_header(msg);
    hdr->code = uint8_t(radius_code::access_request);
    radius_set_length(msg);
    radius_append_int(msg, radius_attr_type::service_type, e->service_type);
    radius_append_attr(msg, radius_attr_type::message_authenticator, nullptr, RADIUS_AUTH_LEN);
    if (id_len)
        radius_append_attr(msg, radius_attr_type::acct_session_id, e->next_session_id, id_len);
    UGW_ASSERT(radius_hdr_length(radius_header(msg)) == msg->length);
    return msg;
}

int radius_db_complete_request(radius_entry *e, packet *msg)
{
    radius_db *db = e->db;
    bool access = radius_header(msg)->code == uint8_t(radius_code::access_request);
    const char *name = e->authz.user_name ? e->authz.user_name : e->default_user_name;
    size_t nas_len = clamp_len(db->nas_name), name_len = clamp_len(name);
    size_t need = nas_len + name_len + 23;
    bool cui = e->authz.cui && e->authz.cui[0];
    if (cui)
        need += clamp_len(e->authz.cui) + 2;
    else if (access)
        need += 3;
    for (radius_index *ix : list_records<&radius_index::link>(&e->addrs4))
        (void)ix, need += 6;
    for (radius_index6 *ix : list_records<&radius_index6::link>(&e->addrs6))
        (void)ix, need += 18;
    const uint8_t *state = nullptr;
    if (access && !radius_find_attr(static_cast<const packet *>(msg), radius_attr_type::state)) {
        state = request_state(e);
        if (state)
            need += state[1];
    }
    need += array_length(&e->custom);
    if (packet_isfragmented(msg) || packet_tailroom(msg) < need + RADIUS_NAS_ADDR_ROOM ||
        msg->length + need + RADIUS_NAS_ADDR_ROOM > RADIUS_MAX_LEN) {
        errno = ENOSPC;
        return -1;
    }
    if (nas_len)
        radius_append_attr(msg, radius_attr_type::nas_identifier, db->nas_name, nas_len);
    radius_append_mac(msg, radius_attr_type::calling_station_id, e->mac);
    radius_append_attr(msg, radius_attr_type::user_name, name, name_len);
    if (cui) {
        radius_append_attr(msg, radius_attr_type::chargeable_user_identity, e->authz.cui,
                           clamp_len(e->authz.cui));
    } else if (access) {
        // RFC 4372: a CUI of one zero byte asks the server for one.
        uint8_t zero = 0;
        radius_append_attr(msg, radius_attr_type::chargeable_user_identity, &zero, 1);
    }
    for (radius_index *ix : list_records<&radius_index::link>(&e->addrs4))
        radius_append_attr(msg, radius_attr_type::framed_ip_address, ix->addr, 4);
    for (radius_index6 *ix : list_records<&radius_index6::link>(&e->addrs6))
        radius_append_attr(msg, radius_attr_type::framed_ipv6_address, ix->addr, 16);
    if (state)
        radius_append(msg, state, state[1]);
    if (array_length(&e->custom))
        radius_append(msg, array_at<uint8_t>(&e->custom, 0), array_length(&e->custom));
    memcpy(msg->meta, e->mac, 6);
    UGW_ASSERT(radius_hdr_length(radius_header(msg)) == msg->length);
    return 0;
}

int radius_db_store_string(char **out, const char *string, radius_store *store)
{
    if (!string) {
        *out = nullptr;
        return 0;
    }
    *out = radius_store_strdup(store, string);
    if (!*out)
        return -int(radius_store_needed(store) - store->capacity);
    return 0;
}

int radius_db_copy_authz(radius_entry *e, const radius_authz *cached, radius_store *store)
{
    radius_authz a = *cached;
    a.rules = nullptr;
    if (cached->rule_count)
        a.rules = static_cast<filter_rule *>(
            radius_store_memdup(store, cached->rules, size_t(cached->rule_count) * sizeof(filter_rule)));
    radius_db_store_string(&a.user_name, cached->user_name, store);
    radius_db_store_string(&a.cui, cached->cui, store);
    radius_db_store_string(&a.redirect_url, cached->redirect_url, store);
    radius_db_store_string(&a.captive_portal, cached->captive_portal, store);
    // The name the core gave moves with the store it lives in.
    char *given = nullptr;
    if (e->given_name)
        radius_db_store_string(&given, e->given_name, store);
    if (radius_store_needed(store) > store->capacity)
        return -int(radius_store_needed(store) - store->capacity);
    if (!a.user_name)
        a.user_name = e->default_user_name;
    e->authz = a;
    e->state_attr = e->class_attr = nullptr;
    if (e->given_name)
        e->given_name = given;
    return 0;
}

namespace {

struct parse_ctx {
    radius_entry *e;
    const packet *msg;
    radius_store *store;
    radius_authz a;
    bool coa;
    uint16_t error;
    uint32_t room;     // rules reserved
    uint32_t gathered; // rules written
    bool rules_given;
    const uint8_t *state;
    const uint8_t *class_;
    bool redirect_seen, portal_seen, name_seen;
};

void log_attr(const char *what, const uint8_t *a)
{
    char name[64], value[96];
    size_t n = a[1] > 2 ? size_t(a[1] - 2) : 0;
    if (n == 4)
        snprintf(value, sizeof value, "%u", radius_load32(a + 2));
    else
        printable(a + 2, n, value, sizeof value);
    ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "%s RADIUS attribute %s[%u]=%s", what,
         radius_attr_name(a, name, sizeof name), a[1], value);
}

void invalid(parse_ctx &c, const uint8_t *a)
{
    log_attr("Invalid", a);
    c.error = RADIUS_ERROR_INVALID_ATTRIBUTE_VALUE;
}

void unsupported(parse_ctx &c, const uint8_t *a)
{
    log_attr("Unsupported", a);
    if (c.coa)
        c.error = RADIUS_ERROR_UNSUPPORTED_ATTRIBUTE;
}

// Tag (top byte) and value (low 24 bits) of a tagged integer; false when not 4 bytes.
bool tagged_int(const uint8_t *a, uint32_t *tag, uint32_t *value)
{
    uint32_t v;
    if (radius_get_int(a, &v) < 0)
        return false;
    *tag = v >> 24;
    *value = v & 0xffffff;
    return true;
}

// Strictly decimal: digits only, at most 9 of them.
bool decimal(const uint8_t *p, size_t n, uint32_t *out)
{
    if (n == 0 || n > 9)
        return false;
    uint32_t v = 0;
    for (size_t i = 0; i < n; i++) {
        if (p[i] < '0' || p[i] > '9')
            return false;
        v = v * 10 + uint32_t(p[i] - '0');
    }
    *out = v;
    return true;
}

// The tunnel attributes: 0, or the Error-Cause that stops the parse.
uint16_t tunnel_pass(parse_ctx &c)
{
    const uint8_t *type = radius_find_attr(c.msg, radius_attr_type::tunnel_type);
    if (!type)
        return 0;
    const uint8_t *medium = radius_find_attr(c.msg, radius_attr_type::tunnel_medium_type);
    const uint8_t *group = radius_find_attr(c.msg, radius_attr_type::tunnel_private_group_id);
    const uint8_t *mac = c.e->mac;
    char name[64];
    int tags[3] = {-1, -1, -2};
    uint32_t tag, value, vlan = 0;
    if (medium) {
        if (!tagged_int(medium, &tag, &value) || tag > 31 || value != 6) {
            invalid(c, medium);
            return RADIUS_ERROR_INVALID_ATTRIBUTE_VALUE;
        }
        tags[0] = int(tag);
        ulog(LOG_COMP_RADIUS, ULOG_DETAIL, MACFMT ": RADIUS attribute %s:%u=IEEE-802", MACARG(mac),
             radius_attr_name(medium, name, sizeof name), tag);
    }
    if (!tagged_int(type, &tag, &value) || tag > 31 || value != 13) {
        invalid(c, type);
        return RADIUS_ERROR_INVALID_ATTRIBUTE_VALUE;
    }
    tags[1] = int(tag);
    ulog(LOG_COMP_RADIUS, ULOG_DETAIL, MACFMT ": RADIUS attribute %s:%u=VLAN", MACARG(mac),
         radius_attr_name(type, name, sizeof name), tag);
    if (group) {
        const uint8_t *v = group + 2;
        size_t n = group[1] - 2u;
        tag = 0;
        if (n >= 1 && v[0] <= 31) {
            tag = v[0];
            v++;
            n--;
        }
        if (!decimal(v, n, &vlan) || vlan < 1 || vlan > 4094) {
            invalid(c, group);
            return RADIUS_ERROR_INVALID_ATTRIBUTE_VALUE;
        }
        tags[2] = int(tag);
        ulog(LOG_COMP_RADIUS, ULOG_DETAIL, MACFMT ": RADIUS attribute %s:%u=\"%u\"", MACARG(mac),
             radius_attr_name(group, name, sizeof name), tag, vlan);
    }
    if (tags[0] != tags[1] || tags[1] != tags[2]) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "Tag mismatch in RADIUS Tunnel attributes");
        return RADIUS_ERROR_UNSUPPORTED_EXTENSION;
    }
    c.a.flags = uint16_t((c.a.flags & ~RADIUS_AUTHZ_VLAN_MASK) | (vlan << RADIUS_AUTHZ_VLAN_SHIFT));
    return 0;
}

void vsa(parse_ctx &c, const uint8_t *a)
{
    // Vendor id, vendor type, vendor length, value; the codec checked the lengths.
    if (a[1] < RADIUS_VSA_HDR_LEN || a[7] < 2 || a[7] > a[1] - 6) {
        invalid(c, a);
        return;
    }
    uint32_t vendor = radius_load32(a + 2);
    uint8_t vtype = a[6];
    const uint8_t *value = a + 8;
    size_t n = a[7] - 2u;
    const uint8_t *mac = c.e->mac;
    char name[64];
    auto number = [&](uint32_t *field) {
        if (n != 4) {
            invalid(c, a);
            return;
        }
        *field = radius_load32(value);
        ulog(LOG_COMP_RADIUS, ULOG_DETAIL, MACFMT ": RADIUS VSA %s=%u", MACARG(mac),
             radius_attr_name(a, name, sizeof name), *field);
    };
    auto text = [&](char **field, bool *seen) {
        char *s = store_value(c.store, value, n);
        if (s)
            *field = s;
        *seen = true;
        char shown[96];
        ulog(LOG_COMP_RADIUS, ULOG_DETAIL, MACFMT ": RADIUS VSA %s=\"%s\"", MACARG(mac),
             radius_attr_name(a, name, sizeof name), printable(value, n, shown, sizeof shown));
        // A CoA-Request's empty value clears the field.
        if (c.coa && n == 0)
            *field = nullptr;
    };
    if (vendor == RADIUS_VENDOR_WISPR) {
        switch (vtype) {
        case 4:
            return text(&c.a.redirect_url, &c.redirect_seen);
        case 7:
            return number(&c.a.bandwidth_up);
        case 8:
            return number(&c.a.bandwidth_down);
        }
    } else if (vendor == RADIUS_VENDOR_MICROSOFT) {
        if (vtype == RADIUS_MS_MPPE_SEND_KEY || vtype == RADIUS_MS_MPPE_RECV_KEY)
            return;
    } else if (vendor == RADIUS_VENDOR_ULMEX) {
        switch (vtype) {
        case 1:
            return text(&c.a.redirect_url, &c.redirect_seen);
        case 2:
            return number(&c.a.bandwidth_up);
        case 3:
            return number(&c.a.bandwidth_down);
        case 4:
            return number(&c.a.volume_up);
        case 5:
            return number(&c.a.volume_down);
        case 6:
            return text(&c.a.captive_portal, &c.portal_seen);
        }
    }
    unsupported(c, a);
}

void filter_id(parse_ctx &c, const uint8_t *a)
{
    size_t n = a[1] - 2u;
    char name[RADIUS_ATTR_MAX_VALUE + 1];
    memcpy(name, a + 2, n);
    name[n] = '\0';
    if (!name[0])
        return;
    char aname[64];
    ulog(LOG_COMP_RADIUS, ULOG_DETAIL, MACFMT ": RADIUS %s=\"%s\"", MACARG(c.e->mac),
         radius_attr_name(a, aname, sizeof aname), name);
    filter_rule *at = c.a.rules ? c.a.rules + c.gathered : nullptr;
    int r = radius_db_lookup_filter(c.e->db, name, at, at ? c.room - c.gathered : 0);
    if (r < 0) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "%s \"%s\" not found", aname, name);
        c.error = RADIUS_ERROR_INVALID_ATTRIBUTE_VALUE;
        return;
    }
    uint32_t copied = uint32_t(r);
    if (copied > c.room - c.gathered)
        copied = c.room - c.gathered;
    c.gathered += copied;
    c.rules_given = true;
}

void main_pass(parse_ctx &c, radius_filter_rules *nfr)
{
    const uint8_t *mac = c.e->mac;
    char name[64];
    for (const uint8_t *a = radius_first_attr(c.msg); a; a = radius_next_attr(c.msg, a)) {
        if (a[1] < 2)
            break;
        uint32_t v;
        switch (radius_attr_type(a[0])) {
        case radius_attr_type::user_name:
            if (!c.coa) {
                char *s = store_value(c.store, a + 2, a[1] - 2u);
                if (s)
                    c.a.user_name = s;
                c.name_seen = true;
            } else {
                // Identifies the session; not a change.
            }
            break;
        case radius_attr_type::filter_id:
            filter_id(c, a);
            break;
        case radius_attr_type::state:
            c.state = static_cast<const uint8_t *>(radius_store_memdup(c.store, a, a[1]));
            break;
        case radius_attr_type::class_:
            c.class_ = static_cast<const uint8_t *>(radius_store_memdup(c.store, a, a[1]));
            break;
        case radius_attr_type::vendor_specific:
            vsa(c, a);
            break;
        case radius_attr_type::session_timeout:
            if (radius_get_int(a, &v) < 0) {
                invalid(c, a);
                break;
            }
            c.a.session_timeout = v;
            ulog(LOG_COMP_RADIUS, ULOG_DETAIL, MACFMT ": RADIUS attribute %s=%d", MACARG(mac),
                 radius_attr_name(a, name, sizeof name), int(v));
            break;
        case radius_attr_type::termination_action: {
            if (radius_get_int(a, &v) < 0 || v > 1) {
                invalid(c, a);
                break;
            }
            if (v)
                c.a.flags |= RADIUS_AUTHZ_TERMINATE_REQUEST;
            else
                c.a.flags &= uint16_t(~RADIUS_AUTHZ_TERMINATE_REQUEST);
            char tname[16];
            ulog(LOG_COMP_RADIUS, ULOG_DETAIL, MACFMT ": RADIUS attribute %s=%s", MACARG(mac),
                 radius_attr_name(a, name, sizeof name),
                 radius_termination_action_name(v, tname, sizeof tname));
            break;
        }
        case radius_attr_type::acct_interim_interval:
            if (radius_get_int(a, &v) < 0) {
                invalid(c, a);
                break;
            }
            // Without accounting there is nothing to update; too short an
            // interval is raised rather than refused.
            if (!radius_db_accounting(c.e->db))
                break;
            if (v < RADIUS_MIN_INTERIM_INTERVAL)
                v = RADIUS_MIN_INTERIM_INTERVAL;
            c.a.interim_interval = v;
            ulog(LOG_COMP_RADIUS, ULOG_DETAIL, MACFMT ": RADIUS attribute %s=%u", MACARG(mac),
                 radius_attr_name(a, name, sizeof name), v);
            break;
        case radius_attr_type::chargeable_user_identity:
            if (!c.coa) {
                char *s = store_value(c.store, a + 2, a[1] - 2u);
                if (s)
                    c.a.cui = s;
            }
            break;
        case radius_attr_type::nas_filter_rule: {
            char shown[96];
            ulog(LOG_COMP_RADIUS, ULOG_DETAIL, MACFMT ": RADIUS attribute %s=\"%s\"", MACARG(mac),
                 radius_attr_name(a, name, sizeof name),
                 printable(a + 2, a[1] - 2u, shown, sizeof shown));
            filter_rule *at = c.a.rules ? c.a.rules + c.gathered : nullptr;
            int r = radius_filter_rules_decode(nfr, std::span<const uint8_t>(a, a[1]), at,
                                               at ? c.room - c.gathered : 0);
            if (r < 0) {
                if (at) {
                    ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "Malformed RADIUS attribute NAS-Filter-Rule");
                    c.error = RADIUS_ERROR_INVALID_ATTRIBUTE_VALUE;
                }
                break;
            }
            c.gathered += uint32_t(r);
            c.rules_given = true;
            break;
        }
        case radius_attr_type::nas_ip_address:
        case radius_attr_type::framed_ip_address:
        case radius_attr_type::calling_station_id:
        case radius_attr_type::nas_identifier:
        case radius_attr_type::proxy_state:
        case radius_attr_type::acct_session_id:
        case radius_attr_type::event_timestamp:
        case radius_attr_type::tunnel_type:
        case radius_attr_type::tunnel_medium_type:
        case radius_attr_type::eap_message:
        case radius_attr_type::message_authenticator:
        case radius_attr_type::tunnel_private_group_id:
        case radius_attr_type::nas_ipv6_address:
        case radius_attr_type::framed_ipv6_address:
            break;
        default:
            unsupported(c, a);
            break;
        }
    }
}

// A copy of a string of the session into the new store; strings that do not
// live in the store (the default name, the EAP identity) are shared.
char *carry(radius_entry *e, char *s, radius_store *store)
{
    if (!s || s == e->default_user_name || (e->auth && s == e->auth->identity))
        return s;
    char *out;
    radius_db_store_string(&out, s, store);
    return out;
}

} // namespace

uint16_t radius_db_parse_authz(radius_entry *e, packet *msg, radius_store *store)
{
    const packet *m = msg;
    bool coa = radius_header(m)->code == uint8_t(radius_code::coa_request);
    parse_ctx c{};
    c.e = e;
    c.msg = m;
    c.store = store;
    c.coa = coa;
    if (coa) {
        c.a = e->authz;
        c.a.rule_count = 0;
        c.a.rules = nullptr;
        c.a.redirect_url = c.a.captive_portal = c.a.user_name = c.a.cui = nullptr;
        uint32_t elapsed = clock_sec() - e->start_time;
        auto remaining = [](uint32_t &limit, uint32_t hi, uint32_t used) {
            if (!limit)
                return;
            limit = (hi || used >= limit) ? 1 : limit - used;
        };
        remaining(c.a.session_timeout, 0, elapsed);
        remaining(c.a.volume_up, e->octets_up_hi, e->octets_up_lo);
        remaining(c.a.volume_down, e->octets_down_hi, e->octets_down_lo);
    } else {
        c.a = radius_authz{};
        uint16_t authentic = e->auth ? 1 : e->station ? 2 : 3;
        c.a.flags = uint16_t(authentic << RADIUS_AUTHZ_ACCT_AUTHENTIC_SHIFT);
    }

    // Rule space.
    radius_filter_rules nfr;
    std::span<const uint8_t> bytes(m->data, m->length);
    radius_filter_rules_init(&nfr, bytes);
    uint32_t count = 0;
    for (const uint8_t *a = radius_first_attr(m); a; a = radius_next_attr(m, a)) {
        if (a[1] < 2)
            break;
        if (a[0] == RADIUS_ATTR_NAS_FILTER_RULE) {
            int r = radius_filter_rules_decode(&nfr, std::span<const uint8_t>(a, a[1]), nullptr, 0);
            if (r < 0) {
                ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "Malformed RADIUS attribute NAS-Filter-Rule");
                return RADIUS_ERROR_INVALID_ATTRIBUTE_VALUE;
            }
            count += uint32_t(r);
        } else if (a[0] == uint8_t(radius_attr_type::filter_id)) {
            count += e->db->max_filter_rules;
        }
        if (count > RADIUS_MAX_RULES)
            break;
    }
    if (count > RADIUS_MAX_RULES) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "Too many RADIUS filter rules for station " MACFMT,
             MACARG(e->mac));
        return RADIUS_ERROR_RESOURCES_UNAVAILABLE;
    }
    if (count) {
        c.a.rules = static_cast<filter_rule *>(radius_store_alloc(store, count * sizeof(filter_rule)));
        c.room = c.a.rules ? count : 0;
    }
    radius_filter_rules_init(&nfr, bytes);

    if (radius_first_attr(m)) {
        uint16_t t = tunnel_pass(c);
        if (t)
            return t;
    }
    main_pass(c, &nfr);
    c.a.rule_count = uint16_t(c.gathered);
    if (!c.rules_given || c.gathered == 0)
        c.a.rules = c.gathered ? c.a.rules : nullptr;

    if (!c.name_seen)
        c.a.user_name = carry(e, e->authz.user_name, store);
    char *given = e->given_name ? carry(e, const_cast<char *>(e->given_name), store) : nullptr;
    if (coa) {
        if (!c.state && e->state_attr)
            c.state = static_cast<const uint8_t *>(radius_store_memdup(store, e->state_attr, e->state_attr[1]));
        if (!c.class_ && e->class_attr)
            c.class_ = static_cast<const uint8_t *>(radius_store_memdup(store, e->class_attr, e->class_attr[1]));
        if (!c.rules_given && e->authz.rule_count) {
            c.a.rules = static_cast<filter_rule *>(radius_store_memdup(
                store, e->authz.rules, size_t(e->authz.rule_count) * sizeof(filter_rule)));
            c.a.rule_count = e->authz.rule_count;
        }
        if (!c.redirect_seen)
            c.a.redirect_url = carry(e, e->authz.redirect_url, store);
        if (!c.portal_seen)
            c.a.captive_portal = carry(e, e->authz.captive_portal, store);
        c.a.cui = carry(e, e->authz.cui, store);
    }
    if (radius_store_needed(store) > store->capacity)
        return RADIUS_ERROR_RESOURCES_UNAVAILABLE;
    if (c.error)
        return c.error;
    if (!c.a.user_name)
        c.a.user_name = e->default_user_name;
    e->authz = c.a;
    e->state_attr = c.state;
    e->class_attr = c.class_;
    if (e->given_name)
        e->given_name = given;
    return 0;
}

// Filter-Id rule sets.

int radius_db_add_filter(radius_db *db, const char *name, const filter_rule *rules, uint32_t count)
{
    size_t name_len = strlen(name);
    if (count > RADIUS_MAX_RULES) {
        errno = E2BIG;
        return -1;
    }
    auto *set = static_cast<radius_filter_set *>(
        malloc(sizeof(radius_filter_set) + count * sizeof(filter_rule) + name_len + 1));
    if (!set) {
        ulog(LOG_COMP_RADIUS, ULOG_ERROR, "Memory allocation failed");
        return 255;
    }
    hashlink_init(&set->link);
    set->ulmexRadiusFilterRules = uint16_t(count);
    if (count)
        memcpy(set->rules, rules, count * sizeof(filter_rule));
    char *text = reinterpret_cast<char *>(set->rules + count);
    memcpy(text, name, name_len + 1);
    set->name = text;
    for (uint32_t i = 0; i < count; i++) {
        char buf[256];
        filter_rule_print(&set->rules[i], buf, sizeof buf);
        ulog(LOG_COMP_RADIUS, ULOG_DETAIL, "RADIUS RADIUS Filter-Id \"%s\": #%zu \"%s\" added", name,
             size_t(i), buf);
    }
    hashlink *old = hashtable_insert(db->filters, &set->link);
    if (old)
        free(hashtable_entry(old, &radius_filter_set::link));
    if (count > db->max_filter_rules)
        db->max_filter_rules = count;
    return 0;
}

void radius_db_remove_filter(radius_db *db, const char *name)
{
    auto *set = hashtable_lookup(db->filters, name, &radius_filter_set::link);
    if (!set)
        return;
    hashtable_remove(db->filters, &set->link);
    ulog(LOG_COMP_RADIUS, ULOG_DETAIL, "RADIUS RADIUS Filter-Id %s removed", name);
    free(set);
}

int radius_db_lookup_filter(radius_db *db, const char *name, filter_rule *rules, uint32_t n)
{
    auto *set = hashtable_lookup(db->filters, name, &radius_filter_set::link);
    if (!set)
        return -1;
    uint32_t copy = set->ulmexRadiusFilterRules < n ? set->ulmexRadiusFilterRules : n;
    if (rules && copy)
        memcpy(rules, set->rules, copy * sizeof(filter_rule));
    return set->ulmexRadiusFilterRules;
}

int radius_db_get_filter(radius_db *db, const char *name, filter_rule *rules, uint32_t n)
{
    if (!name[0])
        return 0;
    int r = radius_db_lookup_filter(db, name, rules, n);
    if (r < 0)
        errno = ENOENT;
    return r;
}

int radius_db_list_filters(radius_db *db, const char **names, uint32_t n)
{
    uint32_t i = 0;
    for (hashlink *l = hashtable_first(db->filters); l; l = hashtable_next(db->filters, l), i++)
        if (i < n)
            names[i] = hashtable_entry(l, &radius_filter_set::link)->name;
    return int(i);
}
