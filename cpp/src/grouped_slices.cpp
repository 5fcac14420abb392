#include "tamrel/grouped_slices.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

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

GroupedSlices slice_grouped(const Column& x1, const Column& x2, const ColumnSummary& summary1,
                            std::int64_t max_bins, const Column& scores, const Column& weights,
                            const WeakTest& weak, std::int64_t min_samples) {
    GroupedSlices out;
    const std::int64_t n_bins = std::min(summary1.n_distinct, max_bins);
    out.edges = histogram_edges(summary1.min, summary1.max, n_bins);
    const BinGroups groups = group_by_bin(x1, Rows::all(x1.size), out.edges);
    out.bins.resize(static_cast<size_t>(n_bins));
    for (std::int64_t b = 0; b < n_bins; ++b) {
        FirstFeatureBin& bin = out.bins[b];
        bin.lb1 = std::max(summary1.min, out.edges[b]);
        bin.ub1 = std::min(summary1.max, out.edges[b + 1]);
        bin.support = groups.offsets[b + 1] - groups.offsets[b];
        if (bin.support == 0) continue;
        const Rows rows = Rows::subset(groups.order.data() + groups.offsets[b], bin.support);
        bin.summary2 = summarize(x2, rows, max_bins);
        if (!bin.summary2.finite) {
            out.non_finite_bin = b;
            return out;
        }
        bin.slices = slice_histogram(x2, rows, bin.summary2, max_bins, scores, weights, weak, min_samples);
        GroupPercentiles positions(x2, rows, &bin.slices);
        for (const SliceRule& r : bin.slices.regions) {
            // The upper bound counts its own values only where the region is closed there.
            const double ub2q = r.ub == bin.summary2.max ? positions.weak(r.ub) : positions.strict(r.ub);
            bin.regions.push_back(BinRegion{r.lb, r.ub, positions.strict(r.lb), ub2q});
        }
    }
    return out;
}

}  // namespace tamrel
