// Fatal assertions for internal invariants: they name the expression, file,
// function and line, then abort. Never use them on anything a peer can send.
#pragma once

[[noreturn]] void fatal_assert_fail(const char *expr, const char *file, const char *func, int line);

#define UGW_ASSERT(expr)                                                                           \
    ((expr) ? (void)0 : fatal_assert_fail(#expr, __FILE__, __func__, __LINE__))
