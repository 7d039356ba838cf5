// Feeds DHCP frames, both ways, to the snoop handler and its flow's
// records (see snoop_dhcp_fuzz_host.h for the input).
#include "fuzz/snoop_dhcp_fuzz_host.h"

namespace
{
snoop_fuzz::host *h;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    h = snoop_fuzz::setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    snoop_fuzz::run(h, ugwd_dhcp_rxh_mangle, data, size);
    return 0;
}
