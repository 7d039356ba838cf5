// Feeds management requests of any bytes to the dispatcher, from privileged
// clients or not, and joins of any key.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/ctl_msg.h"
#include "common/list.h"
#include "common/schedule.h"
#include "common/umsg.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_ctl_msg.h"

namespace {

ugwd_ctl *ctl;

void gateway_free()
{
    ugwd_ctl_free(ctl); // takes its socket file along
}

ugwd_ctl *gateway()
{
    if (!ctl) {
        std::string path = "/tmp/ugw-fuzz-ctl-" + std::to_string(getpid());
        ctl = ugwd_ctl_create(path.c_str(), nullptr, 0, false);
        atexit(gateway_free);
    }
    return ctl;
}

} // namespace

// Input: one byte of flags (bit 0 privileged, bit 1 a join), then the request or key.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!gateway())
        abort();
    if (size < 1)
        return 0;
    uint8_t flags = data[0];
    data++;
    size--;

    if (flags & 2) {
        list_link member;
        list_init(&member);
        if (ugwd_ctl_subscribe(ctl, &member, data, size) == 0)
            list_remove(&member);
        return 0;
    }

    // As the IPC server calls it: a buffer of the request's length first, a
    // larger one when the reply asks for it.
    std::vector<uint8_t> buf(data, data + size);
    int r = ugwd_ctl_dispatch(ctl, buf.empty() ? nullptr : buf.data(), size, size, flags & 1);
    if (r > static_cast<int>(buf.size())) {
        if (static_cast<size_t>(r) > UMSG_MESSAGE_MAX)
            abort();
        buf.resize(static_cast<size_t>(r), 0);
        r = ugwd_ctl_dispatch(ctl, buf.data(), size, buf.size(), flags & 1);
    }
    if (r < static_cast<int>(sizeof(ctl_msg)) || static_cast<size_t>(r) > buf.size())
        abort();
    if (ctl_msg_size(buf.data(), static_cast<size_t>(r)) != static_cast<uint32_t>(r))
        abort();
    schedule_cancel(ctl->sched, &ctl->register_timer);
    return 0;
}
