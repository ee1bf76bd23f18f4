// common/export.h: marks the names the library exports; everything else stays hidden.
#pragma once

#define KIV_EXPORT __attribute__((visibility("default")))
// An exported C function or variable.
#define KIV_API extern "C" KIV_EXPORT

#if defined(__GNUC__)
#define KIV_LIKELY(x) __builtin_expect(!!(x), 1)
#define KIV_UNLIKELY(x) __builtin_expect(!!(x), 0)
#define KIV_NOINLINE __attribute__((noinline))
#else
#define KIV_LIKELY(x) (x)
#define KIV_UNLIKELY(x) (x)
#define KIV_NOINLINE
#endif
