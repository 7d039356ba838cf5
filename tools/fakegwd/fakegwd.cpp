#include "tools/fakegwd/fakegwd.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

#include "common/ctl_msg.h"
#include "common/list.h"
#include "common/userver.h"

struct fakegwd {
    userver *server = nullptr;
    std::thread thread;
    std::mutex mu;
    int stop_fd = -1;
    list_link groups[CTL_EVENT_GROUPS];
    std::map<uint32_t, std::vector<uint8_t>> replies;
    std::vector<std::vector<uint8_t>> journal;
    fakegwd_fault_kind fault = FAKEGWD_OK;
    uint32_t fault_arg = 0;
    // A held answer: its header, peer and payload.
    bool late = false;
    umsghdr late_hdr{};
    umsg_addr late_peer{};
    std::vector<uint8_t> late_payload;
    std::vector<uint8_t> reply; // the one being built
    bool built = false;
};

namespace
{

bool starts(std::string_view s, std::string_view p)
{
    return s.substr(0, p.size()) == p;
}

int type_named(std::string_view name)
{
    for (uint32_t t = 0; t < CTL_MSG_TYPES; t++)
        if (name == ctl_msg_catalogue[t].name) return static_cast<int>(t);
    return -1;
}

// Requests whose payload starts with the record the answer carries back.
bool echoes(uint32_t type)
{
    switch (type) {
    case CTL_ADD_CONTROL:
    case CTL_MODIFY_CONTROL:
    case CTL_ADD_PORT:
    case CTL_MODIFY_PORT:
    case CTL_ADD_SOCKET:
    case CTL_ADD_NAS:
    case CTL_MODIFY_NAS:
    case CTL_ADD_HOSTSET:
    case CTL_ADD_SERVICE:
    case CTL_MODIFY_SERVICE:
        return true;
    default:
        return false;
    }
}

std::vector<uint8_t> status(uint32_t err)
{
    std::vector<uint8_t> r(8, 0);
    ctl_put32(r.data(), 4, err);
    return r;
}

// Builds the answer to one request into f->reply.
void answer(fakegwd *f, const uint8_t *req, size_t len)
{
    uint32_t size = ctl_msg_size(req, len);
    if (size == 0 || len < size) {
        f->reply = status(EBADMSG);
    } else {
        uint32_t type = ctl_get32(req, 0);
        auto canned = f->replies.find(type);
        if (fakegwd_answer_type(type) < 0)
            f->reply = status(EPERM);
        else if (canned != f->replies.end())
            f->reply = canned->second;
        else
            f->reply = fakegwd_synthesize(req, len);
    }
    fakegwd_fault_kind fault = f->fault;
    uint32_t arg = f->fault_arg;
    switch (fault) {
    case FAKEGWD_STATUS:
        f->reply = status(arg);
        break;
    case FAKEGWD_SHORT:
        if (arg < f->reply.size()) f->reply.resize(arg);
        break;
    case FAKEGWD_WRONG_TYPE:
        ctl_put32(f->reply.data(), 0, arg);
        break;
    case FAKEGWD_HUGE_COUNT: {
        uint32_t t = ctl_get32(f->reply.data(), 0);
        if (t < CTL_MSG_TYPES && ctl_msg_catalogue[t].count_offset)
            ctl_put32(f->reply.data(), ctl_msg_catalogue[t].count_offset, arg);
        break;
    }
    default:
        return; // the faults of the IPC layer are the loop's
    }
    f->fault = FAKEGWD_OK;
}

int on_request(void *user, uint8_t *payload, size_t len, size_t cap, int)
{
    auto *f = static_cast<fakegwd *>(user);
    // A second call for a larger buffer finds the answer built.
    if (!f->built) {
        answer(f, payload, len);
        f->built = true;
    }
    if (f->reply.size() > cap) return static_cast<int>(f->reply.size());
    f->built = false;
    size_t n = f->reply.size();
    memcpy(payload, f->reply.data(), n);
    f->reply.clear();
    return static_cast<int>(n);
}

int on_subscribe(void *user, list_link *member, const uint8_t *key, size_t len)
{
    auto *f = static_cast<fakegwd *>(user);
    if (len < 4) return -1;
    int group = ctl_event_group_index(ctl_get32(key, 0));
    if (group < 0) return -1;
    list_append(&f->groups[group], member);
    return 0;
}

int on_health(void *)
{
    return 1;
}

void send_answer(fakegwd *f, const umsghdr *hdr, const umsg_addr *peer, const void *p, size_t n,
                 uint8_t flags)
{
    umsg_send(f->server->fd, hdr->type, flags, umsg_seq(hdr), p, n, peer, nullptr, -1,
              MSG_DONTWAIT);
}

// Continued fragments for as long as the peer takes them.
void send_endless(fakegwd *f, const umsghdr *hdr, const umsg_addr *peer)
{
    uint8_t chunk[UMSG_PAYLOAD] = {};
    ctl_put32(chunk, 0, CTL_FLOWS);
    ctl_put32(chunk, 8, 0x7fffffff);
    int idle = 0;
    while (idle < 200) {
        if (umsg_send(f->server->fd, hdr->type, UMSG_F_ACK | UMSG_F_MORE, umsg_seq(hdr), chunk,
                      sizeof(chunk), peer, nullptr, -1, MSG_DONTWAIT) == 0) {
            idle = 0;
            continue;
        }
        if (errno != EAGAIN && errno != ENOBUFS) return;
        idle++;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// One datagram: the faults that bypass the IPC server, else the server.
void serve_one(fakegwd *f, const umsghdr *hdr, uint8_t *payload, size_t len, const umsg_addr *peer,
               const umsg_cred *cred, int passfd)
{
    bool request = hdr->type == UMSG_REQUEST && (hdr->flags & UMSG_F_WANT_ACK);
    if (request) {
        f->journal.emplace_back(payload, payload + len);
        if (f->late) {
            send_answer(f, &f->late_hdr, &f->late_peer, f->late_payload.data(),
                        f->late_payload.size(), UMSG_F_ACK);
            f->late = false;
        }
        if (f->fault == FAKEGWD_LATE || f->fault == FAKEGWD_ENDLESS) {
            fakegwd_fault_kind fault = f->fault;
            f->fault = FAKEGWD_OK;
            f->reply.clear();
            answer(f, payload, len);
            if (fault == FAKEGWD_LATE) {
                f->late = true;
                f->late_hdr = *hdr;
                f->late_peer = *peer;
                f->late_payload = f->reply;
            } else {
                send_endless(f, hdr, peer);
            }
            f->reply.clear();
            if (passfd >= 0) close(passfd);
            return;
        }
    }
    if (hdr->type == UMSG_LOCK && f->fault == FAKEGWD_REFUSE_LOCK) {
        f->fault = FAKEGWD_OK;
        send_answer(f, hdr, peer, nullptr, 0, UMSG_F_NAK);
        if (passfd >= 0) close(passfd);
        return;
    }
    f->reply.clear();
    f->built = false;
    userver_handle(f->server, hdr, payload, len, peer, cred, passfd);
}

void run(fakegwd *f)
{
    for (;;) {
        pollfd p[2] = {{userver_fd(f->server), POLLIN, 0}, {f->stop_fd, POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (p[1].revents) return;
        std::lock_guard<std::mutex> hold(f->mu);
        for (;;) {
            umsghdr hdr;
            umsg_addr peer = {};
            umsg_cred cred;
            int passfd = -1;
            ssize_t r = umsg_recv(f->server->fd, &hdr, array_data<uint8_t>(&f->server->buffer),
                                  UMSG_PAYLOAD, 0, &f->server->sigmask, &peer, &cred, &passfd);
            if (r < 0) {
                if (errno == EINTR) continue;
                break;
            }
            serve_one(f, &hdr, array_data<uint8_t>(&f->server->buffer),
                      static_cast<size_t>(r) - sizeof(hdr), &peer, &cred, passfd);
        }
        userver_flush(f->server);
    }
}

} // namespace

int fakegwd_answer_type(uint32_t type)
{
    if (type >= CTL_MSG_TYPES) return -1;
    std::string_view name = ctl_msg_catalogue[type].name;
    std::string answer;
    for (std::string_view p : {"Get-", "Add-", "Modify-", "Rename-"})
        if (starts(name, p)) answer = "New-" + std::string(name.substr(p.size()));
    if (starts(name, "Remove-")) answer = "Delete-" + std::string(name.substr(7));
    if (starts(name, "Dump-")) answer = std::string(name.substr(5));
    if (starts(name, "Clear-") || starts(name, "Write-")) return CTL_STATUS;
    if (answer.empty()) return -1;
    int t = type_named(answer);
    return t < 0 ? static_cast<int>(CTL_STATUS) : t; // Add-Host, Remove-Rule and the like
}

std::vector<uint8_t> fakegwd_synthesize(const uint8_t *req, size_t len)
{
    uint32_t type = ctl_get32(req, 0);
    int answer = fakegwd_answer_type(type);
    if (answer < 0) return status(EPERM);
    std::vector<uint8_t> r(ctl_msg_catalogue[answer].size, 0);
    ctl_put32(r.data(), 0, static_cast<uint32_t>(answer));
    if (echoes(type)) {
        size_t n = std::min(len, r.size()) - 8;
        memcpy(r.data() + 8, req + 8, n);
    }
    return r;
}

fakegwd *fakegwd_start(const char *run_dir)
{
    auto *f = new fakegwd;
    for (list_link &g : f->groups)
        list_init(&g);
    userver_ops ops = {
        .request = on_request, .message = nullptr, .subscribe = on_subscribe, .health = on_health};
    std::string base = std::string(run_dir) + "/ulmex-gatewaysock";
    f->server = userver_listen(base.c_str(), static_cast<unsigned>(getpid()), 0, &ops, f);
    f->stop_fd = eventfd(0, EFD_CLOEXEC);
    if (!f->server || f->stop_fd < 0) {
        fakegwd_stop(f);
        return nullptr;
    }
    f->thread = std::thread(run, f);
    return f;
}

void fakegwd_stop(fakegwd *f)
{
    if (!f) return;
    if (f->thread.joinable()) {
        uint64_t one = 1;
        if (write(f->stop_fd, &one, sizeof(one)) != sizeof(one)) abort();
        f->thread.join();
    }
    if (f->stop_fd >= 0) close(f->stop_fd);
    if (f->server) {
        for (list_link &g : f->groups)
            for (list_link *l : list_for_each_safe(&g))
                list_remove(l), list_init(l);
        userver_close(f->server);
    }
    delete f;
}

const char *fakegwd_path(const fakegwd *f)
{
    return f->server->path;
}

void fakegwd_set_reply(fakegwd *f, uint32_t request_type, std::vector<uint8_t> reply)
{
    std::lock_guard<std::mutex> hold(f->mu);
    f->replies[request_type] = std::move(reply);
}

void fakegwd_fault(fakegwd *f, fakegwd_fault_kind kind, uint32_t arg)
{
    std::lock_guard<std::mutex> hold(f->mu);
    f->fault = kind;
    f->fault_arg = arg;
}

std::vector<std::vector<uint8_t>> fakegwd_journal(fakegwd *f)
{
    std::lock_guard<std::mutex> hold(f->mu);
    return f->journal;
}

void fakegwd_clear_journal(fakegwd *f)
{
    std::lock_guard<std::mutex> hold(f->mu);
    f->journal.clear();
}

int fakegwd_push_event(fakegwd *f, uint32_t group_type, const void *msg, size_t len)
{
    std::lock_guard<std::mutex> hold(f->mu);
    int group = ctl_event_group_index(group_type);
    if (group < 0) return 0;
    int reached = 0;
    for (userver_member *m : list_records<&userver_member::link>(&f->groups[group]))
        if (userver_notify(f->server, m, msg, len) == 0) reached++;
    return reached;
}

size_t fakegwd_members(fakegwd *f, uint32_t group_type)
{
    std::lock_guard<std::mutex> hold(f->mu);
    int group = ctl_event_group_index(group_type);
    size_t n = 0;
    if (group >= 0)
        for (list_link *l : list_for_each(&f->groups[group])) {
            (void)l;
            n++;
        }
    return n;
}

std::vector<uint8_t> fakegwd_flows_reply(uint32_t n)
{
    // Offsets of the flow record's fields that the lists show.
    enum : size_t {
        BSSID = 0,
        CLIENT = 6,
        SERVICE = 18,
        SSID = 34,
        SSID_LEN = 66,
        DOWN_BYTES = 528,
        UP_BYTES = 536,
    };
    std::vector<uint8_t> reply(16 + static_cast<size_t>(n) * CTL_REC_FLOW, 0);
    ctl_put32(reply.data(), 0, CTL_FLOWS);
    ctl_put32(reply.data(), 8, n);
    for (uint32_t i = 0; i < n; i++) {
        uint8_t *r = reply.data() + 16 + static_cast<size_t>(i) * CTL_REC_FLOW;
        const uint8_t bssid[6] = {0x02, 0, 0, 0, 0, static_cast<uint8_t>(i)};
        const uint8_t client[6] = {0x0a,
                                   0,
                                   0,
                                   static_cast<uint8_t>(i >> 16),
                                   static_cast<uint8_t>(i >> 8),
                                   static_cast<uint8_t>(i)};
        memcpy(r + BSSID, bssid, 6);
        memcpy(r + CLIENT, client, 6);
        memset(r + SERVICE, 0x5e, 16);
        memcpy(r + SSID, "busy-gateway", 12);
        r[SSID_LEN] = 12;
        const uint64_t down = uint64_t{i} * 7919, up = uint64_t{i} * 131;
        memcpy(r + DOWN_BYTES, &down, 8);
        memcpy(r + UP_BYTES, &up, 8);
    }
    return reply;
}
