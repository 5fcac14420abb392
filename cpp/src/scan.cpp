#include "tamrel/scan.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <limits>
#include <stdexcept>
#include <mutex>
#include <thread>

namespace tamrel {

void parallel_for(std::int64_t n_tasks, int n_jobs, const std::function<void(std::int64_t)>& f) {
    const int workers = static_cast<int>(std::max<std::int64_t>(1, std::min<std::int64_t>(n_jobs, n_tasks)));
    std::atomic<std::int64_t> next{0};
    std::exception_ptr error;
    std::mutex error_lock;
    auto run = [&] {
        for (std::int64_t t = next++; t < n_tasks; t = next++) {
            try {
                f(t);
            } catch (...) {
                std::lock_guard<std::mutex> guard(error_lock);
                if (!error) error = std::current_exception();
                next = n_tasks;  // stop handing out tasks
            }
        }
    };
    if (workers == 1) {
        run();
    } else {
        std::vector<std::thread> threads;
        for (int k = 0; k < workers; ++k) threads.emplace_back(run);
        for (auto& t : threads) t.join();
    }
    if (error) std::rethrow_exception(error);
}

void RangeSketch::add(double v) {
    if (std::isnan(v)) {
        ++missing;
        return;
    }
    if (std::isinf(v)) {
        ++infinite;
        return;
    }
    if (count == 0) {
        min = max = v;
    } else {
        min = std::min(min, v);
        max = std::max(max, v);
    }
    ++count;
    keep(v);
}

void RangeSketch::keep(double v) {
    if (static_cast<std::int64_t>(distinct.size()) >= cap) return;
    if (v == 0.0) v = 0.0;
    if (cap > kSmallCap) {
        // many values kept: sorting in batches beats inserting in order
        pending_.push_back(v);
        if (static_cast<std::int64_t>(pending_.size()) >= std::max<std::int64_t>(kSmallCap, 2 * static_cast<std::int64_t>(distinct.size())))
            settle();
        return;
    }
    auto it = std::lower_bound(distinct.begin(), distinct.end(), v);
    if (it == distinct.end() || *it != v) distinct.insert(it, v);
}

void RangeSketch::settle() {
    if (pending_.empty()) return;
    std::sort(pending_.begin(), pending_.end());
    std::vector<double> both;
    std::set_union(distinct.begin(), distinct.end(), pending_.begin(), pending_.end(), std::back_inserter(both));
    both.erase(std::unique(both.begin(), both.end()), both.end());
    if (static_cast<std::int64_t>(both.size()) > cap) both.resize(static_cast<size_t>(cap));
    distinct.swap(both);
    pending_.clear();
}

void RangeSketch::merge(const RangeSketch& o) {
    settle();
    if (o.count > 0) {
        min = count ? std::min(min, o.min) : o.min;
        max = count ? std::max(max, o.max) : o.max;
    }
    count += o.count;
    missing += o.missing;
    infinite += o.infinite;
    pending_.insert(pending_.end(), o.distinct.begin(), o.distinct.end());
    pending_.insert(pending_.end(), o.pending_.begin(), o.pending_.end());
    settle();
}

ColumnSummary RangeSketch::summary() const {
    ColumnSummary s;
    s.min = min;
    s.max = max;
    s.finite = infinite == 0;
    s.n_distinct = static_cast<std::int64_t>(distinct.size());
    return s;
}

UnitLayout numeric_layout(const std::vector<RangeSketch>& sketches, std::int64_t max_bins, bool missing_cell) {
    UnitLayout l;
    l.numeric = true;
    l.missing_cell = missing_cell;
    const size_t n = sketches.size();
    l.edges.resize(n);
    l.lo.assign(n, 0.0);
    l.hi.assign(n, 0.0);
    l.offsets.assign(n + 1, 0);
    for (size_t g = 0; g < n; ++g) {
        const RangeSketch& s = sketches[g];
        if (s.count > 0) {
            // One value so large that v - 0.5 and v + 0.5 round to v (an id, a timestamp in
            // nanoseconds): its one bin spans [v, v], as its region's clipped bounds do.
            const bool huge_constant = s.min == s.max && s.min - 0.5 == s.max + 0.5;
            l.edges[g] = huge_constant ? std::vector<double>{s.min, s.max} : bin_edges(s.summary(), max_bins);
            l.lo[g] = s.min;
            l.hi[g] = s.max;
        }
        const std::int64_t bins = l.edges[g].empty() ? 0 : static_cast<std::int64_t>(l.edges[g].size()) - 1;
        l.offsets[g + 1] = l.offsets[g] + bins;
    }
    return l;
}

UnitLayout categorical_layout(std::int64_t n_groups, std::int64_t n_cat, bool missing_cell) {
    UnitLayout l;
    l.numeric = false;
    l.n_cat = n_cat;
    l.missing_cell = missing_cell;
    l.offsets.resize(static_cast<size_t>(n_groups + 1));
    for (std::int64_t g = 0; g <= n_groups; ++g) l.offsets[g] = g * n_cat;
    return l;
}

void gather_columns(const double* x, std::int64_t row_stride, std::int64_t col_stride, const std::int64_t* rows,
                    std::int64_t m, const std::vector<std::int64_t>& cols, double* out, int n_jobs) {
    constexpr std::int64_t kRows = 1 << 14;
    const std::int64_t p = static_cast<std::int64_t>(cols.size());
    parallel_for((m + kRows - 1) / kRows, n_jobs, [&](std::int64_t t) {
        const std::int64_t end = std::min(m, (t + 1) * kRows);
        for (std::int64_t k = t * kRows; k < end; ++k) {
            const double* row = x + rows[k] * row_stride;
            for (std::int64_t j = 0; j < p; ++j) out[j * m + k] = row[cols[j] * col_stride];
        }
    });
}

void bin_codes(const double* x, std::int64_t n_rows, const std::vector<double>& edges, double lo, double hi,
               std::int32_t* out, const std::uint16_t* fine, const FineGrid& grid) {
    if (edges.empty()) {
        std::fill(out, out + n_rows, -1);
        return;
    }
    const BinLocator locate(edges);
    auto exact = [&](double v) {
        return (v >= lo && v <= hi) ? static_cast<std::int32_t>(locate(v)) : -1;  // NaN fails both
    };
    if (!fine) {
        for (std::int64_t r = 0; r < n_rows; ++r) out[r] = exact(x[r]);
        return;
    }
    const auto n_bins = static_cast<std::int64_t>(edges.size()) - 1;
    const auto table = fine_table<std::int16_t>({edges}, {lo}, {hi}, {0, n_bins}, -1, -1, grid);
    for (std::int64_t r = 0; r < n_rows; ++r) {
        const std::int32_t c = table[fine[r]];
        out[r] = c == kFineAmbiguous ? exact(x[r]) : c;
    }
}

CellScores cell_means(const std::vector<CellSums>& sums, bool weighted) {
    CellScores out;
    out.score.reserve(sums.size());
    out.count.reserve(sums.size());
    for (const CellSums& c : sums) {
        out.score.push_back(slice_mean(c.ws, c.w, c.s, c.count, weighted));
        out.count.push_back(c.count);
    }
    return out;
}

namespace {

bool weak_cell(const CellScores& cells, std::int64_t cell, const WeakTest& weak, double min_samples) {
    const std::int64_t n = cells.count[cell];
    return n > 0 && min_samples <= static_cast<double>(n) && weak(cells.score[cell], n);
}

UnitRegion cell_region(RegionKind kind, std::int64_t group, std::int64_t cell) {
    UnitRegion region;
    region.kind = kind;
    region.group = group;
    region.first_cell = cell;
    region.last_cell = cell + 1;
    return region;
}

// The histogram slicing of one group, on its cells.
void group_intervals(const UnitLayout& layout, std::int64_t g, const CellScores& cells, bool merge,
                     const WeakTest& weak, double min_samples, std::vector<UnitRegion>& out) {
    const auto& edges = layout.edges[g];
    if (edges.empty()) return;
    const std::int64_t first = layout.offsets[g], n_bins = layout.offsets[g + 1] - first;
    HistogramSlices h;
    h.edges = edges;
    h.lbold = layout.lo[g];
    h.ubold = layout.hi[g];
    h.bin_rules.resize(static_cast<size_t>(n_bins));
    std::vector<std::int64_t> counts(static_cast<size_t>(n_bins));
    for (std::int64_t b = 0; b < n_bins; ++b) {
        SliceRule& rule = h.bin_rules[b];
        rule.lb = edges[b];
        rule.ub = edges[b + 1];
        rule.value = cells.score[first + b];
        rule.count = counts[b] = cells.count[first + b];
    }
    mark_weak_bins(weak, h);
    if (h.weak_bins.empty()) return;
    if (merge) {
        merge_weak_regions(counts, min_samples, h);
    } else {
        for (std::int64_t b : h.weak_bins) {
            if (min_samples > static_cast<double>(counts[b])) continue;
            h.regions.push_back(SliceRule{std::max(edges[b], h.lbold), std::min(edges[b + 1], h.ubold), 0.0, 0});
        }
    }
    for (const SliceRule& r : h.regions) {
        // The bins a region covers, as range_sums reads them (a single bin covers all).
        BinRange bins{0, n_bins};
        if (n_bins > 1) bins = bin_range(edges, r.lb, r.ub, r.ub == h.ubold);
        UnitRegion region;
        region.group = g;
        region.first_cell = first + bins.first;
        region.last_cell = first + std::min(bins.last, n_bins);
        region.lb = r.lb;
        region.ub = r.ub;
        out.push_back(region);
    }
}

}  // namespace

std::vector<UnitRegion> unit_regions(const UnitLayout& layout, const CellScores& cells, bool merge,
                                     const WeakTest& weak, double min_samples) {
    if (static_cast<std::int64_t>(cells.score.size()) != layout.n_cells() ||
        cells.count.size() != cells.score.size())
        throw std::invalid_argument("cell scores do not fit the unit.");
    std::vector<UnitRegion> out;
    const std::int64_t n_groups = static_cast<std::int64_t>(layout.offsets.size()) - 1;
    for (std::int64_t g = 0; g < n_groups; ++g) {
        if (layout.numeric) {
            group_intervals(layout, g, cells, merge, weak, min_samples, out);
            continue;
        }
        for (std::int64_t c = 0; c < layout.n_cat; ++c) {
            const std::int64_t cell = layout.offsets[g] + c;
            if (!weak_cell(cells, cell, weak, min_samples)) continue;
            out.push_back(cell_region(RegionKind::category, g, cell));
            out.back().category = c;
        }
    }
    if (layout.missing_cell) {
        const std::int64_t cell = layout.offsets.back();
        if (weak_cell(cells, cell, weak, min_samples)) out.push_back(cell_region(RegionKind::missing, 0, cell));
    }
    return out;
}

CellSums total_sums(const double* scores, const double* weights, std::int64_t n_rows) {
    CellSums t;
    t.count = n_rows;
    for (std::int64_t r = 0; r < n_rows; ++r) {
        const double s = scores[r], w = weights ? weights[r] : 1.0;
        t.s.add(s);
        t.w.add(w);
        t.ws.add(w * s);
        t.ws2 += w * s * s;
        t.w2 += w * w;
        t.ws3 += w * s * s * s;
        t.ws4 += w * s * s * s * s;
    }
    return t;
}

CellSums region_sums(const UnitRegion& region, const std::vector<CellSums>& sums) {
    CellSums total;
    for (std::int64_t c = region.first_cell; c < region.last_cell; ++c) total.merge(sums[c]);
    return total;
}

}  // namespace tamrel
