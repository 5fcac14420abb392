// The one conversion toolkit of both extension modules: Python input to checked views
// that the C++ core reads.
//
// Error rule of every binding:
//   TypeError    the argument is the wrong kind of thing: an array whose dtype is not a
//                number (text, bytes, objects that are not numbers, complex, datetimes),
//                text or None where a number is due, a fractional node or row index.
//   ValueError   the right kind with a wrong value: dimensions, lengths, NaN or infinite
//                entries, a value outside its range.
//   IndexError   a row or column position outside the data.
//   TamrelError  misuse of an analysis that the frailzone classes detect (documented texts).
// tamrel.models.xgb2 raises only ValueError, as scikit-learn's validation does: its
// bindings pass Refusal::value_error, which turns the TypeErrors above into ValueErrors.
// Every message names the argument.
#pragma once

#include "py_common.hpp"
#include "tamrel/column.hpp"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace tamrel_py {

// The class raised for an argument of the wrong kind (see the rule above).
enum class Refusal { type_error, value_error };

[[noreturn]] void refuse_kind(Refusal how, const std::string& message);

// Numbers only: bool, integer and real dtypes pass as they are; an object array passes
// when every entry is a real number (converted to float64, the first other entry named);
// any other dtype is refused.
py::array numeric_array(const py::handle& obj, const std::string& what, Refusal how = Refusal::type_error);

// A float64 view the core may read directly: native byte order, aligned, strides whole
// elements. Anything else is copied once.
py::array float64_view(const py::array& numeric);

// A float64 column of a 1-D array-like (or of an (n, 1) one); `keep` holds the array.
struct ColumnRef {
    py::array keep;
    tamrel::Column col;
};
ColumnRef column_ref(const py::handle& obj, const std::string& what, Refusal how = Refusal::type_error);
// An optional column: empty when obj is None.
ColumnRef optional_column(const py::handle& obj, const std::string& what, Refusal how = Refusal::type_error);

// A checked 2-D numeric array whose columns are converted one at a time, only when read.
struct MatrixRef {
    py::array arr;
    std::string what;
    Refusal how;
    std::int64_t rows() const { return arr.shape(0); }
    std::int64_t cols() const { return arr.shape(1); }
    // Column j; IndexError when j is outside the columns.
    ColumnRef column(std::int64_t j) const;
};
MatrixRef matrix_ref(const py::handle& obj, const std::string& what, Refusal how = Refusal::type_error);
ColumnRef matrix_column(const py::handle& matrix, std::int64_t j, const std::string& what,
                        Refusal how = Refusal::type_error);

// A 1-D int64 array of an integer array-like; floats (even whole ones) are refused.
i64_array integer_array(const py::handle& obj, const std::string& what, Refusal how = Refusal::type_error);

// Settings: a Python number as a double / an integer position. Text, None, arrays of
// several values and other objects are refused naming `what`.
double as_number(const py::handle& value, const std::string& what, Refusal how = Refusal::type_error);
py::ssize_t as_position(const py::handle& value, const std::string& what, Refusal how = Refusal::type_error);

// Entries of a column that are NaN or larger than `bound` in magnitude (infinite ones with
// the default bound); counted with the GIL released.
std::int64_t count_beyond(const tamrel::Column& col, double bound = std::numeric_limits<double>::max());

// ValueError "<what> holds <n> NaN or infinite value(s)." unless every entry is finite.
void require_finite(const ColumnRef& c, const std::string& what);

// Output arrays of the core's vectors.
py::array_t<std::int64_t> to_index_array(const std::vector<std::int64_t>& idx);
py::array_t<double> to_float_array(const std::vector<double>& values);

// A ValueError unless the optional column `c` has n entries.
void check_length(const ColumnRef& c, std::int64_t n, const char* what);

// A number of bins as a positive integer (TypeError / ValueError otherwise); a huge one is
// capped, since no data has more values than that.
std::int64_t positive_bins(const py::object& bins);

}  // namespace tamrel_py
