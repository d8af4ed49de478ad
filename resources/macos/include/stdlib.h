/* Stand-in for the C library's <stdlib.h> in the macOS build, which has no C library headers.
 *
 * libc++'s <new> and <exception> include <cstdlib>, whose wrapper needs ldiv_t, lldiv_t, ldiv and lldiv; nothing
 * else of it is used by those headers once aligned allocation is switched off (the macOS 10.13 runtime has none
 * anyway). Any other inclusion of <stdlib.h> or <cstdlib> is an error, so that effect code cannot reach the C
 * library except through api/crt.h; the C library functions libc++'s <cstdlib> names stay undeclared. */
#ifndef VELLUMBRA_MACOS_STDLIB_SHIM_H
#define VELLUMBRA_MACOS_STDLIB_SHIM_H

#if !defined(_LIBCPP_NEW) && !defined(_LIBCPP_EXCEPTION)
#error "<stdlib.h>/<cstdlib> is not available to the effect on macOS: declare C functions in api/crt.h"
#endif

#ifdef __cplusplus
extern "C" {
#endif
typedef struct { long quot, rem; } ldiv_t;
typedef struct { long long quot, rem; } lldiv_t;
ldiv_t ldiv(long numerator, long denominator);
lldiv_t lldiv(long long numerator, long long denominator);
#ifdef __cplusplus
}
#endif

#endif
