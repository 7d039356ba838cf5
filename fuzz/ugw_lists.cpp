// Arbitrary list replies and show records through every renderer slot in
// each of the three forms, as the executor hands them over. A slot that
// succeeds in the JSON form must print one document that parses (RapidJSON's
// reader, encoding checked); a text line holds no control byte but the line
// feed; a slot that refuses its input prints nothing at all.
//
// Input: slot, form, a row-size choice, command bytes, then the reply's
// bytes (rows or record).
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <net/if.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fuzz/render_check.h"
#include "common/ctl_msg.h"
#include "common/filter/filter_rule.h"
#include "common/mempool.h"
#include "common/timer.h"
#include "utility/fdb.h"
#include "utility/mdb.h"
#include "utility/ugw_format.h"
#include "utility/ugw_parse.h"
#include "utility/ugw_render_shm.h"
#include "utility/ugw_slots.h"

using namespace render_fuzz;

namespace
{

// The row each slot reads, as the reply catalogue sizes it; 0 where the
// slot takes a record only.
constexpr std::array<uint32_t, UGW_SLOTS> row_sizes = [] {
    std::array<uint32_t, UGW_SLOTS> s{};
    s[2] = CTL_REC_CONTROL;
    s[4] = CTL_REC_PORT;
    s[6] = CTL_REC_SOCKET;
    s[8] = CTL_REC_NAS;
    s[14] = CTL_REC_FILTER_NAME;
    s[15] = s[25] = s[27] = CTL_REC_RULE;
    s[16] = CTL_REC_HOSTSET_ID;
    s[17] = CTL_REC_HOST;
    s[18] = CTL_REC_SERVICE;
    s[20] = CTL_REC_VAP;
    s[22] = CTL_REC_TUNNEL;
    s[24] = CTL_REC_FLOW;
    s[26] = CTL_REC_ACCESS;
    s[28] = CTL_REC_KEY;
    s[30] = CTL_REC_FTAUTH;
    s[32] = CTL_REC_LEASE;
    s[34] = CTL_REC_LEASE6;
    s[36] = CTL_REC_GROUP;
    s[37] = CTL_REC_GROUP6;
    s[38] = CTL_REC_MEMPOOL;
    s[40] = CTL_REC_MEMPOOL_SITE;
    s[41] = CTL_REC_FABRIC;
    s[42] = CTL_REC_XSK;
    s[43] = sizeof(fdb_stats);
    s[44] = sizeof(ugw_fdb_entry);
    s[45] = sizeof(mdb_stats);
    s[46] = sizeof(mdb_group);
    return s;
}();

// Standard output goes to a memory file that is read back after each slot.
int out_fd = -1;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static std::unique_ptr<ugw_command> cmd = std::make_unique<ugw_command>();
    if (out_fd < 0) {
        ugw_ifname_reset(render_fuzz::ifname);
        clock_monotonic_sec = 1000000;
        clock_offset_sec = 1700000000;
        out_fd = memfd_create("ugw_lists", 0);
        if (out_fd < 0) abort();
        fflush(stdout);
        dup2(out_fd, STDOUT_FILENO);
    }
    constexpr size_t head = 4 + 24;
    if (size < head) return 0;
    const unsigned slot = data[0] % UGW_SLOTS, form = data[1] % UGW_FORMS;
    // Mostly the catalogue's row size; sometimes any, narrower ones included.
    uint32_t row_size = row_sizes[slot];
    if (data[2] & 1 || !row_size) row_size = 1 + data[3] * 4u;

    *cmd = ugw_command{};
    cmd->addr.family = data[4] & 1 ? AF_INET6 : AF_INET;
    memcpy(cmd->addr.bytes, data + 5, 16);
    cmd->hostset = data[21];
    if (data[22] & 1) memcpy(cmd->filter, data + 23, 5);

    const uint8_t *body = data + head;
    const size_t n = size - head;
    // Rows sit wherever the reply puts them: at no aligned address.
    auto copy = std::make_unique<uint8_t[]>(n + 1);
    memcpy(copy.get() + 1, body, n);
    const uint8_t *bytes = copy.get() + 1;
    // Shows that take rows too (rules, hosts, sites) get them behind the record.
    const size_t split = data[2] & 2 ? n / 2 : n;
    ugw_render_args a{.record = bytes,
                      .record_size = split,
                      .rows = bytes,
                      .count = static_cast<uint32_t>(n / row_size),
                      .row_size = row_size,
                      .extra = bytes,
                      .extra_size = data[2] & 4 ? n : 0,
                      .cmd = data[2] & 8 ? nullptr : cmd.get()};
    if (data[2] & 2) {
        a.rows = bytes + split;
        a.count = static_cast<uint32_t>((n - split) / row_size);
    }
    if (!a.count) a.rows = nullptr;
    // The view of slots 44 and 46 is the executor's own record, not the reply's.
    ugw_shm_view view{};
    if (slot == 44 || slot == 46) {
        view.ports = static_cast<uint16_t>(data[21] | data[22] << 8);
        view.show = data[2] & 16;
        a.record = &view;
        a.record_size = data[2] & 32 ? 0 : sizeof view;
    }

    const ugw_renderer_row &row = ugw_renderers.forms[form];
    errno = 0;
    int rc = row.slots[slot] ? row.slots[slot](&a, &row) : 0;
    fflush(stdout);
    off_t len = lseek(out_fd, 0, SEEK_CUR);
    if (len < 0) abort();
    auto text = std::make_unique<char[]>(static_cast<size_t>(len) + 1);
    if (pread(out_fd, text.get(), static_cast<size_t>(len), 0) != len) abort();
    ftruncate(out_fd, 0);
    lseek(out_fd, 0, SEEK_SET);

    if (rc < 0 && len != 0) abort(); // a refused reply prints nothing
    if (rc < 0 && errno == 0) abort();
    if (rc == 0) {
        if (form == 2)
            check_json(text.get(), static_cast<size_t>(len));
        else
            check_text(text.get(), static_cast<size_t>(len));
    }
    return 0;
}
