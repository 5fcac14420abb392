// FrailScan: weak regions of every scanned feature and pair in one threaded pass.
//
// The constructor and the kernels are C++; the orchestration of the passes, the
// significance test and the drill-down views live in tamrel.diagnoser.scan_fit, whose
// functions become the class's public methods. The kernels are separable passes over
// row blocks with mergeable results (see frail_scan_kernels.cpp).
#include "frailzone_classes.hpp"

namespace frailzone_py {

// Named rather than anonymous: the binding files compile together in unity groups.
namespace frail_scan_impl {

void init(py::object self, py::object estimator, py::object features, py::object pairs, py::object task_type,
          py::object metric, py::object threshold, py::object bins, py::object min_samples, py::object use_test,
          py::object alpha, py::object n_jobs, py::object random_state, py::object verbose) {
    mod("BaseDiagnoser").attr("__init__")(self, estimator, task_type, random_state);
    self.attr("features") = features;
    self.attr("pairs") = pairs;
    self.attr("metric") = metric;
    self.attr("threshold") = threshold;
    self.attr("bins") = bins;
    self.attr("min_samples") = min_samples;
    self.attr("use_test") = use_test;
    self.attr("alpha") = alpha;
    self.attr("n_jobs") = n_jobs;
    self.attr("verbose") = verbose;
    self.attr("output") = py::none();
}

const char* kInitDoc =
    "init(self, estimator=None, features=None, pairs='all', task_type=None, metric=None, threshold=1.2, bins=10, "
    "min_samples=20, use_test=False, alpha=0.05, n_jobs=None, random_state=0, verbose=True)\n--\n\n"
    "Store the settings; they are checked by fit.";

}  // namespace frail_scan_impl

void define_frail_scan(py::module_& m) {
    using namespace frail_scan_impl;
    py::object helpers = py::module_::import("tamrel.diagnoser.scan_fit");
    py::tuple bases = py::make_tuple(m.attr("BaseDiagnoser"), py::module_::import("sklearn.base").attr("BaseEstimator"));
    py::object cls = tamrel_py::make_class(m, "FrailScan", bases, helpers.attr("CLASS_DOC").cast<std::string>().c_str());
    const py::object none = py::none();
    tamrel_py::add_method(cls, "__init__", "init", &init, kInitDoc, py::arg("estimator") = none,
                          py::arg("features") = none, py::arg("pairs") = "all", py::arg("task_type") = none,
                          py::arg("metric") = none, py::arg("threshold") = 1.2, py::arg("bins") = 10,
                          py::arg("min_samples") = 20, py::arg("use_test") = false, py::arg("alpha") = 0.05,
                          py::arg("n_jobs") = none, py::arg("random_state") = 0, py::arg("verbose") = true);
    define_frail_scan_kernels(cls);
    for (const char* name : {"fit", "get_result", "get_target_rows", "frailzone"})
        cls.attr(name) = helpers.attr(name);
}

}  // namespace frailzone_py
