#include "common/dhcp.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "common/fatal.h"
#include "common/strings.h"
#include "common/textbuf.h"

namespace {

enum : uint8_t {
    DHLIST_SEEN52 = 0x01,    // the first option 52 of the options area was read
    DHLIST_MALFORMED = 0x02, // an option ran past its area
};

uint16_t load16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

uint32_t load32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

void store16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

bool has_options(const uint8_t *msg, size_t len)
{
    return len >= DHCP_OPTIONS && load32(msg + DHCP_COOKIE) == DHCP_MAGIC;
}

// Walks the options of one area, calling stop(offset) on each until it
// returns true. Returns where the walk ended: at the option stop accepted,
// at the end option, after the last option, or at an option running past
// the area (*bad set).
template <class F> size_t walk_area(const uint8_t *p, size_t n, bool *bad, F &&stop)
{
    size_t pos = 0;
    *bad = false;
    while (pos < n && p[pos] != DHCP_OPT_END) {
        if (p[pos] == DHCP_OPT_PAD) {
            pos++;
            continue;
        }
        if (pos + 2 > n || pos + 2u + p[pos + 1] > n) {
            *bad = true;
            break;
        }
        if (stop(pos))
            break;
        pos += 2u + p[pos + 1];
    }
    return pos;
}

// One area's options: where they end (its end option, or after the last
// option), whether any is there, and whether one runs past the area.
struct area_scan {
    size_t end;
    bool any;
    bool bad;
};

area_scan scan_area(const uint8_t *p, size_t n)
{
    area_scan s{0, false, false};
    s.end = walk_area(p, n, &s.bad, [&](size_t) { return !(s.any = true); });
    return s;
}

// Whether an option of the area starts at `off` (pad bytes skipped).
bool on_option_boundary(const uint8_t *p, size_t n, size_t off)
{
    bool bad, found = false;
    walk_area(p, n, &bad, [&](size_t pos) { return (found = pos == off) || pos > off; });
    return found;
}

// The first option 52 of the options area (the only place it counts).
uint8_t *find_overload(uint8_t *msg, size_t len)
{
    bool bad, found = false;
    size_t pos = walk_area(msg + DHCP_OPTIONS, len - DHCP_OPTIONS, &bad, [&](size_t at) {
        return found = msg[DHCP_OPTIONS + at] == DHCP_OPT_OVERLOAD;
    });
    return found ? msg + DHCP_OPTIONS + pos : nullptr;
}

uint8_t overload_value(const uint8_t *o52)
{
    return o52 && o52[1] == 1 && o52[2] <= 3 ? o52[2] : 0;
}

uint8_t *write_opt(uint8_t *at, uint8_t code, const void *value, size_t n)
{
    at[0] = code;
    at[1] = static_cast<uint8_t>(n);
    if (value)
        memcpy(at + 2, value, n);
    else
        memset(at + 2, 0, n);
    at[2 + n] = DHCP_OPT_END;
    return at;
}

// A fresh overload field holding only the new option.
uint8_t *start_field(uint8_t *field, size_t field_len, uint8_t code, const void *value, size_t n)
{
    memset(field, 0, field_len);
    return write_opt(field, code, value, n);
}

void put_hex(textbuf &t, const uint8_t *p, size_t n)
{
    char tmp[3 * 255 + 1];
    string_hexdump(p, n, tmp, sizeof(tmp));
    size_t len = strlen(tmp);
    if (len && tmp[len - 1] == ' ') // values are separated by one blank
        tmp[len - 1] = '\0';
    t.printf("%s", tmp);
}

// Text from a station or server: printable characters only, so a host name
// cannot forge log lines.
void put_text(textbuf &t, const uint8_t *p, size_t n)
{
    char tmp[256];
    string_untrusted(tmp, std::string_view(reinterpret_cast<const char *>(p), n), sizeof(tmp));
    t.printf("%s", tmp);
}

void put_addr(textbuf &t, const char *sep, const uint8_t *p)
{
    t.printf("%s%d.%d.%d.%d", sep, p[0], p[1], p[2], p[3]);
}

// A DNS wire-form name (RFC 4702 'E' flag) as dotted text; false when it is
// not one, so the caller falls back to hex.
bool put_wire_name(textbuf &t, const uint8_t *p, size_t n)
{
    size_t pos = 0;
    bool first = true;
    while (pos < n) {
        uint8_t l = p[pos];
        if (l == 0)
            return pos + 1 == n;
        if (l > 63 || pos + 1 + l > n)
            return false;
        if (!first)
            t.printf(".");
        put_text(t, p + pos + 1, l);
        first = false;
        pos += 1 + l;
    }
    return true; // a partial name without the root label
}

bool wire_name_ok(const uint8_t *p, size_t n)
{
    size_t pos = 0;
    while (pos < n) {
        uint8_t l = p[pos];
        if (l == 0)
            return pos + 1 == n;
        if (l > 63 || pos + 1 + l > n)
            return false;
        pos += 1 + l;
    }
    return true;
}

constexpr const char *dhcp_type_upper[] = {
    nullptr,     "DHCPDISCOVER", "DHCPOFFER",   "DHCPREQUEST", "DHCPDECLINE",
    "DHCPACK",   "DHCPNAK",      "DHCPRELEASE", "DHCPINFORM",
};
constexpr const char *dhcp_type_lower[] = {
    nullptr, "discover", "offer", "request", "decline", "ack", "nak", "release", "inform",
};
constexpr const char *dhcp_overload_names[] = {nullptr, "file", "sname", "both"};

enum class optkind : uint8_t { hex, addr, addrs, text, number, overload, type, codes, fqdn };

struct optdesc {
    uint8_t code;
    const char *key;
    optkind kind;
    uint8_t size; // of a number
};

constexpr optdesc dhcp_optdescs[] = {
    {DHCP_OPT_NETMASK, "netmask", optkind::addr},
    {DHCP_OPT_ROUTER, "router", optkind::addrs},
    {DHCP_OPT_DNS, "dns", optkind::addrs},
    {DHCP_OPT_HOSTNAME, "host", optkind::text},
    {DHCP_OPT_BROADCAST, "broadcast", optkind::addr},
    {DHCP_OPT_REQUESTED_IP, "ip", optkind::addr},
    {DHCP_OPT_LEASE_TIME, "duration", optkind::number, 4},
    {DHCP_OPT_OVERLOAD, "overload", optkind::overload},
    {DHCP_OPT_MSG_TYPE, "type", optkind::type},
    {DHCP_OPT_SERVER_ID, "server", optkind::addr},
    {DHCP_OPT_PARAM_REQUEST, "request", optkind::codes},
    {DHCP_OPT_MAX_SIZE, "maxsize", optkind::number, 2},
    {DHCP_OPT_RENEWAL, "renewal", optkind::number, 4},
    {DHCP_OPT_REBINDING, "rebinding", optkind::number, 4},
    {DHCP_OPT_CLIENT_ID, "identity", optkind::hex},
    {DHCP_OPT_FQDN, "fqdn", optkind::fqdn},
    {DHCP_OPT_CAPTIVE_PORTAL, "portal", optkind::text},
};

const optdesc *find_optdesc(uint8_t code)
{
    for (const optdesc &d : dhcp_optdescs)
        if (d.code == code)
            return &d;
    return nullptr;
}

// The value in its kind's form; false when it cannot be rendered that way.
bool put_value(textbuf &t, const optdesc *d, const uint8_t *opt)
{
    optkind kind = d ? d->kind : optkind::hex;
    const uint8_t *v = opt + 2;
    size_t n = opt[1];
    uint32_t u;
    switch (kind) {
    case optkind::hex:
        return false;
    case optkind::addr:
        if (n != 4)
            return false;
        put_addr(t, "", v);
        return true;
    case optkind::addrs:
        if (n == 0 || n % 4)
            return false;
        for (size_t i = 0; i < n; i += 4)
            put_addr(t, i ? "," : "", v + i);
        return true;
    case optkind::text:
        put_text(t, v, n);
        return true;
    case optkind::number:
        if (dhcp_opt_get_uint(opt, d->size, &u) < 0)
            return false;
        t.printf("%u", u);
        return true;
    case optkind::overload:
        if (n != 1 || v[0] < 1 || v[0] > 3)
            return false;
        t.printf("%s", dhcp_overload_names[v[0]]);
        return true;
    case optkind::type:
        if (n != 1 || v[0] < 1 || v[0] > 8)
            return false;
        t.printf("%s", dhcp_type_lower[v[0]]);
        return true;
    case optkind::codes:
        for (size_t i = 0; i < n; i++)
            t.printf("%s%u", i ? "," : "", v[i]);
        return true;
    case optkind::fqdn:
        // Flags, then two result codes; bit 2 of the flags says the name is
        // in DNS wire form rather than plain text.
        if (n < 3)
            return false;
        if (!(v[0] & 0x04)) {
            put_text(t, v + 3, n - 3);
            return true;
        }
        if (!wire_name_ok(v + 3, n - 3))
            return false;
        return put_wire_name(t, v + 3, n - 3);
    }
    return false;
}

} // namespace

void dhlist_init(dhlist *l, const uint8_t *msg, size_t len)
{
    // The overload fields' areas are written when entered.
    l->_msg = msg;
    l->_stack[0] = dhlist_area{DHCP_OPTIONS, has_options(msg, len) ? len - DHCP_OPTIONS : 0, 0};
    l->_state = 0;
    l->_flags = 0;
}

namespace {

unsigned dhlist_depth(const dhlist *l)
{
    return l->_state >> 6;
}

void dhlist_push(dhlist *l, size_t start, size_t length, uint8_t entered)
{
    unsigned depth = dhlist_depth(l) + 1;
    UGW_ASSERT(depth < sizeof(l->_stack) / sizeof(l->_stack[0]));
    l->_stack[depth] = dhlist_area{start, length, 0};
    l->_state = static_cast<uint8_t>((depth << 6) | (l->_state & 0x3f) | (entered << 2));
}

// Leaves the finished top area and enters the next overload field not yet
// read. False when nothing is left.
bool dhlist_leave(dhlist *l)
{
    unsigned depth = dhlist_depth(l);
    l->_stack[depth].position = l->_stack[depth].length;
    if (depth)
        l->_state = static_cast<uint8_t>(((depth - 1) << 6) | (l->_state & 0x3f));
    uint8_t overload = (l->_state >> 4) & 3;
    uint8_t entered = (l->_state >> 2) & 3;
    if ((overload & DHCP_OVERLOAD_FILE) && !(entered & DHCP_OVERLOAD_FILE)) {
        dhlist_push(l, DHCP_FILE, DHCP_FILE_LEN, DHCP_OVERLOAD_FILE);
        return true;
    }
    if ((overload & DHCP_OVERLOAD_SNAME) && !(entered & DHCP_OVERLOAD_SNAME)) {
        dhlist_push(l, DHCP_SNAME, DHCP_SNAME_LEN, DHCP_OVERLOAD_SNAME);
        return true;
    }
    return false;
}

} // namespace

const uint8_t *dhlist_peek(dhlist *l)
{
    if (l->_flags & DHLIST_MALFORMED)
        return nullptr;
    for (;;) {
        unsigned depth = dhlist_depth(l);
        dhlist_area &a = l->_stack[depth];
        if (a.position >= a.length) {
            if (!dhlist_leave(l))
                return nullptr;
            continue;
        }
        const uint8_t *p = l->_msg + a.start + a.position;
        if (*p == DHCP_OPT_PAD) {
            a.position++;
            continue;
        }
        if (*p == DHCP_OPT_END) {
            if (!dhlist_leave(l))
                return nullptr;
            continue;
        }
        size_t left = a.length - a.position;
        if (left < 2 || left < 2u + p[1]) {
            l->_flags |= DHLIST_MALFORMED;
            return nullptr;
        }
        if (depth == 0 && *p == DHCP_OPT_OVERLOAD && !(l->_flags & DHLIST_SEEN52)) {
            l->_flags |= DHLIST_SEEN52;
            uint8_t v = overload_value(p);
            l->_state = static_cast<uint8_t>((l->_state & ~0x30) | (v << 4));
        }
        return p;
    }
}

void dhlist_next(dhlist *l)
{
    const uint8_t *p = dhlist_peek(l);
    if (p)
        l->_stack[dhlist_depth(l)].position += 2u + p[1];
}

bool dhlist_malformed(const dhlist *l)
{
    return l->_flags & DHLIST_MALFORMED;
}

const uint8_t *dhcp_find_opt(const uint8_t *msg, size_t len, uint8_t code, int wanted)
{
    const uint8_t *found = nullptr;
    dhcp_for_each_opt(msg, len, [&](const uint8_t *p) {
        if (*p != code)
            return true;
        found = wanted < 0 || p[1] == wanted ? p : nullptr;
        return false;
    });
    return found;
}

uint8_t *dhcp_add_opt(uint8_t *msg, size_t *len, size_t max, uint8_t code, const void *value,
                      size_t n)
{
    UGW_ASSERT(*len <= max);
    if (!has_options(msg, *len) || n > 255 || code == DHCP_OPT_PAD || code == DHCP_OPT_END)
        return nullptr;
    area_scan opts = scan_area(msg + DHCP_OPTIONS, *len - DHCP_OPTIONS);
    if (opts.bad)
        return nullptr;
    size_t end = DHCP_OPTIONS + opts.end;
    if (end + n + 3 <= max) {
        uint8_t *opt = write_opt(msg + end, code, value, n);
        if (end + n + 3 > *len)
            *len = end + n + 3;
        return opt;
    }

    uint8_t *o52 = find_overload(msg, *len);
    if (!o52) {
        if (end + 4 > max)
            return nullptr;
        uint8_t which;
        uint8_t *opt;
        if (msg[DHCP_FILE] == 0 && n + 3 <= DHCP_FILE_LEN) {
            which = DHCP_OVERLOAD_FILE;
            opt = start_field(msg + DHCP_FILE, DHCP_FILE_LEN, code, value, n);
        } else if (msg[DHCP_SNAME] == 0 && n + 3 <= DHCP_SNAME_LEN) {
            which = DHCP_OVERLOAD_SNAME;
            opt = start_field(msg + DHCP_SNAME, DHCP_SNAME_LEN, code, value, n);
        } else {
            return nullptr;
        }
        const uint8_t o[] = {DHCP_OPT_OVERLOAD, 1, which};
        write_opt(msg + end, o[0], o + 2, 1);
        if (end + 4 > *len)
            *len = end + 4;
        return opt;
    }

    uint8_t v = overload_value(o52);
    if (v == 0)
        return nullptr; // an option 52 we cannot read: leave the fields alone
    if (v & DHCP_OVERLOAD_FILE) {
        // Readers stop at a broken `file`: nothing after it would be seen.
        area_scan s = scan_area(msg + DHCP_FILE, DHCP_FILE_LEN);
        if (s.bad)
            return nullptr;
        if (s.end + n + 3 <= DHCP_FILE_LEN)
            return write_opt(msg + DHCP_FILE + s.end, code, value, n);
    }
    if (v & DHCP_OVERLOAD_SNAME) {
        area_scan s = scan_area(msg + DHCP_SNAME, DHCP_SNAME_LEN);
        if (!s.bad && s.end + n + 3 <= DHCP_SNAME_LEN)
            return write_opt(msg + DHCP_SNAME + s.end, code, value, n);
    }
    if (v == DHCP_OVERLOAD_FILE && msg[DHCP_SNAME] == 0 && n + 3 <= DHCP_SNAME_LEN) {
        o52[2] = 3;
        return start_field(msg + DHCP_SNAME, DHCP_SNAME_LEN, code, value, n);
    }
    if (v == DHCP_OVERLOAD_SNAME && msg[DHCP_FILE] == 0 && n + 3 <= DHCP_FILE_LEN) {
        o52[2] = 3;
        return start_field(msg + DHCP_FILE, DHCP_FILE_LEN, code, value, n);
    }
    return nullptr;
}

int dhcp_remove_opt(uint8_t *msg, size_t *len, uint8_t *opt)
{
    if (!has_options(msg, *len) || opt < msg || opt >= msg + *len) {
        errno = EINVAL;
        return -1;
    }
    size_t off = static_cast<size_t>(opt - msg);
    uint8_t *o52 = find_overload(msg, *len);
    uint8_t v = overload_value(o52);
    size_t start, n;
    uint8_t field;
    if (off >= DHCP_OPTIONS) {
        start = DHCP_OPTIONS, n = *len - DHCP_OPTIONS, field = 0;
    } else if (off >= DHCP_FILE && off < DHCP_COOKIE && (v & DHCP_OVERLOAD_FILE)) {
        start = DHCP_FILE, n = DHCP_FILE_LEN, field = DHCP_OVERLOAD_FILE;
    } else if (off >= DHCP_SNAME && off < DHCP_FILE && (v & DHCP_OVERLOAD_SNAME)) {
        start = DHCP_SNAME, n = DHCP_SNAME_LEN, field = DHCP_OVERLOAD_SNAME;
    } else {
        errno = EINVAL;
        return -1;
    }
    if (!on_option_boundary(msg + start, n, off - start)) {
        errno = EINVAL;
        return -1;
    }
    size_t size = 2u + opt[1];
    size_t rest = start + n - off - size;
    if (field == 0) {
        // Fields that option 52 announced hold options no longer announced.
        if (opt == o52) {
            if (v & DHCP_OVERLOAD_FILE)
                memset(msg + DHCP_FILE, 0, DHCP_FILE_LEN);
            if (v & DHCP_OVERLOAD_SNAME)
                memset(msg + DHCP_SNAME, 0, DHCP_SNAME_LEN);
        }
        memmove(opt, opt + size, rest);
        *len -= size;
        return 0;
    }
    memmove(opt, opt + size, rest);
    memset(opt + rest, 0, size);
    if (scan_area(msg + start, n).any)
        return 0;
    memset(msg + start, 0, n);
    o52[2] = static_cast<uint8_t>(v & ~field);
    if (o52[2] == 0) {
        size_t o52off = static_cast<size_t>(o52 - msg);
        memmove(o52, o52 + 3, *len - o52off - 3);
        *len -= 3;
    }
    return 0;
}

int dhcp_opt_get_uint(const uint8_t *opt, size_t expected, uint32_t *value)
{
    if (opt[1] != expected)
        return -1;
    switch (expected) {
    case 1:
        *value = opt[2];
        return 0;
    case 2:
        *value = load16(opt + 2);
        return 0;
    case 4:
        *value = load32(opt + 2);
        return 0;
    }
    return -1;
}

size_t dhcp_opt_get_string(const uint8_t *opt, size_t offset, char *buf, size_t size)
{
    size_t n = opt[1];
    if (size)
        buf[0] = '\0';
    if (offset >= n)
        return 0;
    n -= offset;
    if (size) {
        size_t c = n < size - 1 ? n : size - 1;
        memcpy(buf, opt + 2 + offset, c);
        buf[c] = '\0';
    }
    return n;
}

int dhcp_opt_get_addr(const uint8_t *opt, size_t index, in_addr *addr)
{
    size_t n = opt[1];
    if (n % 4 || index >= n / 4)
        return -1;
    memcpy(&addr->s_addr, opt + 2 + index * 4, 4);
    return 0;
}

int dhcp_opts_format(const uint8_t *msg, size_t len, char *buf, size_t size)
{
    textbuf t = make_textbuf(buf, size);
    if (len < DHCP_OPTIONS) {
        errno = EINVAL;
        return -1;
    }
    dhlist l;
    dhlist_init(&l, msg, len);
    for (const uint8_t *p; (p = dhlist_peek(&l)) && !t.full(); dhlist_next(&l)) {
        const optdesc *d = find_optdesc(*p);
        const char *sep = t.pos ? " " : "";
        if (d)
            t.printf("%s%s=", sep, d->key);
        else
            t.printf("%sopt-%u=", sep, *p);
        // A value that fails its own form is dumped from scratch, not appended to.
        size_t mark = t.pos;
        if (!put_value(t, d, p)) {
            t.pos = mark;
            if (size)
                buf[mark] = '\0';
            put_hex(t, p + 2, p[1]);
        }
    }
    return static_cast<int>(t.pos);
}

int dhcp_format(const uint8_t *msg, size_t len, char *buf, size_t size)
{
    textbuf t = make_textbuf(buf, size);
    if (len < DHCP_COOKIE) {
        errno = EINVAL;
        return -1;
    }
    const uint8_t *type = dhcp_find_opt(msg, len, DHCP_OPT_MSG_TYPE, 1);
    const char *name;
    if (type && type[2] >= 1 && type[2] <= 8)
        name = dhcp_type_upper[type[2]];
    else if (msg[DHCP_OP] == DHCP_BOOTREQUEST)
        name = "BOOTREQUEST";
    else if (msg[DHCP_OP] == DHCP_BOOTREPLY)
        name = "BOOTREPLY";
    else
        name = "BOOTP";
    t.printf("%s xid=0x%08x sec=%u", name, load32(msg + DHCP_XID), load16(msg + DHCP_SECS));
    const uint8_t *c = msg + DHCP_CHADDR;
    t.printf(" chaddr=%02x:%02x:%02x:%02x:%02x:%02x", c[0], c[1], c[2], c[3], c[4], c[5]);
    static constexpr struct {
        size_t off;
        const char *label;
    } addrs[] = {{DHCP_CIADDR, " ciaddr="},
                 {DHCP_YIADDR, " yiaddr="},
                 {DHCP_SIADDR, " siaddr="},
                 {DHCP_GIADDR, " giaddr="}};
    for (const auto &a : addrs)
        if (load32(msg + a.off))
            put_addr(t, a.label, msg + a.off);
    if (load16(msg + DHCP_FLAGS) & DHCP_FLAG_BROADCAST)
        t.printf(" bcast");
    if (has_options(msg, len) && !t.full()) {
        size_t mark = t.pos;
        t.printf(" ");
        int n = dhcp_opts_format(msg, len, buf + t.pos, size - t.pos);
        if (n > 0)
            t.pos += static_cast<size_t>(n);
        else
            buf[t.pos = mark] = '\0';
    }
    return static_cast<int>(t.pos);
}

namespace {

struct dhcpv6_name {
    uint16_t code;
    const char *name;
};

constexpr dhcpv6_name dhcpv6_opt_names[] = {
    {1, "clientid"},       {2, "serverid"},       {3, "ia-na"},         {4, "ia-ta"},
    {5, "iaaddr"},         {6, "oro"},            {7, "preference"},    {8, "elapsed-time"},
    {9, "relay-msg"},      {11, "auth"},          {12, "unicast"},      {13, "status-code"},
    {14, "rapid-commit"},  {15, "user-class"},    {16, "vendor-class"}, {17, "vendor-opts"},
    {18, "interface-id"},  {19, "reconf-msg"},    {20, "reconf-accept"}, {21, "sip-server-d"},
    {22, "sip-server-a"},  {23, "dns-servers"},   {24, "domain-list"},  {25, "ia-pd"},
    {26, "iaprefix"},      {39, "client-fqdn"},   {103, "captive-portal"},
};
static_assert(sizeof(dhcpv6_opt_names) / sizeof(dhcpv6_opt_names[0]) == 27);

constexpr const char *dhcpv6_type_names[] = {
    nullptr,   "solicit", "advertise", "request", "confirm",
    "renew",   "rebind",  "reply",     "release", "decline",
    "reconfigure", "information-request", "relay-forw", "relay-repl",
};

// Offset of the option at `off` when it is a whole option of the list; the
// end of the well-formed options when off is SIZE_MAX.
size_t dhcpv6_walk(const uint8_t *msg, size_t len, size_t off)
{
    size_t pos = DHCPV6_HEADER;
    while (pos + 4 <= len && pos < off) {
        size_t n = load16(msg + pos + 2);
        if (pos + 4 + n > len)
            break;
        pos += 4 + n;
    }
    return pos;
}

} // namespace

const uint8_t *dhcpv6_find_opt(const uint8_t *msg, size_t len, uint16_t code, int wanted)
{
    size_t pos = DHCPV6_HEADER;
    while (pos + 4 <= len) {
        size_t n = load16(msg + pos + 2);
        if (pos + 4 + n > len)
            return nullptr;
        if (load16(msg + pos) == code)
            return wanted < 0 || n == static_cast<size_t>(wanted) ? msg + pos : nullptr;
        pos += 4 + n;
    }
    return nullptr;
}

uint8_t *dhcpv6_add_opt(uint8_t *msg, size_t *len, size_t max, uint16_t code, const void *value,
                        size_t n)
{
    UGW_ASSERT(*len <= max);
    // Bytes after a broken option would hide the new one from every reader.
    if (*len < DHCPV6_HEADER || n > 0xffff || dhcpv6_walk(msg, *len, SIZE_MAX) != *len ||
        *len + n + 4 > max)
        return nullptr;
    uint8_t *opt = msg + *len;
    store16(opt, code);
    store16(opt + 2, static_cast<uint16_t>(n));
    if (value)
        memcpy(opt + 4, value, n);
    else
        memset(opt + 4, 0, n);
    *len += n + 4;
    return opt;
}

int dhcpv6_remove_opt(uint8_t *msg, size_t *len, uint8_t *opt)
{
    if (*len < DHCPV6_HEADER || opt < msg + DHCPV6_HEADER || opt + 4 > msg + *len) {
        errno = EINVAL;
        return -1;
    }
    size_t off = static_cast<size_t>(opt - msg);
    size_t size = 4u + load16(opt + 2);
    if (dhcpv6_walk(msg, *len, off) != off || off + size > *len) {
        errno = EINVAL;
        return -1;
    }
    memmove(opt, opt + size, *len - off - size);
    *len -= size;
    return 0;
}

int dhcpv6_opt_format(uint16_t code, char *buf, size_t size)
{
    textbuf t = make_textbuf(buf, size);
    for (const dhcpv6_name &n : dhcpv6_opt_names)
        if (n.code == code) {
            t.printf("%s", n.name);
            return static_cast<int>(t.pos);
        }
    t.printf("<%u>", code);
    return static_cast<int>(t.pos);
}

int dhcpv6_format(const uint8_t *msg, size_t len, char *buf, size_t size)
{
    textbuf t = make_textbuf(buf, size);
    if (len < DHCPV6_HEADER) {
        errno = EINVAL;
        return -1;
    }
    if (msg[0] >= 1 && msg[0] <= 13)
        t.printf("DHCPv6 %s", dhcpv6_type_names[msg[0]]);
    else
        t.printf("DHCPv6 %u", msg[0]);
    t.printf(" xid=0x%02x%02x%02x", msg[1], msg[2], msg[3]);
    size_t pos = DHCPV6_HEADER;
    while (pos + 4 <= len && !t.full()) {
        size_t n = load16(msg + pos + 2);
        if (pos + 4 + n > len)
            break;
        char name[16];
        dhcpv6_opt_format(load16(msg + pos), name, sizeof(name));
        t.printf(" %s", name);
        pos += 4 + n;
    }
    return static_cast<int>(t.pos);
}
