// Shared pybind11 includes, array types and the class-making helpers of the extension
// modules (precompiled once per module). Conversions of input: conversion.hpp.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <string>
#include <utility>

namespace py = pybind11;

namespace tamrel_py {

// Contiguous arrays as pybind11 converts them (forcecast keeps a float64 C-contiguous
// array, read-only included, as it is).
using f64_array = py::array_t<double, py::array::c_style | py::array::forcecast>;
using i64_array = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

// Array::ensure that also copies a buffer at an address the element type may not be read
// from: pybind11's ensure keeps such a view (e.g. from a pickle or a byte offset) as it is.
template <typename Array>
Array ensure_aligned(const py::handle& obj) {
    Array a = Array::ensure(obj);
    if (a && reinterpret_cast<std::uintptr_t>(a.data()) % alignof(typename Array::value_type) != 0)
        a = Array::ensure(py::module_::import("numpy").attr("require")(a, py::none(), "A"));
    return a;
}

// Raise an exception class that lives in Python (e.g. TamrelError).
[[noreturn]] inline void raise_py(const py::handle& exc_type, const std::string& message) {
    PyErr_SetString(exc_type.ptr(), message.c_str());
    throw py::error_already_set();
}

// A new Python class made by type(name, bases, ns), so it can derive from Python bases.
// Its signature is that of its __init__ (inspect drops `self`).
py::object make_class(py::module_& m, const char* name, const py::tuple& bases, const char* doc);

// Wraps a compiled function as a method of `cls` named `attr_name`: a descriptor that
// binds like a Python function and carries __name__, __qualname__ ("Class.name"),
// __module__, __doc__ and __signature__ (read from the docstring's first line).
py::object method_of(const py::object& cls, const char* attr_name, const py::cpp_function& f);

// Attach a C++ function as a method. `doc` starts with "name(self, ...)\n--\n\n" so that
// the signature can be read from it; `bound_name` must not be "__init__" (pybind11 would
// treat it as a constructor), the attribute name may be.
template <typename Func, typename... Extra>
void add_method(py::object& cls, const char* attr_name, const char* bound_name, Func&& f,
                const char* doc, Extra&&... extra) {
    py::cpp_function impl(std::forward<Func>(f), py::name(bound_name), py::is_method(cls), py::doc(doc),
                          std::forward<Extra>(extra)...);
    cls.attr(attr_name) = method_of(cls, attr_name, impl);
}

// Attach a C++ function as a static method (no self), named and documented alike.
template <typename Func, typename... Extra>
void add_static_method(py::object& cls, const char* name, Func&& f, const char* doc, Extra&&... extra) {
    py::cpp_function impl(std::forward<Func>(f), py::name(name), py::doc(doc), std::forward<Extra>(extra)...);
    cls.attr(name) = py::staticmethod(method_of(cls, name, impl));
}

}  // namespace tamrel_py
