// The authorization RADIUS grants a station: what a session holds, hands to the
// daemon core through its authorize callback and keeps in the cache. Strings and
// rules live in the session's store; the record only points into it.
#pragma once

#include <cstdint>

#include "common/filter/filter_rule.h"

struct radius_authz {
    uint32_t bandwidth_up;     // from the vendor attribute 2 or WISPr-Bandwidth-Max-Up
    uint32_t bandwidth_down;   // vendor attribute 3 or WISPr-Bandwidth-Max-Down
    uint32_t volume_up;        // octets; 0 = unlimited
    uint32_t volume_down;      // octets; 0 = unlimited
    uint32_t session_timeout;  // seconds; 0 = none
    uint32_t interim_interval; // Acct-Interim-Interval, seconds; 0 = none
    uint16_t flags;            // RADIUS_AUTHZ_*
    uint16_t rule_count;
    filter_rule *rules;
    char *redirect_url;   // or null
    char *captive_portal; // or null; empty when the attribute was present but empty
    char *user_name;      // or null
    char *cui;            // Chargeable-User-Identity, or null
};

// The flag word: Termination-Action, Acct-Authentic and the VLAN id; bit 0 stays 0.
inline constexpr uint16_t RADIUS_AUTHZ_TERMINATE_REQUEST = 0x8000; // RADIUS-Request
inline constexpr unsigned RADIUS_AUTHZ_ACCT_AUTHENTIC_SHIFT = 13;
inline constexpr uint16_t RADIUS_AUTHZ_ACCT_AUTHENTIC_MASK = 0x6000; // 1 RADIUS, 2 Local, 3 Remote
inline constexpr unsigned RADIUS_AUTHZ_VLAN_SHIFT = 1;
inline constexpr uint16_t RADIUS_AUTHZ_VLAN_MASK = 0x1ffe; // 0 = none

inline unsigned radius_authz_vlan(const radius_authz *a)
{
    return (a->flags & RADIUS_AUTHZ_VLAN_MASK) >> RADIUS_AUTHZ_VLAN_SHIFT;
}

inline unsigned radius_authz_acct_authentic(const radius_authz *a)
{
    return (a->flags & RADIUS_AUTHZ_ACCT_AUTHENTIC_MASK) >> RADIUS_AUTHZ_ACCT_AUTHENTIC_SHIFT;
}
