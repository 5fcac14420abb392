// Read-only views of numeric data: a strided float64 column and an optional row subset.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tamrel {

// One float64 column of a matrix (or a 1-D array), read through a byte stride so
// that x[:, j] of a C- or Fortran-ordered matrix needs no copy.
struct Column {
    const char* base = nullptr;
    std::int64_t size = 0;
    std::int64_t stride = sizeof(double);  // bytes between consecutive elements

    Column() = default;
    Column(const double* data, std::int64_t n, std::int64_t stride_bytes = sizeof(double))
        : base(reinterpret_cast<const char*>(data)), size(n), stride(stride_bytes) {}

    bool empty() const { return base == nullptr; }
    double operator[](std::int64_t i) const {
        return *reinterpret_cast<const double*>(base + i * stride);
    }
};

// Whether every value of the column is finite (no NaN, no infinity).
inline bool all_finite(const Column& c) {
    bool finite = true;
    for (std::int64_t i = 0; i < c.size; ++i) finite &= std::isfinite(c[i]);  // no early exit: vectorises
    return finite;
}

// The rows a kernel works on: all rows 0..n-1, or the listed positions (in order).
struct Rows {
    const std::int64_t* index = nullptr;  // nullptr: every row
    std::int64_t count = 0;

    static Rows all(std::int64_t n) { return Rows{nullptr, n}; }
    static Rows subset(const std::int64_t* idx, std::int64_t m) { return Rows{idx, m}; }
    static Rows of(const std::vector<std::int64_t>& idx) {
        return Rows{idx.data(), static_cast<std::int64_t>(idx.size())};
    }
    std::int64_t operator[](std::int64_t k) const { return index ? index[k] : k; }
};

}  // namespace tamrel
