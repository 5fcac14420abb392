// Row membership of slices and weak regions, and statistics over member rows.
#pragma once

#include <cstdint>
#include <vector>

#include "tamrel/column.hpp"
#include "tamrel/compensated.hpp"

namespace tamrel {

// lb <= v and (v <= ub when closed, else v < ub).
inline bool in_interval(double v, double lb, double ub, bool closed) {
    return lb <= v && (closed ? v <= ub : v < ub);
}

// Positions (ascending) of the values in [lb, ub) or [lb, ub] when `closed`.
std::vector<std::int64_t> select_range(const Column& x, double lb, double ub, bool closed);

// A weak region: an interval of the first slicing feature and, for two features, of the
// second. Upper bounds are closed only where the flags say so.
struct Box {
    double lb1 = 0.0, ub1 = 0.0;
    bool closed1 = false;
    bool two = false;
    double lb2 = 0.0, ub2 = 0.0;
    bool closed2 = false;

    bool contains(double v1, double v2) const {
        return in_interval(v1, lb1, ub1, closed1) && (!two || in_interval(v2, lb2, ub2, closed2));
    }
};

// The largest value of a column over some rows; `found` tells whether there was any row.
struct MaskedMax {
    double value = 0.0;
    bool found = false;
};

// Boxes looked up by their first-feature interval: the sorted distinct bounds cut the line
// into cells (each bound itself and the open stretches between), and each cell lists the
// boxes whose first-feature interval covers it. A row is then tested only against the
// boxes of its cell, found by a binary search, instead of against every box.
class BoxIndex {
public:
    explicit BoxIndex(const std::vector<Box>& boxes);
    // Rows of (c1, c2) inside each box, ascending (c2 is read only for two-feature boxes).
    std::vector<std::vector<std::int64_t>> members(const Column& c1, const Column& c2) const;
    // Per box, the largest c2 over the rows whose c1 meets the box's first-feature interval.
    std::vector<MaskedMax> first_feature_max(const Column& c1, const Column& c2) const;

private:
    std::size_t cell(double v) const;

    const std::vector<Box>& boxes_;
    std::vector<double> points_;
    std::vector<std::vector<std::int32_t>> cells_;
};

// Sets the closed flags from the sliced data (c1, c2), so that the same flags then serve
// any matrix: ub1 is closed when it equals the largest value of c1, ub2 when it equals
// the largest c2 over the rows whose c1 meets the box's first-feature interval (c2 is
// read only for two-feature boxes).
void close_boxes(std::vector<Box>& boxes, const Column& c1, const Column& c2);

// Member rows of every box in one pass over the matrix (columns c1 and c2; c2 is read
// only for two-feature boxes). Result[k] lists the rows of boxes[k], ascending.
std::vector<std::vector<std::int64_t>> box_members(const Column& c1, const Column& c2,
                                                   const std::vector<Box>& boxes);

// Rows 0..n-1 split by region membership: `weak` lists the member rows of each region in
// region order (a row inside two regions comes twice), `remaining` the rows of no region.
struct RowSplit {
    std::vector<std::int64_t> weak, remaining;
};
RowSplit split_rows(const std::vector<std::vector<std::int64_t>>& members, std::int64_t n);

// Positions of the regions by descending gap, stable, NaN gaps last in their order.
std::vector<std::size_t> order_by_gap(const std::vector<double>& gap);

// Mean of values over the rows: weighted by the weights there when weights are given and
// sum to more than 0, unweighted otherwise; NaN for no row. The weights are scaled first
// (weight_scale), so their sum cannot overflow.
double mean_at(const Column& values, const Rows& rows, const Column& weights);

// values at the rows, in order, into out (out holds rows.count doubles).
void take(const Column& values, const Rows& rows, double* out);

}  // namespace tamrel
