// Management frames to a station in each state of each BSS kind.
#include <cstddef>
#include <cstdint>

#include "fuzz/dot11_fuzz_host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool ready = (dot11_crypto_init(), true);
    (void)ready;
    if (size < 1 || size > 2000)
        return 0;
    fuzz_dot11::host h;
    if (h.setup(data[0]))
        h.mlme(data + 1, size - 1);
    h.finish(data[0]);
    return 0;
}
