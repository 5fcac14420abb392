// Fine codes: a numeric column's values mapped onto 0 .. kFineCodes - 1 by a monotone
// function over the column's own range (v <= u gives code(v) <= code(u)), NaN onto
// kFineCodes. A value whose code differs from code(e) lies on the side of e that the codes
// say, so a bin edge splits only the values of one code: per-row bin searches become a
// table lookup (fine_table) except at those few codes, and per-group ranges need a
// row's value only where its code reaches the group's extreme codes.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace tamrel {

constexpr std::int32_t kFineCodes = 1024;

struct FineGrid {
    double base = 0.0, scale = 0.0;
    bool usable = false;  // false: codes are not written (fine_columns: the column holds infinite values)

    // Branch-free, so that loops over a column vectorise.
    std::uint16_t code(double v) const {
        double t = (v - base) * scale;
        t = t >= 0.0 ? t : 0.0;  // also NaN (NaN itself, or an infinite span times a zero scale)
        t = t <= kFineCodes - 1 ? t : kFineCodes - 1;
        const auto c = static_cast<std::int32_t>(t);
        return static_cast<std::uint16_t>(v == v ? c : kFineCodes);
    }
};

// Fine codes of some columns of a float64 Fortran matrix, column after column (rows
// entries each), with one grid per column; columns not wanted get no grid or codes.
struct FineColumns {
    std::int64_t rows = 0;
    std::vector<FineGrid> grids;
    std::vector<std::int64_t> at;  // start of a column's codes in `codes`, -1 when not coded
    // not a vector: its zero fill would touch every page on one thread before the threads
    // fill it; in large pages where the system has them (far fewer page faults)
    struct Free {
        void operator()(std::uint16_t* p) const;
    };
    std::unique_ptr<std::uint16_t[], Free> codes;
    void allocate(std::int64_t n);
    const std::uint16_t* column(std::int64_t j) const { return at[j] < 0 ? nullptr : codes.get() + at[j]; }
};

FineColumns fine_columns(const double* num, std::int64_t rows, const std::vector<char>& wanted, int n_jobs);

// The rows `rows[0..m)` of columns `cols` of a float64 matrix (strides in elements) copied
// into `out` (Fortran order, m x cols), with their fine codes taken in the same pass: each
// column's grid spans a sample of its rows, so that values beyond the sample's range take
// the end codes (monotone still; those codes only hold more values). Infinite values
// beyond the sample take the end codes too, where the passes' exact tests meet them (a
// column with one in the sample gets no codes). Positions must already be checked.
FineColumns gather_fine(const double* x, std::int64_t row_stride, std::int64_t col_stride, const std::int64_t* rows,
                        std::int64_t m, const std::vector<std::int64_t>& cols, double* out, int n_jobs);

// Table of the cells of a numeric cut by group and fine code (stride kFineCodes + 1): the
// cell, `left_out` for values outside the group's range, fine_ambiguous<Entry>() where the
// code holds a bin edge or a bound of the range. Offsets and missing cell as in UnitLayout
// (a missing cell of -1 reads as left_out); one more group row, all left_out, serves rows
// whose group code is out of range. Entry is std::int16_t, or std::uint8_t where every
// cell and left_out are below 255 (half the table, for the cache).
constexpr std::int32_t kFineAmbiguous = -2;
template <class Entry>
constexpr std::int32_t fine_ambiguous() {
    return sizeof(Entry) == 1 ? 255 : kFineAmbiguous;
}
template <class Entry>
std::vector<Entry> fine_table(const std::vector<std::vector<double>>& edges, const std::vector<double>& lo,
                              const std::vector<double>& hi, const std::vector<std::int64_t>& offsets,
                              std::int32_t missing_cell, std::int32_t left_out, const FineGrid& grid);

}  // namespace tamrel
