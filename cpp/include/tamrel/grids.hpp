// Grids of the marginal view: the one-feature score curve, the two-feature region map and
// the marginal histograms with their weak-side shares.
#pragma once

#include <cstdint>
#include <vector>

#include "tamrel/column.hpp"
#include "tamrel/regions.hpp"
#include "tamrel/slices.hpp"

namespace tamrel {

// numpy.linspace(start, stop, num) with the end point: i * step + start, the last point
// set to stop (i / (num - 1) * (stop - start) + start when the step underflows to 0).
std::vector<double> linspace(double start, double stop, std::int64_t num);

// One slice of the curve: its score on [lb, ub), or on [lb, ub] when ub is the maximum.
struct CurveRule {
    double lb = 0.0, ub = 0.0, value = 0.0;
};

struct ScoreCurve {
    std::vector<double> x, y;
};

// The slice scores on `grid` points from lo to hi (zero where no slice reaches), rules
// applied in order, a later one overwriting an earlier one. A slice that covers no grid
// point (narrower than the spacing) splices 10 points from lb to ub, holding its value,
// between the last point below lb and the first at or above ub; later rules see the
// widened grid. Rules with NaN bounds or lb > ub cover nothing and widen nothing.
ScoreCurve score_curve(double lo, double hi, std::int64_t grid, const std::vector<CurveRule>& rules);

// Grid positions (ascending) inside the box's first or second interval.
std::vector<std::int64_t> grid_positions(const std::vector<double>& points, double lb, double ub, bool closed);

// Where a region landed on the map: the number of grid positions it covers along each
// feature and their mean position (NaN when it covers none).
struct RegionSpot {
    std::int64_t n1 = 0, n2 = 0;
    double mean1 = 0.0, mean2 = 0.0;
};

// Paints the regions on a grid x grid map of the plane [lo1, hi1] x [lo2, hi2] (grid
// points from linspace, ends included), written to `image` (grid * grid doubles) as it is
// shown: row r holds second-feature position grid - 1 - r, column c first-feature position
// c, so the second feature grows upwards. Cells outside every region hold -1; region k
// paints its block (both position sets) with (k mod 5) + 1, a later region over an earlier.
std::vector<RegionSpot> paint_regions(double lo1, double hi1, double lo2, double hi2, std::int64_t grid,
                                      const std::vector<Box>& boxes, double* image);

// A density histogram of one column (numpy.histogram with density true) over n
// equal-width bins, n the number of distinct values capped by max_bins, and per bin the
// share of its samples whose score passes the weak test (NaN for an empty bin). The share is left empty when no scores are given.
struct MarginalHistogram {
    std::vector<double> edges;       // n + 1
    std::vector<double> centres;     // n
    std::vector<double> density;     // n
    std::vector<double> weak_share;  // n, or empty
    std::vector<std::int64_t> count; // n
    double width = 0.8;              // spacing of the first two centres; 0.8 for one bin
};
MarginalHistogram marginal_histogram(const Column& c, std::int64_t max_bins, const Column& scores,
                                     const WeakTest& weak);

}  // namespace tamrel
