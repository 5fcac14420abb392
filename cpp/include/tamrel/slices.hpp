// Slice scores from per-bin sums, the weak test, and merging of touching weak bins.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "tamrel/binning.hpp"

namespace tamrel {

// How a slice is judged weak: score_sign * score <= score_sign * threshold_value, where
// threshold_value is the score multiplier times the overall score of the analysed rows.
// A slice that holds every analysed row (its count is n_total) has the overall score
// itself: it is judged on `overall`, so that two summations of the same rows, which may
// round apart, cannot decide a tie (threshold 1) differently. NaN is never weak.
struct WeakTest {
    double score_sign = 1.0;
    double threshold_value = 0.0;
    double overall = std::numeric_limits<double>::quiet_NaN();
    std::int64_t n_total = -1;  // -1: no slice is taken for the whole
    bool operator()(double score, std::int64_t count) const {
        const double s = count == n_total ? overall : score;
        return score_sign * s <= score_sign * threshold_value;
    }
};

// The score multiplier of a threshold: inverted (1 / threshold) for a score where higher
// is better, so that "worse by the factor" points the right way; kept as it is otherwise
// and for a threshold of 0 or below.
bool inverts_threshold(double threshold, double score_sign);
double score_multiplier(double threshold, double score_sign);

// The weak test of rows whose overall score is `overall` over `n_total` rows.
WeakTest weak_test(double score_sign, double multiplier, double overall, std::int64_t n_total);

// Mean score of a set of rows from its sums: weighted when weights were given and sum
// to more than 0 over the set, unweighted otherwise; NaN for an empty set.
double slice_mean(const CompensatedSum& sum_ws, const CompensatedSum& sum_w,
                  const CompensatedSum& sum_s, std::int64_t count, bool weighted);

// A slice [lb, ub) of the binned feature with its score and row count.
struct SliceRule {
    double lb = 0.0;
    double ub = 0.0;
    double value = 0.0;
    std::int64_t count = 0;
};

// The result of slicing one feature by histogram bins.
struct HistogramSlices {
    std::vector<double> edges;
    double lbold = 0.0;                  // the feature's minimum
    double ubold = 0.0;                  // the feature's maximum
    std::vector<SliceRule> bin_rules;    // one per bin, in bin order
    std::vector<std::int64_t> weak_bins; // bins that are weak, in bin order
    // After merging (additive metrics only; otherwise left empty / unmerged):
    bool merged = false;
    std::vector<SliceRule> regions;      // kept merged regions, bounds clipped to [lbold, ubold]
    std::vector<SliceRule> merged_rules; // one per kept region that collected bin rules
    std::vector<std::int64_t> remaining; // bins whose rules were not merged, in bin order
};

// Sums of the rows of the bins that make up [lb, ub) of the edges (closed at ub when
// `right`): bins from the first edge >= lb up to the first edge >= ub, or to the end
// when closed. Exact because lb and ub are edge values.
struct RangeSums {
    CompensatedSum sum_ws, sum_w, sum_s;
    std::int64_t count = 0;
};
RangeSums range_sums(const BinSums& sums, const std::vector<double>& edges, double lb, double ub,
                     bool right);

// The bins [first, last) that make up [lb, ub) of the edges, as range_sums reads them.
struct BinRange {
    std::int64_t first = 0, last = 0;
};
BinRange bin_range(const std::vector<double>& edges, double lb, double ub, bool right);

// Rules per bin from the sums, and the weak bins (non-empty bins passing the test).
void score_bins(const BinSums& sums, bool weighted, const WeakTest& weak, HistogramSlices& out);

// The weak bins of out.bin_rules (their values and counts set): non-empty bins passing
// the test, in bin order.
void mark_weak_bins(const WeakTest& weak, HistogramSlices& out);

// Touching weak bins merged into regions, those with fewer than min_samples rows (by the
// bins' counts) dropped, bounds clipped to [lbold, ubold]: out.regions.
void merge_weak_regions(const std::vector<std::int64_t>& counts, double min_samples, HistogramSlices& out);

// merge_weak_regions, then the bin rules inside each kept region replaced by one merged
// rule.
void merge_weak_bins(const BinSums& sums, bool weighted, double min_samples,
                     HistogramSlices& out);

// The whole additive one-feature analysis of `rows` of x: summary must be finite.
HistogramSlices slice_histogram(const Column& x, const Rows& rows, const ColumnSummary& summary,
                                std::int64_t max_bins, const Column& scores, const Column& weights,
                                const WeakTest& weak, double min_samples);

}  // namespace tamrel
