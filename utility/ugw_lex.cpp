#include "utility/ugw_lex.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/sockaddr.h"
#include "common/strings.h"
#include "utility/ugw_support.h"

namespace
{

constexpr bool keyword_texts_fit()
{
    for (const auto &s : ugw_keyword_specs)
        if (std::string_view(s.text).size() > 15) return false;
    return true;
}
static_assert(keyword_texts_fit());
static_assert(!ugw_keyword_specs[0].synonym);
static_assert(ugw_keyword_token("enable") == ugw_keyword_token("set"));
static_assert(ugw_keyword_token("disable") == ugw_keyword_token("unset"));

bool blank(char c)
{
    return c == ' ' || c == '\t';
}

size_t run_of(const char *s, const char *set)
{
    return strspn(s, set);
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Six pairs of hex digits, each pair but the last followed by ':' or '-'.
bool mac_text(const char *s, uint8_t mac[6])
{
    for (int i = 0; i < 6; i++) {
        const char *p = s + 3 * i;
        int hi = hex_value(p[0]), lo = hex_value(p[1]);
        if (hi < 0 || lo < 0) return false;
        if (i < 5 && p[2] != ':' && p[2] != '-') return false;
        mac[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
}

bool address(const char *s, size_t n, size_t max, int family, void *out)
{
    if (n == 0 || n > max) return false;
    char buffer[64];
    memcpy(buffer, s, n);
    buffer[n] = '\0';
    return inet_pton(family, buffer, out) == 1;
}

bool number_text(const char *s, uint32_t *out)
{
    if (*s < '0' || *s > '9') return false;
    errno = 0;
    char *end;
    unsigned long long v = strtoull(s, &end, 0);
    if (*end || errno || v > UINT32_MAX) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

// A cut name or secret would address or set something else: a text that
// does not fit ends the input instead.
int copy_text(ugw_words *w, char *out, const char *s)
{
    size_t n = strnlen(s, UGW_TEXT_MAX + 1);
    if (n > UGW_TEXT_MAX) {
        w->stopped = true;
        return UGW_TOKEN_END;
    }
    memcpy(out, s, n);
    out[n] = '\0';
    return UGW_TOKEN_TEXT;
}

} // namespace

void ugw_words_init(ugw_words *w, char *const *words, int count)
{
    w->words = words;
    w->count = count;
    w->index = 0;
    w->pos = 0;
    w->mode = UGW_MODE_NORMAL;
    w->stopped = false;
}

int ugw_lex(ugw_token_value *v, ugw_words *w)
{
    const char *s = nullptr;
    // A text is a whole word: blanks it begins with are part of the name.
    if (w->mode == UGW_MODE_TEXT && w->index < w->count && !w->words[w->index][w->pos]) {
        w->index++;
        w->pos = 0;
    }
    if (w->mode == UGW_MODE_TEXT && w->index < w->count && w->pos == 0 && w->words[w->index][0])
        s = w->words[w->index];
    while (!s && w->index < w->count) {
        s = w->words[w->index] + w->pos;
        while (blank(*s))
            s++;
        if (*s) break;
        w->index++;
        w->pos = 0;
        s = nullptr;
    }
    uint8_t mode = w->mode;
    w->mode = UGW_MODE_NORMAL;
    if (!s) return UGW_TOKEN_END;
    const char *word = w->words[w->index];
    size_t rest = strlen(s);
    auto take = [&](size_t n) { w->pos = static_cast<size_t>(s + n - word); };

    if (mode == UGW_MODE_HEX) {
        int bits = ugw_parse_hex(s, " ", v->hex.bytes, sizeof(v->hex.bytes));
        if (bits < 1 || bits > 512) {
            w->stopped = true;
            return UGW_TOKEN_END;
        }
        v->hex.bits = bits;
        take(rest);
        return UGW_TOKEN_HEX;
    }
    if (mode == UGW_MODE_TEXT) {
        take(rest);
        return copy_text(w, v->text, s);
    }
    if (mode == UGW_MODE_NORMAL) {
        if (filter_rule_parse(&v->rule, s, 1) == 0) {
            take(rest);
            return UGW_TOKEN_RULE;
        }
        size_t n = run_of(s, "abcdefABCDEF0123456789:-");
        if (n == 17 && mac_text(s, v->mac)) {
            take(17);
            return UGW_TOKEN_MAC;
        }
        n = run_of(s, "abcdefABCDEF0123456789-");
        if (n == 36 && uuid_parse_text(v->uuid, s) == 0) {
            take(36);
            return UGW_TOKEN_UUID;
        }
        n = run_of(s, "0123456789.");
        if (address(s, n, 15, AF_INET, v->ipv4)) {
            take(n);
            return UGW_TOKEN_IPV4;
        }
        n = run_of(s, "abcdefABCDEF0123456789.:");
        if (address(s, n, 45, AF_INET6, v->ipv6)) {
            take(n);
            return UGW_TOKEN_IPV6;
        }
        if (*s == '[' || *s == ']' || *s == ':') {
            v->punct = *s;
            take(1);
            return static_cast<unsigned char>(*s);
        }
        n = strcspn(s, "[]:");
        for (size_t i = 0; i < UGW_KEYWORDS; i++) {
            const ugw_keyword &k = ugw_keyword_table[i];
            if (strnlen(k.text, sizeof(k.text)) == n && memcmp(k.text, s, n) == 0) {
                w->mode = ugw_keyword_mode[i];
                take(n);
                return static_cast<int>(k.token);
            }
        }
    }
    if (number_text(s, &v->number)) {
        take(rest);
        return UGW_TOKEN_NUMBER;
    }
    take(rest);
    return copy_text(w, v->text, s);
}

int ugw_parse_hex(const char *text, const char *separators, uint8_t *buffer, size_t size)
{
    if (size == 0) return 0;
    memset(buffer, 0, size);
    size_t nibbles = 0;
    for (const char *p = text; *p && nibbles < 2 * size; p++) {
        if (nibbles % 2 == 0 && separators && strchr(separators, *p)) continue;
        int d = hex_value(*p);
        if (d < 0) return -1;
        buffer[nibbles / 2] |= static_cast<uint8_t>(nibbles % 2 ? d : d << 4);
        nibbles++;
    }
    return static_cast<int>(nibbles * 4);
}

int ugw_split_words(char *line, char **words, int max)
{
    constexpr int depth_max = 32;
    char stack[depth_max];
    int depth = 0;
    int count = 0;
    bool in_word = false;
    char *r = line, *w = line;
    for (; *r; r++) {
        char c = *r;
        if (depth == 0) {
            if (c == ' ' || c == '\t' || c == '\n') {
                if (in_word) {
                    *w++ = '\0';
                    in_word = false;
                }
                continue;
            }
            if (!in_word) {
                if (count == max) return -1;
                words[count++] = w;
                in_word = true;
            }
            if (c == '\\') {
                if (!r[1]) return -1;
                // \xHH gives any byte, so that a dump can write every name.
                int hi = r[1] == 'x' ? hex_value(r[2]) : -1;
                int lo = hi >= 0 ? hex_value(r[3]) : -1;
                if (lo >= 0) {
                    *w++ = static_cast<char>(hi << 4 | lo);
                    r += 3;
                } else {
                    *w++ = *++r;
                }
            } else if (c == '\'' || c == '"') {
                stack[depth++] = c;
            } else {
                *w++ = c;
            }
            continue;
        }
        if (c == stack[depth - 1]) {
            depth--;
            if (depth > 0) *w++ = c;
        } else if (c == '\'' || c == '"') {
            if (depth == depth_max) return -1;
            stack[depth++] = c;
            *w++ = c;
        } else {
            *w++ = c;
        }
    }
    if (depth > 0) return -1;
    if (in_word) *w = '\0';
    return count;
}
