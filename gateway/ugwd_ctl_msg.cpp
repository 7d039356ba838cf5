#include "gateway/ugwd_ctl_msg.h"

#include <array>
#include <cerrno>
#include <cstring>

#include "common/log.h"
#include "common/userver.h"
#include "gateway/ugwd_control.h"

namespace {

constexpr ugwd_ctl_handler U = ugwd_ctl_cmd_unsupported;

// Handlers by request type. Reply and event types have none; neither has 104,
// which only a reply can be.
constexpr std::array<ugwd_ctl_cmd, CTL_MSG_TYPES - 1> make_cmds()
{
    std::array<ugwd_ctl_cmd, CTL_MSG_TYPES - 1> t{};
    auto any = [&t](uint32_t type, ugwd_ctl_handler h) { t[type] = {h, nullptr}; };
    auto priv = [&t](uint32_t type, ugwd_ctl_handler h) { t[type] = {nullptr, h}; };
    // Read-only variant for any client, secrets included for privileged ones.
    auto both = [&t](uint32_t type, ugwd_ctl_handler ro, ugwd_ctl_handler full) { t[type] = {ro, full}; };

    any(CTL_GET_MEMPOOL, ugwd_ctl_cmd_get_mempool);
    any(CTL_DUMP_MEMPOOLS, ugwd_ctl_cmd_dump_mempools);
    any(CTL_GET_FABRIC, ugwd_ctl_cmd_get_fabric);
    any(CTL_GET_XSK, ugwd_ctl_cmd_get_xsk);
    any(CTL_GET_CONTROL, ugwd_ctl_cmd_get_control);
    priv(CTL_ADD_CONTROL, ugwd_ctl_cmd_add_control);
    priv(CTL_REMOVE_CONTROL, ugwd_ctl_cmd_remove_control);
    priv(CTL_MODIFY_CONTROL, ugwd_ctl_cmd_modify_control);
    any(CTL_DUMP_CONTROLS, ugwd_ctl_cmd_dump_controls);
    any(CTL_GET_PORT, ugwd_ctl_cmd_get_port);
    priv(CTL_ADD_PORT, ugwd_ctl_cmd_add_port);
    priv(CTL_REMOVE_PORT, ugwd_ctl_cmd_remove_port);
    priv(CTL_MODIFY_PORT, ugwd_ctl_cmd_modify_port);
    any(CTL_DUMP_PORTS, ugwd_ctl_cmd_dump_ports);
    any(CTL_GET_SOCKET, ugwd_ctl_cmd_get_socket);
    priv(CTL_ADD_SOCKET, ugwd_ctl_cmd_add_socket);
    priv(CTL_REMOVE_SOCKET, ugwd_ctl_cmd_remove_socket);
    any(CTL_DUMP_SOCKETS, ugwd_ctl_cmd_dump_sockets);
    both(CTL_GET_NAS, ugwd_ctl_cmd_get_nas_ro, ugwd_ctl_cmd_get_nas_rw);
    priv(CTL_ADD_NAS, ugwd_ctl_cmd_add_nas);
    priv(CTL_REMOVE_NAS, ugwd_ctl_cmd_remove_nas);
    priv(CTL_MODIFY_NAS, ugwd_ctl_cmd_modify_nas);
    any(CTL_DUMP_NASES, ugwd_ctl_cmd_dump_nases);
    any(CTL_GET_HOSTSET, ugwd_ctl_cmd_get_hostset);
    priv(CTL_ADD_HOSTSET, ugwd_ctl_cmd_add_hostset);
    priv(CTL_REMOVE_HOSTSET, ugwd_ctl_cmd_remove_hostset);
    priv(CTL_ADD_HOST, ugwd_ctl_cmd_add_host);
    priv(CTL_REMOVE_HOST, ugwd_ctl_cmd_remove_host);
    any(CTL_DUMP_HOSTSETS, ugwd_ctl_cmd_dump_hostsets);
    any(CTL_GET_FILTER, ugwd_ctl_cmd_get_filter);
    priv(CTL_ADD_FILTER, ugwd_ctl_cmd_add_filter);
    priv(CTL_REMOVE_FILTER, ugwd_ctl_cmd_remove_filter);
    priv(CTL_ADD_RULE, ugwd_ctl_cmd_add_rule);
    priv(CTL_REMOVE_RULE, ugwd_ctl_cmd_remove_rule);
    any(CTL_DUMP_FILTERS, ugwd_ctl_cmd_dump_filters);
    both(CTL_GET_SERVICE, ugwd_ctl_cmd_get_service_ro, ugwd_ctl_cmd_get_service);
    priv(CTL_ADD_SERVICE, ugwd_ctl_cmd_add_service);
    priv(CTL_REMOVE_SERVICE, ugwd_ctl_cmd_remove_service);
    priv(CTL_MODIFY_SERVICE, ugwd_ctl_cmd_modify_service);
    priv(CTL_RENAME_SERVICE, ugwd_ctl_cmd_rename_service);
    any(CTL_DUMP_SERVICES, ugwd_ctl_cmd_dump_services);
    both(CTL_GET_VAP, ugwd_ctl_cmd_get_vap_ro, ugwd_ctl_cmd_get_vap);
    any(CTL_DUMP_VAPS, ugwd_ctl_cmd_dump_vaps);
    any(CTL_GET_TUNNEL, ugwd_ctl_cmd_get_tunnel);
    any(CTL_DUMP_TUNNELS, ugwd_ctl_cmd_dump_tunnels);
    any(CTL_GET_FLOW, ugwd_ctl_cmd_get_flow);
    any(CTL_DUMP_FLOWS, ugwd_ctl_cmd_dump_flows);
    any(CTL_GET_ACCESS, ugwd_ctl_cmd_get_access);
    any(CTL_DUMP_ACCESSES, ugwd_ctl_cmd_dump_accesses);
    any(CTL_GET_KEY, ugwd_ctl_cmd_get_key_entry);
    any(CTL_DUMP_KEYS, ugwd_ctl_cmd_dump_keys);
    priv(CTL_CLEAR_CACHE, ugwd_ctl_cmd_clear_cache);
    any(CTL_GET_FTAUTH, ugwd_ctl_cmd_get_ftauth);
    any(CTL_DUMP_FTAUTHS, ugwd_ctl_cmd_dump_ftauths);
    any(CTL_DUMP_LEASES, ugwd_ctl_cmd_dump_leases);
    priv(CTL_WRITE_LEASES, ugwd_ctl_cmd_write_leases);
    any(CTL_DUMP_LEASES6, ugwd_ctl_cmd_dump_leases6);
    priv(CTL_WRITE_LEASES6, ugwd_ctl_cmd_write_leases6);
    any(CTL_DUMP_GROUPS, ugwd_ctl_cmd_dump_groups);
    any(CTL_DUMP_GROUPS6, ugwd_ctl_cmd_dump_groups6);
    return t;
}

constexpr std::array<ugwd_ctl_cmd, CTL_MSG_TYPES - 1> ugwd_ctl_cmds = make_cmds();

// Text fields of requests: each must end within its field.
struct text_field {
    uint32_t type;
    uint16_t offset;
    uint16_t size;
};

enum : uint16_t {
    CONTROL_NAME = 8 + 60, // ulmexControlName inside the record
    NAS_ROWS = 8 + CTL_REC_NAS,
    AUTH_ROW = 164,
    ACCT_ROW = 152,
    ROW_SECRET = 36,
    SECRET = 65,
    SECOND_NAME = 8 + CTL_KEY_NAS_NAME,
};

constexpr text_field text_fields[] = {
    {CTL_GET_MEMPOOL, 8, CTL_KEY_POOL_NAME},
    {CTL_GET_CONTROL, 8, CTL_KEY_CONTROL_NAME},
    {CTL_ADD_CONTROL, CONTROL_NAME, CTL_KEY_CONTROL_NAME},
    {CTL_REMOVE_CONTROL, 8, CTL_KEY_CONTROL_NAME},
    {CTL_MODIFY_CONTROL, CONTROL_NAME, CTL_KEY_CONTROL_NAME},
    {CTL_GET_NAS, 8, CTL_KEY_NAS_NAME},
    {CTL_REMOVE_NAS, 8, CTL_KEY_NAS_NAME},
    {CTL_ADD_NAS, 8, CTL_KEY_NAS_NAME},
    {CTL_ADD_NAS, NAS_ROWS + ROW_SECRET, SECRET},
    {CTL_ADD_NAS, NAS_ROWS + AUTH_ROW + ROW_SECRET, SECRET},
    {CTL_ADD_NAS, NAS_ROWS + 2 * AUTH_ROW + ROW_SECRET, SECRET},
    {CTL_ADD_NAS, NAS_ROWS + 2 * AUTH_ROW + ACCT_ROW + ROW_SECRET, SECRET},
    {CTL_MODIFY_NAS, 8, CTL_KEY_NAS_NAME},
    {CTL_MODIFY_NAS, NAS_ROWS + ROW_SECRET, SECRET},
    {CTL_MODIFY_NAS, NAS_ROWS + AUTH_ROW + ROW_SECRET, SECRET},
    {CTL_MODIFY_NAS, NAS_ROWS + 2 * AUTH_ROW + ROW_SECRET, SECRET},
    {CTL_MODIFY_NAS, NAS_ROWS + 2 * AUTH_ROW + ACCT_ROW + ROW_SECRET, SECRET},
    {CTL_ADD_HOST, 12, CTL_KEY_HOST_NAME},
    {CTL_REMOVE_HOST, 12, CTL_KEY_HOST_NAME},
    {CTL_GET_FILTER, 8, CTL_KEY_NAS_NAME},
    {CTL_GET_FILTER, SECOND_NAME, CTL_KEY_FILTER_NAME},
    {CTL_ADD_FILTER, 8, CTL_KEY_NAS_NAME},
    {CTL_ADD_FILTER, SECOND_NAME, CTL_KEY_FILTER_NAME},
    {CTL_REMOVE_FILTER, 8, CTL_KEY_NAS_NAME},
    {CTL_REMOVE_FILTER, SECOND_NAME, CTL_KEY_FILTER_NAME},
    {CTL_ADD_RULE, 8, CTL_KEY_NAS_NAME},
    {CTL_ADD_RULE, SECOND_NAME, CTL_KEY_FILTER_NAME},
    {CTL_REMOVE_RULE, 8, CTL_KEY_NAS_NAME},
    {CTL_REMOVE_RULE, SECOND_NAME, CTL_KEY_FILTER_NAME},
    {CTL_DUMP_FILTERS, 8, CTL_KEY_NAS_NAME},
    {CTL_DUMP_ACCESSES, 8, CTL_KEY_NAS_NAME},
    {CTL_CLEAR_CACHE, 8, CTL_KEY_NAS_NAME},
};

constexpr bool text_fields_sound()
{
    for (const text_field &f : text_fields)
        if (f.offset < 8 || f.offset + f.size > ctl_msg_catalogue[f.type].size)
            return false;
    return true;
}
static_assert(text_fields_sound());

bool texts_terminated(const uint8_t *msg, uint32_t type)
{
    for (const text_field &f : text_fields)
        if (f.type == type && !memchr(msg + f.offset, 0, f.size))
            return false;
    return true;
}

int status_reply(uint8_t *msg, size_t size, int err)
{
    if (size < sizeof(ctl_msg))
        return sizeof(ctl_msg);
    ugwd_ctl_msg_init(msg, CTL_STATUS);
    ctl_put32(msg, offsetof(ctl_msg, status), static_cast<uint32_t>(err));
    return static_cast<int>(ctl_msg_size(msg, sizeof(ctl_msg)));
}

} // namespace

const char *ugwd_ctl_msg_name(uint32_t type)
{
    return type < CTL_MSG_TYPES ? ctl_msg_catalogue[type].name : "Unknown";
}

void ugwd_ctl_msg_init(void *msg, uint32_t type)
{
    size_t size = type < CTL_MSG_TYPES ? ctl_msg_catalogue[type].size : sizeof(ctl_msg);
    memset(msg, 0, size);
    ctl_put32(msg, offsetof(ctl_msg, type), type);
}

int ugwd_ctl_run(ugwd_ctl *ctl, ugwd_ctl_handler handler, uint8_t *msg, size_t size)
{
    const char *name = ugwd_ctl_msg_name(ctl_get32(msg, 0));
    errno = 0;
    int r = handler(ctl, msg, size);
    if (r < 0) {
        int err = errno ? errno : EINVAL;
        ulog_untrusted(LOG_COMP_ALL, ULOG_DEBUG, "Control command %s failed: %s", name, strerror(err));
        return status_reply(msg, size, err);
    }
    if (r == 0)
        return status_reply(msg, size, 0);
    if (static_cast<size_t>(r) > size)
        return r; // the server grows the buffer and asks again
    // Nothing past the reply's own size leaves: the buffer may still hold an
    // earlier request's bytes.
    uint32_t need = ctl_msg_size(msg, static_cast<size_t>(r));
    if (need == 0 || need > static_cast<uint32_t>(r)) {
        ulog(LOG_COMP_ALL, ULOG_ERROR, "Control command %s made a reply of %d bytes for %u", name, r,
             need);
        return status_reply(msg, size, EIO);
    }
    return static_cast<int>(need);
}

int ugwd_ctl_dispatch(void *user, uint8_t *msg, size_t len, size_t size, int privileged)
{
    auto *ctl = static_cast<ugwd_ctl *>(user);
    uint32_t need = ctl_msg_size(msg, len);
    if (need == 0 || len < need) {
        // Logged once, on the call that can hold the answer.
        if (size >= sizeof(ctl_msg)) {
            if (need == 0)
                ulog_untrusted(LOG_COMP_ALL, ULOG_DEBUG, "Discarding unknown control command %zu bytes", len);
            else
                ulog_untrusted(LOG_COMP_ALL, ULOG_DEBUG, "Discarding short control command %zu bytes", len);
        }
        return status_reply(msg, size, EBADMSG);
    }

    // The entry in use shows the live link's figures.
    ugwd_ctl_sync_control(ctl);
    uint32_t type = ctl_get32(msg, 0);
    const ugwd_ctl_cmd *cmd = type < ugwd_ctl_cmds.size() ? &ugwd_ctl_cmds[type] : nullptr;
    ugwd_ctl_handler handler = cmd ? cmd->read : nullptr;
    if (privileged && cmd && type <= CTL_WRITE_LEASES6 && cmd->priv)
        handler = cmd->priv;
    if (!handler) {
        ulog_untrusted(LOG_COMP_ALL, ULOG_DEBUG, "Permission denied for control command %s",
             ugwd_ctl_msg_name(type));
        return status_reply(msg, size, EPERM);
    }

    ulog_untrusted(LOG_COMP_ALL, ULOG_DETAIL, "Executing control command %s", ugwd_ctl_msg_name(type));
    int r;
    if (!texts_terminated(msg, type)) {
        ulog_untrusted(LOG_COMP_ALL, ULOG_DEBUG, "Control command %s failed: %s", ugwd_ctl_msg_name(type),
             strerror(EINVAL));
        r = status_reply(msg, size, EINVAL);
    } else {
        r = ugwd_ctl_run(ctl, handler, msg, size);
    }

    if (!cmd->read)
        ugwd_ctl_config_changed(ctl);
    return r;
}

int ugwd_ctl_subscribe(void *user, list_link *member, const uint8_t *key, size_t len)
{
    auto *ctl = static_cast<ugwd_ctl *>(user);
    if (len < 4) {
        ulog_untrusted(LOG_COMP_ALL, ULOG_DEBUG, "Discarding short control command %zu bytes", len);
        return -1;
    }
    uint32_t type = ctl_get32(key, 0);
    int group = ctl_event_group_index(type);
    if (group < 0) {
        ulog_untrusted(LOG_COMP_ALL, ULOG_DEBUG, "Invalid event group %u", type);
        return -1;
    }
    list_append(&ctl->subscribers[group], member);
    ulog_untrusted(LOG_COMP_ALL, ULOG_DETAIL, "Subscribe %s", ugwd_ctl_msg_name(type));
    return 0;
}

int ugwd_ctl_publish(ugwd_ctl *ctl, const void *event, size_t len)
{
    int group = len >= sizeof(ctl_msg) ? ctl_event_group_index(ctl_get32(event, 0)) : -1;
    // Events are exactly their type's size: they carry no list part.
    if (group < 0 || len != ctl_msg_catalogue[ctl_get32(event, 0)].size) {
        errno = EINVAL;
        return -1;
    }
    int sent = 0;
    for (userver_member *m : list_records<&userver_member::link>(&ctl->subscribers[group])) {
        // A member that does not read loses the event; the others still get theirs.
        if (userver_notify(ctl->server, m, event, len) == 0)
            sent++;
    }
    return sent;
}

int ugwd_ctl_cmd_unsupported(ugwd_ctl *, uint8_t *, size_t)
{
    errno = EOPNOTSUPP;
    return -1;
}
