// Helpers shared by the frailzone classes: module names, column views, region boxes.
#include "frailzone_classes.hpp"

#include <limits>

#include "tamrel/binning.hpp"
#include "tamrel/gather.hpp"

namespace frailzone_py {

using namespace pybind11::literals;

py::object mod(const char* name) {
    return py::module_::import("tamrel.diagnoser.frailzone").attr(name);
}

void raise_tamrel(const std::string& message) { tamrel_py::raise_py(mod("TamrelError"), message); }

ColumnRef weight_column(const py::handle& obj) {
    ColumnRef w = optional_column(obj, "sample_weight");
    if (!w.col.empty() && tamrel_py::count_beyond(w.col) > 0)
        throw py::value_error("sample_weight must hold finite values.");
    return w;
}

py::object take_rows(const py::handle& obj, const py::handle& idx_obj, const char* what) {
    py::array arr = mod("np").attr("asarray")(obj);
    const auto idx = tamrel_py::ensure_aligned<tamrel_py::i64_array>(idx_obj);
    if (!idx || idx.ndim() != 1) throw py::type_error("row positions must be a 1-D integer array.");
    // Object references (also inside structured dtypes) must not be copied as raw bytes.
    const bool plain = !arr.dtype().attr("hasobject").cast<bool>() && (arr.ndim() == 1 || arr.ndim() == 2) &&
                       arr.dtype().itemsize() > 0;
    if (!plain) return arr[idx_obj];
    const std::int64_t n = arr.shape(0), m = idx.shape(0);
    const std::int64_t* pos = idx.data();
    for (std::int64_t k = 0; k < m; ++k)
        if (pos[k] < 0 || pos[k] >= n)
            throw py::index_error(std::string(what) + ": row position " + std::to_string(pos[k]) +
                                  " is out of range for " + std::to_string(n) + " rows.");
    std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(m)};
    if (arr.ndim() == 2) shape.push_back(arr.shape(1));
    py::array out(arr.dtype(), shape);
    tamrel::ByteMatrix src;
    src.base = static_cast<const char*>(arr.data());
    src.rows = n;
    src.cols = arr.ndim() == 2 ? arr.shape(1) : 1;
    src.row_stride = arr.strides(0);
    src.col_stride = arr.ndim() == 2 ? arr.strides(1) : arr.dtype().itemsize();
    src.itemsize = arr.dtype().itemsize();
    char* dst = static_cast<char*>(out.mutable_data());
    {
        py::gil_scoped_release nogil;
        tamrel::gather_rows(src, pos, m, dst);
    }
    return std::move(out);
}

void check_rows(const py::handle& obj, std::int64_t n, const char* what) {
    if (obj.is_none()) throw py::type_error(std::string(what) + " is None: the metric needs one entry per row of x.");
    const py::array arr = mod("np").attr("asarray")(obj);
    const std::int64_t m = arr.ndim() == 0 ? 0 : arr.shape(0);
    if (arr.ndim() == 0 || m != n)
        throw py::value_error(std::string(what) + " has " + std::to_string(m) + " entries but x has " +
                              std::to_string(n) + ".");
}

std::int64_t checked_bins(const py::object& slicer) { return positive_bins(slicer.attr("bins")); }


py::list slicing_positions(const py::object& slicer) {
    py::list names = slicer.attr("feature_names");
    py::object features = slicer.attr("slice_features");
    // A plain string names one feature; iterating it would give its letters.
    if (py::isinstance<py::str>(features)) features = py::make_tuple(features);
    py::list fidx;
    for (const py::handle& f : features) {
        if (!names.contains(f))
            throw py::value_error("Slicing feature " + py::repr(f).cast<std::string>() +
                                  " is not in feature_names " + py::repr(names).cast<std::string>() + ".");
        py::object pos = names.attr("index")(f);
        if (!fidx.contains(pos)) fidx.append(pos);
    }
    if (fidx.size() > 2) raise_tamrel("Only Support at most two slicing features.");
    return fidx;
}

double average_score(const py::object& scores, const py::object& sample_weight) {
    const ColumnRef s = column_ref(scores, "scores");
    const ColumnRef w = weight_column(sample_weight);
    check_length(w, s.col.size, "sample_weight");
    py::gil_scoped_release nogil;
    return tamrel::mean_at(s.col, tamrel::Rows::all(s.col.size), w.col);
}

std::string slicing_feature_name(const py::object& slicer, size_t which) {
    try {
        const auto fidx = slicer_fidx(slicer);
        py::list names = slicer.attr("feature_names");
        return py::str(names[fidx.at(which)]).cast<std::string>();
    } catch (const std::exception&) {
        return which == 0 ? "the first slicing feature" : "the second slicing feature";
    }
}

void add_analysis_settings(const py::object& facade, py::dict& value, bool with_threshold) {
    value["slice_features"] = facade.attr("slice_features");
    value["bins"] = facade.attr("bins");
    if (with_threshold) value["threshold_value"] = facade.attr("threshold");
    for (const char* key : {"method", "min_samples", "metric"}) value[key] = facade.attr(key);
}

py::dict analysis_settings(const py::object& facade) {
    py::dict value;
    add_analysis_settings(facade, value, false);
    return value;
}

void raise_not_finite(const py::object& slicer, size_t which) {
    throw py::value_error("Feature '" + slicing_feature_name(slicer, which) +
                          "' holds NaN or infinite values; its histogram range is not finite.");
}

std::vector<py::ssize_t> slicer_fidx(const py::object& slicer) {
    std::vector<py::ssize_t> fidx;
    for (const py::handle& f : slicer.attr("fidx")) fidx.push_back(as_position(f, "fidx entry"));
    return fidx;
}

namespace {

double bound(const py::handle& rec, const char* key) {
    return as_number(rec[key], std::string("region bound '") + key + "'");
}

}  // namespace

std::vector<tamrel::Box> region_boxes(const py::object& slicer, const py::list& records) {
    std::vector<tamrel::Box> boxes;
    if (records.empty()) return boxes;
    const auto fidx = slicer_fidx(slicer);
    const py::object x = slicer.attr("x");
    const ColumnRef c1 = matrix_column(x, fidx.at(0), "x");
    const bool two = fidx.size() > 1;
    const ColumnRef c2 = two ? matrix_column(x, fidx[1], "x") : ColumnRef{};
    for (const py::handle& rec : records) {
        tamrel::Box b;
        b.lb1 = bound(rec, "lb1");
        b.ub1 = bound(rec, "ub1");
        b.two = two;
        if (two) {
            b.lb2 = bound(rec, "lb2");
            b.ub2 = bound(rec, "ub2");
        }
        boxes.push_back(b);
    }
    py::gil_scoped_release nogil;
    tamrel::close_boxes(boxes, c1.col, c2.col);
    return boxes;
}

std::vector<std::vector<std::int64_t>> region_members(const py::object& slicer,
                                                      const py::handle& matrix,
                                                      const std::vector<tamrel::Box>& boxes) {
    const auto fidx = slicer_fidx(slicer);
    const ColumnRef c1 = matrix_column(matrix, fidx.at(0), "x");
    const ColumnRef c2 = fidx.size() > 1 ? matrix_column(matrix, fidx[1], "x") : ColumnRef{};
    py::gil_scoped_release nogil;
    return tamrel::box_members(c1.col, c2.col, boxes);
}

py::dict rule_record(const py::object& lb1, const py::object& ub1, const py::object& lb2,
                     const py::object& ub2, bool two, double value, std::int64_t count) {
    py::dict splits;
    splits["f0"] = py::dict("lb"_a = lb1, "ub"_a = ub1);
    if (two) splits["f1"] = py::dict("lb"_a = lb2, "ub"_a = ub2);
    py::dict rule;
    rule["splits"] = splits;
    rule["values"] = value;
    rule["counts"] = count;
    return rule;
}

}  // namespace frailzone_py
