// Equal-width binning of one feature, exactly as numpy.histogram draws its edges.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "tamrel/column.hpp"
#include "tamrel/compensated.hpp"

namespace tamrel {

struct ColumnSummary {
    double min = 0.0;
    double max = 0.0;
    bool finite = true;            // false when any value is NaN or infinite
    std::int64_t n_distinct = 0;   // number of distinct values, counted up to the cap
};

// One pass: minimum, maximum, finiteness, and distinct values counted up to `cap`
// (counting stops mattering once `cap` values are seen, so no sort is needed).
ColumnSummary summarize(const Column& x, const Rows& rows, std::int64_t cap);

// numpy.histogram edges: arange(n+1) * ((max-min)/n) + min with the last edge forced
// to max; a constant column spans [v - 0.5, v + 0.5].
std::vector<double> histogram_edges(double min, double max, std::int64_t n_bins);

// Edges of a summarised feature cut into as many bins as it has distinct values, at most
// max_bins. Like numpy.histogram, refuses (std::domain_error) a range that gives no
// strictly increasing finite edges: a span overflowing double, or narrower than the bins.
std::vector<double> bin_edges(const ColumnSummary& summary, std::int64_t max_bins);

// Bin of v for ascending edges e[0..n]: the largest k with e[k] <= v, kept inside
// [0, n-1], so values at the last edge fall in the last bin (closed on the right).
// The division only guesses; comparisons with the actual edges decide.
class BinLocator {
public:
    explicit BinLocator(const std::vector<double>& edges);
    // Defined here so that per-row loops inline it.
    std::int64_t operator()(double v) const {
        const double guess = (v - lo_) * inv_width_;
        std::int64_t k = guess > 0 ? static_cast<std::int64_t>(std::min(guess, static_cast<double>(n_bins_ - 1))) : 0;
        // Walk to the largest k with edges[k] <= v (edges may hold repeats when the span is tiny).
        while (k > 0 && v < edges_[k]) --k;
        while (k + 1 < n_bins_ && edges_[k + 1] <= v) ++k;
        return k;
    }
    std::int64_t n_bins() const { return n_bins_; }

private:
    const std::vector<double>& edges_;
    std::int64_t n_bins_;
    double lo_;
    double inv_width_;
};

// A power of two that brings the largest weight magnitude over the rows near 1. Weighted
// means do not change when all weights are scaled, and a power of two scales them
// exactly, but the scaled sums cannot overflow (weights around 1e306 would). 1 without
// a positive finite weight.
double weight_scale(const Column& weights, const Rows& rows);
// The same factor for a largest weight magnitude `top` (found over several blocks of rows).
double weight_scale_for(double top);

// Per-bin accumulators of per-sample scores s and weights w.
struct BinSums {
    std::vector<CompensatedSum> sum_ws;  // sum of w * s (weighted runs only, w scaled)
    std::vector<CompensatedSum> sum_w;   // sum of w (weighted runs only, w scaled)
    std::vector<CompensatedSum> sum_s;   // sum of s
    std::vector<std::int64_t> count;

    explicit BinSums(std::int64_t n_bins = 0);
    std::int64_t n_bins() const { return static_cast<std::int64_t>(count.size()); }
};

// One pass over the rows: each row's bin by the edges, its score and weight added there.
// `scores` is indexed like `x`; `weights` may be empty (no weights), else they are
// scaled by weight_scale over the rows.
BinSums accumulate_bins(const Column& x, const Rows& rows, const std::vector<double>& edges,
                        const Column& scores, const Column& weights);

// The counting sort of rows by bin: returns offsets, bin k's run being [offsets[k],
// offsets[k+1]), and calls place(k, slot) for each rows[k] with its position in the
// grouped order (ascending within a bin), so that a caller lays out whatever it needs
// per row in that order in one sequential pass.
template <typename Place>
std::vector<std::int64_t> sort_by_bin(const Column& x, const Rows& rows, const std::vector<double>& edges,
                                      Place&& place) {
    const BinLocator locate(edges);
    const std::int64_t n_bins = locate.n_bins();
    if (n_bins > std::numeric_limits<std::int32_t>::max()) throw std::length_error("too many bins for one feature.");
    std::vector<std::int32_t> bin_of(static_cast<std::size_t>(rows.count));  // narrow: less memory traffic
    std::vector<std::int64_t> offsets(static_cast<std::size_t>(n_bins + 1), 0);
    for (std::int64_t k = 0; k < rows.count; ++k) {
        const auto b = static_cast<std::int32_t>(locate(x[rows[k]]));
        bin_of[static_cast<std::size_t>(k)] = b;
        ++offsets[static_cast<std::size_t>(b) + 1];
    }
    for (std::size_t b = 0; b + 1 < offsets.size(); ++b) offsets[b + 1] += offsets[b];
    std::vector<std::int64_t> fill(offsets.begin(), offsets.end() - 1);
    for (std::int64_t k = 0; k < rows.count; ++k) place(k, fill[static_cast<std::size_t>(bin_of[static_cast<std::size_t>(k)])]++);
    return offsets;
}

// Rows grouped by bin: the rows of bin k are order[offsets[k] .. offsets[k+1]),
// ascending within each bin.
struct BinGroups {
    std::vector<std::int64_t> offsets;
    std::vector<std::int64_t> order;
};
BinGroups group_by_bin(const Column& x, const Rows& rows, const std::vector<double>& edges);

}  // namespace tamrel
