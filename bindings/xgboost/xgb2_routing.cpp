// scikit-learn's metadata routing (1.3 and later) for the compiled `fit`.
#include "xgb2_internal.hpp"

#include <string>

namespace tamrel_py::xgb2 {
namespace {

constexpr const char* kRequestsDoc = R"(_get_class_level_metadata_request_values(cls, method, *args, **kwargs)
--

scikit-learn's class-level metadata requests of `method`, plus the class's
``__metadata_request__<method>`` entries where `method` is compiled: scikit-learn
reads only methods written in Python and would otherwise see no metadata at all.
)";

}  // namespace

void declare_fit_metadata(py::object& base) {
    // Known to fit, not requested unless set_fit_request asks for it.
    py::dict fit_requests;
    fit_requests["sample_weight"] = py::none();
    base.attr("__metadata_request__fit") = fit_requests;
    // Before scikit-learn 1.8 the attribute is read whatever the method; from 1.8 on
    // only for Python functions, so the compiled methods get it through this hook.
    if (!py::hasattr(base, "_get_class_level_metadata_request_values")) return;
    py::object super = py::module_::import("builtins").attr("super");
    py::object isfunction = py::module_::import("inspect").attr("isfunction");
    py::cpp_function reader(
        [base, super, isfunction](py::object cls, py::str method, py::args args, py::kwargs kwargs) {
            py::dict values = super(base, cls).attr("_get_class_level_metadata_request_values")(method, *args,
                                                                                                 **kwargs);
            py::object bound = py::getattr(cls, method, py::none());
            if (args.size() > 0 || kwargs.size() > 0 || bound.is_none() || isfunction(bound).cast<bool>())
                return values;  // scikit-learn read this one itself
            const std::string attr = "__metadata_request__" + std::string(method);
            py::object declared = py::getattr(cls, attr.c_str(), py::none());
            if (declared.is_none()) return values;
            for (auto item : py::dict(declared))
                if (!values.contains(item.first)) values[item.first] = item.second;
            return values;
        },
        py::name("_get_class_level_metadata_request_values"), py::doc(kRequestsDoc));
    base.attr("_get_class_level_metadata_request_values") =
        py::reinterpret_steal<py::object>(PyClassMethod_New(reader.ptr()));
}

}  // namespace tamrel_py::xgb2
