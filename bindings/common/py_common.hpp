// Shared pybind11 includes, array types and helpers for the extension modules.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <string>
#include <utility>

namespace py = pybind11;

namespace tamrel_py {

// Arrays as the kernels read them: contiguous, converted only when needed.
// forcecast keeps a float64 C-contiguous array (read-only included) as it is.
using f64_array = py::array_t<double, py::array::c_style | py::array::forcecast>;
using i64_array = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

// Raise an exception class that lives in Python (e.g. TamrelError).
[[noreturn]] inline void raise_py(const py::handle& exc_type, const std::string& message) {
    PyErr_SetString(exc_type.ptr(), message.c_str());
    throw py::error_already_set();
}

// A new Python class made by type(name, bases, ns), so it can derive from Python bases.
inline py::object make_class(py::module_& m, const char* name, const py::tuple& bases,
                             const char* doc) {
    py::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = name;
    ns["__doc__"] = doc;
    py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    py::object cls = type(name, bases, ns);
    m.attr(name) = cls;
    return cls;
}

// Attach a C++ function as a method. `doc` starts with "name(self, ...)\n--\n\n" so that
// inspect.signature reads it; `bound_name` must not be "__init__" (pybind11 would treat
// it as a constructor), the attribute name may be.
template <typename Func, typename... Extra>
void add_method(py::object& cls, const char* attr_name, const char* bound_name, Func&& f,
                const char* doc, Extra&&... extra) {
    cls.attr(attr_name) = py::cpp_function(std::forward<Func>(f), py::name(bound_name),
                                           py::is_method(cls), py::doc(doc),
                                           std::forward<Extra>(extra)...);
}

// A float64 array of the given object (no copy when it already is one).
inline f64_array as_f64(const py::handle& obj, const char* what) {
    auto arr = f64_array::ensure(obj);
    if (!arr) throw py::type_error(std::string(what) + " must be a numeric array");
    return arr;
}

}  // namespace tamrel_py
