// FrailZone: the facade that fits a slicer on a train/test split and reports its regions.
#include "frailzone_classes.hpp"

namespace frailzone_py {

using namespace pybind11::literals;

namespace {

void init(py::object self, py::object estimator, py::object slice_features, py::object task_type,
          py::object threshold, py::object method, py::object bins, py::object max_depth,
          py::object min_samples, py::object metric, py::object use_test, py::object random_state) {
    mod("BaseDiagnoser").attr("__init__")(self, estimator, task_type, random_state);
    self.attr("slice_features") = slice_features;
    self.attr("threshold") = threshold;
    self.attr("method") = method;
    self.attr("bins") = bins;
    self.attr("max_depth") = max_depth;
    self.attr("min_samples") = min_samples;
    self.attr("metric") = metric;
    self.attr("use_test") = use_test;
    self.attr("random_state") = random_state;
    self.attr("diag") = py::none();
    self.attr("output") = py::none();
}

py::object make_slicer(const py::object& self) {
    const py::object method = self.attr("method");
    if (py::isinstance<py::str>(method) && method.cast<std::string>() == "tree") {
        return mod("TreeSlicing")("estimator"_a = self.attr("estimator"),
                                  "slice_features"_a = self.attr("slice_features"),
                                  "task_type"_a = self.attr("task_type"), "threshold"_a = self.attr("threshold"),
                                  "max_depth"_a = self.attr("max_depth"),
                                  "min_samples"_a = self.attr("min_samples"), "metric"_a = self.attr("metric"));
    }
    if (py::isinstance<py::str>(method) && method.cast<std::string>() == "histogram") {
        return mod("HistogramSlicing")("estimator"_a = self.attr("estimator"),
                                       "slice_features"_a = self.attr("slice_features"),
                                       "task_type"_a = self.attr("task_type"),
                                       "threshold"_a = self.attr("threshold"),
                                       "min_samples"_a = self.attr("min_samples"), "bins"_a = self.attr("bins"),
                                       "metric"_a = self.attr("metric"));
    }
    raise_tamrel("frailzone method should be either histogram or tree.");
}

py::object optional_rows(const py::object& arr, const py::object& idx, const char* what) {
    return arr.is_none() ? py::none() : take_rows(arr, idx, what);
}

py::object fit(py::object self, py::object x, py::object y, py::object train_idx, py::object test_idx,
               py::object prediction, py::object prediction_proba, py::object sample_weight,
               py::object feature_names, py::object feature_types, py::object target_name,
               py::object predict_name) {
    mod("BaseDiagnoser").attr("fit")(self, x, y, prediction, prediction_proba, train_idx, test_idx,
                                     sample_weight, feature_names, feature_types, target_name, predict_name);
    py::object diag = make_slicer(self);
    self.attr("diag") = diag;
    const py::object tr = self.attr("train_idx"), te = self.attr("test_idx");
    const py::object xs = self.attr("x"), ys = self.attr("y"), w = self.attr("sample_weight");
    const py::object pred = py::bool_(diag.attr("needs_proba")) ? self.attr("pred_proba") : self.attr("pred");
    self.attr("output") = diag.attr("fit")(
        "train_x"_a = take_rows(xs, tr, "train_idx"), "train_y"_a = take_rows(ys, tr, "train_idx"),
        "test_x"_a = take_rows(xs, te, "test_idx"), "test_y"_a = take_rows(ys, te, "test_idx"),
        "train_pred"_a = optional_rows(pred, tr, "train_idx"), "test_pred"_a = optional_rows(pred, te, "test_idx"),
        "train_sample_weight"_a = optional_rows(w, tr, "train_idx"),
        "test_sample_weight"_a = optional_rows(w, te, "test_idx"),
        "feature_names"_a = self.attr("feature_names"), "use_test"_a = self.attr("use_test"));
    return py::none();
}

py::object get_target_idx(py::object self) {
    py::object diag = self.attr("diag");
    py::list records = diag.attr("weak_region_stats");
    std::vector<std::int64_t> all;
    if (!records.empty()) {
        const auto boxes = region_boxes(diag, records);
        for (const auto& rows : region_members(diag, diag.attr("x"), boxes))
            all.insert(all.end(), rows.begin(), rows.end());
    }
    return to_index_array(all);
}

py::object get_result(py::object self) {
    py::dict value = analysis_settings(self);
    value["threshold_value"] = self.attr("diag").attr("threshold_value");
    value["data"] = self.attr("output");
    return mod("TestDataResult")("key"_a = "frailzone_result", "value"_a = value);
}

const char* kClassDoc = R"(Frailzone Test

Finds the weak regions of a fitted model: intervals of one slicing feature, or
rectangles of two, where the model's score is markedly worse than on all the data.

Parameters
----------
estimator : object
    The fitted model under diagnosis.
slice_features : list of str
    One or two feature names to slice by.
task_type : str, default=None
    "regression" or "classification"; inferred from the estimator when None.
threshold : float, default=1.2
    A slice is weak when its score is worse than the overall score by this factor.
method : str, default="tree"
    "histogram" (equal-width bins) or "tree" (a shallow regression tree on the
    per-sample scores).
bins : int, default=10
    Number of histogram bins per feature (method "histogram").
max_depth : int, default=3
    Depth of the slicing tree (method "tree").
min_samples : int, default=20
    Smallest number of samples a reported region must hold.
metric : str, default=None
    Scoring metric ("MSE", "MAE", "ACC", "LogLoss", "Brier", "AUC", "F1", "R2");
    None uses the scoring service's default.
use_test : bool, default=False
    Slice the test subset (True) or the training subset (False).
random_state : int, default=0
    Random seed (kept for the base diagnoser).
)";
const char* kInitDoc =
    "init(self, estimator, slice_features, task_type=None, threshold=1.2, method='histogram', bins=10, "
    "max_depth=2, min_samples=20, metric=None, use_test=False, random_state=0)\n--\n\n"
    "Store the settings; nothing is validated before fit.";
const char* kFitDoc =
    "fit(self, x, y, train_idx, test_idx, prediction=None, prediction_proba=None, sample_weight=None, "
    "feature_names=None, feature_types=None, target_name=None, predict_name=None)\n--\n\n"
    "Fit frailzone diagnoser";
const char* kTargetDoc = "get_target_idx(self)\n--\n\nGet sample index in Weak region";
const char* kResultDoc = "get_result(self)\n--\n\nGet frailzone result";

}  // namespace

void define_frailzone(py::module_& m) {
    py::object cls = tamrel_py::make_class(m, "FrailZone", py::make_tuple(m.attr("BaseDiagnoser")), kClassDoc);
    const py::object none = py::none();
    tamrel_py::add_method(cls, "__init__", "init", &init, kInitDoc, py::arg("estimator"),
                          py::arg("slice_features"), py::arg("task_type") = none, py::arg("threshold") = 1.2,
                          py::arg("method") = "histogram", py::arg("bins") = 10, py::arg("max_depth") = 2,
                          py::arg("min_samples") = 20, py::arg("metric") = none, py::arg("use_test") = false,
                          py::arg("random_state") = 0);
    tamrel_py::add_method(cls, "fit", "fit", &fit, kFitDoc, py::arg("x"), py::arg("y"), py::arg("train_idx"),
                          py::arg("test_idx"), py::arg("prediction") = none, py::arg("prediction_proba") = none,
                          py::arg("sample_weight") = none, py::arg("feature_names") = none,
                          py::arg("feature_types") = none, py::arg("target_name") = none,
                          py::arg("predict_name") = none);
    tamrel_py::add_method(cls, "get_target_idx", "get_target_idx", &get_target_idx, kTargetDoc);
    tamrel_py::add_method(cls, "get_result", "get_result", &get_result, kResultDoc);
    define_frailzone_results(cls);
    define_frailzone_plot(cls);
}

}  // namespace frailzone_py
