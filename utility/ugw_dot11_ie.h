// The security elements of a service's ESS template read back into an 802.11
// configuration record for display, and the channel-to-frequency conversion
// of the channel listing.
//
// Every element is given with the bytes that hold it: an element whose
// length byte claims more than those bytes is refused, so nothing is read
// past an element or a template.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "dot11/dot11_mib.h"

enum : uint8_t {
    DOT11_EID_RSN = 48,
    DOT11_EID_VENDOR = 221,
};

// The longest ESS template walked for display.
inline constexpr size_t DOT11_TEMPLATE_MAX = 128;

// -1 unless the element is an RSN element; else dot11_ie_parse_rsn_body.
int dot11_ie_show_rsn(std::span<const uint8_t> element, dot11_auth_config *config);
// -1 unless the element is the vendor element of OUI 00-50-F2 type 1; else
// dot11_ie_parse_rsn_body.
int dot11_ie_parse_wpa(std::span<const uint8_t> element, dot11_auth_config *config);
// 0, or -1 on a malformed element, the record then left unchanged. Suites go
// in from the first empty pairwise (of 4) and AKM (of 8) slot on; an RSN
// element also sets the pre-authentication, PTKSA replay counter and SPP
// A-MSDU values (all 0 without a capabilities field).
int dot11_ie_parse_rsn_body(std::span<const uint8_t> element, dot11_auth_config *config);
// Parses the RSN and WPA elements of a template, walked up to min(its size,
// DOT11_TEMPLATE_MAX) and stopped at an element that overruns it: the number
// of elements parsed.
int dot11_ie_show_template(std::span<const uint8_t> ess_template, dot11_auth_config *config);

// Centre frequency in MHz, or 0 for a channel outside 1-14 and 32-173.
unsigned dot11_channel_frequency(unsigned channel);
