// Private kernels of the module: effect evaluation and ensemble decomposition, used by
// tamrel.models.utils and tamrel.models.xgb2.interpret.
#include "xgb2_kernel_args.hpp"

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
using namespace kernel_args;
namespace {

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

void nan_error() { throw py::value_error("X contains NaN in a column the effect reads"); }

// The split points (one array per feature, one or two features) and the values of an
// effect, checked: sorted split points without NaN, values on every cell (with `missing`,
// a last cell per feature for missing values).
struct EffectArrays {
    std::vector<py::array> thresholds;
    py::array values;
    bool missing = false;
    core::Grid grid(std::size_t k) const {
        return core::Grid{data_of(thresholds[k]), static_cast<std::size_t>(thresholds[k].shape(0)), missing};
    }
};

EffectArrays effect_arrays(const py::tuple& thresholds, const py::object& values, bool missing) {
    EffectArrays e;
    e.missing = missing;
    const std::string cells = missing ? " + 2" : " + 1";
    const bool pair = thresholds.size() == 2;
    std::vector<py::ssize_t> shape;
    for (std::size_t k = 0; k < thresholds.size(); ++k) {
        const std::string name = pair ? "split_points" + std::to_string(k + 1) : "split_points";
        e.thresholds.push_back(thresholds_arg(thresholds[k], name.c_str()));
        shape.push_back(e.thresholds.back().shape(0) + (missing ? 2 : 1));
    }
    e.values = float64_input(values, "values");
    const bool fits = e.values.ndim() == static_cast<py::ssize_t>(shape.size()) &&
                      std::equal(shape.begin(), shape.end(), e.values.shape());
    if (!fits && pair)
        throw py::value_error("values must be a (len(split_points1)" + cells + ", len(split_points2)" + cells +
                              ") = (" + std::to_string(shape[0]) + ", " + std::to_string(shape[1]) + ") table");
    if (!fits)
        throw py::value_error("values must hold len(split_points)" + cells + " = " + std::to_string(shape[0]) +
                              " entries");
    return e;
}

py::object check_effect(py::tuple thresholds, py::object values, bool missing) {
    if (thresholds.size() != 1 && thresholds.size() != 2)
        throw py::value_error("an effect has split points for one or two features");
    EffectArrays e = effect_arrays(thresholds, values, missing);
    py::list points;
    for (const py::array& t : e.thresholds) points.append(t);
    return py::make_tuple(py::tuple(points), e.values);
}

py::object predict_effect_1d(py::object X, py::ssize_t column, py::object thresholds, py::object values,
                             bool float32, bool missing) {
    const MatrixRef x = matrix_ref(X, "X", kValue);
    const ColumnRef ref = column_of(x, column);
    const core::Column& col = ref.col;
    const EffectArrays e = effect_arrays(py::make_tuple(thresholds), values, missing);
    py::array_t<double> out(col.size);
    bool ok;
    {
        py::gil_scoped_release nogil;
        ok = core::predict_main_effect(col, e.grid(0), data_of(e.values), float32, out.mutable_data());
    }
    if (!ok) nan_error();
    return std::move(out);
}

py::object predict_effect_2d(py::object X, py::ssize_t column1, py::ssize_t column2, py::object thresholds1,
                             py::object thresholds2, py::object values, bool float32, bool missing) {
    const MatrixRef x = matrix_ref(X, "X", kValue);
    const ColumnRef ref1 = column_of(x, column1), ref2 = column_of(x, column2);
    const core::Column &c1 = ref1.col, &c2 = ref2.col;
    const EffectArrays e = effect_arrays(py::make_tuple(thresholds1, thresholds2), values, missing);
    py::array_t<double> out(c1.size);
    bool ok;
    {
        py::gil_scoped_release nogil;
        ok = core::predict_interaction(c1, e.grid(0), c2, e.grid(1), data_of(e.values), float32, out.mutable_data());
    }
    if (!ok) nan_error();
    return std::move(out);
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
    m.def("_check_effect", &check_effect, py::arg("split_points"), py::arg("values"), py::arg("missing") = false,
          "_check_effect(split_points, values, missing=False)\n--\n\n"
          "The split points (a tuple of one or two arrays) and values of an effect as float64\n"
          "arrays, checked: sorted split points without NaN, one value per cell (with missing,\n"
          "a last cell per feature for missing values).");
    m.def("_predict_effect_1d", &predict_effect_1d, py::arg("X"), py::arg("column"), py::arg("thresholds"),
          py::arg("values"), py::arg("float32") = true, py::arg("missing") = false,
          "_predict_effect_1d(X, column, thresholds, values, float32=True, missing=False)\n--\n\n"
          "values[cell] of X[:, column] for every row, cells made by the sorted thresholds\n"
          "(x < threshold lies left); float32 rounds x to float32 first, as XGBoost does; with\n"
          "missing, NaN takes the last value (else it is refused).");
    m.def("_predict_effect_2d", &predict_effect_2d, py::arg("X"), py::arg("column1"), py::arg("column2"),
          py::arg("thresholds1"), py::arg("thresholds2"), py::arg("values"), py::arg("float32") = true,
          py::arg("missing") = false,
          "_predict_effect_2d(X, column1, column2, thresholds1, thresholds2, values, float32=True, missing=False)"
          "\n--\n\n"
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
