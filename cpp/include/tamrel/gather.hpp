// Row gathers (x[idx] for 1-D and 2-D arrays of any fixed-size dtype).
#pragma once

#include <cstdint>

namespace tamrel {

// A strided 2-D block of fixed-size items (a 1-D array is one column).
struct ByteMatrix {
    const char* base = nullptr;
    std::int64_t rows = 0;
    std::int64_t cols = 1;
    std::int64_t row_stride = 0;  // bytes
    std::int64_t col_stride = 0;  // bytes
    std::int64_t itemsize = 0;
};

// Copy the rows idx[0..m) of src into dst, C-ordered (m x cols items). Positions must
// already be checked to lie in [0, src.rows).
void gather_rows(const ByteMatrix& src, const std::int64_t* idx, std::int64_t m, char* dst);

}  // namespace tamrel
