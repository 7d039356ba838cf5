// The management client against the stand-in server: replies accepted and
// refused, the force flag, reading and exporting, events, the IPC requests.
#include <cerrno>
#include <cstring>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/uclient.h"
#include "gwc_fixture.h"

using namespace gwc_test;

namespace
{

TEST_F(Gwc, AcceptedReplyIsReadInOrderAndClearsTheCursorAtItsEnd)
{
    auto r = reply_of(CTL_NEW_CONTROL);
    for (size_t i = 8; i < r.size(); i++)
        r[i] = static_cast<uint8_t>(i);
    fakegwd_set_reply(fake, CTL_GET_CONTROL, r);
    uint8_t rec[CTL_REC_CONTROL];
    ASSERT_EQ(gwc_get_control(c, "ctl.example", rec), 0);
    EXPECT_EQ(memcmp(rec, r.data() + 8, sizeof(rec)), 0);
    EXPECT_EQ(c->payload, nullptr);
    EXPECT_EQ(c->length, 0u);
    auto req = last_request();
    ASSERT_EQ(req.size(), 264u);
    EXPECT_EQ(ctl_get32(req.data(), 0), CTL_GET_CONTROL);
    EXPECT_STREQ(reinterpret_cast<const char *>(req.data() + 8), "ctl.example");
}

// Each refused reply leaves the connection able to carry the next request.
TEST_F(Gwc, RefusedRepliesTable)
{
    struct row {
        const char *what;
        fakegwd_fault_kind fault;
        uint32_t arg;
        bool dump; // Dump-Controls rather than Get-Control
        int err;
        const char *log;
    };
    const row rows[] = {
        {"daemon's errno", FAKEGWD_STATUS, ENOENT, false, ENOENT, nullptr},
        {"implausible status", FAKEGWD_STATUS, 0x10000, false, EBADMSG, nullptr},
        {"only the IPC header", FAKEGWD_SHORT, 0, false, EBADMSG, "Short IPC response 0 bytes"},
        {"type without status", FAKEGWD_SHORT, 6, false, EBADMSG, "Short IPC response 6 bytes"},
        {"record cut short", FAKEGWD_SHORT, 100, false, EBADMSG, "Short IPC response 100 bytes"},
        {"wrong type", FAKEGWD_WRONG_TYPE, CTL_DELETE_CONTROL, false, EBADMSG,
         "Unexpected IPC response 13"},
        {"type beyond the catalogue", FAKEGWD_WRONG_TYPE, 200, false, EBADMSG,
         "Unexpected IPC response 200"},
        {"count beyond the rows", FAKEGWD_HUGE_COUNT, 3, true, EBADMSG,
         "Short IPC response 12 bytes"},
        {"count beyond 32 bits", FAKEGWD_HUGE_COUNT, 0xffffffff, true, EBADMSG,
         "Short IPC response 12 bytes"},
    };
    uint8_t rec[CTL_REC_CONTROL];
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        clear_log();
        fakegwd_fault(fake, r.fault, r.arg);
        Ary list;
        array_init(&list, 1);
        errno = 0;
        int got = r.dump ? gwc_dump_controls(c, &list) : gwc_get_control(c, "x", rec);
        EXPECT_EQ(got, -1);
        EXPECT_EQ(errno, r.err);
        EXPECT_EQ(array_length(&list), 0u);
        if (r.log) {
            EXPECT_TRUE(logged(r.log));
        }
        array_purge(&list);
        EXPECT_EQ(gwc_get_control(c, "x", rec), 0);
    }
}

TEST_F(Gwc, StatusZeroStandsInOnlyForForcedAddAndRemove)
{
    fakegwd_set_reply(fake, CTL_REMOVE_HOSTSET, reply_of(CTL_STATUS));
    fakegwd_set_reply(fake, CTL_REMOVE_PORT, reply_of(CTL_STATUS));
    fakegwd_set_reply(fake, CTL_GET_PORT, reply_of(CTL_STATUS));
    fakegwd_set_reply(fake, CTL_DUMP_PORTS, reply_of(CTL_STATUS));
    uint8_t port[CTL_REC_PORT];
    memset(port, 0xa5, sizeof(port));

    // Without force a bare Status 0 is no record.
    EXPECT_EQ(gwc_remove_port(c, 7, port), -1);
    EXPECT_EQ(errno, EBADMSG);
    EXPECT_TRUE(logged("Unexpected IPC response 0"));

    connect(CTL_F_FORCE);
    EXPECT_EQ(gwc_remove_port(c, 7, port), 0);
    EXPECT_EQ(port[0], 0xa5);
    EXPECT_EQ(port[CTL_REC_PORT - 1], 0xa5);
    EXPECT_EQ(ctl_get32(last_request().data(), 4), CTL_F_FORCE);

    Ary hosts;
    array_init(&hosts, 1);
    EXPECT_EQ(gwc_remove_hostset(c, 9, &hosts), 0);
    EXPECT_EQ(array_length(&hosts), 0u);
    array_purge(&hosts);

    // Gets and dumps carry no force bit, and a Status 0 never renders as a record.
    clear_log();
    EXPECT_EQ(gwc_get_port(c, 7, port), -1);
    EXPECT_EQ(errno, EBADMSG);
    EXPECT_EQ(ctl_get32(last_request().data(), 4), 0u);
    EXPECT_EQ(gwc_dump_ports(c, nullptr), -1);
    EXPECT_EQ(errno, EBADMSG);
    EXPECT_TRUE(logged("Unexpected IPC response 0"));
    EXPECT_EQ(port[0], 0xa5);

    fakegwd_fault(fake, FAKEGWD_STATUS, ENOENT);
    EXPECT_EQ(gwc_remove_port(c, 7, port), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(Gwc, ReadAndExportStayInsideThePayload)
{
    auto r = reply_of(CTL_PORTS, 3);
    for (size_t i = 12; i < r.size(); i++)
        r[i] = static_cast<uint8_t>(i * 7);
    fakegwd_set_reply(fake, CTL_DUMP_PORTS, r);

    ASSERT_EQ(gwc_begin(c, CTL_DUMP_PORTS), 0);
    ASSERT_EQ(gwc_response(c, CTL_PORTS), 0);
    uint32_t count = 0;
    ASSERT_EQ(gwc_read(c, &count, 4), 0);
    EXPECT_EQ(count, 3u);
    Ary rows;
    array_init(&rows, 1);
    EXPECT_EQ(gwc_export(c, &rows, 4, CTL_REC_PORT), -1);
    EXPECT_EQ(errno, EBADMSG);
    EXPECT_EQ(gwc_read(c, nullptr, 3 * CTL_REC_PORT + 1), -1);
    ASSERT_EQ(gwc_export(c, &rows, 3, CTL_REC_PORT), 0);
    EXPECT_EQ(rows._size, CTL_REC_PORT);
    ASSERT_EQ(array_length(&rows), 3u);
    EXPECT_EQ(memcmp(array_data(&rows), r.data() + 12, 3 * CTL_REC_PORT), 0);
    EXPECT_EQ(gwc_read(c, nullptr, 1), -1);

    // The array took the receive buffer; the next reply lands in another.
    uint8_t port[CTL_REC_PORT];
    ASSERT_EQ(gwc_get_port(c, 1, port), 0);
    EXPECT_EQ(memcmp(array_data(&rows), r.data() + 12, 3 * CTL_REC_PORT), 0);

    // An empty list leaves the array empty with its element size set.
    fakegwd_set_reply(fake, CTL_DUMP_PORTS, reply_of(CTL_PORTS, 0));
    EXPECT_EQ(gwc_dump_ports(c, &rows), 0);
    EXPECT_EQ(array_length(&rows), 0u);
    EXPECT_EQ(rows._size, CTL_REC_PORT);

    // A fixed array is filled by copy, and refused when too small.
    uint8_t fixed_buf[2 * CTL_REC_PORT];
    Ary fixed;
    array_init_fixed(&fixed, fixed_buf, sizeof(fixed_buf), 1);
    fakegwd_set_reply(fake, CTL_DUMP_PORTS, r);
    EXPECT_EQ(gwc_dump_ports(c, &fixed), -1);
    array_purge(&rows);
}

TEST_F(Gwc, TextKeysThatDoNotFitAreRefusedNotCut)
{
    std::string name(CTL_KEY_CONTROL_NAME, 'h');
    uint8_t rec[CTL_REC_CONTROL];
    EXPECT_EQ(gwc_get_control(c, name.c_str(), rec), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_TRUE(fakegwd_journal(fake).empty());
    name.pop_back();
    EXPECT_EQ(gwc_get_control(c, name.c_str(), rec), 0);
    EXPECT_EQ(last_request()[8 + CTL_KEY_CONTROL_NAME - 1], 0);
}

TEST_F(Gwc, LongListArrivesWholeInOneBuffer)
{
    constexpr uint32_t n = 20000; // 11.7 MB; the benchmark takes 10^5
    auto r = reply_of(CTL_FLOWS, n);
    for (uint32_t i = 0; i < n; i++)
        ctl_put32(r.data(), 16 + static_cast<size_t>(i) * CTL_REC_FLOW, i);
    fakegwd_set_reply(fake, CTL_DUMP_FLOWS, r);
    Ary rows;
    array_init(&rows, 1);
    ASSERT_EQ(gwc_dump_flows(c, nullptr, nullptr, nullptr, nullptr, &rows), static_cast<int>(n));
    ASSERT_EQ(array_length(&rows), n);
    EXPECT_EQ(ctl_get32(array_at<uint8_t>(&rows, 0), 0), 0u);
    EXPECT_EQ(ctl_get32(array_at<uint8_t>(&rows, n - 1), 0), n - 1);
    EXPECT_EQ(memcmp(array_data(&rows), r.data() + 16, static_cast<size_t>(n) * CTL_REC_FLOW), 0);
    // One buffer, sized from the first fragment: no more than a fragment to spare.
    EXPECT_LE(rows._capacity, r.size() + 4 + UMSG_PAYLOAD);
    array_purge(&rows);
}

// Where the rows are said to begin splits a long reply; reads and exports
// see one reply whichever side of the split their bytes are on.
TEST_F(Gwc, SplitReplyReadsAsOne)
{
    constexpr uint32_t n = 2000;
    auto r = reply_of(CTL_FLOWS, n);
    for (size_t i = 12; i < r.size(); i++)
        r[i] = static_cast<uint8_t>(i * 13 + i / 251);
    fakegwd_set_reply(fake, CTL_DUMP_FLOWS, r);
    const size_t bytes = static_cast<size_t>(n) * CTL_REC_FLOW;
    std::vector<uint8_t> fixed_buf(bytes);
    // Rows at their place, a split inside the count, one before the rows,
    // one inside them, one past the first fragment (no split).
    for (uint32_t rows_at : {8u, 2u, 6u, 100u, 5000u}) {
        for (bool dynamic : {true, false}) {
            SCOPED_TRACE(testing::Message() << rows_at << (dynamic ? " dynamic" : " fixed"));
            Ary rows;
            if (dynamic)
                array_init(&rows, 1);
            else
                array_init_fixed(&rows, fixed_buf.data(), static_cast<uint32_t>(bytes), 1);
            ASSERT_EQ(gwc_begin(c, CTL_DUMP_FLOWS), 0);
            ASSERT_EQ(gwc_append(c, nullptr, 56), 0);
            ASSERT_EQ(gwc_response_rows(c, CTL_FLOWS, rows_at), 0);
            EXPECT_EQ(c->rest != nullptr, rows_at <= UMSG_PAYLOAD - 8);
            uint32_t count = 0;
            ASSERT_EQ(gwc_read(c, &count, 4), 0);
            EXPECT_EQ(count, n);
            ASSERT_EQ(gwc_read(c, nullptr, 4), 0);
            ASSERT_EQ(gwc_export(c, &rows, n, CTL_REC_FLOW), 0);
            ASSERT_EQ(array_length(&rows), n);
            EXPECT_EQ(memcmp(array_data(&rows), r.data() + 16, bytes), 0);
            EXPECT_EQ(c->payload, nullptr);
            if (dynamic) array_purge(&rows);
        }
    }
}

TEST_F(Gwc, LateAnswerIsSkippedByTheNextRequest)
{
    auto r = reply_of(CTL_NEW_PORT);
    r[8] = 1;
    fakegwd_set_reply(fake, CTL_GET_PORT, r);
    fakegwd_fault(fake, FAKEGWD_LATE);
    uint8_t port[CTL_REC_PORT] = {};
    EXPECT_EQ(gwc_get_port(c, 1, port), -1);
    EXPECT_EQ(errno, EAGAIN);
    r[8] = 2;
    fakegwd_set_reply(fake, CTL_GET_PORT, r);
    ASSERT_EQ(gwc_get_port(c, 2, port), 0);
    EXPECT_EQ(port[0], 2);
}

// Records for the event tests: each event carries its record, then a marker
// where the further blocks begin.
std::vector<uint8_t> event_of(uint32_t type, size_t len = 0)
{
    auto e = reply_of(type);
    uint32_t rec = ctl_event_record_size(type);
    for (uint32_t i = 0; i < rec; i++)
        e[8 + i] = static_cast<uint8_t>(type + i);
    if (8 + rec < e.size()) e[8 + rec] = 0xee;
    if (len) e.resize(len);
    return e;
}

struct seen {
    int slot = -1;
    int calls = 0;
    std::vector<uint8_t> record;
};

template <int Slot> void note(void *user, const void *record)
{
    auto *s = static_cast<seen *>(user);
    s->slot = Slot;
    s->calls++;
    s->record.assign(static_cast<const uint8_t *>(record),
                     static_cast<const uint8_t *>(record) + 768);
}

const ugw_listen_ops all_ops = {note<0>, note<1>, note<2>, note<3>, note<4>,
                                note<5>, note<6>, note<7>, note<8>, note<9>};

bool wait_event(gwc_connection *c)
{
    pollfd p = {gwc_fd(c), POLLIN, 0};
    return poll(&p, 1, 5000) == 1;
}

TEST_F(Gwc, EventsReachTheirCallbackWithTheRecordOnly)
{
    seen s;
    connect(0, &all_ops, &s);
    for (uint32_t kind = 0; kind <= GWC_EVENT_FLOWS; kind++)
        ASSERT_EQ(gwc_subscribe(c, kind), 0);
    for (uint32_t i = 0; i < CTL_EVENT_GROUPS; i++) {
        uint32_t type = ctl_event_group[i];
        SCOPED_TRACE(ctl_msg_catalogue[type].name);
        ASSERT_EQ(fakegwd_members(fake, type), 1u);
        auto e = event_of(type);
        s = {};
        ASSERT_EQ(fakegwd_push_event(fake, type, e.data(), e.size()), 1);
        ASSERT_TRUE(wait_event(c));
        EXPECT_EQ(gwc_notification_dispatch(c), static_cast<ssize_t>(e.size()));
        EXPECT_EQ(s.calls, 1);
        EXPECT_EQ(s.slot, static_cast<int>(i));
        uint32_t rec = ctl_event_record_size(type);
        EXPECT_EQ(memcmp(s.record.data(), e.data() + 8, rec), 0);
        if (rec < 768) { // the copy holds nothing of what follows the record
            EXPECT_NE(s.record[rec], 0xee);
        }
    }
}

TEST_F(Gwc, EventsWithoutASlotOrSizeAreDropped)
{
    seen s;
    connect(0, &all_ops, &s);
    ASSERT_EQ(gwc_subscribe(c, GWC_EVENT_FLOWS), 0);
    struct row {
        std::vector<uint8_t> msg;
        const char *log;
    };
    auto flows = reply_of(CTL_DUMP_FLOWS);
    const row rows[] = {
        {flows, "Discarding unknown IPC notification 80"},
        {event_of(CTL_NEW_FLOW, 100), "Discarding unknown IPC notification 100 bytes"},
        {{1, 0}, "Discarding unknown IPC notification 2 bytes"},
        {reply_of(CTL_STATUS), "Discarding unknown IPC notification 0"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.log);
        clear_log();
        ASSERT_EQ(fakegwd_push_event(fake, CTL_NEW_FLOW, r.msg.data(), r.msg.size()), 1);
        ASSERT_TRUE(wait_event(c));
        EXPECT_EQ(gwc_notification_dispatch(c), static_cast<ssize_t>(r.msg.size()));
        EXPECT_TRUE(logged(r.log));
        EXPECT_EQ(s.calls, 0);
    }
    // A connection without callbacks takes events and drops them.
    connect(0);
    ASSERT_EQ(gwc_subscribe(c, GWC_EVENT_SERVICES), 0);
    auto e = event_of(CTL_NEW_SERVICE);
    ASSERT_EQ(fakegwd_push_event(fake, CTL_NEW_SERVICE, e.data(), e.size()), 1);
    ASSERT_TRUE(wait_event(c));
    EXPECT_EQ(gwc_notification_dispatch(c), static_cast<ssize_t>(e.size()));
}

TEST_F(Gwc, SubscribeNeedsNoLockAndRefusesUnknownKinds)
{
    uint16_t seq = c->client->seq;
    EXPECT_EQ(gwc_subscribe(c, 5), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(c->client->seq, seq);

    fakegwd_fault(fake, FAKEGWD_REFUSE_LOCK);
    EXPECT_EQ(gwc_subscribe(c, GWC_EVENT_TUNNELS), 0);
    EXPECT_EQ(fakegwd_members(fake, CTL_NEW_TUNNEL), 1u);
    EXPECT_EQ(fakegwd_members(fake, CTL_DELETE_TUNNEL), 1u);
    // The refusal was still armed: the lock is refused, and says so.
    EXPECT_EQ(gwc_lock(c), -1);
    EXPECT_EQ(errno, EBUSY);
}

TEST_F(Gwc, LockHealthAndLogPassThrough)
{
    EXPECT_EQ(gwc_lock(c), 0);
    EXPECT_EQ(gwc_health_check(c), -1); // a locked server is busy, not healthy
    EXPECT_EQ(gwc_unlock(c), 0);
    EXPECT_EQ(gwc_health_check(c), 0);

    // The stand-in runs in this process: its log settings are ours.
    log_cfg mine = log_config;
    uint8_t set[12] = {3, LOG_FMT_TIME, 1, 2, 3, 4, 5, 6};
    uint32_t comps = LOG_COMP_UCLIENT | LOG_COMP_IPC;
    memcpy(set + 8, &comps, 4);
    ASSERT_EQ(gwc_set_log(c, set), 0);
    uint8_t got[12];
    ASSERT_EQ(gwc_get_log(c, got), 0);
    EXPECT_EQ(memcmp(got, set, 12), 0);
    log_config = mine;
}

} // namespace

namespace
{

// The stand-in program, run as another user, sends continued fragments
// without end: the client stops at what it takes from an untrusted server.
TEST(GwcUntrusted, EndlessFragmentsEndInEMSGSIZE)
{
    if (geteuid() != 0) GTEST_SKIP() << "running the stand-in as another user needs root";
    char t[] = "/tmp/ugw-gwcu-XXXXXX";
    ASSERT_TRUE(mkdtemp(t));
    std::string dir = t;
    chmod(t, 0777);
    int in[2], out[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(pipe(out), 0);
    fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        close(in[1]);
        close(out[0]);
        if (setgroups(0, nullptr) < 0 || setgid(65534) < 0 || setuid(65534) < 0) _exit(2);
        execl(UGW_BIN_DIR "/tools/fakegwd/fakegwd", "fakegwd", dir.c_str(), nullptr);
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    std::string path;
    char ch;
    pollfd p = {out[0], POLLIN, 0};
    while (poll(&p, 1, 5000) == 1 && read(out[0], &ch, 1) == 1 && ch != '\n')
        path += ch;
    ASSERT_FALSE(path.empty());
    const char cmd[] = "fault endless 0\n";
    ASSERT_EQ(write(in[1], cmd, sizeof(cmd) - 1), static_cast<ssize_t>(sizeof(cmd) - 1));
    // Commands run in order: once the journal's end shows, the fault is set.
    const char sync[] = "journal\n";
    ASSERT_EQ(write(in[1], sync, sizeof(sync) - 1), static_cast<ssize_t>(sizeof(sync) - 1));
    std::string line;
    while (line != "." && poll(&p, 1, 5000) == 1 && read(out[0], &ch, 1) == 1)
        line = ch == '\n' ? (line == "." ? line : "") : line + ch;
    ASSERT_EQ(line, ".");

    gwc_connection *c = gwc_create(path.c_str(), nullptr, nullptr, 0);
    ASSERT_TRUE(c);
    Ary rows;
    array_init(&rows, 1);
    EXPECT_EQ(gwc_dump_flows(c, nullptr, nullptr, nullptr, nullptr, &rows), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_EQ(array_length(&rows), 0u);
    EXPECT_LE(c->client->buffer._capacity, 2 * UMSG_MESSAGE_MAX);
    array_purge(&rows);
    gwc_destroy(c);
    close(in[1]);
    int st;
    ASSERT_EQ(waitpid(child, &st, 0), child);
    close(out[0]);
    std::system(("rm -rf '" + dir + "'").c_str());
}

} // namespace
