// What the bagged depth-2 classes share: their settings table and the class-making helpers.
#pragma once

#include "xgb2_internal.hpp"

#include <string>
#include <vector>

namespace tamrel_py::xgb2 {
namespace bagged {

// One constructor setting: its name, default, documented type and meaning.
struct Setting {
    const char* name;
    py::object value;
    const char* type;
    const char* doc;
};

// The settings of the bagged estimators, in signature order.
std::vector<Setting> settings();

// Binds an __init__ that stores every setting as given (positionally in table order or by
// keyword), with the signature "init(self, name=default, ...)" made from the table.
void add_settings_init(py::object& cls, const std::vector<Setting>& table, const char* description);

// A numpy-style class docstring: the title, a Parameters section from the table, then `more`.
std::string class_doc(const std::vector<Setting>& table, const char* title, const char* more);

}  // namespace bagged

py::object define_bagged_base(py::module_& m, const DepsPtr& deps);

}  // namespace tamrel_py::xgb2
