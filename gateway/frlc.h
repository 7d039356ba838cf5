// The client of one data-plane process: synchronous requests over its IPC
// server, one-way frames and packets, and the notifications it pushes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>
#include <sys/types.h>

#include "common/array.h"
#include "gateway/fernrelayd_msg.h"

struct uclient;
struct userver;
struct mempool;
struct packet;

// Notification callbacks, user pointer first. A null slot drops the
// notification and its packet. A callback that keeps the packet takes its own
// reference; records are copies that live for the call.
struct frlc_ops {
    void (*diverted_packet)(void *user, uint32_t device, uint8_t encap, packet *p);                 // 45
    void (*frame)(void *user, uint32_t node, const flow_id *id, uint8_t cls, uint8_t encap, packet *p); // 42
    void (*frame_snoop)(void *user, uint32_t node, const flow_id *id, uint8_t cls, uint8_t encap, packet *p); // 43
    void (*frame_copy)(void *user, uint32_t node, const flow_id *id, uint8_t cls, uint8_t encap, packet *p); // 44
    void (*port_removed)(void *user, const frl_port *port);                                         // 12
    void (*node_removed)(void *user, const frl_node *node);                                         // 27
    void (*flow_removed)(void *user, const frl_flow *flow);                                         // 34
    void (*flow_update)(void *user, const frl_flow *flow);                                          // 32
    void (*port_event)(void *user, uint32_t id);                                                    // 102
    void (*flow_event)(void *user, uint32_t id, const flow_id *fid);                                // 103
    void (*flow_value_event)(void *user, uint32_t id, const flow_id *fid, uint16_t value);          // 104
    void (*mic_failure)(void *user, uint32_t id, const flow_id *fid);                               // 105
    void (*quota_reached)(void *user, uint32_t id, const flow_id *fid);                             // 106
};

struct frlc {
    frlc_ops ops;
    uclient *ipc;
    mempool *pool; // borrowed: packets of frame and packet notifications
    Ary request;   // the request being built, bytes
    // The reply body being read; all zero when none is pending.
    const uint8_t *reply;
    size_t reply_off;
    size_t reply_len;
    void *user;
};

// Operations of frlc_set_group and frlc_set_hostset.
enum : int {
    FRLC_LIST_ADD = 0,
    FRLC_LIST_REMOVE = 1,
    FRLC_LIST_REPLACE = 2,
    FRLC_LIST_CLEAR = 3,
};

// Elements per chunk of a rule list: the most that fit one message.
enum : size_t {
    FRLC_MAC_RULES_PER_MSG = (FRL_MSG_MAX - 28) / FRL_MAC_RULE_SIZE,
    FRLC_IP_RULES_PER_MSG = (FRL_MSG_MAX - 28) / FRL_IP_RULE_SIZE,
};
static_assert(FRLC_MAC_RULES_PER_MSG == 50 && FRLC_IP_RULES_PER_MSG == 7);

frlc *frlc_create(const char *path, const frlc_ops *ops, mempool *pool, void *user);
void frlc_destroy(frlc *client);
void frlc_attach_server(frlc *client, userver *server);
int frlc_fd(const frlc *client);
ssize_t frlc_process(frlc *client);
void frlc_process_cb(void *client, int fd);
int frlc_lock(frlc *client);
int frlc_unlock(frlc *client);

// Request machinery.
int frlc_request_body(frlc *client, const void *bytes, size_t n);
int frlc_response(frlc *client, uint32_t expected);
int frlc_take_reply(frlc *client, void *dest, size_t n);

// One-way output. Header and body go into the packet's head room (a chain is
// gathered); the packet is not consumed and comes back unchanged.
int frlc_output_packet(frlc *client, uint32_t device, uint8_t encap, packet *p);
int frlc_output_frame(frlc *client, uint32_t node, const flow_id *id, uint8_t cls, uint8_t encap,
                      packet *p);
int frlc_output_snooped(frlc *client, uint32_t node, const flow_id *id, uint8_t cls,
                        uint8_t encap, packet *p);

// Notification groups.
int frlc_join_port(frlc *client, uint32_t port);
int frlc_leave_port(frlc *client, uint32_t port);
int frlc_join_node(frlc *client, uint32_t node, uint8_t value);
int frlc_leave_node(frlc *client, uint32_t node, uint8_t value);
int frlc_join_kind4(frlc *client, uint32_t id);
int frlc_leave_kind4(frlc *client, uint32_t id);
int frlc_join_kind6(frlc *client, uint32_t id);
int frlc_leave_kind6(frlc *client, uint32_t id);

// Requests. List functions return the record count and point *out at the
// first record in the receive buffer (valid until the next request or
// notification read); the others return 0. -1 with errno on failure.
ssize_t frlc_get_mempool(frlc *client, const char *name, frl_pool_stats *stats, const uint8_t **entries);
ssize_t frlc_dump_mempools(frlc *client, const uint8_t **records);
ssize_t frlc_get_fabric(frlc *client, const uint8_t **records);
ssize_t frlc_get_xsk(frlc *client, const uint8_t **records);
int frlc_add_port(frlc *client, frl_port *port);
int frlc_remove_port(frlc *client, uint32_t id, frl_port *final);
ssize_t frlc_dump_devices(frlc *client, const uint8_t **records);
int frlc_add_socket(frlc *client, frl_socket *sock);
int frlc_remove_socket(frlc *client, const sockaddr *addr, frl_socket *final);
int frlc_add_node(frlc *client, frl_node *node, const uint8_t *entries, uint32_t count);
int frlc_remove_node(frlc *client, uint32_t id, frl_node *final);
ssize_t frlc_dump_nodes(frlc *client, const uint8_t **records);
int frlc_add_flow(frlc *client, frl_flow *flow);
int frlc_modify_flow(frlc *client, frl_flow *flow);
int frlc_read_flow(frlc *client, const flow_id *id, frl_flow *flow);
int frlc_remove_flow(frlc *client, const flow_id *id, frl_flow *final);
ssize_t frlc_dump_flows(frlc *client, const uint8_t **records);
ssize_t frlc_request_39(frlc *client, const flow_id *id, const uint8_t **entries);
int frlc_set_group(frlc *client, const flow_id *id, const uint8_t *entries, uint32_t count, int op);
int frlc_get_vap_stats(frlc *client, uint32_t id, frl_vap *vap);
int frlc_set_vap(frlc *client, uint32_t id, const frl_vap *vap);
ssize_t frlc_get_hosts(frlc *client, uint32_t node, uint32_t hostset, const uint8_t **records);
int frlc_set_hostset(frlc *client, uint32_t node, uint32_t hostset, const char *text, int op);
int frlc_get_flow_stats(frlc *client, uint32_t id, const flow_id *fid, frl_flow_stats *stats);
int frlc_associate_flow(frlc *client, uint32_t id, const flow_id *fid, const uint8_t assoc[FRL_ASSOC_SIZE]);
int frlc_disassociate_flow(frlc *client, uint32_t id, const flow_id *fid, uint16_t value);
int frlc_install_key(frlc *client, uint32_t id, const flow_id *fid, uint32_t value, uint8_t value8,
                     const uint8_t *key, uint8_t keylen);
int frlc_activate_key(frlc *client, uint32_t id, const flow_id *fid);
int frlc_set_key_state(frlc *client, uint32_t id, const flow_id *fid, uint8_t value);
int frlc_get_tsc(frlc *client, uint32_t id, const flow_id *fid, uint8_t value, uint8_t tsc[FRL_TSC_SIZE]);
int frlc_set_flow_limits(frlc *client, uint32_t node, const flow_id *fid, const uint8_t limits[FRL_LIMITS_SIZE]);
int frlc_set_mac_rules(frlc *client, uint32_t node, const flow_id *fid, const uint8_t *rules, size_t count);
int frlc_set_ip_rules(frlc *client, uint32_t node, const flow_id *fid, const filter_rule *rules, size_t count);
int frlc_set_redirect_url(frlc *client, uint32_t node, const flow_id *fid, const char *url);

// The 24-byte limits record; bursts are the bytes of 250 ms at each rate.
void frlc_limits_init(uint8_t limits[FRL_LIMITS_SIZE], uint32_t up_bw, uint32_t up_volume,
                      uint32_t down_bw, uint32_t down_volume);
