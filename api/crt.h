/* The few C library functions the effect calls, in one place: the C headers on Linux and Windows, our own
 * declarations where the macOS build has no C library headers (it links them from libSystem). */
#ifndef VELLUMBRA_API_CRT_H
#define VELLUMBRA_API_CRT_H

#include <stddef.h>

#if defined(VELLUMBRA_NO_LIBC_HEADERS)
extern "C" {
void *memcpy(void *dst, const void *src, size_t n);
void *memset(void *dst, int value, size_t n);
int rand(void);
}
#else
#include <stdlib.h>
#include <string.h>
#endif

#endif
