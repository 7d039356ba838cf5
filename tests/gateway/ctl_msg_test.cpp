// Message sizes, names and initialisation of the management protocol.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/ctl_msg.h"
#include "gateway/ugwd_ctl_msg.h"

namespace {

uint32_t size_of(std::vector<uint8_t> m)
{
    return ctl_msg_size(m.data(), m.size());
}

std::vector<uint8_t> msg(uint32_t type, size_t len, uint32_t count_at = 0, uint32_t count = 0)
{
    std::vector<uint8_t> m(len, 0);
    ctl_put32(m.data(), 0, type);
    if (count_at)
        ctl_put32(m.data(), count_at, count);
    return m;
}

TEST(CtlMsg, SizeFromTheFirstBytes)
{
    struct {
        const char *what;
        std::vector<uint8_t> m;
        uint32_t size;
    } cases[] = {
        {"nothing", {}, 0},
        {"3 bytes", {9, 0, 0}, 0},
        {"4 bytes of a fixed type", msg(CTL_GET_CONTROL, 4), 264},
        {"unknown type", msg(105, 8), 8},
        {"unknown type, 4 bytes", msg(0xffffffff, 4), 8},
        {"fixed type with extra bytes", msg(CTL_DUMP_CONTROLS, 100), 8},
        {"list cut in its fixed part", msg(CTL_NEW_FLOW, 1923), 1924},
        {"empty list", msg(CTL_CONTROLS, 12, 8, 0), 12},
        {"two controller rows", msg(CTL_CONTROLS, 12, 8, 2), 12 + 2 * 448},
        {"extended list", msg(CTL_SERVICES, 16, 8, 3), 16 + 3 * 768},
        {"hostset count at 12", msg(CTL_NEW_HOSTSET, 16, 12, 2), 16 + 2 * 260},
        {"flow rules at 1920", msg(CTL_NEW_FLOW, 1924, 1920, 1), 1924 + 528},
        {"access rules at 1056", msg(CTL_NEW_ACCESS, 1060, 1056, 2), 1060 + 2 * 528},
        {"pool sites at 88", msg(CTL_NEW_MEMPOOL, 92, 88, 1), 92 + 44},
        {"count past 32 bits", msg(CTL_ACCESSES, 12, 8, 0xffffffff), UINT32_MAX},
        {"largest count that fits", msg(CTL_HOSTSETS, 12, 8, (UINT32_MAX - 12) / 4), 12 + (UINT32_MAX - 12) / 4 * 4},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(size_of(c.m), c.size);
    }
}

TEST(CtlMsg, NamesAndInit)
{
    EXPECT_STREQ(ugwd_ctl_msg_name(CTL_STATUS), "Status");
    EXPECT_STREQ(ugwd_ctl_msg_name(CTL_DELETE_HOSTSET), "Delete-Hostset");
    EXPECT_STREQ(ugwd_ctl_msg_name(CTL_GROUPS6), "Groups6");
    EXPECT_STREQ(ugwd_ctl_msg_name(105), "Unknown");

    // Only the header and the fixed payload are written.
    for (uint32_t type : {uint32_t(CTL_NEW_SERVICE), uint32_t(CTL_CONTROLS), uint32_t(200)}) {
        std::vector<uint8_t> buf(2000, 0xcc);
        ugwd_ctl_msg_init(buf.data(), type);
        size_t fixed = type < CTL_MSG_TYPES ? ctl_msg_catalogue[type].size : 8;
        EXPECT_EQ(ctl_get32(buf.data(), 0), type);
        EXPECT_EQ(ctl_get32(buf.data(), 4), 0u);
        for (size_t i = 4; i < fixed; i++)
            ASSERT_EQ(buf[i], 0) << i;
        EXPECT_EQ(buf[fixed], 0xcc);
        EXPECT_EQ(ctl_msg_size(buf.data(), fixed), fixed);
    }
}

} // namespace
