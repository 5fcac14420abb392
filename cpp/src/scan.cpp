#include "tamrel/scan.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
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
    if (static_cast<std::int64_t>(distinct.size()) < cap) {
        if (v == 0.0) v = 0.0;
        auto it = std::lower_bound(distinct.begin(), distinct.end(), v);
        if (it == distinct.end() || *it != v) distinct.insert(it, v);
    }
}

void RangeSketch::merge(const RangeSketch& o) {
    if (o.count > 0) {
        min = count ? std::min(min, o.min) : o.min;
        max = count ? std::max(max, o.max) : o.max;
    }
    count += o.count;
    missing += o.missing;
    infinite += o.infinite;
    std::vector<double> both;
    std::set_union(distinct.begin(), distinct.end(), o.distinct.begin(), o.distinct.end(), std::back_inserter(both));
    if (static_cast<std::int64_t>(both.size()) > cap) both.resize(static_cast<size_t>(cap));
    distinct.swap(both);
}

ColumnSummary RangeSketch::summary() const {
    ColumnSummary s;
    s.min = min;
    s.max = max;
    s.finite = infinite == 0;
    s.n_distinct = static_cast<std::int64_t>(distinct.size());
    return s;
}

namespace {

// The row's group, or -1 for a row left out (codes outside the groups included).
inline std::int64_t group_of(const UnitInput& in, std::int64_t r) {
    if (!in.group) return 0;
    const std::int64_t g = in.group[r];
    return g < in.n_groups ? g : -1;
}

}  // namespace

std::vector<RangeSketch> unit_ranges(const UnitInput& in, std::int64_t n_rows, std::int64_t cap) {
    std::vector<RangeSketch> out(static_cast<size_t>(in.n_groups), RangeSketch(cap));
    for (std::int64_t r = 0; r < n_rows; ++r) {
        const std::int64_t g = group_of(in, r);
        if (g >= 0) out[g].add(in.num[r]);
    }
    return out;
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
            l.edges[g] = bin_edges(s.summary(), max_bins);
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

void bin_codes(const double* x, std::int64_t n_rows, const std::vector<double>& edges, double lo, double hi,
               std::int32_t* out) {
    if (edges.empty()) {
        std::fill(out, out + n_rows, -1);
        return;
    }
    const BinLocator locate(edges);
    for (std::int64_t r = 0; r < n_rows; ++r) {
        const double v = x[r];
        out[r] = (v >= lo && v <= hi) ? static_cast<std::int32_t>(locate(v)) : -1;  // NaN fails both
    }
}

namespace {

template <bool Weighted, bool Moments>
inline void add_row(CellSums& c, double s, double w) {
    ++c.count;
    c.s.add(s);
    if (Weighted) {
        c.w.add(w);
        c.ws.add(w * s);
    }
    if (Moments) {
        if (!Weighted) {
            c.w.add(1.0);
            c.ws.add(s);
        }
        c.ws2 += w * s * s;
        c.w2 += w * w;
    }
}

template <bool Weighted, bool Moments>
void sums_loop(const UnitInput& in, const UnitLayout& layout, std::int64_t n_rows, const double* scores,
               const double* weights, std::vector<CellSums>& out) {
    const std::int64_t missing = layout.offsets.back();
    if (layout.numeric) {
        std::vector<BinLocator> locate;
        locate.reserve(layout.edges.size());
        static const std::vector<double> kNoEdges{0.0, 1.0};
        for (const auto& e : layout.edges) locate.emplace_back(e.empty() ? kNoEdges : e);
        for (std::int64_t r = 0; r < n_rows; ++r) {
            const std::int64_t g = group_of(in, r);
            if (g < 0) continue;
            const double v = in.num[r];
            std::int64_t cell;
            if (std::isnan(v)) {
                if (!layout.missing_cell) continue;
                cell = missing;
            } else {
                if (!(v >= layout.lo[g] && v <= layout.hi[g]) || layout.edges[g].empty()) continue;
                cell = layout.offsets[g] + locate[g](v);
            }
            add_row<Weighted, Moments>(out[cell], scores[r], Weighted ? weights[r] : 1.0);
        }
    } else {
        for (std::int64_t r = 0; r < n_rows; ++r) {
            const std::int64_t g = group_of(in, r);
            if (g < 0) continue;
            const std::int32_t c = in.cat[r];
            if (c >= layout.n_cat) continue;
            std::int64_t cell;
            if (c < 0) {
                if (!layout.missing_cell) continue;
                cell = missing;
            } else {
                cell = layout.offsets[g] + c;
            }
            add_row<Weighted, Moments>(out[cell], scores[r], Weighted ? weights[r] : 1.0);
        }
    }
}

}  // namespace

std::vector<CellSums> unit_sums(const UnitInput& in, const UnitLayout& layout, std::int64_t n_rows,
                                const double* scores, const double* weights, bool moments) {
    std::vector<CellSums> out(static_cast<size_t>(layout.n_cells()));
    if (weights) {
        moments ? sums_loop<true, true>(in, layout, n_rows, scores, weights, out)
                : sums_loop<true, false>(in, layout, n_rows, scores, weights, out);
    } else {
        moments ? sums_loop<false, true>(in, layout, n_rows, scores, weights, out)
                : sums_loop<false, false>(in, layout, n_rows, scores, weights, out);
    }
    return out;
}

namespace {

double cell_mean(const CellSums& c, bool weighted) { return slice_mean(c.ws, c.w, c.s, c.count, weighted); }

bool weak_cell(const CellSums& c, bool weighted, const WeakTest& weak, double min_samples) {
    return c.count > 0 && min_samples <= static_cast<double>(c.count) && weak(cell_mean(c, weighted));
}

// The histogram slicing of one group, on its cells.
void group_intervals(const UnitLayout& layout, std::int64_t g, const std::vector<CellSums>& sums, bool weighted,
                     const WeakTest& weak, double min_samples, std::vector<UnitRegion>& out) {
    const auto& edges = layout.edges[g];
    if (edges.empty()) return;
    const std::int64_t first = layout.offsets[g], n_bins = layout.offsets[g + 1] - first;
    BinSums bins(n_bins);
    for (std::int64_t b = 0; b < n_bins; ++b) {
        const CellSums& c = sums[first + b];
        bins.count[b] = c.count;
        bins.sum_s[b] = c.s;
        bins.sum_w[b] = c.w;
        bins.sum_ws[b] = c.ws;
    }
    HistogramSlices h;
    h.edges = edges;
    h.lbold = layout.lo[g];
    h.ubold = layout.hi[g];
    score_bins(bins, weighted, weak, h);
    if (h.weak_bins.empty()) return;
    merge_weak_bins(bins, weighted, min_samples, h);
    for (const SliceRule& r : h.regions) {
        // The bins a region covers, as range_sums reads them (a single bin covers all).
        std::int64_t lo = 0, hi = n_bins;
        if (n_bins > 1) {
            lo = std::lower_bound(edges.begin(), edges.end(), r.lb) - edges.begin();
            if (r.ub != h.ubold) hi = std::lower_bound(edges.begin(), edges.end(), r.ub) - edges.begin();
        }
        UnitRegion region;
        region.group = g;
        region.first_cell = first + lo;
        region.last_cell = first + std::min(hi, n_bins);
        region.lb = r.lb;
        region.ub = r.ub;
        out.push_back(region);
    }
}

}  // namespace

std::vector<UnitRegion> unit_regions(const UnitLayout& layout, const std::vector<CellSums>& sums, bool weighted,
                                     const WeakTest& weak, double min_samples) {
    std::vector<UnitRegion> out;
    const std::int64_t n_groups = static_cast<std::int64_t>(layout.offsets.size()) - 1;
    for (std::int64_t g = 0; g < n_groups; ++g) {
        if (layout.numeric) {
            group_intervals(layout, g, sums, weighted, weak, min_samples, out);
            continue;
        }
        for (std::int64_t c = 0; c < layout.n_cat; ++c) {
            const std::int64_t cell = layout.offsets[g] + c;
            if (!weak_cell(sums[cell], weighted, weak, min_samples)) continue;
            UnitRegion region;
            region.kind = RegionKind::category;
            region.group = g;
            region.first_cell = cell;
            region.last_cell = cell + 1;
            region.category = c;
            out.push_back(region);
        }
    }
    if (layout.missing_cell) {
        const std::int64_t cell = layout.offsets.back();
        if (weak_cell(sums[cell], weighted, weak, min_samples)) {
            UnitRegion region;
            region.kind = RegionKind::missing;
            region.first_cell = cell;
            region.last_cell = cell + 1;
            out.push_back(region);
        }
    }
    return out;
}

CellSums region_sums(const UnitRegion& region, const std::vector<CellSums>& sums) {
    CellSums total;
    for (std::int64_t c = region.first_cell; c < region.last_cell; ++c) total.merge(sums[c]);
    return total;
}

}  // namespace tamrel
