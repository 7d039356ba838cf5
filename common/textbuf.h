// Bounded text output: appends what fits into a caller's buffer, always
// terminated; text that does not fit is cut, never overruns.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>

struct textbuf {
    char *buf;
    size_t size;
    size_t pos;

    void printf(const char *fmt, ...) __attribute__((format(printf, 2, 3)))
    {
        if (pos + 1 >= size)
            return;
        va_list ap;
        va_start(ap, fmt);
        int n = vsnprintf(buf + pos, size - pos, fmt, ap);
        va_end(ap);
        if (n > 0)
            pos += static_cast<size_t>(n) < size - pos ? static_cast<size_t>(n) : size - pos - 1;
    }
    void puts(const char *s) { printf("%s", s); }
    bool full() const { return pos + 1 >= size; }
};

// An empty text in buf (size may be 0: then nothing is ever written).
inline textbuf make_textbuf(char *buf, size_t size)
{
    if (size)
        buf[0] = '\0';
    return textbuf{buf, size, 0};
}
