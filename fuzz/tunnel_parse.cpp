// The tunnel parser over any bytes, for each transport.
#include <cstddef>
#include <cstdint>

#include "gateway/ugwd_stash.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    for (uint8_t t = 0; t <= 5; t++) {
        flow_id fid;
        uint8_t mac[6];
        uint32_t vni;
        ugwd_stash_parse_bytes({data, size}, t, &fid, mac, &vni);
    }
    return 0;
}
