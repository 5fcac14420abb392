// Conversions shared by the kernel files of tamrel.models.xgb2.xgboost.
#include "xgb2_kernel_args.hpp"

#include "tamrel/finite.hpp"

namespace tamrel_py::xgb2::kernel_args {

py::array float64_input(const py::object& obj, const std::string& what) {
    py::array arr = float64_view(numeric_array(obj, what, kValue));
    if (!(arr.flags() & py::array::c_style)) arr = py::module_::import("numpy").attr("ascontiguousarray")(arr);
    return arr;
}

py::array_t<double> to_array(const std::vector<double>& v) {
    return py::array_t<double>(static_cast<py::ssize_t>(v.size()), v.data());
}

py::tuple to_python(const core::Decomposition& d) {
    py::list mains, pairs;
    for (const auto& m : d.mains) mains.append(py::make_tuple(m.feature, to_array(m.thresholds), to_array(m.values)));
    for (const auto& in : d.interactions) {
        py::array_t<double> table({static_cast<py::ssize_t>(in.height()), static_cast<py::ssize_t>(in.width())},
                                  in.values.data());
        pairs.append(py::make_tuple(in.first, in.second, to_array(in.thresholds1), to_array(in.thresholds2), table));
    }
    return py::make_tuple(d.intercept, mains, pairs);
}

core::Matrix columns_of(const MatrixRef& X, std::vector<ColumnRef>& keep) {
    core::Matrix m;
    m.n_rows = X.rows();
    for (std::int64_t j = 0; j < X.cols(); ++j) {
        keep.push_back(X.column(j));
        m.columns.push_back(keep.back().col);
    }
    return m;
}

core::Matrix checked_matrix(const py::object& X, std::int64_t n_features, std::vector<ColumnRef>& keep,
                            bool allow_nan) {
    const MatrixRef xm = matrix_ref(X, "X", kValue);
    if (xm.rows() == 0) throw py::value_error("X has no rows");
    if (xm.cols() != n_features)
        throw py::value_error("X has " + std::to_string(xm.cols()) + " columns, but the model was trained on " +
                              std::to_string(n_features) + " features");
    const core::Matrix x = columns_of(xm, keep);
    if (!allow_nan)
        for (const core::Column& c : x.columns)
            if (tamrel::count_nan(c) > 0) throw py::value_error("X contains NaN");
    return x;
}

core::Ensemble EnsembleArg::view() const {
    core::Ensemble e{offsets.data(), static_cast<std::size_t>(offsets.size() - 1), left.data(),
                     right.data(),   feature.data(), data_of(value), static_cast<std::size_t>(left.size())};
    e.missing = missing;
    e.default_left = default_left.empty() ? nullptr : default_left.data();
    e.deep = deep;
    return e;
}

EnsembleArg ensemble_arg(const py::object& offsets, const py::object& left, const py::object& right,
                         const py::object& feature, const py::object& value, const py::object& default_left) {
    EnsembleArg e{integer_array(offsets, "offsets", kValue), integer_array(left, "left", kValue),
                  integer_array(right, "right", kValue), integer_array(feature, "feature", kValue),
                  float64_input(value, "value"), false, {}};
    const auto n_nodes = e.left.size();
    if (e.offsets.size() < 1) throw py::value_error("offsets must be a one-dimensional array of at least one entry");
    if (e.right.size() != n_nodes || e.feature.size() != n_nodes || e.value.ndim() != 1 || e.value.size() != n_nodes)
        throw py::value_error("the node arrays differ in length");
    if (!default_left.is_none()) {
        const i64_array flags = integer_array(default_left, "default_left", kValue);
        if (flags.size() != n_nodes) throw py::value_error("the node arrays differ in length");
        e.missing = true;
        e.default_left.assign(flags.data(), flags.data() + n_nodes);
    }
    return e;
}

py::tuple counts_to_python(const core::CellCounts& c) {
    py::list marginal, joint;
    for (const auto& [f, counts] : c.marginal) marginal.append(py::make_tuple(f, to_array(counts)));
    for (const auto& counts : c.joint) joint.append(to_array(counts));
    return py::make_tuple(c.n_rows, marginal, joint);
}

namespace {

std::vector<double> counts_of(const py::handle& obj) {
    const py::array a = float64_input(py::reinterpret_borrow<py::object>(obj), "counts");
    return std::vector<double>(data_of(a), data_of(a) + a.size());
}

}  // namespace

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

}  // namespace tamrel_py::xgb2::kernel_args
