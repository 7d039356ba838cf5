// The RADIUS management records: the NAS record (configuration and the
// RFC 4668 / 4670 client and RFC 5176 dynamic-authorization server MIB rows)
// and the Access record of a station's authorization. They travel unchanged
// between the daemon and the utility on one host: host byte order, fixed
// sizes and offsets, reserved bytes zero.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/ctl_msg.h"

// InetAddressType of the rows.
enum : uint8_t {
    RADIUS_INET_NONE = 0,
    RADIUS_INET_IPV4 = 1, // address in the first 4 bytes
    RADIUS_INET_IPV6 = 2,
};

constexpr size_t RADIUS_SECRET_SIZE = 65;
constexpr size_t RADIUS_NAS_ID_SIZE = 254;
constexpr unsigned RADIUS_MAX_REQUEST_PORTS = 256;

// The NAS configuration; also one row of the NASes list.
struct radius_nas_config {
    char radiusAuthClientIdentifier[RADIUS_NAS_ID_SIZE]; // sent as NAS-Identifier
    uint16_t radiusClientCaching : 1;
    uint16_t radiusClientRequestPorts : 15;
};
static_assert(sizeof(radius_nas_config) == 256);

struct radiusAuthClientServerExtTable {
    uint8_t radiusAuthServerExtIndex; // 0 primary, 1 secondary
    uint8_t radiusAuthServerInetAddressType;
    uint8_t radiusAuthClientInetAddressType; // the NAS's own address
    uint8_t reserved1;
    uint8_t radiusAuthServerInetAddress[16];
    uint8_t radiusAuthClientInetAddress[16]; // sent as NAS-IP-Address or NAS-IPv6-Address
    char radiusAuthServerSharedSecret[RADIUS_SECRET_SIZE];
    uint8_t reserved2;
    uint16_t radiusAuthClientServerInetPortNumber;
    uint16_t radiusAuthClientExtRoundTripTime; // hundredths of a second, last answer
    uint16_t reserved3;
    uint32_t radiusAuthClientExtAccessRequests;
    uint32_t radiusAuthClientExtAccessRetransmissions;
    uint32_t radiusAuthClientExtAccessAccepts;
    uint32_t radiusAuthClientExtAccessRejects;
    uint32_t radiusAuthClientExtAccessChallenges;
    uint32_t radiusAuthClientExtMalformedAccessResponses;
    uint32_t radiusAuthClientExtBadAuthenticators;
    uint32_t radiusAuthClientExtPendingRequests;
    uint32_t radiusAuthClientExtPendingTransactions;
    uint32_t radiusAuthClientExtTimeouts;
    uint32_t radiusAuthClientExtUnknownTypes;
    uint32_t radiusAuthClientExtPacketsDropped;
    uint32_t radiusAuthClientCounterDiscontinuity; // seconds of the daemon's clock
    uint32_t radiusAuthClientInvalidServerAddresses;
};
static_assert(sizeof(radiusAuthClientServerExtTable) == 164);
static_assert(offsetof(radiusAuthClientServerExtTable, radiusAuthServerInetAddress) == 4);
static_assert(offsetof(radiusAuthClientServerExtTable, radiusAuthClientInetAddress) == 20);
static_assert(offsetof(radiusAuthClientServerExtTable, radiusAuthServerSharedSecret) == 36);
static_assert(offsetof(radiusAuthClientServerExtTable, radiusAuthClientServerInetPortNumber) == 102);
static_assert(offsetof(radiusAuthClientServerExtTable, radiusAuthClientExtRoundTripTime) == 104);
static_assert(offsetof(radiusAuthClientServerExtTable, radiusAuthClientExtAccessRequests) == 108);
static_assert(offsetof(radiusAuthClientServerExtTable, radiusAuthClientExtPendingRequests) == 136);
static_assert(offsetof(radiusAuthClientServerExtTable, radiusAuthClientExtTimeouts) == 144);
static_assert(offsetof(radiusAuthClientServerExtTable, radiusAuthClientExtPacketsDropped) == 152);
static_assert(offsetof(radiusAuthClientServerExtTable, radiusAuthClientCounterDiscontinuity) == 156);
static_assert(offsetof(radiusAuthClientServerExtTable, radiusAuthClientInvalidServerAddresses) ==
              160);

struct radiusAccClientServerExtTable {
    uint8_t radiusAccServerExtIndex;
    uint8_t radiusAccServerInetAddressType;
    uint8_t radiusAccClientInetAddressType;
    uint8_t reserved1;
    uint8_t radiusAccServerInetAddress[16];
    uint8_t radiusAccClientInetAddress[16];
    char radiusAccServerSharedSecret[RADIUS_SECRET_SIZE];
    uint8_t reserved2;
    uint16_t radiusAccClientServerInetPortNumber;
    uint16_t radiusAccClientExtRoundTripTime;
    uint16_t reserved3;
    uint32_t radiusAccClientExtRequests;
    uint32_t radiusAccClientExtRetransmissions;
    uint32_t radiusAccClientExtResponses;
    uint32_t radiusAccClientExtMalformedResponses;
    uint32_t radiusAccClientExtBadAuthenticators;
    uint32_t radiusAccClientExtPendingRequests;
    uint32_t radiusAccClientExtTimeouts;
    uint32_t radiusAccClientExtUnknownTypes;
    uint32_t radiusAccClientExtPacketsDropped;
    uint32_t radiusAccClientCounterDiscontinuity;
    uint32_t radiusAccClientInvalidServerAddresses;
};
static_assert(sizeof(radiusAccClientServerExtTable) == 152);
static_assert(offsetof(radiusAccClientServerExtTable, radiusAccServerSharedSecret) == 36);
static_assert(offsetof(radiusAccClientServerExtTable, radiusAccClientServerInetPortNumber) == 102);
static_assert(offsetof(radiusAccClientServerExtTable, radiusAccClientExtRoundTripTime) == 104);
static_assert(offsetof(radiusAccClientServerExtTable, radiusAccClientExtRequests) == 108);
static_assert(offsetof(radiusAccClientServerExtTable, radiusAccClientExtPendingRequests) == 128);
static_assert(offsetof(radiusAccClientServerExtTable, radiusAccClientCounterDiscontinuity) == 144);
static_assert(offsetof(radiusAccClientServerExtTable, radiusAccClientInvalidServerAddresses) == 148);

// Derived from the authentication row of the same index, client and server swapped.
struct radiusDynAuthClientTable {
    uint8_t radiusDynAuthClientIndex;
    uint8_t radiusDynAuthClientAddressType;
    uint8_t radiusDynAuthServerAddressType;
    uint8_t reserved1;
    uint8_t radiusDynAuthClientAddress[16]; // the RADIUS server that may send CoA/Disconnect
    uint8_t radiusDynAuthServerAddress[16]; // the NAS's own address
    char radiusDynAuthSharedSecret[RADIUS_SECRET_SIZE];
    uint8_t reserved2[3];
    uint32_t radiusDynAuthServDisconRequests;
    uint32_t radiusDynAuthServDisconAuthOnlyRequests; // Service-Type Authorize-Only
    uint32_t radiusDynAuthServDupDisconRequests;
    uint32_t radiusDynAuthServDisconAcks;
    uint32_t radiusDynAuthServDisconNaks;
    uint32_t radiusDynAuthServDisconNakAuthOnlyRequests; // NAKs to Authorize-Only requests
    uint32_t radiusDynAuthServDisconNakSessNoContext;
    uint32_t radiusDynAuthServDisconUserSessRemoved;
    uint32_t radiusDynAuthServMalformedDisconRequests;
    uint32_t radiusDynAuthServDisconBadAuthenticators;
    uint32_t radiusDynAuthServDisconPacketsDropped;
    uint32_t radiusDynAuthServCoARequests;
    uint32_t radiusDynAuthServCoAAuthOnlyRequests;
    uint32_t radiusDynAuthServDupCoARequests;
    uint32_t radiusDynAuthServCoAAcks;
    uint32_t radiusDynAuthServCoANaks;
    uint32_t radiusDynAuthServCoANakAuthOnlyRequests;
    uint32_t radiusDynAuthServCoANakSessNoContext;
    uint32_t radiusDynAuthServCoAUserSessChanged;
    uint32_t radiusDynAuthServMalformedCoARequests;
    uint32_t radiusDynAuthServCoABadAuthenticators;
    uint32_t radiusDynAuthServCoAPacketsDropped;
    uint32_t radiusDynAuthServUnknownTypes;
    uint32_t radiusDynAuthServerCounterDiscontinuity;
    uint32_t radiusDynAuthServerDisconInvalidClientAddresses;
    uint32_t radiusDynAuthServerCoAInvalidClientAddresses;
};
static_assert(sizeof(radiusDynAuthClientTable) == 208);
static_assert(offsetof(radiusDynAuthClientTable, radiusDynAuthSharedSecret) == 36);
static_assert(offsetof(radiusDynAuthClientTable, radiusDynAuthServDisconRequests) == 104);
static_assert(offsetof(radiusDynAuthClientTable, radiusDynAuthServDisconPacketsDropped) == 144);
static_assert(offsetof(radiusDynAuthClientTable, radiusDynAuthServCoARequests) == 148);
static_assert(offsetof(radiusDynAuthClientTable, radiusDynAuthServUnknownTypes) == 192);
static_assert(offsetof(radiusDynAuthClientTable, radiusDynAuthServerCounterDiscontinuity) == 196);
static_assert(offsetof(radiusDynAuthClientTable, radiusDynAuthServerCoAInvalidClientAddresses) ==
              204);

// The NAS record. Add-NAS and Modify-NAS carry it up to the dynamic-
// authorization rows (RADIUS_NAS_RECORD_CONFIG_SIZE); New-NAS and Delete-NAS whole.
struct radius_nas_record {
    radius_nas_config config;
    radiusAuthClientServerExtTable auth[2];
    radiusAccClientServerExtTable acct[2];
    radiusDynAuthClientTable das[2];
};
static_assert(offsetof(radius_nas_record, auth) == 256);
static_assert(offsetof(radius_nas_record, acct) == 256 + 2 * 164);
static_assert(offsetof(radius_nas_record, das) == 888);
static_assert(sizeof(radius_nas_record) == 1304);
constexpr size_t RADIUS_NAS_RECORD_CONFIG_SIZE = offsetof(radius_nas_record, das);

static_assert(sizeof(radius_nas_config) == CTL_REC_NAS);
static_assert(sizeof(radius_nas_record::auth) == CTL_REC_NAS_AUTH);
static_assert(sizeof(radius_nas_record::acct) == CTL_REC_NAS_ACCT);
static_assert(sizeof(radius_nas_record::das) == CTL_REC_NAS_DAS);

// The authorization of a station: one row of Accesses, the head of New-Access.
struct radius_access_record {
    uint32_t bandwidth_up;
    uint32_t bandwidth_down;
    uint32_t volume_up; // octets
    uint32_t volume_down;
    uint32_t session_timeout;  // s
    uint32_t interim_interval; // Acct-Interim-Interval, s
    uint8_t termination_action; // 0 Default, 1 RADIUS-Request
    uint8_t acct_authentic;     // 1 RADIUS, 2 Local, 3 Remote
    uint16_t vlan_id;           // 0 none
    char redirect_url[254];     // NUL-terminated, at most 253 characters
    char captive_portal[254];
    char user_name[254];
    char chargeable_user_identity[254];
    uint16_t rule_count;
    uint16_t reserved;
};
static_assert(sizeof(radius_access_record) == 1048);
static_assert(sizeof(radius_access_record) == CTL_REC_ACCESS);
static_assert(offsetof(radius_access_record, termination_action) == 24);
static_assert(offsetof(radius_access_record, vlan_id) == 26);
static_assert(offsetof(radius_access_record, redirect_url) == 28);
static_assert(offsetof(radius_access_record, captive_portal) == 282);
static_assert(offsetof(radius_access_record, user_name) == 536);
static_assert(offsetof(radius_access_record, chargeable_user_identity) == 790);
static_assert(offsetof(radius_access_record, rule_count) == 1044);

// New-Access: the management header, the record, the rule count, then the
// 528-byte filter rules. Accesses and NASes are plain lists of the records.
constexpr size_t RADIUS_NEW_ACCESS_RULE_COUNT_OFFSET = 8 + sizeof(radius_access_record);
static_assert(RADIUS_NEW_ACCESS_RULE_COUNT_OFFSET == 1056);
constexpr size_t RADIUS_NEW_ACCESS_SIZE = RADIUS_NEW_ACCESS_RULE_COUNT_OFFSET + 4;
static_assert(RADIUS_NEW_ACCESS_SIZE == 1060);

// Zero the shared secret of one row: read-only management connections get
// the records without them.
void radius_auth_server_clear_secret(radiusAuthClientServerExtTable *row);
void radius_acct_server_clear_secret(radiusAccClientServerExtTable *row);
void radius_das_client_clear_secret(radiusDynAuthClientTable *row);
// All six rows of a record.
void radius_nas_record_clear_secrets(radius_nas_record *record);
