#include "common/bsearch.h"

#include <cstdint>
#include <cstring>

#include "common/fatal.h"

namespace {

int compare_with(bsearch_compare_fn compare, const void *a, const void *b, size_t size)
{
    return compare ? compare(a, b) : memcmp(a, b, size);
}

} // namespace

void *binsert(const void *key, void *base, size_t nmemb, size_t size, bsearch_compare_fn compare)
{
    UGW_ASSERT(nmemb < SIZE_MAX / size);
    char *elems = static_cast<char *>(base);
    size_t lo = 0, hi = nmemb < 2 ? 0 : nmemb - 1;
    if (nmemb >= 2) {
        while (lo < hi) {
            size_t mid = (lo & hi) + ((lo ^ hi) >> 1);
            int c = compare_with(compare, key, elems + mid * size, size);
            if (c == 0)
                return nullptr;
            if (c < 0)
                hi = mid ? mid - 1 : 0;
            else
                lo = mid + 1;
        }
    }
    size_t pos = 0;
    if (lo < nmemb) {
        int c = compare_with(compare, key, elems + lo * size, size);
        if (c == 0)
            return nullptr;
        pos = c > 0 ? lo + 1 : lo;
    }
    memmove(elems + (pos + 1) * size, elems + pos * size, (nmemb - pos) * size);
    memcpy(elems + pos * size, key, size);
    return elems + pos * size;
}

void bremove(size_t index, void *base, size_t nmemb, size_t size)
{
    if (index >= nmemb)
        return;
    char *elems = static_cast<char *>(base);
    memmove(elems + index * size, elems + (index + 1) * size, (nmemb - index - 1) * size);
}

size_t bmerge(void *out, const void *a, size_t na, const void *b, size_t nb, size_t size,
              bsearch_compare_fn compare, bsearch_merge_fn merge)
{
    char *o = static_cast<char *>(out);
    const char *pa = static_cast<const char *>(a), *pb = static_cast<const char *>(b);
    size_t i = 0, j = 0, n = 0;
    while (i < na && j < nb) {
        int c = compare_with(compare, pa + i * size, pb + j * size, size);
        if (c < 0) {
            memcpy(o + n++ * size, pa + i++ * size, size);
        } else if (c > 0) {
            memcpy(o + n++ * size, pb + j++ * size, size);
        } else {
            memcpy(o + n * size, pa + i++ * size, size);
            if (merge)
                merge(o + n * size, pb + j * size);
            n++;
            j++;
        }
    }
    if (i < na)
        memcpy(o + n * size, pa + i * size, (na - i) * size), n += na - i;
    if (j < nb)
        memcpy(o + n * size, pb + j * size, (nb - j) * size), n += nb - j;
    return n;
}
