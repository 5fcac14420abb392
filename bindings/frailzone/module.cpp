// tamrel.diagnoser.frailzone: weak regions of a fitted model.
#include "frailzone_classes.hpp"

PYBIND11_MODULE(frailzone, m) {
    py::options options;
    options.disable_function_signatures();
    m.doc() = "Weak regions of a fitted model: slicing, region statistics and the marginal view.";

    // Module-level names, in this order; the methods look them up here at call time.
    m.attr("scipy") = py::module_::import("scipy");
    py::module_::import("scipy.stats");
    m.attr("np") = py::module_::import("numpy");
    m.attr("pd") = py::module_::import("pandas");
    m.attr("copy") = py::module_::import("copy").attr("copy");
    m.attr("plt") = py::module_::import("matplotlib.pylab");
    m.attr("LinearSegmentedColormap") = py::module_::import("matplotlib.colors").attr("LinearSegmentedColormap");
    m.attr("DecisionTreeRegressor") = py::module_::import("sklearn.tree").attr("DecisionTreeRegressor");
    m.attr("BaseDiagnoser") = py::module_::import("tamrel.diagnoser.base").attr("BaseDiagnoser");
    py::module_ utils = py::module_::import("tamrel.diagnoser.utils");
    m.attr("get_scoring_metric") = utils.attr("get_scoring_metric");
    m.attr("calculate_distance") = utils.attr("calculate_distance");
    m.attr("TestDataResult") = py::module_::import("tamrel.utils").attr("TestDataResult");
    m.attr("scale_plot_ticks") = py::module_::import("tamrel.plots").attr("scale_plot_ticks");
    py::module_ exceptions = py::module_::import("tamrel.exceptions");
    m.attr("TamrelWarning") = exceptions.attr("TamrelWarning");
    m.attr("TamrelInfo") = exceptions.attr("TamrelInfo");
    m.attr("TamrelError") = exceptions.attr("TamrelError");

    frailzone_py::define_base_slicing(m);
    frailzone_py::define_histogram_slicing(m);
    frailzone_py::define_tree_slicing(m);
    frailzone_py::define_frailzone(m);
    frailzone_py::define_frail_scan(m);
}
