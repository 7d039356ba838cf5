// The configuration actions of set and unset: each changes a record fetched
// from the daemon in place and says whether a byte changed. They never talk
// to the daemon themselves.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dot11/dot11_mib.h"
#include "gateway/ugwd_table.h"
#include "utility/ugw_parse.h"
#include "utility/ugw_slots.h"

// A service as Get-Service returns it: its blocks in order, unaligned.
constexpr size_t UGW_SERVICE_VAP_PARAMS = 128;
constexpr size_t UGW_SERVICE_RECORD =
    sizeof(ugwd_service_mib) + sizeof(dot11_auth_config) + UGW_SERVICE_VAP_PARAMS + 52 + 64;

// Where the service's own station settings sit in its VAP parameters.
constexpr size_t UGW_VAP_FRAG_AT = 8;    // u16 fragmentation threshold
constexpr size_t UGW_VAP_FLAGS_AT = 120; // QoS 0x20, A-MSDU 0x08, SPP capable 0x02, required 0x01
constexpr uint8_t UGW_VAP_QOS = 0x20;
constexpr uint8_t UGW_VAP_AMSDU = 0x08;
constexpr uint8_t UGW_VAP_SPP = 0x03;

// Defaults: what the dump leaves out.
constexpr uint16_t UGW_DEFAULT_TIMEOUT = 292; // units of 1000 TU
constexpr uint16_t UGW_DEFAULT_FRAG = 65535;
constexpr uint32_t UGW_DEFAULT_REKEY_TIME = 86400;
constexpr uint8_t UGW_DEFAULT_PMKSA_CACHE = 8;
constexpr uint16_t UGW_DEFAULT_MOBILITY_DOMAIN = 1;
constexpr uint32_t UGW_DEFAULT_FT_TIMEOUT = 1000; // TU

// RFC 2898 PBKDF2 over HMAC-SHA1. 0, or -1 with EINVAL for no iterations.
int pbkdf2_hmac_sha1(const void *password, size_t password_len, const void *salt, size_t salt_len,
                     uint32_t iterations, uint8_t *out, size_t out_len);
// The 802.11 PSK of a passphrase for an SSID. -1 with ENOKEY when the SSID
// is empty, EINVAL unless the passphrase has 8 to 63 printable ASCII
// characters.
int psk_from_passphrase(const char *passphrase, const uint8_t *ssid, size_t ssid_len,
                        uint8_t psk[32]);

// The derived fields of a service: security, FT, rekey mode, R0KH-ID.
void set_service_field(ugwd_service_mib *mib, dot11_auth_config *dot11);
// A service record (UGW_SERVICE_RECORD bytes) with every setting at its
// default, for add service.
void ugw_service_defaults(void *record, const uint8_t uuid[16]);

int ugw_set_log(void *settings, const ugw_command *cmd);
int ugw_unset_log(void *settings, const ugw_command *cmd);
int ugw_set_control(void *control, const ugw_command *cmd);
int ugw_unset_control(void *control, const ugw_command *cmd);
int ugw_set_port(void *port, const ugw_command *cmd);
int ugw_unset_port(void *port, const ugw_command *cmd);
int ugw_set_nas(void *config, const ugw_command *cmd);
int ugw_unset_nas(void *config, const ugw_command *cmd);
int ugw_set_auth(void *row, const ugw_command *cmd);
int ugw_unset_auth(void *row, const ugw_command *cmd);
int ugw_set_acct(void *row, const ugw_command *cmd);
int ugw_unset_acct(void *row, const ugw_command *cmd);
int ugw_set_service(void *record, const ugw_command *cmd);
int ugw_unset_service(void *record, const ugw_command *cmd);
