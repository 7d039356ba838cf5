// Information elements of the authenticator: the RSN and WPA elements (build
// and parse), the PMKID list of an RSN element, the sub-elements of the FT
// element, the SSID, Mobility Domain and BSS Max Idle Period elements, and
// copies and lists of whole elements.
//
// An element is {ID, Length, body}. Every function that reads an element
// given as a span reads nothing outside the span, whatever the element's
// own lengths and counts say; an element that does not fit its span is
// malformed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "dot11/dot11_mib.h"

enum : uint8_t {
    DOT11_EID_SSID = 0,
    DOT11_EID_HT_CAP = 45,
    DOT11_EID_RSN = 48,
    DOT11_EID_MDIE = 54,
    DOT11_EID_FTIE = 55,
    DOT11_EID_TIMEOUT = 56,
    DOT11_EID_BSS_MAX_IDLE = 90,
    DOT11_EID_VENDOR = 221,
    DOT11_EID_EXTENSION = 255,
};

// FTIE sub-elements.
enum : uint8_t {
    DOT11_FTIE_R1KH_ID = 1,
    DOT11_FTIE_GTK = 2,
    DOT11_FTIE_R0KH_ID = 3,
};

// FTIE fixed part, from the element start.
enum : size_t {
    DOT11_FTIE_MIC_COUNT = 3,
    DOT11_FTIE_MIC = 4,
    DOT11_FTIE_ANONCE = 20,
    DOT11_FTIE_SNONCE = 52,
    DOT11_FTIE_SUBELEMS = 84,
};

// IEEE 802.11 status codes the element checks give.
enum : uint16_t {
    DOT11_STATUS_INVALID_IE = 40,
    DOT11_STATUS_UNSUPPORTED_RSN_VERSION = 44,
};

// Room a stored RSN element keeps behind it for a PMKID: capabilities,
// PMKID count and one PMKID when it ends at its AKM list.
enum : size_t { DOT11_IE_PMKID_SPARE = 2 + 2 + 16 };

// What a station's RSN or WPA element selects.
struct dot11_ie_rsn_info {
    uint32_t akm;
    uint32_t pairwise;
    uint32_t group;
    uint8_t flags; // DOT11_RSN_SPP_*
};

enum : uint8_t {
    DOT11_RSN_SPP_REQUIRED = 0x02,
    DOT11_RSN_SPP_CAPABLE = 0x04,
};

// Builders: the element's total length, 0 when it is not wanted, -1 when the
// configuration is invalid. When the capacity is short they write nothing
// and still return the length needed.
int dot11_ie_build_rsn(const dot11_auth_config *cfg, int wpa, uint8_t *buf, size_t cap);
// Only with RSNA enabled.
int dot11_ie_build_rsn_ie(const dot11_auth_config *cfg, uint8_t *buf, size_t cap);
int dot11_ie_build_wpa_ie(const dot11_auth_config *cfg, uint8_t *buf, size_t cap);
int dot11_ie_build_ssid(const dot11_auth_config *cfg, uint8_t *buf, size_t cap);
int dot11_ie_build_mdie(const dot11_auth_config *cfg, uint8_t *buf, size_t cap);
int dot11_ie_build_idle(const dot11_auth_config *cfg, uint8_t *buf, size_t cap);

using dot11_ie_builder = int (*)(const dot11_auth_config *, uint8_t *, size_t);
// The ESS elements in announcement order: SSID, RSN, MDIE, WPA.
extern const dot11_ie_builder dot11_ie_ess_builders[4];

// 0, or the IEEE 802.11 status code that refuses the element.
uint16_t dot11_ie_parse_rsn(std::span<const uint8_t> ie, dot11_ie_rsn_info *info);
// Offset of the RSN Capabilities field from the element start, or -1.
int dot11_ie_rsn_pmkid_offset(std::span<const uint8_t> ie);
bool dot11_ie_has_pmkid(std::span<const uint8_t> ie, const uint8_t pmkid[16]);
// The first PMKID of the list, or null.
const uint8_t *dot11_ie_first_pmkid(std::span<const uint8_t> ie);
// Puts a PMKID first in a whole RSN element with spare bytes behind it,
// adding the capabilities and count it lacks. 0, or -1 with the element
// unchanged when it is malformed or the room does not suffice.
int dot11_ie_insert_pmkid(uint8_t *ie, size_t spare, const uint8_t pmkid[16]);
// True when the FTIE holds the sub-element id with exactly that value (the
// first sub-element of that id counts).
bool dot11_ftie_has_subelem(std::span<const uint8_t> ftie, uint8_t id, const uint8_t *value,
                            size_t len);

// A malloc'ed copy of a whole element with spare zero bytes behind it, or
// null after logging. Freed with free().
uint8_t *dot11_ie_dup(const uint8_t *ie, size_t spare);
bool dot11_ie_equal(const uint8_t *a, const uint8_t *b);
// Writes the non-null elements one after another, each cut to what is left
// of the capacity; a null buffer only measures. Returns the length of all of
// them, even beyond the capacity.
size_t dot11_ie_concat(uint8_t *buf, size_t cap, const uint8_t *const *ies, size_t count);
