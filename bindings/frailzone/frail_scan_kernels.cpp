// FrailScan's private kernel methods: the scan as separable passes over row blocks.
//
// Every pass takes the rows of one block (a subset copy: numeric columns as a float64
// Fortran matrix `num`, code columns as an int32 Fortran matrix `codes`, scores and
// weights) and returns NumPy arrays that merge exactly, so a caller may run a pass per
// partition and merge the results before the next pass:
//   _scan_ranges  -> per unit, per group, a range sketch of the numeric cut values
//                    (merge: _scan_merge_ranges);
//   _scan_edges   -> the bin edges the merged sketches give (the core's bin_edges);
//   _scan_fine    -> fine codes of the numeric columns (fine_codes.hpp), which the
//                    passes below accept so that one block's codes serve every pass;
//   _scan_codes   -> bin codes of numeric grouping columns by their edges (row-wise);
//   _scan_sums    -> per unit, per cell, the score sums (merge: _scan_merge_sums);
//   _scan_regions -> weak regions from the sliced rows' merged sums, with their
//                    statistics read off the cells of both subsets' sums.
// A unit is a tuple (group column of `codes` or -1, number of groups, cut is numeric,
// cut column of `num` (numeric) or of `codes` (categorical), number of categories,
// missing rows get a cell).
#include <algorithm>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "frailzone_classes.hpp"
#include "tamrel/regions.hpp"
#include "tamrel/scan.hpp"

namespace frailzone_py {

using namespace pybind11::literals;

namespace {

using f64_fortran = py::array_t<double, py::array::f_style | py::array::forcecast>;
using i32_fortran = py::array_t<std::int32_t, py::array::f_style | py::array::forcecast>;
constexpr int kSumFields = 9;

struct Unit {
    std::int64_t group_col = -1, n_groups = 1;
    bool numeric = true;
    std::int64_t cut_col = 0, n_cat = 0;
    bool missing_cell = false;
};

std::vector<Unit> read_units(const py::handle& units, std::int64_t n_num, std::int64_t n_codes) {
    std::vector<Unit> out;
    for (const py::handle& u : units) {
        const py::tuple t = py::reinterpret_borrow<py::object>(u);
        if (t.size() != 6) throw py::value_error("a scan unit is a tuple of six entries.");
        Unit unit{t[0].cast<std::int64_t>(), t[1].cast<std::int64_t>(), t[2].cast<bool>(),
                  t[3].cast<std::int64_t>(), t[4].cast<std::int64_t>(), t[5].cast<bool>()};
        const std::int64_t cut_limit = unit.numeric ? n_num : n_codes;
        if (unit.group_col >= n_codes || unit.group_col < -1 || unit.cut_col < 0 || unit.cut_col >= cut_limit ||
            unit.n_groups < 1 || unit.n_cat < 0 || (unit.group_col < 0 && unit.n_groups != 1))
            throw py::index_error("scan unit refers to a column or group count out of range.");
        out.push_back(unit);
    }
    return out;
}

struct Block {
    f64_fortran num;
    i32_fortran codes;
    std::int64_t rows = 0;
};

Block read_block(const py::handle& num, const py::handle& codes) {
    Block b{tamrel_py::ensure_aligned<f64_fortran>(num), tamrel_py::ensure_aligned<i32_fortran>(codes)};
    if (!b.num || b.num.ndim() != 2) throw py::type_error("num must be a two-dimensional numeric array.");
    if (!b.codes || b.codes.ndim() != 2) throw py::type_error("codes must be a two-dimensional integer array.");
    if (b.num.shape(0) != b.codes.shape(0)) throw py::value_error("num and codes must have the same rows.");
    b.rows = b.num.shape(0);
    return b;
}

// Fine codes as _scan_fine returns them: an opaque capsule holding the core's FineColumns
// (so that no caller can hand the kernels codes beyond their tables), for the passes over
// the same rows.
constexpr const char* kFineCapsule = "tamrel.scan.fine_codes";
using SharedFine = std::shared_ptr<const tamrel::FineColumns>;

py::capsule fine_capsule(tamrel::FineColumns&& f) {
    auto* held = new SharedFine(std::make_shared<const tamrel::FineColumns>(std::move(f)));
    return py::capsule(held, kFineCapsule, [](void* p) { delete static_cast<SharedFine*>(p); });
}

// The fine codes of a block: those given (a capsule of as many rows and columns), or
// those settle_fine computes for a pass when none were given.
struct BlockFine {
    SharedFine codes;
    bool given = false;
    const std::uint16_t* column(std::int64_t j) const { return codes->column(j); }
    const tamrel::FineGrid& grid(std::int64_t j) const { return codes->grids[static_cast<size_t>(j)]; }
};

BlockFine read_fine(const f64_fortran& num, const py::object& given) {
    BlockFine f;
    if (given.is_none()) return f;
    const char* name = py::isinstance<py::capsule>(given) ? py::reinterpret_borrow<py::capsule>(given).name() : nullptr;
    if (!name || std::string(name) != kFineCapsule) throw py::type_error("fine must be the result of _scan_fine.");
    f.codes = *py::reinterpret_borrow<py::capsule>(given).get_pointer<SharedFine>();
    if (f.codes->rows != num.shape(0) || static_cast<py::ssize_t>(f.codes->grids.size()) != num.shape(1))
        throw py::value_error("fine codes do not fit num: take them with _scan_fine of the same rows.");
    f.given = true;
    return f;
}

// The codes of the units' numeric cut columns, when none were given; without the GIL.
void settle_fine(BlockFine& f, const f64_fortran& num, const std::vector<Unit>& units, int jobs) {
    if (f.given) return;
    std::vector<char> wanted(static_cast<size_t>(num.shape(1)), 0);
    for (const Unit& u : units)
        if (u.numeric) wanted[static_cast<size_t>(u.cut_col)] = 1;
    f.codes = std::make_shared<const tamrel::FineColumns>(tamrel::fine_columns(num.data(), num.shape(0), wanted, jobs));
}

// `make` of each grouping (code column, number of groups) of the units that `wanted` names,
// once per grouping however many units share it, in threads.
template <class Wanted, class Make>
auto per_grouping(const Block& b, const std::vector<Unit>& units, int jobs, Wanted wanted, Make make) {
    using Result = decltype(make(static_cast<const std::int32_t*>(nullptr), std::int64_t{1}));
    std::map<std::pair<std::int64_t, std::int64_t>, Result> out;
    for (const Unit& u : units)
        if (wanted(u)) out[{u.group_col, u.n_groups}];
    std::vector<std::pair<std::int64_t, std::int64_t>> keys;
    for (const auto& kv : out) keys.push_back(kv.first);
    tamrel::parallel_for(static_cast<std::int64_t>(keys.size()), jobs, [&](std::int64_t k) {
        const auto [col, n_groups] = keys[static_cast<size_t>(k)];
        out.at(keys[static_cast<size_t>(k)]) = make(col < 0 ? nullptr : b.codes.data() + col * b.rows, n_groups);
    });
    return out;
}

// The group sizes and small groups' rows of every grouping (group_rows_of).
auto group_rows_of(const Block& b, const std::vector<Unit>& units, int jobs) {
    return per_grouping(b, units, jobs, [](const Unit&) { return true; },
                        [&](const std::int32_t* g, std::int64_t n) { return tamrel::group_rows_of(g, b.rows, n); });
}

// The table offsets of the groupings of numeric units with few enough groups (group_offsets).
auto group_offsets_of(const Block& b, const std::vector<Unit>& units, int jobs) {
    return per_grouping(
        b, units, jobs,
        [](const Unit& u) { return u.numeric && u.group_col >= 0 && u.n_groups <= tamrel::kOffsetGroups; },
        [&](const std::int32_t* g, std::int64_t n) { return tamrel::group_offsets(g, b.rows, n); });
}

tamrel::UnitInput unit_input(const Block& b, const Unit& u, const BlockFine& fine) {
    tamrel::UnitInput in;
    if (u.group_col >= 0) in.group = b.codes.data() + u.group_col * b.rows;
    in.n_groups = u.n_groups;
    if (u.numeric) {
        in.num = b.num.data() + u.cut_col * b.rows;
        in.fine = fine.column(u.cut_col);
        in.grid = fine.grid(u.cut_col);
    } else {
        in.cat = b.codes.data() + u.cut_col * b.rows;
        in.n_cat = u.n_cat;
    }
    in.missing_cell = u.missing_cell;
    return in;
}

// Units run in batches that share their cut column (at most kBatch units each, so that the
// threads stay busy), the largest batches first: a block's cut values and fine codes are
// read from memory once for the batch, and each unit adds only its grouping codes.
constexpr size_t kBatch = 8;

std::vector<std::vector<size_t>> batches(const std::vector<Unit>& units) {
    std::vector<std::vector<size_t>> out;
    std::vector<std::int64_t> keys;
    for (size_t k = 0; k < units.size(); ++k) {
        const std::int64_t key = units[k].numeric ? units[k].cut_col : -2 - units[k].cut_col;
        size_t at = out.size();
        for (size_t b = 0; b < out.size(); ++b)
            if (keys[b] == key && out[b].size() < kBatch) at = b;
        if (at == out.size()) {
            out.emplace_back();
            keys.push_back(key);
        }
        out[at].push_back(k);
    }
    std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.size() > b.size(); });
    return out;
}

int workers(const py::object& n_jobs) {
    if (n_jobs.is_none()) return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    const auto n = as_position(n_jobs, "n_jobs");
    if (n < 1) throw py::value_error("n_jobs must be a positive integer or None.");
    return static_cast<int>(std::min<py::ssize_t>(n, 1024));
}

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

tamrel::RangeSketch sketch_of(const py::handle& obj) {
    const auto a = tamrel_py::ensure_aligned<tamrel_py::f64_array>(obj);
    if (!a || a.ndim() != 1 || a.shape(0) < 6) throw py::value_error("not a range sketch.");
    const double* d = a.data();
    for (int k = 2; k < 6; ++k)
        if (!(d[k] >= 0 && d[k] <= 9.0e15)) throw py::value_error("not a range sketch: bad counts.");
    tamrel::RangeSketch s(static_cast<std::int64_t>(d[5]));
    s.min = d[0];
    s.max = d[1];
    s.count = static_cast<std::int64_t>(d[2]);
    s.missing = static_cast<std::int64_t>(d[3]);
    s.infinite = static_cast<std::int64_t>(d[4]);
    s.distinct.assign(d + 6, d + a.shape(0));
    return s;
}

std::vector<tamrel::RangeSketch> sketches_of(const py::handle& obj) {
    std::vector<tamrel::RangeSketch> out;
    for (const py::handle& s : obj) out.push_back(sketch_of(s));
    return out;
}

py::array_t<double> sums_array(const std::vector<tamrel::CellSums>& sums) {
    py::array_t<double> out({static_cast<py::ssize_t>(sums.size()), static_cast<py::ssize_t>(kSumFields)});
    double* d = out.mutable_data();
    for (const auto& c : sums) {
        const double row[kSumFields] = {static_cast<double>(c.count), c.s.sum, c.s.carry, c.w.sum, c.w.carry,
                                        c.ws.sum, c.ws.carry, c.ws2, c.w2};
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
        if (!(d[0] >= 0 && d[0] <= 9.0e15)) throw py::value_error("not a table of cell sums: bad counts.");
        c.count = static_cast<std::int64_t>(d[0]);
        c.s = {d[1], d[2]};
        c.w = {d[3], d[4]};
        c.ws = {d[5], d[6]};
        c.ws2 = d[7];
        c.w2 = d[8];
        d += kSumFields;
    }
    return out;
}

// The unit's layout; a numeric cut's refusal of its bins names the unit.
tamrel::UnitLayout layout_of(const Unit& u, const std::vector<tamrel::RangeSketch>& sketches,
                             std::int64_t max_bins, size_t unit_index) {
    if (!u.numeric) return tamrel::categorical_layout(u.n_groups, u.n_cat, u.missing_cell);
    if (static_cast<std::int64_t>(sketches.size()) != u.n_groups)
        throw py::value_error("scan unit " + std::to_string(unit_index) + ": one range sketch per group expected.");
    try {
        return tamrel::numeric_layout(sketches, max_bins, u.missing_cell);
    } catch (const std::domain_error& e) {
        throw py::value_error("scan unit " + std::to_string(unit_index) + ": " + e.what());
    }
}

// A numeric vector with one entry per row, or no vector (data nullptr) for None.
struct RowVector {
    tamrel_py::f64_array keep;
    const double* data = nullptr;
};

RowVector vector_of(const py::handle& obj, std::int64_t n, const char* what) {
    if (obj.is_none()) return RowVector{};
    auto a = tamrel_py::ensure_aligned<tamrel_py::f64_array>(obj);
    if (!a || a.ndim() != 1 || a.shape(0) != n)
        throw py::value_error(std::string(what) + " must be a numeric vector with one entry per row.");
    return RowVector{a, a.data()};
}

py::object scan_ranges(py::object self, py::object num, py::object codes, py::object units, py::object n_jobs,
                       py::object fine_codes) {
    const Block b = read_block(num, codes);
    const auto us = read_units(units, b.num.shape(1), b.codes.shape(1));
    const std::int64_t cap = checked_bins(self);
    const int jobs = workers(n_jobs);
    for (const Unit& u : us)
        if (!u.numeric) throw py::value_error("range sketches are taken of numeric cuts only.");
    std::vector<std::vector<tamrel::RangeSketch>> out(us.size());
    const auto tasks = batches(us);
    {
        BlockFine fine = read_fine(b.num, fine_codes);
        py::gil_scoped_release nogil;
        settle_fine(fine, b.num, us, jobs);
        const auto groupings = group_rows_of(b, us, jobs);
        tamrel::parallel_for(static_cast<std::int64_t>(tasks.size()), jobs, [&](std::int64_t t) {
            std::vector<tamrel::UnitInput> ins;
            for (size_t k : tasks[t]) {
                ins.push_back(unit_input(b, us[k], fine));
                ins.back().grouping = &groupings.at({us[k].group_col, us[k].n_groups});
            }
            auto res = tamrel::batch_ranges(ins, b.rows, cap);
            for (size_t i = 0; i < tasks[t].size(); ++i) out[tasks[t][i]] = std::move(res[i]);
        });
    }
    py::list result;
    for (const auto& unit : out) {
        py::list groups;
        for (const auto& s : unit) groups.append(sketch_array(s));
        result.append(groups);
    }
    return result;
}

// Two blocks' per-unit results merged entry by entry (`read` turns a unit into its entries,
// `write` the merged entries back); results of different scans are refused.
template <typename Read, typename Write>
py::list merge_per_unit(const py::object& a, const py::object& b, const char* what, Read read, Write write) {
    py::list result;
    const py::list la(a), lb(b);
    if (la.size() != lb.size()) throw py::value_error(std::string(what) + " of different scans.");
    for (size_t k = 0; k < la.size(); ++k) {
        auto x = read(la[k]);
        const auto y = read(lb[k]);
        if (x.size() != y.size()) throw py::value_error(std::string(what) + " of different scans.");
        for (size_t i = 0; i < x.size(); ++i) x[i].merge(y[i]);
        result.append(write(x));
    }
    return result;
}

py::object merge_ranges(py::object /*self*/, py::object a, py::object b) {
    return merge_per_unit(a, b, "range sketches", sketches_of, [](const std::vector<tamrel::RangeSketch>& x) {
        py::list groups;
        for (const auto& sketch : x) groups.append(sketch_array(sketch));
        return groups;
    });
}

// Per unit: the edges of each group (an empty array for a group without rows), and the
// group's range; units whose sketches hold infinite values are refused by name.
py::object scan_edges(py::object self, py::object units, py::object sketches) {
    const std::int64_t max_bins = checked_bins(self);
    py::list result;
    const py::list lu(units), ls(sketches);
    if (lu.size() != ls.size()) throw py::value_error("one list of range sketches per unit expected.");
    for (size_t k = 0; k < lu.size(); ++k) {
        const auto s = sketches_of(ls[k]);
        for (const auto& g : s)
            if (g.infinite > 0) throw py::value_error("scan unit " + std::to_string(k) + ": infinite values.");
        const py::tuple t = lu[k];
        Unit u{t[0].cast<std::int64_t>(), static_cast<std::int64_t>(s.size()), true, 0, 0, t[5].cast<bool>()};
        const tamrel::UnitLayout l = layout_of(u, s, max_bins, k);
        py::list edges;
        for (const auto& e : l.edges) edges.append(to_float_array(e));
        result.append(py::make_tuple(edges, to_float_array(l.lo), to_float_array(l.hi)));
    }
    return result;
}

py::object scan_codes(py::object /*self*/, py::object num, py::object columns, py::object edges, py::object lo,
                      py::object hi, py::object n_jobs, py::object fine_codes) {
    const auto x = tamrel_py::ensure_aligned<f64_fortran>(num);
    if (!x || x.ndim() != 2) throw py::type_error("num must be a two-dimensional numeric array.");
    const int jobs = workers(n_jobs);
    const std::int64_t rows = x.shape(0);
    std::vector<std::int64_t> cols;
    std::vector<std::vector<double>> e;
    std::vector<double> l, h;
    const py::list le(edges), ll(lo), lh(hi);
    size_t k = 0;
    for (const py::handle& c : columns) {
        const std::int64_t j = as_position(c, "column");
        if (j < 0 || j >= x.shape(1)) throw py::index_error("column out of range.");
        cols.push_back(j);
        e.push_back(le[k].cast<std::vector<double>>());
        l.push_back(as_number(ll[k], "lo"));
        h.push_back(as_number(lh[k], "hi"));
        ++k;
    }
    i32_fortran out({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols.size())});
    std::int32_t* d = out.mutable_data();
    BlockFine fine = read_fine(x, fine_codes);
    {
        py::gil_scoped_release nogil;
        tamrel::parallel_for(static_cast<std::int64_t>(cols.size()), jobs, [&](std::int64_t c) {
            const std::uint16_t* f = fine.given ? fine.column(cols[c]) : nullptr;
            tamrel::bin_codes(x.data() + cols[c] * rows, rows, e[c], l[c], h[c], d + c * rows, f,
                              f ? fine.grid(cols[c]) : tamrel::FineGrid());
        });
    }
    return std::move(out);
}

py::object scan_fine(py::object /*self*/, py::object num, py::object n_jobs) {
    const auto x = tamrel_py::ensure_aligned<f64_fortran>(num);
    if (!x || x.ndim() != 2) throw py::type_error("num must be a two-dimensional numeric array.");
    const int jobs = workers(n_jobs);
    const std::int64_t p = x.shape(1);
    tamrel::FineColumns f;
    {
        py::gil_scoped_release nogil;
        f = tamrel::fine_columns(x.data(), x.shape(0), std::vector<char>(static_cast<size_t>(p), 1), jobs);
    }
    return fine_capsule(std::move(f));
}

// Columns of a float64 matrix at some rows, Fortran-ordered: the subset copies of the scan.
py::object scan_take(py::object /*self*/, py::object x, py::object columns, py::object rows, py::object n_jobs,
                     py::object with_fine) {
    py::array arr = py::array::ensure(x);
    if (!arr || arr.ndim() != 2 || !arr.dtype().equal(py::dtype::of<double>()))
        throw py::type_error("x must be a two-dimensional float64 array.");
    if (reinterpret_cast<std::uintptr_t>(arr.data()) % alignof(double) != 0)
        arr = py::module_::import("numpy").attr("require")(arr, py::none(), "A");
    const auto esize = static_cast<py::ssize_t>(sizeof(double));
    if (arr.strides(0) % esize != 0 || arr.strides(1) % esize != 0)
        throw py::value_error("x must be aligned to its items.");
    const auto idx = tamrel_py::ensure_aligned<tamrel_py::i64_array>(rows);
    if (!idx || idx.ndim() != 1) throw py::type_error("rows must be a one-dimensional integer array.");
    const std::int64_t n = arr.shape(0), m = idx.shape(0);
    const std::int64_t* pos = idx.data();
    for (std::int64_t k = 0; k < m; ++k)
        if (pos[k] < 0 || pos[k] >= n) throw py::index_error("row position out of range.");
    std::vector<std::int64_t> cols;
    for (const py::handle& c : columns) {
        const std::int64_t j = as_position(c, "column");
        if (j < 0 || j >= arr.shape(1)) throw py::index_error("column out of range.");
        cols.push_back(j);
    }
    const int jobs = workers(n_jobs);
    f64_fortran out({static_cast<py::ssize_t>(m), static_cast<py::ssize_t>(cols.size())});
    double* d = out.mutable_data();
    const double* base = static_cast<const double*>(arr.data());
    const std::int64_t rs = arr.strides(0) / esize, cs = arr.strides(1) / esize;
    if (py::bool_(with_fine)) {
        tamrel::FineColumns f;
        {
            py::gil_scoped_release nogil;
            f = tamrel::gather_fine(base, rs, cs, pos, m, cols, d, jobs);
        }
        return py::make_tuple(std::move(out), fine_capsule(std::move(f)));
    }
    {
        py::gil_scoped_release nogil;
        tamrel::gather_columns(base, rs, cs, pos, m, cols, d, jobs);
    }
    return std::move(out);
}

// Per unit, where it writes its rows' bin codes in the block's codes (or nullptr): only an
// ungrouped numeric unit, only into codes given as a writable int32 Fortran array (not a
// copy), into a column of its own that no unit of the pass reads.
std::vector<std::int32_t*> bin_targets(const py::object& bin_columns, const py::object& codes, const Block& b,
                                       const std::vector<Unit>& units) {
    std::vector<std::int32_t*> out(units.size(), nullptr);
    if (bin_columns.is_none()) return out;
    const py::list cols(bin_columns);
    if (cols.size() != units.size()) throw py::value_error("bin_columns needs one entry per unit.");
    // the caller's own array (read_block took it as it is), so that the codes land there
    auto given = py::isinstance<py::array>(codes) ? py::reinterpret_borrow<py::array>(codes) : py::array();
    if (!given || given.data() != b.codes.data() || !given.writeable())
        throw py::value_error("bin_columns needs codes as a writable int32 Fortran array.");
    std::vector<char> read(static_cast<size_t>(b.codes.shape(1)), 0), taken(read.size(), 0);
    for (const Unit& u : units) {
        if (u.group_col >= 0) read[static_cast<size_t>(u.group_col)] = 1;
        if (!u.numeric) read[static_cast<size_t>(u.cut_col)] = 1;
    }
    for (size_t k = 0; k < units.size(); ++k) {
        const std::int64_t c = as_position(cols[k], "bin column");
        if (c < 0) continue;
        if (!units[k].numeric || units[k].group_col >= 0)
            throw py::value_error("bin codes are written by ungrouped numeric units only.");
        if (c >= b.codes.shape(1)) throw py::index_error("bin column out of range.");
        if (read[static_cast<size_t>(c)] || taken[static_cast<size_t>(c)])
            throw py::value_error("a bin column must be one that no other unit reads or writes.");
        taken[static_cast<size_t>(c)] = 1;
        out[k] = static_cast<std::int32_t*>(given.mutable_data()) + c * b.rows;
    }
    return out;
}

py::object scan_sums(py::object self, py::object num, py::object codes, py::object units, py::object sketches,
                     py::object scores, py::object weights, py::object moments, py::object n_jobs,
                     py::object fine_codes, py::object bin_columns) {
    const Block b = read_block(num, codes);
    const auto us = read_units(units, b.num.shape(1), b.codes.shape(1));
    const auto bins = bin_targets(bin_columns, codes, b, us);
    const std::int64_t max_bins = checked_bins(self);
    const int jobs = workers(n_jobs);
    const RowVector s = vector_of(scores, b.rows, "scores");
    if (scores.is_none()) throw py::value_error("scores are required.");
    const RowVector w = vector_of(weights, b.rows, "sample_weight");
    const bool with_moments = py::bool_(moments);
    const py::list ls(sketches);
    if (ls.size() != us.size()) throw py::value_error("one list of range sketches per unit expected.");
    std::vector<tamrel::UnitLayout> layouts;
    for (size_t k = 0; k < us.size(); ++k)
        layouts.push_back(layout_of(us[k], us[k].numeric ? sketches_of(ls[k]) : std::vector<tamrel::RangeSketch>(),
                                    max_bins, k));
    std::vector<std::vector<tamrel::CellSums>> out(us.size());
    const auto tasks = batches(us);
    {
        BlockFine fine = read_fine(b.num, fine_codes);
        py::gil_scoped_release nogil;
        settle_fine(fine, b.num, us, jobs);
        const auto offsets = group_offsets_of(b, us, jobs);
        tamrel::parallel_for(static_cast<std::int64_t>(tasks.size()), jobs, [&](std::int64_t t) {
            std::vector<tamrel::UnitInput> ins;
            std::vector<const tamrel::UnitLayout*> ls;
            for (size_t k : tasks[t]) {
                ins.push_back(unit_input(b, us[k], fine));
                ins.back().bins = bins[k];
                const auto at = offsets.find({us[k].group_col, us[k].n_groups});
                if (at != offsets.end()) ins.back().offsets = at->second.data();
                ls.push_back(&layouts[k]);
            }
            auto res = tamrel::batch_sums(ins, ls, b.rows, s.data, w.data, with_moments);
            for (size_t i = 0; i < tasks[t].size(); ++i) out[tasks[t][i]] = std::move(res[i]);
        });
    }
    py::list result;
    for (const auto& u : out) result.append(sums_array(u));
    return result;
}

py::object merge_sums(py::object /*self*/, py::object a, py::object b) {
    return merge_per_unit(a, b, "cell sums", sums_of, sums_array);
}

// Columns of the region table, one entry per region.
struct RegionColumns {
    std::vector<std::int64_t> unit, group, kind, category, n_sliced, n_other;
    std::vector<double> lb, ub, sliced_score, other_score, other_w, other_ws, other_ws2, other_w2;
    void add(std::int64_t k, const tamrel::UnitRegion& r, const tamrel::CellSums& sl, const tamrel::CellSums& ot,
             bool weighted) {
        unit.push_back(k);
        group.push_back(r.group);
        kind.push_back(static_cast<std::int64_t>(r.kind));
        category.push_back(r.category);
        lb.push_back(r.kind == tamrel::RegionKind::interval ? r.lb : std::numeric_limits<double>::quiet_NaN());
        ub.push_back(r.kind == tamrel::RegionKind::interval ? r.ub : std::numeric_limits<double>::quiet_NaN());
        n_sliced.push_back(sl.count);
        n_other.push_back(ot.count);
        sliced_score.push_back(tamrel::slice_mean(sl.ws, sl.w, sl.s, sl.count, weighted));
        other_score.push_back(tamrel::slice_mean(ot.ws, ot.w, ot.s, ot.count, weighted));
        other_w.push_back(ot.w.value());
        other_ws.push_back(ot.ws.value());
        other_ws2.push_back(ot.ws2);
        other_w2.push_back(ot.w2);
    }
};

py::array_t<std::int64_t> ints(const std::vector<std::int64_t>& v) { return to_index_array(v); }

py::object scan_regions(py::object self, py::object units, py::object sketches, py::object sliced_sums,
                        py::object other_sums, py::object weighted, py::object score_sign,
                        py::object threshold_value) {
    const std::int64_t max_bins = checked_bins(self);
    const double floor = as_number(self.attr("min_samples"), "min_samples");
    const tamrel::WeakTest weak{as_number(score_sign, "score_sign"), as_number(threshold_value, "threshold_value")};
    const bool w = py::bool_(weighted);
    const py::list lu(units), ls(sketches), lsl(sliced_sums), lot(other_sums);
    if (ls.size() != lu.size() || lsl.size() != lu.size() || lot.size() != lu.size())
        throw py::value_error("one entry per unit expected.");
    const auto us = read_units(units, std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::max());
    RegionColumns cols;
    for (size_t k = 0; k < us.size(); ++k) {
        const auto layout =
            layout_of(us[k], us[k].numeric ? sketches_of(ls[k]) : std::vector<tamrel::RangeSketch>(), max_bins, k);
        const auto sl = sums_of(lsl[k]), ot = sums_of(lot[k]);
        const auto cells = static_cast<size_t>(layout.n_cells());
        if (sl.size() != cells || ot.size() != cells) throw py::value_error("cell sums do not fit the unit.");
        std::vector<tamrel::UnitRegion> regions;
        {
            py::gil_scoped_release nogil;
            regions = tamrel::unit_regions(layout, sl, w, weak, floor);
        }
        for (const auto& r : regions)
            cols.add(static_cast<std::int64_t>(k), r, tamrel::region_sums(r, sl), tamrel::region_sums(r, ot), w);
    }
    py::dict out;
    out["unit"] = ints(cols.unit);
    out["group"] = ints(cols.group);
    out["kind"] = ints(cols.kind);
    out["category"] = ints(cols.category);
    out["lb"] = to_float_array(cols.lb);
    out["ub"] = to_float_array(cols.ub);
    out["n_sliced"] = ints(cols.n_sliced);
    out["n_other"] = ints(cols.n_other);
    out["sliced_score"] = to_float_array(cols.sliced_score);
    out["other_score"] = to_float_array(cols.other_score);
    out["other_w"] = to_float_array(cols.other_w);
    out["other_ws"] = to_float_array(cols.other_ws);
    out["other_ws2"] = to_float_array(cols.other_ws2);
    out["other_w2"] = to_float_array(cols.other_w2);
    return out;
}

py::object scan_mean(py::object /*self*/, py::object scores, py::object weights) {
    const ColumnRef s = column_ref(scores, "scores");
    const ColumnRef w = optional_column(weights, "sample_weight");
    check_length(w, s.col.size, "sample_weight");
    double mean;
    {
        py::gil_scoped_release nogil;
        mean = tamrel::mean_at(s.col, tamrel::Rows::all(s.col.size), w.col);
    }
    return py::float_(mean);
}

}  // namespace

void define_frail_scan_kernels(py::object& cls) {
    const py::object none = py::none();
    tamrel_py::add_method(cls, "_scan_ranges", "_scan_ranges", &scan_ranges,
                          "_scan_ranges(self, num, codes, units, n_jobs=None, fine=None)\n--\n\n"
                          "Per unit and group, the range sketch of the numeric cut values of these rows.",
                          py::arg("num"), py::arg("codes"), py::arg("units"), py::arg("n_jobs") = none,
                          py::arg("fine") = none);
    tamrel_py::add_method(cls, "_scan_merge_ranges", "_scan_merge_ranges", &merge_ranges,
                          "_scan_merge_ranges(self, a, b)\n--\n\nRange sketches of two row blocks merged.",
                          py::arg("a"), py::arg("b"));
    tamrel_py::add_method(cls, "_scan_edges", "_scan_edges", &scan_edges,
                          "_scan_edges(self, units, sketches)\n--\n\n"
                          "Per unit, (edges per group, group minima, group maxima) from merged sketches.",
                          py::arg("units"), py::arg("sketches"));
    tamrel_py::add_method(cls, "_scan_fine", "_scan_fine", &scan_fine,
                          "_scan_fine(self, num, n_jobs=None)\n--\n\n"
                          "Fine codes of the columns of num, for the passes over the same rows.",
                          py::arg("num"), py::arg("n_jobs") = none);
    tamrel_py::add_method(cls, "_scan_codes", "_scan_codes", &scan_codes,
                          "_scan_codes(self, num, columns, edges, lo, hi, n_jobs=None, fine=None)\n--\n\n"
                          "int32 bin codes of the given columns of num; -1 for missing or out-of-range values.",
                          py::arg("num"), py::arg("columns"), py::arg("edges"), py::arg("lo"), py::arg("hi"),
                          py::arg("n_jobs") = none, py::arg("fine") = none);
    tamrel_py::add_method(cls, "_scan_take", "_scan_take", &scan_take,
                          "_scan_take(self, x, columns, rows, n_jobs=None, fine=False)\n--\n\n"
                          "The given columns of a float64 matrix at the given rows, in Fortran order; with fine,\n"
                          "also their fine codes for the passes (as _scan_fine gives them, on grids from a sample).",
                          py::arg("x"), py::arg("columns"), py::arg("rows"), py::arg("n_jobs") = none,
                          py::arg("fine") = false);
    tamrel_py::add_method(cls, "_scan_sums", "_scan_sums", &scan_sums,
                          "_scan_sums(self, num, codes, units, sketches, scores, weights=None, moments=False, "
                          "n_jobs=None, fine=None, bin_columns=None)\n--\n\n"
                          "Per unit, the score sums of each cell over these rows (one row of nine fields per cell).\n"
                          "bin_columns: per unit, a column of codes (a writable int32 Fortran array) that takes\n"
                          "the rows' bin codes of an ungrouped numeric unit, as _scan_codes gives them, or -1.",
                          py::arg("num"), py::arg("codes"), py::arg("units"), py::arg("sketches"), py::arg("scores"),
                          py::arg("weights") = none, py::arg("moments") = false, py::arg("n_jobs") = none,
                          py::arg("fine") = none, py::arg("bin_columns") = none);
    tamrel_py::add_method(cls, "_scan_merge_sums", "_scan_merge_sums", &merge_sums,
                          "_scan_merge_sums(self, a, b)\n--\n\nCell sums of two row blocks merged.", py::arg("a"),
                          py::arg("b"));
    tamrel_py::add_method(cls, "_scan_regions", "_scan_regions", &scan_regions,
                          "_scan_regions(self, units, sketches, sliced_sums, other_sums, weighted, score_sign, "
                          "threshold_value)\n--\n\n"
                          "Weak regions of every unit with their statistics on the sliced and the other rows.",
                          py::arg("units"), py::arg("sketches"), py::arg("sliced_sums"), py::arg("other_sums"),
                          py::arg("weighted"), py::arg("score_sign"), py::arg("threshold_value"));
    tamrel_py::add_method(cls, "_scan_mean", "_scan_mean", &scan_mean,
                          "_scan_mean(self, scores, weights=None)\n--\n\n"
                          "Mean score, weighted when weights are given and sum to more than 0.",
                          py::arg("scores"), py::arg("weights") = none);
}

}  // namespace frailzone_py
