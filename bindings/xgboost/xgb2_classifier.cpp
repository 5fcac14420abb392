// XGB2Classifier: binary classification.
#include "xgb2_internal.hpp"

namespace tamrel_py::xgb2 {
namespace {

constexpr const char* kDecisionDoc = R"(decision_function(self, X)
--

Returns numpy array of raw predicted value before softmax.

Parameters
----------
X : np.ndarray of shape (n_samples, n_features)
    Data features

Returns
-------
pred : np.ndarray of shape (n_samples, )
    numpy array of predicted logit.
)";

constexpr const char* kPredictProbaDoc = R"(predict_proba(self, X)
--

Returns numpy array of predicted probabilities of each class.

Parameters
----------
X : np.ndarray of shape (n_samples, n_features)
    Data features

Returns
-------
pred_proba : np.ndarray of shape (n_samples, 2)
    Column j holds the probability of classes_[j].
)";

py::tuple validate_input(const Deps& d, py::object self, py::object x, py::object y, py::object sample_weight) {
    return validate_labelled_rows(d, self, x, y, sample_weight, false);
}

}  // namespace

py::tuple validate_labelled_rows(const Deps& d, py::object self, py::object x, py::object y,
                                 py::object sample_weight, bool allow_nan) {
    py::tuple kept = validate_rows(d, self, x, y, sample_weight, false, allow_nan);
    y = kept[1];
    py::object binarizer = d.LabelBinarizer();
    self.attr("label_binarizer_") = binarizer;
    binarizer.attr("fit")(y);
    py::object classes = binarizer.attr("classes_");
    self.attr("classes_") = classes;
    const std::size_t n_classes = py::len(classes);
    if (n_classes > 2)
        throw py::value_error("multi-classification not supported. Only binary classification is supported.");
    if (n_classes == 1) throw py::value_error("Classifier can't train when only one class is present.");
    py::object target = binarizer.attr("transform")(y).attr("__mul__")(1.0);
    return py::make_tuple(kept[0], target.attr("ravel")(), kept[2]);
}

namespace {

// Column 1 of predict_proba: the probability of classes_[1].
py::object positive_proba(py::object self, py::object X) {
    return self.attr("predict_proba")(X)[py::make_tuple(py::slice(py::none(), py::none(), py::none()), 1)];
}

py::object decision_function(const Deps& d, py::object self, py::object X) {
    if (is_dask(d, X)) return d.dask.attr("predict")(self, "decision_function", X);
    py::object p = d.np.attr("clip")(positive_proba(self, X), 1e-7, 0.9999999);
    return d.np.attr("log")(p.attr("__truediv__")(p.attr("__rsub__")(1.0)));
}

py::object predict(const Deps& d, py::object self, py::object X) {
    if (is_dask(d, X)) return d.dask.attr("predict")(self, "predict", X);
    py::object above = positive_proba(self, X).attr("__gt__")(0.5).attr("astype")("int");
    return self.attr("label_binarizer_").attr("inverse_transform")(above);
}

}  // namespace

void define_classifier(py::module_& m, const DepsPtr& deps, const py::object& base) {
    py::object cls = define_estimator_class(m, deps, "XGB2Classifier", deps->ClassifierMixin, base,
                                            "Depth-2 XGBoostClassifier.", true, validate_input);
    add_method(
        cls, "decision_function", "decision_function",
        [deps](py::object self, py::object X) { return decision_function(*deps, self, X); }, kDecisionDoc,
        py::arg("X"));
    add_checked_prediction(cls, deps, "predict_proba", kPredictProbaDoc);
    add_method(
        cls, "predict", "predict", [deps](py::object self, py::object X) { return predict(*deps, self, X); }, kPredictDoc,
        py::arg("X"));
}

}  // namespace tamrel_py::xgb2
