// Names of 802.11 frames, action categories and elements, and the compact
// descriptions of frames and EAPOL-Key frames that log lines carry.
//
// Every writer takes the caller's buffer and size, never writes past it and
// always leaves it terminated (a size of 0 leaves it alone); a value without
// a name is written as a decimal number.
#pragma once

#include <cstddef>
#include <cstdint>

// Length of the header and fixed fields of a management frame by its frame
// control's first byte; 0 for other frame types.
size_t dot11_frame_type_name(uint8_t fc);
// fc is the frame control as a little-endian 16-bit value.
const char *dot11_frame_name(uint16_t fc);
// With bit 7 set (an error return) as "Error(name)".
const char *dot11_action_name(uint8_t category);
const char *dot11_ft_action_name(uint8_t action);

// Element keys: the id; 256 + the extension id for an extension element;
// 512 onwards for the vendor elements that have names (WPA, WMM and the
// key data encapsulations). Reads the element's body only as its length
// allows; the caller vouches for that much.
unsigned dot11_ie_key(const uint8_t *ie);
// The names of a key, or null.
const char *dot11_ie_short_name(unsigned key);
const char *dot11_ie_long_name(unsigned key);

// True when whole elements fill the list exactly (an empty list does).
bool dot11_ie_skip(const uint8_t *ies, size_t len);
// The first element with that id; for 221 the selector is the OUI and type
// as a big-endian number (0x0050f201 for WPA), for 255 the extension id.
// The scan stops at an element that overruns the list.
const uint8_t *dot11_ie_find(const uint8_t *ies, size_t len, uint8_t id, uint32_t selector);
// "SSID,RSN,MDE" or, long, "SSID[4], RSN[20], Mobility Domain[3]"; stops at
// an element that overruns the list. Returns buf.
char *dot11_ie_list_names(const uint8_t *ies, size_t len, bool short_form, char *buf, size_t size);

// "Auth(Alg=FTAA,Seq=1,Status=0)[RSN,MDE]". Returns buf.
char *dot11_frame_describe(const uint8_t *frame, size_t len, char *buf, size_t size);
// "EAPOL-Key(P-A-----)[PMKID]" from the EAPOL header on. Returns buf.
char *dot11_eapol_describe(const uint8_t *eapol, size_t len, char *buf, size_t size);
