#include <gtest/gtest.h>

#include "dot11/dot11_cache.h"
#include "tests/dot11/dot11_test_util.h"

namespace {

TEST(Dot11Cache, Needs_a_nas_for_8021x_akms)
{
    struct Case {
        uint32_t akm;
        bool needs_nas;
    } cases[] = {
        {DOT11_AKM_8021X, true},      {DOT11_AKM_FT_8021X, true},  {DOT11_AKM_8021X_SHA256, true},
        {DOT11_AKM_WPA_8021X, true},  {DOT11_AKM_PSK, false},      {DOT11_AKM_FT_PSK, false},
        {DOT11_AKM_PSK_SHA256, false}, {DOT11_AKM_WPA_PSK, false},
    };
    for (const Case &c : cases) {
        dot11_auth_config cfg{};
        cfg.dot11RSNAConfigAuthenticationSuite[3] = c.akm;
        dot11_cache *cache;
        {
            log_capture log;
            cache = dot11_cache_create(&cfg, nullptr, nullptr, nullptr, nullptr);
            EXPECT_EQ(logged.find("IEEE 802.1X authentication requires a RADIUS NAS") !=
                          std::string::npos,
                      c.needs_nas);
        }
        EXPECT_EQ(cache == nullptr, c.needs_nas) << std::hex << c.akm;
        dot11_cache_delete(cache);
        // With a NAS every AKM is accepted, and a later NAS does not replace it.
        auto *nas = reinterpret_cast<radius_client *>(&cfg);
        cache = dot11_cache_create(&cfg, nullptr, nullptr, nas, nullptr);
        ASSERT_NE(cache, nullptr);
        int other = 0;
        dot11_cache_set_nas(cache, reinterpret_cast<radius_client *>(&other));
        EXPECT_EQ(dot11_cache_get_nas(cache), nas);
        dot11_cache_clear_nas(cache);
        EXPECT_EQ(dot11_cache_check_config(cache, &cfg, nullptr), c.needs_nas ? -1 : 0);
        EXPECT_EQ(dot11_cache_check_config(cache, &cfg, nas), 0);
        dot11_cache_delete(cache);
    }
    dot11_cache_delete(nullptr);
}

} // namespace
