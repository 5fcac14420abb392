// FrailZone: the facade that fits a slicer on a train/test split and reports its regions.
#include <cmath>

#include "frailzone_classes.hpp"

namespace frailzone_py {

using namespace pybind11::literals;

// Named rather than anonymous: the binding files compile together in unity groups.
namespace facade_impl {

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
                                  "min_samples"_a = self.attr("min_samples"), "metric"_a = self.attr("metric"),
                                  "random_state"_a = self.attr("random_state"));
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

py::object diagnoser_base(const char* name) {
    return py::module_::import("tamrel.diagnoser.base").attr(name);
}

// The settings the slicer reads, refused before any work (bins only where it is used).
void check_settings(const py::object& self) {
    const py::object method = self.attr("method");
    const bool histogram = py::isinstance<py::str>(method) && method.cast<std::string>() == "histogram";
    diagnoser_base("check_slicing_settings")(self.attr("threshold"), self.attr("min_samples"),
                                             histogram ? py::object(self.attr("bins")) : py::object(py::none()));
}

// Text, category and bool columns are stored as category codes: binning their codes would
// invent an order, so they are refused as slicing features.
void refuse_categorical_slicing(const py::object& self) {
    const py::dict coded = self.attr("categories");
    py::object features = self.attr("slice_features");
    if (py::isinstance<py::str>(features)) features = py::make_tuple(features);
    if (coded.empty() || !py::hasattr(features, "__iter__")) return;
    for (const py::handle& f : features) {
        if (coded.contains(f))
            raise_tamrel("Slicing feature " + py::repr(f).cast<std::string>() +
                         " is not numeric (it holds text or categories); FrailZone slices numeric "
                         "features only. Use FrailScan to slice categories.");
    }
}

// The response handed to the slicer: for a probability metric, 1 for the positive class (the
// estimator's classes_[1], else the larger of two labels) and 0 for the other.
py::object sliced_target(const py::object& self, const py::object& diag) {
    const py::object y = self.attr("y");
    if (!py::bool_(diag.attr("needs_proba"))) return y;
    const py::object classes = py::getattr(self.attr("estimator"), "classes_", py::none());
    return py::module_::import("tamrel.diagnoser.utils").attr("binary_labels")(y, classes);
}

// A threshold value that is not finite would silently find no region.
void check_threshold_value(const py::object& diag) {
    const py::object value = py::getattr(diag, "threshold_value", py::none());
    if (value.is_none()) return;
    if (std::isfinite(as_number(value, "threshold_value"))) return;
    const std::string name = py::str(diag.attr("score_name")).cast<std::string>();
    throw py::value_error("The overall " + name + " of the sliced subset is " + py::repr(value).cast<std::string>() +
                          ", so no slice can be compared with it" +
                          (name == "AUC" ? " (AUC needs both classes among the sliced rows)." : "."));
}

}  // namespace facade_impl

void check_fitted(const py::object& self, const char* method) {
    if (!py::getattr(self, "diag", py::none()).is_none()) return;
    tamrel_py::raise_py(py::module_::import("sklearn.exceptions").attr("NotFittedError"),
                        "This FrailZone instance is not fitted yet; call 'fit' before '" + std::string(method) + "'.");
}

namespace facade_impl {

py::object fit(py::object self, py::object x, py::object y, py::object train_idx, py::object test_idx,
               py::object prediction, py::object prediction_proba, py::object sample_weight,
               py::object feature_names, py::object feature_types, py::object target_name,
               py::object predict_name) {
    check_settings(self);
    mod("BaseDiagnoser").attr("fit")(self, x, y, prediction, prediction_proba, train_idx, test_idx,
                                     sample_weight, feature_names, feature_types, target_name, predict_name);
    refuse_categorical_slicing(self);
    py::object diag = make_slicer(self);
    self.attr("diag") = diag;
    const py::object tr = self.attr("train_idx"), te = self.attr("test_idx");
    const py::object xs = self.attr("x"), ys = sliced_target(self, diag), w = self.attr("sample_weight");
    const py::object pred = py::bool_(diag.attr("needs_proba")) ? self.attr("pred_proba") : self.attr("pred");
    py::object output = diag.attr("fit")(
        "train_x"_a = take_rows(xs, tr, "train_idx"), "train_y"_a = take_rows(ys, tr, "train_idx"),
        "test_x"_a = take_rows(xs, te, "test_idx"), "test_y"_a = take_rows(ys, te, "test_idx"),
        "train_pred"_a = optional_rows(pred, tr, "train_idx"), "test_pred"_a = optional_rows(pred, te, "test_idx"),
        "train_sample_weight"_a = optional_rows(w, tr, "train_idx"),
        "test_sample_weight"_a = optional_rows(w, te, "test_idx"),
        "feature_names"_a = self.attr("feature_names"), "use_test"_a = self.attr("use_test"));
    check_threshold_value(diag);
    self.attr("output") = output;
    return py::none();
}

py::object get_target_idx(py::object self) {
    check_fitted(self, "get_target_idx");
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

// The weak-region rows of the sliced subset as positions into the x given to fit, ascending.
py::object get_target_rows(py::object self) {
    check_fitted(self, "get_target_rows");
    const py::object diag = self.attr("diag");
    const py::object sliced = py::bool_(diag.attr("use_test")) ? self.attr("test_idx") : self.attr("train_idx");
    return mod("np").attr("unique")(take_rows(sliced, get_target_idx(self), "sliced rows"));
}

py::object get_result(py::object self) {
    check_fitted(self, "get_result");
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
method : str, default="histogram"
    "histogram" (equal-width bins) or "tree" (a shallow regression tree on the
    per-sample scores).
bins : int, default=10
    Number of histogram bins per feature (method "histogram").
max_depth : int, default=2
    Depth of the slicing tree (method "tree").
min_samples : int, default=20
    Smallest number of samples a reported region must hold.
metric : str, default=None
    Scoring metric ("MSE", "MAE", "ACC", "LogLoss", "Brier", "AUC", "F1", "R2");
    None uses the scoring service's default.
use_test : bool, default=False
    Slice the test subset (True) or the training subset (False).
random_state : int, default=0
    Seed of the slicing tree (method "tree"), so that ties between split gains are broken
    the same way on every run.
)";
const char* kInitDoc =
    "init(self, estimator, slice_features, task_type=None, threshold=1.2, method='histogram', bins=10, "
    "max_depth=2, min_samples=20, metric=None, use_test=False, random_state=0)\n--\n\n"
    "Store the settings; nothing is validated before fit.";
const char* kFitDoc =
    "fit(self, x, y, train_idx, test_idx, prediction=None, prediction_proba=None, sample_weight=None, "
    "feature_names=None, feature_types=None, target_name=None, predict_name=None)\n--\n\n"
    R"(Fit frailzone diagnoser

Slices the training rows (the test rows with ``use_test=True``) by the slicing
features, keeps the weak regions and measures each on both subsets; the region
table is ``output``. The settings are checked first: ``threshold`` must be a
finite number, ``min_samples`` at least 1, ``bins`` a positive integer.

Parameters
----------
x : array-like or DataFrame of shape (n_samples, n_features)
    The data. A DataFrame may also hold text, category or bool columns (stored
    as category codes, see ``BaseDiagnoser.fit``) as long as the slicing features
    are numeric; the estimator receives ``x`` as given.
y : array-like of shape (n_samples,)
    The response: numbers for regression, numbers or class labels for
    classification (for "LogLoss", "Brier" and "AUC" the positive class is the
    estimator's ``classes_[1]``, else the larger of the two labels).
train_idx, test_idx : array-like of int
    Row positions of the training and of the test subset in ``x``.
prediction : array-like of shape (n_samples,), default=None
    The model's predictions; None asks the estimator.
prediction_proba : array-like of shape (n_samples,) or (n_samples, 2), default=None
    Probabilities of the positive class (for "LogLoss", "Brier", "AUC"); None
    asks the estimator.
sample_weight : array-like of shape (n_samples,), default=None
    Finite weights of the rows; None weighs all rows equally.
feature_names : list of str, default=None
    Column names; None takes a DataFrame's columns, else "X0", "X1", ...
feature_types : list of {"numerical", "categorical"}, default=None
    Column types for ``get_distance`` and ``get_shift``; text and category
    columns are always "categorical".
target_name, predict_name : str, default=None
    Names of the response and of the prediction, kept on the object.

Returns
-------
None
)";
const char* kTargetDoc = R"(get_target_idx(self)
--

Get sample index in Weak region

Returns the rows inside the weak regions, region by region in table order, as
positions within the sliced subset (``x[train_idx]``, or ``x[test_idx]`` with
``use_test=True``), not within ``x``; ``get_target_rows`` gives positions in ``x``.
)";
const char* kRowsDoc = R"(get_target_rows(self)
--

Rows of the weak regions as positions into the ``x`` given to ``fit``.

The rows are those of the sliced subset (the training rows, or the test rows with
``use_test=True``) inside any weak region, ascending and each once: ``x[rows]``
selects them. Empty when no weak region was found.
)";
const char* kResultDoc = "get_result(self)\n--\n\nGet frailzone result";

}  // namespace facade_impl

void define_frailzone(py::module_& m) {
    using namespace facade_impl;
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
    tamrel_py::add_method(cls, "get_target_rows", "get_target_rows", &get_target_rows, kRowsDoc);
}

}  // namespace frailzone_py
