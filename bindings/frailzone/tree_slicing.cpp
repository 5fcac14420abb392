// TreeSlicing: a shallow regression tree on the per-sample scores; each leaf is a slice
// and each weak leaf a region.
#include <cmath>
#include <limits>
#include <memory>

#include "slice_scoring.hpp"
#include "tamrel/binning.hpp"
#include "tamrel/tree_walk.hpp"

namespace frailzone_py {

using namespace pybind11::literals;

// Named rather than anonymous: the binding files compile together in unity groups.
namespace tree_impl {

constexpr double kInf = std::numeric_limits<double>::infinity();

void init(py::object self, py::object estimator, py::object slice_features, py::object task_type,
          py::object threshold, py::object max_depth, py::object min_samples, py::object metric,
          py::object random_state) {
    mod("BaseSlicing").attr("__init__")(self, "estimator"_a = estimator, "task_type"_a = task_type,
                                        "slice_features"_a = slice_features, "threshold"_a = threshold,
                                        "min_samples"_a = min_samples, "metric"_a = metric);
    // The tree regresses the per-sample scores, so the slice score must be their mean.
    if (!py::bool_(self.attr("is_metric_additive"))) raise_tamrel("tree slicing is incompatible with this metric.");
    self.attr("max_depth") = max_depth;
    self.attr("random_state") = random_state;
    // Seeded: where split gains tie, the tree's random feature order decides, and a
    // validation result must not change between two runs on the same data.
    self.attr("tree_estimator") = mod("DecisionTreeRegressor")("max_depth"_a = max_depth,
                                                               "min_samples_leaf"_a = min_samples,
                                                               "random_state"_a = random_state);
}

// ---- the leaf walk ---------------------------------------------------------------

// The per-node arrays of a fitted tree, checked once.
struct TreeArrays {
    tamrel_py::i64_array feature, left, right, samples;
    tamrel_py::f64_array threshold, value;
    std::int64_t n_nodes = 0;
    std::int64_t value_stride = 0;  // entries of `value` per node

    explicit TreeArrays(const py::object& tree) {
        feature = index_array(tree, "feature", -1);
        n_nodes = feature.shape(0);
        left = index_array(tree, "children_left", n_nodes);
        right = index_array(tree, "children_right", n_nodes);
        samples = index_array(tree, "n_node_samples", n_nodes);
        threshold = node_array<tamrel_py::f64_array>(tree.attr("threshold"), "threshold", n_nodes);
        value = tamrel_py::ensure_aligned<tamrel_py::f64_array>(tree.attr("value"));
        if (!value || value.ndim() < 1 || value.shape(0) != n_nodes || value.size() < n_nodes)
            throw py::value_error("tree.value must hold one row of values per node.");
        value_stride = n_nodes > 0 ? value.size() / n_nodes : 0;
    }

    // A per-node array of integers: a float array is refused, not truncated.
    static tamrel_py::i64_array index_array(const py::object& tree, const char* name, std::int64_t n) {
        const py::object values = tree.attr(name);
        const py::array arr = mod("np").attr("asarray")(values);
        const char kind = arr.dtype().kind();
        if (kind != 'i' && kind != 'u')
            throw py::type_error(std::string("tree.") + name + " must be an integer array, got dtype " +
                                 py::str(arr.dtype()).cast<std::string>() + ".");
        return node_array<tamrel_py::i64_array>(arr, name, n);
    }

    // A 1-D per-node array (n < 0: any length).
    template <typename Array>
    static Array node_array(const py::object& values, const char* name, std::int64_t n) {
        auto arr = tamrel_py::ensure_aligned<Array>(values);
        if (!arr || arr.ndim() != 1 || (n >= 0 && arr.shape(0) != n))
            throw py::value_error(std::string("tree.") + name + " must be a 1-D numeric array with one entry per node.");
        return arr;
    }
};

// "splits" of a child: a two-level copy of the parent's, with the branch's bound set.
// A new entry lists the bound of its branch first ("ub" on the left, "lb" on the right).
py::dict branch_splits(const py::dict& parent, const std::string& key, const py::float_& threshold, bool left) {
    const py::object builtins = py::module_::import("builtins");
    py::dict splits;
    // dict(v), not py::dict(v): the latter would share a dict instead of copying it.
    for (const auto& item : parent) splits[item.first] = builtins.attr("dict")(item.second);
    const char* bound = left ? "ub" : "lb";
    if (splits.contains(key)) {
        py::object entry = splits[key.c_str()];
        entry[bound] = builtins.attr(left ? "min" : "max")(entry[bound], threshold);
    } else if (left) {
        splits[key.c_str()] = py::dict("ub"_a = threshold, "lb"_a = -kInf);
    } else {
        splits[key.c_str()] = py::dict("lb"_a = threshold, "ub"_a = kInf);
    }
    return splits;
}

// The state behind one _dfs iterator: the walk and the "splits" along its current path.
struct LeafRules {
    TreeArrays tree;
    tamrel::LeafWalk walk;
    py::dict rule;                  // the caller's, never modified
    std::vector<py::dict> on_path;  // on_path[d]: splits below the d-th branch

    LeafRules(const py::object& tree_obj, std::int64_t root, py::dict given)
        : tree(tree_obj),
          walk(tree.feature.data(), tree.left.data(), tree.right.data(), tree.n_nodes, root),
          rule(std::move(given)) {}

    // The next leaf's rule record; a null object once the walk is done.
    py::object next() {
        if (!walk.next()) return py::object();
        const auto& path = walk.path();
        on_path.resize(walk.unchanged());
        for (size_t d = walk.unchanged(); d < path.size(); ++d) {
            const std::int64_t node = path[d].node;
            const std::string key = "f" + std::to_string(tree.feature.data()[node]);
            on_path.push_back(branch_splits(d == 0 ? rule : on_path[d - 1], key,
                                            py::float_(tree.threshold.data()[node]), path[d].left));
        }
        const std::int64_t leaf = walk.leaf();
        py::dict record;
        record["splits"] = path.empty() ? rule : on_path.back();
        record["values"] = tree.value.data()[leaf * tree.value_stride];
        record["counts"] = tree.samples.data()[leaf];
        return std::move(record);
    }
};

py::object dfs(py::object /*self*/, py::object tree, py::object curr_node_idx, py::object rule) {
    if (!py::isinstance<py::dict>(rule)) throw py::type_error("rule must be a dict of feature bounds.");
    PyObject* index = PyNumber_Index(curr_node_idx.ptr());  // integers only, as for any index
    if (!index) throw py::error_already_set();
    const auto node = py::reinterpret_steal<py::int_>(index);
    int overflow = 0;
    const long long root = PyLong_AsLongLongAndOverflow(node.ptr(), &overflow);
    if (overflow) throw py::index_error("node " + py::str(node).cast<std::string>() + " is out of range.");
    // A malformed tree raises std::out_of_range, which reaches Python as IndexError.
    auto state = std::make_shared<LeafRules>(tree, root, py::reinterpret_borrow<py::dict>(rule));
    // iter(callable, sentinel): a lazy iterator that advances the walk on each next().
    const py::object done = py::module_::import("builtins").attr("object")();
    py::cpp_function step([state, done]() -> py::object {
        py::object rec = state->next();
        return rec ? rec : done;
    });
    return py::module_::import("builtins").attr("iter")(step, done);
}

// ---- fitting ---------------------------------------------------------------------

// Range of a slicing column, refusing before the tree sees them an empty column, NaN or
// infinite values, and values the tree's float32 copy of the data cannot hold.
tamrel::ColumnSummary column_range(const py::object& self, const py::object& x, py::ssize_t j, size_t which) {
    const ColumnRef c = matrix_column(x, j, "x");
    const std::string feature = slicing_feature_name(self, which);
    if (c.col.size == 0) throw py::value_error("No rows to slice: the values of feature '" + feature + "' are empty.");
    tamrel::ColumnSummary s;
    {
        py::gil_scoped_release nogil;
        s = tamrel::summarize(c.col, tamrel::Rows::all(c.col.size), 0);
    }
    if (!s.finite) throw py::value_error("Feature '" + feature + "' holds NaN or infinite values.");
    constexpr double kFloat32Max = std::numeric_limits<float>::max();
    if (std::fabs(s.min) > kFloat32Max || std::fabs(s.max) > kFloat32Max)
        throw py::value_error("Feature '" + feature +
                              "' holds values beyond the float32 range (about 3.4e38) that the tree method "
                              "splits in; rescale it or use method='histogram'.");
    return s;
}

// min_samples as the tree's min_samples_leaf: the smallest whole number of rows at or
// above it (a fraction would mean a share of the rows to the tree), at least 1 and at
// most one more than the rows, where no split is possible any more.
std::int64_t leaf_floor(const py::object& self, std::int64_t n_rows) {
    const double v = min_samples(self);
    if (v <= 1.0) return 1;
    if (v > static_cast<double>(n_rows)) return n_rows + 1;
    return static_cast<std::int64_t>(std::ceil(v));
}

// max_depth: None or a positive integer.
void check_depth(const py::object& depth) {
    if (depth.is_none()) return;
    const bool integer = !py::isinstance<py::bool_>(depth) && py::hasattr(depth, "__index__");
    if (!integer || py::int_(depth.attr("__index__")()) < py::int_(1))
        throw py::value_error("max_depth must be a positive integer or None, got " +
                              py::repr(depth).cast<std::string>() + ".");
}

// The weights the tree is fitted with: None without weights, or when they sum to 0 or
// less (then the mean scores are unweighted, as in the histogram method); otherwise the
// weights scaled by a power of two, which changes no split but keeps sums finite.
py::object tree_weights(const ColumnRef& w) {
    if (w.col.empty()) return py::none();
    py::array_t<double> out(static_cast<py::ssize_t>(w.col.size));
    double* scaled = out.mutable_data();
    double total = 0.0;
    {
        py::gil_scoped_release nogil;
        const tamrel::Rows rows = tamrel::Rows::all(w.col.size);
        const double scale = tamrel::weight_scale(w.col, rows);
        for (std::int64_t i = 0; i < w.col.size; ++i) {
            scaled[i] = w.col[i] * scale;
            total += scaled[i];
        }
    }
    if (!(total > 0.0)) return py::none();
    return std::move(out);
}

// The weak leaf's box clipped to the observed ranges; keys "lb1", "lb2", "ub1", "ub2".
py::dict leaf_region(const py::dict& splits, const std::vector<tamrel::ColumnSummary>& range) {
    const py::object builtins = py::module_::import("builtins");
    std::vector<py::object> lb, ub;
    for (size_t k = 0; k < range.size(); ++k) {
        lb.push_back(py::float_(range[k].min));
        ub.push_back(py::float_(range[k].max));
        const std::string key = "f" + std::to_string(k);
        if (!splits.contains(key)) continue;
        const py::object entry = splits[key.c_str()];
        lb[k] = builtins.attr("max")(lb[k], entry["lb"]);
        ub[k] = builtins.attr("min")(ub[k], entry["ub"]);
    }
    py::dict region;
    region["lb1"] = lb[0];
    if (range.size() == 2) region["lb2"] = lb[1];
    region["ub1"] = ub[0];
    if (range.size() == 2) region["ub2"] = ub[1];
    return region;
}

py::object fit(py::object self, py::object x, py::object y, py::object /*preds*/, py::object scores,
               py::object sample_weight) {
    self.attr("x") = x;
    self.attr("y") = y;
    self.attr("scores") = scores;
    py::list fidx = slicing_positions(self);
    if (fidx.empty()) raise_tamrel("Only Support at most two slicing features.");
    self.attr("fidx") = fidx;
    check_depth(self.attr("max_depth"));
    const ColumnRef s = column_ref(scores, "scores");
    bool finite;
    {
        py::gil_scoped_release nogil;
        finite = tamrel::all_finite(s.col);
    }
    if (!finite) throw py::value_error("scores must hold finite values: the tree is fitted to them.");
    const ColumnRef w = weight_column(sample_weight);
    check_length(w, s.col.size, "sample_weight");
    set_threshold_value(self, py::float_(average_score(scores, sample_weight)), s.col.size);

    std::vector<tamrel::ColumnSummary> range;
    for (size_t k = 0; k < fidx.size(); ++k) range.push_back(column_range(self, x, fidx[k].cast<py::ssize_t>(), k));
    py::object xa = mod("np").attr("asarray")(x);
    const auto n_rows = static_cast<std::int64_t>(xa.attr("shape")[py::int_(0)].cast<py::ssize_t>());
    check_length(s, n_rows, "scores");
    const py::object columns = xa[py::make_tuple(py::slice(py::none(), py::none(), py::none()), fidx)];
    py::object tree_estimator = self.attr("tree_estimator");
    tree_estimator.attr("set_params")("min_samples_leaf"_a = leaf_floor(self, n_rows));
    tree_estimator.attr("fit")(columns, s.keep, "sample_weight"_a = tree_weights(w));

    self.attr("weak_region") = py::list();
    py::list rules = py::list(self.attr("_dfs")(tree_estimator.attr("tree_"), 0, py::dict()));
    self.attr("rule_list") = rules;
    const tamrel::WeakTest weak = weak_test(self);
    py::list regions;
    for (const py::handle& rule : rules) {
        const py::dict splits = rule["splits"];
        if (splits.empty() || !weak(as_number(rule["values"], "a leaf value"), as_position(rule["counts"], "a leaf count")))
            continue;
        regions.append(leaf_region(splits, range));
    }
    self.attr("weak_region") = regions;
    return py::none();
}

const char* kInitDoc =
    "init(self, estimator=None, slice_features=None, task_type=None, threshold=1.2, max_depth=2, min_samples=30, "
    "metric=None, random_state=0)\n--\n\n"
    "Store the settings and the unfitted regression tree; refuse metrics that are not\n"
    "a mean of per-sample scores.";
const char* kDfsDoc =
    "_dfs(self, tree, curr_node_idx, rule)\n--\n\n"
    "Lazily yield the rule records of the leaves below node curr_node_idx of a fitted\n"
    "tree structure, depth first, left before right. `rule` holds the bounds gathered on\n"
    "the path to that node; it is copied, never changed.";
const char* kFitDoc =
    "_fit(self, x, y, preds, scores, sample_weight=None)\n--\n\n"
    "Fit the tree to the per-sample scores over the slicing features; every leaf becomes\n"
    "a rule and every weak leaf a region clipped to the observed feature ranges.";

}  // namespace tree_impl

void define_tree_slicing(py::module_& m) {
    using namespace tree_impl;
    py::object cls = tamrel_py::make_class(
        m, "TreeSlicing", py::make_tuple(m.attr("BaseSlicing")),
        "Tree based slicing for analyzing 1D or 2D features.");
    const py::object none = py::none();
    tamrel_py::add_method(cls, "__init__", "init", &init, kInitDoc, py::arg("estimator") = none,
                          py::arg("slice_features") = none, py::arg("task_type") = none,
                          py::arg("threshold") = 1.2, py::arg("max_depth") = 2, py::arg("min_samples") = 30,
                          py::arg("metric") = none, py::arg("random_state") = 0);
    tamrel_py::add_method(cls, "_dfs", "_dfs", &dfs, kDfsDoc, py::arg("tree"), py::arg("curr_node_idx"),
                          py::arg("rule"));
    tamrel_py::add_method(cls, "_fit", "_fit", &fit, kFitDoc, py::arg("x"), py::arg("y"), py::arg("preds"),
                          py::arg("scores"), py::arg("sample_weight") = none);
}

}  // namespace frailzone_py
