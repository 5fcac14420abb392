// FrailScan and FrailCompare: weak regions of every scanned feature and pair.
//
// The constructors are C++ and take their settings from the classes' declarative tables
// (tamrel.diagnoser.scan_settings), which give the signature line, the docstring's
// parameters and the checks in fit; the orchestration of the passes, the significance
// tests and the drill-down views live in Python (scan_fit, scan_compare), whose functions
// become the classes' public methods. The kernels are tamrel.diagnoser._scan.
#include "frailzone_classes.hpp"

namespace frailzone_py {

// Named rather than anonymous: the binding files compile together in unity groups.
namespace frail_scan_impl {

// The constructor of a scan class: the arguments bound and stored by its table, then the
// task type inferred from the estimator as every diagnoser does.
void init(const py::object& table, py::object self, py::args args, py::kwargs kwargs) {
    py::module_::import("tamrel.settings").attr("store")(self, table, args, kwargs);
    mod("BaseDiagnoser").attr("__init__")(self, self.attr("estimator"), self.attr("task_type"),
                                          self.attr("random_state"));
    self.attr("output") = py::none();
}

// A Python function as a method of `cls`: a copy of its own (the same code), named
// "Class.method" in the class's module, as every method of the compiled classes reads.
py::object method_copy(const py::object& f, const py::object& cls, const char* method) {
    py::object copy = py::module_::import("types").attr("FunctionType")(
        f.attr("__code__"), f.attr("__globals__"), method, f.attr("__defaults__"), f.attr("__closure__"));
    copy.attr("__kwdefaults__") = f.attr("__kwdefaults__");
    copy.attr("__doc__") = f.attr("__doc__");
    copy.attr("__qualname__") = cls.attr("__qualname__").cast<std::string>() + "." + method;
    copy.attr("__module__") = cls.attr("__module__");
    return copy;
}

void define_scan_class(py::module_& m, const char* name, const char* helpers_module, const char* table_name,
                       const std::vector<const char*>& methods) {
    py::object helpers = py::module_::import(helpers_module);
    py::object settings = py::module_::import("tamrel.settings");
    py::object table = py::module_::import("tamrel.diagnoser.scan_settings").attr(table_name);
    py::tuple bases = py::make_tuple(m.attr("BaseDiagnoser"), py::module_::import("sklearn.base").attr("BaseEstimator"));
    const std::string doc = helpers.attr("CLASS_DOC").cast<std::string>() + "\n" +
                            settings.attr("parameters_doc")(table).cast<std::string>() + "\n\n" +
                            helpers.attr("ATTRIBUTES_DOC").cast<std::string>();
    py::object cls = tamrel_py::make_class(m, name, bases, doc.c_str());
    const std::string init_doc = settings.attr("signature_line")("init", table).cast<std::string>() +
                                 "\n--\n\nStore the settings; they are checked by fit.";
    // the signature is read from the docstring's first line, as for every compiled method
    py::cpp_function named([table](py::object self, py::args args, py::kwargs kwargs) { init(table, self, args, kwargs); },
                           py::name("init"), py::is_method(cls), py::doc(init_doc.c_str()));
    cls.attr("__init__") = tamrel_py::method_of(cls, "__init__", named);
    for (const char* method : methods) cls.attr(method) = method_copy(helpers.attr(method), cls, method);
}

}  // namespace frail_scan_impl

void define_frail_scan(py::module_& m) {
    using namespace frail_scan_impl;
    define_scan_class(m, "FrailScan", "tamrel.diagnoser.scan_fit", "SCAN",
                      {"fit", "get_result", "get_target_rows", "get_rule", "frailzone"});
    define_scan_class(m, "FrailCompare", "tamrel.diagnoser.scan_compare", "COMPARE",
                      {"fit", "get_result", "get_target_rows", "get_rule"});
}

}  // namespace frailzone_py
