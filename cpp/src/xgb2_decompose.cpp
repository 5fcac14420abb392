// Splitting depth-2 trees into main effects and pairwise interactions.
#include "tamrel/xgb2/decompose.hpp"

#include "tamrel/xgb2/purify.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>

namespace tamrel::xgb2 {
namespace {

// One side of a root split (feature a, threshold t) and what hangs below it: a leaf
// (`split` false, output v_left) or a split on feature b at u with two leaves. A missing
// a goes left when a_missing_left, a missing b reaches v_left when b_missing_left.
struct Piece {
    std::int64_t a;
    double t;
    bool left_side;
    bool split;
    std::int64_t b;
    double u;
    double v_left, v_right;
    bool a_missing_left = true, b_missing_left = true;
    bool is_interaction() const { return split && b != a; }
};

[[noreturn]] void bad_tree(std::size_t tree, const std::string& why) {
    throw std::invalid_argument("tree " + std::to_string(tree) + ": " + why);
}

// Node access within one tree, with the checks that keep every read in bounds.
struct TreeView {
    const Ensemble& e;
    std::size_t index, begin, size;

    bool is_leaf(std::int64_t node) const { return e.left[begin + node] < 0; }
    std::int64_t child(std::int64_t node, bool left) const {
        const std::int64_t c = left ? e.left[begin + node] : e.right[begin + node];
        if (c <= 0 || static_cast<std::size_t>(c) >= size) bad_tree(index, "child id out of range");
        return c;
    }
    std::int64_t feature(std::int64_t node, std::int64_t n_features) const {
        const std::int64_t f = e.feature[begin + node];
        if (f < 0 || f >= n_features) bad_tree(index, "split feature out of range");
        return f;
    }
    double value(std::int64_t node) const { return e.value[begin + node]; }
    bool missing_left(std::int64_t node) const { return e.default_left == nullptr || e.default_left[begin + node] != 0; }
    void check_leaf(std::int64_t node) const {
        if (e.right[begin + node] >= 0) bad_tree(index, "node with only a right child");
    }
};

// Reads the tree into pieces; a lone leaf adds to the intercept.
void read_tree(const TreeView& tree, std::int64_t n_features, double& intercept,
               std::vector<Piece>& pieces) {
    if (tree.is_leaf(0)) {
        tree.check_leaf(0);
        intercept += tree.value(0);
        return;
    }
    const std::int64_t a = tree.feature(0, n_features);
    for (bool left : {true, false}) {
        const std::int64_t c = tree.child(0, left);
        Piece p{a, tree.value(0), left, false, a, 0.0, 0.0, 0.0};
        p.a_missing_left = tree.missing_left(0);
        if (tree.is_leaf(c)) {
            tree.check_leaf(c);
            p.v_left = tree.value(c);
        } else {
            const std::int64_t l = tree.child(c, true), r = tree.child(c, false);
            if (!tree.is_leaf(l) || !tree.is_leaf(r)) bad_tree(tree.index, "deeper than 2");
            tree.check_leaf(l);
            tree.check_leaf(r);
            p.split = true;
            p.b = tree.feature(c, n_features);
            p.u = tree.value(c);
            p.v_left = tree.value(l);
            p.v_right = tree.value(r);
            p.b_missing_left = tree.missing_left(c);
        }
        pieces.push_back(p);
    }
}

// A piece of a tree deeper than 2: the leaves whose paths split on one feature (a) or on
// one pair (a < b), tabulated on the thresholds of those paths: each cell (or pair of
// cells) holds the value of the one leaf of the piece that its points reach, or 0 where
// they reach a leaf of another piece (a point follows one path).
struct TreeTable {
    std::int64_t a = -1, b = -1;  // b < 0: leaves whose paths split on feature a alone
    std::vector<double> ta, tb;   // sorted, distinct
    std::vector<double> values;   // row-major: cells of a, then of b (one column when b < 0)
};

// Whether every path from the root ends within two splits.
bool shallow(const TreeView& tree) {
    if (tree.is_leaf(0)) return true;
    for (bool left : {true, false}) {
        const std::int64_t c = tree.child(0, left);
        if (!tree.is_leaf(c) && (!tree.is_leaf(tree.child(c, true)) || !tree.is_leaf(tree.child(c, false))))
            return false;
    }
    return true;
}

struct Step {
    std::int64_t node;
    bool left;
};

struct Leaf {
    std::vector<Step> path;
    double value;
    std::int64_t a = -1, b = -1;  // the path's features, a < b (b < 0: one feature)
};

// Whether a point (xa on feature a, xb on the other; NaN goes the node's default way)
// follows the path.
bool follows(const TreeView& tree, const Leaf& leaf, double xa, double xb) {
    for (const Step& s : leaf.path) {
        const double x = tree.e.feature[tree.begin + s.node] == leaf.a ? xa : xb;
        const bool left = x != x ? tree.missing_left(s.node) : x < tree.value(s.node);
        if (left != s.left) return false;
    }
    return true;
}

// A point of each cell of k thresholds t: below them all, t[c - 1], then NaN for the
// missing cell.
std::vector<double> cell_points(const std::vector<double>& t, bool missing) {
    std::vector<double> points{-std::numeric_limits<double>::infinity()};
    points.insert(points.end(), t.begin(), t.end());
    if (missing) points.push_back(std::numeric_limits<double>::quiet_NaN());
    return points;
}

void sort_unique(std::vector<double>& v);

// Every leaf with its path, the path's features checked (two at most: XGBoost's interaction
// constraints bound each path, not the tree).
std::vector<Leaf> leaves_of(const TreeView& tree, std::int64_t n_features) {
    std::vector<Leaf> out;
    std::vector<Leaf> stack{Leaf{{}, 0.0}};
    for (std::size_t visited = 0; !stack.empty(); ++visited) {
        if (visited >= tree.size) bad_tree(tree.index, "a cycle among its nodes");
        Leaf at = std::move(stack.back());
        stack.pop_back();
        const std::int64_t node = at.path.empty() ? 0 : tree.child(at.path.back().node, at.path.back().left);
        if (tree.is_leaf(node)) {
            tree.check_leaf(node);
            at.value = tree.value(node);
            std::set<std::int64_t> features;
            for (const Step& s : at.path) features.insert(tree.feature(s.node, n_features));
            if (features.size() > 2) bad_tree(tree.index, "a path splits on more than two features");
            at.a = *features.begin();
            at.b = features.size() == 2 ? *features.rbegin() : -1;
            out.push_back(std::move(at));
            continue;
        }
        for (bool left : {true, false}) {
            Leaf next = at;
            next.path.push_back(Step{node, left});
            stack.push_back(std::move(next));
        }
    }
    return out;
}

// The tree's leaves grouped by their paths' features, each group tabulated.
std::vector<TreeTable> tabulate(const TreeView& tree, std::int64_t n_features, bool missing) {
    std::map<std::pair<std::int64_t, std::int64_t>, std::vector<Leaf>> groups;
    for (Leaf& leaf : leaves_of(tree, n_features)) groups[{leaf.a, leaf.b}].push_back(std::move(leaf));
    std::vector<TreeTable> out;
    for (const auto& [key, leaves] : groups) {
        TreeTable table{key.first, key.second, {}, {}, {}};
        for (const Leaf& leaf : leaves)
            for (const Step& s : leaf.path)
                (tree.e.feature[tree.begin + s.node] == table.a ? table.ta : table.tb).push_back(tree.value(s.node));
        sort_unique(table.ta);
        sort_unique(table.tb);
        const std::vector<double> pa = cell_points(table.ta, missing);
        const std::vector<double> pb = table.b < 0 ? std::vector<double>{0.0} : cell_points(table.tb, missing);
        for (double xa : pa)
            for (double xb : pb) {
                double sum = 0.0;
                for (const Leaf& leaf : leaves)
                    if (follows(tree, leaf, xa, xb)) sum += leaf.value;
                table.values.push_back(sum);
            }
        out.push_back(std::move(table));
    }
    return out;
}

void sort_unique(std::vector<double>& v) {
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
}

// Cells 0..pos of a grid lie below threshold t (cell c is [s_c, s_{c+1})).
std::size_t last_cell_below(const std::vector<double>& grid, double t) {
    return static_cast<std::size_t>(std::lower_bound(grid.begin(), grid.end(), t) - grid.begin());
}

// Whether a cell of the root feature's grid (k thresholds; cell k + 1 is the missing
// one) lies on the piece's side of the root split.
bool on_side(const Piece& p, std::size_t cell, std::size_t k, std::size_t t_pos) {
    const bool left = cell > k ? p.a_missing_left : cell <= t_pos;
    return left == p.left_side;
}

// The leaf a cell of the second-level split's grid (k thresholds) reaches.
double leaf_of(const Piece& p, std::size_t cell, std::size_t k, std::size_t u_pos) {
    if (!p.split) return p.v_left;
    const bool left = cell > k ? p.b_missing_left : cell <= u_pos;
    return left ? p.v_left : p.v_right;
}

void add_main(MainEffect& m, const Piece& p) {
    const std::size_t k = m.thresholds.size();
    const std::size_t t_pos = last_cell_below(m.thresholds, p.t);
    const std::size_t u_pos = p.split ? last_cell_below(m.thresholds, p.u) : 0;
    for (std::size_t c = 0; c < m.values.size(); ++c)
        if (on_side(p, c, k, t_pos)) m.values[c] += leaf_of(p, c, k, u_pos);
}

void add_interaction(Interaction& in, const Piece& p) {
    const bool a_first = p.a == in.first;
    const auto& grid_a = a_first ? in.thresholds1 : in.thresholds2;
    const auto& grid_b = a_first ? in.thresholds2 : in.thresholds1;
    const std::size_t ka = grid_a.size(), kb = grid_b.size();
    const std::size_t t_pos = last_cell_below(grid_a, p.t);
    const std::size_t u_pos = last_cell_below(grid_b, p.u);
    const std::size_t width = in.width();
    for (std::size_t ca = 0; ca < n_cells(ka, in.missing); ++ca) {
        if (!on_side(p, ca, ka, t_pos)) continue;
        for (std::size_t cb = 0; cb < n_cells(kb, in.missing); ++cb) {
            const std::size_t cell = a_first ? ca * width + cb : cb * width + ca;
            in.values[cell] += leaf_of(p, cb, kb, u_pos);
        }
    }
}

}  // namespace

Decomposition decompose(const Ensemble& e, std::int64_t n_features) {
    Decomposition d;
    d.missing = e.missing;
    std::vector<Piece> pieces;
    std::vector<TreeTable> tables;
    for (std::size_t t = 0; t < e.n_trees; ++t) {
        const std::int64_t begin = e.offsets[t], end = e.offsets[t + 1];
        if (begin < 0 || end <= begin || static_cast<std::size_t>(end) > e.n_nodes)
            bad_tree(t, "node range out of bounds");
        const TreeView tree{e, t, static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin)};
        if (e.deep && !shallow(tree)) {
            const std::vector<TreeTable> pieces_of_tree = tabulate(tree, n_features, d.missing);
            tables.insert(tables.end(), pieces_of_tree.begin(), pieces_of_tree.end());
        }
        else
            read_tree(tree, n_features, d.intercept, pieces);
    }

    std::map<std::int64_t, std::vector<double>> main_grid;
    std::map<std::pair<std::int64_t, std::int64_t>, std::pair<std::vector<double>, std::vector<double>>> pair_grid;
    for (const Piece& p : pieces) {
        main_grid[p.a];
        if (p.is_interaction()) {
            main_grid[p.b];
            const bool a_first = p.a < p.b;
            auto& grids = pair_grid[{std::min(p.a, p.b), std::max(p.a, p.b)}];
            (a_first ? grids.first : grids.second).push_back(p.t);
            (a_first ? grids.second : grids.first).push_back(p.u);
        } else {
            main_grid[p.a].push_back(p.t);
            if (p.split) main_grid[p.a].push_back(p.u);
        }
    }
    for (const TreeTable& table : tables) {
        auto& grid_a = main_grid[table.a];
        if (table.b < 0) {
            grid_a.insert(grid_a.end(), table.ta.begin(), table.ta.end());
            continue;
        }
        main_grid[table.b];
        auto& grids = pair_grid[{table.a, table.b}];
        grids.first.insert(grids.first.end(), table.ta.begin(), table.ta.end());
        grids.second.insert(grids.second.end(), table.tb.begin(), table.tb.end());
    }

    std::map<std::int64_t, std::size_t> main_at;
    for (auto& [f, grid] : main_grid) {
        sort_unique(grid);
        main_at[f] = d.mains.size();
        d.mains.push_back(MainEffect{f, grid, std::vector<double>(n_cells(grid.size(), d.missing), 0.0), d.missing});
    }
    std::map<std::pair<std::int64_t, std::int64_t>, std::size_t> pair_at;
    for (auto& [key, grids] : pair_grid) {
        sort_unique(grids.first);
        sort_unique(grids.second);
        pair_at[key] = d.interactions.size();
        const std::size_t cells = n_cells(grids.first.size(), d.missing) * n_cells(grids.second.size(), d.missing);
        d.interactions.push_back(Interaction{key.first, key.second, grids.first, grids.second,
                                             std::vector<double>(cells, 0.0), d.missing});
    }

    for (const Piece& p : pieces) {
        if (p.is_interaction())
            add_interaction(d.interactions[pair_at[{std::min(p.a, p.b), std::max(p.a, p.b)}]], p);
        else
            add_main(d.mains[main_at[p.a]], p);
    }
    for (const TreeTable& table : tables) {
        if (table.b < 0) {
            MainEffect& m = d.mains[main_at[table.a]];
            const auto map = refine_map(m.thresholds, table.ta, d.missing);
            for (std::size_t c = 0; c < map.size(); ++c) m.values[c] += table.values[map[c]];
            continue;
        }
        Interaction& in = d.interactions[pair_at[{table.a, table.b}]];
        const auto m1 = refine_map(in.thresholds1, table.ta, d.missing);
        const auto m2 = refine_map(in.thresholds2, table.tb, d.missing);
        const std::size_t table_width = n_cells(table.tb.size(), d.missing);
        for (std::size_t c1 = 0; c1 < m1.size(); ++c1)
            for (std::size_t c2 = 0; c2 < m2.size(); ++c2)
                in.values[c1 * in.width() + c2] += table.values[m1[c1] * table_width + m2[c2]];
    }
    return d;
}

}  // namespace tamrel::xgb2
