// The conversion toolkit (see conversion.hpp for the error rule).
#include "conversion.hpp"

#include "tamrel/finite.hpp"

namespace tamrel_py {
namespace {

py::object numpy() { return py::module_::import("numpy"); }

std::string repr_of(const py::handle& value) { return py::repr(value).cast<std::string>(); }

std::string dtype_name(const py::array& arr) { return py::str(arr.dtype()).cast<std::string>(); }

bool whole_elements(const py::array& arr) {
    for (py::ssize_t d = 0; d < arr.ndim(); ++d)
        if (arr.strides(d) % static_cast<py::ssize_t>(sizeof(double)) != 0) return false;
    return true;
}

// float64 in native byte order at an aligned address with element strides: readable as is.
// (dtype::equal would take a byte-swapped float64 for a native one.)
bool is_native(const py::array& arr, char kind, py::ssize_t itemsize) {
    const py::dtype dt = arr.dtype();
    return dt.kind() == kind && dt.itemsize() == itemsize && dt.attr("isnative").cast<bool>() &&
           reinterpret_cast<std::uintptr_t>(arr.data()) % static_cast<std::uintptr_t>(itemsize) == 0;
}

bool is_f64_view(const py::array& arr) { return is_native(arr, 'f', 8) && whole_elements(arr); }

// An object array of real numbers as float64; the first other entry is named.
py::array objects_to_float64(const py::array& arr, const std::string& what, Refusal how) {
    py::array flat = numpy().attr("ascontiguousarray")(arr).attr("ravel")();
    py::array_t<double> out(flat.size());
    auto* const* items = static_cast<PyObject* const*>(flat.data());
    double* dst = out.mutable_data();
    for (py::ssize_t i = 0; i < flat.size(); ++i) {
        const py::handle item(items[i]);
        try {
            dst[i] = as_number(item, what, how);
        } catch (const py::builtin_exception&) {
            refuse_kind(how, what + " must hold numbers, found " + repr_of(item) + " at position " + std::to_string(i) +
                                 ".");
        }
    }
    return out.attr("reshape")(arr.attr("shape"));
}

}  // namespace

void refuse_kind(Refusal how, const std::string& message) {
    if (how == Refusal::value_error) throw py::value_error(message);
    throw py::type_error(message);
}

py::array numeric_array(const py::handle& obj, const std::string& what, Refusal how) {
    py::array arr = numpy().attr("asarray")(obj);
    const char kind = arr.dtype().kind();
    if (kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f') return arr;
    if (kind == 'O') return objects_to_float64(arr, what, how);
    if (kind == 'c')
        refuse_kind(how, what + " must be numeric, got dtype " + dtype_name(arr) + " (Complex data not supported).");
    refuse_kind(how, what + " must be numeric, got dtype " + dtype_name(arr) + ".");
}

py::array float64_view(const py::array& numeric) {
    if (is_f64_view(numeric)) return numeric;
    return numpy().attr("array")(numeric, py::arg("dtype") = "float64");  // a fresh, aligned copy
}

ColumnRef column_ref(const py::handle& obj, const std::string& what, Refusal how) {
    py::array arr = numpy().attr("asarray")(obj);
    if (arr.ndim() == 2 && arr.shape(1) == 1) arr = arr.attr("ravel")();
    if (arr.ndim() != 1)
        throw py::value_error(what + " must be one-dimensional, got " + std::to_string(arr.ndim()) + " dimensions.");
    arr = float64_view(numeric_array(arr, what, how));
    return ColumnRef{arr, tamrel::Column(static_cast<const double*>(arr.data()), arr.shape(0), arr.strides(0))};
}

ColumnRef optional_column(const py::handle& obj, const std::string& what, Refusal how) {
    if (obj.is_none()) return ColumnRef{};
    return column_ref(obj, what, how);
}

MatrixRef matrix_ref(const py::handle& obj, const std::string& what, Refusal how) {
    py::array arr = numpy().attr("asarray")(obj);
    if (arr.ndim() != 2)
        throw py::value_error(what + " must be two-dimensional, got " + std::to_string(arr.ndim()) + " dimension(s).");
    return MatrixRef{numeric_array(arr, what, how), what, how};
}

ColumnRef MatrixRef::column(std::int64_t j) const {
    if (j < 0 || j >= cols())
        throw py::index_error(what + ": column " + std::to_string(j) + " is out of range for " +
                              std::to_string(cols()) + " columns.");
    if (is_f64_view(arr)) {
        const char* base = static_cast<const char*>(arr.data()) + j * arr.strides(1);
        return ColumnRef{arr, tamrel::Column(reinterpret_cast<const double*>(base), rows(), arr.strides(0))};
    }
    py::array col = arr[py::make_tuple(py::slice(py::none(), py::none(), py::none()), j)];
    col = float64_view(col);  // this column only
    return ColumnRef{col, tamrel::Column(static_cast<const double*>(col.data()), col.shape(0), col.strides(0))};
}

ColumnRef matrix_column(const py::handle& matrix, std::int64_t j, const std::string& what, Refusal how) {
    return matrix_ref(matrix, what, how).column(j);
}

i64_array integer_array(const py::handle& obj, const std::string& what, Refusal how) {
    py::array arr = numpy().attr("asarray")(obj);
    const char kind = arr.dtype().kind();
    if (kind != 'i' && kind != 'u')
        refuse_kind(how, what + " must be an integer array, got dtype " + dtype_name(arr) + ".");
    if (arr.ndim() != 1)
        throw py::value_error(what + " must be one-dimensional, got " + std::to_string(arr.ndim()) + " dimensions.");
    if (kind == 'u' && arr.dtype().itemsize() == 8 && arr.size() > 0 &&
        numpy().attr("max")(arr).cast<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX))
        throw py::value_error(what + " holds entries beyond the int64 range.");
    const bool direct = is_native(arr, 'i', 8) && arr.strides(0) == 8;
    if (!direct) arr = numpy().attr("array")(arr, py::arg("dtype") = "int64");  // a fresh, aligned copy
    return py::reinterpret_borrow<i64_array>(arr);
}

double as_number(const py::handle& value, const std::string& what, Refusal how) {
    const bool refused = value.is_none() || py::isinstance<py::str>(value) || py::isinstance<py::bytes>(value) ||
                         PyComplex_Check(value.ptr()) ||
                         (py::isinstance<py::array>(value) && py::reinterpret_borrow<py::array>(value).ndim() > 0);
    PyObject* f = refused ? nullptr : PyNumber_Float(value.ptr());
    if (!f) {
        PyErr_Clear();
        refuse_kind(how, what + " must be a number, got " + repr_of(value) + ".");
    }
    const double d = PyFloat_AsDouble(f);
    Py_DECREF(f);
    return d;
}

py::ssize_t as_position(const py::handle& value, const std::string& what, Refusal how) {
    PyObject* i = PyNumber_Index(value.ptr());
    const py::ssize_t pos = i ? PyNumber_AsSsize_t(i, nullptr) : -1;
    Py_XDECREF(i);
    if (PyErr_Occurred()) {
        PyErr_Clear();
        refuse_kind(how, what + " must be an integer position, got " + repr_of(value) + ".");
    }
    return pos;
}

std::int64_t count_beyond(const tamrel::Column& col, double bound) {
    py::gil_scoped_release nogil;
    return tamrel::count_beyond(col, bound);
}

void require_finite(const ColumnRef& c, const std::string& what) {
    const std::int64_t bad = count_beyond(c.col);
    if (bad > 0) throw py::value_error(what + " holds " + std::to_string(bad) + " NaN or infinite value(s).");
}

py::array_t<double> to_float_array(const std::vector<double>& values) {
    py::array_t<double> out(static_cast<py::ssize_t>(values.size()));
    if (!values.empty()) std::copy(values.begin(), values.end(), out.mutable_data());
    return out;
}

void check_length(const ColumnRef& c, std::int64_t n, const char* what) {
    if (!c.col.empty() && c.col.size != n)
        throw py::value_error(std::string(what) + " has " + std::to_string(c.col.size) +
                              " entries but x has " + std::to_string(n) + ".");
}

py::array_t<std::int64_t> to_index_array(const std::vector<std::int64_t>& idx) {
    py::array_t<std::int64_t> out(static_cast<py::ssize_t>(idx.size()));
    if (!idx.empty()) std::copy(idx.begin(), idx.end(), out.mutable_data());
    return out;
}

std::int64_t positive_bins(const py::object& bins) {
    if (!py::hasattr(bins, "__index__")) throw py::type_error("bins must be a positive integer.");
    const py::int_ value(bins.attr("__index__")());
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow > 0) return std::numeric_limits<std::int64_t>::max();  // more bins than any data has values
    if (overflow < 0 || n < 1)
        throw py::value_error("bins must be a positive integer, got " + py::str(value).cast<std::string>() + ".");
    return n;
}

}  // namespace tamrel_py
