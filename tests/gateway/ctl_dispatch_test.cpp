// The management dispatcher: framing, privilege, statuses, reply lengths and
// the registration step it arms.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "common/ctl_msg.h"
#include "common/schedule.h"
#include "ctl_fixture.h"
#include "gateway/ugwd_ctl_msg.h"

namespace {

using ctl_test::Gateway;
using ctl_test::logged;

std::vector<uint8_t> request(uint32_t type, size_t len, uint8_t fill = 0)
{
    std::vector<uint8_t> m(len, fill);
    if (len >= 4)
        ctl_put32(m.data(), 0, type);
    else
        memcpy(m.data(), &type, len);
    return m;
}

struct Dispatch : Gateway {
    // Answers as the IPC server does: the first call sees a buffer of the
    // request's length, a larger reply grows it (zero-filled) for a second call.
    std::vector<uint8_t> answer(std::vector<uint8_t> m, bool privileged)
    {
        size_t len = m.size();
        int r = ugwd_ctl_dispatch(ctl, m.data(), len, m.size(), privileged);
        if (r > static_cast<int>(m.size())) {
            m.resize(static_cast<size_t>(r), 0);
            r = ugwd_ctl_dispatch(ctl, m.data(), len, m.size(), privileged);
        }
        EXPECT_GE(r, 8);
        EXPECT_LE(r, static_cast<int>(m.size()));
        m.resize(r > 0 ? static_cast<size_t>(r) : 0);
        return m;
    }

    bool armed() { return timer_ispending(&ctl->register_timer); }
    void disarm() { schedule_cancel(ctl->sched, &ctl->register_timer); }
};

uint32_t status_of(const std::vector<uint8_t> &reply)
{
    EXPECT_EQ(reply.size(), 8u);
    EXPECT_EQ(ctl_get32(reply.data(), 0), CTL_STATUS);
    return reply.size() >= 8 ? ctl_get32(reply.data(), 4) : ~0u;
}

TEST_F(Dispatch, StatusesOfMalformedRefusedAndUnsupportedRequests)
{
    auto unterminated_secret = request(CTL_ADD_NAS, 896);
    memset(unterminated_secret.data() + 8 + 256 + 164 + 36, 'x', 65);
    auto long_count = request(CTL_ACCESSES, 12);
    ctl_put32(long_count.data(), 8, 0xffffffff);
    auto short_list = request(CTL_MEMPOOLS, 12 + 80);
    ctl_put32(short_list.data(), 8, 2);
    auto short_flow = request(CTL_NEW_FLOW, 1924 + 100);
    ctl_put32(short_flow.data(), 1920, 1);

    struct Case {
        const char *what;
        std::vector<uint8_t> msg;
        bool privileged;
        uint32_t status;
        const char *log;
        bool arms;
    } cases[] = {
        {"empty", {}, true, EBADMSG, "Discarding unknown control command 0 bytes", false},
        {"3 bytes", request(CTL_GET_CONTROL, 3), true, EBADMSG,
         "Discarding unknown control command 3 bytes", false},
        {"7 bytes", request(CTL_DUMP_CONTROLS, 7), true, EBADMSG,
         "Discarding short control command 7 bytes", false},
        {"5 bytes, unknown type", request(150, 5), true, EBADMSG,
         "Discarding short control command 5 bytes", false},
        {"short fixed part", request(CTL_GET_CONTROL, 263), true, EBADMSG,
         "Discarding short control command 263 bytes", false},
        {"list short of its rows", short_list, true, EBADMSG,
         "Discarding short control command 92 bytes", false},
        {"list past its count offset", short_flow, true, EBADMSG,
         "Discarding short control command 2024 bytes", false},
        {"count that overflows", long_count, true, EBADMSG,
         "Discarding short control command 12 bytes", false},
        {"unknown type", request(150, 8), true, EPERM,
         "Permission denied for control command Unknown", false},
        {"reply type 104", request(CTL_GROUPS6, 12), true, EPERM,
         "Permission denied for control command Groups6", false},
        {"event type", request(CTL_NEW_SERVICE, 1300), true, EPERM,
         "Permission denied for control command New-Service", false},
        {"Status as request", request(CTL_STATUS, 8), true, EPERM,
         "Permission denied for control command Status", false},
        {"unprivileged Add-Port", request(CTL_ADD_PORT, 56), false, EPERM,
         "Permission denied for control command Add-Port", false},
        {"unprivileged Write-Leases6", request(CTL_WRITE_LEASES6, 8), false, EPERM,
         "Permission denied for control command Write-Leases6", false},
        {"privileged Add-Port", request(CTL_ADD_PORT, 56), true, ENODEV,
         "Control command Add-Port failed", true},
        {"read command", request(CTL_GET_CONTROL, 264), false, ENOENT,
         "Control command Get-Control failed: No such file", false},
        {"bytes past the size", request(CTL_GET_CONTROL, 276), false, ENOENT,
         "Control command Get-Control failed: No such file", false},
        {"privileged read command", request(CTL_GET_CONTROL, 264), true, ENOENT,
         "Control command Get-Control failed: No such file", false},
        {"unterminated name", request(CTL_GET_CONTROL, 264, 'a'), false, EINVAL,
         "Control command Get-Control failed: Invalid argument", false},
        {"unterminated secret", unterminated_secret, true, EINVAL,
         "Control command Add-NAS failed: Invalid argument", true},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        ctl_test::log_clear();
        disarm();
        auto reply = answer(c.msg, c.privileged);
        EXPECT_EQ(status_of(reply), c.status);
        EXPECT_EQ(ctl_msg_size(reply.data(), reply.size()), reply.size());
        EXPECT_EQ(logged(c.log), 1u);
        EXPECT_EQ(armed(), c.arms);
    }
}

// Every type, well framed, from either kind of client: the reply is exactly
// its own size; privileged-only commands refuse others and arm the
// registration step only when a privileged client ran them.
TEST_F(Dispatch, EveryTypeAnswersWithItsOwnSize)
{
    const std::set<uint32_t> privileged_only = {10, 12, 14, 18, 20, 22, 26, 28, 33, 35, 37, 41, 43,
                                                45, 46, 50, 52, 54, 55, 59, 61, 63, 64, 90, 97, 100};
    for (uint32_t type = 0; type <= CTL_MSG_TYPES + 1; type++) {
        std::string name = ugwd_ctl_msg_name(type);
        bool read = name.rfind("Get-", 0) == 0 || name.rfind("Dump-", 0) == 0;
        for (bool privileged : {false, true}) {
            SCOPED_TRACE(name + (privileged ? " privileged" : ""));
            disarm();
            uint32_t fixed = type < CTL_MSG_TYPES ? ctl_msg_catalogue[type].size : 8;
            auto reply = answer(request(type, fixed), privileged);
            ASSERT_GE(reply.size(), 8u);
            EXPECT_EQ(ctl_msg_size(reply.data(), reply.size()), reply.size());
            // Lists answer with their own type; everything else with a Status.
            uint32_t status =
                ctl_get32(reply.data(), 0) == CTL_STATUS ? ctl_get32(reply.data(), 4) : 0;
            bool runs = read || (privileged && privileged_only.count(type));
            EXPECT_EQ(status == EPERM, !runs);
            EXPECT_EQ(armed(), privileged && privileged_only.count(type) != 0);
        }
    }
}

TEST_F(Dispatch, RefusedJoinKeys)
{
    list_link member;
    list_init(&member);
    uint8_t key[4];
    ctl_put32(key, 0, CTL_REMOVE_SERVICE);
    EXPECT_EQ(ugwd_ctl_subscribe(ctl, &member, key, 4), -1);
    EXPECT_EQ(logged("Invalid event group 61"), 1u);
    EXPECT_EQ(ugwd_ctl_subscribe(ctl, &member, key, 3), -1);
    EXPECT_EQ(logged("Discarding short control command 3 bytes"), 1u);
    for (const list_link &l : ctl->subscribers)
        EXPECT_TRUE(list_isempty(&l));
}

// Handlers as later commands will behave, run through the reply conventions.
int reply_controls(ugwd_ctl *, uint8_t *msg, size_t size, uint32_t count, size_t reserve)
{
    if (size < reserve)
        return static_cast<int>(reserve);
    ugwd_ctl_msg_init(msg, CTL_CONTROLS);
    ctl_put32(msg, 8, count);
    memset(msg + 12, 0xab, CTL_REC_CONTROL);
    return static_cast<int>(reserve);
}

TEST_F(Dispatch, HandlerResultsBecomeReplies)
{
    std::vector<uint8_t> buf(4096, 0xee); // an earlier request's bytes
    auto run = [&](ugwd_ctl_handler h, size_t size) {
        ctl_put32(buf.data(), 0, CTL_DUMP_CONTROLS);
        return ugwd_ctl_run(ctl, h, buf.data(), size);
    };

    // A reserved length longer than the list is cut to the list: the stale
    // bytes after it never leave.
    EXPECT_EQ(run([](ugwd_ctl *c, uint8_t *m, size_t s) { return reply_controls(c, m, s, 1, 2000); }, 4096),
              12 + 448);
    // A count claiming rows the reply does not hold is the handler's fault, not the client's.
    EXPECT_EQ(run([](ugwd_ctl *c, uint8_t *m, size_t s) { return reply_controls(c, m, s, 3, 12 + 448); }, 4096), 8);
    EXPECT_EQ(ctl_get32(buf.data(), 4), static_cast<uint32_t>(EIO));
    // Too small a buffer: the size it needs, the request untouched for the second call.
    buf.assign(4096, 0xee);
    EXPECT_EQ(run([](ugwd_ctl *c, uint8_t *m, size_t s) { return reply_controls(c, m, s, 1, 460); }, 100), 460);
    EXPECT_EQ(ctl_get32(buf.data(), 0), CTL_DUMP_CONTROLS);
    EXPECT_EQ(buf[8], 0xee);

    struct {
        ugwd_ctl_handler h;
        uint32_t status;
    } statuses[] = {
        {[](ugwd_ctl *, uint8_t *, size_t) { return 0; }, 0},
        {[](ugwd_ctl *, uint8_t *, size_t) { return -1; }, EINVAL},
        {[](ugwd_ctl *, uint8_t *, size_t) { errno = EEXIST; return -1; }, EEXIST},
        {[](ugwd_ctl *, uint8_t *, size_t) { return 3; }, EIO},
    };
    for (auto &s : statuses) {
        buf.assign(4096, 0xee);
        EXPECT_EQ(run(s.h, 4096), 8);
        EXPECT_EQ(ctl_get32(buf.data(), 0), CTL_STATUS);
        EXPECT_EQ(ctl_get32(buf.data(), 4), s.status);
    }
}

} // namespace
