// DHCPv4/BOOTP and DHCPv6 messages read, edited in place and printed. Works on
// the caller's bytes and allocates nothing; every length and offset read from
// a message is checked, so any bytes a station or server sends are safe here.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

// DHCPv4 fixed header (offsets in bytes).
enum : size_t {
    DHCP_OP = 0,
    DHCP_HTYPE = 1,
    DHCP_HLEN = 2,
    DHCP_HOPS = 3,
    DHCP_XID = 4,
    DHCP_SECS = 8,
    DHCP_FLAGS = 10,
    DHCP_CIADDR = 12,
    DHCP_YIADDR = 16,
    DHCP_SIADDR = 20,
    DHCP_GIADDR = 24,
    DHCP_CHADDR = 28,
    DHCP_SNAME = 44,
    DHCP_SNAME_LEN = 64,
    DHCP_FILE = 108,
    DHCP_FILE_LEN = 128,
    DHCP_COOKIE = 236,
    DHCP_OPTIONS = 240,
};
static_assert(DHCP_SNAME + DHCP_SNAME_LEN == DHCP_FILE);
static_assert(DHCP_FILE + DHCP_FILE_LEN == DHCP_COOKIE);

constexpr uint32_t DHCP_MAGIC = 0x63825363;
constexpr uint16_t DHCP_FLAG_BROADCAST = 0x8000;

enum : uint8_t {
    DHCP_BOOTREQUEST = 1,
    DHCP_BOOTREPLY = 2,
};

enum : uint8_t {
    DHCPDISCOVER = 1,
    DHCPOFFER = 2,
    DHCPREQUEST = 3,
    DHCPDECLINE = 4,
    DHCPACK = 5,
    DHCPNAK = 6,
    DHCPRELEASE = 7,
    DHCPINFORM = 8,
};

enum : uint8_t {
    DHCP_OPT_PAD = 0,
    DHCP_OPT_NETMASK = 1,
    DHCP_OPT_ROUTER = 3,
    DHCP_OPT_DNS = 6,
    DHCP_OPT_HOSTNAME = 12,
    DHCP_OPT_BROADCAST = 28,
    DHCP_OPT_REQUESTED_IP = 50,
    DHCP_OPT_LEASE_TIME = 51,
    DHCP_OPT_OVERLOAD = 52,
    DHCP_OPT_MSG_TYPE = 53,
    DHCP_OPT_SERVER_ID = 54,
    DHCP_OPT_PARAM_REQUEST = 55,
    DHCP_OPT_MAX_SIZE = 57,
    DHCP_OPT_RENEWAL = 58,
    DHCP_OPT_REBINDING = 59,
    DHCP_OPT_CLIENT_ID = 61,
    DHCP_OPT_FQDN = 81,
    DHCP_OPT_CAPTIVE_PORTAL = 114,
    DHCP_OPT_END = 255,
};

// Option 52 values: which fixed fields hold options.
enum : uint8_t {
    DHCP_OVERLOAD_FILE = 1,
    DHCP_OVERLOAD_SNAME = 2,
};

// Option-list cursor over the options area and the overload fields, in that
// order: options area, `file`, `sname`.
struct dhlist_area {
    size_t start;    // offset of the area in the message
    size_t length;   // bytes
    size_t position; // next byte to read, relative to start
};

struct dhlist {
    const uint8_t *_msg;
    dhlist_area _stack[3];
    uint8_t _state; // depth (bits 7-6), overload seen (5-4), areas entered (3-2)
    uint8_t _flags; // DHLIST_*: first option 52 seen, malformed option met
};

void dhlist_init(dhlist *l, const uint8_t *msg, size_t len);
// The current option (code, length, value), or null at the end of the list or
// at an option that would run past its area (which ends the list).
const uint8_t *dhlist_peek(dhlist *l);
void dhlist_next(dhlist *l);
// True when the walk stopped at an option running past its area.
bool dhlist_malformed(const dhlist *l);

// Calls each(option) on the options in the cursor's order until it returns
// false; false when the walk stopped at an option running past its area. The
// place is kept in locals: a whole walk costs a fraction of the cursor's,
// which snooping pays on every frame.
template <class F> bool dhcp_for_each_opt(const uint8_t *msg, size_t len, F &&each)
{
    static constexpr uint8_t magic[4] = {0x63, 0x82, 0x53, 0x63};
    if (len < DHCP_OPTIONS || memcmp(msg + DHCP_COOKIE, magic, 4))
        return true;
    struct area {
        size_t start, length;
        uint8_t overload; // the option 52 bit that opens it; 0: always read
    };
    const area areas[] = {
        {DHCP_OPTIONS, len - DHCP_OPTIONS, 0},
        {DHCP_FILE, DHCP_FILE_LEN, DHCP_OVERLOAD_FILE},
        {DHCP_SNAME, DHCP_SNAME_LEN, DHCP_OVERLOAD_SNAME},
    };
    uint8_t overload = 0;
    bool seen52 = false;
    for (const area &a : areas) {
        if (a.overload && !(overload & a.overload))
            continue;
        const uint8_t *p = msg + a.start;
        for (size_t pos = 0, n = a.length; pos < n;) {
            const uint8_t *o = p + pos;
            if (o[0] == DHCP_OPT_PAD) {
                pos++;
                continue;
            }
            if (o[0] == DHCP_OPT_END)
                break;
            if (n - pos < 2 || n - pos - 2 < o[1])
                return false;
            // Only the first option 52, and only in the options area, counts.
            if (o[0] == DHCP_OPT_OVERLOAD && !a.overload && !seen52) {
                seen52 = true;
                overload = o[1] == 1 && o[2] <= 3 ? o[2] : 0;
            }
            if (!each(o))
                return true;
            pos += 2u + o[1];
        }
    }
    return true;
}

// First option of the code; with wanted >= 0 its length must be wanted (else null).
const uint8_t *dhcp_find_opt(const uint8_t *msg, size_t len, uint8_t code, int wanted);
inline uint8_t *dhcp_find_opt(uint8_t *msg, size_t len, uint8_t code, int wanted)
{
    return const_cast<uint8_t *>(dhcp_find_opt(static_cast<const uint8_t *>(msg), len, code, wanted));
}

// Appends an option of n value bytes (zeros when value is null), using the
// overload fields when the options area is full. *len never exceeds max.
// Returns the written option, or null when it does not fit or the options
// are malformed.
uint8_t *dhcp_add_opt(uint8_t *msg, size_t *len, size_t max, uint8_t code, const void *value,
                      size_t n);
// Removes an option found by dhcp_find_opt or the cursor. 0, or -1 (EINVAL)
// when opt is not an option of the message.
int dhcp_remove_opt(uint8_t *msg, size_t *len, uint8_t *opt);

// Option value readers; opt is an option as returned above.
int dhcp_opt_get_uint(const uint8_t *opt, size_t expected, uint32_t *value);
size_t dhcp_opt_get_string(const uint8_t *opt, size_t offset, char *buf, size_t size);
int dhcp_opt_get_addr(const uint8_t *opt, size_t index, in_addr *addr);

// One log line / the options as key=value text. Both return the text length
// (truncated to size - 1), or -1 (EINVAL) for a message too short to print.
// Text taken from the message is escaped to printable characters.
int dhcp_format(const uint8_t *msg, size_t len, char *buf, size_t size);
int dhcp_opts_format(const uint8_t *msg, size_t len, char *buf, size_t size);

// DHCPv6: type (1 byte), transaction id (3 bytes), options {u16 code, u16 length, value}.
constexpr size_t DHCPV6_HEADER = 4;

enum : uint8_t {
    DHCPV6_SOLICIT = 1,
    DHCPV6_ADVERTISE = 2,
    DHCPV6_REQUEST = 3,
    DHCPV6_CONFIRM = 4,
    DHCPV6_RENEW = 5,
    DHCPV6_REBIND = 6,
    DHCPV6_REPLY = 7,
    DHCPV6_RELEASE = 8,
    DHCPV6_DECLINE = 9,
    DHCPV6_RECONFIGURE = 10,
    DHCPV6_INFORMATION_REQUEST = 11,
    DHCPV6_RELAY_FORW = 12,
    DHCPV6_RELAY_REPL = 13,
};

enum : uint16_t {
    DHCPV6_OPT_CLIENTID = 1,
    DHCPV6_OPT_SERVERID = 2,
    DHCPV6_OPT_IA_NA = 3,
    DHCPV6_OPT_IA_TA = 4,
    DHCPV6_OPT_IAADDR = 5,
    DHCPV6_OPT_ORO = 6,
    DHCPV6_OPT_ELAPSED_TIME = 8,
    DHCPV6_OPT_STATUS_CODE = 13,
    DHCPV6_OPT_RAPID_COMMIT = 14,
    DHCPV6_OPT_DNS_SERVERS = 23,
    DHCPV6_OPT_DOMAIN_LIST = 24,
    DHCPV6_OPT_IA_PD = 25,
    DHCPV6_OPT_IAPREFIX = 26,
    DHCPV6_OPT_CLIENT_FQDN = 39,
    DHCPV6_OPT_CAPTIVE_PORTAL = 103,
};

// First option of the code (wanted >= 0: of that length); stops at an option
// running past the end.
const uint8_t *dhcpv6_find_opt(const uint8_t *msg, size_t len, uint16_t code, int wanted);
inline uint8_t *dhcpv6_find_opt(uint8_t *msg, size_t len, uint16_t code, int wanted)
{
    return const_cast<uint8_t *>(
        dhcpv6_find_opt(static_cast<const uint8_t *>(msg), len, code, wanted));
}
// Appends when *len + n + 4 <= max and the options end exactly at *len; else null.
uint8_t *dhcpv6_add_opt(uint8_t *msg, size_t *len, size_t max, uint16_t code, const void *value,
                        size_t n);
int dhcpv6_remove_opt(uint8_t *msg, size_t *len, uint8_t *opt);

// The option's name, or "<code>". Returns the text length.
int dhcpv6_opt_format(uint16_t code, char *buf, size_t size);
// "DHCPv6 <type> xid=0x..." and the option names; -1 (EINVAL) below 4 bytes.
int dhcpv6_format(const uint8_t *msg, size_t len, char *buf, size_t size);
