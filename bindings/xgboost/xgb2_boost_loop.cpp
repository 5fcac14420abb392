// The boosting loop of the bagged models' stages: XGBoost's C functions called round after
// round without the interpreter (xgboost.train spends more time per round in Python than
// XGBoost spends growing a small tree), the stopping rule from the core.
#include "xgb2_internal.hpp"

#include "tamrel/xgb2/early_stop.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace tamrel_py::xgb2 {
namespace boost_loop {

namespace core = tamrel::xgb2;

// XGBoost's C API (c_api.h), as the loaded library exports it.
using UpdateFn = int (*)(void* booster, int iteration, void* dtrain);
using EvalFn = int (*)(void* booster, int iteration, void** dmats, const char** names, std::uint64_t count,
                       const char** result);
using ErrorFn = const char* (*)();

struct Api {
    UpdateFn update;
    EvalFn eval;
    ErrorFn last_error;
};

template <typename F>
F function_at(const py::handle& address, const char* name) {
    const auto value = address.cast<std::uintptr_t>();
    if (value == 0) throw py::value_error(std::string("the address of ") + name + " is null");
    return reinterpret_cast<F>(value);
}

Api api_of(const py::tuple& api) {
    if (api.size() != 3)
        throw py::value_error("api must hold the addresses of XGBoosterUpdateOneIter, XGBoosterEvalOneIter and "
                              "XGBGetLastError");
    return {function_at<UpdateFn>(api[0], "XGBoosterUpdateOneIter"), function_at<EvalFn>(api[1], "XGBoosterEvalOneIter"),
            function_at<ErrorFn>(api[2], "XGBGetLastError")};
}

void* handle_of(std::uintptr_t value, const char* name) {
    if (value == 0) throw py::value_error(std::string(name) + " is a null handle");
    return reinterpret_cast<void*>(value);
}

void check(const Api& api, int status) {
    if (status != 0) throw std::runtime_error(std::string("XGBoost: ") + api.last_error());
}

// The value of the one metric in an evaluation line: "[12]\theld_out-rmse:3.25".
double metric_value(const char* line) {
    const char* colon = std::strrchr(line, ':');
    char* end = nullptr;
    const double value = colon ? std::strtod(colon + 1, &end) : 0.0;
    if (!colon || end == colon + 1) throw std::runtime_error(std::string("XGBoost's evaluation is unreadable: ") + line);
    return value;
}

py::tuple boost_stage(py::tuple api_addresses, std::uintptr_t booster, std::uintptr_t dtrain, std::uintptr_t dheld,
                      std::int64_t first_iteration, std::int64_t max_rounds, std::int64_t patience, double tolerance,
                      double start_loss) {
    const Api api = api_of(api_addresses);
    void* b = handle_of(booster, "booster");
    void* train = handle_of(dtrain, "dtrain");
    void* held = handle_of(dheld, "dheld");
    if (first_iteration < 0 || max_rounds > INT_MAX - first_iteration)
        throw py::value_error("first_iteration + max_rounds must lie in [0, " + std::to_string(INT_MAX) + "]");
    const char* name = "held_out";
    core::StageRun run;
    {
        py::gil_scoped_release nogil;  // XGBoost's C functions need no interpreter
        run = core::boost_until_stop(
            [&](std::int64_t r) {
                const int iteration = static_cast<int>(first_iteration + r);
                check(api, api.update(b, iteration, train));
                const char* line = nullptr;
                check(api, api.eval(b, iteration, &held, &name, 1, &line));
                return metric_value(line);
            },
            core::StopRule{max_rounds, patience, tolerance}, start_loss);
    }
    return py::make_tuple(run.kept, run.best_loss, run.run);
}

// The rule replayed over the held-out losses of rounds already boosted (where XGBoost ran the
// rounds, as xgboost.dask does): (kept, best loss, rounds read, whether the rule ends there).
py::tuple replay_stage(std::vector<double> losses, std::int64_t max_rounds, std::int64_t patience, double tolerance,
                       double start_loss) {
    const core::StopRule rule{max_rounds, patience, tolerance};
    const auto available = static_cast<std::int64_t>(losses.size());
    const core::StopRule within{std::min(max_rounds, std::max<std::int64_t>(available, 1)), patience, tolerance};
    core::StageRun run{0, start_loss, 0};
    if (available > 0)
        run = core::boost_until_stop([&](std::int64_t r) { return losses[static_cast<std::size_t>(r)]; }, within,
                                     start_loss);
    return py::make_tuple(run.kept, run.best_loss, run.run, core::stage_done(run, rule));
}

}  // namespace boost_loop

void define_boost_loop(py::module_& m) {
    m.def("_boost_stage", &boost_loop::boost_stage, py::arg("api"), py::arg("booster"), py::arg("dtrain"),
          py::arg("dheld"), py::arg("first_iteration"), py::arg("max_rounds"), py::arg("patience"),
          py::arg("tolerance"), py::arg("start_loss"),
          "_boost_stage(api, booster, dtrain, dheld, first_iteration, max_rounds, patience, tolerance, start_loss)\n"
          "--\n\n"
          "Boosts the booster (a handle) on dtrain round after round, numbering rounds from\n"
          "first_iteration, and evaluates its one metric on dheld after each, until the held-out\n"
          "loss has not improved for `patience` rounds (an improvement lowers the best loss by more\n"
          "than `tolerance` times it; start_loss is the loss to beat before the first round) or\n"
          "max_rounds were boosted; returns (rounds kept, their held-out loss, rounds boosted).\n"
          "api holds the addresses of XGBoost's XGBoosterUpdateOneIter, XGBoosterEvalOneIter and\n"
          "XGBGetLastError.");
    m.def("_replay_stage", &boost_loop::replay_stage, py::arg("losses"), py::arg("max_rounds"), py::arg("patience"),
          py::arg("tolerance"), py::arg("start_loss"),
          "_replay_stage(losses, max_rounds, patience, tolerance, start_loss)\n--\n\n"
          "_boost_stage's rule over the held-out losses of rounds already boosted: (rounds kept,\n"
          "their held-out loss, rounds read, whether the rule ends the stage there).");
}

}  // namespace tamrel_py::xgb2
