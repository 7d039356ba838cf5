// The daemon's side of the management protocol: message names, the
// dispatcher with its privilege rule, event subscriptions and publication.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/ctl_msg.h"
#include "common/list.h"

struct ugwd_ctl;

// A handler leaves its reply in the buffer and returns its length; when the
// reply would not fit size bytes it returns the size it needs and leaves the
// buffer alone. 0 asks for a Status 0 reply, -1 with errno for a failure Status.
using ugwd_ctl_handler = int (*)(ugwd_ctl *ctl, uint8_t *msg, size_t size);

// Handlers of one type: read serves any client; priv, when present, serves
// privileged clients in its place. A type without read is privileged only.
struct ugwd_ctl_cmd {
    ugwd_ctl_handler read;
    ugwd_ctl_handler priv;
};

// "Unknown" beyond the catalogue.
const char *ugwd_ctl_msg_name(uint32_t type);
// Zeroes the header and the fixed payload of the type (8 bytes beyond the
// catalogue) and sets the type.
void ugwd_ctl_msg_init(void *msg, uint32_t type);

// The management server's request operation: answers the request in place.
// Returns the reply length, or the buffer size the reply needs when that is
// more than size.
int ugwd_ctl_dispatch(void *ctl, uint8_t *msg, size_t len, size_t size, int privileged);

// Runs one handler on a well-framed request and turns its result into the
// reply: a Status for 0 and -1, and never more than ctl_msg_size of the reply.
int ugwd_ctl_run(ugwd_ctl *ctl, ugwd_ctl_handler handler, uint8_t *msg, size_t size);

// The management server's join operation; the key is the event type.
int ugwd_ctl_subscribe(void *ctl, list_link *member, const uint8_t *key, size_t len);

// Sends a built event to every member of its group, head to tail. Returns how
// many members it reached; -1 with EINVAL for an event that is not one.
int ugwd_ctl_publish(ugwd_ctl *ctl, const void *event, size_t len);

// Answers a type whose command is not available in this build.
int ugwd_ctl_cmd_unsupported(ugwd_ctl *ctl, uint8_t *msg, size_t size);

// Flows, accesses, keys and FT authentications (gateway/ugwd_ctl_query.cpp).
int ugwd_ctl_cmd_get_flow(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_dump_flows(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_get_access(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_dump_accesses(ugwd_ctl *ctl, uint8_t *msg, size_t size);
// The entry answers with the size a New-Key needs before anything is looked up.
int ugwd_ctl_cmd_get_key_entry(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_get_key(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_dump_keys(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_clear_cache(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_get_ftauth(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_dump_ftauths(ugwd_ctl *ctl, uint8_t *msg, size_t size);

// Leases and memberships (gateway/ugwd_ctl_leases.cpp).
int ugwd_ctl_cmd_dump_leases(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_dump_leases6(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_write_leases(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_write_leases6(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_dump_groups(ugwd_ctl *ctl, uint8_t *msg, size_t size);
int ugwd_ctl_cmd_dump_groups6(ugwd_ctl *ctl, uint8_t *msg, size_t size);
