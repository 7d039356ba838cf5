// Management commands for NAS configurations. Every NAS reply is the whole
// record: configuration, two authentication rows, two accounting rows and
// two dynamic-authorization rows; a client without privilege gets it with
// the six shared secrets zeroed.
#include <cerrno>
#include <cstring>

#include "gateway/ugwd_control.h"
#include "gateway/ugwd_ctl_msg.h"
#include "gateway/ugwd_nas.h"
#include "radius/radius_mib.h"

namespace
{

enum : size_t {
    NAS_NAME = 8,
    NAS_RECORD = 8,
    NAS_REPLY = NAS_RECORD + sizeof(radius_nas_record),
    LIST_ROWS = sizeof(ctl_list),
};
static_assert(NAS_REPLY == 1312);
static_assert(NAS_RECORD + RADIUS_NAS_RECORD_CONFIG_SIZE == 896);

int fail(int err)
{
    errno = err;
    return -1;
}

bool forced(const uint8_t *msg)
{
    return ctl_get32(msg, offsetof(ctl_msg, status)) & CTL_F_FORCE;
}

ugwd_nas *nas_of(ugwd_ctl *ctl, const uint8_t *msg)
{
    char name[CTL_KEY_NAS_NAME];
    memcpy(name, msg + NAS_NAME, sizeof(name));
    return ugwd_nas_lookup(ctl->nas, name);
}

int nas_reply(const ugwd_nas *nas, uint8_t *msg, uint32_t type, bool secrets)
{
    radius_nas_record rec;
    memcpy(&rec, nas->record, sizeof(rec));
    if (!secrets) radius_nas_record_clear_secrets(&rec);
    ugwd_ctl_msg_init(msg, type);
    memcpy(msg + NAS_RECORD, &rec, sizeof(rec));
    return NAS_REPLY;
}

// The configuration and the four server rows of Add- and Modify-NAS.
struct nas_request {
    radius_nas_config config;
    radiusAuthClientServerExtTable auth[2];
    radiusAccClientServerExtTable acct[2];
};
static_assert(sizeof(nas_request) == RADIUS_NAS_RECORD_CONFIG_SIZE);

int get_nas(ugwd_ctl *ctl, uint8_t *msg, size_t size, bool secrets)
{
    if (size < NAS_REPLY) return NAS_REPLY;
    ugwd_nas *nas = nas_of(ctl, msg);
    return nas ? nas_reply(nas, msg, CTL_NEW_NAS, secrets) : fail(ENOENT);
}

} // namespace

int ugwd_ctl_cmd_get_nas(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    return get_nas(ctl, msg, size, true);
}

int ugwd_ctl_cmd_get_nas_rw(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    return get_nas(ctl, msg, size, true);
}

int ugwd_ctl_cmd_get_nas_ro(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    return get_nas(ctl, msg, size, false);
}

int ugwd_ctl_cmd_add_nas(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    if (size < NAS_REPLY) return NAS_REPLY;
    nas_request req;
    memcpy(&req, msg + NAS_RECORD, sizeof(req));
    if (!req.config.radiusAuthClientIdentifier[0]) return fail(EINVAL);
    ugwd_nas *nas = ugwd_nas_lookup(ctl->nas, req.config.radiusAuthClientIdentifier);
    bool created = false;
    if (nas && !forced(msg)) return fail(EEXIST);
    if (!nas) {
        nas = ugwd_nas_create(ctl->nas, &req.config);
        if (!nas) return -1;
        created = true;
    }
    if (ugwd_nas_modify(nas, &req.config, req.auth, req.acct) < 0) {
        int err = errno;
        if (created) ugwd_nas_destroy(nas);
        return fail(err);
    }
    return nas_reply(nas, msg, CTL_NEW_NAS, true);
}

int ugwd_ctl_cmd_modify_nas(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    if (size < NAS_REPLY) return NAS_REPLY;
    nas_request req;
    memcpy(&req, msg + NAS_RECORD, sizeof(req));
    ugwd_nas *nas = ugwd_nas_lookup(ctl->nas, req.config.radiusAuthClientIdentifier);
    if (!nas) return fail(ENOENT);
    if (ugwd_nas_modify(nas, &req.config, req.auth, req.acct) < 0) return -1;
    return nas_reply(nas, msg, CTL_NEW_NAS, true);
}

int ugwd_ctl_cmd_remove_nas(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    if (size < NAS_REPLY) return NAS_REPLY;
    ugwd_nas *nas = nas_of(ctl, msg);
    if (!nas) return forced(msg) ? 0 : fail(ENOENT);
    int r = nas_reply(nas, msg, CTL_DELETE_NAS, true);
    ugwd_nas_destroy(nas);
    return r;
}

int ugwd_ctl_cmd_dump_nases(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    uint32_t n = ugwd_nas_count(ctl->nas);
    size_t need = LIST_ROWS + static_cast<size_t>(n) * sizeof(radius_nas_config);
    if (need > size) return static_cast<int>(need);
    ugwd_ctl_msg_init(msg, CTL_NASES);
    ctl_put32(msg, offsetof(ctl_list, num_mibs), n);
    size_t at = LIST_ROWS;
    for (ugwd_nas *nas = ugwd_nas_first(ctl->nas); nas; nas = ugwd_nas_next(ctl->nas, nas)) {
        memcpy(msg + at, nas->mib, sizeof(radius_nas_config));
        at += sizeof(radius_nas_config);
    }
    return static_cast<int>(need);
}
