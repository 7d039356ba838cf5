// The gateway object: the daemon's one context. It owns the scheduler, the
// packet and object pools, the management server, the watchdog, the DTLS
// context and the controller-protocol client with its link, the data-plane
// processes and the event subscriber lists, and runs the main loop one step
// at a time.
//
// "ctl" and "control" name three different things in the daemon:
//  - the gateway object: `ugwd_ctl`, the functions that take it first
//    (`ugwd_ctl_*`), and this module, ugwd_control (the control plane);
//  - the management protocol on the local socket that `ugw` talks to:
//    `ctl_msg`, the CTL_* message types, the dispatcher and its handlers
//    (gateway/ugwd_ctl_msg.h, `ugwd_ctl_cmd_*`);
//  - the remote controller and the link to it: the controller entries
//    (`controls`, `ulmexControl` records, the *-Control management commands)
//    and the controller protocol under them (`ulmex_*`, over DTLS).
#pragma once

#include <cstdint>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/types.h>

#include "common/array.h"
#include "common/ctl_msg.h"
#include "common/list.h"
#include "common/system.h"
#include "common/timer.h"
#include "controller/ulmex.h"

struct dtls_ctx;
struct dtls_sock;
struct filter_rule;
struct mempool;
struct ugwd_nas_table;
struct ugwd_stash;
struct ugwd_table;
struct packet;
struct schedule;
struct userver;
struct watchdog;

// The object pools, one per record kind.
enum ugwd_ctl_pool : unsigned {
    UGWD_POOL_SERVICE,
    UGWD_POOL_VAP,
    UGWD_POOL_TUNNEL,
    UGWD_POOL_FLOW,
    UGWD_POOL_PREFIX,
    UGWD_POOL_LEASE,
    UGWD_POOL_LEASE6,
    UGWD_POOL_GROUP,
    UGWD_POOL_GROUP6,
    UGWD_POOLS,
};

enum : uint32_t {
    UGWD_CTL_CPU_LOAD_MS = 10000,
    UGWD_CTL_IDLE_STEP_MS = 1000, // a step's run while no controller is usable
    UGWD_CTL_NETIF_GROUPS = 0x111,
    // Packets carry DTLS records: head room for the record header, tail room for the tag.
    UGWD_CTL_PACKET_SIZE = 4192,
    UGWD_CTL_PACKET_HEADROOM = 80,
    UGWD_CTL_PACKET_TAILROOM = 16,
    UGWD_CTL_PACKETS = 256,
    // Unknown tunnel traffic may hold at most a quarter of the packets.
    UGWD_CTL_STASH_PACKETS = UGWD_CTL_PACKETS / 4,
};

// The built-in snoop rule sets, in the order a diverted frame tries them.
enum ugwd_rule_set_id : unsigned {
    UGWD_RULES_DHCP,
    UGWD_RULES_IGMP,
    UGWD_RULES_DHCPV6,
    UGWD_RULES_ICMPV6,
    UGWD_RULE_SETS,
};

struct ugwd_rule_set {
    filter_rule *rules; // writable, filled by ugwd_ctl_init
    unsigned count;
};

extern const ugwd_rule_set ugwd_rule_sets[UGWD_RULE_SETS];

enum : uint32_t {
    UGWD_CTL_DTLS_MTU = 1500,
    UGWD_HOSTSET_MAX = 65535, // the bit array stays within 8 KiB
};

// A data-plane port: a network interface on which tunnels arrive.
struct ugwd_port_mib {
    uint32_t ulmexPortIfIndex;
    uint8_t ulmexPortConfig[4];
    uint8_t ulmexPortInet[4];
    uint8_t ulmexPortConfig6[16];
    uint8_t ulmexPortInet6[16];
    uint32_t reserved;
};
static_assert(sizeof(ugwd_port_mib) == 48);

struct ugwd_port {
    ugwd_port_mib mib;
    uint8_t inet4[4]; // the interface's, as last read
    uint8_t inet6[16];
    char name[16];
    uint32_t seq;
    float load;     // the gateway's total CPU load, 1.0 = one processor
    list_link link; // in the gateway's port list, in the order added
};

// A tunnel socket on a port: (port, transport, configured UDP port) is its key.
struct ugwd_socket_mib {
    uint32_t ulmexPortIfIndex;
    uint32_t ulmexSockProto;
    uint16_t ulmexSockConfig;
    uint16_t reserved;
    sockaddr_in ulmexSockInet;
    sockaddr_in6 ulmexSockInet6;
};
static_assert(sizeof(ugwd_socket_mib) == 56);
static_assert(offsetof(ugwd_socket_mib, ulmexSockInet) == 12);
static_assert(offsetof(ugwd_socket_mib, ulmexSockInet6) == 28);

struct ugwd_socket {
    ugwd_socket_mib mib;
    ugwd_port *port;
    uint32_t id; // its place in the socket list, renumbered on deletion
    list_link link;
};

// How many services use a data-plane port id: the port exists in the data
// planes while the count is above 0.
struct ugwd_port_ref {
    uint32_t id;
    uint32_t count;
};

// A controller entry: its record, which the Control management messages
// carry, and its place in the gateway's list (the head is the one in use).
struct ugwd_control_entry {
    ulmexControl record;
    list_link link;
};

struct ugwd_ctl {
    schedule *sched;
    mempool *packet_pool;
    mempool *pools[UGWD_POOLS];
    unsigned nprocs;
    ulmex_ops client;  // the controller-protocol client with its arenas
    ulmex_link link;   // towards the controller entry in use
    dtls_ctx *dtls;
    struct dtls_sock *dtls_sock; // the current session to the controller, or null
    userver *server;
    watchdog *wd;
    ugwd_table *table;
    ugwd_nas_table *nas;
    ugwd_stash *stash;
    Ary words;        // 4-byte elements, only created and freed
    Ary netif_events; // netlink_event records read from the event socket
    worker resolver;
    list_link controls; // controller entries; the head is the one in use
    unsigned ncontrols;
    list_link ports;
    list_link sockets;
    list_link procs;
    list_link subscribers[CTL_EVENT_GROUPS]; // userver_member::link, in join order
    list_link register_queue;
    list_link services_registered;
    list_link services_enabled;
    list_link leases;
    list_link leases6;
    list_link vaps;
    list_link tunnels;
    list_link flows;
    Ary port_refs; // ugwd_port_ref, by id
    Ary hostsets;  // u32 words; bit (id - 1) is set while host set id exists
    uint32_t port_seq;
    uint32_t nsockets;
    timer cpu_load_timer;
    timer register_timer;
    uint64_t cpu_time;         // microseconds, the daemon's own at the last sample
    uint16_t cpu_load;         // control plane, binary fraction
    uint16_t total_load;       // binary fraction
    uint32_t cpu_sample_time;  // microseconds, low 32 bits
    Ary resolved;              // ulmex_inet_addr: the last controller-name lookup
    int resolve_error;         // its outcome, written by the worker before it signals
    char resolve_name[256];
    uint32_t register_seq;     // the last session id given to a ServiceRegister
    unsigned scope_id;         // IPv6 scope of the controller, 0 = none
    int udp_fd;                // controller socket
    int netif_fd;              // network events
    char *lease_path;          // null: no lease files
    char *lease6_path;
    Ary flow_rules;                 // filter_rule: an authorization's IP rules, reused
    struct ugwd_redirect *redirect; // redirect hosts of authorizations, or null
};

// Once per process, before the options are read.
int ugwd_ctl_init();
ugwd_ctl *ugwd_ctl_create(const char *ctl_path, const char *lease_path, unsigned ifindex,
                          bool configure);
void ugwd_ctl_destroy(ugwd_ctl *ctl);
void ugwd_ctl_free(ugwd_ctl *ctl);
int ugwd_ctl_add_proc(ugwd_ctl *ctl, pid_t pid, const char *path);
// One turn of the main loop; the scheduler run's result.
int ugwd_ctl_step(ugwd_ctl *ctl, unsigned port);
// From the signal handler: lets go of configuration locks and ends the current run.
void ugwd_ctl_wakeup(ugwd_ctl *ctl);

// Host callbacks: timers on the gateway's scheduler, and its health.
void ugwd_ctl_timer_schedule(void *ctl, timer *t, uint32_t ms, timer_fn callback);
void ugwd_ctl_timer_cancel(void *ctl, timer *t);
// Healthy always; a running controller link gets a Status echo request.
int ugwd_ctl_keepalive(void *ctl);
// The message at debug level 4, before it goes out.
void ugwd_ctl_print_message(ugwd_ctl *ctl, const ulmex_message &msg);

// The controller-protocol client's host side.
void ugwd_ctl_client_timer_schedule(ulmex_ops *ops, timer *t, uint32_t ms, timer_fn callback);
void ugwd_ctl_client_timer_cancel(ulmex_ops *ops, timer *t);
// Hands an encoded message to the current DTLS session; without one it is dropped.
void ugwd_ctl_client_send(ulmex_link *link, packet *p);
// A request failed: the running step returns so that the link is looked at again.
void ugwd_ctl_client_wakeup(ulmex_link *link, uint8_t request_type, void *user);
void ugwd_ctl_client_request_cb(ulmex_link *link, const ulmex_pdu *pdu, uint32_t identity);
// The controller's requests (gateway/ugwd_ctl_request.cpp): the status each answer carries.
struct ugwd_flow;
ulmex_status_code ugwd_ctl_install_80211_flow(ugwd_ctl *ctl, const ulmex_flow_install &req);
// Binds the flow where its stashed packets came from and hands them back.
ulmex_status_code ugwd_ctl_connect_flow(ugwd_flow *f);
struct ugwd_socket *ugwd_ctl_find_socket_by_id(ugwd_ctl *ctl, uint32_t id);
void ugwd_ctl_client_response_cb(ulmex_link *link, const ulmex_pdu *pdu, uint8_t request_type,
                                 void *user);

// The DTLS engine's host side.
void ugwd_ctl_dtls_connected_cb(void *ctl, dtls_sock *sock);
void ugwd_ctl_dtls_recv_cb(void *ctl, dtls_sock *sock, packet *msg);
int ugwd_ctl_dtls_send_cb(void *ctl, packet *msg, const sockaddr *peer);
void ugwd_ctl_dtls_closed_cb(void *ctl, dtls_sock *sock, int alert);

// The controller entries and the link (gateway/ugwd_ctl_controller.cpp).
ugwd_control_entry *ugwd_ctl_get_connected_control(ugwd_ctl *ctl);
ugwd_control_entry *ugwd_ctl_resolve_control(ugwd_ctl *ctl);
ugwd_control_entry *ugwd_ctl_find_control(ugwd_ctl *ctl, const char *name);
// Opens the UDP socket and the DTLS session to the entry's address, and the
// link for it. 0, or -1 with the entry marked failed.
int ugwd_ctl_connect_control(ugwd_ctl *ctl, ugwd_control_entry *e, unsigned port);
void ugwd_ctl_sync_control(ugwd_ctl *ctl);
void ugwd_ctl_disconnect(ugwd_ctl *ctl);
// Disconnects and frees every entry, and forgets any lookup.
void ugwd_ctl_free_controls(ugwd_ctl *ctl);
void *ugwd_ctl_resolve_worker(void *ctl);
void ugwd_ctl_resolve_done_cb(void *ctl, int fd);
void ugwd_ctl_recv_udp_cb(void *ctl, int fd);
int ugwd_ctl_notify_control(ugwd_ctl *ctl, const ulmexControl *record, uint32_t type);
int ugwd_ctl_cmd_get_control(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_add_control(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_modify_control(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_remove_control(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_dump_controls(ugwd_ctl *ctl, uint8_t *msg, size_t size);

// Registration of services with the controller and their informs.
struct ugwd_service;
void ugwd_ctl_queue_service_register(ugwd_service *s);
int ugwd_ctl_register_service(ugwd_service *s);
int ugwd_ctl_send_service_inform(ugwd_service *s);
void ugwd_ctl_service_inform_timer_cb(timer *t);

// After a configuration command, whatever its outcome: the controller
// registration step runs at once, from the scheduler, so that changes reach
// the controller link.
void ugwd_ctl_config_changed(ugwd_ctl *ctl);
void ugwd_ctl_register_timer_cb(timer *t);
void ugwd_ctl_cpu_load_timer_cb(timer *t);
// A process's CPU time in microseconds: system_proc_cputime.
using ugwd_cputime_fn = int (*)(pid_t pid, uint64_t *usec);
// One CPU-load sample at now (microseconds, low 32 bits): each data plane's
// load and the control plane's, and the total, the larger of the control
// plane's and the data planes' average. Loads are 16-bit binary fractions.
void ugwd_ctl_cpu_load_sample(ugwd_ctl *ctl, uint32_t now, ugwd_cputime_fn cputime);
void ugwd_ctl_netif_event_cb(void *ctl, int fd);

struct ugwd_service;
struct ugwd_vap;
struct ugwd_tunnel;
struct ugwd_flow;
struct ugwd_proc;
struct frl_flow;

// Services (gateway/ugwd_ctl_service.cpp).
// Each listed port id is counted once more; a port enters the data planes on
// its first count. On failure nothing is counted or added.
int ugwd_ctl_add_ports(ugwd_ctl *ctl, const uint32_t *ids, uint32_t count);
// Each listed id is counted once less; a port leaves the data planes on its last.
void ugwd_ctl_remove_ports(ugwd_ctl *ctl, const uint32_t *ids, uint32_t count);
uint32_t ugwd_ctl_port_refs(const ugwd_ctl *ctl, uint32_t id);
void ugwd_ctl_delete_service(ugwd_service *s);
void ugwd_ctl_stop_service(ugwd_service *s);
void ugwd_ctl_service_changed(ugwd_service *s);
int ugwd_ctl_notify_service(ugwd_service *s, uint32_t type);
int ugwd_ctl_notify_vap(ugwd_vap *vap, uint32_t type);
int ugwd_ctl_notify_tunnel(ugwd_tunnel *tn, uint32_t type);
int ugwd_ctl_delete_vap(ugwd_vap *vap);
int ugwd_ctl_delete_tunnel(ugwd_tunnel *tn);
int ugwd_ctl_update_vap(ugwd_vap *vap, const frl_flow *record);
int ugwd_ctl_update_tunnel(ugwd_tunnel *tn, const frl_flow *record);
void ugwd_ctl_clear_resolve(ugwd_ctl *ctl);
// The PMKSAs of the station (mac non-null) or all, of the service of that UUID if any.
void ugwd_ctl_clear_service_pmksas(ugwd_ctl *ctl, const uint8_t *uuid, const uint8_t *mac);

int ugwd_ctl_cmd_get_service(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_get_service_ro(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_add_service(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_remove_service(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_modify_service(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_rename_service(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_dump_services(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_get_vap(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_get_vap_ro(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_dump_vaps(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_get_tunnel(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_dump_tunnels(ugwd_ctl *ctl, uint8_t *msg, size_t size);

// Flows as far as binding needs them (gateway/ugwd_flow.cpp, gateway/ugwd_ctl_flow.cpp).
ugwd_flow *ugwd_ctl_create_flow(ugwd_ctl *ctl, ugwd_vap *vap, ugwd_tunnel *tn,
                                const uint8_t mac[6]);
// Takes the flow out of the data plane, frees it, and deletes its VAP or
// tunnel when that was its last flow.
void ugwd_ctl_unbind_flow(ugwd_flow *f);
// Unbinds every flow the walk yields; they are collected first, since
// unbinding changes the index being walked.
void ugwd_ctl_unbind_flows_by_uuid(ugwd_ctl *ctl, const uint8_t uuid[16]);
void ugwd_ctl_unbind_flows_by_port(ugwd_ctl *ctl, uint32_t port);
// What the flows keep in the gateway object: the rule array and the resolver.
void ugwd_ctl_flow_cleanup(ugwd_ctl *ctl);

// Ports and sockets (gateway/ugwd_ctl_port.cpp).
ugwd_port *ugwd_ctl_find_port(ugwd_ctl *ctl, uint32_t ifindex);
ugwd_socket *ugwd_ctl_find_socket(ugwd_ctl *ctl, uint32_t ifindex, uint32_t proto,
                                  uint16_t udp_port);
// The socket whose IPv4 or IPv6 address in use equals the socket address.
ugwd_socket *ugwd_ctl_find_socket_by_addr(ugwd_ctl *ctl, const sockaddr *sa);
// Re-reads the interface's addresses (a tentative one counts as absent) and
// applies the configured ones given; when anything changed the port's flows
// are unbound, its sockets bound anew and the services announced. Always 0.
int ugwd_ctl_modify_port(ugwd_ctl *ctl, ugwd_port *p, const uint8_t *config4,
                         const uint8_t *config6);
int ugwd_ctl_bind_socket(ugwd_ctl *ctl, const ugwd_port *port, ugwd_socket_mib *rec);
void ugwd_ctl_unbind_socket(ugwd_ctl *ctl, ugwd_socket_mib *rec);
void ugwd_ctl_delete_socket(ugwd_ctl *ctl, ugwd_socket *s);
void ugwd_ctl_delete_port(ugwd_ctl *ctl, ugwd_port *p);
// Services, sockets and ports, all of them, out of the data planes.
void ugwd_ctl_teardown(ugwd_ctl *ctl);

int ugwd_ctl_cmd_get_port(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_add_port(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_modify_port(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_remove_port(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_dump_ports(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_get_socket(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_add_socket(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_remove_socket(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_dump_sockets(ugwd_ctl *ctl, uint8_t *msg, size_t size);

// Binding (gateway/ugwd_ctl_bind.cpp). Binds the flow's VAP or tunnel to the
// process through the socket when not yet bound, then the flow; a flow binds
// only where its VAP or tunnel is bound (EXDEV otherwise).
int ugwd_ctl_bind_tunnel(ugwd_flow *f, ugwd_proc *proc, ugwd_socket *sock);
void ugwd_ctl_init_bcast_flow(const ugwd_service *s, uint32_t node, frl_flow *rec);
// Header and entries of a chain node's list: 9 units with a service node, 6
// without; -1 with ENOSPC when capacity (in units) is short.
int ugwd_ctl_init_chain_mib(const uint32_t *x, const uint32_t *y, uint32_t head, uint32_t bss,
                            uint32_t c, uint32_t d, uint8_t *record, size_t capacity);

// Memory pools, fabric and AF_XDP sockets (gateway/ugwd_ctl_pool.cpp).
int ugwd_ctl_cmd_get_mempool(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_dump_mempools(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_get_fabric(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_get_xsk(ugwd_ctl *ctl, uint8_t *msg, size_t size);

// NAS configurations (gateway/ugwd_ctl_nas.cpp).
int ugwd_ctl_cmd_get_nas(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_get_nas_ro(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_get_nas_rw(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_add_nas(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_remove_nas(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_modify_nas(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_dump_nases(ugwd_ctl *ctl, uint8_t *msg, size_t size);

// Host sets, filters and rules (gateway/ugwd_ctl_hosts.cpp).
// The hosts of a set, summed over the processes into out (n 260-byte
// records, sorted by name; every process must hold n); without out the
// first process's count. -1 with errno.
int ugwd_ctl_get_hosts(ugwd_ctl *ctl, uint32_t id, uint8_t *out, uint32_t n);
int ugwd_ctl_cmd_get_hostset(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_add_hostset(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_remove_hostset(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_add_host(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_remove_host(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_dump_hostsets(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_get_filter(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_add_filter(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_remove_filter(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_add_rule(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_remove_rule(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_dump_filters(ugwd_ctl *ctl, uint8_t *msg, size_t size);
