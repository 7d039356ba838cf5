// Socket steps of the engine that its handshake machine calls: creating,
// finding, connecting and tearing down sockets, and the record sides in use.
// Internal to the engine; hosts include dtls.h only.
#pragma once

#include <cstdint>
#include <sys/socket.h>

#include "common/hashtable.h"
#include "controller/dtls/dtls.h"

dtls_sock *dtls_sock_create(dtls_ctx *ctx, const sockaddr *peer, uint8_t entity,
                            const dtls_rsa_pin *rsa, const dtls_psk *psk);
void dtls_sock_teardown(dtls_sock *sock);
dtls_sock *dtls_sock_lookup(hashtable *table, const sockaddr *peer);
void dtls_sock_connected(dtls_sock *sock);
// The write and read sides in use.
dtls_security_context *dtls_sock_write_side(dtls_sock *sock);
dtls_security_context *dtls_sock_read_side(dtls_sock *sock);
uint16_t dtls_sock_mtu(const dtls_sock *sock);
