// XGB2Base: hyper-parameters, training through XGBoost's wrappers, parsing and partial
// dependence.
#include "xgb2_internal.hpp"

#include "conversion.hpp"
#include "tamrel/finite.hpp"

namespace tamrel_py::xgb2 {

const std::array<const char*, 13> kParamNames = {
    "n_estimators", "eta",           "max_depth",          "tree_method",          "max_bin",
    "reg_lambda",   "reg_alpha",     "gamma",              "feature_names",        "feature_types",
    "mono_increasing_list",          "mono_decreasing_list", "random_state"};

namespace {

// The extra arguments that the compiled __init__ collects, refused in Python's words
// (pybind11 would only list the accepted signature).
void refuse_extra_arguments(const py::args& extra, const py::kwargs& unknown) {
    if (extra.size() > 0)
        throw py::type_error("__init__() takes from 1 to " + std::to_string(kParamNames.size() + 1) +
                             " positional arguments but " + std::to_string(kParamNames.size() + 1 + extra.size()) +
                             " were given");
    // Only names that match no parameter arrive here.
    for (auto item : unknown)
        throw py::type_error("__init__() got an unexpected keyword argument '" + std::string(py::str(item.first)) +
                             "'");
}

}  // namespace

void add_init(py::object& cls, int max_bin, int reg_lambda, const char* description, InitBody body) {
    const std::string doc = "init(self, n_estimators=100, eta=0.3, max_depth=2, tree_method='auto', max_bin=" +
                            std::to_string(max_bin) + ", reg_lambda=" + std::to_string(reg_lambda) +
                            ", reg_alpha=0, gamma=0, feature_names=None, feature_types=None, "
                            "mono_increasing_list=(), mono_decreasing_list=(), random_state=0)\n--\n\n" +
                            description;
    add_method(
        cls, "__init__", "init",
        [body](py::object self, py::object p0, py::object p1, py::object p2, py::object p3, py::object p4,
               py::object p5, py::object p6, py::object p7, py::object p8, py::object p9, py::object p10,
               py::object p11, py::object p12, py::args extra, py::kwargs unknown) {
            refuse_extra_arguments(extra, unknown);
            body(self, Params{p0, p1, p2, p3, p4, p5, p6, p7, p8, p9, p10, p11, p12});
        },
        doc.c_str(), py::arg("n_estimators") = 100, py::arg("eta") = 0.3, py::arg("max_depth") = 2,
        py::arg("tree_method") = "auto", py::arg("max_bin") = max_bin, py::arg("reg_lambda") = reg_lambda,
        py::arg("reg_alpha") = 0, py::arg("gamma") = 0, py::arg("feature_names") = py::none(),
        py::arg("feature_types") = py::none(), py::arg("mono_increasing_list") = py::tuple(),
        py::arg("mono_decreasing_list") = py::tuple(), py::arg("random_state") = 0);
}

namespace {

bool contains(const py::handle& container, const py::handle& item) {
    const int found = PySequence_Contains(container.ptr(), item.ptr());
    if (found < 0) throw py::error_already_set();
    return found == 1;
}

// feature_names_ / feature_types_: a deep copy of the setting, or `fill(i)` per column.
// A list of the wrong length is refused before XGBoost sees it.
template <typename Fill>
py::object feature_list(const Deps& d, py::object setting, const char* what, py::ssize_t n_columns, Fill fill) {
    if (setting.is_none()) {
        py::list out;
        for (py::ssize_t i = 0; i < n_columns; ++i) out.append(fill(i));
        return std::move(out);
    }
    const auto n = static_cast<py::ssize_t>(py::len(setting));
    if (n != n_columns)
        throw py::value_error(std::string(what) + " has " + std::to_string(n) + " entries, but X has " +
                              std::to_string(n_columns) + " columns");
    return d.copy.attr("deepcopy")(setting);
}

// Names for a DataFrame's columns (scikit-learn's feature_names_in_, set by the
// validation) or "X0", "X1", ...
py::object default_name(const py::object& self, py::ssize_t i) {
    py::object seen = py::getattr(self, "feature_names_in_", py::none());
    if (!seen.is_none()) return py::str(seen[py::int_(i)]);
    return py::str("X" + std::to_string(i));
}

// A column with such values is refused by name.
void refuse_beyond_float32(const std::vector<std::int64_t>& counts, const py::object& names) {
    for (size_t j = 0; j < counts.size(); ++j) {
        if (counts[j] > 0)
            throw py::value_error("Feature " + py::repr(names[py::int_(j)]).cast<std::string>() + " (column " +
                                  std::to_string(j) + ") holds " + std::to_string(counts[j]) +
                                  " value(s) beyond the float32 range, which XGBoost cannot train on.");
    }
}

}  // namespace

std::vector<std::int64_t> beyond_float32(const py::object& X) {
    constexpr double kLargest = 0x1.fffffefffffffp127;  // below this, float32 rounding stays finite
    const MatrixRef x = matrix_ref(X, "X", Refusal::value_error);
    std::vector<std::int64_t> counts;
    for (std::int64_t j = 0; j < x.cols(); ++j) {
        const ColumnRef c = x.column(j);
        counts.push_back(tamrel_py::count_beyond(c.col, kLargest) - tamrel::count_nan(c.col));  // NaN is missing
    }
    return counts;
}

void set_feature_metadata(const Deps& d, py::object self, const std::vector<std::int64_t>& beyond) {
    const auto n_columns = self.attr("n_features_in_").cast<py::ssize_t>();
    py::object names = feature_list(d, self.attr("feature_names"), "feature_names", n_columns,
                                    [&self](py::ssize_t i) { return default_name(self, i); });
    py::object types = feature_list(d, self.attr("feature_types"), "feature_types", n_columns,
                                    [](py::ssize_t) { return py::str("numerical"); });
    refuse_beyond_float32(beyond, names);
    self.attr("feature_names_") = names;
    self.attr("feature_types_") = types;
}

namespace {

py::object fit(const Deps& d, py::object self, py::object X, py::object y, py::object sample_weight) {
    // Dask input is validated in one pass over its partitions, which also counts the
    // values beyond the float32 range (a fourth item): the rows never gather here.
    const bool distributed = is_dask(d, X);
    py::object validated = distributed ? d.dask.attr("validate")(self, X, y, sample_weight)
                                       : self.attr("_validate_input")(X, y, sample_weight);
    py::tuple parts = py::tuple(validated);
    if (parts.size() != (distributed ? 4u : 3u)) throw py::value_error("_validate_input must return three items");
    X = parts[0];
    y = parts[1];
    sample_weight = parts[2];
    set_feature_metadata(d, self, distributed ? parts[3].cast<std::vector<std::int64_t>>() : beyond_float32(X));
    self.attr("_fit_xgb_raw")(X, y, sample_weight);
    self.attr("is_fitted_") = true;
    self.attr("X_") = distributed ? X : d.copy.attr("copy")(X);  // the one copy of the training rows; a Dask collection stays lazy
    return self;
}

}  // namespace

py::str monotone_constraints(py::object self) {
    py::object inc = self.attr("mono_increasing_list"), dec = self.attr("mono_decreasing_list");
    py::object names = self.attr("feature_names_");
    // A name that is no feature would otherwise leave its feature unconstrained unnoticed.
    for (const char* setting : {"mono_increasing_list", "mono_decreasing_list"})
        for (py::handle name : self.attr(setting))
            if (!contains(names, name))
                throw py::value_error(std::string(setting) + " names " + py::repr(name).cast<std::string>() +
                                      ", which is not a feature: the features are " +
                                      py::repr(names).cast<std::string>() + ".");
    py::list signs;
    for (py::handle name : names) signs.append(contains(inc, name) ? 1 : (contains(dec, name) ? -1 : 0));
    return py::repr(py::tuple(signs));
}

namespace {

void fit_xgb_raw(const Deps& d, py::object self, py::object X, py::object y, py::object sample_weight) {
    py::dict params;
    params["max_depth"] = self.attr("max_depth");
    params["n_estimators"] = self.attr("n_estimators");
    params["eta"] = self.attr("eta");
    params["gamma"] = self.attr("gamma");
    params["tree_method"] = self.attr("tree_method");
    params["max_bin"] = self.attr("max_bin");
    params["reg_lambda"] = self.attr("reg_lambda");
    params["reg_alpha"] = self.attr("reg_alpha");
    params["monotone_constraints"] = monotone_constraints(self);
    params["random_state"] = self.attr("random_state");
    if (d.translate_gpu_hist && py_equal(py::str("gpu_hist"), params["tree_method"])) {
        params["tree_method"] = "hist";
        params["device"] = "cuda";
    }
    self.attr("xgb_params_") = params;
    const bool classifier = d.is_classifier(self).cast<bool>();
    py::object estimator = (classifier ? d.XGBClassifier : d.XGBRegressor)(**params);
    self.attr("estimator_") = estimator;
    if (is_dask(d, X))
        d.dask.attr("train")(estimator, X, y, sample_weight);
    else
        estimator.attr("fit")(X, y.attr("ravel")(), py::arg("sample_weight") = sample_weight);
}

py::dict base_extract_rules(const Deps& d, py::object self) {
    py::object booster = self.attr("estimator_").attr("get_booster")();
    py::object table = booster.attr("trees_to_dataframe")();
    py::object booster_names = booster.attr("feature_names");
    py::object names = self.attr("feature_names_");
    py::object feature = table[py::str("Feature")], split = table[py::str("Split")];
    py::object has_split = split.attr("notna")();
    const auto n_columns = self.attr("n_features_in_").cast<py::ssize_t>();
    py::dict rules;
    py::ssize_t total = 0;
    for (py::ssize_t i = 0; i < n_columns; ++i) {
        py::object booster_name = booster_names.is_none() ? py::str("f" + std::to_string(i))
                                                          : py::object(booster_names[py::int_(i)]);
        py::object rows = feature.attr("__eq__")(booster_name).attr("__and__")(has_split);
        py::object thresholds = d.np.attr("sort")(split[rows].attr("unique")());
        rules[names[py::int_(i)]] = thresholds;
    }
    for (auto item : rules) total += static_cast<py::ssize_t>(py::len(item.second));
    self.attr("n_splits_raw_") = total;
    return rules;
}

py::object parse_model(const Deps& d, py::object self) {
    if (py_compare(self.attr("max_depth"), py::int_(2), Py_GT)) return py::str("Cannot interpret XGB with depth more than 2.");
    d.check_is_fitted(self, py::make_tuple("estimator_", "is_fitted_"));
    py::object unp = d.XGBInterpreter(self.attr("estimator_"), py::arg("purification") = true,
                                      py::arg("true_to_data") = false,
                                      py::arg("feature_names") = self.attr("feature_names_"),
                                      py::arg("feature_types") = self.attr("feature_types_"));
    self.attr("unp_") = unp;
    unp.attr("fit")(self.attr("X_"));
    self.attr("effects_") = unp.attr("effects_");
    self.attr("intercept_") = unp.attr("intercept_");
    return d.FANOVAInterpreter(self);
}

// fidx with feature names replaced by their column positions (a plain string is one name);
// without names it is the caller's object as given.
py::object resolve_fidx(const py::object& self, py::object fidx) {
    if (py::isinstance<py::str>(fidx)) fidx = py::make_tuple(fidx);
    bool named = false;
    for (py::handle item : fidx) named = named || py::isinstance<py::str>(item);
    if (!named) return fidx;
    py::list names = self.attr("feature_names_");
    py::list positions;
    for (py::handle item : fidx) {
        if (!py::isinstance<py::str>(item)) {
            positions.append(item);
            continue;
        }
        const auto count = names.attr("count")(item).cast<py::ssize_t>();
        if (count != 1)
            throw py::value_error("Feature " + py::repr(item).cast<std::string>() +
                                  (count == 0 ? " is not in feature_names_ " : " names several columns of ") +
                                  py::repr(names).cast<std::string>() + ".");
        positions.append(names.attr("index")(item));
    }
    return py::tuple(positions);
}

// effects_, parsing the model first when it has not been parsed.
py::object parsed_effects(py::object self) {
    if (!py::hasattr(self, "effects_")) {
        py::object result = self.attr("parse_model")();
        if (py::isinstance<py::str>(result)) throw py::value_error(result.cast<std::string>());
    }
    return self.attr("effects_");
}

}  // namespace

py::object partial_dependence(const Deps& d, py::object self, py::object fidx, py::object X) {
    fidx = resolve_fidx(self, fidx);
    const std::size_t n = py::len(fidx);
    py::object predict;
    if (n == 1 || n == 2) {  // any other count searches nothing, parsed or not
        py::object effects = parsed_effects(self);
        py::object wanted = py::set(fidx);
        for (py::handle record : effects[py::str(n == 1 ? "1D" : "2D")].attr("values")()) {
            if (!py_equal(py::set(record[py::str("fidx")]), wanted)) continue;
            py::object splits = record[py::str("split_unique_list")];
            py::object values = record[py::str("values")];
            // An effect with a missing cell says so; the others are built as they always were.
            py::dict options;
            if (record.contains("missing")) options["missing"] = record[py::str("missing")];
            predict = n == 1 ? d.predict_1D_func_tree(fidx, splits[py::int_(0)], values, true, **options)
                             : d.predict_2D_func_tree(fidx, splits[py::int_(0)], splits[py::int_(1)], values, true,
                                                      **options);
            break;
        }
    }
    if (!predict) throw py::value_error("Effect not found.");
    return is_dask(d, X) ? d.dask.attr("map_rows")(predict, X) : predict(X);
}

namespace {

constexpr const char* kFitDoc = R"(fit(self, X, y, sample_weight=None)
--

Fit the model.

Parameters
----------
X : np.ndarray of shape (n_samples, n_features)
    Data features. A DataFrame's column names become feature_names_ when
    feature_names is None. Values beyond the float32 range are refused. A Dask
    array or DataFrame (with y and sample_weight of the same partitions) trains
    through xgboost.dask on the running distributed.Client; X_ then keeps the Dask
    collection.
y : np.ndarray of shape (n_samples, )
    Target response.
sample_weight : np.ndarray of shape (n_samples, ), default=None
    Sample weight. Rows with a weight of 0 or below are left out; NaN or
    infinite weights are refused ("Invalid sample_weight").

Returns
-------
self : object
    Fitted Estimator.
)";



constexpr const char* kParseModelDoc = R"(parse_model(self)
--

Interpret the model using functional ANOVA.

Returns
-------
An instance of FANOVAInterpreter
    The interpretation results.
)";

}  // namespace

const char* const kPartialDependenceDoc = R"(partial_dependence(self, fidx, X)
--

Partial dependence of given effect index.

Parses the model first when parse_model has not run.

Parameters
----------
fidx : tuple of int
    The main effect or pairwise interaction feature index. Entries may also be
    feature names (entries of feature_names_; a plain string is one name), and an
    interaction may be given in either order.
X : np.ndarray of shape (n_samples, n_features)
    Data features; a Dask array or DataFrame gives a Dask array, computed partition by
    partition. A model that routes missing values gives NaN the effect's missing cell.

Returns
-------
pred : np.ndarray of shape (n_samples, )
    The effect's value on every row of X.
)";

py::object define_base(py::module_& m, const DepsPtr& deps) {
    py::object cls = make_class(m, "XGB2Base", py::make_tuple(deps->BaseEstimator), "");
    cls.attr("__doc__") = py::none();
    add_init(cls, 20, 1, "Store the hyper-parameters.", [](py::object self, const Params& params) {
        for (std::size_t i = 0; i < params.size(); ++i) self.attr(kParamNames[i]) = params[i];
    });
    add_method(
        cls, "_base_extract_rules", "_base_extract_rules",
        [deps](py::object self) { return base_extract_rules(*deps, self); },
        "_base_extract_rules(self)\n--\n\n"
        "Internal function for extracting the split points and intercept of a raw XGB-1 model.");
    add_method(
        cls, "_fit_xgb_raw", "_fit_xgb_raw",
        [deps](py::object self, py::object X, py::object y, py::object w) { fit_xgb_raw(*deps, self, X, y, w); },
        "_fit_xgb_raw(self, X, y, sample_weight=None)\n--\n\n"
        "Internal function for fitting the raw XGB.\n\n"
        "tree_method=\"gpu_hist\" becomes tree_method=\"hist\" with device=\"cuda\" where the\n"
        "installed XGBoost (3.1 and later) no longer accepts it.",
        py::arg("X"), py::arg("y"), py::arg("sample_weight") = py::none());
    add_method(
        cls, "fit", "fit",
        [deps](py::object self, py::object X, py::object y, py::object w) { return fit(*deps, self, X, y, w); },
        kFitDoc, py::arg("X"), py::arg("y"), py::arg("sample_weight") = py::none());
    add_method(
        cls, "partial_dependence", "partial_dependence",
        [deps](py::object self, py::object fidx, py::object X) { return partial_dependence(*deps, self, fidx, X); },
        kPartialDependenceDoc, py::arg("fidx"), py::arg("X"));
    add_method(
        cls, "parse_model", "parse_model", [deps](py::object self) { return parse_model(*deps, self); },
        kParseModelDoc);
    declare_fit_metadata(cls);
    return cls;
}

}  // namespace tamrel_py::xgb2
