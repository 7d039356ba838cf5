#include "gateway/ugwd_proc.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "common/schedule.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_flow.h"

// Frames, packets and flow events reach the gateway through the handlers of
// flows; what has no handler yet is dropped.
const frlc_ops ugwd_ctl_frl_event_ops = {
    .diverted_packet = ugwd_ctl_frl_diverted_packet_cb,
    .frame = ugwd_ctl_frl_output_packet_cb,
    .frame_snoop = ugwd_ctl_frl_output_packet_cb,
    .frame_copy = nullptr,
    .port_removed = nullptr,
    .node_removed = nullptr,
    .flow_removed = nullptr,
    .flow_update = ugwd_ctl_frl_update_cb,
    .port_event = nullptr,
    .flow_event = nullptr,
    .flow_value_event = nullptr,
    .mic_failure = ugwd_ctl_frl_mic_failure_cb,
    .quota_reached = ugwd_ctl_frl_quota_reached_cb,
};

namespace {

enum : uint8_t { NODE_KIND_PROCESS = 11 };

// The base nodes of a process, by their index in the node record.
enum : uint32_t { BASE_NODE_A = 0, BASE_NODE_B = 1 };

// The groups of node B that bring the process's events.
constexpr uint8_t node_b_groups[] = {2, 3};

int add_base_node(frlc *client, uint32_t which, uint32_t *id)
{
    frl_node node = {};
    node.b[FRL_NODE_KIND] = NODE_KIND_PROCESS;
    frl_store32(node.b + FRL_NODE_BASE_INDEX, which);
    if (frlc_add_node(client, &node, nullptr, 0) < 0)
        return -1;
    *id = frl_load32(node.b + FRL_NODE_ID);
    return 0;
}

// Errors after which the process is not worth asking anything more.
bool unreachable(int err)
{
    return err == EAGAIN || err == ECONNREFUSED || err == ENOTCONN || err == EPIPE ||
           err == ECONNRESET;
}

} // namespace

ugwd_proc *ugwd_ctl_attach_proc(ugwd_ctl *ctl, unsigned number, const char *path)
{
    auto *proc = static_cast<ugwd_proc *>(calloc(1, sizeof(ugwd_proc)));
    if (!proc) {
        ulog(LOG_COMP_ALL, ULOG_ERROR, "Memory allocation failed");
        errno = ENOMEM;
        return nullptr;
    }
    proc->ctl = ctl;
    proc->index = ctl->nprocs++;
    proc->number = number;
    list_append(&ctl->procs, &proc->link);

    int err;
    proc->fernrelay = frlc_create(path, &ugwd_ctl_frl_event_ops, ctl->packet_pool, proc);
    if (!proc->fernrelay)
        goto fail;
    // Health checks and log settings given to the daemon reach the data plane too.
    if (ctl->server)
        frlc_attach_server(proc->fernrelay, ctl->server);
    if (add_base_node(proc->fernrelay, BASE_NODE_A, &proc->node_a) < 0)
        goto fail;
    proc->has_node_a = true;
    if (add_base_node(proc->fernrelay, BASE_NODE_B, &proc->node_b) < 0)
        goto fail;
    proc->has_node_b = true;
    for (uint8_t group : node_b_groups)
        if (frlc_join_node(proc->fernrelay, proc->node_b, group) < 0)
            goto fail;
    if (schedule_add_fd(ctl->sched, frlc_fd(proc->fernrelay), frlc_process_cb, proc->fernrelay) < 0)
        goto fail;
    proc->registered = true;
    return proc;

fail:
    err = errno;
    ugwd_ctl_delete_proc(proc);
    errno = err;
    return nullptr;
}

void ugwd_ctl_delete_proc(ugwd_proc *proc)
{
    if (!proc)
        return;
    ugwd_ctl *ctl = proc->ctl;
    if (frlc *client = proc->fernrelay) {
        if (proc->registered)
            schedule_remove_fd(ctl->sched, frlc_fd(client));
        // The data plane is another process: whatever it answers, or fails to,
        // we log and go on.
        bool reachable = true;
        struct {
            bool has;
            uint32_t id;
        } nodes[] = {{proc->has_node_a, proc->node_a}, {proc->has_node_b, proc->node_b}};
        for (auto &n : nodes) {
            if (!n.has || !reachable)
                continue;
            if (frlc_remove_node(client, n.id, nullptr) < 0) {
                ulog(LOG_COMP_ALL, ULOG_DEBUG, "Failed to remove node %u of process %u: %s", n.id,
                     proc->number, strerror(errno));
                reachable = !unreachable(errno);
            }
        }
        struct {
            const char *what;
            ssize_t (*dump)(frlc *, const uint8_t **);
        } dumps[] = {{"devices", frlc_dump_devices},
                     {"nodes", frlc_dump_nodes},
                     {"flows", frlc_dump_flows}};
        for (auto &d : dumps) {
            if (!reachable)
                break;
            ssize_t left = d.dump(client, nullptr);
            if (left < 0) {
                ulog(LOG_COMP_ALL, ULOG_DEBUG, "Failed to list %s of process %u: %s", d.what,
                     proc->number, strerror(errno));
                reachable = !unreachable(errno);
            } else if (left > 0) {
                ulog(LOG_COMP_ALL, ULOG_DEBUG, "Process %u still holds %zd %s", proc->number, left,
                     d.what);
            }
        }
        frlc_destroy(client);
    }
    ctl->nprocs--;
    list_remove(&proc->link);
    free(proc);
}
