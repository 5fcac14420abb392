#include "tamrel/regions.hpp"

#include <algorithm>
#include <limits>

namespace tamrel {

std::vector<std::int64_t> select_range(const Column& x, double lb, double ub, bool closed) {
    std::vector<std::int64_t> idx;
    for (std::int64_t i = 0; i < x.size; ++i)
        if (in_interval(x[i], lb, ub, closed)) idx.push_back(i);
    return idx;
}

MaskedMax max_where(const Column& c2, const Column& c1, double lb, double ub, bool closed) {
    MaskedMax m;
    for (std::int64_t i = 0; i < c1.size; ++i) {
        if (!in_interval(c1[i], lb, ub, closed)) continue;
        const double v = c2[i];
        if (!m.found || v > m.value) m.value = v;
        m.found = true;
    }
    return m;
}

std::vector<std::vector<std::int64_t>> box_members(const Column& c1, const Column& c2,
                                                   const std::vector<Box>& boxes) {
    std::vector<std::vector<std::int64_t>> members(boxes.size());
    const bool need2 = std::any_of(boxes.begin(), boxes.end(), [](const Box& b) { return b.two; });
    for (std::int64_t i = 0; i < c1.size; ++i) {
        const double v1 = c1[i];
        const double v2 = need2 ? c2[i] : 0.0;
        for (size_t k = 0; k < boxes.size(); ++k)
            if (boxes[k].contains(v1, v2)) members[k].push_back(i);
    }
    return members;
}

double mean_at(const Column& values, const Rows& rows, const Column& weights) {
    if (rows.count == 0) return std::numeric_limits<double>::quiet_NaN();
    CompensatedSum s, ws, w;
    for (std::int64_t k = 0; k < rows.count; ++k) s.add(values[rows[k]]);
    if (!weights.empty()) {
        for (std::int64_t k = 0; k < rows.count; ++k) {
            const std::int64_t i = rows[k];
            w.add(weights[i]);
            ws.add(weights[i] * values[i]);
        }
        if (w.value() > 0) return ws.value() / w.value();
    }
    return s.value() / static_cast<double>(rows.count);
}

void take(const Column& values, const Rows& rows, double* out) {
    for (std::int64_t k = 0; k < rows.count; ++k) out[k] = values[rows[k]];
}

}  // namespace tamrel
