#include "dot11/dot11_cache.h"

#include <cstring>
#include <new>

#include "common/crypto/secure.h"
#include "common/log.h"

// Entries come with the R0 key holders; until then the cache keeps only its
// configuration and NAS, and every walk is empty.
struct dot11_cache {
    dot11_auth_config config;
    dot11_cache_ops ops;
    void *user;
    radius_client *nas;
    mempool *pool;
};

namespace {

bool is_8021x_akm(uint32_t akm)
{
    return akm == DOT11_AKM_8021X || akm == DOT11_AKM_FT_8021X || akm == DOT11_AKM_8021X_SHA256 ||
           akm == DOT11_AKM_WPA_8021X;
}

} // namespace

dot11_cache *dot11_cache_create(const dot11_auth_config *config, const dot11_cache_ops *ops,
                                void *user, radius_client *nas, mempool *pool)
{
    auto *cache = new (std::nothrow) dot11_cache{};
    if (!cache) {
        ulog(LOG_COMP_DOT11, ULOG_ERROR, "Memory allocation failed");
        return nullptr;
    }
    if (ops)
        cache->ops = *ops;
    cache->user = user;
    cache->nas = nas;
    cache->pool = pool;
    if (dot11_cache_check_config(cache, config, nas) < 0) {
        delete cache;
        return nullptr;
    }
    return cache;
}

int dot11_cache_check_config(dot11_cache *cache, const dot11_auth_config *config,
                             const radius_client *nas)
{
    if (!cache->nas && !nas) {
        for (uint32_t akm : config->dot11RSNAConfigAuthenticationSuite) {
            if (is_8021x_akm(akm)) {
                ulog(LOG_COMP_DOT11, ULOG_ERROR, "IEEE 802.1X authentication requires a RADIUS NAS");
                return -1;
            }
        }
    }
    cache->config = *config;
    return 0;
}

void dot11_cache_delete(dot11_cache *cache)
{
    if (!cache)
        return;
    secure_wipe(&cache->config, sizeof(cache->config));
    delete cache;
}

void dot11_cache_set_nas(dot11_cache *cache, radius_client *nas)
{
    if (!cache->nas)
        cache->nas = nas;
}

void dot11_cache_clear_nas(dot11_cache *cache) { cache->nas = nullptr; }
radius_client *dot11_cache_get_nas(const dot11_cache *cache) { return cache->nas; }

void dot11_cache_clear(dot11_cache *) {}
void dot11_cache_clear_pmksas_by_mac(dot11_cache *, const uint8_t *) {}
unsigned dot11_cache_count_pmks(const dot11_cache *) { return 0; }
dot11_cache_entry *dot11_cache_first_pmk(dot11_cache *) { return nullptr; }
dot11_cache_entry *dot11_cache_next_pmk(dot11_cache *, dot11_cache_entry *) { return nullptr; }
unsigned dot11_cache_count_pmks_by_mac(const dot11_cache *, const uint8_t *) { return 0; }
dot11_cache_entry *dot11_cache_first_pmk_by_mac(dot11_cache *, const uint8_t *) { return nullptr; }
dot11_cache_entry *dot11_cache_next_pmk_by_mac(dot11_cache *, const uint8_t *, dot11_cache_entry *)
{
    return nullptr;
}
dot11_cache_entry *dot11_cache_find_pmk(dot11_cache *, const uint8_t *) { return nullptr; }
dot11_r0kh *dot11_cache_find_r0kh(dot11_cache *, const uint8_t *) { return nullptr; }
dot11_r0kh *dot11_cache_first_r0kh(dot11_cache *) { return nullptr; }
dot11_r0kh *dot11_cache_next_r0kh(dot11_cache *, dot11_r0kh *) { return nullptr; }
