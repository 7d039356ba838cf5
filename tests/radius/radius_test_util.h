// Helpers of the RADIUS tests: packets from bytes, a settable cached clock,
// captured log lines, and MD5 / HMAC-MD5 from libcrypto as the oracle.
#pragma once

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/md5.h>

#include <cstdarg>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/mempool.h"
#include "common/packet.h"
#include "common/timer.h"
#include "radius/radius_codec.h"

namespace radius_test {

using bytes = std::vector<uint8_t>;

struct pool_deleter {
    void operator()(mempool *p) const { mempool_unref(p); }
};
using pool_ptr = std::unique_ptr<mempool, pool_deleter>;

// Buffers large enough for a 4096-byte message and some room to spare.
inline pool_ptr make_pool()
{
    static const packet_pool_config config = {4096 + 256, 32, 16, 1024, 0, 0};
    return pool_ptr(packet_pool_create(&config));
}

struct packet_deleter {
    void operator()(packet *p) const { packet_release(p); }
};
using packet_ptr = std::unique_ptr<packet, packet_deleter>;

inline packet *packet_of(mempool *pool, const bytes &b)
{
    packet *p = packet_alloc(pool, b.size());
    if (p && !b.empty())
        memcpy(p->data, b.data(), b.size());
    return p;
}

inline bytes bytes_of(const packet *p)
{
    return bytes(p->data, p->data + p->length);
}

// A message: header (length filled in) and the given attribute bytes.
inline bytes message(radius_code code, uint8_t id, const bytes &attrs,
                     const uint8_t *auth = nullptr)
{
    bytes m(RADIUS_HDR_LEN);
    m[0] = static_cast<uint8_t>(code);
    m[1] = id;
    if (auth)
        memcpy(m.data() + 4, auth, RADIUS_AUTH_LEN);
    m.insert(m.end(), attrs.begin(), attrs.end());
    m[2] = static_cast<uint8_t>(m.size() >> 8);
    m[3] = static_cast<uint8_t>(m.size());
    return m;
}

inline bytes attr(radius_attr_type type, const bytes &value)
{
    bytes a{static_cast<uint8_t>(type), static_cast<uint8_t>(value.size() + 2)};
    a.insert(a.end(), value.begin(), value.end());
    return a;
}

inline bytes attr(radius_attr_type type, const std::string &value)
{
    return attr(type, bytes(value.begin(), value.end()));
}

inline bytes vsa(uint32_t vendor, uint8_t type, const bytes &value)
{
    bytes v{uint8_t(vendor >> 24), uint8_t(vendor >> 16), uint8_t(vendor >> 8), uint8_t(vendor),
            type, uint8_t(value.size() + 2)};
    v.insert(v.end(), value.begin(), value.end());
    return attr(radius_attr_type::vendor_specific, v);
}

inline bytes operator+(bytes a, const bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline bytes md5(const bytes &data)
{
    bytes out(16);
    unsigned int n = 16;
    EVP_Digest(data.data(), data.size(), out.data(), &n, EVP_md5(), nullptr);
    return out;
}

inline bytes hmac_md5(const std::string &key, const bytes &data)
{
    bytes out(16);
    unsigned int n = 16;
    HMAC(EVP_md5(), key.data(), int(key.size()), data.data(), data.size(), out.data(), &n);
    return out;
}

// The cached clock the transport reads, set by the test (ms).
inline void set_clock_ms(uint64_t ms)
{
    clock_monotonic_sec = ms / 1000;
    clock_monotonic_usec = ms % 1000 * 1000;
    if (!clock_offset_sec)
        clock_offset_sec = 1;
}

// Log lines of the RADIUS component, kept while the object lives.
class log_capture
{
  public:
    log_capture()
    {
        saved_hook_ = log_hook;
        saved_config_ = log_config;
        lines_ = &lines;
        log_hook = capture;
        log_config.level = ULOG_DUMP;
        log_config.components = LOG_COMP_ALL;
    }
    ~log_capture()
    {
        log_hook = saved_hook_;
        log_config = saved_config_;
        lines_ = nullptr;
    }
    bool has(const std::string &text) const
    {
        for (const auto &l : lines)
            if (l.find(text) != std::string::npos)
                return true;
        return false;
    }
    std::vector<std::string> lines;

  private:
    static void capture(int, const char *, unsigned, const char *fmt, ...)
    {
        char buf[1024];
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(buf, sizeof buf, fmt, ap);
        va_end(ap);
        if (lines_)
            lines_->push_back(buf);
    }
    static inline std::vector<std::string> *lines_ = nullptr;
    log_hook_fn saved_hook_;
    log_cfg saved_config_;
};

} // namespace radius_test
