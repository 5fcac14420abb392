// What the classes of tamrel.models.xgb2.xgboost share: the Python objects loaded at
// import, and the checks used by more than one class.
#pragma once

#include "py_common.hpp"

#include <array>
#include <functional>
#include <memory>
#include <string>

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
void define_regressor(py::module_& m, const DepsPtr& deps, const py::object& base);
void define_classifier(py::module_& m, const DepsPtr& deps, const py::object& base);
void define_kernels(py::module_& m);

// scikit-learn's validate_data (or _validate_data) on x and y with extra options.
py::tuple validate_xy(const Deps& d, py::object self, py::object x, py::object y, const py::dict& options);

// Drops rows with non-positive weight and rescales the rest to sum to the row count;
// returns (x, y, weights). Also refuses a single remaining row.
py::tuple apply_sample_weight(const Deps& d, py::object x, py::object y, py::object sample_weight);

// check_array, check_is_fitted, then the shape tests shared by the prediction methods.
py::object check_predict_input(const Deps& d, py::object self, py::object X);

// The tags dictionaries, and __sklearn_tags__ for scikit-learn versions that read it.
py::dict xfail_tags();
void add_sklearn_tags(py::object& cls, const Deps& d, bool binary_only);

}  // namespace tamrel_py::xgb2
