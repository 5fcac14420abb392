// The scan's private kernels, module-level functions of tamrel.diagnoser.frailzone: the
// scan as separable passes over row blocks.
//
// Every pass takes the rows of one block (a subset copy: numeric columns as a float64
// Fortran matrix `num`, code columns as an int32 Fortran matrix `codes`, scores and
// weights) and returns results that merge exactly, so a caller may run a pass per
// partition and merge the results before the next pass:
//   _scan_ranges  -> per unit, per group, range sketches of the numeric cut values
//                    (_RangeSketches, merge());
//   _scan_edges   -> the bin edges the merged sketches give (the core's bin_edges);
//   _scan_fine    -> fine codes of the numeric columns (fine_codes.hpp), which the
//                    passes below accept so that one block's codes serve every pass;
//   _scan_codes   -> bin codes of numeric grouping columns by their edges (row-wise);
//   _scan_sums    -> per unit, per cell, the score sums (_CellSums, merge());
//   _scan_totals  -> the sums of all rows as one cell (_CellSums);
//   _scan_regions -> weak regions from the sliced rows' cell scores, by the one weak test;
//   _scan_ranks   -> rank sums per cell, or per region and its rest (AUC; one block only).
// A unit is a _ScanUnit (scan_objects.hpp); settings (bins, min_samples, the weak test)
// are arguments.
#include <algorithm>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "scan_objects.hpp"
#include "tamrel/regions.hpp"

namespace scan_py {

using namespace pybind11::literals;

namespace {

using f64_fortran = py::array_t<double, py::array::f_style | py::array::forcecast>;
using i32_fortran = py::array_t<std::int32_t, py::array::f_style | py::array::forcecast>;
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
void settle_fine(BlockFine& f, const f64_fortran& num, const std::vector<ScanUnit>& units, int jobs) {
    if (f.given) return;
    std::vector<char> wanted(static_cast<size_t>(num.shape(1)), 0);
    for (const ScanUnit& u : units)
        if (u.numeric) wanted[static_cast<size_t>(u.cut_col)] = 1;
    f.codes = std::make_shared<const tamrel::FineColumns>(tamrel::fine_columns(num.data(), num.shape(0), wanted, jobs));
}

// `make` of each grouping (code column, number of groups) of the units that `wanted` names,
// once per grouping however many units share it, in threads.
template <class Wanted, class Make>
auto per_grouping(const Block& b, const std::vector<ScanUnit>& units, int jobs, Wanted wanted, Make make) {
    using Result = decltype(make(static_cast<const std::int32_t*>(nullptr), std::int64_t{1}));
    std::map<std::pair<std::int64_t, std::int64_t>, Result> out;
    for (const ScanUnit& u : units)
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
auto group_rows_of(const Block& b, const std::vector<ScanUnit>& units, int jobs) {
    return per_grouping(b, units, jobs, [](const ScanUnit&) { return true; },
                        [&](const std::int32_t* g, std::int64_t n) { return tamrel::group_rows_of(g, b.rows, n); });
}

// The table offsets of the groupings of numeric units with few enough groups (group_offsets).
auto group_offsets_of(const Block& b, const std::vector<ScanUnit>& units, int jobs) {
    return per_grouping(
        b, units, jobs,
        [](const ScanUnit& u) { return u.numeric && u.group_col >= 0 && u.n_groups <= tamrel::kOffsetGroups; },
        [&](const std::int32_t* g, std::int64_t n) { return tamrel::group_offsets(g, b.rows, n); });
}

tamrel::UnitInput unit_input(const Block& b, const ScanUnit& u, const BlockFine& fine) {
    tamrel::UnitInput in;
    if (u.group_col >= 0) in.group = b.codes.data() + u.group_col * b.rows;
    in.n_groups = u.n_groups;
    if (u.numeric) {
        in.num = b.num.data() + u.cut_col * b.rows;
        if (fine.codes) {  // without codes every row is placed by its value
            in.fine = fine.column(u.cut_col);
            in.grid = fine.grid(u.cut_col);
        }
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

std::vector<std::vector<size_t>> batches(const std::vector<ScanUnit>& units) {
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

// The units' sketches as a ScanSketches (TypeError for anything else).
const ScanSketches& sketches_arg(const py::handle& obj) {
    if (!py::isinstance<ScanSketches>(obj)) throw py::type_error("sketches must be the result of _scan_ranges.");
    return obj.cast<const ScanSketches&>();
}

// Every unit's layout, its sketches (numeric cuts) checked against it.
std::vector<tamrel::UnitLayout> layouts_of(const std::vector<ScanUnit>& units, const py::object& sketches,
                                           std::int64_t max_bins) {
    const ScanSketches* s = sketches.is_none() ? nullptr : &sketches_arg(sketches);
    if (s && s->units.size() != units.size()) throw py::value_error("one list of range sketches per unit expected.");
    static const ScanSketches none;
    std::vector<tamrel::UnitLayout> out;
    for (size_t k = 0; k < units.size(); ++k) {
        if (units[k].numeric && !s) throw py::value_error("numeric units need their range sketches.");
        out.push_back(layout_of(units[k], s ? *s : none, k, max_bins));
    }
    return out;
}

py::object scan_ranges(py::object num, py::object codes, py::object units, py::object bins, py::object n_jobs,
                       py::object fine_codes) {
    const Block b = read_block(num, codes);
    const auto us = units_of(units, b.num.shape(1), b.codes.shape(1));
    const std::int64_t cap = positive_bins(bins);
    const int jobs = workers(n_jobs);
    ScanSketches out;  // a categorical cut has no sketch
    out.units.resize(us.size());
    std::vector<ScanUnit> numeric;
    std::vector<size_t> at;
    for (size_t k = 0; k < us.size(); ++k)
        if (us[k].numeric) {
            numeric.push_back(us[k]);
            at.push_back(k);
        }
    const auto tasks = batches(numeric);
    {
        BlockFine fine = read_fine(b.num, fine_codes);
        py::gil_scoped_release nogil;
        settle_fine(fine, b.num, numeric, jobs);
        const auto groupings = group_rows_of(b, numeric, jobs);
        tamrel::parallel_for(static_cast<std::int64_t>(tasks.size()), jobs, [&](std::int64_t t) {
            std::vector<tamrel::UnitInput> ins;
            for (size_t k : tasks[t]) {
                ins.push_back(unit_input(b, numeric[k], fine));
                ins.back().grouping = &groupings.at({numeric[k].group_col, numeric[k].n_groups});
            }
            auto res = tamrel::batch_ranges(ins, b.rows, cap);
            for (size_t i = 0; i < tasks[t].size(); ++i) out.units[at[tasks[t][i]]] = std::move(res[i]);
        });
    }
    return py::cast(std::move(out));
}

// Per unit: the edges of each group (an empty array for a group without rows), and the
// group's range; units whose sketches hold infinite values are refused by name.
py::object scan_edges(py::object units, py::object sketches, py::object bins) {
    const std::int64_t max_bins = positive_bins(bins);
    const auto us = units_of(units, std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::max());
    const ScanSketches& s = sketches_arg(sketches);
    if (s.units.size() != us.size()) throw py::value_error("one list of range sketches per unit expected.");
    py::list result;
    for (size_t k = 0; k < us.size(); ++k) {
        if (!us[k].numeric) {  // a categorical cut: no edges
            result.append(py::make_tuple(py::list(), to_float_array({}), to_float_array({})));
            continue;
        }
        for (const auto& g : s.units[k])
            if (g.infinite > 0) throw py::value_error("scan unit " + std::to_string(k) + ": infinite values.");
        const tamrel::UnitLayout l = layout_of(us[k], s, k, max_bins);
        py::list edges;
        for (const auto& e : l.edges) edges.append(to_float_array(e));
        result.append(py::make_tuple(edges, to_float_array(l.lo), to_float_array(l.hi)));
    }
    return result;
}

py::object scan_codes(py::object num, py::object columns, py::object edges, py::object lo,
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

py::object scan_fine(py::object num, py::object n_jobs) {
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
py::object scan_take(py::object x, py::object columns, py::object rows, py::object n_jobs,
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
                                       const std::vector<ScanUnit>& units) {
    std::vector<std::int32_t*> out(units.size(), nullptr);
    if (bin_columns.is_none()) return out;
    const py::list cols(bin_columns);
    if (cols.size() != units.size()) throw py::value_error("bin_columns needs one entry per unit.");
    // the caller's own array (read_block took it as it is), so that the codes land there
    auto given = py::isinstance<py::array>(codes) ? py::reinterpret_borrow<py::array>(codes) : py::array();
    if (!given || given.data() != b.codes.data() || !given.writeable())
        throw py::value_error("bin_columns needs codes as a writable int32 Fortran array.");
    std::vector<char> read(static_cast<size_t>(b.codes.shape(1)), 0), taken(read.size(), 0);
    for (const ScanUnit& u : units) {
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

py::object scan_sums(py::object num, py::object codes, py::object units, py::object sketches, py::object bins,
                     py::object scores, py::object weights, py::object moments, py::object n_jobs,
                     py::object fine_codes, py::object bin_columns, py::object fourth) {
    const Block b = read_block(num, codes);
    const auto us = units_of(units, b.num.shape(1), b.codes.shape(1));
    const auto bin_out = bin_targets(bin_columns, codes, b, us);
    const int jobs = workers(n_jobs);
    if (scores.is_none()) throw py::type_error("scores are required.");
    const RowVector s = vector_of(scores, b.rows, "scores");
    const RowVector w = vector_of(weights, b.rows, "sample_weight");
    const int order = py::bool_(fourth) ? 4 : py::bool_(moments) ? 2 : 0;
    const auto layouts = layouts_of(us, sketches, positive_bins(bins));
    ScanSums out;
    out.units.resize(us.size());
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
                ins.back().bins = bin_out[k];
                const auto at = offsets.find({us[k].group_col, us[k].n_groups});
                if (at != offsets.end()) ins.back().offsets = at->second.data();
                ls.push_back(&layouts[k]);
            }
            auto res = tamrel::batch_sums(ins, ls, b.rows, s.data, w.data, order);
            for (size_t i = 0; i < tasks[t].size(); ++i) out.units[tasks[t][i]] = std::move(res[i]);
        });
    }
    return py::cast(std::move(out));
}

py::object scan_totals(py::object scores, py::object weights) {
    const auto a = tamrel_py::ensure_aligned<tamrel_py::f64_array>(scores);
    if (!a || a.ndim() != 1) throw py::value_error("scores must be a numeric vector.");
    const RowVector s = vector_of(a, a.shape(0), "scores");
    const RowVector w = vector_of(weights, a.shape(0), "sample_weight");
    ScanSums out;
    out.units.resize(1);
    {
        py::gil_scoped_release nogil;
        out.units[0].push_back(tamrel::total_sums(s.data, w.data, a.shape(0)));
    }
    return py::cast(std::move(out));
}

// The one weak test of the scan, from the user's threshold (turned into the score
// multiplier by the core) and the overall score of the n_total sliced rows.
tamrel::WeakTest weak_arg(const py::object& threshold, const py::object& score_sign, const py::object& overall,
                          const py::object& n_total) {
    const double sign = as_number(score_sign, "score_sign");
    return tamrel::weak_test(sign, tamrel::score_multiplier(as_number(threshold, "threshold"), sign),
                             as_number(overall, "overall"), as_position(n_total, "n_total"));
}

py::object threshold_value(py::object threshold, py::object score_sign, py::object overall) {
    return py::float_(weak_arg(threshold, score_sign, overall, py::int_(-1)).threshold_value);
}

py::array_t<std::int64_t> ints(const std::vector<std::int64_t>& v) { return to_index_array(v); }

// Columns of the region table, one entry per region.
struct RegionColumns {
    std::vector<std::int64_t> unit, group, kind, category, first_cell, last_cell;
    std::vector<double> lb, ub;
    void add(std::int64_t k, const tamrel::UnitRegion& r) {
        unit.push_back(k);
        group.push_back(r.group);
        kind.push_back(static_cast<std::int64_t>(r.kind));
        category.push_back(r.category);
        first_cell.push_back(r.first_cell);
        last_cell.push_back(r.last_cell);
        const bool interval = r.kind == tamrel::RegionKind::interval;
        lb.push_back(interval ? r.lb : std::numeric_limits<double>::quiet_NaN());
        ub.push_back(interval ? r.ub : std::numeric_limits<double>::quiet_NaN());
    }
    py::dict dict() const {
        py::dict out;
        out["unit"] = ints(unit);
        out["group"] = ints(group);
        out["kind"] = ints(kind);
        out["category"] = ints(category);
        out["first_cell"] = ints(first_cell);
        out["last_cell"] = ints(last_cell);
        out["lb"] = to_float_array(lb);
        out["ub"] = to_float_array(ub);
        return out;
    }
};

tamrel::CellScores cell_scores_of(const py::handle& entry, std::int64_t n_cells) {
    const py::tuple t = py::reinterpret_borrow<py::object>(entry);
    if (t.size() != 2) throw py::value_error("cell scores are (scores, counts) per unit.");
    const ColumnRef score = column_ref(t[0], "cell scores");
    const auto count = tamrel_py::integer_array(t[1], "cell counts");
    if (score.col.size != n_cells || count.shape(0) != n_cells) throw py::value_error("cell scores do not fit the unit.");
    tamrel::CellScores c;
    c.score.resize(static_cast<size_t>(n_cells));
    for (std::int64_t i = 0; i < n_cells; ++i) c.score[static_cast<size_t>(i)] = score.col[i];
    c.count.assign(count.data(), count.data() + n_cells);
    return c;
}

py::object scan_regions(py::object units, py::object sketches, py::object bins, py::object cells, py::object merge,
                        py::object threshold, py::object score_sign, py::object overall, py::object n_total,
                        py::object min_samples) {
    const auto us = units_of(units, std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::max());
    const auto layouts = layouts_of(us, sketches, positive_bins(bins));
    const tamrel::WeakTest weak = weak_arg(threshold, score_sign, overall, n_total);
    const double floor = as_number(min_samples, "min_samples");
    const bool merged = py::bool_(merge);
    const py::list lc(cells);
    if (lc.size() != us.size()) throw py::value_error("one entry of cell scores per unit expected.");
    RegionColumns cols;
    for (size_t k = 0; k < us.size(); ++k) {
        const tamrel::CellScores c = cell_scores_of(lc[k], layouts[k].n_cells());
        for (const auto& r : tamrel::unit_regions(layouts[k], c, merged, weak, floor))
            cols.add(static_cast<std::int64_t>(k), r);
    }
    return cols.dict();
}

// Rank sums as arrays, one entry per set.
py::dict rank_fields(const std::vector<tamrel::RankSums>& sums) {
    const auto n = static_cast<py::ssize_t>(sums.size());
    py::array_t<std::int64_t> n_pos(n), n_neg(n);
    std::vector<py::array_t<double>> d(8, py::array_t<double>(n));
    for (auto& a : d) a = py::array_t<double>(n);
    for (py::ssize_t i = 0; i < n; ++i) {
        const auto& r = sums[static_cast<size_t>(i)];
        n_pos.mutable_data()[i] = r.n_pos;
        n_neg.mutable_data()[i] = r.n_neg;
        const double v[8] = {r.w_pos, r.w_neg, r.w2_pos, r.w2_neg, r.c1, r.c2, r.b1, r.b2};
        for (int f = 0; f < 8; ++f) d[static_cast<size_t>(f)].mutable_data()[i] = v[f];
    }
    py::dict out;
    out["n_pos"] = n_pos;
    out["n_neg"] = n_neg;
    const char* names[8] = {"w_pos", "w_neg", "w2_pos", "w2_neg", "c1", "c2", "b1", "b2"};
    for (int f = 0; f < 8; ++f) out[names[f]] = d[static_cast<size_t>(f)];
    return out;
}

// What the rank passes read besides the block: the rows by ascending score (none: the rows
// are in that order already), the scores, the classes and the weights.
struct Ranked {
    std::vector<std::int64_t> order;
    RowVector scores;
    py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast> positive;
    RowVector weights;
};

Ranked ranked_of(std::int64_t n_rows, const py::object& order, const py::object& scores, const py::object& positive,
                 const py::object& weights) {
    Ranked r{{}, vector_of(scores, n_rows, "scores"),
             py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>::ensure(positive),
             vector_of(weights, n_rows, "sample_weight")};
    if (!r.scores.data || !r.positive || r.positive.ndim() != 1 || r.positive.shape(0) != n_rows)
        throw py::value_error("scores and positive need one entry per row.");
    if (order.is_none()) {
        r.order.resize(static_cast<size_t>(n_rows));
        for (std::int64_t k = 0; k < n_rows; ++k) r.order[static_cast<size_t>(k)] = k;
    } else {
        const auto o = tamrel_py::integer_array(order, "order");
        if (o.shape(0) != n_rows) throw py::value_error("order needs one entry per row.");
        r.order.assign(o.data(), o.data() + n_rows);
    }
    std::vector<char> seen(static_cast<size_t>(n_rows), 0);
    for (std::int64_t k = 0; k < n_rows; ++k) {
        const std::int64_t at = r.order[static_cast<size_t>(k)];
        if (at < 0 || at >= n_rows || seen[static_cast<size_t>(at)]) throw py::value_error("order must be a permutation of the rows.");
        seen[static_cast<size_t>(at)] = 1;
        if (k && !(r.scores.data[at] >= r.scores.data[r.order[static_cast<size_t>(k) - 1]]))
            throw py::value_error("the rows must be in ascending order of their scores (NaN refused).");
    }
    return r;
}

// Per unit, the rank sums of every cell; with `regions` (dict of arrays unit, first_cell,
// last_cell), per region the rank sums of the region and of the rest of the rows.
py::object scan_ranks(py::object num, py::object codes, py::object units, py::object sketches, py::object bins,
                      py::object order, py::object scores, py::object positive, py::object weights,
                      py::object n_jobs, py::object regions) {
    const Block b = read_block(num, codes);
    const auto us = units_of(units, b.num.shape(1), b.codes.shape(1));
    const auto layouts = layouts_of(us, sketches, positive_bins(bins));
    const int jobs = workers(n_jobs);
    const Ranked rk = ranked_of(b.rows, order, scores, positive, weights);
    // regions as (unit, first, last), grouped by unit
    std::vector<std::vector<std::pair<std::int64_t, std::int64_t>>> wanted(us.size());
    std::vector<std::pair<size_t, size_t>> at;  // per region: unit, position among the unit's regions
    if (!regions.is_none()) {
        const py::dict r(regions);
        const auto u = tamrel_py::integer_array(r["unit"], "unit");
        const auto f = tamrel_py::integer_array(r["first_cell"], "first_cell");
        const auto l = tamrel_py::integer_array(r["last_cell"], "last_cell");
        for (py::ssize_t i = 0; i < u.shape(0); ++i) {
            const std::int64_t k = u.data()[i];
            if (k < 0 || k >= static_cast<std::int64_t>(us.size())) throw py::index_error("unit out of range.");
            const std::int64_t a = f.data()[i], e = l.data()[i];
            if (a < 0 || e < a || e > layouts[static_cast<size_t>(k)].n_cells()) throw py::index_error("cell out of range.");
            at.emplace_back(static_cast<size_t>(k), wanted[static_cast<size_t>(k)].size());
            wanted[static_cast<size_t>(k)].emplace_back(a, e);
        }
    }
    const bool per_region = !regions.is_none();
    std::vector<std::vector<tamrel::RankSums>> out(us.size());
    {
        py::gil_scoped_release nogil;
        const BlockFine no_fine;
        tamrel::parallel_for(static_cast<std::int64_t>(us.size()), jobs, [&](std::int64_t k) {
            if (per_region && wanted[k].empty()) return;
            std::vector<std::int32_t> cells(static_cast<size_t>(b.rows));
            tamrel::unit_cells(unit_input(b, us[k], no_fine), layouts[k], b.rows, cells.data());
            const std::uint8_t* pos = rk.positive.data();
            const std::int64_t* ord = rk.order.data();
            if (!per_region) {
                out[k] = tamrel::rank_sums(ord, b.rows, rk.scores.data, pos, rk.weights.data, cells.data(),
                                           layouts[k].n_cells());
                return;
            }
            std::vector<std::int32_t> side(static_cast<size_t>(b.rows));
            for (const auto& [first, last] : wanted[k]) {
                for (std::int64_t r = 0; r < b.rows; ++r) side[r] = cells[r] >= first && cells[r] < last ? 0 : 1;
                const auto two = tamrel::rank_sums(ord, b.rows, rk.scores.data, pos, rk.weights.data, side.data(), 2);
                out[k].insert(out[k].end(), two.begin(), two.end());
            }
        });
    }
    if (!per_region) {
        py::list result;
        for (const auto& u : out) result.append(rank_fields(u));
        return result;
    }
    std::vector<tamrel::RankSums> inside, rest;
    for (const auto& [k, i] : at) {
        inside.push_back(out[k][2 * i]);
        rest.push_back(out[k][2 * i + 1]);
    }
    return py::make_tuple(rank_fields(inside), rank_fields(rest));
}

// Per region (dict of arrays unit, first_cell, last_cell), the sum modulo 2**64 of the keys
// of its rows in this block: a fingerprint of the region's rows, by the kernels' own cells.
py::object scan_fingerprints(py::object num, py::object codes, py::object units, py::object sketches, py::object bins,
                             py::object keys, py::object regions, py::object n_jobs, py::object fine_codes) {
    const Block b = read_block(num, codes);
    const auto us = units_of(units, b.num.shape(1), b.codes.shape(1));
    const auto layouts = layouts_of(us, sketches, positive_bins(bins));
    const int jobs = workers(n_jobs);
    const auto k = py::array_t<std::uint64_t, py::array::c_style | py::array::forcecast>::ensure(keys);
    if (!k || k.ndim() != 1 || k.shape(0) != b.rows) throw py::value_error("keys need one entry per row.");
    const py::dict r(regions);
    const auto u = tamrel_py::integer_array(r["unit"], "unit");
    const auto f = tamrel_py::integer_array(r["first_cell"], "first_cell");
    const auto l = tamrel_py::integer_array(r["last_cell"], "last_cell");
    const py::ssize_t m = u.shape(0);
    if (f.shape(0) != m || l.shape(0) != m) throw py::value_error("one entry per region expected.");
    std::vector<std::vector<py::ssize_t>> by_unit(us.size());
    for (py::ssize_t i = 0; i < m; ++i) {
        const std::int64_t unit = u.data()[i];
        if (unit < 0 || unit >= static_cast<std::int64_t>(us.size())) throw py::index_error("unit out of range.");
        if (f.data()[i] < 0 || l.data()[i] < f.data()[i] || l.data()[i] > layouts[static_cast<size_t>(unit)].n_cells())
            throw py::index_error("cell out of range.");
        by_unit[static_cast<size_t>(unit)].push_back(i);
    }
    py::array_t<std::uint64_t> out(m);
    std::uint64_t* o = out.mutable_data();
    const std::uint64_t* key = k.data();
    {
        BlockFine fine = read_fine(b.num, fine_codes);
        py::gil_scoped_release nogil;
        tamrel::parallel_for(static_cast<std::int64_t>(us.size()), jobs, [&](std::int64_t unit) {
            if (by_unit[unit].empty()) return;
            std::vector<std::int32_t> cells(static_cast<size_t>(b.rows));
            tamrel::unit_cells(unit_input(b, us[unit], fine), layouts[unit], b.rows, cells.data());
            // per cell, then per region: sums modulo 2**64 (unsigned additions wrap)
            std::vector<std::uint64_t> per_cell(static_cast<size_t>(layouts[unit].n_cells()) + 1, 0);
            for (std::int64_t row = 0; row < b.rows; ++row)
                per_cell[static_cast<size_t>(cells[row] + 1)] += key[row];
            for (py::ssize_t i : by_unit[unit]) {
                std::uint64_t sum = 0;
                for (std::int64_t c = f.data()[i]; c < l.data()[i]; ++c) sum += per_cell[static_cast<size_t>(c + 1)];
                o[i] = sum;
            }
        });
    }
    return std::move(out);
}

py::object rank_totals(py::object order, py::object scores, py::object positive, py::object weights) {
    const auto s = tamrel_py::ensure_aligned<tamrel_py::f64_array>(scores);
    if (!s || s.ndim() != 1) throw py::value_error("scores must be a numeric vector.");
    const std::int64_t n = s.shape(0);
    const Ranked rk = ranked_of(n, order, s, positive, weights);
    const std::vector<std::int32_t> one(static_cast<size_t>(n), 0);
    std::vector<tamrel::RankSums> out;
    {
        py::gil_scoped_release nogil;
        out = tamrel::rank_sums(rk.order.data(), n, rk.scores.data, rk.positive.data(), rk.weights.data, one.data(),
                                1);
    }
    return rank_fields(out);
}

py::object interval_members(py::object values, py::object lb, py::object ub, py::object closed) {
    const ColumnRef v = column_ref(values, "values");
    const double lo = as_number(lb, "lb"), hi = as_number(ub, "ub");
    const bool c = py::bool_(closed);
    py::array_t<bool> out(static_cast<py::ssize_t>(v.col.size));
    bool* d = out.mutable_data();
    {
        py::gil_scoped_release nogil;
        for (std::int64_t r = 0; r < v.col.size; ++r) d[r] = tamrel::in_interval(v.col[r], lo, hi, c);
    }
    return std::move(out);
}

// slice_mean of every entry: weighted when asked and the weights there sum to more than 0,
// else the plain mean; NaN for no row.
py::object slice_means(py::object n, py::object s, py::object w, py::object ws, py::object weighted) {
    const auto count = tamrel_py::integer_array(n, "n");
    const ColumnRef cs = column_ref(s, "s"), cw = column_ref(w, "w"), cws = column_ref(ws, "ws");
    const std::int64_t m = count.shape(0);
    if (cs.col.size != m || cw.col.size != m || cws.col.size != m) throw py::value_error("one entry per set expected.");
    const bool wt = py::bool_(weighted);
    py::array_t<double> out(static_cast<py::ssize_t>(m));
    for (std::int64_t i = 0; i < m; ++i)
        out.mutable_data()[i] = tamrel::slice_mean(tamrel::CompensatedSum{cws.col[i], 0.0}, tamrel::CompensatedSum{cw.col[i], 0.0},
                                                   tamrel::CompensatedSum{cs.col[i], 0.0}, count.data()[i], wt);
    return std::move(out);
}

py::object weight_scale(py::object top) { return py::float_(tamrel::weight_scale_for(as_number(top, "top"))); }

}  // namespace

void define_scan_kernels(py::module_& m) {
    define_scan_objects(m);
    const py::object none = py::none();
    m.def("_scan_ranges", &scan_ranges, py::arg("num"), py::arg("codes"), py::arg("units"), py::arg("bins"),
          py::arg("n_jobs") = none, py::arg("fine") = none,
          "_scan_ranges(num, codes, units, bins, n_jobs=None, fine=None)\n--\n\n"
          "Per unit and group, the range sketch of the numeric cut values of these rows (_RangeSketches);\n"
          "none for a categorical cut.");
    m.def("_scan_edges", &scan_edges, py::arg("units"), py::arg("sketches"), py::arg("bins"),
          "_scan_edges(units, sketches, bins)\n--\n\n"
          "Per unit, (edges per group, group minima, group maxima) from merged sketches.");
    m.def("_scan_fine", &scan_fine, py::arg("num"), py::arg("n_jobs") = none,
          "_scan_fine(num, n_jobs=None)\n--\n\nFine codes of the columns of num, for the passes over the same rows.");
    m.def("_scan_codes", &scan_codes, py::arg("num"), py::arg("columns"), py::arg("edges"), py::arg("lo"),
          py::arg("hi"), py::arg("n_jobs") = none, py::arg("fine") = none,
          "_scan_codes(num, columns, edges, lo, hi, n_jobs=None, fine=None)\n--\n\n"
          "int32 bin codes of the given columns of num; -1 for missing or out-of-range values.");
    m.def("_scan_take", &scan_take, py::arg("x"), py::arg("columns"), py::arg("rows"), py::arg("n_jobs") = none,
          py::arg("fine") = false,
          "_scan_take(x, columns, rows, n_jobs=None, fine=False)\n--\n\n"
          "The given columns of a float64 matrix at the given rows, in Fortran order; with fine,\n"
          "also their fine codes for the passes (as _scan_fine gives them, on grids from a sample).");
    m.def("_scan_sums", &scan_sums, py::arg("num"), py::arg("codes"), py::arg("units"), py::arg("sketches"),
          py::arg("bins"), py::arg("scores"), py::arg("weights") = none, py::arg("moments") = false,
          py::arg("n_jobs") = none, py::arg("fine") = none, py::arg("bin_columns") = none, py::arg("fourth") = false,
          "_scan_sums(num, codes, units, sketches, bins, scores, weights=None, moments=False, n_jobs=None, "
          "fine=None, bin_columns=None, fourth=False)\n--\n\n"
          "Per unit, the score sums of each cell over these rows (_CellSums): with moments also w*s^2\n"
          "and w^2, with fourth also w*s^3 and w*s^4. sketches may be None when\n"
          "no unit is numeric. bin_columns: per unit, a column of codes (a writable int32 Fortran array)\n"
          "that takes the rows' bin codes of an ungrouped numeric unit, as _scan_codes gives them, or -1.");
    m.def("_scan_totals", &scan_totals, py::arg("scores"), py::arg("weights") = none,
          "_scan_totals(scores, weights=None)\n--\n\nThe sums of all rows as one unit of one cell (_CellSums).");
    m.def("_threshold_value", &threshold_value, py::arg("threshold"), py::arg("score_sign"), py::arg("overall"),
          "_threshold_value(threshold, score_sign, overall)\n--\n\n"
          "The score level of the weak test: the threshold's score multiplier times the overall score.");
    m.def("_scan_regions", &scan_regions, py::arg("units"), py::arg("sketches"), py::arg("bins"), py::arg("cells"),
          py::arg("merge"), py::arg("threshold"), py::arg("score_sign"), py::arg("overall"), py::arg("n_total"),
          py::arg("min_samples"),
          "_scan_regions(units, sketches, bins, cells, merge, threshold, score_sign, overall, n_total, "
          "min_samples)\n--\n\n"
          "Weak regions of every unit from its cells' (scores, counts) on the sliced rows, by the one weak\n"
          "test: dict of arrays unit, group, kind (0 interval, 1 missing, 2 category), category,\n"
          "first_cell, last_cell, lb, ub.");
    m.def("_scan_ranks", &scan_ranks, py::arg("num"), py::arg("codes"), py::arg("units"), py::arg("sketches"),
          py::arg("bins"), py::arg("order"), py::arg("scores"), py::arg("positive"), py::arg("weights") = none,
          py::arg("n_jobs") = none, py::arg("regions") = none,
          "_scan_ranks(num, codes, units, sketches, bins, order, scores, positive, weights=None, n_jobs=None, "
          "regions=None)\n--\n\n"
          "Rank sums (the AUC and DeLong's variance) per unit and cell; with regions, per region and its\n"
          "rest ((inside, rest) dicts of arrays). order lists the rows by ascending score (None: they\n"
          "are in that order already).");
    m.def("_scan_fingerprints", &scan_fingerprints, py::arg("num"), py::arg("codes"), py::arg("units"),
          py::arg("sketches"), py::arg("bins"), py::arg("keys"), py::arg("regions"), py::arg("n_jobs") = none,
          py::arg("fine") = none,
          "_scan_fingerprints(num, codes, units, sketches, bins, keys, regions, n_jobs=None, fine=None)\n--\n\n"
          "Per region (dict of arrays unit, first_cell, last_cell), the sum modulo 2**64 of the uint64\n"
          "keys of its rows in this block, by the kernels' cells.");
    m.def("_scan_rank_totals", &rank_totals, py::arg("order"), py::arg("scores"), py::arg("positive"),
          py::arg("weights") = none,
          "_scan_rank_totals(order, scores, positive, weights=None)\n--\n\n"
          "The rank sums of all rows as one set (dict of one-entry arrays).");
    m.def("_interval_members", &interval_members, py::arg("values"), py::arg("lb"), py::arg("ub"), py::arg("closed"),
          "_interval_members(values, lb, ub, closed)\n--\n\n"
          "lb <= v and (v <= ub when closed, else v < ub), per value (NaN is never inside).");
    m.def("_slice_means", &slice_means, py::arg("n"), py::arg("s"), py::arg("w"), py::arg("ws"), py::arg("weighted"),
          "_slice_means(n, s, w, ws, weighted)\n--\n\n"
          "Mean scores of sets from their sums: weighted when asked and the set's weights sum to more\n"
          "than 0, else plain; NaN for an empty set.");
    m.def("_weight_scale", &weight_scale, py::arg("top"),
          "_weight_scale(top)\n--\n\n"
          "The power of two that brings a largest weight magnitude `top` near 1 (1 when top is not positive).");
}

}  // namespace scan_py
