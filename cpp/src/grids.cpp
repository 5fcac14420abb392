#include "tamrel/grids.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "tamrel/binning.hpp"

namespace tamrel {

namespace {

constexpr std::int64_t kWidening = 10;  // points spliced in for a slice between two grid points
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Applies one rule to the curve; returns false when it covered no point.
bool paint_rule(ScoreCurve& curve, const CurveRule& r, bool closed) {
    bool any = false;
    for (size_t i = 0; i < curve.x.size(); ++i) {
        if (in_interval(curve.x[i], r.lb, r.ub, closed)) {
            curve.y[i] = r.value;
            any = true;
        }
    }
    return any;
}

// Splices kWidening points from lb to ub between the last point below lb and the first
// point at or above ub (the grid is ascending, so everything between them is dropped).
void widen(ScoreCurve& curve, const CurveRule& r) {
    const auto n = static_cast<std::int64_t>(curve.x.size());
    std::int64_t low = -1;  // last position with x < lb
    while (low + 1 < n && curve.x[low + 1] < r.lb) ++low;
    std::int64_t up = low + 1;  // first position with x >= ub
    while (up < n && !(curve.x[up] >= r.ub)) ++up;
    const std::vector<double> fill = linspace(r.lb, r.ub, kWidening);
    ScoreCurve out;
    out.x.reserve(static_cast<size_t>(n + kWidening));
    out.y.reserve(static_cast<size_t>(n + kWidening));
    out.x.assign(curve.x.begin(), curve.x.begin() + (low + 1));
    out.y.assign(curve.y.begin(), curve.y.begin() + (low + 1));
    out.x.insert(out.x.end(), fill.begin(), fill.end());
    out.y.insert(out.y.end(), static_cast<size_t>(kWidening), r.value);
    out.x.insert(out.x.end(), curve.x.begin() + up, curve.x.end());
    out.y.insert(out.y.end(), curve.y.begin() + up, curve.y.end());
    curve = std::move(out);
}

double mean_position(const std::vector<std::int64_t>& pos) {
    if (pos.empty()) return kNaN;
    double s = 0.0;
    for (std::int64_t p : pos) s += static_cast<double>(p);
    return s / static_cast<double>(pos.size());
}

}  // namespace

std::vector<double> linspace(double start, double stop, std::int64_t num) {
    std::vector<double> out(static_cast<size_t>(std::max<std::int64_t>(num, 0)));
    if (num <= 0) return out;
    if (num == 1) {
        out[0] = start;
        return out;
    }
    const double div = static_cast<double>(num - 1);
    const double delta = stop - start;
    const double step = delta / div;
    for (std::int64_t i = 0; i < num; ++i) {
        const double t = static_cast<double>(i);
        out[i] = step == 0.0 ? t / div * delta + start : t * step + start;
    }
    out[num - 1] = stop;
    return out;
}

ScoreCurve score_curve(double lo, double hi, std::int64_t grid, const std::vector<CurveRule>& rules) {
    ScoreCurve curve;
    curve.x = linspace(lo, hi, grid);
    curve.y.assign(curve.x.size(), 0.0);
    for (const CurveRule& r : rules) {
        if (std::isnan(r.lb) || std::isnan(r.ub) || r.lb > r.ub) continue;
        if (!paint_rule(curve, r, r.ub == hi)) widen(curve, r);
    }
    return curve;
}

std::vector<std::int64_t> grid_positions(const std::vector<double>& points, double lb, double ub, bool closed) {
    std::vector<std::int64_t> pos;
    for (size_t i = 0; i < points.size(); ++i)
        if (in_interval(points[i], lb, ub, closed)) pos.push_back(static_cast<std::int64_t>(i));
    return pos;
}

std::vector<RegionSpot> paint_regions(double lo1, double hi1, double lo2, double hi2, std::int64_t grid,
                                      const std::vector<Box>& boxes, double* image) {
    const std::vector<double> g1 = linspace(lo1, hi1, grid), g2 = linspace(lo2, hi2, grid);
    std::fill(image, image + grid * grid, -1.0);
    std::vector<RegionSpot> spots;
    spots.reserve(boxes.size());
    for (size_t k = 0; k < boxes.size(); ++k) {
        const Box& b = boxes[k];
        const auto loc1 = grid_positions(g1, b.lb1, b.ub1, b.closed1);
        const auto loc2 = grid_positions(g2, b.lb2, b.ub2, b.closed2);
        const double colour = static_cast<double>(k % 5 + 1);
        for (std::int64_t j : loc2) {
            double* row = image + (grid - 1 - j) * grid;
            for (std::int64_t i : loc1) row[i] = colour;
        }
        spots.push_back(RegionSpot{static_cast<std::int64_t>(loc1.size()), static_cast<std::int64_t>(loc2.size()),
                                   mean_position(loc1), mean_position(loc2)});
    }
    return spots;
}

MarginalHistogram marginal_histogram(const Column& c, std::int64_t max_bins, const Column& scores,
                                     const WeakTest& weak_test) {
    MarginalHistogram h;
    const Rows rows = Rows::all(c.size);
    const ColumnSummary s = summarize(c, rows, max_bins);
    h.edges = bin_edges(s, max_bins);
    const std::int64_t n = static_cast<std::int64_t>(h.edges.size()) - 1;
    const BinLocator locate(h.edges);
    h.count.assign(static_cast<size_t>(n), 0);
    std::vector<std::int64_t> weak(static_cast<size_t>(n), 0);
    const bool shares = !scores.empty();
    for (std::int64_t i = 0; i < c.size; ++i) {
        const std::int64_t b = locate(c[i]);
        ++h.count[b];
        if (shares && weak_test(scores[i], 1)) ++weak[b];  // one row at a time
    }
    h.centres.resize(static_cast<size_t>(n));
    h.density.resize(static_cast<size_t>(n));
    const double total = static_cast<double>(c.size);
    for (std::int64_t b = 0; b < n; ++b) {
        h.centres[b] = (h.edges[b] + h.edges[b + 1]) / 2;
        // numpy: count / bin width / total count
        h.density[b] = static_cast<double>(h.count[b]) / (h.edges[b + 1] - h.edges[b]) / total;
    }
    if (shares) {
        h.weak_share.resize(static_cast<size_t>(n));
        for (std::int64_t b = 0; b < n; ++b)
            h.weak_share[b] = h.count[b] ? static_cast<double>(weak[b]) / static_cast<double>(h.count[b]) : kNaN;
    }
    h.width = n > 1 ? h.centres[1] - h.centres[0] : 0.8;
    return h;
}

}  // namespace tamrel
