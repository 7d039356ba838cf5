#include "utility/ugw_format.h"

#include <arpa/inet.h>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "common/sockaddr.h"
#include "common/strings.h"

namespace
{

struct duration_unit {
    const char *name;
    uint64_t seconds;
};

// From the least significant; years are not reduced further.
constexpr duration_unit duration_units[6] = {
    {"second", 1},  {"minute", 60},         {"hour", 3600},
    {"day", 86400}, {"week", 7 * 86400ull}, {"year", 52 * 7 * 86400ull},
};

void duration_split(uint64_t seconds, uint64_t v[6])
{
    for (int i = 5; i >= 0; i--) {
        v[i] = seconds / duration_units[i].seconds;
        seconds %= duration_units[i].seconds;
    }
}

// Writes units first..last (zeros between left out) and returns the length
// the whole text needs.
size_t duration_text(char *buffer, size_t size, const uint64_t v[6], int first, int last,
                     bool long_style)
{
    int shown[6];
    int n = 0;
    for (int i = first; i >= last; i--)
        if (v[i] || i == first) shown[n++] = i;
    size_t used = 0;
    char tmp[64];
    for (int k = 0; k < n; k++) {
        int i = shown[k];
        int len;
        if (long_style)
            len = snprintf(tmp, sizeof tmp, "%s%llu %s%s",
                           k == 0 ? "" : (k == n - 1 ? " and " : ", "),
                           static_cast<unsigned long long>(v[i]), duration_units[i].name,
                           v[i] == 1 ? "" : "s");
        else
            len = snprintf(tmp, sizeof tmp, "%llu%c", static_cast<unsigned long long>(v[i]),
                           duration_units[i].name[0]);
        if (used < size) string_lcpy(buffer + used, tmp, size - used);
        used += static_cast<size_t>(len);
    }
    if (!n && size) buffer[0] = 0;
    return used;
}

// The lowest unit that still fits the width, counting from the first.
int duration_fit(const uint64_t v[6], int first, size_t width, bool long_style)
{
    char tmp[160];
    int last = first;
    for (int i = first - 1; i >= 0; i--) {
        if (duration_text(tmp, sizeof tmp, v, first, i, long_style) > width) break;
        last = i;
    }
    return last;
}

int duration_first(const uint64_t v[6])
{
    for (int i = 5; i > 0; i--)
        if (v[i]) return i;
    return 0;
}

constexpr char hex_digits[] = "0123456789abcdef";

// The ifname cache: direct-mapped by index.
struct ifname_slot {
    uint32_t index;
    bool known;
    bool found;
    char name[IF_NAMESIZE];
};
ifname_slot ifname_cache[64];
char *(*ifname_lookup)(unsigned, char *) = if_indextoname;

} // namespace

char *format_duration(char *buffer, size_t size, uint64_t seconds, size_t width)
{
    if (!size) return buffer;
    if (!seconds) {
        string_lcpy(buffer, "-", size);
        return buffer;
    }
    bool long_style = width >= 18;
    uint64_t v[6];
    duration_split(seconds, v);
    int first = duration_first(v);
    int last = duration_fit(v, first, width, long_style);
    if (last > 0) {
        // Round at the last unit shown, then fit once more.
        duration_split(seconds + duration_units[last].seconds / 2, v);
        first = duration_first(v);
        int again = duration_fit(v, first, width, long_style);
        last = again > last ? again : last;
        if (last > first) last = first;
    }
    duration_text(buffer, size, v, first, last, long_style);
    return buffer;
}

char *format_age(char *buffer, size_t size, uint32_t stamp, uint32_t now, size_t width)
{
    if (!stamp || stamp > now) {
        if (size) string_lcpy(buffer, "-", size);
        return buffer;
    }
    return format_duration(buffer, size, now - stamp, width);
}

void print_text_label(FILE *out, const char *label)
{
    char text[64];
    snprintf(text, sizeof text, "%s: ", label);
    fprintf(out, "%22s", text);
}

char *format_mac(char buffer[18], const uint8_t mac[6])
{
    char *p = buffer;
    for (int i = 0; i < 6; i++) {
        *p++ = hex_digits[mac[i] >> 4];
        *p++ = hex_digits[mac[i] & 15];
        *p++ = i < 5 ? ':' : 0;
    }
    return buffer;
}

char *format_uuid(char buffer[37], const uint8_t uuid[16])
{
    char *p = buffer;
    for (int i = 0; i < 16; i++) {
        if (i == 4 || i == 6 || i == 8 || i == 10) *p++ = '-';
        *p++ = hex_digits[uuid[i] >> 4];
        *p++ = hex_digits[uuid[i] & 15];
    }
    *p = 0;
    return buffer;
}

char *format_pmkid(char buffer[33], const uint8_t id[16])
{
    // Four big-endian words printed in order are the bytes in order.
    for (int i = 0; i < 16; i++) {
        buffer[2 * i] = hex_digits[id[i] >> 4];
        buffer[2 * i + 1] = hex_digits[id[i] & 15];
    }
    buffer[32] = 0;
    return buffer;
}

char *format_sockaddr(char *buffer, size_t size, const void *sa, unsigned flags)
{
    sockaddr_in6 copy;
    memcpy(&copy, sa, sizeof copy);
    if (copy.sin6_family != AF_INET && copy.sin6_family != AF_INET6) {
        string_lcpy(buffer, "-", size);
        return buffer;
    }
    char text[SOCKADDR_FMT_SIZE];
    sockaddr_format(reinterpret_cast<const sockaddr *>(&copy), text, sizeof text, flags);
    string_lcpy(buffer, text, size);
    return buffer;
}

char *format_volume(char *buffer, size_t size, uint64_t bytes, uint32_t packets)
{
    char units[32];
    string_format_bytes(bytes, 0, units, sizeof units);
    snprintf(buffer, size, "%sB in %u packets", units, packets);
    return buffer;
}

char *format_units1000(char *buffer, size_t size, uint64_t value)
{
    static const char *const units[7] = {"", "k", "M", "G", "T", "P", "E"};
    return string_format_units(value, 0, buffer, size, 1000, units);
}

char *format_rate_triple(char *buffer, size_t size, uint32_t min, uint32_t max, uint32_t avg)
{
    if (!min || !max || !avg) {
        string_lcpy(buffer, "-", size);
        return buffer;
    }
    char a[16], lo[16], hi[16];
    format_units1000(a, 7, avg);
    format_units1000(lo, 7, min);
    format_units1000(hi, 7, max);
    snprintf(buffer, size, "avg %sbit/s min %sbit/s max %sbit/s", a, lo, hi);
    return buffer;
}

char *format_signal_triple(char *buffer, size_t size, int8_t min, int8_t max, int8_t avg)
{
    if (!min || !max || !avg) {
        string_lcpy(buffer, "-", size);
        return buffer;
    }
    snprintf(buffer, size, "%d avg %d min %d max dBm", avg, min, max);
    return buffer;
}

char *format_drop_share(char *buffer, size_t size, uint64_t drops, uint64_t packets)
{
    uint64_t total = drops + packets;
    uint64_t permille = drops * 1000 / (total ? total : 1);
    snprintf(buffer, size, "%llu.%llu%%", static_cast<unsigned long long>(permille / 10),
             static_cast<unsigned long long>(permille % 10));
    return buffer;
}

char *format_key_hex(char *buffer, size_t size, const uint8_t *key, unsigned bits)
{
    size_t digits = (bits + 3) / 4;
    if (digits > 64) digits = 64;
    if (digits >= size) digits = size ? size - 1 : 0;
    for (size_t i = 0; i < digits; i++)
        buffer[i] = hex_digits[(key[i / 2] >> (i % 2 ? 0 : 4)) & 15];
    if (size) buffer[digits] = 0;
    return buffer;
}

char *format_ssid(char buffer[33], const uint8_t *ssid, size_t length)
{
    if (length > 32) length = 32;
    for (size_t i = 0; i < length; i++)
        buffer[i] = ssid[i] >= 0x20 && ssid[i] < 0x7f ? static_cast<char>(ssid[i]) : '.';
    buffer[length] = 0;
    return buffer;
}

char *format_text(char *buffer, size_t size, const char *text, size_t max)
{
    if (!size) return buffer;
    size_t n = strnlen(text, max);
    const auto *p = reinterpret_cast<const uint8_t *>(text);
    size_t out = 0;
    size_t i = 0;
    while (i < n && out + 1 < size) {
        uint8_t c = p[i];
        if (c >= 0x20 && c < 0x7f) {
            buffer[out++] = static_cast<char>(c);
            i++;
            continue;
        }
        size_t len = 0;
        uint32_t cp = 0;
        if (c >= 0xc2 && c <= 0xdf) {
            len = 2;
            cp = c & 0x1f;
        } else if ((c & 0xf0) == 0xe0) {
            len = 3;
            cp = c & 0x0f;
        } else if (c >= 0xf0 && c <= 0xf4) {
            len = 4;
            cp = c & 0x07;
        }
        bool valid = len && i + len <= n;
        for (size_t k = 1; valid && k < len; k++) {
            if ((p[i + k] & 0xc0) != 0x80)
                valid = false;
            else
                cp = cp << 6 | (p[i + k] & 0x3f);
        }
        static constexpr uint32_t min_cp[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (valid && (cp < min_cp[len] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)))
            valid = false;
        if (!valid || cp < 0xa0) {
            // A control character (C1 included) or a broken sequence.
            buffer[out++] = '.';
            i += valid ? len : 1;
            continue;
        }
        if (out + len >= size) break;
        memcpy(buffer + out, p + i, len);
        out += len;
        i += len;
    }
    buffer[out] = 0;
    return buffer;
}

const char *tunnel_proto_name(uint32_t proto)
{
    static const char *const names[] = {"", "Native", "VXLAN", "Geneve", "GRE"};
    return proto < 5 ? names[proto] : "";
}

const char *frequency_band_name(int8_t band)
{
    static const char *const names[] = {"TV white spaces", "900 MHz", "2.4 GHz",
                                        "3.6 GHz",         "5 GHz",   "60 GHz"};
    return band >= 0 && band < 6 ? names[band] : "";
}

const char *lease6_method_name(uint32_t method)
{
    static const char *const names[] = {"None", "Link-local", "SLAAC", "DHCPv6"};
    return method < 4 ? names[method] : "";
}

const char *client_isolation_name(unsigned mode)
{
    static const char *const names[] = {"None", "Service", "Full", ""};
    return names[mode & 3];
}

const char *neighbor_discovery_name(unsigned mode)
{
    static const char *const names[] = {"Pass", "Local", "Directed", "Proxy"};
    return names[mode & 3];
}

const char *multicast_forward_name(unsigned mode)
{
    static const char *const names[] = {"Pass", "Local", "Directed", "Control"};
    return names[mode & 3];
}

const char *broadcast_forward_name(unsigned mode)
{
    static const char *const names[] = {"Global", "Directed", "Control", ""};
    return names[mode & 3];
}

const char *auth_source_name(uint32_t source)
{
    static const char *const names[] = {"", "RADIUS", "Local", "Remote"};
    return source < 4 ? names[source] : "";
}

char *format_control_status(char *buffer, size_t size, uint32_t status, uint64_t age)
{
    static const char *const names[] = {"config", "wait", nullptr, "error", "expire"};
    if (status == 2) return format_duration(buffer, size < 7 ? size : 7, age, 6);
    string_lcpy(buffer, status < 5 ? names[status] : "", size);
    return buffer;
}

const char *akm_suite_name(uint32_t suite)
{
    // The OUI bytes come first in memory: 00-0F-AC:1 reads 0x01ac0f00.
    switch (suite) {
    case 0x01ac0f00:
        return "eap";
    case 0x02ac0f00:
        return "psk";
    case 0x03ac0f00:
        return "eap-ft";
    case 0x04ac0f00:
        return "psk-ft";
    case 0x05ac0f00:
        return "eap-sha256";
    case 0x06ac0f00:
        return "psk-sha256";
    case 0x01f25000:
        return "eap-wpa";
    case 0x02f25000:
        return "psk-wpa";
    default:
        return nullptr;
    }
}

const char *cipher_suite_name(uint32_t suite)
{
    switch (suite) {
    case 0x02ac0f00:
    case 0x02f25000:
        return "tkip";
    case 0x04ac0f00:
    case 0x04f25000:
        return "ccmp";
    default:
        return nullptr;
    }
}

const char *log_option_name(unsigned bit)
{
    static const char *const names[] = {"pid", "date", "time", "file", "line", "keys"};
    return bit < 6 ? names[bit] : nullptr;
}

const char *ugw_ifname(uint32_t index)
{
    if (!index) return nullptr;
    ifname_slot &slot = ifname_cache[index % 64];
    if (!slot.known || slot.index != index) {
        slot.index = index;
        slot.known = true;
        slot.found = ifname_lookup(index, slot.name) != nullptr;
    }
    return slot.found ? slot.name : nullptr;
}

const char *ugw_ifname_text(uint32_t index, char *out, size_t size)
{
    const char *name = ugw_ifname(index);
    return name ? format_text(out, size, name, IF_NAMESIZE) : nullptr;
}

void ugw_ifname_reset(char *(*lookup)(unsigned index, char *name))
{
    ifname_lookup = lookup ? lookup : if_indextoname;
    memset(ifname_cache, 0, sizeof ifname_cache);
}
