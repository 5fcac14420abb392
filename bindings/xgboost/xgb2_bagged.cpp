// XGB2BaggedBase: the settings, training and decomposition of the bagged depth-2 models,
// whose prediction is the average margin of several XGBoost ensembles (bags).
#include "xgb2_bagged.hpp"

#include <string>

namespace tamrel_py::xgb2 {
namespace bagged {

std::vector<Setting> settings() {
    // Each default is written here once; the signature and the docstrings are made from it.
    return {
        {"n_bags", py::int_(12), "int", "Number of bags: each holds out its own share of the rows for early stopping, and the model averages their margins."},
        {"learning_rate", py::float_(0.05), "float", "Boosting learning rate of both stages."},
        {"max_rounds", py::int_(3000), "int", "Most boosting rounds of each stage of a bag."},
        {"early_stopping_rounds", py::int_(50), "int", "A stage stops when its loss on the bag's held-out rows has not improved for this many rounds; it keeps the rounds up to its best."},
        {"validation_fraction", py::float_(0.15), "float", "Share of the rows each bag holds out (within each class for the classifier), in (0, 0.5]."},
        {"interactions", py::float_(1.0), "int, float or list of pairs", "Pairs to model: a count, a share of the feature count (1.0: as many pairs as features), or a list of pairs of feature names or indices. Counted pairs are the strongest on the residual of the main effects (training rows only); only pairs with a positive strength are kept."},
        {"max_interaction_bins", py::int_(32), "int", "Cells per feature (quantiles) of the pair ranking."},
        {"reg_lambda", py::float_(5.0), "float", "L2 regularization term on leaf weights (also in the pair ranking)."},
        {"min_child_weight", py::float_(5.0), "float", "Minimum hessian sum in a leaf (also per quadrant in the pair ranking)."},
        {"max_bin", py::int_(256), "int", "Maximum number of histogram bins per feature in XGBoost."},
        {"feature_names", py::none(), "list or None", "The list of feature names."},
        {"feature_types", py::none(), "list or None", "The list of feature types. Available types include \"numerical\" and \"categorical\"."},
        {"mono_increasing_list", py::tuple(), "tuple of str", "The feature name tuple subject to monotonic increasing constraint."},
        {"mono_decreasing_list", py::tuple(), "tuple of str", "The feature name tuple subject to monotonic decreasing constraint."},
        {"n_jobs", py::none(), "int or None", "Threads: bags train in parallel, one XGBoost thread each (the result does not depend on it); None uses every core."},
        {"random_state", py::int_(0), "int", "The random seed of the held-out rows and of XGBoost."},
    };
}

namespace {

// "init(self, n_bags=12, ...)\n--\n\n" followed by the description.
std::string init_doc(const std::vector<Setting>& table, const char* description) {
    std::string doc = "init(self";
    for (const Setting& s : table) doc += ", " + std::string(s.name) + "=" + py::repr(s.value).cast<std::string>();
    return doc + ")\n--\n\n" + description;
}

// The arguments of a call bound to the settings: positional ones in order, keywords by name.
void bind_arguments(py::object self, const std::vector<Setting>& table, const py::args& args,
                    const py::kwargs& kwargs) {
    if (args.size() > table.size())
        throw py::type_error("__init__() takes from 1 to " + std::to_string(table.size() + 1) +
                             " positional arguments but " + std::to_string(args.size() + 1) + " were given");
    py::dict values;
    for (std::size_t i = 0; i < table.size(); ++i) values[table[i].name] = i < args.size() ? args[i] : table[i].value;
    for (auto item : kwargs) {
        const std::string name = py::str(item.first);
        std::size_t i = 0;
        while (i < table.size() && name != table[i].name) ++i;
        if (i == table.size()) throw py::type_error("__init__() got an unexpected keyword argument '" + name + "'");
        if (i < args.size()) throw py::type_error("__init__() got multiple values for argument '" + name + "'");
        values[table[i].name] = item.second;
    }
    for (const Setting& s : table) self.attr(s.name) = values[s.name];  // stored as given
}

}  // namespace

void add_settings_init(py::object& cls, const std::vector<Setting>& table, const char* description) {
    const std::string doc = init_doc(table, description);
    add_method(
        cls, "__init__", "init",
        [table](py::object self, py::args args, py::kwargs kwargs) { bind_arguments(self, table, args, kwargs); },
        doc.c_str());
}

std::string class_doc(const std::vector<Setting>& table, const char* title, const char* more) {
    std::string doc = std::string(title) + "\n\nParameters\n----------\n";
    for (const Setting& s : table)
        doc += std::string(s.name) + " : " + s.type + ", default=" + py::repr(s.value).cast<std::string>() + "\n    " +
               s.doc + "\n";
    return doc + more;
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
    py::object plan = d.bagging.attr("plan")(self, names, monotone_constraints(self), d.is_classifier(self));
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
    b::add_settings_init(cls, b::settings(), "Store the hyper-parameters.");
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
