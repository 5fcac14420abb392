// What the classes of tamrel.models.xgb2.xgboost share: the Python objects loaded at
// import, and the checks used by more than one class.
#pragma once

#include "py_common.hpp"

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tamrel_py::xgb2 {

// Everything the methods call into, loaded once when the module is imported and captured
// by the methods (no module-level state).
struct Deps {
    py::object np, copy;
    py::object XGBRegressor, XGBClassifier;
    py::object BaseEstimator, RegressorMixin, ClassifierMixin, is_classifier;
    py::object check_array, column_or_1d, check_is_fitted, LabelBinarizer;
    py::object validate_data;       // None where scikit-learn only has _validate_data
    py::object check_feature_names;  // None where scikit-learn lacks it
    py::object XGBInterpreter, FANOVAInterpreter, predict_1D_func_tree, predict_2D_func_tree;
    py::object dask;  // tamrel.models.xgb2.dask_support (imports Dask only for Dask input)
    py::object bagging, parse_bags, expit;  // the bagged models' driver and decomposition
    std::string finite_keyword;  // check_array's name of the NaN setting (ensure_all_finite from scikit-learn 1.6)
    bool translate_gpu_hist = false;  // the installed XGBoost no longer knows "gpu_hist"
    bool has_sklearn_tags = false;
};
using DepsPtr = std::shared_ptr<const Deps>;

DepsPtr load_deps();

// Python's a == b and a > b.
inline bool py_compare(const py::handle& a, const py::handle& b, int op) {
    const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}
inline bool py_equal(const py::handle& a, const py::handle& b) { return py_compare(a, b, Py_EQ); }

// Whether obj is a Dask collection, which the methods hand to dask_support.
inline bool is_dask(const Deps& d, const py::handle& obj) { return d.dask.attr("is_dask")(obj).cast<bool>(); }

// The constructor's thirteen parameters, in signature order.
using Params = std::array<py::object, 13>;
extern const std::array<const char*, 13> kParamNames;
using InitBody = std::function<void(py::object self, const Params& params)>;

// Binds `body` as __init__ with the documented defaults; the subclasses differ from the
// base only in max_bin and reg_lambda.
void add_init(py::object& cls, int max_bin, int reg_lambda, const char* description, InitBody body);

// The numpy-style class docstring of both estimators, after their first line.
std::string estimator_doc(const char* title);
// _validate_input's docstring; the classifier's also says that labels become 0 and 1.
std::string validate_doc(bool encodes_labels);
extern const char* const kPredictDoc;

py::object define_base(py::module_& m, const DepsPtr& deps);
void define_bagged(py::module_& m, const DepsPtr& deps);
void define_regressor(py::module_& m, const DepsPtr& deps, const py::object& base);
void define_classifier(py::module_& m, const DepsPtr& deps, const py::object& base);
void define_kernels(py::module_& m);
void define_bag_kernels(py::module_& m);
void define_boost_loop(py::module_& m);

// Declares fit's sample_weight to scikit-learn's metadata routing; must run on the base
// before the subclasses are made, whose set_fit_request is generated at creation.
void declare_fit_metadata(py::object& base);

// scikit-learn's validate_data (y_numeric for the regressor, whose y must then hold
// numbers), a one-column y flattened (with a warning for the regressor) and raveled, then
// the rows with non-positive weight dropped and the rest rescaled to sum to the row count;
// returns (x, y, weights). Refuses a single remaining row. With allow_nan, X may hold NaN
// (missing values).
py::tuple validate_rows(const Deps& d, py::object self, py::object x, py::object y, py::object sample_weight,
                        bool regression, bool allow_nan = false);

// validate_rows for a binary classifier: label_binarizer_ and classes_ set, the target
// 0.0 for classes_[0] and 1.0 for classes_[1].
py::tuple validate_labelled_rows(const Deps& d, py::object self, py::object x, py::object y,
                                 py::object sample_weight, bool allow_nan);

// check_array (NaN allowed with allow_nan), check_is_fitted on `fitted`, the two-dimensional
// shape and the column count of training, and scikit-learn's feature-name check.
py::object check_predict_input(const Deps& d, py::object self, py::object X, const py::tuple& fitted,
                               bool allow_nan);

// The estimator's tags: allow_nan and binary_only as asked, and the expected failure of the
// weight-invariance check.
py::dict more_tags(bool binary_only, bool allow_nan = false);
void add_sklearn_tags(py::object& cls, const Deps& d, bool binary_only, bool allow_nan = false);

// Per column of X, the values that become infinite as float32 (NaN is a missing value).
std::vector<std::int64_t> beyond_float32(const py::object& X);
// feature_names_ and feature_types_ from the settings (or the column names, or X0, X1,
// ...), after refusing by name a column with values beyond the float32 range.
void set_feature_metadata(const Deps& d, py::object self, const std::vector<std::int64_t>& beyond);
// The text form of the monotone constraint tuple over feature_names_, e.g. "(1, 0, -1)" or
// "(0,)"; a listed name that is no feature is refused naming it.
py::str monotone_constraints(py::object self);
// The parsed effect fidx (indices or names) on every row of X (a Dask X gives a Dask array).
py::object partial_dependence(const Deps& d, py::object self, py::object fidx, py::object X);
extern const char* const kPartialDependenceDoc;

// A subclass of XGB2Base: its class docstring, an __init__ that hands every parameter to
// the base constructor by keyword, its tags and its _validate_input; `classifier` selects
// the binary_only tag and the docstring that mentions label encoding.
using ValidateFn = py::tuple (*)(const Deps&, py::object self, py::object x, py::object y, py::object w);
py::object define_estimator_class(py::module_& m, const DepsPtr& deps, const char* name, const py::object& mixin,
                                  const py::object& base, const char* title, bool classifier, ValidateFn validate);

// A method `name` that checks X as the prediction methods do, then returns
// estimator_.name(X).
void add_checked_prediction(py::object& cls, const DepsPtr& deps, const char* name, const char* doc);

}  // namespace tamrel_py::xgb2
