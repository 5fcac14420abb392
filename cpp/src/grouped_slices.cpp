#include "tamrel/grouped_slices.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace tamrel {

GroupPercentiles::GroupPercentiles(const Column& x, const Rows& rows, const HistogramSlices* hist)
    : x_(x), rows_(rows), hist_(hist) {}

double GroupPercentiles::strict(double t) {
    if (rows_.count == 0 || std::isnan(t)) return std::numeric_limits<double>::quiet_NaN();
    return static_cast<double>(count_below(t, false)) * (100.0 / static_cast<double>(rows_.count));
}

double GroupPercentiles::weak(double t) {
    if (rows_.count == 0 || std::isnan(t)) return std::numeric_limits<double>::quiet_NaN();
    return static_cast<double>(count_below(t, true)) * (100.0 / static_cast<double>(rows_.count));
}

BinRegion GroupPercentiles::region(double lb2, double ub2, double group_max) {
    return BinRegion{lb2, ub2, strict(lb2), ub2 == group_max ? weak(ub2) : strict(ub2)};
}

std::int64_t GroupPercentiles::count_below(double t, bool inclusive) {
    if (hist_) {
        if (inclusive && t >= hist_->ubold) return rows_.count;
        if (!inclusive && t <= hist_->lbold) return 0;
        const auto& e = hist_->edges;
        const auto n_bins = static_cast<std::int64_t>(hist_->bin_rules.size());
        const std::int64_t k = std::lower_bound(e.begin(), e.end(), t) - e.begin();
        if (!inclusive && k < n_bins && e[k] == t) {
            if (prefix_.empty()) {
                prefix_.assign(static_cast<size_t>(n_bins + 1), 0);
                for (std::int64_t b = 0; b < n_bins; ++b) prefix_[b + 1] = prefix_[b] + hist_->bin_rules[b].count;
            }
            return prefix_[k];
        }
    }
    if (sorted_.empty()) {
        sorted_.resize(static_cast<size_t>(rows_.count));
        for (std::int64_t k = 0; k < rows_.count; ++k) sorted_[k] = x_[rows_[k]];
        std::sort(sorted_.begin(), sorted_.end());
    }
    const auto it = inclusive ? std::upper_bound(sorted_.begin(), sorted_.end(), t)
                              : std::lower_bound(sorted_.begin(), sorted_.end(), t);
    return it - sorted_.begin();
}

FirstFeatureBins first_feature_bins(const ColumnSummary& summary1, std::int64_t max_bins) {
    FirstFeatureBins f;
    f.edges = bin_edges(summary1, max_bins);
    const std::size_t n_bins = f.edges.size() - 1;
    f.lb1.resize(n_bins);
    f.ub1.resize(n_bins);
    for (std::size_t b = 0; b < n_bins; ++b) {
        f.lb1[b] = std::max(summary1.min, f.edges[b]);
        f.ub1[b] = std::min(summary1.max, f.edges[b + 1]);
    }
    return f;
}

namespace {

// The rows' second-feature values, scores and weights laid out group after group (rows
// ascending within a group), so that each group is read as contiguous memory: reading a
// group's rows in place would sweep the whole matrix once per group.
struct GroupedValues {
    std::vector<std::int64_t> offsets;
    std::vector<double> x2, scores, weights;
};

GroupedValues group_values(const Column& x1, const Column& x2, const std::vector<double>& edges,
                           const Column& scores, const Column& weights) {
    const auto n = static_cast<std::size_t>(x1.size);
    GroupedValues g;
    g.x2.resize(n);
    g.scores.resize(n);
    if (!weights.empty()) g.weights.resize(n);
    const bool weighted = !weights.empty();
    g.offsets = sort_by_bin(x1, Rows::all(x1.size), edges, [&](std::int64_t i, std::int64_t slot) {
        const auto at = static_cast<std::size_t>(slot);
        g.x2[at] = x2[i];
        g.scores[at] = scores[i];
        if (weighted) g.weights[at] = weights[i];
    });
    return g;
}

Column group_column(const std::vector<double>& values, std::int64_t start, std::int64_t m) {
    return values.empty() ? Column() : Column(values.data() + start, m);
}

}  // namespace

GroupedSlices slice_grouped(const Column& x1, const Column& x2, const ColumnSummary& summary1,
                            std::int64_t max_bins, const Column& scores, const Column& weights,
                            const WeakTest& weak, double min_samples) {
    GroupedSlices out;
    const FirstFeatureBins first = first_feature_bins(summary1, max_bins);
    out.edges = first.edges;
    const std::int64_t n_bins = first.n_bins();
    const GroupedValues g = group_values(x1, x2, first.edges, scores, weights);
    out.bins.resize(static_cast<std::size_t>(n_bins));
    for (std::int64_t b = 0; b < n_bins; ++b) {
        FirstFeatureBin& bin = out.bins[static_cast<std::size_t>(b)];
        bin.lb1 = first.lb1[static_cast<std::size_t>(b)];
        bin.ub1 = first.ub1[static_cast<std::size_t>(b)];
        const std::int64_t start = g.offsets[static_cast<std::size_t>(b)];
        bin.support = g.offsets[static_cast<std::size_t>(b) + 1] - start;
        if (bin.support == 0) continue;
        const Column values = group_column(g.x2, start, bin.support);
        const Rows rows = Rows::all(bin.support);
        bin.summary2 = summarize(values, rows, max_bins);
        if (!bin.summary2.finite) {
            out.non_finite_bin = b;
            return out;
        }
        bin.slices = slice_histogram(values, rows, bin.summary2, max_bins, group_column(g.scores, start, bin.support),
                                     group_column(g.weights, start, bin.support), weak, min_samples);
        GroupPercentiles positions(values, rows, &bin.slices);
        for (const SliceRule& r : bin.slices.regions)
            bin.regions.push_back(positions.region(r.lb, r.ub, bin.summary2.max));
    }
    return out;
}

}  // namespace tamrel
