// The gateway tables: the daemon's one in-memory database. It owns no record;
// it indexes the services, VAPs, tunnels, flows, leases and memberships that
// the service module creates, in 42 hash tables and counted multitables, so
// that every module finds a record by the key that arrives on the wire. It also
// keeps the state of the two lease files (ugwd_lease.cpp).
//
// Inserts are refused (-1) when a unique key is already held or an index is
// locked for a walk; the caller then undoes. Removal tests the record's links,
// so removing a record that is on no index is harmless.
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include "common/hashtable.h"
#include "common/list.h"
#include "common/multitable.h"
#include "common/timer.h"
#include "dot11/dot11_auth.h"
#include "gateway/fernrelayd_msg.h"

struct mempool;
struct dot11_cache;
struct ugwd_ctl;
struct ugwd_nas;
struct radius_entry;
struct ugwd_port;
struct ugwd_proc;

// A tunnel peer's address: IPv4 or IPv6, as the socket calls take it.
union ugwd_sockaddr {
    sockaddr sa;
    sockaddr_in sin;
    sockaddr_in6 sin6;
};
static_assert(sizeof(ugwd_sockaddr) == 28);

// Composed keys.
enum : size_t {
    UGWD_ADDR_KEY_LEN = 19,      // address 16, family 1, port 2 (big-endian)
    UGWD_UUID_MAC_KEY_LEN = 22,  // UUID 16, MAC or BSSID 6
    UGWD_ADDR_MAC_KEY_LEN = 25,  // address key 19, MAC 6
    UGWD_ADDR_UUID_KEY_LEN = 35, // address key 19, UUID 16
};

void ugwd_addr_key(uint8_t key[UGWD_ADDR_KEY_LEN], const sockaddr *sa);

struct ugwd_service;

// One bound interface of a service; its index lives in the service's array.
// The management blocks at the start of each object, copied as stored into
// the replies and events; integers in host order, addresses in network order.
enum : uint32_t {
    UGWD_SERVICE_IFS = 64,
    UGWD_ESS_TEMPLATE = 128,
    UGWD_VAP_PARAMS = 128,
};

struct ugwd_ssid_mib {
    uint8_t ulmexSSIDValue[32];
    uint8_t length;
    uint8_t reserved[3];
};
static_assert(sizeof(ugwd_ssid_mib) == 36);

struct ugwd_service_mib {
    uint8_t ulmexServiceId[16];
    ugwd_ssid_mib ulmexServiceSSID;
    uint32_t ulmexServiceStatus;
    uint32_t ulmexServiceVNI;
    uint8_t ulmexESSTemplate[UGWD_ESS_TEMPLATE];
    uint32_t ulmexESSTemplateLength;
    uint32_t ulmexRadioBSSIfIndex;
    uint32_t ulmexServiceIfIndices[UGWD_SERVICE_IFS];
    uint8_t ulmexServiceIfCount;
    uint8_t ulmexServiceProcessCount;
    uint8_t mode; // broadcast 7-6, multicast 5-4, isolation 3-2, neighbour discovery 1-0
    char ulmexRadiusNASIdentifier[254];
    uint8_t reserved709;
    uint16_t query_interval;     // s
    uint16_t membership_timeout; // s
    uint16_t reserved714;
    uint32_t ulmexInformInterval;
    uint32_t ulmexStartTime;
    uint32_t ulmexServiceActiveBSSIDs;
    uint32_t ulmexServiceActiveFlows;
    uint32_t ulmexDownloadPackets;
    uint32_t ulmexUploadPackets;
    uint32_t ulmexDownloadDiscards;
    uint32_t ulmexUploadDiscards;
    uint32_t ulmexUploadDrops;
    uint64_t ulmexDownloadBytes;
    uint64_t ulmexUploadBytes;
};
static_assert(sizeof(ugwd_service_mib) == 768);
static_assert(offsetof(ugwd_service_mib, ulmexServiceStatus) == 52);
static_assert(offsetof(ugwd_service_mib, ulmexServiceVNI) == 56);
static_assert(offsetof(ugwd_service_mib, ulmexESSTemplate) == 60);
static_assert(offsetof(ugwd_service_mib, ulmexESSTemplateLength) == 188);
static_assert(offsetof(ugwd_service_mib, ulmexServiceIfIndices) == 196);
static_assert(offsetof(ugwd_service_mib, ulmexServiceIfCount) == 452);
static_assert(offsetof(ugwd_service_mib, mode) == 454);
static_assert(offsetof(ugwd_service_mib, ulmexRadiusNASIdentifier) == 455);
static_assert(offsetof(ugwd_service_mib, query_interval) == 710);
static_assert(offsetof(ugwd_service_mib, ulmexInformInterval) == 716);
static_assert(offsetof(ugwd_service_mib, ulmexServiceActiveBSSIDs) == 724);
static_assert(offsetof(ugwd_service_mib, ulmexDownloadPackets) == 732);
static_assert(offsetof(ugwd_service_mib, ulmexDownloadBytes) == 752);

// The five packet counters and two octet counts of VAPs and tunnels.
struct ugwd_traffic_mib {
    uint32_t ulmexDownloadPackets;
    uint32_t ulmexUploadPackets;
    uint32_t ulmexDownloadDiscards;
    uint32_t ulmexUploadDiscards;
    uint32_t ulmexUploadDrops;
    uint32_t reserved;
    uint64_t ulmexDownloadBytes;
    uint64_t ulmexUploadBytes;
};
static_assert(sizeof(ugwd_traffic_mib) == 40);

struct ugwd_vap_mib {
    uint8_t ulmexServiceId[16];
    uint16_t ulmexServiceActiveFlows;
    uint8_t ulmexServiceBSSID[6];
    uint32_t ulmexServiceIfIndex;
    int8_t ulmexFrequencyBand;
    uint8_t reserved29[3];
    uint32_t ulmexFrlNodeId;
    flow_id ulmexFrlBroadcastId;
    ugwd_ssid_mib ulmexServiceSSID;
    uint32_t ulmexStartTime;
    ugwd_traffic_mib traffic;
};
static_assert(sizeof(ugwd_vap_mib) == 128);
static_assert(offsetof(ugwd_vap_mib, ulmexServiceIfIndex) == 24);
static_assert(offsetof(ugwd_vap_mib, ulmexFrlBroadcastId) == 36);
static_assert(offsetof(ugwd_vap_mib, ulmexServiceSSID) == 48);
static_assert(offsetof(ugwd_vap_mib, ulmexStartTime) == 84);
static_assert(offsetof(ugwd_vap_mib, traffic) == 88);

struct ugwd_tunnel_mib {
    uint8_t ulmexServiceId[16];
    uint32_t ulmexTunnelVNI;
    uint32_t ulmexTunnelProto;
    uint16_t ulmexServiceActiveFlows;
    uint16_t reserved26;
    uint32_t ulmexServiceIfIndex;
    uint32_t ulmexFrlNodeId;
    flow_id ulmexFrlBroadcastId;
    uint8_t ulmexRemotePort[28];
    uint32_t ulmexStartTime;
    ugwd_traffic_mib traffic;
};
static_assert(sizeof(ugwd_tunnel_mib) == 120);
static_assert(offsetof(ugwd_tunnel_mib, ulmexRemotePort) == 48);
static_assert(offsetof(ugwd_tunnel_mib, ulmexStartTime) == 76);
static_assert(offsetof(ugwd_tunnel_mib, traffic) == 80);

// The last data-plane port statistics an object was credited with.
struct ugwd_port_stats {
    uint64_t mtu; // u16 on the wire; wide so that the record has no padding
    uint64_t out_packets, in_packets, drops, in_octets, out_octets;
};

// What binding to a data-plane process gives a VAP or a tunnel.
struct ugwd_binding {
    ugwd_proc *proc; // null while unbound
    ugwd_port *port;
    uint32_t socket_id;
    uint32_t radio_node;   // kind 6, or the tunnel node (7-9)
    uint32_t addr_node;    // kind 10
    uint32_t vap_node;     // kind 4
    uint32_t service_node; // kind 2; VAPs only
    uint32_t chain_node;   // kind 0
    flow_id bcast;
    int family; // of the socket the objects are reached through
};

struct ugwd_service;

// One bound interface of a service; its index lives in the service's array.
struct ugwd_service_dev {
    ugwd_service *service;
    cmultilink link;
    char name[16];
    uint8_t hwaddr[6];
};

struct ugwd_service {
    uint8_t uuid[16];
    uint32_t vni;
    ugwd_service_dev *dev; // ndev entries, parallel to ifindex
    uint32_t *ifindex;
    uint32_t ndev;
    hashlink by_uuid;
    cmultilink by_vni;

    // The service module's part.
    ugwd_ctl *ctl;
    ssize_t index; // in the service pool: the data plane's number for it
    ugwd_service_mib mib;
    ugwd_service_dev devs[UGWD_SERVICE_IFS];
    dot11_auth_config config;
    uint8_t vap_params[UGWD_VAP_PARAMS];
    uint8_t flags; // bits 1 and 2 of the configuration's flag byte B
    uint8_t ctl_byte;
    dot11_cache *cache;
    ugwd_nas *nas;
    uint32_t auth_counters[13];
    uint8_t auth_stats[64];
    dot11Counters dot11_counters;
    bool started;
    uint32_t session_id;
    list_link queue; // the gateway's registration queue or started list
    list_link pending;
    ::timer inform_timer;
};

struct ugwd_vap {
    uint8_t uuid[16];
    uint8_t bssid[6];
    flow_id id;
    hashlink by_uuid_bssid;
    hashlink by_id;
    cmultilink by_uuid;
    cmultilink by_bssid;

    ugwd_service *service;
    ssize_t index;
    ugwd_vap_mib mib;
    ugwd_sockaddr radio; // the radio's data port
    ugwd_binding bind;
    ugwd_port_stats udpip, ether;
    dot11Counters counters;
    uint32_t rsna_cm, rsna_4way; // the authenticator's counters last credited
    dot11_auth_ops ops;
    dot11_auth auth;
    bool auth_running;
    list_link link; // the gateway's VAPs, in creation order
    list_link prefixes; // ugwd_prefix::link, at most 8
};

// A SLAAC prefix learnt on a VAP or tunnel (gateway/ugwd_ctl_records.cpp).
struct ugwd_prefix {
    uint8_t uuid[16];
    uint8_t prefix[16];
    uint8_t prefix_len;
    uint8_t kind; // an ugwd_lease6_rec kind: learnt prefixes are SLAAC
    uint32_t valid_lifetime;
    uint32_t last; // s, daemon clock: the last announcement
    list_link link;
};

struct ugwd_tunnel {
    uint8_t uuid[16];
    ugwd_sockaddr peer;
    flow_id id;
    hashlink by_addr_uuid;
    hashlink by_id;
    cmultilink by_uuid;
    cmultilink by_addr;

    ugwd_service *service;
    ssize_t index;
    ugwd_tunnel_mib mib;
    uint32_t transport; // 1 Native, 2 VXLAN, 3 Geneve, 4 GRE
    uint8_t slot;
    ugwd_binding bind;
    ugwd_port_stats udpip;
    list_link link; // the gateway's tunnels, in creation order
    list_link prefixes; // ugwd_prefix::link, at most 8
};

// A flow's traffic, as the flow record and the flow inform count it.
struct ugwd_flow_traffic {
    uint32_t packets_down, packets_up, drops;
    uint64_t octets_down, octets_up;
};

struct ugwd_flow {
    uint8_t bssid[6]; // followed directly by the station MAC: one 12-byte key
    uint8_t mac[6];
    uint8_t uuid[16];
    ugwd_sockaddr peer; // Ethernet flows: the tunnel peer
    flow_id id;
    uint32_t process; // data-plane process number, 0 = none
    uint32_t port;    // data-plane port number, 0 = none
    ugwd_vap *vap;    // null for an Ethernet flow
    hashlink by_id;
    hashlink by_bssid_mac; // 802.11 or Ethernet index, never both
    hashlink by_assoc;
    cmultilink by_bssid;
    cmultilink by_mac;
    cmultilink by_uuid;
    cmultilink by_uuid_bssid;
    cmultilink by_port;
    cmultilink by_process;

    // Binding.
    ugwd_tunnel *tunnel; // null for an 802.11 flow
    ugwd_proc *proc;
    uint32_t chain_node;
    uint32_t limit_node; // the VAP's or tunnel's kind-4 node
    uint32_t rule_node;  // the process's node A
    int family;
    uint8_t addr[16];
    ugwd_ctl *ctl;
    ssize_t index;
    bool bound;
    list_link link; // the gateway's flows

    // Lifecycle (gateway/ugwd_flow.cpp, gateway/ugwd_ctl_flow.cpp).
    uint8_t radio[6];
    uint8_t flags;        // UGWD_FLOW_*
    uint8_t deauth_depth; // deauthorization calls running on this flow
    uint8_t hold_depth;   // disconnections running: a deletion waits for them too
    uint32_t start_time;  // s, daemon clock
    uint32_t last_activity;
    uint32_t assoc_time;   // 0 while not associated
    uint32_t unbind_delay; // s
    uint32_t session_id, link_id;
    ugwd_flow_traffic traffic, informed;
    ugwd_port_stats udpip, ether; // the data-plane counters last credited
    char user_name[254];          // 253 characters and a terminator
    ::timer timer_a;              // flow inform, unbind or liveness
    ::timer timer_b;              // housekeeping
    ::timer timer_c;
    list_link requests; // pending controller requests
    list_link leases;   // ugwd_lease::link
    list_link leases6;  // ugwd_lease6::link
    dot11_rsna rsna;    // 802.11 flows: the station in its VAP's authenticator (auth set)
    uint8_t tunnel_key[16]; // 802.11 flows: from the controller's session key
    list_link groups;   // ugwd_group::link
    list_link groups6;  // ugwd_group6::link
    uint32_t last_query; // s, daemon clock: the housekeeping's last group query
    radius_entry *session; // its RADIUS session, or null
};

enum : uint8_t {
    UGWD_FLOW_CONNECTED = 0x80,
    UGWD_FLOW_AUTHORIZED = 0x01,
    UGWD_FLOW_DELETE = 0x02,    // unbinding asked for inside a deauthorization
    UGWD_FLOW_UNBINDING = 0x04, // being unbound: further requests are the same one
    UGWD_FLOW_DETACHING = 0x08, // its station leaves the authenticator: callbacks do nothing
};

// The lease-file records: the first bytes of a lease object are its record.
// Integers other than addresses are in host order.
struct ugwd_lease_rec {
    uint8_t uuid[16];
    uint8_t mac[6];
    char hostname[64];
    uint8_t flags; // 0x80 broadcast replies, 0x7e prefix length << 1, 0x01 snooping's
    uint8_t reserved;
    uint8_t addr[4];
    uint32_t start; // wall clock in the file, monotonic in memory
    uint32_t lease_time;
    uint32_t max_msg_size;
};
static_assert(sizeof(ugwd_lease_rec) == 104);
static_assert(offsetof(ugwd_lease_rec, flags) == 86);
static_assert(offsetof(ugwd_lease_rec, addr) == 88);
static_assert(offsetof(ugwd_lease_rec, start) == 92);
static_assert(offsetof(ugwd_lease_rec, max_msg_size) == 100);

enum : uint8_t {
    UGWD_LEASE6_LINK_LOCAL = 1,
    UGWD_LEASE6_SLAAC = 2,
    UGWD_LEASE6_DHCPV6 = 3, // the only kind written to the file
};

struct ugwd_lease6_rec {
    uint8_t uuid[16];
    uint8_t mac[6];
    char hostname[64];
    uint8_t kind;
    uint8_t prefix_len;
    uint8_t addr[16];
    uint32_t valid_lifetime;
    uint32_t start;
};
static_assert(sizeof(ugwd_lease6_rec) == 112);
static_assert(offsetof(ugwd_lease6_rec, kind) == 86);
static_assert(offsetof(ugwd_lease6_rec, addr) == 88);
static_assert(offsetof(ugwd_lease6_rec, valid_lifetime) == 104);
static_assert(offsetof(ugwd_lease6_rec, start) == 108);

// The byte that terminates a host name read from a file.
inline constexpr size_t UGWD_LEASE_HOSTNAME_END = 85;

struct ugwd_lease {
    ugwd_lease_rec rec;
    uint64_t written; // fingerprint of the record last written, 0 = none
    uint32_t requested_addr; // of the station's last REQUEST or INFORM, network order
    uint32_t xid;
    uint32_t expiry; // s, daemon clock; for the expiry sort only
    cmultilink by_uuid_mac;
    cmultilink by_uuid;
    cmultilink by_mac;
    list_link link; // the owner's list: unclaimed leases, or a flow's
};

struct ugwd_lease6 {
    ugwd_lease6_rec rec;
    uint64_t written;
    uint32_t iaid;   // DHCPv6: the last one seen from the station
    uint32_t expiry; // s, daemon clock; for the expiry sort only
    hashlink by_ip6;
    cmultilink by_uuid_mac;
    cmultilink by_uuid;
    cmultilink by_mac;
    list_link link;
};

// The first bytes of a membership are its Groups or Groups6 record.
struct ugwd_group {
    uint8_t uuid[16];
    ugwd_sockaddr peer;
    uint8_t group[4]; // followed directly by the member MAC, then the BSSID
    uint8_t mac[6];
    uint8_t bssid[6]; // all zero: a membership of an Ethernet flow
    uint8_t ether[6]; // 01:00:5e and the group's low 23 bits
    uint8_t pad[2];
    uint32_t last_report; // s, daemon clock
    uint32_t timeout;     // s; 0 after a leave
    list_link link;       // the flow's
    hashlink by_ip_mac;
    cmultilink by_ip;
    cmultilink by_uuid_mac;
    cmultilink by_uuid_bssid;
    cmultilink by_uuid;
};

struct ugwd_group6 {
    uint8_t uuid[16];
    ugwd_sockaddr peer;
    uint8_t group[16];
    uint8_t mac[6];
    uint8_t bssid[6];
    uint8_t ether[6]; // 33:33 and the group's last 4 bytes
    uint8_t pad[2];
    uint32_t last_report;
    uint32_t timeout;
    list_link link;
    hashlink by_ip6_mac;
    cmultilink by_ip6;
    cmultilink by_uuid_mac;
    cmultilink by_uuid_bssid;
    cmultilink by_uuid;
};

static_assert(offsetof(ugwd_group, group) == 44 && offsetof(ugwd_group, ether) == 60);
static_assert(offsetof(ugwd_group, last_report) == 68 && offsetof(ugwd_group, timeout) == 72);
static_assert(offsetof(ugwd_group6, group) == 44 && offsetof(ugwd_group6, ether) == 72);
static_assert(offsetof(ugwd_group6, last_report) == 80 && offsetof(ugwd_group6, timeout) == 84);
enum : size_t {
    UGWD_GROUP_RECORD = 76,
    UGWD_GROUP6_RECORD = 88,
};

// Link initialisers: a record starts on no index.
void ugwd_service_links_init(ugwd_service *s);
void ugwd_vap_links_init(ugwd_vap *v);
void ugwd_tunnel_links_init(ugwd_tunnel *t);
void ugwd_flow_links_init(ugwd_flow *f);
void ugwd_lease_links_init(ugwd_lease *l);
void ugwd_lease6_links_init(ugwd_lease6 *l);
void ugwd_group_links_init(ugwd_group *g);
void ugwd_group6_links_init(ugwd_group6 *g);

inline bool cmultilink_used(const cmultilink *l)
{
    return hashlink_used(&l->ml._hlink) || !list_isempty(&l->ml._ring);
}

// The 42 indexes, in the order they are created and held.
struct ugwd_table_indexes {
    hashtable *service_by_uuid;
    multitable *service_by_vni;
    multitable *service_dev;
    hashtable *vap_by_uuid_bssid;
    hashtable *vap_by_id;
    multitable *vap_by_uuid;
    multitable *vap_by_bssid;
    hashtable *tunnel_by_addr_uuid;
    hashtable *tunnel_by_id;
    multitable *tunnel_by_uuid;
    multitable *tunnel_by_addr;
    hashtable *flow_by_id;
    hashtable *flow_by_bssid_mac;
    hashtable *flow_by_addr_mac;
    multitable *flow_by_bssid;
    multitable *flow_by_addr;
    multitable *flow_by_mac;
    multitable *flow_by_uuid;
    multitable *flow_by_uuid_bssid;
    multitable *flow_by_uuid_addr;
    multitable *flow_by_port;
    multitable *flow_by_process;
    hashtable *flow_by_assoc;
    multitable *lease_by_uuid_mac;
    multitable *lease_by_uuid;
    multitable *lease_by_mac;
    hashtable *lease6_by_ip6;
    multitable *lease6_by_uuid_mac;
    multitable *lease6_by_uuid;
    multitable *lease6_by_mac;
    hashtable *group_by_ip_mac;
    multitable *group_by_ip;
    multitable *group_by_uuid_mac;
    multitable *group_by_uuid_bssid;
    multitable *group_by_uuid_addr;
    multitable *group_by_uuid;
    hashtable *group6_by_ip6_mac;
    multitable *group6_by_ip6;
    multitable *group6_by_uuid_mac;
    multitable *group6_by_uuid_bssid;
    multitable *group6_by_uuid_addr;
    multitable *group6_by_uuid;
};
static_assert(sizeof(ugwd_table_indexes) == 42 * sizeof(void *));

// One lease file.
struct ugwd_lease_file {
    char *path; // null: no lease file
    int fd;     // append descriptor, -1 while closed
    uint32_t records; // in the file since its last compaction
};

struct ugwd_table {
    ugwd_table_indexes ix;
    ugwd_lease_file leases;
    ugwd_lease_file leases6;
    uint32_t live6; // DHCPv6 leases of kind 3 on the indexes
};

ugwd_table *ugwd_table_create();
void ugwd_table_destroy(ugwd_table *t);
void ugwd_table_free(ugwd_table *t);
void ugwd_table_close_leases(ugwd_table *t);
void ugwd_table_close_leases6(ugwd_table *t);

// Each 0, or -1 with errno EEXIST (a unique key is held) or EBUSY (an index
// is locked or clearing), with the record on no index.
int ugwd_table_insert_service(ugwd_table *t, ugwd_service *s);
void ugwd_table_remove_service(ugwd_table *t, ugwd_service *s);
int ugwd_table_insert_vap(ugwd_table *t, ugwd_vap *v);
void ugwd_table_remove_vap(ugwd_table *t, ugwd_vap *v);
int ugwd_table_insert_tunnel(ugwd_table *t, ugwd_tunnel *tn);
void ugwd_table_remove_tunnel(ugwd_table *t, ugwd_tunnel *tn);
// The port and process numbers must not change while the flow is indexed.
int ugwd_table_insert_flow(ugwd_table *t, ugwd_flow *f);
void ugwd_table_remove_flow(ugwd_table *t, ugwd_flow *f);
// Makes the flow the associated flow of its MAC; returns the flow it shadows,
// or null (also when this flow is already associated: nothing changes).
ugwd_flow *ugwd_table_insert_flow_assoc(ugwd_table *t, ugwd_flow *f);
void ugwd_table_remove_flow_assoc(ugwd_table *t, ugwd_flow *f);
int ugwd_table_insert_lease(ugwd_table *t, ugwd_lease *l);
void ugwd_table_remove_lease(ugwd_table *t, ugwd_lease *l);
int ugwd_table_insert_lease6(ugwd_table *t, ugwd_lease6 *l);
void ugwd_table_remove_lease6(ugwd_table *t, ugwd_lease6 *l);
int ugwd_table_insert_group(ugwd_table *t, ugwd_group *g);
void ugwd_table_remove_group(ugwd_table *t, ugwd_group *g);
int ugwd_table_insert_group6(ugwd_table *t, ugwd_group6 *g);
void ugwd_table_remove_group6(ugwd_table *t, ugwd_group6 *g);

// Lookups: one probe on a key composed on the stack.
ugwd_service *ugwd_table_get_service(ugwd_table *t, const uint8_t uuid[16]);
ugwd_service *ugwd_table_get_service_by_vni(ugwd_table *t, uint32_t vni);
ugwd_service_dev *ugwd_table_get_service_dev(ugwd_table *t, uint32_t ifindex);
uint32_t ugwd_table_count_services(const ugwd_table *t);

ugwd_vap *ugwd_table_get_vap_by_uuid_bssid(ugwd_table *t, const uint8_t uuid[16], const uint8_t bssid[6]);
ugwd_vap *ugwd_table_get_vap_by_id(ugwd_table *t, const flow_id *id);
ugwd_vap *ugwd_table_first_vap_by_uuid(ugwd_table *t, const uint8_t uuid[16]);
uint32_t ugwd_table_count_vaps(const ugwd_table *t);
uint32_t ugwd_table_count_vaps_by_uuid(ugwd_table *t, const uint8_t uuid[16]);

ugwd_tunnel *ugwd_table_get_tunnel_by_addr(ugwd_table *t, const uint8_t uuid[16], const sockaddr *sa);
ugwd_tunnel *ugwd_table_get_tunnel_by_id(ugwd_table *t, const flow_id *id);
ugwd_tunnel *ugwd_table_first_tunnel_by_uuid(ugwd_table *t, const uint8_t uuid[16]);
uint32_t ugwd_table_count_tunnels(const ugwd_table *t);
uint32_t ugwd_table_count_tunnels_by_uuid(ugwd_table *t, const uint8_t uuid[16]);

ugwd_flow *ugwd_table_get_flow_by_id(ugwd_table *t, const flow_id *id);
ugwd_flow *ugwd_table_get_flow_by_bssid_mac(ugwd_table *t, const uint8_t bssid[6], const uint8_t mac[6]);
ugwd_flow *ugwd_table_get_flow_by_addr_mac(ugwd_table *t, const sockaddr *sa, const uint8_t mac[6]);
ugwd_flow *ugwd_table_first_flow_by_bssid(ugwd_table *t, const uint8_t bssid[6]);
ugwd_flow *ugwd_table_first_flow_by_addr(ugwd_table *t, const sockaddr *sa);
ugwd_flow *ugwd_table_first_flow_by_mac(ugwd_table *t, const uint8_t mac[6]);
ugwd_flow *ugwd_table_first_flow_by_uuid(ugwd_table *t, const uint8_t uuid[16]);
ugwd_flow *ugwd_table_first_flow_by_uuid_bssid(ugwd_table *t, const uint8_t uuid[16], const uint8_t bssid[6]);
ugwd_flow *ugwd_table_first_flow_by_uuid_addr(ugwd_table *t, const uint8_t uuid[16], const sockaddr *sa);
ugwd_flow *ugwd_table_first_flow_by_port(ugwd_table *t, uint32_t port);
ugwd_flow *ugwd_table_get_assoc_flow(ugwd_table *t, const uint8_t mac[6]);
uint32_t ugwd_table_count_flows(const ugwd_table *t);
uint32_t ugwd_table_count_flows_by_bssid(ugwd_table *t, const uint8_t bssid[6]);
uint32_t ugwd_table_count_flows_by_addr(ugwd_table *t, const sockaddr *sa);
uint32_t ugwd_table_count_flows_by_mac(ugwd_table *t, const uint8_t mac[6]);
uint32_t ugwd_table_count_flows_by_uuid(ugwd_table *t, const uint8_t uuid[16]);
uint32_t ugwd_table_count_flows_by_uuid_bssid(ugwd_table *t, const uint8_t uuid[16], const uint8_t bssid[6]);
uint32_t ugwd_table_count_flows_by_uuid_addr(ugwd_table *t, const uint8_t uuid[16], const sockaddr *sa);

ugwd_lease *ugwd_table_get_lease(ugwd_table *t, const uint8_t uuid[16], const uint8_t mac[6]);
ugwd_lease *ugwd_table_first_lease_by_uuid(ugwd_table *t, const uint8_t uuid[16]);
ugwd_lease *ugwd_table_first_lease_by_mac(ugwd_table *t, const uint8_t mac[6]);
uint32_t ugwd_table_count_leases(const ugwd_table *t);
uint32_t ugwd_table_count_leases_by_uuid(ugwd_table *t, const uint8_t uuid[16]);
uint32_t ugwd_table_count_leases_by_mac(ugwd_table *t, const uint8_t mac[6]);

ugwd_lease6 *ugwd_table_get_lease6_by_ip6(ugwd_table *t, const uint8_t addr[16]);
ugwd_lease6 *ugwd_table_get_lease6(ugwd_table *t, const uint8_t uuid[16], const uint8_t mac[6]);
ugwd_lease6 *ugwd_table_first_lease6_by_uuid(ugwd_table *t, const uint8_t uuid[16]);
ugwd_lease6 *ugwd_table_first_lease6_by_mac(ugwd_table *t, const uint8_t mac[6]);
uint32_t ugwd_table_count_leases6(const ugwd_table *t);
uint32_t ugwd_table_count_leases6_by_uuid_mac(ugwd_table *t, const uint8_t uuid[16], const uint8_t mac[6]);
uint32_t ugwd_table_count_leases6_by_uuid(ugwd_table *t, const uint8_t uuid[16]);
uint32_t ugwd_table_count_leases6_by_mac(ugwd_table *t, const uint8_t mac[6]);

ugwd_group *ugwd_table_get_group_by_uuid_mac(ugwd_table *t, const uint8_t uuid[16], const uint8_t mac[6]);
ugwd_group *ugwd_table_get_group_by_uuid_bssid(ugwd_table *t, const uint8_t uuid[16], const uint8_t bssid[6]);
ugwd_group *ugwd_table_get_group_by_uuid_addr(ugwd_table *t, const uint8_t uuid[16], const sockaddr *sa);
ugwd_group *ugwd_table_first_group_by_uuid(ugwd_table *t, const uint8_t uuid[16]);
uint32_t ugwd_table_count_groups(const ugwd_table *t);
uint32_t ugwd_table_count_groups_by_uuid(ugwd_table *t, const uint8_t uuid[16]);

ugwd_group6 *ugwd_table_get_group6_by_uuid_mac(ugwd_table *t, const uint8_t uuid[16], const uint8_t mac[6]);
ugwd_group6 *ugwd_table_get_group6_by_uuid_bssid(ugwd_table *t, const uint8_t uuid[16], const uint8_t bssid[6]);
ugwd_group6 *ugwd_table_get_group6_by_uuid_addr(ugwd_table *t, const uint8_t uuid[16], const sockaddr *sa);
ugwd_group6 *ugwd_table_first_group6_by_uuid(ugwd_table *t, const uint8_t uuid[16]);
uint32_t ugwd_table_count_groups6(const ugwd_table *t);
uint32_t ugwd_table_count_groups6_by_uuid(ugwd_table *t, const uint8_t uuid[16]);

// Lease files (ugwd_lease.cpp). Loading needs an empty flow table.
int ugwd_table_load_leases(ugwd_table *t, const char *path, mempool *pool, list_link *head);
int ugwd_table_load_leases6(ugwd_table *t, const char *path, mempool *pool, list_link *head);
int ugwd_table_dump_leases(ugwd_table *t);
int ugwd_table_dump_leases6(ugwd_table *t);
// Idempotent: a lease already indexed is not indexed again, and a record is
// appended only when it differs from the one last written.
int ugwd_table_store_lease(ugwd_table *t, ugwd_lease *l);
int ugwd_table_drop_lease(ugwd_table *t, ugwd_lease *l);
int ugwd_table_store_lease6(ugwd_table *t, ugwd_lease6 *l);
int ugwd_table_drop_lease6(ugwd_table *t, ugwd_lease6 *l);
int ugwd_table_write_lease(ugwd_table *t, ugwd_lease *l);
int ugwd_table_write_lease6(ugwd_table *t, ugwd_lease6 *l);
