// The finite-column check shared by both modules.
#pragma once

#include <cmath>
#include <cstdint>

#include "tamrel/column.hpp"

namespace tamrel {

// Entries that are NaN or larger than `bound` in magnitude.
inline std::int64_t count_beyond(const Column& c, double bound) {
    std::int64_t n = 0;
    for (std::int64_t i = 0; i < c.size; ++i) n += !(std::fabs(c[i]) <= bound);
    return n;
}

// Entries that are NaN.
inline std::int64_t count_nan(const Column& c) {
    std::int64_t n = 0;
    for (std::int64_t i = 0; i < c.size; ++i) n += c[i] != c[i];
    return n;
}

}  // namespace tamrel
