// tamrel.models.xgb2.xgboost: interpretable depth-2 boosted trees (XGBoost underneath).
#include "xgb2_internal.hpp"

PYBIND11_MODULE(xgboost, m) {
    py::options options;
    options.disable_function_signatures();
    m.doc() = "Depth-2 boosted trees: XGB2Regressor, XGB2Classifier and their base XGB2Base; the bagged "
              "XGB2BaggedRegressor, XGB2BaggedClassifier and their base XGB2BaggedBase.";
    namespace x = tamrel_py::xgb2;
    x::define_kernels(m);
    x::define_bag_kernels(m);
    x::define_boost_loop(m);
    const x::DepsPtr deps = x::load_deps();
    const py::object base = x::define_base(m, deps);
    x::define_regressor(m, deps, base);
    x::define_classifier(m, deps, base);
    x::define_bagged(m, deps);
}
