#include "common/ctl_msg.h"

#include "common/mempool.h"

// Pool statistics travel as the pool module keeps them.
static_assert(sizeof(mempool_info) == CTL_REC_MEMPOOL);
static_assert(sizeof(mempool_site) == CTL_REC_MEMPOOL_SITE);

uint32_t ctl_msg_size(const void *msg, size_t len)
{
    if (len < 4)
        return 0;
    uint32_t type = ctl_get32(msg, 0);
    if (type >= CTL_MSG_TYPES)
        return sizeof(ctl_msg);
    const ctl_msg_layout &l = ctl_msg_catalogue[type];
    if (len < l.size || !l.count_offset)
        return l.size;
    // A count from the peer may claim anything: never let it wrap.
    uint64_t size = l.size + static_cast<uint64_t>(ctl_get32(msg, l.count_offset)) * l.row_size;
    return size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(size);
}
