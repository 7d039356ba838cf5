// The key cache of one service: the PMKSAs its stations earned, shared by the
// authenticators of all the service's BSSes, and the stations' R0 key holders.
#pragma once

#include <cstdint>

#include "common/mempool.h"
#include "common/timer.h"
#include "dot11/dot11_mib.h"

struct dot11_cache;
struct dot11_cache_entry;
struct dot11_r0kh;
struct radius_client; // the NAS through which 802.1X authentications run

// Timer callbacks of the host, user pointer first (same arguments as the
// authenticator's, without it).
struct dot11_cache_ops {
    void (*timer_start)(void *user, timer *t, uint32_t ms, timer_fn expiry);
    void (*timer_stop)(void *user, timer *t);
};

// Null on failure (logged). The configuration is checked as by
// dot11_cache_check_config.
dot11_cache *dot11_cache_create(const dot11_auth_config *config, const dot11_cache_ops *ops,
                                void *user, radius_client *nas, mempool *pool);
// -1 after "IEEE 802.1X authentication requires a RADIUS NAS" when an 802.1X
// AKM is configured and neither the cache nor the caller names a NAS (the
// service checks before it hands its NAS over); otherwise copies the
// configuration.
int dot11_cache_check_config(dot11_cache *cache, const dot11_auth_config *config,
                             const radius_client *nas);
void dot11_cache_delete(dot11_cache *cache);

// Sets the NAS only when none is set.
void dot11_cache_set_nas(dot11_cache *cache, radius_client *nas);
void dot11_cache_clear_nas(dot11_cache *cache);
radius_client *dot11_cache_get_nas(const dot11_cache *cache);

void dot11_cache_clear(dot11_cache *cache);
void dot11_cache_clear_pmksas_by_mac(dot11_cache *cache, const uint8_t mac[6]);

unsigned dot11_cache_count_pmks(const dot11_cache *cache);
dot11_cache_entry *dot11_cache_first_pmk(dot11_cache *cache);
dot11_cache_entry *dot11_cache_next_pmk(dot11_cache *cache, dot11_cache_entry *entry);
unsigned dot11_cache_count_pmks_by_mac(const dot11_cache *cache, const uint8_t mac[6]);
dot11_cache_entry *dot11_cache_first_pmk_by_mac(dot11_cache *cache, const uint8_t mac[6]);
dot11_cache_entry *dot11_cache_next_pmk_by_mac(dot11_cache *cache, const uint8_t mac[6],
                                               dot11_cache_entry *entry);
dot11_cache_entry *dot11_cache_find_pmk(dot11_cache *cache, const uint8_t id[16]);

dot11_r0kh *dot11_cache_find_r0kh(dot11_cache *cache, const uint8_t mac[6]);
dot11_r0kh *dot11_cache_first_r0kh(dot11_cache *cache);
dot11_r0kh *dot11_cache_next_r0kh(dot11_cache *cache, dot11_r0kh *r0kh);
