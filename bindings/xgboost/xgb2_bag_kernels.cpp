// Private kernels of the bagged depth-2 models: the decomposition of averaged bags and the
// ranking of feature pairs, used by tamrel.models.xgb2.interpret and .bagging.
#include "xgb2_kernel_args.hpp"

#include "tamrel/xgb2/bags.hpp"
#include "tamrel/xgb2/pair_rank.hpp"

#include <string>
#include <vector>

namespace tamrel_py::xgb2 {
namespace bag_kernels {
using namespace kernel_args;

// The bags' node arrays (with default directions) and base margins; the structs hold the
// converted arrays.
struct BagArgs {
    std::vector<EnsembleArg> ensembles;
    std::vector<double> base_margins;
};

BagArgs bag_args(const py::object& bags) {
    BagArgs out;
    for (py::handle item : bags) {
        const py::tuple t = py::cast<py::tuple>(item);
        if (t.size() != 7)
            throw py::value_error("a bag is (offsets, left, right, feature, value, default_left, base_margin)");
        out.ensembles.push_back(ensemble_arg(t[0], t[1], t[2], t[3], t[4], t[5]));
        out.ensembles.back().deep = true;  // the pair stage's trees may be deeper than 2
        out.base_margins.push_back(as_number(t[6], "base_margin", kValue));
    }
    if (out.ensembles.empty()) throw py::value_error("bags must hold at least one bag");
    return out;
}

// Each bag decomposed, its base margin in its intercept.
std::vector<core::Decomposition> decompose_bags(const BagArgs& args, std::int64_t n_features) {
    std::vector<core::Decomposition> out;
    for (std::size_t b = 0; b < args.ensembles.size(); ++b) {
        out.push_back(core::decompose(args.ensembles[b].view(), n_features));
        out.back().intercept += args.base_margins[b];
    }
    return out;
}

py::tuple parse_bags(py::object bags, std::int64_t n_features, py::object X, py::object counts) {
    const BagArgs args = bag_args(bags);
    std::vector<ColumnRef> keep;
    core::Matrix x;
    if (counts.is_none()) x = checked_matrix(X, n_features, keep, true);
    const bool given = !counts.is_none();
    core::CellCounts c = given ? counts_from_python(counts) : core::CellCounts{};
    core::BaggedDecomposition result;
    {
        py::gil_scoped_release nogil;  // std::invalid_argument leaves as ValueError
        const std::vector<core::Decomposition> decomposed = decompose_bags(args, n_features);
        const core::Decomposition layout = core::bags_layout(decomposed);
        if (!given) c = core::count_cells(layout, core::purification_grids(layout), x, true, false);
        result = core::average_bags(decomposed, layout, c);
    }
    return py::make_tuple(to_python(result.mean), to_python(result.spread));
}

py::tuple count_bag_cells(py::object bags, std::int64_t n_features, py::object X) {
    const BagArgs args = bag_args(bags);
    std::vector<ColumnRef> keep;
    const core::Matrix x = checked_matrix(X, n_features, keep, true);
    core::CellCounts c;
    {
        py::gil_scoped_release nogil;
        const core::Decomposition layout = core::bags_layout(decompose_bags(args, n_features));
        c = core::count_cells(layout, core::purification_grids(layout), x, true, false);
    }
    return counts_to_python(c);
}

// Row positions into X, checked.
i64_array rows_arg(const py::object& rows, std::int64_t n_rows) {
    i64_array r = integer_array(rows, "rows", kValue);
    for (py::ssize_t k = 0; k < r.size(); ++k)
        if (r.data()[k] < 0 || r.data()[k] >= n_rows)
            throw py::value_error("rows holds position " + std::to_string(r.data()[k]) + " outside X's " +
                                  std::to_string(n_rows) + " rows");
    return r;
}

tamrel::Rows rows_of(const i64_array& r) { return tamrel::Rows::subset(r.data(), static_cast<std::int64_t>(r.size())); }

py::list pair_cuts(py::object X, py::object rows, std::int64_t max_bins) {
    const MatrixRef x = matrix_ref(X, "X", kValue);
    const i64_array r = rows_arg(rows, x.rows());
    if (max_bins < 2) throw py::value_error("max_bins must be at least 2, got " + std::to_string(max_bins));
    py::list out;
    for (std::int64_t j = 0; j < x.cols(); ++j) {
        const ColumnRef col = x.column(j);
        std::vector<double> cuts;
        {
            py::gil_scoped_release nogil;
            cuts = core::quantile_cuts(col.col, rows_of(r), max_bins);
        }
        out.append(to_array(cuts));
    }
    return out;
}

core::PairLayout layout_of(const py::object& cuts) {
    std::vector<std::vector<double>> all;
    for (py::handle item : cuts) {
        const py::array a = float64_input(py::reinterpret_borrow<py::object>(item), "cuts");
        all.emplace_back(data_of(a), data_of(a) + a.size());
    }
    return core::PairLayout(std::move(all));
}

// A float64 vector of X's row count.
py::array row_values(const py::object& obj, const char* what, std::int64_t n_rows) {
    py::array a = float64_input(obj, what);
    if (a.ndim() != 1 || a.shape(0) != n_rows)
        throw py::value_error(std::string(what) + " must hold one value per row of X");
    return a;
}

py::tuple pair_sums(py::object cuts, py::object X, py::object rows, py::object grad, py::object hess) {
    const core::PairLayout layout = layout_of(cuts);
    std::vector<ColumnRef> keep;
    const MatrixRef xm = matrix_ref(X, "X", kValue);
    if (static_cast<std::size_t>(xm.cols()) != layout.n_features())
        throw py::value_error("X has " + std::to_string(xm.cols()) + " columns, but cuts has " +
                              std::to_string(layout.n_features()));
    const core::Matrix x = columns_of(xm, keep);
    const i64_array r = rows_arg(rows, xm.rows());
    const py::array g = row_values(grad, "grad", xm.rows()), h = row_values(hess, "hess", xm.rows());
    const auto size = static_cast<py::ssize_t>(layout.offset.back());
    py::array_t<double> G(size), H(size);
    std::fill(G.mutable_data(), G.mutable_data() + size, 0.0);
    std::fill(H.mutable_data(), H.mutable_data() + size, 0.0);
    {
        py::gil_scoped_release nogil;
        core::add_pair_sums(layout, x.columns, rows_of(r), data_of(g), data_of(h), G.mutable_data(), H.mutable_data());
    }
    return py::make_tuple(G, H);
}

py::array_t<double> pair_strengths(py::object cuts, py::object G, py::object H, double reg_lambda,
                                   double min_child_weight) {
    const core::PairLayout layout = layout_of(cuts);
    const py::array g = float64_input(G, "G"), h = float64_input(H, "H");
    if (g.size() != static_cast<py::ssize_t>(layout.offset.back()) || h.size() != g.size())
        throw py::value_error("G and H must hold " + std::to_string(layout.offset.back()) + " sums each");
    std::vector<double> out;
    {
        py::gil_scoped_release nogil;
        out = core::pair_strengths(layout, data_of(g), data_of(h), reg_lambda, min_child_weight);
    }
    return to_array(out);
}

}  // namespace bag_kernels

void define_bag_kernels(py::module_& m) {
    namespace k = bag_kernels;
    m.def("_parse_bags", &k::parse_bags, py::arg("bags"), py::arg("n_features"), py::arg("X"),
          py::arg("counts") = py::none(),
          "_parse_bags(bags, n_features, X, counts=None)\n--\n\n"
          "The average of bags of depth-2 trees, bags given as (offsets, left, right, feature, value,\n"
          "default_left, base_margin): (mean, spread), each (intercept, [(feature, thresholds,\n"
          "values)], [(first, second, thresholds1, thresholds2, table)]) on common grids with a\n"
          "last, missing cell per feature; mean purified against X (NaN in the missing cells),\n"
          "spread the standard deviation over the bags; counts (from _count_bag_cells, summed\n"
          "over blocks of rows) stand in for X.");
    m.def("_count_bag_cells", &k::count_bag_cells, py::arg("bags"), py::arg("n_features"), py::arg("X"),
          "_count_bag_cells(bags, n_features, X)\n--\n\n"
          "The cell counts of X's rows that _parse_bags weighs; counts of row blocks add up.");
    m.def("_pair_cuts", &k::pair_cuts, py::arg("X"), py::arg("rows"), py::arg("max_bins"),
          "_pair_cuts(X, rows, max_bins)\n--\n\n"
          "Per column of X, the quantile cut points of the given rows (NaN left out): at most\n"
          "max_bins cells of about equal counts.");
    m.def("_pair_sums", &k::pair_sums, py::arg("cuts"), py::arg("X"), py::arg("rows"), py::arg("grad"),
          py::arg("hess"),
          "_pair_sums(cuts, X, rows, grad, hess)\n--\n\n"
          "Gradient and hessian sums (G, H) of the given rows over the cells of every feature\n"
          "pair (a < b, in order), each pair's table of (len(cuts[a]) + 2) x (len(cuts[b]) + 2)\n"
          "cells, the last one per feature for NaN; sums of row blocks add up.");
    m.def("_pair_strengths", &k::pair_strengths, py::arg("cuts"), py::arg("G"), py::arg("H"), py::arg("reg_lambda"),
          py::arg("min_child_weight"),
          "_pair_strengths(cuts, G, H, reg_lambda, min_child_weight)\n--\n\n"
          "Per feature pair (a < b, in order), the loss that a pure interaction on one cut of each\n"
          "feature gains beyond additive steps on the same cuts, best over all cuts whose four\n"
          "quadrants each hold at least min_child_weight of hessian.");
}

}  // namespace tamrel_py::xgb2
