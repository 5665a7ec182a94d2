#pragma once
// The x86 vector intrinsics, where the compiler offers them; each function that uses a
// set beyond the target's names it in a target attribute and runs only where
// WidestSearch() allows.
#if defined(__x86_64__) && defined(__GNUC__)
// GCC 12's AVX-512 intrinsics start from an undefined register, which it then warns of.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#define CLW_HAS_X86_VECTORS 1
#endif
