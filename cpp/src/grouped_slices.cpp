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
    const BinLocator locate(edges);
    const std::int64_t n = x1.size, n_bins = locate.n_bins();
    if (n_bins > std::numeric_limits<std::int32_t>::max()) throw std::length_error("too many bins for one feature.");
    std::vector<std::int32_t> bin_of(static_cast<size_t>(n));
    GroupedValues g;
    g.offsets.assign(static_cast<size_t>(n_bins + 1), 0);
    for (std::int64_t i = 0; i < n; ++i) {
        bin_of[i] = static_cast<std::int32_t>(locate(x1[i]));
        ++g.offsets[bin_of[i] + 1];
    }
    for (std::int64_t b = 0; b < n_bins; ++b) g.offsets[b + 1] += g.offsets[b];
    std::vector<std::int64_t> fill(g.offsets.begin(), g.offsets.end() - 1);
    const bool weighted = !weights.empty();
    g.x2.resize(static_cast<size_t>(n));
    g.scores.resize(static_cast<size_t>(n));
    if (weighted) g.weights.resize(static_cast<size_t>(n));
    for (std::int64_t i = 0; i < n; ++i) {
        const std::int64_t at = fill[bin_of[i]]++;
        g.x2[at] = x2[i];
        g.scores[at] = scores[i];
        if (weighted) g.weights[at] = weights[i];
    }
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
    out.edges = bin_edges(summary1, max_bins);
    const std::int64_t n_bins = static_cast<std::int64_t>(out.edges.size()) - 1;
    const GroupedValues g = group_values(x1, x2, out.edges, scores, weights);
    out.bins.resize(static_cast<size_t>(n_bins));
    for (std::int64_t b = 0; b < n_bins; ++b) {
        FirstFeatureBin& bin = out.bins[b];
        bin.lb1 = std::max(summary1.min, out.edges[b]);
        bin.ub1 = std::min(summary1.max, out.edges[b + 1]);
        const std::int64_t start = g.offsets[b];
        bin.support = g.offsets[b + 1] - start;
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
        for (const SliceRule& r : bin.slices.regions) {
            // The upper bound counts its own values only where the region is closed there.
            const double ub2q = r.ub == bin.summary2.max ? positions.weak(r.ub) : positions.strict(r.ub);
            bin.regions.push_back(BinRegion{r.lb, r.ub, positions.strict(r.lb), ub2q});
        }
    }
    return out;
}

}  // namespace tamrel
