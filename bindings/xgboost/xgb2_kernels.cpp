// Private kernels of the module: effect evaluation and ensemble decomposition, used by
// tamrel.models.utils and tamrel.models.xgb2.interpret.
#include "xgb2_internal.hpp"

#include "tamrel/xgb2/decompose.hpp"
#include "tamrel/xgb2/effect_grid.hpp"
#include "tamrel/xgb2/purify.hpp"

#include <cmath>
#include <string>

namespace tamrel_py::xgb2 {
namespace core = tamrel::xgb2;
namespace {

using strided_f64 = py::array_t<double, py::array::forcecast>;

// A float64 matrix (strides kept when they are whole elements, else a contiguous copy).
struct MatrixArg {
    py::array keep;
    core::Matrix view;
};

// `obj` as an array of numbers; the float64 cast would parse text and drop imaginary
// parts, so both are refused.
py::array numeric_input(const py::object& obj, const std::string& what) {
    py::array raw = py::array::ensure(obj);
    if (!raw) throw py::value_error(what + " must be a numeric array");
    const char kind = raw.dtype().kind();
    if (kind == 'U' || kind == 'S' || kind == 'V') throw py::value_error(what + " must be a numeric array");
    if (kind == 'c') throw py::value_error("Complex data not supported in " + what);
    return raw;
}

f64_array f64_input(const py::object& obj, const std::string& what) {
    auto arr = f64_array::ensure(numeric_input(obj, what));
    if (!arr) throw py::value_error(what + " must be a numeric array");
    return arr;
}

MatrixArg matrix_arg(const py::object& X) {
    auto arr = strided_f64::ensure(numeric_input(X, "X"));
    if (!arr) throw py::value_error("X must be a numeric array");
    if (arr.ndim() != 2)
        throw py::value_error("X must be two-dimensional, got " + std::to_string(arr.ndim()) + " dimension(s)");
    const auto item = static_cast<py::ssize_t>(sizeof(double));
    if (arr.strides(0) % item != 0 || arr.strides(1) % item != 0) arr = f64_array::ensure(arr);
    const core::Matrix view{arr.data(), static_cast<std::size_t>(arr.shape(0)), static_cast<std::size_t>(arr.shape(1)),
                            arr.strides(0) / item, arr.strides(1) / item};
    return MatrixArg{arr, view};
}

core::Column column_of(const core::Matrix& X, py::ssize_t j) {
    if (j < 0 || static_cast<std::size_t>(j) >= X.n_cols)
        throw py::value_error("X has " + std::to_string(X.n_cols) + " column(s), but the effect reads column " +
                              std::to_string(j));
    return X.column(static_cast<std::size_t>(j));
}

f64_array thresholds_arg(const py::object& obj, const char* what) {
    f64_array t = f64_input(obj, what);
    if (t.ndim() != 1) throw py::value_error(std::string(what) + " must be one-dimensional");
    const double* p = t.data();
    for (py::ssize_t i = 0; i < t.shape(0); ++i) {
        if (std::isnan(p[i])) throw py::value_error(std::string(what) + " contains NaN");
        if (i > 0 && p[i] < p[i - 1]) throw py::value_error(std::string(what) + " must be sorted ascending");
    }
    return t;
}

core::Grid grid_of(const f64_array& t) { return core::Grid{t.data(), static_cast<std::size_t>(t.shape(0))}; }

void nan_error() { throw py::value_error("X contains NaN in a column the effect reads"); }

py::object predict_effect_1d(py::object X, py::ssize_t column, py::object thresholds, py::object values,
                             bool float32) {
    const MatrixArg x = matrix_arg(X);
    const core::Column col = column_of(x.view, column);
    const f64_array t = thresholds_arg(thresholds, "split_points");
    const f64_array v = f64_input(values, "values");
    if (v.ndim() != 1 || v.shape(0) != t.shape(0) + 1)
        throw py::value_error("values must hold len(split_points) + 1 = " + std::to_string(t.shape(0) + 1) +
                              " entries");
    py::array_t<double> out(static_cast<py::ssize_t>(col.n));
    bool ok;
    {
        py::gil_scoped_release nogil;
        ok = core::predict_main_effect(col, grid_of(t), v.data(), float32, out.mutable_data());
    }
    if (!ok) nan_error();
    return std::move(out);
}

py::object predict_effect_2d(py::object X, py::ssize_t column1, py::ssize_t column2, py::object thresholds1,
                             py::object thresholds2, py::object values, bool float32) {
    const MatrixArg x = matrix_arg(X);
    const core::Column c1 = column_of(x.view, column1), c2 = column_of(x.view, column2);
    const f64_array t1 = thresholds_arg(thresholds1, "split_points1");
    const f64_array t2 = thresholds_arg(thresholds2, "split_points2");
    const f64_array v = f64_input(values, "values");
    if (v.ndim() != 2 || v.shape(0) != t1.shape(0) + 1 || v.shape(1) != t2.shape(0) + 1)
        throw py::value_error("values must be a (len(split_points1) + 1, len(split_points2) + 1) = (" +
                              std::to_string(t1.shape(0) + 1) + ", " + std::to_string(t2.shape(0) + 1) + ") table");
    py::array_t<double> out(static_cast<py::ssize_t>(c1.n));
    bool ok;
    {
        py::gil_scoped_release nogil;
        ok = core::predict_interaction(c1, grid_of(t1), c2, grid_of(t2), v.data(), float32, out.mutable_data());
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

// The flat node arrays as the core's view; the arrays stay owned by the caller.
core::Ensemble ensemble_of(const i64_array& offsets, const i64_array& left, const i64_array& right,
                           const i64_array& feature, const f64_array& value) {
    const auto n_nodes = left.size();
    if (offsets.ndim() != 1 || offsets.size() < 1)
        throw py::value_error("offsets must be a one-dimensional array of at least one entry");
    if (right.size() != n_nodes || feature.size() != n_nodes || value.size() != n_nodes)
        throw py::value_error("the node arrays differ in length");
    return core::Ensemble{offsets.data(), static_cast<std::size_t>(offsets.size() - 1), left.data(),
                          right.data(),   feature.data(), value.data(), static_cast<std::size_t>(n_nodes)};
}

// (n_rows, [(feature, counts)], [joint counts per interaction]) as _count_cells returns it.
py::tuple counts_to_python(const core::CellCounts& c) {
    py::list marginal, joint;
    for (const auto& [f, counts] : c.marginal) marginal.append(py::make_tuple(f, to_array(counts)));
    for (const auto& counts : c.joint) joint.append(to_array(counts));
    return py::make_tuple(c.n_rows, marginal, joint);
}

core::CellCounts counts_from_python(const py::object& obj) {
    const py::tuple t = py::cast<py::tuple>(obj);
    if (t.size() != 3) throw py::value_error("counts must be (n_rows, marginal, joint)");
    core::CellCounts c;
    c.n_rows = t[0].cast<double>();
    for (py::handle item : t[1]) {
        const py::tuple pair = py::cast<py::tuple>(item);
        if (pair.size() != 2) throw py::value_error("marginal counts must be (feature, counts) pairs");
        const f64_array a = f64_input(py::reinterpret_borrow<py::object>(pair[1]), "counts");
        c.marginal[pair[0].cast<std::int64_t>()].assign(a.data(), a.data() + a.size());
    }
    for (py::handle item : t[2]) {
        const f64_array a = f64_input(py::reinterpret_borrow<py::object>(item), "counts");
        c.joint.emplace_back(a.data(), a.data() + a.size());
    }
    return c;
}

py::object parse_ensemble(i64_array offsets, i64_array left, i64_array right, i64_array feature, f64_array value,
                          std::int64_t n_features, py::object X, bool purification, bool true_to_data,
                          bool float32, py::object counts) {
    const core::Ensemble trees = ensemble_of(offsets, left, right, feature, value);
    core::Decomposition d;
    if (!counts.is_none()) {  // the rows' cell counts, summed over blocks of rows
        const core::CellCounts c = counts_from_python(counts);
        {
            py::gil_scoped_release nogil;
            d = core::decompose(trees, n_features);
            if (purification) core::purify_counts(d, core::purification_grids(d), c, true_to_data);
        }
        return to_python(d);
    }
    const MatrixArg x = matrix_arg(X);
    {
        py::gil_scoped_release nogil;  // std::invalid_argument leaves as ValueError
        d = core::decompose(trees, n_features);
        if (purification) core::purify(d, x.view, float32, true_to_data);
    }
    return to_python(d);
}

py::tuple count_cells(i64_array offsets, i64_array left, i64_array right, i64_array feature, f64_array value,
                      std::int64_t n_features, py::object X, bool joint, bool float32) {
    const core::Ensemble trees = ensemble_of(offsets, left, right, feature, value);
    const MatrixArg x = matrix_arg(X);
    core::CellCounts c;
    {
        py::gil_scoped_release nogil;
        const core::Decomposition d = core::decompose(trees, n_features);
        c = core::count_cells(d, core::purification_grids(d), x.view, float32, joint);
    }
    return counts_to_python(c);
}

}  // namespace

void define_kernels(py::module_& m) {
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
