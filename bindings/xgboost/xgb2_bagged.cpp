// XGB2BaggedBase: the settings, training and decomposition of the bagged depth-2 models,
// whose prediction is the average margin of several XGBoost ensembles (bags).
#include "xgb2_bagged.hpp"

#include <string>

namespace tamrel_py::xgb2 {
namespace bagged {

py::object settings_table(const char* table_name) {
    return py::module_::import("tamrel.models.xgb2.bagged_settings").attr(table_name);
}

void add_settings_init(py::object& cls, const py::object& table) {
    py::object settings = py::module_::import("tamrel.settings");
    const std::string doc = settings.attr("signature_line")("init", table).cast<std::string>() +
                            "\n--\n\nStore the settings; they are checked by fit.";
    // the signature is read from the docstring's first line, as for every compiled method
    py::cpp_function named(
        [settings, table](py::object self, py::args args, py::kwargs kwargs) {
            settings.attr("store")(self, table, args, kwargs);
        },
        py::name("init"), py::is_method(cls), py::doc(doc.c_str()));
    cls.attr("__init__") = method_of(cls, "__init__", named);
}

std::string class_doc(const py::object& table, const char* title, const char* more) {
    const std::string parameters = py::module_::import("tamrel.settings").attr("parameters_doc")(table).cast<std::string>();
    return std::string(title) + "\n\n" + parameters + "\n" + more;
}

namespace {

py::object fit(const Deps& d, py::object self, py::object X, py::object y, py::object sample_weight) {
    const bool distributed = is_dask(d, X);
    py::tuple parts = distributed ? py::tuple(d.dask.attr("validate")(self, X, y, sample_weight, true))
                                  : py::tuple(self.attr("_validate_input")(X, y, sample_weight));
    if (parts.size() != (distributed ? 4u : 3u)) throw py::value_error("_validate_input must return three items");
    X = parts[0];
    y = parts[1];
    sample_weight = parts[2];
    set_feature_metadata(d, self, distributed ? parts[3].cast<std::vector<std::int64_t>>() : beyond_float32(X));
    py::object names = self.attr("feature_names_");
    const bool classifier = d.is_classifier(self).cast<bool>();
    py::object table = settings_table(classifier ? "CLASSIFIER" : "REGRESSOR");
    py::object plan = d.bagging.attr("plan")(self, table, names, monotone_constraints(self), classifier);
    py::object trained = distributed ? d.dask.attr("train_bags")(X, y, sample_weight, plan)
                                     : d.bagging.attr("train")(X, y, sample_weight, plan);
    self.attr("boosters_") = trained.attr("boosters");
    self.attr("interactions_") = trained.attr("pairs");
    self.attr("interaction_strengths_") = d.bagging.attr("strength_table")(trained, names);
    self.attr("held_out_rows_") = trained.attr("held_out");
    self.attr("bag_rounds_") = trained.attr("rounds");
    self.attr("is_fitted_") = true;
    self.attr("X_") = distributed ? X : d.copy.attr("copy")(X);
    return self;
}

py::object parse_model(const Deps& d, py::object self) {
    d.check_is_fitted(self, py::make_tuple("boosters_", "is_fitted_"));
    py::tuple parsed = d.parse_bags(self.attr("boosters_"), self.attr("feature_names_"), self.attr("X_"));
    self.attr("intercept_") = parsed[0];
    self.attr("intercept_spread_") = parsed[1];
    self.attr("effects_") = parsed[2];
    return d.FANOVAInterpreter(self);
}

constexpr const char* kFitDoc = R"(fit(self, X, y, sample_weight=None)
--

Fit the bags: main effects first, then the chosen pairs, each stage stopped early on
the bag's held-out rows.

Parameters
----------
X : np.ndarray of shape (n_samples, n_features)
    Data features; NaN marks a missing value (routed as XGBoost routes it). A
    DataFrame's column names become feature_names_ when feature_names is None. Values
    beyond the float32 range are refused. A Dask array or DataFrame (with y and
    sample_weight of the same partitions) trains every bag through xgboost.dask on the
    running distributed.Client; X_ then keeps the Dask collection.
y : np.ndarray of shape (n_samples, )
    Target response.
sample_weight : np.ndarray of shape (n_samples, ), default=None
    Sample weight. Rows with a weight of 0 or below are left out; NaN or infinite
    weights are refused ("Invalid sample_weight").

Returns
-------
self : object
    Fitted Estimator.
)";

constexpr const char* kParseModelDoc = R"(parse_model(self)
--

Decompose the averaged bags into intercept_, main effects and pairwise interactions.

Sets effects_ (records as XGB2Regressor's, each with a last cell per feature for
missing values, "missing": True, and "spread": the standard deviation of its values
over the bags), intercept_ and intercept_spread_. intercept_ plus the effects equals
the average margin of the bags on every row, NaN included.

Returns
-------
An instance of FANOVAInterpreter
    The interpretation results.
)";

}  // namespace
}  // namespace bagged

py::object define_bagged_base(py::module_& m, const DepsPtr& deps) {
    namespace b = bagged;
    py::object cls = make_class(m, "XGB2BaggedBase", py::make_tuple(deps->BaseEstimator),
                                "Common base of XGB2BaggedRegressor and XGB2BaggedClassifier.");
    b::add_settings_init(cls, b::settings_table("REGRESSOR"));
    add_method(
        cls, "fit", "fit",
        [deps](py::object self, py::object X, py::object y, py::object w) { return b::fit(*deps, self, X, y, w); },
        b::kFitDoc, py::arg("X"), py::arg("y"), py::arg("sample_weight") = py::none());
    add_method(
        cls, "partial_dependence", "partial_dependence",
        [deps](py::object self, py::object fidx, py::object X) { return partial_dependence(*deps, self, fidx, X); },
        kPartialDependenceDoc, py::arg("fidx"), py::arg("X"));
    add_method(
        cls, "parse_model", "parse_model", [deps](py::object self) { return b::parse_model(*deps, self); },
        b::kParseModelDoc);
    declare_fit_metadata(cls);
    return cls;
}

}  // namespace tamrel_py::xgb2
