// The grammar of ugw's commands: one sentence fills one command record whose
// kind (0..93) the executor dispatches on. Values are checked while the
// sentence is read, so nothing out of range ever reaches the daemon.
#pragma once

#include <cstdint>

#include "common/filter/filter_rule.h"
#include "utility/ugw_lex.h"

constexpr uint32_t UGW_KIND_LISTEN = 93;
constexpr uint32_t UGW_KINDS = 94;

// Attribute codes of set and unset.
enum ugw_attr : uint32_t {
    UGW_ATTR_NONE = 0,
    UGW_ATTR_LOG_LEVEL,
    UGW_ATTR_LOG_OPTION,
    UGW_ATTR_LOG_MODULE, // names joined by blanks in u.text
    UGW_ATTR_LOG_TRACE,
    UGW_ATTR_CONTROL_KEY,
    UGW_ATTR_PORT_IP,
    UGW_ATTR_NAS_PORTS,
    UGW_ATTR_NAS_CACHING,
    UGW_ATTR_SERVER_SECRET,
    UGW_ATTR_SERVER_PORT,
    UGW_ATTR_DEVICE,
    UGW_ATTR_SSID,
    UGW_ATTR_VNI,
    UGW_ATTR_QOS,
    UGW_ATTR_FRAG,
    UGW_ATTR_AMSDU_AGG,
    UGW_ATTR_AMSDU_SPP,
    UGW_ATTR_TIMEOUT,
    UGW_ATTR_NAS,
    UGW_ATTR_ND,
    UGW_ATTR_MULTICAST,
    UGW_ATTR_BROADCAST,
    UGW_ATTR_ISOLATION,
    UGW_ATTR_WPA_AUTH,
    UGW_ATTR_RSN_AUTH,
    UGW_ATTR_FT_AUTH,
    UGW_ATTR_WPA_CIPHER,
    UGW_ATTR_RSN_CIPHER,
    UGW_ATTR_FT_CIPHER,
    UGW_ATTR_RSN_PREAUTH,
    UGW_ATTR_FT_MOBILITY_DOMAIN,
    UGW_ATTR_FT_OVER_DS,
    UGW_ATTR_FT_TIMEOUT,
    UGW_ATTR_GROUP_CIPHER,
    UGW_ATTR_GROUP_REKEY_TIME,
    UGW_ATTR_GROUP_REKEY_PACKETS,
    UGW_ATTR_GROUP_REKEY_STRICT,
    UGW_ATTR_PMKSA_CACHE,
    UGW_ATTR_PSK_PASSPHRASE,
    UGW_ATTR_PSK_KEY,
};

// Enumeration values the settings store in u.value.
enum : uint32_t {
    UGW_SPP_NONE = 0,
    UGW_SPP_AUTO = 2,
    UGW_SPP_REQUIRED = 3,
    UGW_FWD_PASS = 0,
    UGW_FWD_LOCAL = 1,
    UGW_FWD_DIRECTED = 2,
    UGW_ND_PROXY = 3,
    UGW_MULTICAST_CONTROL = 3,
    UGW_BROADCAST_GLOBAL = 0,
    UGW_BROADCAST_DIRECTED = 1,
    UGW_BROADCAST_CONTROL = 2,
    UGW_ISOLATION_DEVICE = 0,
    UGW_ISOLATION_SERVICE = 1,
    UGW_ISOLATION_FLOW = 2,
    // AKM suite types (ft auth stores the FT ones) and cipher suite types
    UGW_AKM_EAP = 1,
    UGW_AKM_PSK = 2,
    UGW_AKM_FT_EAP = 3,
    UGW_AKM_FT_PSK = 4,
    UGW_AKM_EAP256 = 5,
    UGW_AKM_PSK256 = 6,
    UGW_CIPHER_TKIP = 2,
    UGW_CIPHER_CCMP = 4,
};

// Log option bits, as the log settings record holds them.
enum : uint32_t {
    UGW_LOG_PID = 1,
    UGW_LOG_DATE = 2,
    UGW_LOG_TIME = 4,
    UGW_LOG_FILE = 8,
    UGW_LOG_LINE = 16,
    UGW_LOG_KEYS = 32,
};

// Listen subscriptions.
enum : uint32_t {
    UGW_LISTEN_CONTROLS = 1,
    UGW_LISTEN_SERVICES = 2,
    UGW_LISTEN_VAPS = 4,
    UGW_LISTEN_TUNNELS = 8,
    UGW_LISTEN_FLOWS = 16,
};

// Port protocols, as the socket key carries them.
enum : uint32_t {
    UGW_PROTO_NATIVE = 1,
    UGW_PROTO_VXLAN = 2,
    UGW_PROTO_GENEVE = 3,
    UGW_PROTO_GRE = 4,
};

// Rule positions: first, last, or the number given.
constexpr uint32_t UGW_RULE_FIRST = 0;
constexpr uint32_t UGW_RULE_LAST = UINT32_MAX;

struct ugw_addr {
    int family; // 0 none, AF_INET, AF_INET6
    uint8_t bytes[16];
};

struct ugw_conf {
    uint32_t attr;
    struct {
        uint32_t value;
        char text[UGW_TEXT_MAX + 1];
        struct {
            uint8_t bytes[UGW_HEX_MAX];
            int bits;
        } hex;
        ugw_addr addr;
        uint8_t mac[6];
    } u;
};

struct ugw_command {
    uint32_t kind;
    char host[UGW_TEXT_MAX + 1];   // control
    char ifname[UGW_TEXT_MAX + 1]; // port
    char nas[UGW_TEXT_MAX + 1];
    char filter[UGW_TEXT_MAX + 1];
    uint32_t hostset;
    bool hostset_given;
    uint8_t uuid[16];
    uint8_t uuid2[16]; // rename's new UUID
    uint8_t bssid[6];
    uint8_t client[6];
    bool bssid_given;
    bool client_given;
    ugw_addr addr;       // tunnel or server
    uint32_t addr_port;  // port after ':' (0: none)
    uint32_t addr_proto; // protocol after ':' (0: none)
    uint32_t proto;      // port protocol
    uint32_t udp_port;
    char pool[UGW_TEXT_MAX + 1];
    uint32_t fabric_port;
    char iface[UGW_TEXT_MAX + 1]; // socket, fdb, mdb
    uint8_t group[6];
    uint8_t pmkid[16];
    uint32_t flags;    // listen subscriptions
    uint32_t position; // rule position
    filter_rule rule;
    ugw_conf conf;
};

// 0 when the sentence was accepted; -1 otherwise, errno EINVAL when a value
// failed its check and 0 for any other syntax error.
int ugw_parse(ugw_words *w, ugw_command *cmd);
int ugw_parse_args(int count, char *const *words, ugw_command *cmd);
