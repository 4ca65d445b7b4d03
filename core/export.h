// Symbol visibility for the library's C interface.
#pragma once

#define KREL_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
#define KREL_EXTERN_C extern "C"
#else
#define KREL_EXTERN_C
#endif

#define KREL_API KREL_EXTERN_C KREL_EXPORT
