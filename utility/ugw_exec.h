// The executor: one parsed command against one daemon. It sends the requests
// the kind needs, changes configuration by read-act-send, and hands replies
// to the renderer of the chosen form and slot.
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>

#include "utility/ugw_parse.h"
#include "utility/ugw_slots.h"

struct gwc_connection;

// Opens a connection on path, runs the command, closes. 0, or -1 with errno.
int ugw_execute(const char *path, const ugw_command *cmd, int form, uint32_t force);
// The same on an open connection, with the tables to use: a batch runs all
// its commands on one connection.
int ugw_execute_on(gwc_connection *c, const ugw_command *cmd, int form,
                   const ugw_renderer_table *renderers, const ugw_action_table *actions);

// The source address the kernel would use toward peer. 0, or -1 after
// printing the failed step.
int ugw_local_address4(const in_addr *peer, in_addr *local);
int ugw_local_address6(const in6_addr *peer, in6_addr *local);

// Which server row of a NAS record (configuration, then the authentication
// and accounting rows) has the address: 0 or 1, or -1 with ENOENT.
int nas_auth_server_index(const void *nas, const sockaddr *sa);
int nas_acct_server_index(const void *nas, const sockaddr *sa);
