/*
 * asn1c's runtime internals, with its allocator routed through one process-wide
 * hook so that the controller protocol can decode and encode in fixed arenas.
 * Installed into the generated directory as asn_internal.h; asn1c's own header is renamed.
 */
#ifndef UGW_ASN_INTERNAL_H
#define UGW_ASN_INTERNAL_H

#include <stddef.h>

#include <asn_internal_asn1c.h>

#ifdef __cplusplus
extern "C" {
#endif

/* realloc-style: a null block allocates, size 0 frees and gives null. Null means the heap. */
extern void *(*asn1_realloc_hook)(void *block, size_t size);

void *asn1_malloc(size_t size);
void *asn1_calloc(size_t nmemb, size_t size);
void *asn1_realloc(void *block, size_t size);
void asn1_free(void *block);

#ifdef __cplusplus
}
#endif

#undef CALLOC
#undef MALLOC
#undef REALLOC
#undef FREEMEM
#define CALLOC(nmemb, size) asn1_calloc(nmemb, size)
#define MALLOC(size) asn1_malloc(size)
#define REALLOC(oldptr, size) asn1_realloc(oldptr, size)
#define FREEMEM(ptr) asn1_free(ptr)

#endif
