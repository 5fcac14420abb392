// Scanning many slicings of one data set at once: every feature alone and every pair.
//
// A slicing "unit" groups the rows by the codes of a grouping feature (the bins of a
// numeric feature, or the categories of a categorical one; no grouping for a feature on
// its own) and cuts a second column inside each group: a numeric column by its own
// equal-width bins over the group's range, a categorical one by value. Every pass below
// is a function of some rows that returns partial results which merge exactly, so the
// passes can run over row blocks separately and be combined:
//   1. batch_ranges: per group, the range sketch of the numeric cut values;
//   2. batch_sums: given the edges, per cell (group x bin or category) the score sums;
//   3. unit_regions: weak cells merged into regions by the histogram rules (slices.hpp);
//   4. region_stats: counts, scores and second moments of each region on any rows'
//      sums, read off the cells of the region.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "tamrel/binning.hpp"
#include "tamrel/compensated.hpp"
#include "tamrel/fine_codes.hpp"
#include "tamrel/slices.hpp"

namespace tamrel {

// Run f(0..n_tasks-1) on up to n_jobs threads (tasks taken in turn from a shared counter).
// The first exception thrown by a task is rethrown after all threads have stopped.
void parallel_for(std::int64_t n_tasks, int n_jobs, const std::function<void(std::int64_t)>& f);

// Range of the finite values of a column over some rows, with its distinct values kept
// up to `cap`: the parts of a ColumnSummary that merge across row blocks.
struct RangeSketch {
    double min = 0.0, max = 0.0;
    std::int64_t count = 0;      // finite values
    std::int64_t missing = 0;    // NaN values
    std::int64_t infinite = 0;   // +-inf values
    std::int64_t cap = 0;
    std::vector<double> distinct;  // sorted, at most cap values (-0.0 counted as 0.0)

    explicit RangeSketch(std::int64_t cap_ = 0) : cap(cap_) {}
    void add(double v);
    // The distinct-value part of add() for a finite v already counted.
    void keep(double v);
    void merge(const RangeSketch& other);
    // Sort the values gathered unsorted under a large cap into `distinct`; add() and
    // merge() leave the sketch settled only for caps up to kSmallCap.
    void settle();
    ColumnSummary summary() const;  // finite is false when any value was infinite

private:
    static constexpr std::int64_t kSmallCap = 256;
    std::vector<double> pending_;  // large caps: values appended, sorted and deduplicated in batches
};

// Score sums of the rows of one cell: the core's bin sums plus the second moments that
// the significance test reads (weights count as 1 when there are none). The kernels add
// each block of 4096 rows plainly and fold the block into these compensated sums.
struct CellSums {
    std::int64_t count = 0;
    CompensatedSum s, w, ws;
    double ws2 = 0.0;  // sum of w * s^2
    double w2 = 0.0;   // sum of w^2
    void merge(const CellSums& o) {
        count += o.count;
        s.add(o.s);
        w.add(o.w);
        ws.add(o.ws);
        ws2 += o.ws2;
        w2 += o.w2;
    }
};

// The rows per group of a grouping column, and the rows of its small groups (ascending):
// the ranges pass visits those one by one, so that the small groups' narrow ranges do not
// keep it from skipping the rows that lie inside the large groups' ranges.
struct GroupRows {
    std::vector<std::int64_t> sizes;
    std::vector<char> small;  // per group
    std::vector<std::int64_t> small_rows;
};

// GroupRows of codes 0 .. n_groups - 1 of a grouping column (nullptr: all rows in one group).
GroupRows group_rows_of(const std::int32_t* group, std::int64_t n_rows, std::int64_t n_groups);

// A grouping column's offsets in a fine table per row, min(code, n_groups) * (kFineCodes +
// 1), for up to kOffsetGroups groups (so that they fit 16 bits): the sums pass then adds a
// row's fine code to it, instead of clamping and multiplying its group code per unit.
constexpr std::int64_t kOffsetGroups = 62;
std::vector<std::uint16_t> group_offsets(const std::int32_t* group, std::int64_t n_rows, std::int64_t n_groups);

// What one unit reads: the grouping codes (nullptr: one group of all rows; -1: the row
// is left out) and the cut column, numeric (NaN missing) or categorical (-1 missing).
struct UnitInput {
    const std::int32_t* group = nullptr;
    std::int64_t n_groups = 1;
    const double* num = nullptr;
    const std::int32_t* cat = nullptr;
    std::int64_t n_cat = 0;
    bool missing_cell = false;  // rows whose cut value is missing get a cell of their own
    // Fine codes of a numeric cut (fine_codes.hpp), when there are: the passes then read a
    // row's value only where its code cannot place it.
    const std::uint16_t* fine = nullptr;
    FineGrid grid;
    const GroupRows* grouping = nullptr;  // with fine codes: the grouping's rows (group_rows_of)
    const std::uint16_t* offsets = nullptr;  // with fine codes: the grouping's group_offsets
    // An ungrouped numeric unit's bin code per row (-1: missing or outside the range),
    // written by batch_sums when given: the grouping codes of its feature in pairs.
    std::int32_t* bins = nullptr;
};


// Cells of a unit: group g owns cells offsets[g] .. offsets[g+1]; the missing cell, when
// kept, is the last one. A numeric cut bins group g by edges[g] (empty for a group
// without rows) and leaves out values outside [lo[g], hi[g]], the group's range on the
// rows the edges came from, so that other rows fall in exactly the intervals of the
// regions.
struct UnitLayout {
    bool numeric = true;
    std::vector<std::vector<double>> edges;
    std::vector<double> lo, hi;
    std::int64_t n_cat = 0;
    std::vector<std::int64_t> offsets;
    bool missing_cell = false;
    std::int64_t n_cells() const { return offsets.back() + (missing_cell ? 1 : 0); }
};

// Pass 1 of a batch of units (typically those sharing their grouping codes): per unit, per
// group, the sketch of the numeric cut values of rows 0..n_rows-1.
std::vector<std::vector<RangeSketch>> batch_ranges(const std::vector<UnitInput>& units, std::int64_t n_rows,
                                                   std::int64_t cap);

// Layout from the merged sketches of a numeric cut (bin_edges per non-empty group; a
// group's refusal of its bins is a std::domain_error) or for a categorical cut.
UnitLayout numeric_layout(const std::vector<RangeSketch>& sketches, std::int64_t max_bins, bool missing_cell);
UnitLayout categorical_layout(std::int64_t n_groups, std::int64_t n_cat, bool missing_cell);

// Pass 2 of a batch of units: per unit, the cell sums of rows 0..n_rows-1 (weights may be
// nullptr); second moments only when `moments`. Units with `bins` also write their rows'
// bin codes there, as bin_codes would by the same edges.
std::vector<std::vector<CellSums>> batch_sums(const std::vector<UnitInput>& units,
                                              const std::vector<const UnitLayout*>& layouts, std::int64_t n_rows,
                                              const double* scores, const double* weights, bool moments);

// Codes of a numeric column by its edges: the bin, or -1 for a missing value or one
// outside [lo, hi]; with the column's fine codes, most rows by a table lookup.
void bin_codes(const double* x, std::int64_t n_rows, const std::vector<double>& edges, double lo, double hi,
               std::int32_t* out, const std::uint16_t* fine = nullptr, const FineGrid& grid = FineGrid());

// The rows `rows[0..m)` of columns `cols[0..p)` of a float64 matrix (strides in elements)
// copied column after column (Fortran order, m x p) into out, in n_jobs threads over row
// ranges. Positions must already be checked.
void gather_columns(const double* x, std::int64_t row_stride, std::int64_t col_stride, const std::int64_t* rows,
                    std::int64_t m, const std::vector<std::int64_t>& cols, double* out, int n_jobs);

enum class RegionKind : std::int32_t { interval = 0, missing = 1, category = 2 };

// A weak region of a unit: the cells first_cell .. last_cell - 1 of one group (one cell
// for a category or the missing cell), with the bounds of an interval region.
struct UnitRegion {
    RegionKind kind = RegionKind::interval;
    std::int64_t group = 0;
    std::int64_t first_cell = 0, last_cell = 0;
    double lb = 0.0, ub = 0.0;  // interval regions: bounds clipped to the group's range
    std::int64_t category = -1; // category regions: the code
};

// Weak regions from the sliced rows' cell sums: numeric cuts by score_bins and
// merge_weak_bins per group (additive metrics), categories and the missing cell when
// weak and holding at least min_samples rows. In group order, intervals by lower bound.
std::vector<UnitRegion> unit_regions(const UnitLayout& layout, const std::vector<CellSums>& sums, bool weighted,
                                     const WeakTest& weak, double min_samples);

// The cells of a region summed.
CellSums region_sums(const UnitRegion& region, const std::vector<CellSums>& sums);

}  // namespace tamrel
