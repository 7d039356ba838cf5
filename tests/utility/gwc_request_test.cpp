// The 60 request functions against the stand-in's journal: type, length,
// every key at its offset, absent keys as zeros; and the replies' blocks
// read in their order.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <functional>
#include <netinet/in.h>
#include <sys/un.h>

#include "gwc_calls.h"
#include "gwc_fixture.h"

using namespace gwc_test;

namespace
{

uint32_t width(const field &f)
{
    switch (f.kind) {
    case F_UUID:
    case F_UUID_NEW:
    case F_PMKID:
        return 16;
    case F_BSSID:
    case F_CLIENT:
        return 6;
    case F_SOCKADDR:
        return 28;
    case F_POOL:
        return 32;
    case F_CONTROL_NAME:
        return 256;
    case F_NAS:
    case F_FILTER:
    case F_HOST:
        return 254;
    case F_U32:
        return 4;
    case F_SOCKET_KEY:
        return 12;
    case F_RECORD:
        return f.n;
    }
    return 0;
}

// The bytes a field must hold; the record index counts records in order.
std::vector<uint8_t> expected(const field &f, keys &k, int record)
{
    std::vector<uint8_t> out(width(f), 0);
    if (!k.present) return out;
    auto text = [&](const char *s) { memcpy(out.data(), s, strlen(s)); };
    switch (f.kind) {
    case F_UUID:
        memcpy(out.data(), UUID, 16);
        break;
    case F_UUID_NEW:
        memcpy(out.data(), UUID_NEW, 16);
        break;
    case F_PMKID:
        memcpy(out.data(), PMKID, 16);
        break;
    case F_BSSID:
        memcpy(out.data(), BSSID, 6);
        break;
    case F_CLIENT:
        memcpy(out.data(), CLIENT, 6);
        break;
    case F_SOCKADDR:
        memcpy(out.data(), k.addr, k.addr->sa_family == AF_INET ? 16 : 28);
        break;
    case F_POOL:
        text(k.pool);
        break;
    case F_CONTROL_NAME:
        text(k.control);
        break;
    case F_NAS:
        text(k.nas);
        break;
    case F_FILTER:
        text(k.filter);
        break;
    case F_HOST:
        text(k.host);
        break;
    case F_U32:
        memcpy(out.data(), &U32, 4);
        break;
    case F_SOCKET_KEY:
        // Index at 8, transport at 12, UDP port at 16, two zero bytes.
        memcpy(out.data(), &U32, 4);
        memcpy(out.data() + 4, &U32, 4);
        memcpy(out.data() + 8, &PORT, 2);
        break;
    case F_RECORD:
        memcpy(out.data(), k.records[record], f.n);
        break;
    }
    return out;
}

class GwcRequests : public Gwc
{
};

TEST_F(GwcRequests, JournalMatchesTheTableWithKeysPresentAndAbsent)
{
    auto table = calls();
    ASSERT_EQ(table.size(), 60u);
    sockaddr_in6 a6 = addr6();
    for (bool present : {true, false}) {
        for (call &cl : table) {
            SCOPED_TRACE(std::string(cl.name) + (present ? " with keys" : " without keys"));
            keys k = make_keys(present, reinterpret_cast<const sockaddr *>(&a6));
            fakegwd_clear_journal(fake);
            int r = cl.fn(c, k);
            EXPECT_GE(r, 0) << strerror(errno);
            // The reply was read to its end, in blocks that add up to it.
            EXPECT_EQ(c->payload, nullptr);
            auto j = fakegwd_journal(fake);
            ASSERT_EQ(j.size(), 1u);
            const auto &req = j[0];
            ASSERT_EQ(req.size(), ctl_msg_catalogue[cl.type].size);
            EXPECT_EQ(ctl_msg_size(req.data(), req.size()), req.size());
            EXPECT_EQ(ctl_get32(req.data(), 0), cl.type);
            EXPECT_EQ(ctl_get32(req.data(), 4), 0u);
            size_t at = 8;
            int record = 0;
            for (const field &f : cl.fields) {
                auto want = expected(f, k, record);
                if (f.kind == F_RECORD) record++;
                ASSERT_LE(at + want.size(), req.size());
                EXPECT_TRUE(
                    std::equal(want.begin(), want.end(), req.begin() + static_cast<long>(at)))
                    << "field at offset " << at;
                at += want.size();
            }
            EXPECT_EQ(at, req.size()) << "the table covers the whole request";
        }
    }
}

TEST_F(GwcRequests, IPv4AddressLeavesTheRestOfItsFieldZero)
{
    sockaddr_in a4 = {};
    a4.sin_family = AF_INET;
    a4.sin_port = htons(4789);
    inet_pton(AF_INET, "192.0.2.9", &a4.sin_addr);
    // Garbage behind a short address must not travel.
    struct {
        sockaddr_in a;
        uint8_t tail[12];
    } padded;
    memset(&padded, 0xff, sizeof(padded));
    padded.a = a4;
    uint8_t tunnel[CTL_REC_TUNNEL];
    ASSERT_EQ(gwc_get_tunnel(c, UUID, reinterpret_cast<const sockaddr *>(&padded), tunnel), 0);
    auto req = last_request();
    EXPECT_EQ(memcmp(req.data() + 24, &a4, 16), 0);
    for (size_t i = 16; i < 28; i++)
        EXPECT_EQ(req[24 + i], 0) << i;

    sockaddr_un un = {};
    un.sun_family = AF_UNIX;
    fakegwd_clear_journal(fake);
    EXPECT_EQ(gwc_dump_flows(c, nullptr, reinterpret_cast<const sockaddr *>(&un), nullptr, nullptr,
                             nullptr),
              -1);
    EXPECT_EQ(errno, EAFNOSUPPORT);
    EXPECT_TRUE(fakegwd_journal(fake).empty());
}

TEST_F(GwcRequests, HostNamesThatDoNotFitAreRefused)
{
    std::string host(254, 'a');
    EXPECT_EQ(gwc_remove_host(c, 1, host.c_str()), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    host.resize(300);
    EXPECT_EQ(gwc_add_host(c, 1, host.c_str()), -1);
    EXPECT_TRUE(fakegwd_journal(fake).empty());
    host.resize(253);
    EXPECT_EQ(gwc_add_host(c, 1, host.c_str()), 0);
}

// A reply whose every byte tells its offset.
std::vector<uint8_t> patterned(uint32_t type, uint32_t count = 0)
{
    auto r = reply_of(type, count);
    for (size_t i = 8; i < r.size(); i++)
        r[i] = static_cast<uint8_t>(i * 13 + i / 256);
    const ctl_msg_layout &l = ctl_msg_catalogue[type];
    if (l.count_offset) ctl_put32(r.data(), l.count_offset, count);
    return r;
}

void expect_slice(const std::vector<uint8_t> &r, size_t at, const void *out, size_t n)
{
    EXPECT_EQ(memcmp(r.data() + at, out, n), 0) << "block at " << at << " of " << n;
}

TEST_F(GwcRequests, ReplyBlocksAreReadInTheirOrder)
{
    uint8_t b[7][1048];
    Ary rows;
    array_init(&rows, 1);

    auto flow = patterned(CTL_NEW_FLOW, 2);
    fakegwd_set_reply(fake, CTL_GET_FLOW, flow);
    ASSERT_EQ(gwc_get_flow(c, nullptr, nullptr, nullptr, b[0], b[1], b[2], b[3], b[4], b[5], &rows),
              2);
    expect_slice(flow, 8, b[0], 584);
    expect_slice(flow, 592, b[1], 56);
    expect_slice(flow, 648, b[2], 1048);
    expect_slice(flow, 1696, b[3], 8);
    expect_slice(flow, 1704, b[4], 76);
    expect_slice(flow, 1784, b[5], 136);
    expect_slice(flow, 1924, array_data(&rows), 2 * 528);

    auto svc = patterned(CTL_NEW_SERVICE);
    fakegwd_set_reply(fake, CTL_RENAME_SERVICE, svc);
    ASSERT_EQ(gwc_rename_service(c, UUID, UUID_NEW, b[0], b[1], b[2], b[3], b[4]), 0);
    expect_slice(svc, 8, b[0], 768);
    expect_slice(svc, 776, b[1], 280);
    expect_slice(svc, 1056, b[2], 128);
    expect_slice(svc, 1184, b[3], 52);
    expect_slice(svc, 1236, b[4], 64);

    auto nas = patterned(CTL_NEW_NAS);
    fakegwd_set_reply(fake, CTL_GET_NAS, nas);
    memset(b, 0x5a, sizeof(b));
    ASSERT_EQ(gwc_get_nas(c, "n", b[0], nullptr, nullptr, nullptr), 0);
    expect_slice(nas, 8, b[0], 256);
    EXPECT_EQ(b[1][0], 0x5a);

    auto key = patterned(CTL_NEW_KEY);
    fakegwd_set_reply(fake, CTL_GET_KEY, key);
    ASSERT_EQ(gwc_get_key(c, UUID, PMKID, b[0], b[1]), 0);
    expect_slice(key, 8, b[0], 36);
    expect_slice(key, 48, b[1], 320);

    auto pool = patterned(CTL_NEW_MEMPOOL, 3);
    fakegwd_set_reply(fake, CTL_GET_MEMPOOL, pool);
    ASSERT_EQ(gwc_get_mempool(c, "p", b[0], &rows), 3);
    expect_slice(pool, 8, b[0], 80);
    EXPECT_EQ(rows._size, 44u);
    expect_slice(pool, 92, array_data(&rows), 3 * 44);

    auto hosts = patterned(CTL_NEW_HOSTSET, 2);
    fakegwd_set_reply(fake, CTL_GET_HOSTSET, hosts);
    ASSERT_EQ(gwc_get_hostset(c, 4, &rows), 2);
    expect_slice(hosts, 16, array_data(&rows), 2 * 260);

    auto vaps = patterned(CTL_VAPS, 2);
    fakegwd_set_reply(fake, CTL_DUMP_VAPS, vaps);
    ASSERT_EQ(gwc_dump_vaps(c, nullptr, &rows), 2);
    expect_slice(vaps, 16, array_data(&rows), 2 * 128);

    // Add-Filter skips the rules it is answered with.
    fakegwd_set_reply(fake, CTL_ADD_FILTER, patterned(CTL_NEW_FILTER, 2));
    EXPECT_EQ(gwc_add_filter(c, "n", "f"), 0);
    EXPECT_EQ(c->payload, nullptr);
    array_purge(&rows);
}

TEST_F(GwcRequests, AddAndModifyTakeBackTheDaemonsCopy)
{
    uint8_t nas[256], auth[328], acct[304], das[416];
    memset(nas, 1, sizeof(nas));
    memset(auth, 2, sizeof(auth));
    memset(acct, 3, sizeof(acct));
    memset(das, 4, sizeof(das));
    auto stored = patterned(CTL_NEW_NAS);
    fakegwd_set_reply(fake, CTL_MODIFY_NAS, stored);
    ASSERT_EQ(gwc_modify_nas(c, nas, auth, acct, das), 0);
    auto req = last_request();
    EXPECT_EQ(req[8], 1);
    EXPECT_EQ(req[8 + 256], 2);
    EXPECT_EQ(req[8 + 256 + 328], 3);
    expect_slice(stored, 8, nas, 256);
    expect_slice(stored, 264, auth, 328);
    expect_slice(stored, 592, acct, 304);
    expect_slice(stored, 896, das, 416);

    auto h = reply_of(CTL_NEW_HOSTSET);
    ctl_put32(h.data(), 8, 77);
    fakegwd_set_reply(fake, CTL_ADD_HOSTSET, h);
    EXPECT_EQ(gwc_add_hostset(c, 0), 77);

    // Forced and settled without a record: the id given comes back.
    connect(CTL_F_FORCE);
    fakegwd_set_reply(fake, CTL_ADD_HOSTSET, reply_of(CTL_STATUS));
    EXPECT_EQ(gwc_add_hostset(c, 12), 12);
    EXPECT_EQ(ctl_get32(last_request().data(), 4), CTL_F_FORCE);
}

} // namespace
