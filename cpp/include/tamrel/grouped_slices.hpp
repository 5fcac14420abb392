// Two-feature histogram slicing: the rows grouped by first-feature bin in one pass, then
// the second feature binned, scored and merged inside each group.
#pragma once

#include <cstdint>
#include <vector>

#include "tamrel/binning.hpp"
#include "tamrel/slices.hpp"

namespace tamrel {

// A weak region of the second feature inside one first-feature bin, with the
// percentile positions of its bounds among the bin's second-feature values.
struct BinRegion {
    double lb2 = 0.0, ub2 = 0.0;
    double lb2q = 0.0, ub2q = 0.0;
};

// Percentile positions of values inside one group of rows, as
// scipy.stats.percentileofscore gives them: count * (100 / n).
// With the group's histogram the counts below an inner edge are prefix sums of its bin
// counts (rows below edge k are exactly the rows of bins < k); any other value is
// counted on the group's values, sorted once on first need.
class GroupPercentiles {
public:
    GroupPercentiles(const Column& x, const Rows& rows, const HistogramSlices* hist = nullptr);
    double strict(double t);  // share of values < t
    double weak(double t);    // share of values <= t
    // A region [lb2, ub2) of the group with its positions: ub2 counts its own values only
    // where the region is closed there, at the group's largest value `group_max`.
    BinRegion region(double lb2, double ub2, double group_max);

private:
    std::int64_t count_below(double t, bool inclusive);

    Column x_;
    Rows rows_;
    const HistogramSlices* hist_;
    std::vector<std::int64_t> prefix_;  // rows in bins < k
    std::vector<double> sorted_;
};

// The equal-width bins of the first feature (summary1 finite), and each bin's bounds
// clipped to the feature's range: [max(min, e[b]), min(max, e[b+1])].
struct FirstFeatureBins {
    std::vector<double> edges, lb1, ub1;
    std::int64_t n_bins() const { return static_cast<std::int64_t>(lb1.size()); }
};
FirstFeatureBins first_feature_bins(const ColumnSummary& summary1, std::int64_t max_bins);


// One bin of the first feature and the analysis of the second feature over its rows.
struct FirstFeatureBin {
    double lb1 = 0.0, ub1 = 0.0;  // edges clipped to the first feature's range
    std::int64_t support = 0;
    ColumnSummary summary2;       // second feature over the bin's rows (support > 0)
    HistogramSlices slices;       // filled when support > 0
    std::vector<BinRegion> regions;
};

struct GroupedSlices {
    std::vector<double> edges;  // first-feature edges
    std::vector<FirstFeatureBin> bins;
    std::int64_t non_finite_bin = -1;  // first bin whose second feature is not finite
};

// The additive two-feature analysis of all rows of (x1, x2). summary1 must be finite.
// Each non-empty bin's second feature gets min(distinct values, max_bins) bins of its
// own; weak slices are merged and filtered by min_samples within the bin only. Stops
// at the first bin whose second-feature values are not finite (non_finite_bin).
GroupedSlices slice_grouped(const Column& x1, const Column& x2, const ColumnSummary& summary1,
                            std::int64_t max_bins, const Column& scores, const Column& weights,
                            const WeakTest& weak, double min_samples);

}  // namespace tamrel
