// The scan's sums pass: per unit and cell, the score sums of the rows.
#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <type_traits>

#include "tamrel/fine_codes.hpp"
#include "tamrel/scan.hpp"

namespace tamrel {

namespace {

// Two doubles that a row adds together: one SSE/NEON addition where the compiler has
// vector types.
#if defined(__GNUC__) || defined(__clang__)
typedef double Pair __attribute__((vector_size(16)));
#else
struct Pair {
    double v[2] = {0.0, 0.0};
    double operator[](int i) const { return v[i]; }
    Pair& operator+=(const Pair& o) {
        v[0] += o.v[0];
        v[1] += o.v[1];
        return *this;
    }
};
#endif

// Plain sums of one block of rows per cell, folded into the compensated cell sums when the
// block ends: one plain add per row and field, with the rounding of one block's plain sum.
// Without weights every weight is 1, so w and w*s are the count and s (w^2 the count
// again), exactly as if added: only the count, s and s^2 are kept per row.
struct BlockSums {
    // The cells' block sums in three planes, in the pairs that a row adds together: {n, s},
    // {w, ws}, {ws2, w2} (the count n as a double, exact within a block). A pass without
    // weights or moments touches only the first plane, so its cells stay compact in cache.
    std::vector<Pair> ns, w, m;
    // A pass of fourth order also keeps {w s^3, w s^4} per cell (the skewness and kurtosis
    // of a region's scores).
    std::vector<Pair> h;
    // A pass with moments but no weights, where the processor adds four doubles at once,
    // keeps {n, s, s^2, 0} per cell instead: one addition per row.
    std::vector<double> quads;
    // `copies` sets of the cells, rows taken by turns: with few cells, runs of rows in one
    // cell would otherwise each wait on the last one's sum. Folded set after set.
    size_t stride;

    BlockSums(size_t n, size_t copies, bool use_quads = false, bool fourth = false)
        : ns(n * copies), w(n * copies), m(n * copies), h(fourth ? n * copies : 0),
          quads(use_quads ? 4 * n * copies : 0), stride(n) {
        for (size_t k = 0; k < ns.size(); ++k) ns[k] = w[k] = m[k] = Pair{0.0, 0.0};
        for (auto& v : h) v = Pair{0.0, 0.0};
    }

    // The cells of `out` (a block may hold one more, for rows left out).
    void fold(std::vector<CellSums>& out, bool weighted, int order) {
        for (size_t k = 0; k < ns.size(); k += stride)
            for (size_t c = 0; c < out.size(); ++c) fold_cell(k + c, out[c], weighted, order);
    }

    void fold_cell(size_t i, CellSums& o, bool weighted, int order) {
        if (!quads.empty()) {
            double* q = quads.data() + 4 * i;
            ns[i] = Pair{q[0], q[1]};
            m[i] = Pair{q[2], 0.0};
            q[0] = q[1] = q[2] = 0.0;
        }
        const double n = ns[i][0], s = ns[i][1];
        if (n == 0.0) return;
        o.count += static_cast<std::int64_t>(n);
        o.s.add(s);
        if (order == 4) {
            o.ws3 += h[i][0];
            o.ws4 += h[i][1];
            h[i] = Pair{0.0, 0.0};
        }
        if (weighted) {
            o.w.add(w[i][0]);
            o.ws.add(w[i][1]);
            o.ws2 += m[i][0];
            o.w2 += m[i][1];
            w[i] = m[i] = Pair{0.0, 0.0};
        } else if (order >= 2) {
            o.w.add(n);
            o.ws.add(s);
            o.ws2 += m[i][0];
            o.w2 += n;
            m[i] = Pair{0.0, 0.0};
        }
        ns[i] = Pair{0.0, 0.0};
    }
};

// Where a loop adds its rows: the planes of a BlockSums, in locals.
struct Planes {
    Pair* ns;
    Pair* w;
    Pair* m;
    Pair* h;
    explicit Planes(BlockSums& b) : ns(b.ns.data()), w(b.w.data()), m(b.m.data()), h(b.h.data()) {}
};

inline void prefetch(const double* p) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(p);
#else
    (void)p;
#endif
}

// One group of a numeric cut, flat, so that the per-row search reads no pointer chain.
// locate() is BinLocator's search with the edge bounds folded into the edges: `inner`
// holds edges 1 .. n_bins - 1 between -inf and +inf, so that both walks stop at the ends
// without testing k, and the (mispredicted) end tests leave the loop.
struct FlatBins {
    double lo = 1.0, hi = 0.0;  // values outside are left out; lo > hi for a group without rows
    double base = 0.0, inv_width = 0.0, last = 0.0;
    const double* inner = nullptr;
    std::int64_t offset = 0, n_bins = 0;

    std::int64_t locate(double v) const {
        const double guess = (v - base) * inv_width;  // v within [lo, hi]: finite
        std::int64_t k = static_cast<std::int64_t>(std::min(std::max(guess, 0.0), last));
        while (v < inner[k]) --k;
        while (inner[k + 1] <= v) ++k;
        return k;
    }
};

struct NumericCut {
    std::vector<double> inner;  // every group's bounded edges, one after the other
    std::vector<FlatBins> groups;
    // fine_table, when the unit has fine codes: in bytes when every cell fits, as in most
    // units (half the table, which the loop reads at random, stays in the first cache)
    std::vector<std::int16_t> table;
    std::vector<std::uint8_t> narrow;
    bool has_table() const { return !table.empty() || !narrow.empty(); }
    std::int32_t left_out = 0;        // the extra cell that takes the rows left out
};


// Units with more groups than this (or cells than an int16 numbers) read their values
// rather than a table of that size.
constexpr std::int64_t kFineGroups = 256;
constexpr size_t kUngroupedCopies = 4;  // sets of cells of a unit alone (BlockSums)

NumericCut numeric_cut(const UnitLayout& layout, const UnitInput& in) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    NumericCut cut;
    const size_t n = layout.edges.size();
    std::vector<size_t> at(n, 0);
    for (size_t g = 0; g < n; ++g) {
        const auto& e = layout.edges[g];
        if (e.empty()) continue;
        at[g] = cut.inner.size();
        cut.inner.push_back(-inf);
        cut.inner.insert(cut.inner.end(), e.begin() + 1, e.end() - 1);
        cut.inner.push_back(inf);
    }
    cut.groups.resize(n);
    for (size_t g = 0; g < n; ++g) {
        const auto& e = layout.edges[g];
        if (e.empty()) continue;
        FlatBins& b = cut.groups[g];
        const auto n_bins = static_cast<std::int64_t>(e.size()) - 1;
        b.lo = layout.lo[g];
        b.hi = layout.hi[g];
        b.base = e.front();
        const double span = e.back() - e.front();
        b.inv_width = span > 0 ? static_cast<double>(n_bins) / span : 0.0;
        b.last = static_cast<double>(n_bins - 1);
        b.inner = cut.inner.data() + at[g];
        b.offset = layout.offsets[g];
        b.n_bins = n_bins;
    }
    if (in.fine && in.n_groups <= kFineGroups && layout.n_cells() < std::numeric_limits<std::int16_t>::max()) {
        const std::int32_t missing = layout.missing_cell ? static_cast<std::int32_t>(layout.offsets.back()) : -1;
        cut.left_out = static_cast<std::int32_t>(layout.n_cells());
        if (cut.left_out < fine_ambiguous<std::uint8_t>())
            cut.narrow = fine_table<std::uint8_t>(layout.edges, layout.lo, layout.hi, layout.offsets, missing,
                                                  cut.left_out, in.grid);
        else
            cut.table = fine_table<std::int16_t>(layout.edges, layout.lo, layout.hi, layout.offsets, missing,
                                                 cut.left_out, in.grid);
    }
    return cut;
}

// The cell of each row of a block (-1: the row is left out): first all cells, then the
// sums, so that the searches of consecutive rows overlap.
void block_cells(const UnitInput& in, const UnitLayout& layout, const NumericCut& cut,
                 std::int64_t begin, std::int64_t end, std::int32_t* cells) {
    const std::int32_t missing = layout.missing_cell ? static_cast<std::int32_t>(layout.offsets.back()) : -1;
    const auto n_groups = static_cast<std::uint64_t>(in.n_groups);
    const std::int32_t* group = in.group;
    if (layout.numeric) {
        const FlatBins* groups = cut.groups.data();
        const double* num = in.num;
        for (std::int64_t r = begin; r < end; ++r) {
            const std::int64_t g = group ? group[r] : 0;
            std::int32_t cell = -1;
            if (static_cast<std::uint64_t>(g) < n_groups) {
                const double v = num[r];
                const FlatBins& b = groups[g];
                if (v >= b.lo && v <= b.hi) {
                    cell = static_cast<std::int32_t>(b.offset + b.locate(v));
                } else if (std::isnan(v)) {
                    cell = missing;
                }
            }
            cells[r - begin] = cell;
        }
    } else {
        const std::int64_t* offsets = layout.offsets.data();
        const auto n_cat = static_cast<std::int32_t>(layout.n_cat);
        for (std::int64_t r = begin; r < end; ++r) {
            const std::int64_t g = group ? group[r] : 0;
            std::int32_t cell = -1;
            if (static_cast<std::uint64_t>(g) < n_groups) {
                const std::int32_t c = in.cat[r];
                if (c < 0) {
                    cell = missing;
                } else if (c < n_cat) {
                    cell = static_cast<std::int32_t>(offsets[g] + c);
                }
            }
            cells[r - begin] = cell;
        }
    }
}

// One row's score (and weight) added to cell i's block sums: with second moments from Order
// 2, with the third and fourth powers at Order 4.
template <bool Weighted, int Order>
inline void add_row(const Planes& p, size_t i, const double* scores, const double* weights, std::int64_t r) {
    const double sv = scores[r];
    p.ns[i] += Pair{1.0, sv};
    if (Weighted) {
        const double wv = weights[r];
        p.w[i] += Pair{wv, wv * sv};
        if (Order >= 2) p.m[i] += Pair{wv * sv * sv, wv * wv};
        if (Order == 4) p.h[i] += Pair{wv * sv * sv * sv, wv * sv * sv * sv * sv};
    } else {
        if (Order >= 2) p.m[i] += Pair{sv * sv, 0.0};
        if (Order == 4) p.h[i] += Pair{sv * sv * sv, sv * sv * sv * sv};
    }
}

template <bool Weighted, int Order>
void block_add(const std::int32_t* cells, std::int64_t begin, std::int64_t end, const double* scores,
               const double* weights, BlockSums& out) {
    const Planes acc(out);
    for (std::int64_t r = begin; r < end; ++r) {
        const std::int32_t c = cells[r - begin];
        if (c >= 0) add_row<Weighted, Order>(acc, static_cast<size_t>(c), scores, weights, r);
    }
}

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define TAMREL_QUADS 1
// Four doubles added at once (in AVX code), read and written where a double may be.
typedef double Quad __attribute__((vector_size(32), aligned(8)));
#define TAMREL_ALWAYS_INLINE inline __attribute__((always_inline))

bool has_avx() {
    static const bool yes = __builtin_cpu_supports("avx");
    return yes;
}
#else
#define TAMREL_ALWAYS_INLINE inline
#endif

bool quads_available() {
#ifdef TAMREL_QUADS
    return has_avx();
#else
    return false;
#endif
}

// One row's n, s and s^2 added to a cell's quad.
TAMREL_ALWAYS_INLINE void add_quad(double* q, double sv) {
#ifdef TAMREL_QUADS
    *reinterpret_cast<Quad*>(q) += Quad{1.0, sv, sv * sv, 0.0};
#else
    q[0] += 1.0;
    q[1] += sv;
    q[2] += sv * sv;
#endif
}

// How a fine loop finds a row's group: none (a unit alone), by its code, or by its offset
// in the table (group_offsets).
enum class Grouping { none, codes, offsets };

// Quads: the cells are BlockSums::quads (a pass with moments, without weights).
template <class Entry, Grouping G, bool Weighted, int Order, bool Quads = false>
TAMREL_ALWAYS_INLINE void fine_rows(const UnitInput& in, const NumericCut& cut, const Entry* const table,
                                    std::int64_t begin, std::int64_t end, const double* scores,
                                    const double* weights, BlockSums& out) {
    constexpr bool Grouped = G != Grouping::none;
    constexpr std::uint32_t stride_codes = kFineCodes + 1;
    // a unit alone (few cells) adds its rows into four sets, a grouped unit into one
    constexpr size_t copy_mask = Grouped ? 0 : kUngroupedCopies - 1;
    const Planes acc(out);
    double* const quads = out.quads.data();
    const size_t stride = out.stride;
    // everything the loop reads in locals: the stores to acc cannot change them
    const std::int32_t* const group = in.group;
    const std::uint16_t* const offsets = in.offsets;
    const std::uint16_t* const fine = in.fine;
    const double* const num = in.num;
    const FlatBins* const groups = cut.groups.data();
    const std::int32_t left_out = cut.left_out;
    const auto n_groups = static_cast<std::uint32_t>(in.n_groups);
    std::int32_t* const bins = Grouped ? nullptr : in.bins;
    const auto n_bins = static_cast<std::uint32_t>(cut.groups.empty() ? 0 : cut.groups[0].n_bins);
    for (std::int64_t r = begin; r < end; ++r) {
        // The few values read are scattered: fetched ahead, as a streaming read would be.
        if ((r & 7) == 0) prefetch(num + r + 64);
        const std::uint32_t at = G == Grouping::offsets ? offsets[r]
                                 : G == Grouping::codes ? std::min(static_cast<std::uint32_t>(group[r]), n_groups) * stride_codes
                                                        : 0;
        std::int32_t c = table[at + fine[r]];
        if (c == fine_ambiguous<Entry>()) {
            const double v = num[r];
            const FlatBins& b = groups[at / stride_codes];
            c = v >= b.lo && v <= b.hi ? static_cast<std::int32_t>(b.offset + b.locate(v)) : left_out;
        }
        if (!Grouped && bins) bins[r] = static_cast<std::uint32_t>(c) < n_bins ? c : -1;
        const size_t i = (static_cast<size_t>(r) & copy_mask) * stride + static_cast<size_t>(c);
        if (Quads)
            add_quad(quads + 4 * i, scores[r]);
        else
            add_row<Weighted, Order>(acc, i, scores, weights, r);
    }
}

// fine_rows by the table's width and the unit's grouping, with `run` the loop for given
// template arguments.
template <class Run>
void by_table_and_grouping(const UnitInput& in, const NumericCut& cut, Run&& run) {
    const bool narrow = !cut.narrow.empty();
    if (in.group && in.offsets)
        narrow ? run(cut.narrow.data(), std::integral_constant<Grouping, Grouping::offsets>())
               : run(cut.table.data(), std::integral_constant<Grouping, Grouping::offsets>());
    else if (in.group)
        narrow ? run(cut.narrow.data(), std::integral_constant<Grouping, Grouping::codes>())
               : run(cut.table.data(), std::integral_constant<Grouping, Grouping::codes>());
    else
        narrow ? run(cut.narrow.data(), std::integral_constant<Grouping, Grouping::none>())
               : run(cut.table.data(), std::integral_constant<Grouping, Grouping::none>());
}

#ifdef TAMREL_QUADS
// fine_rows into quads, compiled for AVX (chosen at run time).
template <class Entry, Grouping G>
__attribute__((target("avx"))) void fine_quads(const UnitInput& in, const NumericCut& cut, const Entry* const table,
                                               std::int64_t begin, std::int64_t end, const double* scores,
                                               BlockSums& out) {
    fine_rows<Entry, G, false, 2, true>(in, cut, table, begin, end, scores, nullptr, out);
}
#endif

// block_cells and block_add in one loop, for a numeric cut with a fine table: the cell
// from the table, the value read only where the table cannot tell; rows left out add
// to the extra cell, so that the loop does not branch on them.
template <bool Weighted, int Order>
void block_add_fine(const UnitInput& in, const NumericCut& cut, std::int64_t begin, std::int64_t end,
                    const double* scores, const double* weights, BlockSums& out) {
#ifdef TAMREL_QUADS
    if (!out.quads.empty()) {
        by_table_and_grouping(in, cut, [&](const auto* table, auto grouping) {
            using Entry = std::remove_const_t<std::remove_pointer_t<decltype(table)>>;
            fine_quads<Entry, decltype(grouping)::value>(in, cut, table, begin, end, scores, out);
        });
        return;
    }
#endif
    by_table_and_grouping(in, cut, [&](const auto* table, auto grouping) {
        using Entry = std::remove_const_t<std::remove_pointer_t<decltype(table)>>;
        fine_rows<Entry, decltype(grouping)::value, Weighted, Order>(in, cut, table, begin, end, scores, weights,
                                                                     out);
    });
}

}  // namespace

namespace {

// The cells of a numeric cut from its fine table: a row's value read only where the table
// cannot place it (as the sums pass places rows); rows left out get -1.
template <class Entry>
void table_cells(const UnitInput& in, const NumericCut& cut, const Entry* table, std::int64_t n_rows,
                 std::int32_t* cells) {
    constexpr std::uint32_t stride_codes = kFineCodes + 1;
    const auto n_groups = static_cast<std::uint32_t>(in.n_groups);
    for (std::int64_t r = 0; r < n_rows; ++r) {
        const std::uint32_t at = in.group ? std::min(static_cast<std::uint32_t>(in.group[r]), n_groups) * stride_codes : 0;
        std::int32_t c = table[at + in.fine[r]];
        if (c == fine_ambiguous<Entry>()) {
            const double v = in.num[r];
            const FlatBins& b = cut.groups[at / stride_codes];
            c = v >= b.lo && v <= b.hi ? static_cast<std::int32_t>(b.offset + b.locate(v)) : cut.left_out;
        }
        cells[r] = c == cut.left_out ? -1 : c;
    }
}

}  // namespace

void unit_cells(const UnitInput& unit, const UnitLayout& layout, std::int64_t n_rows, std::int32_t* cells) {
    const NumericCut cut = layout.numeric ? numeric_cut(layout, unit) : NumericCut();
    if (!cut.narrow.empty()) return table_cells(unit, cut, cut.narrow.data(), n_rows, cells);
    if (!cut.table.empty()) return table_cells(unit, cut, cut.table.data(), n_rows, cells);
    block_cells(unit, layout, cut, 0, n_rows, cells);
}

std::vector<std::uint16_t> group_offsets(const std::int32_t* group, std::int64_t n_rows, std::int64_t n_groups) {
    if (n_groups > kOffsetGroups) throw std::length_error("too many groups for table offsets.");
    std::vector<std::uint16_t> out(static_cast<size_t>(n_rows));
    const auto n = static_cast<std::uint32_t>(n_groups);
    for (std::int64_t r = 0; r < n_rows; ++r)
        out[r] = static_cast<std::uint16_t>(std::min(static_cast<std::uint32_t>(group[r]), n) * (kFineCodes + 1));
    return out;
}

namespace {

// Rows are taken in blocks, each block through every unit of the batch in turn, so that the
// shared cut codes, scores and weights of a block are read from memory once; a block's
// plain sums are folded when it ends (BlockSums).
constexpr std::int64_t kBlockRows = 4096;

}  // namespace

namespace {

// `run` with the loop's template arguments for weights and the order of the moments.
template <class Run>
void by_weights_and_order(bool weighted, int order, Run&& run) {
    using W = std::true_type;
    using U = std::false_type;
    if (weighted) {
        order == 4 ? run(W(), std::integral_constant<int, 4>())
        : order == 2 ? run(W(), std::integral_constant<int, 2>()) : run(W(), std::integral_constant<int, 0>());
    } else {
        order == 4 ? run(U(), std::integral_constant<int, 4>())
        : order == 2 ? run(U(), std::integral_constant<int, 2>()) : run(U(), std::integral_constant<int, 0>());
    }
}

}  // namespace

std::vector<std::vector<CellSums>> batch_sums(const std::vector<UnitInput>& units,
                                              const std::vector<const UnitLayout*>& layouts, std::int64_t n_rows,
                                              const double* scores, const double* weights, int order) {
    if (order != 0 && order != 2 && order != 4) throw std::invalid_argument("moments of order 0, 2 or 4 only.");
    std::vector<std::vector<CellSums>> out;
    std::vector<NumericCut> cuts;
    std::vector<BlockSums> block;
    cuts.reserve(layouts.size());
    for (const UnitLayout* l : layouts) {
        // cells are numbered in int32 in the block loop
        if (l->n_cells() > std::numeric_limits<std::int32_t>::max()) throw std::length_error("too many cells in a scan unit.");
        cuts.push_back(l->numeric ? numeric_cut(*l, units[cuts.size()]) : NumericCut());
        out.emplace_back(static_cast<size_t>(l->n_cells()));
        const bool fine = cuts.back().has_table();
        block.emplace_back(static_cast<size_t>(l->n_cells()) + (fine ? 1 : 0),
                           fine && !units[block.size()].group ? kUngroupedCopies : 1,
                           fine && order == 2 && !weights && quads_available(), order == 4);
    }
    std::vector<std::int32_t> cells(static_cast<size_t>(kBlockRows));
    for (std::int64_t begin = 0; begin < n_rows; begin += kBlockRows) {
        const std::int64_t end = std::min(n_rows, begin + kBlockRows);
        for (size_t k = 0; k < units.size(); ++k) {
            BlockSums& acc = block[k];
            if (cuts[k].has_table()) {
                by_weights_and_order(weights != nullptr, order, [&](auto weighted, auto ord) {
                    block_add_fine<decltype(weighted)::value, decltype(ord)::value>(units[k], cuts[k], begin, end,
                                                                                   scores, weights, acc);
                });
                acc.fold(out[k], weights != nullptr, order);
                continue;
            }
            block_cells(units[k], *layouts[k], cuts[k], begin, end, cells.data());
            if (units[k].bins && !units[k].group) {
                const auto n_bins = static_cast<std::uint32_t>(layouts[k]->offsets[1]);
                for (std::int64_t r = begin; r < end; ++r) {
                    const std::int32_t c = cells[r - begin];
                    units[k].bins[r] = static_cast<std::uint32_t>(c) < n_bins ? c : -1;
                }
            }
            by_weights_and_order(weights != nullptr, order, [&](auto weighted, auto ord) {
                block_add<decltype(weighted)::value, decltype(ord)::value>(cells.data(), begin, end, scores, weights,
                                                                           acc);
            });
            acc.fold(out[k], weights != nullptr, order);
        }
    }
    return out;
}

}  // namespace tamrel
