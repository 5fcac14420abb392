#include "tamrel/gather.hpp"

#include <cstring>

namespace tamrel {

void gather_rows(const ByteMatrix& src, const std::int64_t* idx, std::int64_t m, char* dst) {
    const std::int64_t row_bytes = src.cols * src.itemsize;
    if (src.cols == 1 || src.col_stride == src.itemsize) {
        // Each row is one contiguous run of bytes.
        if (src.itemsize == 8 && row_bytes == 8) {
            auto* out = reinterpret_cast<std::uint64_t*>(dst);
            for (std::int64_t k = 0; k < m; ++k)
                std::memcpy(out + k, src.base + idx[k] * src.row_stride, 8);
            return;
        }
        for (std::int64_t k = 0; k < m; ++k)
            std::memcpy(dst + k * row_bytes, src.base + idx[k] * src.row_stride, row_bytes);
        return;
    }
    if (src.col_stride > src.row_stride) {
        // Column-major source: read each column in one sweep.
        for (std::int64_t j = 0; j < src.cols; ++j) {
            const char* col = src.base + j * src.col_stride;
            for (std::int64_t k = 0; k < m; ++k)
                std::memcpy(dst + k * row_bytes + j * src.itemsize, col + idx[k] * src.row_stride,
                            src.itemsize);
        }
        return;
    }
    for (std::int64_t k = 0; k < m; ++k) {
        const char* row = src.base + idx[k] * src.row_stride;
        char* out = dst + k * row_bytes;
        for (std::int64_t j = 0; j < src.cols; ++j)
            std::memcpy(out + j * src.itemsize, row + j * src.col_stride, src.itemsize);
    }
}

}  // namespace tamrel
