// What the bagged depth-2 classes share: their settings tables and the class-making helpers.
#pragma once

#include "xgb2_internal.hpp"

#include <string>
#include <vector>

namespace tamrel_py::xgb2 {
namespace bagged {

// The settings table of a class (tamrel.models.xgb2.bagged_settings: REGRESSOR or
// CLASSIFIER), which gives each setting's name, kind, default, doc and check once.
py::object settings_table(const char* table_name);

// Binds an __init__ that stores every setting of the table as given (positionally in table
// order or by keyword), with the signature line made from the table.
void add_settings_init(py::object& cls, const py::object& table);

// A numpy-style class docstring: the title, a Parameters section from the table, then `more`.
std::string class_doc(const py::object& table, const char* title, const char* more);

}  // namespace bagged

py::object define_bagged_base(py::module_& m, const DepsPtr& deps);

}  // namespace tamrel_py::xgb2
