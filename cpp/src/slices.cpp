#include "tamrel/slices.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tamrel {

bool inverts_threshold(double threshold, double score_sign) { return score_sign > 0 && threshold > 0; }

double score_multiplier(double threshold, double score_sign) {
    return inverts_threshold(threshold, score_sign) ? 1.0 / threshold : threshold;
}

WeakTest weak_test(double score_sign, double multiplier, double overall, std::int64_t n_total) {
    return WeakTest{score_sign, multiplier * overall, overall, n_total};
}

double slice_mean(const CompensatedSum& sum_ws, const CompensatedSum& sum_w,
                  const CompensatedSum& sum_s, std::int64_t count, bool weighted) {
    if (count == 0) return std::numeric_limits<double>::quiet_NaN();
    if (weighted) {
        const double w = sum_w.value();
        if (w > 0) return sum_ws.value() / w;
    }
    return sum_s.value() / static_cast<double>(count);
}

BinRange bin_range(const std::vector<double>& edges, double lb, double ub, bool right) {
    const std::int64_t n_bins = static_cast<std::int64_t>(edges.size()) - 1;
    BinRange r;
    r.first = std::lower_bound(edges.begin(), edges.end(), lb) - edges.begin();
    r.last = right ? n_bins
                   : std::min<std::int64_t>(std::lower_bound(edges.begin(), edges.end(), ub) - edges.begin(), n_bins);
    return r;
}

RangeSums range_sums(const BinSums& sums, const std::vector<double>& edges, double lb, double ub,
                     bool right) {
    const BinRange bins = bin_range(edges, lb, ub, right);
    RangeSums r;
    for (std::int64_t b = bins.first; b < bins.last; ++b) {
        r.sum_ws.add(sums.sum_ws[b]);
        r.sum_w.add(sums.sum_w[b]);
        r.sum_s.add(sums.sum_s[b]);
        r.count += sums.count[b];
    }
    return r;
}

void score_bins(const BinSums& sums, bool weighted, const WeakTest& weak, HistogramSlices& out) {
    const std::int64_t n_bins = sums.n_bins();
    out.bin_rules.resize(static_cast<size_t>(n_bins));
    for (std::int64_t b = 0; b < n_bins; ++b) {
        SliceRule& rule = out.bin_rules[b];
        rule.lb = out.edges[b];
        rule.ub = out.edges[b + 1];
        rule.count = sums.count[b];
        rule.value = slice_mean(sums.sum_ws[b], sums.sum_w[b], sums.sum_s[b], rule.count, weighted);
    }
    mark_weak_bins(weak, out);
}

void mark_weak_bins(const WeakTest& weak, HistogramSlices& out) {
    out.weak_bins.clear();
    for (size_t b = 0; b < out.bin_rules.size(); ++b) {
        const SliceRule& rule = out.bin_rules[b];
        if (rule.count > 0 && weak(rule.value, rule.count)) out.weak_bins.push_back(static_cast<std::int64_t>(b));
    }
}

namespace {

// Runs of touching weak intervals, in ascending order of lower bound.
std::vector<std::pair<double, double>> merge_intervals(const HistogramSlices& out) {
    std::vector<std::pair<double, double>> pairs;
    for (std::int64_t b : out.weak_bins) pairs.emplace_back(out.bin_rules[b].lb, out.bin_rules[b].ub);
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::pair<double, double>> merged;
    for (const auto& p : pairs) {
        if (!merged.empty() && p.first <= merged.back().second) {
            merged.back().second = std::max(merged.back().second, p.second);
        } else {
            merged.push_back(p);
        }
    }
    return merged;
}

}  // namespace

void merge_weak_regions(const std::vector<std::int64_t>& counts, double min_samples, HistogramSlices& out) {
    out.merged = true;
    out.regions.clear();
    for (const auto& [lb, ub] : merge_intervals(out)) {
        const BinRange bins = bin_range(out.edges, lb, ub, out.ubold == ub);
        std::int64_t count = 0;
        for (std::int64_t b = bins.first; b < bins.last; ++b) count += counts[b];
        if (min_samples > static_cast<double>(count)) continue;
        SliceRule region;
        region.lb = std::max(lb, out.lbold);
        region.ub = std::min(ub, out.ubold);
        out.regions.push_back(region);
    }
}

void merge_weak_bins(const BinSums& sums, bool weighted, double min_samples,
                     HistogramSlices& out) {
    merge_weak_regions(sums.count, min_samples, out);
    out.merged_rules.clear();
    const std::int64_t n_bins = sums.n_bins();
    std::vector<char> excluded(static_cast<size_t>(n_bins), 0);
    for (const SliceRule& region : out.regions) {
        bool any = false;
        double lb = 0.0, ub = 0.0;
        for (std::int64_t b = 0; b < n_bins; ++b) {
            const SliceRule& rule = out.bin_rules[b];
            if (!(rule.lb >= region.lb && rule.ub <= region.ub)) continue;
            lb = any ? std::min(lb, rule.lb) : rule.lb;
            ub = any ? std::max(ub, rule.ub) : rule.ub;
            any = true;
            excluded[b] = 1;
        }
        if (!any) continue;
        const RangeSums r = range_sums(sums, out.edges, lb, ub, out.ubold == ub);
        SliceRule rule{lb, ub, r.count ? slice_mean(r.sum_ws, r.sum_w, r.sum_s, r.count, weighted) : 0.0,
                       r.count};
        out.merged_rules.push_back(rule);
    }
    out.remaining.clear();
    for (std::int64_t b = 0; b < n_bins; ++b)
        if (!excluded[b]) out.remaining.push_back(b);
}

HistogramSlices slice_histogram(const Column& x, const Rows& rows, const ColumnSummary& summary,
                                std::int64_t max_bins, const Column& scores, const Column& weights,
                                const WeakTest& weak, double min_samples) {
    HistogramSlices out;
    out.edges = bin_edges(summary, max_bins);
    out.lbold = summary.min;
    out.ubold = summary.max;
    const BinSums sums = accumulate_bins(x, rows, out.edges, scores, weights);
    const bool weighted = !weights.empty();
    score_bins(sums, weighted, weak, out);
    if (!out.weak_bins.empty()) merge_weak_bins(sums, weighted, min_samples, out);
    return out;
}

}  // namespace tamrel
