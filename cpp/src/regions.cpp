#include "tamrel/regions.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "tamrel/binning.hpp"

namespace tamrel {

std::vector<std::int64_t> select_range(const Column& x, double lb, double ub, bool closed) {
    std::vector<std::int64_t> idx;
    for (std::int64_t i = 0; i < x.size; ++i)
        if (in_interval(x[i], lb, ub, closed)) idx.push_back(i);
    return idx;
}

BoxIndex::BoxIndex(const std::vector<Box>& boxes) : boxes_(boxes) {
    for (const Box& b : boxes) {
        points_.push_back(b.lb1);
        points_.push_back(b.ub1);
    }
    points_.erase(std::remove_if(points_.begin(), points_.end(), [](double p) { return std::isnan(p); }),
                  points_.end());
    std::sort(points_.begin(), points_.end());
    points_.erase(std::unique(points_.begin(), points_.end()), points_.end());
    // Cell 2j+1 is the point j; cell 2j the open stretch below point j (2m: above all).
    // Membership is constant on a stretch, as every bound is a point: test one value in it.
    const std::size_t m = points_.size();
    cells_.resize(2 * m + 1);
    for (std::size_t c = 0; c < cells_.size(); ++c) {
        double v;
        if (c % 2 == 1) {
            v = points_[c / 2];
        } else if (c == 0 || c == 2 * m) {
            continue;  // below or above every bound: in no box
        } else {
            // Any value strictly inside the stretch; when lo and hi are adjacent doubles no
            // row can fall there, so what this gives does not matter.
            v = std::nextafter(points_[c / 2], points_[c / 2 - 1]);
        }
        for (std::size_t k = 0; k < boxes.size(); ++k)
            if (in_interval(v, boxes[k].lb1, boxes[k].ub1, boxes[k].closed1))
                cells_[c].push_back(static_cast<std::int32_t>(k));
    }
}

std::size_t BoxIndex::cell(double v) const {
    // Number of points <= v by a branch-free binary search: rows come in random order, so
    // the branches of std::upper_bound would mostly be mispredicted.
    const double* base = points_.data();
    std::size_t len = points_.size();
    if (len == 0) return 0;
    while (len > 1) {
        const std::size_t half = len / 2;
        base = base[half] <= v ? base + half : base;
        len -= half;
    }
    const std::size_t j = static_cast<std::size_t>(base - points_.data()) + (*base <= v);
    return j > 0 && points_[j - 1] == v ? 2 * (j - 1) + 1 : 2 * j;
}

std::vector<std::vector<std::int64_t>> BoxIndex::members(const Column& c1, const Column& c2) const {
    std::vector<std::vector<std::int64_t>> out(boxes_.size());
    for (std::int64_t i = 0; i < c1.size; ++i) {
        const auto& in_cell = cells_[cell(c1[i])];
        for (std::int32_t k : in_cell) {
            const Box& b = boxes_[k];
            if (!b.two || in_interval(c2[i], b.lb2, b.ub2, b.closed2)) out[k].push_back(i);
        }
    }
    return out;
}

std::vector<MaskedMax> BoxIndex::first_feature_max(const Column& c1, const Column& c2) const {
    std::vector<MaskedMax> out(boxes_.size());
    for (std::int64_t i = 0; i < c1.size; ++i) {
        const auto& in_cell = cells_[cell(c1[i])];
        if (in_cell.empty()) continue;
        const double v = c2[i];
        for (std::int32_t k : in_cell) {
            MaskedMax& m = out[k];
            if (!m.found || v > m.value) m.value = v;
            m.found = true;
        }
    }
    return out;
}

std::vector<std::vector<std::int64_t>> box_members(const Column& c1, const Column& c2,
                                                   const std::vector<Box>& boxes) {
    return BoxIndex(boxes).members(c1, c2);
}

void close_boxes(std::vector<Box>& boxes, const Column& c1, const Column& c2) {
    if (boxes.empty()) return;
    const double max1 = summarize(c1, Rows::all(c1.size), 0).max;
    bool two = false;
    for (Box& b : boxes) {
        b.closed1 = c1.size > 0 && b.ub1 == max1;
        two = two || b.two;
    }
    if (!two) return;
    // The first-feature flags must be set before the index is built on them.
    const std::vector<MaskedMax> top = BoxIndex(boxes).first_feature_max(c1, c2);
    for (std::size_t k = 0; k < boxes.size(); ++k)
        boxes[k].closed2 = boxes[k].two && top[k].found && boxes[k].ub2 == top[k].value;
}

RowSplit split_rows(const std::vector<std::vector<std::int64_t>>& members, std::int64_t n) {
    RowSplit split;
    std::vector<char> inside(static_cast<std::size_t>(n), 0);
    for (const auto& rows : members) {
        split.weak.insert(split.weak.end(), rows.begin(), rows.end());
        for (std::int64_t r : rows) inside[static_cast<std::size_t>(r)] = 1;
    }
    for (std::int64_t r = 0; r < n; ++r)
        if (!inside[static_cast<std::size_t>(r)]) split.remaining.push_back(r);
    return split;
}

std::vector<std::size_t> order_by_gap(const std::vector<double>& gap) {
    std::vector<std::size_t> order(gap.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&gap](std::size_t a, std::size_t b) {
        if (std::isnan(gap[a])) return false;
        return std::isnan(gap[b]) || gap[a] > gap[b];
    });
    return order;
}

double mean_at(const Column& values, const Rows& rows, const Column& weights) {
    if (rows.count == 0) return std::numeric_limits<double>::quiet_NaN();
    CompensatedSum s, ws, w;
    for (std::int64_t k = 0; k < rows.count; ++k) s.add(values[rows[k]]);
    if (!weights.empty()) {
        const double scale = weight_scale(weights, rows);
        for (std::int64_t k = 0; k < rows.count; ++k) {
            const std::int64_t i = rows[k];
            const double wi = weights[i] * scale;
            w.add(wi);
            ws.add(wi * values[i]);
        }
        if (w.value() > 0) return ws.value() / w.value();
    }
    return s.value() / static_cast<double>(rows.count);
}

void take(const Column& values, const Rows& rows, double* out) {
    for (std::int64_t k = 0; k < rows.count; ++k) out[k] = values[rows[k]];
}

}  // namespace tamrel
