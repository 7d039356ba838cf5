// Instance discovery over an arbitrary socket table, with a run directory
// that holds conversions: every pid handed out is positive.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "utility/ugw_main.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) return 0;
    FILE *f = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (!f) return 0;
    ugw_find_instances_in(
        f, "/run/%s %n", UGW_SOCKET_BASE,
        [](int pid, void *) {
            if (pid <= 0) __builtin_trap();
            return 0;
        },
        nullptr);
    fclose(f);
    return 0;
}
