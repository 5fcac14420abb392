#include "tamrel/fine_codes.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "tamrel/scan.hpp"

namespace tamrel {

namespace {

// The grid of a column's values x[0], x[step], ... (rows of them) from their range;
// unusable when one of them is infinite.
FineGrid grid_of(const double* x, std::int64_t rows, std::int64_t step = 1) {
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (std::int64_t r = 0; r < rows; ++r) {
        const double v = x[r * step];
        lo = v < lo ? v : lo;  // NaN leaves both as they are
        hi = v > hi ? v : hi;
    }
    FineGrid g;
    if (lo > hi) {  // NaN only: every code is kFineCodes
        g.usable = true;
        return g;
    }
    if (std::isinf(lo) || std::isinf(hi)) return g;
    const double scale = static_cast<double>(kFineCodes) / (hi - lo);
    g.base = lo;
    g.scale = std::isfinite(scale) ? scale : 0.0;
    g.usable = true;
    return g;
}

// Codes of n values into c, in a loop that vectorises.
void code_run(const FineGrid g, const double* __restrict v, std::uint16_t* __restrict c, std::int64_t n) {
    for (std::int64_t k = 0; k < n; ++k) c[k] = g.code(v[k]);
}

}  // namespace

void FineColumns::Free::operator()(std::uint16_t* p) const { std::free(p); }

void FineColumns::allocate(std::int64_t n) {
    // large pages for the large buffers of a whole subset only: a partition's small ones
    // would pay the kernel's compaction for little
    constexpr size_t kLarge = size_t{1} << 21, kLargeBuffer = size_t{1} << 24;
    const size_t bytes = static_cast<size_t>(std::max<std::int64_t>(n, 1)) * sizeof(std::uint16_t);
    void* p = nullptr;
#if defined(__linux__)
    if (bytes >= kLargeBuffer) {
        p = std::aligned_alloc(kLarge, (bytes + kLarge - 1) / kLarge * kLarge);
        if (p) madvise(p, bytes, MADV_HUGEPAGE);
    }
#endif
    if (!p) p = std::malloc(bytes);
    if (!p) throw std::bad_alloc();
    codes.reset(static_cast<std::uint16_t*>(p));
}

FineColumns fine_columns(const double* num, std::int64_t rows, const std::vector<char>& wanted, int n_jobs) {
    FineColumns out;
    out.rows = rows;
    const auto p = static_cast<std::int64_t>(wanted.size());
    out.grids.resize(wanted.size());
    out.at.assign(wanted.size(), -1);
    std::int64_t n_coded = 0;
    for (std::int64_t j = 0; j < p; ++j)
        if (wanted[j]) out.at[j] = rows * n_coded++;
    out.allocate(rows * n_coded);
    parallel_for(p, n_jobs, [&](std::int64_t j) {
        if (!wanted[j]) return;
        const double* x = num + j * rows;
        FineGrid g = grid_of(x, rows);
        out.grids[j] = g;
        if (!g.usable) {
            out.at[j] = -1;
            return;
        }
        std::uint16_t* c = out.codes.get() + out.at[j];
        for (std::int64_t r = 0; r < rows; ++r) c[r] = g.code(x[r]);
    });
    return out;
}

FineColumns gather_fine(const double* x, std::int64_t row_stride, std::int64_t col_stride, const std::int64_t* rows,
                        std::int64_t m, const std::vector<std::int64_t>& cols, double* out, int n_jobs) {
    constexpr std::int64_t kSample = 4096, kRows = 1 << 14;
    const auto p = static_cast<std::int64_t>(cols.size());
    FineColumns f;
    f.rows = m;
    f.grids.resize(cols.size());
    f.at.resize(cols.size());
    f.allocate(m * p);
    // the grids from every step-th row, gathered first
    const std::int64_t step = std::max<std::int64_t>(1, m / kSample), n_sample = m == 0 ? 0 : (m - 1) / step + 1;
    std::vector<double> sample(static_cast<size_t>(n_sample));
    for (std::int64_t j = 0; j < p; ++j) {
        for (std::int64_t k = 0; k < n_sample; ++k) sample[k] = x[rows[k * step] * row_stride + cols[j] * col_stride];
        f.grids[j] = grid_of(sample.data(), n_sample);
        f.at[j] = f.grids[j].usable ? j * m : -1;
    }
    // rows gathered a short run at a time, whose codes are then taken column by column
    // from the run just written (still in cache), in loops that vectorise
    constexpr std::int64_t kRun = 512;
    parallel_for((m + kRows - 1) / kRows, n_jobs, [&](std::int64_t t) {
        const std::int64_t end = std::min(m, (t + 1) * kRows);
        for (std::int64_t k0 = t * kRows; k0 < end; k0 += kRun) {
            const std::int64_t k1 = std::min(end, k0 + kRun);
            for (std::int64_t k = k0; k < k1; ++k) {
                const double* row = x + rows[k] * row_stride;
                for (std::int64_t j = 0; j < p; ++j) out[j * m + k] = row[cols[j] * col_stride];
            }
            for (std::int64_t j = 0; j < p; ++j)
                if (f.at[j] >= 0) code_run(f.grids[j], out + j * m + k0, f.codes.get() + j * m + k0, k1 - k0);
        }
    });
    return f;
}

template <class Entry>
std::vector<Entry> fine_table(const std::vector<std::vector<double>>& edges, const std::vector<double>& lo,
                              const std::vector<double>& hi, const std::vector<std::int64_t>& offsets,
                              std::int32_t missing_cell, std::int32_t left_out, const FineGrid& grid) {
    constexpr std::int64_t stride = kFineCodes + 1;
    constexpr auto ambiguous = static_cast<Entry>(fine_ambiguous<Entry>());
    const size_t n_groups = edges.size();
    std::vector<Entry> table((n_groups + 1) * stride, static_cast<Entry>(left_out));
    std::vector<std::int32_t> inner;
    for (size_t g = 0; g < n_groups; ++g) {
        Entry* t = table.data() + g * stride;
        t[kFineCodes] = static_cast<Entry>(missing_cell < 0 ? left_out : missing_cell);
        const auto& e = edges[g];
        if (e.empty()) continue;
        // Codes strictly between those of the range bounds hold values inside the range;
        // their bin is the number of inner edges with a smaller code: filled run by run, the
        // codes after the k-th inner edge's code (and before the next one's) hold bin k.
        const std::int32_t c_lo = grid.code(lo[g]), c_hi = grid.code(hi[g]);
        inner.clear();
        for (size_t k = 1; k + 1 < e.size(); ++k) inner.push_back(grid.code(e[k]));
        inner.push_back(c_hi);
        // (A repeated code marks one more code ambiguous, which only costs a search.)
        std::int32_t from = c_lo;
        for (size_t k = 0; k < inner.size() && from <= c_hi; ++k) {
            const std::int32_t to = std::min(std::max(inner[k], from), c_hi);  // from <= to <= c_hi
            std::fill(t + from, t + to, static_cast<Entry>(offsets[g] + static_cast<std::int64_t>(k)));
            t[to] = ambiguous;
            from = to + 1;
        }
        t[c_lo] = ambiguous;
    }
    return table;
}

template std::vector<std::int16_t> fine_table(const std::vector<std::vector<double>>&, const std::vector<double>&,
                                              const std::vector<double>&, const std::vector<std::int64_t>&,
                                              std::int32_t, std::int32_t, const FineGrid&);
template std::vector<std::uint8_t> fine_table(const std::vector<std::vector<double>>&, const std::vector<double>&,
                                              const std::vector<double>&, const std::vector<std::int64_t>&,
                                              std::int32_t, std::int32_t, const FineGrid&);

}  // namespace tamrel
