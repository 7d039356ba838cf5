// RADIUS records of a NAS in both forms. Each row kind is described once, as
// a table of its counters with their text labels and JSON keys, and both
// forms walk that table.
#include <cstring>

#include "utility/ugw_render.h"
#include "utility/ugw_render_util.h"

namespace
{

constexpr const char *radius_mib_sym_inet[] = {"unknown", "ipv4", "ipv6"};

struct radius_counter {
    const char *label; // null: JSON only
    const char *key;   // null: text only
    size_t offset;     // of a u32 in the row
};

#define AUTH(label, field)                                                                         \
    {                                                                                              \
        label, #field, offsetof(radiusAuthClientServerExtTable, field)                             \
    }
constexpr radius_counter auth_counters[] = {
    AUTH("Access Requests: ", radiusAuthClientExtAccessRequests),
    AUTH("Access Retransmits: ", radiusAuthClientExtAccessRetransmissions),
    AUTH("Access Accepts: ", radiusAuthClientExtAccessAccepts),
    AUTH("Access Rejects: ", radiusAuthClientExtAccessRejects),
    AUTH("Access Challenges: ", radiusAuthClientExtAccessChallenges),
    AUTH("Bad Responses: ", radiusAuthClientExtMalformedAccessResponses),
    AUTH("Bad Authenticators: ", radiusAuthClientExtBadAuthenticators),
    AUTH("Pending Requests: ", radiusAuthClientExtPendingRequests),
    AUTH("Pending Transactions: ", radiusAuthClientExtPendingTransactions),
    AUTH("Request Timeouts: ", radiusAuthClientExtTimeouts),
    AUTH("Unknown Types: ", radiusAuthClientExtUnknownTypes),
    AUTH("Unknown Source: ", radiusAuthClientInvalidServerAddresses),
    AUTH("Packets Dropped: ", radiusAuthClientExtPacketsDropped),
};
#undef AUTH

#define ACCT(label, field)                                                                         \
    {                                                                                              \
        label, #field, offsetof(radiusAccClientServerExtTable, field)                              \
    }
constexpr radius_counter acct_counters[] = {
    ACCT("Acct Requests: ", radiusAccClientExtRequests),
    ACCT("Acct Retransmits: ", radiusAccClientExtRetransmissions),
    ACCT("Acct Responses: ", radiusAccClientExtResponses),
    ACCT("Bad Responses: ", radiusAccClientExtMalformedResponses),
    ACCT("Bad Authenticators: ", radiusAccClientExtBadAuthenticators),
    ACCT("Pending Requests: ", radiusAccClientExtPendingRequests),
    ACCT("Request Timeouts: ", radiusAccClientExtTimeouts),
    ACCT("Unknown Types: ", radiusAccClientExtUnknownTypes),
    ACCT("Unknown Source: ", radiusAccClientInvalidServerAddresses),
    ACCT("Packets Dropped: ", radiusAccClientExtPacketsDropped),
};
#undef ACCT

#define DAS(label, field)                                                                          \
    {                                                                                              \
        label, #field, offsetof(radiusDynAuthClientTable, field)                                   \
    }
constexpr radius_counter das_counters[] = {
    DAS("Disconnect Requests: ", radiusDynAuthServDisconRequests),
    DAS("Disconnect Dups: ", radiusDynAuthServDupDisconRequests),
    DAS("Disconnect ACKs: ", radiusDynAuthServDisconAcks),
    DAS("Disconnect NAKs: ", radiusDynAuthServDisconNaks),
    DAS("Discon NAK Missing: ", radiusDynAuthServDisconNakSessNoContext),
    DAS("Discon Session Rem: ", radiusDynAuthServDisconUserSessRemoved),
    DAS("Discon Malformed: ", radiusDynAuthServMalformedDisconRequests),
    DAS("Discon Bad Auths: ", radiusDynAuthServDisconBadAuthenticators),
    DAS("Discon Unknown Src: ", radiusDynAuthServerDisconInvalidClientAddresses),
    DAS("Discon Dropped: ", radiusDynAuthServDisconPacketsDropped),
    DAS("CoA Requests: ", radiusDynAuthServCoARequests),
    DAS("CoA Auth-Only: ", radiusDynAuthServCoAAuthOnlyRequests),
    DAS("CoA Duplicates: ", radiusDynAuthServDupCoARequests),
    DAS("CoA ACKs: ", radiusDynAuthServCoAAcks),
    DAS("CoA NAKs: ", radiusDynAuthServCoANaks),
    DAS("CoA NAK Auth-Only: ", radiusDynAuthServCoANakAuthOnlyRequests),
    DAS("CoA NAK Missing: ", radiusDynAuthServCoANakSessNoContext),
    DAS("CoA Session Changed: ", radiusDynAuthServCoAUserSessChanged),
    DAS("CoA Malformed: ", radiusDynAuthServMalformedCoARequests),
    DAS("CoA Bad Auths: ", radiusDynAuthServCoABadAuthenticators),
    DAS("CoA Dropped: ", radiusDynAuthServCoAPacketsDropped),
    DAS("CoA Unknown Source: ", radiusDynAuthServerCoAInvalidClientAddresses),
    DAS("Unknown Types: ", radiusDynAuthServUnknownTypes),
};
#undef DAS

uint32_t counter_value(const void *row, size_t offset)
{
    uint32_t v;
    memcpy(&v, static_cast<const uint8_t *>(row) + offset, sizeof v);
    return v;
}

// A row's address as a socket address; port 0 when none.
sockaddr_in6 radius_sockaddr(uint8_t type, const uint8_t addr[16], uint16_t port)
{
    sockaddr_in6 sa{};
    if (type == RADIUS_INET_IPV4) {
        auto *sin = reinterpret_cast<sockaddr_in *>(&sa);
        sin->sin_family = AF_INET;
        sin->sin_port = htons(port);
        memcpy(&sin->sin_addr, addr, 4);
    } else if (type == RADIUS_INET_IPV6) {
        sa.sin6_family = AF_INET6;
        sa.sin6_port = htons(port);
        memcpy(&sa.sin6_addr, addr, 16);
    }
    return sa;
}

void text_radius_addr(FILE *out, const char *label, uint8_t type, const uint8_t addr[16],
                      uint16_t port, unsigned flags)
{
    sockaddr_in6 sa = radius_sockaddr(type, addr, port);
    uint8_t stored[28] = {};
    memcpy(stored, &sa, sizeof sa);
    char text[SOCKADDR_FMT_SIZE];
    text_line(out, label, format_sockaddr(text, sizeof text, stored, flags));
}

void text_counters(FILE *out, const void *row, const radius_counter *table, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (table[i].label)
            text_linef(out, table[i].label, "%u\n", counter_value(row, table[i].offset));
}

void text_discontinuity(FILE *out, uint32_t stamp)
{
    char text[16];
    text_line(out, "Counter Discont: ", format_age(text, 10, stamp, ugw_render_now(), 9));
}

void text_rtt(FILE *out, const char *label, uint16_t rtt)
{
    text_linef(out, label, "%u.%02us\n", rtt / 100u, rtt % 100u);
}

void json_counters(json_writer *json, const void *row, const radius_counter *table, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (table[i].key) json_member_uint(json, table[i].key, counter_value(row, table[i].offset));
}

void json_inet_type(json_writer *json, const char *key, uint8_t type)
{
    json_k(json, key);
    json_symbol(json, radius_mib_sym_inet, 3, type);
}

void json_radius_addr(json_writer *json, const char *key, uint8_t type, const uint8_t addr[16])
{
    json_k(json, key);
    if (type == RADIUS_INET_IPV4)
        json_inet_text(json, AF_INET, addr);
    else if (type == RADIUS_INET_IPV6)
        json_inet_text(json, AF_INET6, addr);
    else
        json_plain_string(json, "", 0);
}

void json_secret(json_writer *json, const char *key, const char *secret)
{
    json_k(json, key);
    json_string(json, secret, RADIUS_SECRET_SIZE);
}

// Seconds since the discontinuity; null when the counters never started.
void json_discontinuity(json_writer *json, const char *key, uint32_t stamp)
{
    json_k(json, key);
    uint32_t now = ugw_render_now();
    if (!stamp)
        json_null(json);
    else
        json_uint(json, stamp <= now ? now - stamp : 0);
}

} // namespace

int inet_type_to_family(uint8_t type)
{
    return type == RADIUS_INET_IPV4 ? AF_INET : type == RADIUS_INET_IPV6 ? AF_INET6 : 0;
}

void render_text_radius_client_config(FILE *out, const radius_nas_config *r)
{
    text_line_name(out, "NAS Identifier: ", r->radiusAuthClientIdentifier,
                   sizeof r->radiusAuthClientIdentifier);
    text_linef(out, "# Request Ports: ", "%u\n", unsigned{r->radiusClientRequestPorts});
    text_line(out, "Access Caching: ", r->radiusClientCaching ? "Enabled" : "Disabled");
}

void render_text_radius_auth_server(FILE *out, const radiusAuthClientServerExtTable *r)
{
    if (!r->radiusAuthServerInetAddressType) return;
    text_line_name(out, "Auth Shared Secret: ", r->radiusAuthServerSharedSecret,
                   RADIUS_SECRET_SIZE);
    text_radius_addr(out, "Auth Server: ", r->radiusAuthServerInetAddressType,
                     r->radiusAuthServerInetAddress, r->radiusAuthClientServerInetPortNumber, 0);
    text_radius_addr(out, "Auth Client: ", r->radiusAuthClientInetAddressType,
                     r->radiusAuthClientInetAddress, 0, SOCKADDR_FMT_NO_PORT);
    text_rtt(out, "Auth Server RTT: ", r->radiusAuthClientExtRoundTripTime);
    text_counters(out, r, auth_counters, std::size(auth_counters));
    text_discontinuity(out, r->radiusAuthClientCounterDiscontinuity);
}

void render_text_radius_acct_server(FILE *out, const radiusAccClientServerExtTable *r)
{
    if (!r->radiusAccServerInetAddressType) return;
    text_line_name(out, "Acct Shared Secret: ", r->radiusAccServerSharedSecret, RADIUS_SECRET_SIZE);
    text_radius_addr(out, "Acct Server: ", r->radiusAccServerInetAddressType,
                     r->radiusAccServerInetAddress, r->radiusAccClientServerInetPortNumber, 0);
    text_radius_addr(out, "Acct Client: ", r->radiusAccClientInetAddressType,
                     r->radiusAccClientInetAddress, 0, SOCKADDR_FMT_NO_PORT);
    text_rtt(out, "Acct Server RTT: ", r->radiusAccClientExtRoundTripTime);
    text_counters(out, r, acct_counters, std::size(acct_counters));
    text_discontinuity(out, r->radiusAccClientCounterDiscontinuity);
}

void render_text_radius_dynauth_client(FILE *out, const radiusDynAuthClientTable *r)
{
    if (!r->radiusDynAuthClientAddressType) return;
    text_line_name(out, "Dynauth Shared Secret: ", r->radiusDynAuthSharedSecret,
                   RADIUS_SECRET_SIZE);
    text_radius_addr(out, "Dynauth Client: ", r->radiusDynAuthClientAddressType,
                     r->radiusDynAuthClientAddress, 0, SOCKADDR_FMT_NO_PORT);
    text_radius_addr(out, "Dynauth Server: ", r->radiusDynAuthServerAddressType,
                     r->radiusDynAuthServerAddress, 0, SOCKADDR_FMT_NO_PORT);
    text_counters(out, r, das_counters, std::size(das_counters));
    text_discontinuity(out, r->radiusDynAuthServerCounterDiscontinuity);
}

void render_json_radius_client_config(json_writer *json, const radius_nas_config *r)
{
    json_open_object(json);
    json_k(json, "radiusAuthClientIdentifier");
    json_string(json, r->radiusAuthClientIdentifier, sizeof r->radiusAuthClientIdentifier);
    json_member_uint(json, "radiusClientRequestPorts", r->radiusClientRequestPorts);
    json_k(json, "radiusClientCaching");
    json_bool(json, r->radiusClientCaching);
    json_close(json);
}

void render_json_radius_auth_server(json_writer *json, const radiusAuthClientServerExtTable *r)
{
    json_open_object(json);
    json_member_uint(json, "radiusAuthServerExtIndex", r->radiusAuthServerExtIndex);
    json_inet_type(json, "radiusAuthServerInetAddressType", r->radiusAuthServerInetAddressType);
    json_radius_addr(json, "radiusAuthServerInetAddress", r->radiusAuthServerInetAddressType,
                     r->radiusAuthServerInetAddress);
    json_inet_type(json, "radiusAuthClientInetAddressType", r->radiusAuthClientInetAddressType);
    json_radius_addr(json, "radiusAuthClientInetAddress", r->radiusAuthClientInetAddressType,
                     r->radiusAuthClientInetAddress);
    json_member_uint(json, "radiusAuthClientServerInetPortNumber",
                     r->radiusAuthClientServerInetPortNumber);
    json_secret(json, "radiusAuthServerSharedSecret", r->radiusAuthServerSharedSecret);
    json_member_uint(json, "radiusAuthClientExtRoundTripTime", r->radiusAuthClientExtRoundTripTime);
    json_counters(json, r, auth_counters, std::size(auth_counters));
    json_discontinuity(json, "radiusAuthClientCounterDiscontinuity",
                       r->radiusAuthClientCounterDiscontinuity);
    json_close(json);
}

void render_json_radius_acct_server(json_writer *json, const radiusAccClientServerExtTable *r)
{
    json_open_object(json);
    json_member_uint(json, "radiusAccServerExtIndex", r->radiusAccServerExtIndex);
    json_inet_type(json, "radiusAccServerInetAddressType", r->radiusAccServerInetAddressType);
    json_radius_addr(json, "radiusAccServerInetAddress", r->radiusAccServerInetAddressType,
                     r->radiusAccServerInetAddress);
    json_inet_type(json, "radiusAccClientInetAddressType", r->radiusAccClientInetAddressType);
    json_radius_addr(json, "radiusAccClientInetAddress", r->radiusAccClientInetAddressType,
                     r->radiusAccClientInetAddress);
    json_member_uint(json, "radiusAccClientServerInetPortNumber",
                     r->radiusAccClientServerInetPortNumber);
    json_secret(json, "radiusAccServerSharedSecret", r->radiusAccServerSharedSecret);
    json_counters(json, r, acct_counters, std::size(acct_counters));
    json_discontinuity(json, "radiusAccClientCounterDiscontinuity",
                       r->radiusAccClientCounterDiscontinuity);
    json_close(json);
}

void render_json_radius_dynauth_client(json_writer *json, const radiusDynAuthClientTable *r)
{
    json_open_object(json);
    json_member_uint(json, "radiusDynAuthClientIndex", r->radiusDynAuthClientIndex);
    json_inet_type(json, "radiusDynAuthClientAddressType", r->radiusDynAuthClientAddressType);
    json_radius_addr(json, "radiusDynAuthClientAddress", r->radiusDynAuthClientAddressType,
                     r->radiusDynAuthClientAddress);
    json_inet_type(json, "radiusDynAuthServerAddressType", r->radiusDynAuthServerAddressType);
    json_radius_addr(json, "radiusDynAuthServerAddress", r->radiusDynAuthServerAddressType,
                     r->radiusDynAuthServerAddress);
    json_secret(json, "radiusDynAuthSharedSecret", r->radiusDynAuthSharedSecret);
    json_counters(json, r, das_counters, std::size(das_counters));
    json_discontinuity(json, "radiusDynAuthServerCounterDiscontinuity",
                       r->radiusDynAuthServerCounterDiscontinuity);
    json_close(json);
}
