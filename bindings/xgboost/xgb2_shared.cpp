// Loading of the module's dependencies and the checks shared by the estimator classes.
#include "xgb2_internal.hpp"

#include <cstdio>
#include <string>

namespace tamrel_py::xgb2 {
namespace {

py::object optional_attr(const char* module, const char* name) {
    try {
        return py::module_::import(module).attr(name);
    } catch (py::error_already_set&) {
        return py::none();
    }
}

// XGBoost 3.1 dropped tree_method="gpu_hist".
bool xgboost_dropped_gpu_hist(const py::module_& xgb) {
    const std::string version = xgb.attr("__version__").cast<std::string>();
    int major = 0, minor = 0;
    std::sscanf(version.c_str(), "%d.%d", &major, &minor);
    return major > 3 || (major == 3 && minor >= 1);
}

py::tuple validate_xy(const Deps& d, py::object self, py::object x, py::object y, const py::dict& options) {
    if (!d.validate_data.is_none()) return d.validate_data(self, x, y, **options);
    return self.attr("_validate_data")(x, y, **options);
}

py::tuple apply_sample_weight(const Deps& d, py::object x, py::object y, py::object sample_weight) {
    py::object n_rows = x.attr("shape")[py::int_(0)];
    py::object w;
    if (sample_weight.is_none()) {
        w = d.np.attr("ones")(n_rows);
    } else {
        // numbers only, by the conversion toolkit's rule: text such as "1.5" is not read as a weight
        w = d.np.attr("asarray")(numeric_array(sample_weight, "sample_weight", Refusal::value_error),
                                 py::arg("dtype") = "float64");
        // A (n, 2) array would otherwise pass the first-dimension test and pair rows with
        // the wrong weights.
        if (w.attr("ndim").cast<int>() == 0 || !py_equal(w.attr("shape")[py::int_(0)], n_rows) ||
            !py_equal(w.attr("size"), n_rows))
            throw py::value_error("sample_weight shape mismatches the input");
        // A NaN or infinite weight has no meaning (and infinity would turn every normalised
        // weight into NaN).
        if (!d.np.attr("isfinite")(w).attr("all")().cast<bool>()) throw py::value_error("Invalid sample_weight");
        w = w.attr("ravel")();
        py::object positive = w.attr("__gt__")(0);
        const bool all_positive = positive.attr("all")().cast<bool>();
        if (!all_positive) {  // the only row gather: X_ stays the one copy of X otherwise
            py::object keep = d.np.attr("flatnonzero")(positive);
            if (py::len(keep) == 0)
                throw py::value_error("Invalid sample_weight: no sample weight is greater than zero.");
            x = x[keep];
            y = y[keep];
            w = w[keep];
        }
        const py::object n_kept = x.attr("shape")[py::int_(0)];
        // Scaled by the largest weight first so that huge finite weights cannot overflow the sum.
        w = w.attr("__truediv__")(w.attr("max")());
        py::object total = w.attr("sum")();
        w = w.attr("__mul__")(n_kept).attr("__truediv__")(total);
    }
    if (py_equal(x.attr("shape")[py::int_(0)], py::int_(1))) throw py::value_error("n_samples=1");
    return py::make_tuple(x, y, w.attr("ravel")());
}

}  // namespace

py::object check_predict_input(const Deps& d, py::object self, py::object X, const py::tuple& fitted,
                               bool allow_nan) {
    py::object raw = X;
    py::dict options;
    if (allow_nan) options[d.finite_keyword.c_str()] = "allow-nan";
    X = d.check_array(X, **options);
    // A fit that failed in validation has already set n_features_in_ (and the classifier's
    // classes_), so scikit-learn's default test would take it for fitted.
    d.check_is_fitted(self, fitted);
    py::tuple shape = X.attr("shape");
    if (shape.size() != 2) throw py::value_error("Reshape your data.");
    py::object expected = self.attr("n_features_in_");
    if (!py_equal(shape[1], expected)) {
        // The documented two lines, then scikit-learn's own wording of the mismatch.
        const std::string name = py::str(py::type::of(self).attr("__name__"));
        throw py::value_error("The number of features in predict is\n" + std::string(21, ' ') +
                              "different from the number of features in fit. X has " +
                              std::string(py::str(shape[1])) + " features, but " + name + " is expecting " +
                              std::string(py::str(expected)) + " features as input.");
    }
    if (!d.check_feature_names.is_none()) d.check_feature_names(self, raw, py::arg("reset") = false);
    return X;
}

py::dict more_tags(bool binary_only, bool allow_nan) {
    py::dict tags;
    if (binary_only) tags["binary_only"] = true;
    if (allow_nan) tags["allow_nan"] = true;
    py::dict checks;
    checks["check_sample_weights_invariance"] =
        py::make_tuple("zero sample_weight is not equivalent to removing samples");
    tags["_xfail_checks"] = checks;
    return tags;
}

void add_sklearn_tags(py::object& cls, const Deps& d, bool binary_only, bool allow_nan) {
    if (!d.has_sklearn_tags) return;
    py::object super = py::module_::import("builtins").attr("super");
    const std::string doc = std::string("__sklearn_tags__(self)\n--\n\nscikit-learn's tags") +
                            (binary_only ? "; the classifier is binary only" : "") +
                            (allow_nan ? "; X may hold NaN (missing values)." : ".");
    add_method(
        cls, "__sklearn_tags__", "__sklearn_tags__",
        [cls, super, binary_only, allow_nan](py::object self) {
            py::object tags = super(cls, self).attr("__sklearn_tags__")();
            if (binary_only) tags.attr("classifier_tags").attr("multi_class") = false;
            if (allow_nan) tags.attr("input_tags").attr("allow_nan") = true;
            return tags;
        },
        doc.c_str());
}

DepsPtr load_deps() {
    auto d = std::make_shared<Deps>();
    d->np = py::module_::import("numpy");
    d->copy = py::module_::import("copy");
    py::module_ xgb = py::module_::import("xgboost");
    d->XGBRegressor = xgb.attr("XGBRegressor");
    d->XGBClassifier = xgb.attr("XGBClassifier");
    py::module_ base = py::module_::import("sklearn.base");
    d->BaseEstimator = base.attr("BaseEstimator");
    d->RegressorMixin = base.attr("RegressorMixin");
    d->ClassifierMixin = base.attr("ClassifierMixin");
    d->is_classifier = base.attr("is_classifier");
    py::module_ validation = py::module_::import("sklearn.utils.validation");
    d->check_array = validation.attr("check_array");
    d->column_or_1d = validation.attr("column_or_1d");
    d->check_is_fitted = validation.attr("check_is_fitted");
    d->LabelBinarizer = py::module_::import("sklearn.preprocessing").attr("LabelBinarizer");
    d->validate_data = optional_attr("sklearn.utils.validation", "validate_data");
    d->check_feature_names = optional_attr("sklearn.utils.validation", "_check_feature_names");
    d->has_sklearn_tags = py::hasattr(d->BaseEstimator, "__sklearn_tags__");
    d->translate_gpu_hist = xgboost_dropped_gpu_hist(xgb);

    py::object import_module = py::module_::import("importlib").attr("import_module");
    const char* package = "tamrel.models.xgb2";
    d->XGBInterpreter = import_module(".interpret", package).attr("XGBInterpreter");
    d->FANOVAInterpreter = import_module("..interpreter", package).attr("FANOVAInterpreter");
    py::object utils = import_module("..utils", package);
    d->predict_1D_func_tree = utils.attr("predict_1D_func_tree");
    d->predict_2D_func_tree = utils.attr("predict_2D_func_tree");
    d->dask = import_module(".dask_support", package);
    d->bagging = import_module(".bagging", package);
    d->parse_bags = import_module(".interpret", package).attr("parse_bags");
    d->expit = py::module_::import("scipy.special").attr("expit");
    py::object parameters = py::module_::import("inspect").attr("signature")(d->check_array).attr("parameters");
    d->finite_keyword = parameters.contains("ensure_all_finite") ? "ensure_all_finite" : "force_all_finite";
    return d;
}

py::tuple validate_rows(const Deps& d, py::object self, py::object x, py::object y, py::object sample_weight,
                        bool regression, bool allow_nan) {
    py::dict options;
    if (regression) options["y_numeric"] = true;
    if (allow_nan) options[d.finite_keyword.c_str()] = "allow-nan";
    py::tuple xy = validate_xy(d, self, x, y, options);
    x = xy[0];
    y = xy[1];
    // y_numeric converts only object arrays: text of a fixed width would reach XGBoost.
    const std::string kind = py::str(y.attr("dtype").attr("kind"));
    if (regression && kind.find_first_of("biuf") == std::string::npos)
        throw py::value_error("y must hold numbers for a regressor, got an array of dtype " +
                              std::string(py::str(y.attr("dtype"))) + ".");
    if (y.attr("ndim").cast<int>() == 2 && y.attr("shape")[py::int_(1)].cast<int>() == 1)
        y = d.column_or_1d(y, py::arg("warn") = regression);
    return apply_sample_weight(d, x, y.attr("ravel")(), sample_weight);
}

void add_checked_prediction(py::object& cls, const DepsPtr& deps, const char* name, const char* doc) {
    const std::string method = name;
    add_method(
        cls, name, name,
        [deps, method](py::object self, py::object X) {
            if (is_dask(*deps, X)) return deps->dask.attr("predict")(self, method, X);
            py::object checked = check_predict_input(*deps, self, X, py::make_tuple("estimator_", "is_fitted_"),
                                                     false);  // before estimator_ is read
            return self.attr("estimator_").attr(method.c_str())(checked);
        },
        doc, py::arg("X"));
}

py::object define_estimator_class(py::module_& m, const DepsPtr& deps, const char* name, const py::object& mixin,
                                  const py::object& base, const char* title, bool classifier, ValidateFn validate) {
    py::object cls = make_class(m, name, py::make_tuple(mixin, base), estimator_doc(title).c_str());
    add_init(cls, 256, 0, "Store the hyper-parameters.", [base](py::object self, const Params& params) {
        py::dict kwargs;
        for (std::size_t i = 0; i < params.size(); ++i) kwargs[kParamNames[i]] = params[i];
        base.attr("__init__")(self, **kwargs);
    });
    add_method(
        cls, "_more_tags", "_more_tags", [classifier](py::object) { return more_tags(classifier); },
        "_more_tags(self)\n--\n\nInternal function for skipping some sklearn estimator checks.");
    add_sklearn_tags(cls, *deps, classifier);
    add_method(
        cls, "_validate_input", "_validate_input",
        [deps, validate](py::object self, py::object x, py::object y, py::object w) {
            return validate(*deps, self, x, y, w);
        },
        validate_doc(classifier).c_str(), py::arg("x"), py::arg("y"), py::arg("sample_weight"));
    return cls;
}

}  // namespace tamrel_py::xgb2
