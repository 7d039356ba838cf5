// Matching a filter rule against an IP packet: IPv4 and IPv6 headers with
// extension headers, transport ports, options and flags, ICMP types, the
// neighbour-discovery target, and DNS query names, HTTP Host and TLS SNI
// looked up in a host set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/filter/filter_rule.h"
#include "common/hashtable.h"
#include "common/packet.h"

// The parsed-header area: filled once per packet, reused by every rule.
struct pkt_hdrs {
    const uint8_t *ip;        // null: not parsed yet
    const uint8_t *transport; // null for a fragment with a non-zero offset
    uint16_t transport_len;
    uint16_t frag; // fragment field as in the header (IPv6: from the fragment header)
    uint32_t frag_id;
    uint8_t proto; // the final protocol (next header)
};

static_assert(sizeof(pkt_hdrs) <= PACKET_META_SIZE);
static_assert(offsetof(packet, meta) % alignof(pkt_hdrs) == 0);

// Fragment offset, in 8-byte units, of a parsed packet.
inline unsigned pkt_frag_offset(const pkt_hdrs *h)
{
    return (h->ip[0] >> 4) == 4 ? h->frag & 0x1FFFu : h->frag >> 3;
}

// The addresses that "assigned" stands for.
struct filter_assigned {
    const uint8_t (*v4)[4];
    size_t n4;
    const uint8_t (*v6)[16];
    size_t n6;
};

// 1 match, 0 no match, -1 the packet is too short or malformed for what the
// rule asks. The packet's data starts at the IP header (its first fragment is
// looked at); the parsed headers are kept in its metadata block for the next
// rule. The assigned addresses are the station's own. in: 1 when the packet
// travels in.
int filter_rule_match(const filter_rule *rule, packet *pkt, hashtable *hostset,
                      const uint8_t (*v4)[4], size_t n4, const uint8_t (*v6)[16], size_t n6,
                      int in);

// The same over bytes; hdrs is parsed on first use (zero it for new bytes).
int filter_match_bytes(const filter_rule *rule, std::span<const uint8_t> data, pkt_hdrs *hdrs,
                       hashtable *hostset, const filter_assigned *assigned, int in);

// Fill the packet's parsed-header area (or hdrs); null when the header is not valid.
pkt_hdrs *pkt_parse_ipv4(packet *pkt);
pkt_hdrs *pkt_parse_ipv6(packet *pkt);
pkt_hdrs *pkt_parse_ipv4(std::span<const uint8_t> data, pkt_hdrs *hdrs);
pkt_hdrs *pkt_parse_ipv6(std::span<const uint8_t> data, pkt_hdrs *hdrs);

// Walks the extension headers after a 40-byte IPv6 header, within length.
// Stops after a fragment header with a non-zero offset: what follows it is
// not a header. 0, or -1 when a header runs past length.
int ipv6_skip_ext_headers(const uint8_t *header, size_t length, size_t *offset, uint8_t *next,
                          uint16_t *frag, uint32_t *frag_id);

int filter_match_ipv4(const filter_rule *rule, const pkt_hdrs *hdrs, hashtable *hostset,
                      const filter_assigned *assigned, int in);
int filter_match_ipv6(const filter_rule *rule, const pkt_hdrs *hdrs, hashtable *hostset,
                      const filter_assigned *assigned, int in);
int filter_match_transport(const filter_rule *rule, hashtable *hostset, const uint8_t *tcp,
                           size_t length);
int filter_match_dns(const filter_rule *rule, hashtable *hostset, const uint8_t *msg,
                     size_t length);

// Payload readers.

// The query name of a DNS message, labels joined by "." (whole labels are
// copied while they fit; always terminated). Returns the full name's length,
// 0 for a message without a question, -1 for a malformed one: more than one
// question, compression or reserved label types, a NUL or "." inside a
// label, a name over 255 bytes, or no room for the type after it.
int dns_get_qname(const uint8_t *msg, size_t length, uint16_t *type, char *buffer, size_t size);

// Copies at most limit characters of name, stopping at a NUL, in lower case,
// and terminates the copy (buffer holds limit + 1). Returns the length copied.
size_t host_lowercase_copy(const char *name, char *buffer, size_t limit);

// Looks name up, then each suffix that starts at a ".": an entry ".example.com"
// matches every name below example.com. Raises the hit counter of the entry
// found. 1 found, 0 not.
int hostset_match(hashtable *hostset, const char *name, size_t length);

// Offset of the value of header name in an HTTP/1.x request, or -1.
int http_find_header(const char *data, size_t length, const char *name);

// Length of a Host value without a trailing ":port".
size_t http_strip_port(const char *value, size_t length);

// Server name of a TLS ClientHello: its length (the copy is truncated to the
// buffer and terminated), 0 when there is none or this is no ClientHello,
// -1 when the data ends first.
int tls_get_sni(const uint8_t *data, size_t length, char *buffer, size_t size);

// A host set: a hash table of these entries keyed by their name. The table
// does not own its entries.
struct hostset_entry {
    hashlink link;
    uint32_t hits; // raised on every match
    char name[254]; // lower case
};

hashtable *hostset_create();
