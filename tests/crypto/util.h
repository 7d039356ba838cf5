// Helpers shared by the crypto tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/crypto/aes.h"
#include "common/crypto/crypto_hw.h"

using bytes = std::vector<uint8_t>;

inline bytes hex(std::string_view s)
{
    bytes out;
    int hi = -1;
    for (char c : s) {
        int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (v < 0)
            continue; // spaces and line breaks as the RFCs print them
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(uint8_t(hi << 4 | v));
            hi = -1;
        }
    }
    return out;
}

inline bytes str(std::string_view s)
{
    return bytes(s.begin(), s.end());
}

inline std::string tohex(const uint8_t *p, size_t n)
{
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}
inline std::string tohex(const bytes &b)
{
    return tohex(b.data(), b.size());
}

// Every test that matters for speed paths runs once per path the processor
// has: the portable code, then each hardware path.
struct crypto_path {
    const char *name;
    uint32_t hw;
};

inline void PrintTo(const crypto_path &p, std::ostream *os)
{
    *os << p.name;
}

inline std::vector<crypto_path> crypto_paths()
{
    std::vector<crypto_path> paths = {{"portable", 0}};
    uint32_t all = crypto_hw_limit(~0u);
    crypto_hw_limit(all);
    if (crypto_hw() != 0)
        paths.push_back({"hardware", ~0u});
    return paths;
}

class PathTest : public ::testing::TestWithParam<crypto_path> {
  protected:
    void SetUp() override
    {
        saved_ = crypto_hw_limit(GetParam().hw);
        if (GetParam().hw == 0)
            aes_select(&aes_generic_impl);
        else
            aes_init();
    }
    void TearDown() override
    {
        crypto_hw_limit(saved_);
        aes_init();
    }

  private:
    uint32_t saved_ = ~0u;
};

#define INSTANTIATE_PATHS(suite)                                                                   \
    INSTANTIATE_TEST_SUITE_P(Paths, suite, ::testing::ValuesIn(crypto_paths()),                    \
                             [](const auto &p) { return std::string(p.param.name); })

// Fewer iterations under the sanitizers keep the folder's run time small.
#if defined(__SANITIZE_ADDRESS__)
#define CRYPTO_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CRYPTO_UNDER_ASAN 1
#endif
#endif
#ifndef CRYPTO_UNDER_ASAN
#define CRYPTO_UNDER_ASAN 0
#endif
inline constexpr int kDiffRuns = CRYPTO_UNDER_ASAN ? 10000 : 100000;
