// The Montgomery kernels built for processors with MULX and ADX; bigint.cpp
// calls them only when the processor reports both.
#include <cstddef>
#include <cstdint>

#if defined(__x86_64__)
#pragma GCC target("bmi2,adx")
#define BI_MONT_MULX 1
#endif

#include "common/crypto/bigint_mont.h"

bi_mont_ops bi_mont_ops_mulx(size_t n)
{
    return mont_kernel::ops_for(n);
}
