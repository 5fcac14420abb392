// XGB2Regressor: numeric targets.
#include "xgb2_internal.hpp"

namespace tamrel_py::xgb2 {

std::string estimator_doc(const char* title) {
    return std::string(title) + R"(

Parameters
----------
n_estimators : int, default=100
    Number of gradient boosted trees.
eta : float, default=0.3
    Boosting learning rate.
max_depth : int, default=2
    Max tree depth
tree_method : {"exact", "hist", "approx", "gpu_hist", "auto"}, default="auto"
    Specify which tree method to use. Where the installed XGBoost (3.1 and later)
    no longer accepts "gpu_hist", it trains with tree_method="hist" on device="cuda".
max_bin : int, default=256
    If using histogram-based algorithm, maximum number of bins per feature.
reg_alpha : float, default=0
    L1 regularization term on weights.
reg_lambda : float, default=0
    L2 regularization term on weights.
gamma : float, default=0
    Minimum loss reduction required to make a further partition on a leaf node of the tree.
feature_names : list or None, default=None
    The list of feature names.
feature_types : list or None, default=None
    The list of feature types. Available types include "numerical" and "categorical".
mono_increasing_list : tuple of str, default=()
    The feature name tuple subject to monotonic increasing constraint.
mono_decreasing_list : tuple of str, default=()
    The feature name tuple subject to monotonic decreasing constraint.
random_state : int, default=0
    The random seed.

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
xgb_params_ : dict
    The parameter dict of XGB model.
)";
}

std::string validate_doc(bool encodes_labels) {
    return std::string(R"(_validate_input(self, x, y, sample_weight)
--

Internal function for validating the inputs of the fit function.

Samples with zero sample_weight are removed.
Sample_weight would be normalized, such that the sum equals sample size.
Will raise an error if only one sample is given.
)") + (encodes_labels ? "The target label would be encoded as 0 and 1.\n" : "") + R"(
Parameters
----------
x : np.ndarray of shape (n_samples, n_features)
    Data features.
y : np.ndarray of shape (n_samples, )
    Target response.
sample_weight : np.ndarray of shape (n_samples, )
    Sample weight.

Returns
-------
x, y, sample_weight : the validated rows with positive weight, y and the weights flat.
)";
}

const char* const kPredictDoc = R"(predict(self, X)
--

Returns numpy array of predicted class.

Parameters
----------
X : np.ndarray of shape (n_samples, n_features)
    Data features

Returns
-------
pred : np.ndarray of shape (n_samples, )
    numpy array of predicted class values.
)";

void define_regressor(py::module_& m, const DepsPtr& deps, const py::object& base) {
    py::object cls = define_estimator_class(m, deps, "XGB2Regressor", deps->RegressorMixin, base,
                                            "Depth-2 XGBoostRegressor.", false,
                                            [](const Deps& d, py::object self, py::object x, py::object y,
                                               py::object w) { return validate_rows(d, self, x, y, w, true); });
    add_checked_prediction(cls, deps, "predict", kPredictDoc);
}

}  // namespace tamrel_py::xgb2
