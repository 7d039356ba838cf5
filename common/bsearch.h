// Packed sorted arrays with unique keys.
#pragma once

#include <cstddef>

using bsearch_compare_fn = int (*)(const void *a, const void *b);
using bsearch_merge_fn = void (*)(void *into, const void *from);

// Inserts key into the sorted array (room for nmemb + 1 elements). Returns the
// inserted element, or null when an equal element is present. A null compare
// compares bytes.
void *binsert(const void *key, void *base, size_t nmemb, size_t size, bsearch_compare_fn compare);

// Removes the element at index from a packed array of nmemb elements.
void bremove(size_t index, void *base, size_t nmemb, size_t size);

// Merges two sorted arrays into out; equal pairs occur once (merge called on them).
size_t bmerge(void *out, const void *a, size_t na, const void *b, size_t nb, size_t size,
              bsearch_compare_fn compare, bsearch_merge_fn merge);
