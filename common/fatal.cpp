#include "common/fatal.h"

#include <cstdio>
#include <cstdlib>

void fatal_assert_fail(const char *expr, const char *file, const char *func, int line)
{
    fprintf(stderr, "Assertion failed: %s (%s: %s: %d)\n", expr, file, func, line);
    fflush(stderr);
    abort();
}
