// The per-pixel loops of the kernels are written for the compiler to
// vectorise. On x86-64 they are also built for the AVX2 generation and the
// better copy is chosen once at load time, so the package keeps running on
// any x86-64 processor while a current one gets twice the vector width.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define KREL_VECTOR_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define KREL_VECTOR_CLONES
#endif
