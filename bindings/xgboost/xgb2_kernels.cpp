// Private kernels of the module: effect evaluation and ensemble decomposition, used by
// tamrel.models.utils and tamrel.models.xgb2.interpret.
#include "xgb2_internal.hpp"

#include "conversion.hpp"

#include "tamrel/xgb2/decompose.hpp"
#include "tamrel/xgb2/effect_grid.hpp"
#include "tamrel/xgb2/purify.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace tamrel_py::xgb2 {
namespace core = tamrel::xgb2;
namespace {

// The module's refusals are ValueErrors (see conversion.hpp).
constexpr Refusal kValue = Refusal::value_error;

// A contiguous, aligned float64 array of numbers.
py::array float64_input(const py::object& obj, const std::string& what) {
    py::array arr = float64_view(numeric_array(obj, what, kValue));
    if (!(arr.flags() & py::array::c_style)) arr = py::module_::import("numpy").attr("ascontiguousarray")(arr);
    return arr;
}

const double* data_of(const py::array& arr) { return static_cast<const double*>(arr.data()); }

// Column j of X, whose column count the effect's index is checked against first; the
// result holds the converted column, so it must outlive every read of its view.
ColumnRef column_of(const MatrixRef& X, py::ssize_t j) {
    if (j < 0 || j >= X.cols())
        throw py::value_error("X has " + std::to_string(X.cols()) + " column(s), but the effect reads column " +
                              std::to_string(j));
    return X.column(j);
}

py::array thresholds_arg(const py::object& obj, const char* what) {
    py::array t = float64_input(obj, what);
    if (t.ndim() != 1) throw py::value_error(std::string(what) + " must be one-dimensional");
    const double* p = data_of(t);
    for (py::ssize_t i = 0; i < t.shape(0); ++i) {
        if (std::isnan(p[i])) throw py::value_error(std::string(what) + " contains NaN");
        if (i > 0 && p[i] < p[i - 1]) throw py::value_error(std::string(what) + " must be sorted ascending");
    }
    return t;
}

core::Grid grid_of(const py::array& t) { return core::Grid{data_of(t), static_cast<std::size_t>(t.shape(0))}; }

void nan_error() { throw py::value_error("X contains NaN in a column the effect reads"); }

// The split points (one array per feature, one or two features) and the values of an
// effect, checked: sorted split points without NaN, values on every cell.
struct EffectArrays {
    std::vector<py::array> thresholds;
    py::array values;
};

EffectArrays effect_arrays(const py::tuple& thresholds, const py::object& values) {
    EffectArrays e;
    const bool pair = thresholds.size() == 2;
    std::vector<py::ssize_t> shape;
    for (std::size_t k = 0; k < thresholds.size(); ++k) {
        const std::string name = pair ? "split_points" + std::to_string(k + 1) : "split_points";
        e.thresholds.push_back(thresholds_arg(thresholds[k], name.c_str()));
        shape.push_back(e.thresholds.back().shape(0) + 1);
    }
    e.values = float64_input(values, "values");
    const bool fits = e.values.ndim() == static_cast<py::ssize_t>(shape.size()) &&
                      std::equal(shape.begin(), shape.end(), e.values.shape());
    if (!fits && pair)
        throw py::value_error("values must be a (len(split_points1) + 1, len(split_points2) + 1) = (" +
                              std::to_string(shape[0]) + ", " + std::to_string(shape[1]) + ") table");
    if (!fits) throw py::value_error("values must hold len(split_points) + 1 = " + std::to_string(shape[0]) + " entries");
    return e;
}

py::object check_effect(py::tuple thresholds, py::object values) {
    if (thresholds.size() != 1 && thresholds.size() != 2)
        throw py::value_error("an effect has split points for one or two features");
    EffectArrays e = effect_arrays(thresholds, values);
    py::list points;
    for (const py::array& t : e.thresholds) points.append(t);
    return py::make_tuple(py::tuple(points), e.values);
}

py::object predict_effect_1d(py::object X, py::ssize_t column, py::object thresholds, py::object values,
                             bool float32) {
    const MatrixRef x = matrix_ref(X, "X", kValue);
    const ColumnRef ref = column_of(x, column);
    const core::Column& col = ref.col;
    const EffectArrays e = effect_arrays(py::make_tuple(thresholds), values);
    py::array_t<double> out(col.size);
    bool ok;
    {
        py::gil_scoped_release nogil;
        ok = core::predict_main_effect(col, grid_of(e.thresholds[0]), data_of(e.values), float32, out.mutable_data());
    }
    if (!ok) nan_error();
    return std::move(out);
}

py::object predict_effect_2d(py::object X, py::ssize_t column1, py::ssize_t column2, py::object thresholds1,
                             py::object thresholds2, py::object values, bool float32) {
    const MatrixRef x = matrix_ref(X, "X", kValue);
    const ColumnRef ref1 = column_of(x, column1), ref2 = column_of(x, column2);
    const core::Column &c1 = ref1.col, &c2 = ref2.col;
    const EffectArrays e = effect_arrays(py::make_tuple(thresholds1, thresholds2), values);
    py::array_t<double> out(c1.size);
    bool ok;
    {
        py::gil_scoped_release nogil;
        ok = core::predict_interaction(c1, grid_of(e.thresholds[0]), c2, grid_of(e.thresholds[1]), data_of(e.values),
                                       float32, out.mutable_data());
    }
    if (!ok) nan_error();
    return std::move(out);
}

py::array_t<double> to_array(const std::vector<double>& v) {
    return py::array_t<double>(static_cast<py::ssize_t>(v.size()), v.data());
}

py::tuple to_python(const core::Decomposition& d) {
    py::list mains, pairs;
    for (const auto& m : d.mains) mains.append(py::make_tuple(m.feature, to_array(m.thresholds), to_array(m.values)));
    for (const auto& in : d.interactions) {
        py::array_t<double> table({static_cast<py::ssize_t>(in.thresholds1.size() + 1),
                                   static_cast<py::ssize_t>(in.width())},
                                  in.values.data());
        pairs.append(py::make_tuple(in.first, in.second, to_array(in.thresholds1), to_array(in.thresholds2), table));
    }
    return py::make_tuple(d.intercept, mains, pairs);
}

// The columns of X that the core reads (all of them: any may carry a split).
core::Matrix columns_of(const MatrixRef& X, std::vector<ColumnRef>& keep) {
    core::Matrix m;
    m.n_rows = X.rows();
    for (std::int64_t j = 0; j < X.cols(); ++j) {
        keep.push_back(X.column(j));
        m.columns.push_back(keep.back().col);
    }
    return m;
}

// The flat node arrays, checked, as the core's view; `keep` holds the converted arrays.
struct EnsembleArg {
    i64_array offsets, left, right, feature;
    py::array value;
    core::Ensemble view() const {
        return core::Ensemble{offsets.data(), static_cast<std::size_t>(offsets.size() - 1), left.data(),
                              right.data(),   feature.data(), data_of(value), static_cast<std::size_t>(left.size())};
    }
};

EnsembleArg ensemble_arg(const py::object& offsets, const py::object& left, const py::object& right,
                         const py::object& feature, const py::object& value) {
    EnsembleArg e{integer_array(offsets, "offsets", kValue), integer_array(left, "left", kValue),
                  integer_array(right, "right", kValue), integer_array(feature, "feature", kValue),
                  float64_input(value, "value")};
    const auto n_nodes = e.left.size();
    if (e.offsets.size() < 1) throw py::value_error("offsets must be a one-dimensional array of at least one entry");
    if (e.right.size() != n_nodes || e.feature.size() != n_nodes || e.value.ndim() != 1 || e.value.size() != n_nodes)
        throw py::value_error("the node arrays differ in length");
    return e;
}

// The columns of X checked against the model's feature count and for NaN; `keep` holds them.
core::Matrix checked_matrix(const py::object& X, std::int64_t n_features, std::vector<ColumnRef>& keep) {
    const MatrixRef xm = matrix_ref(X, "X", kValue);
    if (xm.rows() == 0) throw py::value_error("X has no rows");
    if (xm.cols() != n_features)
        throw py::value_error("X has " + std::to_string(xm.cols()) + " columns, but the model was trained on " +
                              std::to_string(n_features) + " features");
    const core::Matrix x = columns_of(xm, keep);
    for (const core::Column& c : x.columns)
        if (tamrel_py::count_beyond(c, std::numeric_limits<double>::infinity()) > 0) throw py::value_error("X contains NaN");
    return x;
}

// (n_rows, [(feature, counts)], [joint counts per interaction]) as _count_cells returns it.
py::tuple counts_to_python(const core::CellCounts& c) {
    py::list marginal, joint;
    for (const auto& [f, counts] : c.marginal) marginal.append(py::make_tuple(f, to_array(counts)));
    for (const auto& counts : c.joint) joint.append(to_array(counts));
    return py::make_tuple(c.n_rows, marginal, joint);
}

std::vector<double> counts_of(const py::handle& obj) {
    const py::array a = float64_input(py::reinterpret_borrow<py::object>(obj), "counts");
    return std::vector<double>(data_of(a), data_of(a) + a.size());
}

core::CellCounts counts_from_python(const py::object& obj) {
    const py::tuple t = py::cast<py::tuple>(obj);
    if (t.size() != 3) throw py::value_error("counts must be (n_rows, marginal, joint)");
    core::CellCounts c;
    c.n_rows = as_number(t[0], "counts' row count", kValue);
    for (py::handle item : t[1]) {
        const py::tuple pair = py::cast<py::tuple>(item);
        if (pair.size() != 2) throw py::value_error("marginal counts must be (feature, counts) pairs");
        c.marginal[as_position(pair[0], "counts' feature", kValue)] = counts_of(pair[1]);
    }
    for (py::handle item : t[2]) c.joint.push_back(counts_of(item));
    return c;
}

py::object parse_ensemble(py::object offsets, py::object left, py::object right, py::object feature,
                          py::object value, std::int64_t n_features, py::object X, bool purification,
                          bool true_to_data, bool float32, py::object counts) {
    const EnsembleArg e = ensemble_arg(offsets, left, right, feature, value);
    core::Decomposition d;
    if (!counts.is_none()) {  // the rows' cell counts, summed over blocks of rows
        const core::CellCounts c = counts_from_python(counts);
        {
            py::gil_scoped_release nogil;  // std::invalid_argument leaves as ValueError
            d = core::decompose(e.view(), n_features);
            if (purification) core::purify_counts(d, core::purification_grids(d), c, true_to_data);
        }
        return to_python(d);
    }
    std::vector<ColumnRef> keep;
    const core::Matrix x = checked_matrix(X, n_features, keep);
    {
        py::gil_scoped_release nogil;  // std::invalid_argument leaves as ValueError
        d = core::decompose(e.view(), n_features);
        if (purification) core::purify(d, x, float32, true_to_data);
    }
    return to_python(d);
}

py::tuple count_cells(py::object offsets, py::object left, py::object right, py::object feature, py::object value,
                      std::int64_t n_features, py::object X, bool joint, bool float32) {
    const EnsembleArg e = ensemble_arg(offsets, left, right, feature, value);
    std::vector<ColumnRef> keep;
    const core::Matrix x = checked_matrix(X, n_features, keep);
    core::CellCounts c;
    {
        py::gil_scoped_release nogil;
        const core::Decomposition d = core::decompose(e.view(), n_features);
        c = core::count_cells(d, core::purification_grids(d), x, float32, joint);
    }
    return counts_to_python(c);
}

}  // namespace

void define_kernels(py::module_& m) {
    m.def("_check_effect", &check_effect, py::arg("split_points"), py::arg("values"),
          "_check_effect(split_points, values)\n--\n\n"
          "The split points (a tuple of one or two arrays) and values of an effect as float64\n"
          "arrays, checked: sorted split points without NaN, one value per cell.");
    m.def("_predict_effect_1d", &predict_effect_1d, py::arg("X"), py::arg("column"), py::arg("thresholds"),
          py::arg("values"), py::arg("float32") = true,
          "_predict_effect_1d(X, column, thresholds, values, float32=True)\n--\n\n"
          "values[cell] of X[:, column] for every row, cells made by the sorted thresholds\n"
          "(x < threshold lies left); float32 rounds x to float32 first, as XGBoost does.");
    m.def("_predict_effect_2d", &predict_effect_2d, py::arg("X"), py::arg("column1"), py::arg("column2"),
          py::arg("thresholds1"), py::arg("thresholds2"), py::arg("values"), py::arg("float32") = true,
          "_predict_effect_2d(X, column1, column2, thresholds1, thresholds2, values, float32=True)\n--\n\n"
          "values[cell1, cell2] of the two columns for every row.");
    m.def("_parse_ensemble", &parse_ensemble, py::arg("offsets"), py::arg("left"), py::arg("right"),
          py::arg("feature"), py::arg("value"), py::arg("n_features"), py::arg("X"), py::arg("purification"),
          py::arg("true_to_data"), py::arg("float32") = true, py::arg("counts") = py::none(),
          "_parse_ensemble(offsets, left, right, feature, value, n_features, X, purification, true_to_data, "
          "float32=True, counts=None)\n--\n\n"
          "Decompose flat depth-2 trees into (intercept, [(feature, thresholds, values)],\n"
          "[(first, second, thresholds1, thresholds2, table)]), purified against X if asked;\n"
          "counts (from _count_cells, summed over blocks of rows) stand in for X.");
    m.def("_count_cells", &count_cells, py::arg("offsets"), py::arg("left"), py::arg("right"), py::arg("feature"),
          py::arg("value"), py::arg("n_features"), py::arg("X"), py::arg("joint"), py::arg("float32") = true,
          "_count_cells(offsets, left, right, feature, value, n_features, X, joint, float32=True)\n--\n\n"
          "The cell counts of X's rows that purification weighs: (n_rows, [(feature, counts)],\n"
          "[joint counts per interaction] when joint); counts of row blocks add up.");
}

}  // namespace tamrel_py::xgb2
