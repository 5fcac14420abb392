// XGB2BaggedRegressor and XGB2BaggedClassifier: validation, tags and predictions from the
// average margin of the bags.
#include "xgb2_bagged.hpp"

namespace tamrel_py::xgb2 {
namespace bagged_estimators {

constexpr const char* kAttributes = R"(
Attributes
----------
n_features_in_ : int
    The number of input features.
is_fitted_ : bool
    Indicator of whether the model is fitted.
feature_names_ : list of str
    The feature name list of all input features.
feature_types_ : list of str
    The feature type list of all input features.
boosters_ : list of xgboost.Booster
    One trained ensemble per bag; the model's margin is their average.
interactions_ : list of tuple of int
    The pairs the second stage boosted (column indices, ascending).
interaction_strengths_ : pandas.DataFrame
    Every pair's strength summed over the bags ("pair", "fidx", "strength"), strongest
    first (zero when pairs were given, or not asked for).
held_out_rows_ : list of np.ndarray
    Per bag, the positions in X_ of the rows it held out for early stopping.
bag_rounds_ : list of tuple of int
    Per bag, the rounds kept in the main-effect stage and in the pair stage.
)";

// The average margin of the bags on the checked rows of X.
py::object margin(const Deps& d, py::object self, py::object X) {
    X = check_predict_input(d, self, X, py::make_tuple("boosters_", "is_fitted_"), true);
    return d.bagging.attr("bag_margins")(self.attr("boosters_"), X);
}

// Adds `name` as a method: Dask input partition by partition, else body(self, X).
template <typename Body>
void add_prediction(py::object& cls, const DepsPtr& deps, const char* name, const char* doc, Body body) {
    const std::string method = name;
    add_method(
        cls, name, name,
        [deps, method, body](py::object self, py::object X) -> py::object {
            if (is_dask(*deps, X)) return deps->dask.attr("predict")(self, method, X);
            return body(*deps, self, X);
        },
        doc, py::arg("X"));
}

py::object make_estimator(py::module_& m, const DepsPtr& deps, const char* name, const py::object& mixin,
                          const py::object& base, const char* title, bool classifier) {
    namespace b = bagged;
    const py::object table = b::settings_table(classifier ? "CLASSIFIER" : "REGRESSOR");
    py::object cls = make_class(m, name, py::make_tuple(mixin, base), b::class_doc(table, title, kAttributes).c_str());
    b::add_settings_init(cls, table);
    add_method(
        cls, "_more_tags", "_more_tags", [classifier](py::object) { return more_tags(classifier, true); },
        "_more_tags(self)\n--\n\nInternal function for skipping some sklearn estimator checks.");
    add_sklearn_tags(cls, *deps, classifier, true);
    add_method(
        cls, "_validate_input", "_validate_input",
        [deps, classifier](py::object self, py::object x, py::object y, py::object w) {
            return classifier ? validate_labelled_rows(*deps, self, x, y, w, true)
                              : validate_rows(*deps, self, x, y, w, true, true);
        },
        classifier ? "_validate_input(self, x, y, sample_weight)\n--\n\n"
                     "validate_rows of XGB2Classifier with NaN allowed in x: (x, 0/1 target, weights)."
                   : "_validate_input(self, x, y, sample_weight)\n--\n\n"
                     "validate_rows of XGB2Regressor with NaN allowed in x: (x, y, weights).",
        py::arg("x"), py::arg("y"), py::arg("sample_weight"));
    return cls;
}

constexpr const char* kRegressorPredictDoc = R"(predict(self, X)
--

The average margin of the bags: the predicted response.

Parameters
----------
X : np.ndarray of shape (n_samples, n_features)
    Data features; NaN marks a missing value.

Returns
-------
pred : np.ndarray of shape (n_samples, )
)";

constexpr const char* kDecisionDoc = R"(decision_function(self, X)
--

The average margin (log-odds of classes_[1]) of the bags.

Parameters
----------
X : np.ndarray of shape (n_samples, n_features)
    Data features; NaN marks a missing value.

Returns
-------
pred : np.ndarray of shape (n_samples, )
)";

constexpr const char* kProbaDoc = R"(predict_proba(self, X)
--

Class probabilities: the logistic function of the average margin.

Parameters
----------
X : np.ndarray of shape (n_samples, n_features)
    Data features; NaN marks a missing value.

Returns
-------
pred_proba : np.ndarray of shape (n_samples, 2)
    Column j holds the probability of classes_[j].
)";

constexpr const char* kClassifierPredictDoc = R"(predict(self, X)
--

The predicted labels: classes_[1] where the average margin is above 0, else classes_[0].

Parameters
----------
X : np.ndarray of shape (n_samples, n_features)
    Data features; NaN marks a missing value.

Returns
-------
pred : np.ndarray of shape (n_samples, )
)";

}  // namespace bagged_estimators

void define_bagged(py::module_& m, const DepsPtr& deps) {
    namespace e = bagged_estimators;
    const py::object base = define_bagged_base(m, deps);
    py::object reg = e::make_estimator(m, deps, "XGB2BaggedRegressor", deps->RegressorMixin, base,
                                       "Bagged depth-2 XGBoost regressor: main effects, then ranked pairs.", false);
    e::add_prediction(reg, deps, "predict", e::kRegressorPredictDoc, e::margin);
    py::object clf = e::make_estimator(m, deps, "XGB2BaggedClassifier", deps->ClassifierMixin, base,
                                       "Bagged depth-2 XGBoost classifier: main effects, then ranked pairs.", true);
    e::add_prediction(clf, deps, "decision_function", e::kDecisionDoc, e::margin);
    e::add_prediction(clf, deps, "predict_proba", e::kProbaDoc, [](const Deps& d, py::object self, py::object X) {
        py::object p = d.expit(e::margin(d, self, X));
        return d.np.attr("column_stack")(py::make_tuple(p.attr("__rsub__")(1.0), p));
    });
    e::add_prediction(clf, deps, "predict", e::kClassifierPredictDoc, [](const Deps& d, py::object self, py::object X) {
        py::object above = e::margin(d, self, X).attr("__gt__")(0.0).attr("astype")("int");
        return self.attr("label_binarizer_").attr("inverse_transform")(above);
    });
}

}  // namespace tamrel_py::xgb2
