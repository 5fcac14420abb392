// Methods of the classes made with type(): a compiled function inside a small descriptor
// type, so that the method binds like a Python function and reads like one in help(),
// inspect and scikit-learn (pybind11's own functions report an internal __qualname__
// and, for __init__, the bound name "init").
#include "py_common.hpp"

#include <cstddef>

#include <structmember.h>

namespace tamrel_py {
namespace {

struct Method {
    PyObject_HEAD
    PyObject* func;  // the pybind11 function; called with self first
    PyObject* dict;  // __name__, __qualname__, __module__, __doc__, __signature__
};

PyObject* method_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* method_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return PyObject_Call(reinterpret_cast<Method*>(self)->func, args, kwargs);
}

PyObject* method_repr(PyObject* self) {
    PyObject* qualname = PyDict_GetItemString(reinterpret_cast<Method*>(self)->dict, "__qualname__");
    return qualname ? PyUnicode_FromFormat("<function %U>", qualname) : PyUnicode_FromString("<function>");
}

void method_dealloc(PyObject* self) {
    auto* m = reinterpret_cast<Method*>(self);
    Py_XDECREF(m->func);
    Py_XDECREF(m->dict);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef method_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(Method, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot method_slots[] = {
    {Py_tp_descr_get, reinterpret_cast<void*>(method_get)},
    {Py_tp_call, reinterpret_cast<void*>(method_call)},
    {Py_tp_repr, reinterpret_cast<void*>(method_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(method_dealloc)},
    {Py_tp_members, method_members},
    {0, nullptr},
};

PyType_Spec method_spec = {"tamrel.compiled_method", static_cast<int>(sizeof(Method)), 0, Py_TPFLAGS_DEFAULT,
                           method_slots};

PyObject* method_type() {
    static PyObject* type = PyType_FromSpec(&method_spec);  // lives as long as the module
    if (type == nullptr) throw py::error_already_set();
    return type;
}

}  // namespace

py::object make_class(py::module_& m, const char* name, const py::tuple& bases, const char* doc) {
    py::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = name;
    ns["__doc__"] = doc;
    py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    py::object cls = type(name, bases, ns);
    m.attr(name) = cls;
    return cls;
}

py::object method_of(const py::object& cls, const char* attr_name, const py::cpp_function& f) {
    // is_method wraps the function in an instancemethod; the descriptor binds instead.
    py::object func = f;
    if (PyInstanceMethod_Check(func.ptr())) func = py::reinterpret_borrow<py::object>(PyInstanceMethod_GET_FUNCTION(func.ptr()));
    PyObject* raw = PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(method_type()), 0);
    if (raw == nullptr) throw py::error_already_set();
    py::object method = py::reinterpret_steal<py::object>(raw);
    auto* m = reinterpret_cast<Method*>(raw);
    m->func = func.inc_ref().ptr();
    m->dict = PyDict_New();
    py::dict attrs = py::reinterpret_borrow<py::dict>(m->dict);
    attrs["__name__"] = attr_name;
    attrs["__qualname__"] = cls.attr("__qualname__").cast<std::string>() + "." + attr_name;
    attrs["__module__"] = cls.attr("__module__");
    attrs["__doc__"] = func.attr("__doc__");
    attrs["__signature__"] = py::module_::import("inspect").attr("signature")(func);
    return method;
}

}  // namespace tamrel_py
