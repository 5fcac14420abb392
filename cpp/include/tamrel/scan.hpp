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
    double ws3 = 0.0;  // sum of w * s^3 (passes of fourth order)
    double ws4 = 0.0;  // sum of w * s^4 (passes of fourth order)
    void merge(const CellSums& o) {
        count += o.count;
        s.add(o.s);
        w.add(o.w);
        ws.add(o.ws);
        ws2 += o.ws2;
        w2 += o.w2;
        ws3 += o.ws3;
        ws4 += o.ws4;
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
// nullptr); the moments up to `order`: 0 (none), 2 (w s^2, w^2) or 4 (also w s^3, w s^4). Units with `bins` also write their rows'
// bin codes there, as bin_codes would by the same edges.
std::vector<std::vector<CellSums>> batch_sums(const std::vector<UnitInput>& units,
                                              const std::vector<const UnitLayout*>& layouts, std::int64_t n_rows,
                                              const double* scores, const double* weights, int order);

// The cell of each of rows 0..n_rows-1 of a unit (-1: the row is in no cell), as
// batch_sums places them (by the unit's fine codes where it has them).
void unit_cells(const UnitInput& unit, const UnitLayout& layout, std::int64_t n_rows, std::int32_t* cells);

// Rank sums of a set of rows for the AUC and DeLong's variance, the rows taken in
// ascending order of their score. For a positive row i, c_i is the weight of the set's
// negative rows scored below it plus half the weight of those tied with it; for a negative
// row j, b_j is the weight of the set's positive rows scored below it plus half of those
// tied. Then AUC = sum_pos w_i c_i / (W_pos W_neg) (the weighted Mann-Whitney statistic,
// as roc_auc_score weights it), and DeLong's components are V10_i = c_i / W_neg and
// V01_j = 1 - b_j / W_pos.
struct RankSums {
    std::int64_t n_pos = 0, n_neg = 0;
    double w_pos = 0.0, w_neg = 0.0;    // weight sums
    double w2_pos = 0.0, w2_neg = 0.0;  // sums of squared weights
    double c1 = 0.0, c2 = 0.0;          // sum over positives of w c and of w c^2
    double b1 = 0.0, b2 = 0.0;          // sum over negatives of w b and of w b^2
};

// RankSums of the rows of each of n_sets sets: set[r] names the set of row r (-1: none).
// `order` lists the rows by ascending score (ties adjacent), `positive` is nonzero for the
// positive class, weights may be nullptr (all 1).
std::vector<RankSums> rank_sums(const std::int64_t* order, std::int64_t n_rows, const double* scores,
                                const std::uint8_t* positive, const double* weights, const std::int32_t* set,
                                std::int64_t n_sets);

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

// The score and row count of every cell of a unit, on the sliced rows.
struct CellScores {
    std::vector<double> score;
    std::vector<std::int64_t> count;
};

// The cell scores of additive metrics: each cell's mean score (slice_mean).
CellScores cell_means(const std::vector<CellSums>& sums, bool weighted);

// Weak regions of a unit from its cells' scores on the sliced rows, by the histogram rules
// (slices.hpp): with `merge` (additive metrics) touching weak bins of a numeric cut merge
// into one region per run, otherwise every weak bin is a region of its own; regions, and
// category and missing cells, need at least min_samples rows. Interval bounds are clipped
// to the group's range, for every metric. In group order, intervals by lower bound.
std::vector<UnitRegion> unit_regions(const UnitLayout& layout, const CellScores& cells, bool merge,
                                     const WeakTest& weak, double min_samples);

// The sums of rows 0..n_rows-1 as one cell (weights may be nullptr; with moments).
CellSums total_sums(const double* scores, const double* weights, std::int64_t n_rows);

// The cells of a region summed.
CellSums region_sums(const UnitRegion& region, const std::vector<CellSums>& sums);

}  // namespace tamrel
