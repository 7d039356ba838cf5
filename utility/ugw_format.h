// The value formatters and enumeration texts that the text and abbreviated
// renderers share, the duration formatter, and the interface-name cache.
//
// Every formatter writes into the caller's buffer and returns it; a buffer
// that is too small gets a cut, terminated text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Durations: below a width of 18 the short style ("3d4h"), otherwise the long
// one ("3 days, 4 hours and 5 minutes"); as many units as fit the width, the
// last one rounded; zero units between the first and the last left out; 0 is "-".
char *format_duration(char *buffer, size_t size, uint64_t seconds, size_t width);
// Seconds since a time stamp of the management clock as a duration; "-" for a
// zero stamp (or one in the future).
char *format_age(char *buffer, size_t size, uint32_t stamp, uint32_t now, size_t width);

// "%22s" of the label followed by ": ".
void print_text_label(FILE *out, const char *label);

char *format_mac(char buffer[18], const uint8_t mac[6]);
char *format_uuid(char buffer[37], const uint8_t uuid[16]);
// Four big-endian 32-bit words: PMKIDs and PMK-R1 names.
char *format_pmkid(char buffer[33], const uint8_t id[16]);
// A stored socket address (IPv4 or IPv6 layout, at least 28 bytes read
// through memcpy): "-" for any other family.
char *format_sockaddr(char *buffer, size_t size, const void *sa, unsigned flags);
// "%sB in %u packets": base-1024 units.
char *format_volume(char *buffer, size_t size, uint64_t bytes, uint32_t packets);
// A number in base-1000 units followed by nothing: "1.50 M", "500 ".
char *format_units1000(char *buffer, size_t size, uint64_t value);
// "avg %sbit/s min %sbit/s max %sbit/s"; "-" when any of the three is 0.
char *format_rate_triple(char *buffer, size_t size, uint32_t min, uint32_t max, uint32_t avg);
// "%d avg %d min %d max dBm"; "-" when any of the three is 0.
char *format_signal_triple(char *buffer, size_t size, int8_t min, int8_t max, int8_t avg);
// "%u.%u%%" of drops * 1000 / max(1, drops + packets), in 64 bits.
char *format_drop_share(char *buffer, size_t size, uint64_t drops, uint64_t packets);
// (bits + 3) / 4 hex digits of the key; at most 64.
char *format_key_hex(char *buffer, size_t size, const uint8_t *key, unsigned bits);
// The SSID (at most 32 bytes) with every byte that is not printable ASCII as '.'.
char *format_ssid(char buffer[33], const uint8_t *ssid, size_t length);
// A name that came from outside (client name, user name, URL): at most max
// bytes up to a NUL, with control characters (C0, DEL, C1) and every byte of
// invalid UTF-8 as '.', so the text cannot drive the operator's terminal.
char *format_text(char *buffer, size_t size, const char *text, size_t max);

// Enumeration texts of the text form: "" beyond their tables.
const char *tunnel_proto_name(uint32_t proto);
const char *frequency_band_name(int8_t band);
const char *lease6_method_name(uint32_t method);
const char *client_isolation_name(unsigned mode);
const char *neighbor_discovery_name(unsigned mode);
const char *multicast_forward_name(unsigned mode);
const char *broadcast_forward_name(unsigned mode);
const char *auth_source_name(uint32_t source);
// 0 "config", 1 "wait", 2 the age in at most 6 characters, 3 "error", 4 "expire".
char *format_control_status(char *buffer, size_t size, uint32_t status, uint64_t age);
// AKM suite selector read as a little-endian number (OUI bytes first): null
// for a suite without a name.
const char *akm_suite_name(uint32_t suite);
// "tkip" or "ccmp" for the pairwise suites, null for any other.
const char *cipher_suite_name(uint32_t suite);

// The option names of the log settings (pid 1, date 2, time 4, file 8,
// line 16, keys 32); null for a bit without a name.
const char *log_option_name(unsigned bit);

// Interface names by index, each looked up once per run; null when the index
// is 0 or has no name.
const char *ugw_ifname(uint32_t index);
// The same name as text fit for a terminal (format_text), or null.
const char *ugw_ifname_text(uint32_t index, char *out, size_t size);
// Another lookup (if_indextoname's contract) and an empty cache; for tests.
void ugw_ifname_reset(char *(*lookup)(unsigned index, char *name));
