// The scan's private value types (scan_objects.hpp) and their Python classes.
#include "scan_objects.hpp"

#include <string>

namespace scan_py {

namespace scan_objects_impl {

constexpr int kSumFields = 11;

py::array_t<double> sketch_array(const tamrel::RangeSketch& s) {
    py::array_t<double> out(static_cast<py::ssize_t>(6 + s.distinct.size()));
    double* d = out.mutable_data();
    d[0] = s.min;
    d[1] = s.max;
    d[2] = static_cast<double>(s.count);
    d[3] = static_cast<double>(s.missing);
    d[4] = static_cast<double>(s.infinite);
    d[5] = static_cast<double>(s.cap);
    std::copy(s.distinct.begin(), s.distinct.end(), d + 6);
    return out;
}

// Counts stored as doubles must be whole and within the exact integers.
bool whole_count(double v) { return v >= 0 && v <= 9.0e15 && v == static_cast<double>(static_cast<std::int64_t>(v)); }

tamrel::RangeSketch sketch_of(const py::handle& obj) {
    const auto a = tamrel_py::ensure_aligned<tamrel_py::f64_array>(obj);
    if (!a || a.ndim() != 1 || a.shape(0) < 6) throw py::value_error("not a range sketch.");
    const double* d = a.data();
    for (int k = 2; k < 6; ++k)
        if (!whole_count(d[k])) throw py::value_error("not a range sketch: bad counts.");
    tamrel::RangeSketch s(static_cast<std::int64_t>(d[5]));
    s.min = d[0];
    s.max = d[1];
    s.count = static_cast<std::int64_t>(d[2]);
    s.missing = static_cast<std::int64_t>(d[3]);
    s.infinite = static_cast<std::int64_t>(d[4]);
    s.distinct.assign(d + 6, d + a.shape(0));
    return s;
}

py::array_t<double> sums_array(const std::vector<tamrel::CellSums>& sums) {
    py::array_t<double> out({static_cast<py::ssize_t>(sums.size()), static_cast<py::ssize_t>(kSumFields)});
    double* d = out.mutable_data();
    for (const auto& c : sums) {
        const double row[kSumFields] = {static_cast<double>(c.count), c.s.sum, c.s.carry, c.w.sum, c.w.carry,
                                        c.ws.sum, c.ws.carry, c.ws2, c.w2, c.ws3, c.ws4};
        d = std::copy(row, row + kSumFields, d);
    }
    return out;
}

std::vector<tamrel::CellSums> sums_of(const py::handle& obj) {
    const auto a = tamrel_py::ensure_aligned<tamrel_py::f64_array>(obj);
    if (!a || a.ndim() != 2 || a.shape(1) != kSumFields) throw py::value_error("not a table of cell sums.");
    std::vector<tamrel::CellSums> out(static_cast<size_t>(a.shape(0)));
    const double* d = a.data();
    for (auto& c : out) {
        if (!whole_count(d[0])) throw py::value_error("not a table of cell sums: bad counts.");
        c.count = static_cast<std::int64_t>(d[0]);
        c.s = {d[1], d[2]};
        c.w = {d[3], d[4]};
        c.ws = {d[5], d[6]};
        c.ws2 = d[7];
        c.w2 = d[8];
        c.ws3 = d[9];
        c.ws4 = d[10];
        d += kSumFields;
    }
    return out;
}

// Two results of the same units merged entry by entry; results of different scans refused.
template <typename Units>
Units merged(const Units& a, const Units& b, const char* what) {
    if (a.units.size() != b.units.size()) throw py::value_error(std::string(what) + " of different scans.");
    Units out = a;
    for (size_t k = 0; k < out.units.size(); ++k) {
        auto& x = out.units[k];
        const auto& y = b.units[k];
        if (x.size() != y.size()) throw py::value_error(std::string(what) + " of different scans.");
        for (size_t i = 0; i < x.size(); ++i) x[i].merge(y[i]);
    }
    return out;
}

py::list sketches_state(const ScanSketches& s) {
    py::list units;
    for (const auto& u : s.units) {
        py::list groups;
        for (const auto& g : u) groups.append(sketch_array(g));
        units.append(groups);
    }
    return units;
}

ScanSketches sketches_from(const py::handle& state) {
    ScanSketches s;
    for (const py::handle& u : state) {
        s.units.emplace_back();
        for (const py::handle& g : u) s.units.back().push_back(sketch_of(g));
    }
    return s;
}

py::list sums_state(const ScanSums& s) {
    py::list units;
    for (const auto& u : s.units) units.append(sums_array(u));
    return units;
}

ScanSums sums_from(const py::handle& state) {
    ScanSums s;
    for (const py::handle& u : state) s.units.push_back(sums_of(u));
    return s;
}

// The fields of some cell sums as arrays, sums read as their compensated value.
py::dict sum_fields(const std::vector<tamrel::CellSums>& cells) {
    const auto n = static_cast<py::ssize_t>(cells.size());
    py::array_t<std::int64_t> count(n);
    py::array_t<double> s(n), w(n), ws(n), ws2(n), w2(n), ws3(n), ws4(n);
    for (py::ssize_t i = 0; i < n; ++i) {
        const auto& c = cells[static_cast<size_t>(i)];
        count.mutable_data()[i] = c.count;
        s.mutable_data()[i] = c.s.value();
        w.mutable_data()[i] = c.w.value();
        ws.mutable_data()[i] = c.ws.value();
        ws2.mutable_data()[i] = c.ws2;
        w2.mutable_data()[i] = c.w2;
        ws3.mutable_data()[i] = c.ws3;
        ws4.mutable_data()[i] = c.ws4;
    }
    py::dict out;
    out["n"] = count;
    out["s"] = s;
    out["w"] = w;
    out["ws"] = ws;
    out["ws2"] = ws2;
    out["w2"] = w2;
    out["ws3"] = ws3;
    out["ws4"] = ws4;
    return out;
}

const std::vector<tamrel::CellSums>& unit_cells(const ScanSums& s, py::ssize_t k) {
    if (k < 0 || k >= static_cast<py::ssize_t>(s.units.size())) throw py::index_error("unit out of range.");
    return s.units[static_cast<size_t>(k)];
}

// The sums of cells first..last-1 of the given units, one entry per region.
py::dict region_fields(const ScanSums& s, const py::object& unit, const py::object& first, const py::object& last) {
    const auto u = tamrel_py::integer_array(unit, "unit"), f = tamrel_py::integer_array(first, "first");
    const auto l = tamrel_py::integer_array(last, "last");
    if (f.shape(0) != u.shape(0) || l.shape(0) != u.shape(0)) throw py::value_error("one entry per region expected.");
    std::vector<tamrel::CellSums> out(static_cast<size_t>(u.shape(0)));
    for (py::ssize_t i = 0; i < u.shape(0); ++i) {
        const auto& cells = unit_cells(s, u.data()[i]);
        const std::int64_t a = f.data()[i], b = l.data()[i];
        if (a < 0 || b < a || b > static_cast<std::int64_t>(cells.size())) throw py::index_error("cell out of range.");
        tamrel::UnitRegion r;
        r.first_cell = a;
        r.last_cell = b;
        out[static_cast<size_t>(i)] = tamrel::region_sums(r, cells);
    }
    return sum_fields(out);
}

std::string unit_repr(const ScanUnit& u) {
    auto b = [](bool v) { return std::string(v ? "True" : "False"); };
    return "_ScanUnit(group_col=" + std::to_string(u.group_col) + ", n_groups=" + std::to_string(u.n_groups) +
           ", numeric=" + b(u.numeric) + ", cut_col=" + std::to_string(u.cut_col) + ", n_cat=" +
           std::to_string(u.n_cat) + ", missing_cell=" + b(u.missing_cell) + ")";
}

ScanUnit checked_unit(std::int64_t group_col, std::int64_t n_groups, bool numeric, std::int64_t cut_col,
                      std::int64_t n_cat, bool missing_cell) {
    if (group_col < -1 || n_groups < 1 || cut_col < 0 || n_cat < 0 || (group_col < 0 && n_groups != 1))
        throw py::value_error("a scan unit needs group_col >= -1 (n_groups 1 without grouping), n_groups >= 1, "
                              "cut_col >= 0 and n_cat >= 0.");
    return ScanUnit{group_col, n_groups, numeric, cut_col, n_cat, missing_cell};
}

}  // namespace scan_objects_impl

std::vector<ScanUnit> units_of(const py::handle& units, std::int64_t n_num, std::int64_t n_codes) {
    std::vector<ScanUnit> out;
    for (const py::handle& u : units) {
        if (!py::isinstance<ScanUnit>(u)) throw py::type_error("units must be _ScanUnit objects.");
        const ScanUnit& unit = u.cast<const ScanUnit&>();
        const std::int64_t cut_limit = unit.numeric ? n_num : n_codes;
        if (unit.group_col >= n_codes || unit.cut_col >= cut_limit)
            throw py::index_error("scan unit refers to a column out of range.");
        out.push_back(unit);
    }
    return out;
}

tamrel::UnitLayout layout_of(const ScanUnit& u, const ScanSketches& sketches, size_t k, std::int64_t max_bins) {
    if (!u.numeric) return tamrel::categorical_layout(u.n_groups, u.n_cat, u.missing_cell);
    if (k >= sketches.units.size() || static_cast<std::int64_t>(sketches.units[k].size()) != u.n_groups)
        throw py::value_error("scan unit " + std::to_string(k) + ": one range sketch per group expected.");
    try {
        return tamrel::numeric_layout(sketches.units[k], max_bins, u.missing_cell);
    } catch (const std::domain_error& e) {
        throw py::value_error("scan unit " + std::to_string(k) + ": " + e.what());
    }
}

void define_scan_objects(py::module_& m) {
    using namespace scan_objects_impl;
    py::class_<ScanUnit>(m, "_ScanUnit", "One slicing of the scan kernels (see the fields).")
        .def(py::init(&checked_unit), py::arg("group_col") = -1, py::arg("n_groups") = 1, py::arg("numeric") = true,
             py::arg("cut_col") = 0, py::arg("n_cat") = 0, py::arg("missing_cell") = false)
        .def_readonly("group_col", &ScanUnit::group_col)
        .def_readonly("n_groups", &ScanUnit::n_groups)
        .def_readonly("numeric", &ScanUnit::numeric)
        .def_readonly("cut_col", &ScanUnit::cut_col)
        .def_readonly("n_cat", &ScanUnit::n_cat)
        .def_readonly("missing_cell", &ScanUnit::missing_cell)
        .def("__repr__", &unit_repr)
        .def(py::pickle(
            [](const ScanUnit& u) {
                return py::make_tuple(u.group_col, u.n_groups, u.numeric, u.cut_col, u.n_cat, u.missing_cell);
            },
            [](const py::tuple& t) {
                if (t.size() != 6) throw py::value_error("not a scan unit.");
                return checked_unit(t[0].cast<std::int64_t>(), t[1].cast<std::int64_t>(), t[2].cast<bool>(),
                                    t[3].cast<std::int64_t>(), t[4].cast<std::int64_t>(), t[5].cast<bool>());
            }));
    py::class_<ScanSketches>(m, "_RangeSketches", "Per unit and group, range sketches of some rows; mergeable.")
        .def("merge", [](const ScanSketches& a, const ScanSketches& b) { return merged(a, b, "range sketches"); },
             py::arg("other"), "The sketches of both blocks of rows.")
        .def("__len__", [](const ScanSketches& s) { return s.units.size(); })
        .def(py::pickle(&sketches_state, [](const py::list& state) { return sketches_from(state); }));
    py::class_<ScanSums>(m, "_CellSums", "Per unit and cell, score sums of some rows; mergeable.")
        .def("merge", [](const ScanSums& a, const ScanSums& b) { return merged(a, b, "cell sums"); },
             py::arg("other"), "The sums of both blocks of rows.")
        .def("__len__", [](const ScanSums& s) { return s.units.size(); })
        .def("cells", [](const ScanSums& s, py::ssize_t k) { return sum_fields(unit_cells(s, k)); }, py::arg("k"),
             "Unit k's cells: arrays n (rows), s, w, ws, ws2, w2, ws3, ws4 (sums of s, w, w*s, w*s^2, w^2,\n"
             "w*s^3, w*s^4; the moments as far as the pass took them).")
        .def("means",
             [](const ScanSums& s, py::ssize_t k, bool weighted) {
                 const tamrel::CellScores c = tamrel::cell_means(unit_cells(s, k), weighted);
                 return py::make_tuple(to_float_array(c.score), to_index_array(c.count));
             },
             py::arg("k"), py::arg("weighted"),
             "Unit k's cells as (mean scores, row counts): weighted means when weighted and the cell's\n"
             "weights sum to more than 0, else plain means; NaN for an empty cell.")
        .def("regions", &region_fields, py::arg("unit"), py::arg("first"), py::arg("last"),
             "Per region, the fields of cells() summed over its cells first .. last - 1 of its unit.")
        .def(py::pickle(&sums_state, [](const py::list& state) { return sums_from(state); }));
}

}  // namespace scan_py
