// tamrel.diagnoser._scan: the weak-region scan's kernels, separable passes over row blocks
// (scan_kernels.cpp), and their value types (scan_objects.cpp). Imports nothing of the
// package, so that the scan's Python driver and the public frailzone module both build on it.
#include "scan_objects.hpp"

namespace scan_py {
void define_scan_kernels(py::module_& m);
}

PYBIND11_MODULE(_scan, m) {
    py::options options;
    options.disable_function_signatures();
    m.doc() = "The weak-region scan's kernels: range sketches, cell sums, regions and rank sums over row blocks.";
    scan_py::define_scan_kernels(m);
}
