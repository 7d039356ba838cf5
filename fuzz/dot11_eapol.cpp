// Ethernet frames (EAPOL, RRB, anything) from a station in each state of
// each BSS kind. With bit 6 of the prefix the frame's MIC is made valid
// first, so that the checks behind the MIC are reached too.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/dot11_fuzz_host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool ready = (dot11_crypto_init(), true);
    (void)ready;
    if (size < 1 || size > 2000)
        return 0;
    fuzz_dot11::host h;
    if (h.setup(data[0])) {
        std::vector<uint8_t> f(data + 1, data + size);
        if ((data[0] & 0x40) && f.size() >= 14 + EAPOL_KEY_DATA)
            dot11_eapol_mic(f.data() + 14, f.size() - 14, h.ptk, nullptr);
        h.tods(f.data(), f.size());
    }
    h.finish(data[0]);
    return 0;
}
