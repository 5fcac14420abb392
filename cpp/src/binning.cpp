#include "tamrel/binning.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <unordered_set>

namespace tamrel {

namespace {

// Distinct values seen so far, up to the cap: a small sorted vector for the usual bin
// counts, a hash set for large ones.
class DistinctCounter {
public:
    explicit DistinctCounter(std::int64_t cap) : cap_(std::max<std::int64_t>(cap, 0)) {}
    bool full() const { return count() >= cap_; }
    void add(double v) {
        if (v == 0.0) v = 0.0;  // -0.0 and 0.0 are one value
        if (cap_ > kSmall) {
            hashed_.insert(v);
            return;
        }
        auto it = std::lower_bound(sorted_.begin(), sorted_.end(), v);
        if (it == sorted_.end() || *it != v) sorted_.insert(it, v);
    }
    std::int64_t count() const {
        return static_cast<std::int64_t>(cap_ > kSmall ? hashed_.size() : sorted_.size());
    }

private:
    static constexpr std::int64_t kSmall = 256;
    std::int64_t cap_;
    std::vector<double> sorted_;
    std::unordered_set<double> hashed_;
};

}  // namespace

ColumnSummary summarize(const Column& x, const Rows& rows, std::int64_t cap) {
    ColumnSummary s;
    if (rows.count == 0) return s;
    DistinctCounter distinct(cap);
    double lo = x[rows[0]], hi = lo;
    bool finite = true;
    for (std::int64_t k = 0; k < rows.count; ++k) {
        const double v = x[rows[k]];
        if (!std::isfinite(v)) finite = false;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
        if (!distinct.full()) distinct.add(v);
    }
    s.min = lo;
    s.max = hi;
    s.finite = finite;
    s.n_distinct = distinct.count();
    return s;
}

std::vector<double> histogram_edges(double min, double max, std::int64_t n_bins) {
    if (min == max) {
        min -= 0.5;
        max += 0.5;
    }
    std::vector<double> edges(static_cast<size_t>(n_bins + 1));
    const double step = (max - min) / static_cast<double>(n_bins);
    for (std::int64_t i = 0; i <= n_bins; ++i) edges[i] = static_cast<double>(i) * step + min;
    edges[n_bins] = max;
    return edges;
}

std::vector<double> bin_edges(const ColumnSummary& summary, std::int64_t max_bins) {
    const std::int64_t n_bins = std::min(summary.n_distinct, max_bins);
    std::vector<double> edges = histogram_edges(summary.min, summary.max, n_bins);
    for (size_t i = 0; i + 1 < edges.size(); ++i) {
        if (!(edges[i] < edges[i + 1]) || !std::isfinite(edges[i + 1]))
            throw std::domain_error("Too many bins for data range. Cannot create " + std::to_string(n_bins) +
                                    " finite-sized bins.");
    }
    return edges;
}

BinLocator::BinLocator(const std::vector<double>& edges)
    : edges_(edges), n_bins_(static_cast<std::int64_t>(edges.size()) - 1), lo_(edges.front()) {
    const double span = edges.back() - edges.front();
    inv_width_ = span > 0 ? static_cast<double>(n_bins_) / span : 0.0;
}

double weight_scale(const Column& weights, const Rows& rows) {
    double top = 0.0;
    for (std::int64_t k = 0; k < rows.count; ++k) top = std::max(top, std::fabs(weights[rows[k]]));
    return weight_scale_for(top);
}

double weight_scale_for(double top) {
    if (!(top > 0.0) || !std::isfinite(top)) return 1.0;
    int exponent = 0;
    std::frexp(top, &exponent);
    // Kept within the normal range so that the factor itself is a normal double.
    return std::ldexp(1.0, std::clamp(-exponent, -1022, 1022));
}

BinSums::BinSums(std::int64_t n_bins)
    : sum_ws(n_bins), sum_w(n_bins), sum_s(n_bins), count(n_bins, 0) {}

BinSums accumulate_bins(const Column& x, const Rows& rows, const std::vector<double>& edges,
                        const Column& scores, const Column& weights) {
    const BinLocator locate(edges);
    BinSums sums(locate.n_bins());
    const bool weighted = !weights.empty();
    const double scale = weighted ? weight_scale(weights, rows) : 1.0;
    for (std::int64_t k = 0; k < rows.count; ++k) {
        const std::int64_t r = rows[k];
        const std::int64_t b = locate(x[r]);
        const double s = scores[r];
        sums.sum_s[b].add(s);
        ++sums.count[b];
        if (weighted) {
            const double w = weights[r] * scale;
            sums.sum_w[b].add(w);
            sums.sum_ws[b].add(w * s);
        }
    }
    return sums;
}

BinGroups group_by_bin(const Column& x, const Rows& rows, const std::vector<double>& edges) {
    BinGroups g;
    g.order.resize(static_cast<size_t>(rows.count));
    g.offsets = sort_by_bin(x, rows, edges, [&](std::int64_t k, std::int64_t slot) { g.order[slot] = rows[k]; });
    return g;
}

}  // namespace tamrel
