/* The codec's allocator: the hook when one is set, the heap otherwise. */
#include <asn_internal.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

void *(*asn1_realloc_hook)(void *block, size_t size);

void *asn1_realloc(void *block, size_t size)
{
	if (asn1_realloc_hook)
		return asn1_realloc_hook(block, size);
	if (!size) {
		free(block);
		return NULL;
	}
	return realloc(block, size);
}

void *asn1_malloc(size_t size)
{
	/* A zero-size request still gets a block, as malloc may give one. */
	return asn1_realloc(NULL, size ? size : 1);
}

void *asn1_calloc(size_t nmemb, size_t size)
{
	void *p;
	if (size && nmemb > SIZE_MAX / size)
		return NULL;
	p = asn1_malloc(nmemb * size);
	if (p)
		memset(p, 0, nmemb * size);
	return p;
}

void asn1_free(void *block)
{
	if (block)
		asn1_realloc(block, 0);
}
