// Averaging decomposed bags on common grids.
#include "tamrel/xgb2/bags.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <stdexcept>
#include <utility>

namespace tamrel::xgb2 {
namespace {

using PairKey = std::pair<std::int64_t, std::int64_t>;

// A table on the grids (fine1, fine2) from one on (coarse1, coarse2): each fine cell takes
// the value of the coarse cell that holds it.
std::vector<double> refine_table(const std::vector<double>& values, const std::vector<std::size_t>& map1,
                                 const std::vector<std::size_t>& map2, std::size_t coarse_width) {
    std::vector<double> out(map1.size() * map2.size());
    for (std::size_t a = 0; a < map1.size(); ++a)
        for (std::size_t b = 0; b < map2.size(); ++b) out[a * map2.size() + b] = values[map1[a] * coarse_width + map2[b]];
    return out;
}

// Applies f(cell of `a`, cell of `b`) to every cell of two decompositions of one layout.
template <typename F>
void for_each_cell(Decomposition& a, const Decomposition& b, F f) {
    f(a.intercept, b.intercept);
    for (std::size_t i = 0; i < a.mains.size(); ++i)
        for (std::size_t c = 0; c < a.mains[i].values.size(); ++c) f(a.mains[i].values[c], b.mains[i].values[c]);
    for (std::size_t i = 0; i < a.interactions.size(); ++i)
        for (std::size_t c = 0; c < a.interactions[i].values.size(); ++c)
            f(a.interactions[i].values[c], b.interactions[i].values[c]);
}

}  // namespace

Decomposition bags_layout(const std::vector<Decomposition>& bags) {
    if (bags.empty()) throw std::invalid_argument("no bags to average");
    Decomposition layout;
    layout.missing = bags.front().missing;
    FeatureGrids grids;
    std::map<PairKey, bool> pairs;
    for (const Decomposition& bag : bags) {
        if (bag.missing != layout.missing) throw std::invalid_argument("the bags differ in their missing cells");
        for (const auto& [f, g] : purification_grids(bag)) grids[f].insert(grids[f].end(), g.begin(), g.end());
        for (const Interaction& in : bag.interactions) pairs[{in.first, in.second}] = true;
    }
    for (auto& [f, g] : grids) {
        std::sort(g.begin(), g.end());
        g.erase(std::unique(g.begin(), g.end()), g.end());
        layout.mains.push_back(MainEffect{f, g, std::vector<double>(n_cells(g.size(), layout.missing), 0.0),
                                          layout.missing});
    }
    for (const auto& [key, _] : pairs) {
        const auto& g1 = grids.at(key.first);
        const auto& g2 = grids.at(key.second);
        layout.interactions.push_back(
            Interaction{key.first, key.second, g1, g2,
                        std::vector<double>(n_cells(g1.size(), layout.missing) * n_cells(g2.size(), layout.missing), 0.0),
                        layout.missing});
    }
    return layout;
}

Decomposition on_layout(const Decomposition& bag, const Decomposition& layout) {
    Decomposition out = layout;
    out.intercept = bag.intercept;
    std::map<std::int64_t, MainEffect*> main_of;
    for (MainEffect& m : out.mains) main_of[m.feature] = &m;
    std::map<PairKey, Interaction*> pair_of;
    for (Interaction& in : out.interactions) pair_of[{in.first, in.second}] = &in;
    const bool missing = layout.missing;
    for (const MainEffect& m : bag.mains) {
        MainEffect& to = *main_of.at(m.feature);
        const auto map = refine_map(to.thresholds, m.thresholds, missing);
        for (std::size_t c = 0; c < map.size(); ++c) to.values[c] = m.values[map[c]];
    }
    for (const Interaction& in : bag.interactions) {
        Interaction& to = *pair_of.at({in.first, in.second});
        to.values = refine_table(in.values, refine_map(to.thresholds1, in.thresholds1, missing),
                                 refine_map(to.thresholds2, in.thresholds2, missing), in.width());
    }
    return out;
}

BaggedDecomposition average_bags(const std::vector<Decomposition>& bags, const Decomposition& layout,
                                 const CellCounts& counts) {
    const FeatureGrids grids = purification_grids(layout);
    std::vector<Decomposition> laid;
    for (const Decomposition& bag : bags) {
        laid.push_back(on_layout(bag, layout));
        purify_counts(laid.back(), grids, counts, false);
    }
    BaggedDecomposition result{layout, layout};
    const double n = static_cast<double>(bags.size());
    for (const Decomposition& bag : laid) for_each_cell(result.mean, bag, [](double& sum, double v) { sum += v; });
    for_each_cell(result.mean, result.mean, [n](double& sum, double) { sum /= n; });
    // Two passes, so that a large mean costs no precision of the spread.
    for (Decomposition& bag : laid) for_each_cell(bag, result.mean, [](double& v, double mean) { v -= mean; });
    for (const Decomposition& bag : laid)
        for_each_cell(result.spread, bag, [](double& sum, double d) { sum += d * d; });
    for_each_cell(result.spread, result.spread, [n](double& sum, double) { sum = std::sqrt(sum / n); });
    return result;
}

}  // namespace tamrel::xgb2
