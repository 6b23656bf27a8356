// 64-bit arithmetic that stops at the limits instead of wrapping. Times from the service are
// untrusted and may sit near the limits; a sum that wrapped would turn "long ago" into "far ahead".
#pragma once

#include <cstdint>
#include <limits>

inline int64_t SaturatingAdd(int64_t a, int64_t b) {
    int64_t sum;
    if (__builtin_add_overflow(a, b, &sum))
        return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
    return sum;
}

inline int64_t SaturatingSub(int64_t a, int64_t b) {
    int64_t difference;
    if (__builtin_sub_overflow(a, b, &difference))
        return b < 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
    return difference;
}

inline int64_t SaturatingMultiply(int64_t a, int64_t b) {
    int64_t product;
    if (__builtin_mul_overflow(a, b, &product))
        return (a < 0) != (b < 0) ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
    return product;
}

// ms × 1000, saturating at the 64-bit limits instead of overflowing.
inline int64_t MsToUsSaturated(int64_t ms) { return SaturatingMultiply(ms, 1000); }
