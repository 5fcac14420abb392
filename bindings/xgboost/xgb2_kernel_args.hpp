// What the kernel files of tamrel.models.xgb2.xgboost share: their arguments converted and
// checked, and the core's results as Python objects.
#pragma once

#include "xgb2_internal.hpp"

#include "conversion.hpp"

#include "tamrel/xgb2/decompose.hpp"
#include "tamrel/xgb2/purify.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace tamrel_py::xgb2::kernel_args {
namespace core = tamrel::xgb2;

// The module's refusals are ValueErrors (see conversion.hpp).
constexpr Refusal kValue = Refusal::value_error;

// A contiguous, aligned float64 array of numbers.
py::array float64_input(const py::object& obj, const std::string& what);
inline const double* data_of(const py::array& arr) { return static_cast<const double*>(arr.data()); }

py::array_t<double> to_array(const std::vector<double>& v);
// (intercept, [(feature, thresholds, values)], [(first, second, thresholds1, thresholds2, table)]).
py::tuple to_python(const core::Decomposition& d);

// The columns of X that the core reads (all of them: any may carry a split); `keep` holds them.
core::Matrix columns_of(const MatrixRef& X, std::vector<ColumnRef>& keep);
// The same, checked against the model's feature count and for NaN (unless `allow_nan`:
// NaN then lies in the missing cells).
core::Matrix checked_matrix(const py::object& X, std::int64_t n_features, std::vector<ColumnRef>& keep,
                            bool allow_nan = false);

// The flat node arrays, checked, as the core's view; the struct holds the converted arrays.
// default_left (one flag per node) is given for models whose effects carry missing cells.
struct EnsembleArg {
    i64_array offsets, left, right, feature;
    py::array value;
    bool missing = false;
    std::vector<std::uint8_t> default_left;
    bool deep = false;  // trees deeper than 2 on at most two features are taken (bags)
    core::Ensemble view() const;
};
EnsembleArg ensemble_arg(const py::object& offsets, const py::object& left, const py::object& right,
                         const py::object& feature, const py::object& value,
                         const py::object& default_left = py::none());

// (n_rows, [(feature, counts)], [joint counts per interaction]) as _count_cells returns it.
py::tuple counts_to_python(const core::CellCounts& c);
core::CellCounts counts_from_python(const py::object& obj);

}  // namespace tamrel_py::xgb2::kernel_args
