#include "tamrel/scan.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <limits>
#include <stdexcept>
#include <mutex>
#include <thread>

#include "tamrel/row_flags.hpp"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace tamrel {

void parallel_for(std::int64_t n_tasks, int n_jobs, const std::function<void(std::int64_t)>& f) {
    const int workers = static_cast<int>(std::max<std::int64_t>(1, std::min<std::int64_t>(n_jobs, n_tasks)));
    std::atomic<std::int64_t> next{0};
    std::exception_ptr error;
    std::mutex error_lock;
    auto run = [&] {
        for (std::int64_t t = next++; t < n_tasks; t = next++) {
            try {
                f(t);
            } catch (...) {
                std::lock_guard<std::mutex> guard(error_lock);
                if (!error) error = std::current_exception();
                next = n_tasks;  // stop handing out tasks
            }
        }
    };
    if (workers == 1) {
        run();
    } else {
        std::vector<std::thread> threads;
        for (int k = 0; k < workers; ++k) threads.emplace_back(run);
        for (auto& t : threads) t.join();
    }
    if (error) std::rethrow_exception(error);
}

GroupRows group_rows_of(const std::int32_t* group, std::int64_t n_rows, std::int64_t n_groups) {
    GroupRows out;
    const auto n = static_cast<size_t>(n_groups);
    out.small.assign(n, 0);
    if (!group) {
        out.sizes.assign(n, n_rows);
        return out;
    }
    // small: few enough that visiting them costs little beside a pass over all rows; each
    // group's first rows are kept while it may still be small, in the one pass that counts
    const std::int64_t limit = std::max<std::int64_t>(16, n_rows / 256);
    out.sizes.assign(n, 0);
    std::vector<std::vector<std::int64_t>> first(n);
    for (std::int64_t r = 0; r < n_rows; ++r) {
        const auto g = static_cast<std::uint64_t>(static_cast<std::int64_t>(group[r]));
        if (g < n && ++out.sizes[g] <= limit) first[g].push_back(r);
    }
    for (size_t g = 0; g < n; ++g) {
        out.small[g] = out.sizes[g] > 0 && out.sizes[g] <= limit;
        if (out.small[g]) out.small_rows.insert(out.small_rows.end(), first[g].begin(), first[g].end());
    }
    std::sort(out.small_rows.begin(), out.small_rows.end());
    return out;
}

void RangeSketch::add(double v) {
    if (std::isnan(v)) {
        ++missing;
        return;
    }
    if (std::isinf(v)) {
        ++infinite;
        return;
    }
    if (count == 0) {
        min = max = v;
    } else {
        min = std::min(min, v);
        max = std::max(max, v);
    }
    ++count;
    keep(v);
}

void RangeSketch::keep(double v) {
    if (static_cast<std::int64_t>(distinct.size()) >= cap) return;
    if (v == 0.0) v = 0.0;
    if (cap > kSmallCap) {
        // many values kept: sorting in batches beats inserting in order
        pending_.push_back(v);
        if (static_cast<std::int64_t>(pending_.size()) >= std::max<std::int64_t>(kSmallCap, 2 * static_cast<std::int64_t>(distinct.size())))
            settle();
        return;
    }
    auto it = std::lower_bound(distinct.begin(), distinct.end(), v);
    if (it == distinct.end() || *it != v) distinct.insert(it, v);
}

void RangeSketch::settle() {
    if (pending_.empty()) return;
    std::sort(pending_.begin(), pending_.end());
    std::vector<double> both;
    std::set_union(distinct.begin(), distinct.end(), pending_.begin(), pending_.end(), std::back_inserter(both));
    both.erase(std::unique(both.begin(), both.end()), both.end());
    if (static_cast<std::int64_t>(both.size()) > cap) both.resize(static_cast<size_t>(cap));
    distinct.swap(both);
    pending_.clear();
}

void RangeSketch::merge(const RangeSketch& o) {
    settle();
    if (o.count > 0) {
        min = count ? std::min(min, o.min) : o.min;
        max = count ? std::max(max, o.max) : o.max;
    }
    count += o.count;
    missing += o.missing;
    infinite += o.infinite;
    pending_.insert(pending_.end(), o.distinct.begin(), o.distinct.end());
    pending_.insert(pending_.end(), o.pending_.begin(), o.pending_.end());
    settle();
}

ColumnSummary RangeSketch::summary() const {
    ColumnSummary s;
    s.min = min;
    s.max = max;
    s.finite = infinite == 0;
    s.n_distinct = static_cast<std::int64_t>(distinct.size());
    return s;
}

namespace {

void unit_ranges(const UnitInput& in, std::int64_t begin, std::int64_t end, std::vector<RangeSketch>& out) {
    // Ranges and counts in flat arrays for the block; the distinct values only of the
    // groups that do not yet hold all they keep.
    constexpr double inf = std::numeric_limits<double>::infinity();
    const size_t n = out.size();
    std::vector<double> lo(n), hi(n);
    std::vector<std::int64_t> count(n);
    std::vector<char> open(n);
    for (size_t g = 0; g < n; ++g) {
        const RangeSketch& s = out[g];
        lo[g] = s.count ? s.min : inf;
        hi[g] = s.count ? s.max : -inf;
        count[g] = s.count;
        open[g] = static_cast<std::int64_t>(s.distinct.size()) < s.cap;
    }
    const auto n_groups = static_cast<std::uint64_t>(in.n_groups);
    const std::int32_t* group = in.group;
    const double* num = in.num;
    double *const l = lo.data(), *const h = hi.data();
    std::int64_t* const c = count.data();
    for (std::int64_t r = begin; r < end; ++r) {
        const std::int64_t g = group ? group[r] : 0;
        if (static_cast<std::uint64_t>(g) >= n_groups) continue;
        const double v = num[r];
        if (v - v == 0.0) {  // finite
            l[g] = std::min(l[g], v);
            h[g] = std::max(h[g], v);
            ++c[g];
            if (open[g]) out[g].keep(v);
        } else {
            ++(std::isnan(v) ? out[g].missing : out[g].infinite);
        }
    }
    for (size_t g = 0; g < n; ++g) {
        RangeSketch& s = out[g];
        s.count = count[g];
        if (s.count) {
            s.min = lo[g];
            s.max = hi[g];
        }
    }
}

// Position of the lowest set bit of a nonzero word.
inline std::int64_t lowest_bit(std::uint64_t bits) {
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_ctzll(bits);
#else
    std::int64_t k = 0;
    while (!(bits & 1)) {
        bits >>= 1;
        ++k;
    }
    return k;
#endif
}

// unit_ranges from fine codes, over all the rows in blocks: a row's value is read only when
// its code reaches the group's extreme codes so far (NaN's code is beyond them all) or
// the group still gathers distinct values; every other value lies strictly between the
// group's minimum and maximum. Counts come from the group sizes at the end.
struct FineRanges {
    std::vector<std::int32_t> lo, hi;  // codes of the group's minimum and maximum so far
    std::vector<char> open;

    explicit FineRanges(const std::vector<RangeSketch>& sketches)
        : lo(sketches.size(), kFineCodes), hi(sketches.size(), -1), open(sketches.size()) {
        for (size_t g = 0; g < sketches.size(); ++g) open[g] = sketches[g].cap > 0;
    }

    void add(const UnitInput& in, std::int64_t begin, std::int64_t end, std::vector<RangeSketch>& out) {
        // the low code as tested: above every code while the group gathers distinct values
        const size_t n = lo.size();
        std::vector<std::int32_t> low(n);
        auto set_low = [&](size_t g) { low[g] = this->low(g); };
        for (size_t g = 0; g < n; ++g) set_low(g);
        if (!in.group) {
            for (std::int64_t r = begin; r < end; ++r) {
                const std::int32_t f = in.fine[r];
                if ((f <= low[0]) | (f >= hi[0])) {
                    slow(0, f, in.num[r], out[0]);
                    set_low(0);
                }
            }
            return;
        }
        // Rows flagged a chunk at a time by the codes at the chunk's start: the interval
        // between a group's codes only widens, so rows inside it stay inside.
        constexpr std::int64_t kChunk = 256;
        std::uint64_t words[kChunk / 64];
        for (std::int64_t c0 = begin; c0 < end; c0 += kChunk) {
            const std::int64_t c1 = std::min(end, c0 + kChunk);
            flag_outside(in.group, in.fine, c0, c1, low.data(), hi.data(), in.n_groups, words);
            for (std::int64_t w = 0; w < (c1 - c0 + 63) / 64; ++w) {
                for (std::uint64_t bits = words[w]; bits; bits &= bits - 1) {
                    const std::int64_t r = c0 + 64 * w + lowest_bit(bits);
                    const auto g = static_cast<size_t>(in.group[r]);
                    slow(static_cast<std::int64_t>(g), in.fine[r], in.num[r], out[g]);
                    set_low(g);
                }
            }
        }
    }

    // The low code as tested: above every code while the group gathers distinct values.
    std::int32_t low(size_t g) const { return open[g] ? kFineCodes + 1 : lo[g]; }

    // Row r of a grouped unit, unless its group is left out or (small_too false) small.
    void visit(const UnitInput& in, std::int64_t r, bool small_too, std::vector<RangeSketch>& out) {
        const auto g = static_cast<std::uint64_t>(static_cast<std::int64_t>(in.group[r]));
        if (g >= static_cast<std::uint64_t>(in.n_groups) || (!small_too && in.grouping->small[g])) return;
        const std::int32_t f = in.fine[r];
        if (f <= low(g) || f >= hi[g]) slow(static_cast<std::int64_t>(g), f, in.num[r], out[g]);
    }

    void slow(std::int64_t g, std::int32_t f, double v, RangeSketch& s) {
        if (f == kFineCodes) {
            ++s.missing;
            return;
        }
        if (std::isinf(v)) {  // at an end code, which every test reaches
            ++s.infinite;
            return;
        }
        if (hi[g] < 0) {  // the group's first value
            s.min = s.max = v;
        } else {
            s.min = std::min(s.min, v);
            s.max = std::max(s.max, v);
        }
        lo[g] = std::min(lo[g], f);
        hi[g] = std::max(hi[g], f);
        if (open[g]) {
            s.keep(v);
            open[g] = static_cast<std::int64_t>(s.distinct.size()) < s.cap;
        }
    }

    // Every row of a group holds a finite value, NaN or an infinite one (each of these met
    // on the slow path: NaN's code is beyond all, an infinite value's is an end code).
    static void settle_counts(const UnitInput& in, std::vector<RangeSketch>& out) {
        const auto& sizes = in.grouping->sizes;
        for (size_t g = 0; g < out.size(); ++g) out[g].count = sizes[g] - out[g].missing - out[g].infinite;
    }
};

// Bit r - w0 set for each row r of [w0, w1) (at most 64) whose code is not strictly between
// lo and hi (codes are at most kFineCodes, so compare as signed 16-bit numbers).
inline std::uint64_t codes_outside(const std::uint16_t* f, std::int64_t w0, std::int64_t w1, std::int32_t lo,
                                   std::int32_t hi) {
    std::uint64_t bits = 0;
    std::int64_t r = w0;
#ifdef __SSE2__
    const __m128i l = _mm_set1_epi16(static_cast<short>(lo)), h = _mm_set1_epi16(static_cast<short>(hi));
    for (; r + 16 <= w1; r += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(f + r));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(f + r + 8));
        const __m128i in_a = _mm_and_si128(_mm_cmpgt_epi16(a, l), _mm_cmplt_epi16(a, h));
        const __m128i in_b = _mm_and_si128(_mm_cmpgt_epi16(b, l), _mm_cmplt_epi16(b, h));
        const auto inside = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(in_a, in_b)));
        bits |= static_cast<std::uint64_t>(~inside & 0xFFFFu) << (r - w0);
    }
#endif
    for (; r < w1; ++r) bits |= static_cast<std::uint64_t>((f[r] <= lo) | (f[r] >= hi)) << (r - w0);
    return bits;
}

// The ranges of a block of rows for units that share a numeric cut with fine codes, each
// grouped: a row whose code lies strictly inside the code interval of every large group of
// every unit is inside them all, and is skipped at once; the others go through each unit;
// the rows of small groups come from their lists (from small_at on, which advances).
void shared_cut_ranges(const std::vector<UnitInput>& units, std::vector<FineRanges>& fine, std::int64_t begin,
                       std::int64_t end, std::vector<std::vector<RangeSketch>>& out, std::vector<size_t>& small_at) {
    // the common interval (lo_all, hi_all), never holding NaN's code; taken again after
    // every run of 64 rows whose visits may have widened it
    std::int32_t lo_all = -1, hi_all = kFineCodes;
    auto common = [&] {
        lo_all = -1;
        hi_all = kFineCodes;
        for (size_t k = 0; k < units.size(); ++k) {
            const GroupRows& gr = *units[k].grouping;
            for (size_t g = 0; g < gr.sizes.size(); ++g) {
                if (gr.sizes[g] == 0 || gr.small[g]) continue;
                lo_all = std::max(lo_all, fine[k].low(g));
                hi_all = std::min(hi_all, fine[k].hi[g]);
            }
        }
    };
    common();
    const std::uint16_t* f = units[0].fine;
    for (std::int64_t w0 = begin; w0 < end; w0 += 64) {
        const std::int64_t w1 = std::min(end, w0 + 64);
        std::uint64_t bits = codes_outside(f, w0, w1, lo_all, hi_all);
        if (!bits) continue;
        for (; bits; bits &= bits - 1) {
            const std::int64_t r = w0 + lowest_bit(bits);
            for (size_t k = 0; k < units.size(); ++k) fine[k].visit(units[k], r, false, out[k]);
        }
        common();
    }
    for (size_t k = 0; k < units.size(); ++k) {
        const auto& rows = units[k].grouping->small_rows;
        size_t& at = small_at[k];
        for (; at < rows.size() && rows[at] < end; ++at) fine[k].visit(units[k], rows[at], true, out[k]);
    }
}

}  // namespace

UnitLayout numeric_layout(const std::vector<RangeSketch>& sketches, std::int64_t max_bins, bool missing_cell) {
    UnitLayout l;
    l.numeric = true;
    l.missing_cell = missing_cell;
    const size_t n = sketches.size();
    l.edges.resize(n);
    l.lo.assign(n, 0.0);
    l.hi.assign(n, 0.0);
    l.offsets.assign(n + 1, 0);
    for (size_t g = 0; g < n; ++g) {
        const RangeSketch& s = sketches[g];
        if (s.count > 0) {
            l.edges[g] = bin_edges(s.summary(), max_bins);
            l.lo[g] = s.min;
            l.hi[g] = s.max;
        }
        const std::int64_t bins = l.edges[g].empty() ? 0 : static_cast<std::int64_t>(l.edges[g].size()) - 1;
        l.offsets[g + 1] = l.offsets[g] + bins;
    }
    return l;
}

UnitLayout categorical_layout(std::int64_t n_groups, std::int64_t n_cat, bool missing_cell) {
    UnitLayout l;
    l.numeric = false;
    l.n_cat = n_cat;
    l.missing_cell = missing_cell;
    l.offsets.resize(static_cast<size_t>(n_groups + 1));
    for (std::int64_t g = 0; g <= n_groups; ++g) l.offsets[g] = g * n_cat;
    return l;
}

void gather_columns(const double* x, std::int64_t row_stride, std::int64_t col_stride, const std::int64_t* rows,
                    std::int64_t m, const std::vector<std::int64_t>& cols, double* out, int n_jobs) {
    constexpr std::int64_t kRows = 1 << 14;
    const std::int64_t p = static_cast<std::int64_t>(cols.size());
    parallel_for((m + kRows - 1) / kRows, n_jobs, [&](std::int64_t t) {
        const std::int64_t end = std::min(m, (t + 1) * kRows);
        for (std::int64_t k = t * kRows; k < end; ++k) {
            const double* row = x + rows[k] * row_stride;
            for (std::int64_t j = 0; j < p; ++j) out[j * m + k] = row[cols[j] * col_stride];
        }
    });
}

void bin_codes(const double* x, std::int64_t n_rows, const std::vector<double>& edges, double lo, double hi,
               std::int32_t* out, const std::uint16_t* fine, const FineGrid& grid) {
    if (edges.empty()) {
        std::fill(out, out + n_rows, -1);
        return;
    }
    const BinLocator locate(edges);
    auto exact = [&](double v) {
        return (v >= lo && v <= hi) ? static_cast<std::int32_t>(locate(v)) : -1;  // NaN fails both
    };
    if (!fine) {
        for (std::int64_t r = 0; r < n_rows; ++r) out[r] = exact(x[r]);
        return;
    }
    const auto n_bins = static_cast<std::int64_t>(edges.size()) - 1;
    const auto table = fine_table({edges}, {lo}, {hi}, {0, n_bins}, -1, -1, grid);
    for (std::int64_t r = 0; r < n_rows; ++r) {
        const std::int32_t c = table[fine[r]];
        out[r] = c == kFineAmbiguous ? exact(x[r]) : c;
    }
}

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
    // A pass with moments but no weights, where the processor adds four doubles at once,
    // keeps {n, s, s^2, 0} per cell instead: one addition per row.
    std::vector<double> quads;
    // `copies` sets of the cells, rows taken by turns: with few cells, runs of rows in one
    // cell would otherwise each wait on the last one's sum. Folded set after set.
    size_t stride;

    BlockSums(size_t n, size_t copies, bool use_quads = false)
        : ns(n * copies), w(n * copies), m(n * copies), quads(use_quads ? 4 * n * copies : 0), stride(n) {
        for (size_t k = 0; k < ns.size(); ++k) ns[k] = w[k] = m[k] = Pair{0.0, 0.0};
    }

    // The cells of `out` (a block may hold one more, for rows left out).
    void fold(std::vector<CellSums>& out, bool weighted, bool moments) {
        for (size_t k = 0; k < ns.size(); k += stride)
            for (size_t c = 0; c < out.size(); ++c) fold_cell(k + c, out[c], weighted, moments);
    }

    void fold_cell(size_t i, CellSums& o, bool weighted, bool moments) {
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
        if (weighted) {
            o.w.add(w[i][0]);
            o.ws.add(w[i][1]);
            o.ws2 += m[i][0];
            o.w2 += m[i][1];
            w[i] = m[i] = Pair{0.0, 0.0};
        } else if (moments) {
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
    explicit Planes(BlockSums& b) : ns(b.ns.data()), w(b.w.data()), m(b.m.data()) {}
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
    std::vector<std::int16_t> table;  // fine_table, when the unit has fine codes
    // the table in bytes (kNarrowAmbiguous for kFineAmbiguous) when every cell fits, as in
    // most units: half the table, which the loop reads at random, stays in the first cache
    std::vector<std::uint8_t> narrow;
    std::int32_t left_out = 0;        // the extra cell that takes the rows left out
};

constexpr std::uint8_t kNarrowAmbiguous = 255;

// The table's marker of a code that holds an edge or a range bound, by entry type.
template <class Entry>
constexpr std::int32_t ambiguous_entry() {
    return sizeof(Entry) == 1 ? kNarrowAmbiguous : kFineAmbiguous;
}

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
        cut.table = fine_table(layout.edges, layout.lo, layout.hi, layout.offsets, missing, cut.left_out, in.grid);
        if (cut.left_out < kNarrowAmbiguous) {
            cut.narrow.resize(cut.table.size());
            for (size_t k = 0; k < cut.table.size(); ++k)
                cut.narrow[k] = cut.table[k] == kFineAmbiguous ? kNarrowAmbiguous : static_cast<std::uint8_t>(cut.table[k]);
        }
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

// One row's score (and weight) added to cell i's block sums.
template <bool Weighted, bool Moments>
inline void add_row(const Planes& p, size_t i, const double* scores, const double* weights, std::int64_t r) {
    const double sv = scores[r];
    p.ns[i] += Pair{1.0, sv};
    if (Weighted) {
        const double wv = weights[r];
        p.w[i] += Pair{wv, wv * sv};
        if (Moments) p.m[i] += Pair{wv * sv * sv, wv * wv};
    } else if (Moments) {
        p.m[i] += Pair{sv * sv, 0.0};
    }
}

template <bool Weighted, bool Moments>
void block_add(const std::int32_t* cells, std::int64_t begin, std::int64_t end, const double* scores,
               const double* weights, BlockSums& out) {
    const Planes acc(out);
    for (std::int64_t r = begin; r < end; ++r) {
        const std::int32_t c = cells[r - begin];
        if (c >= 0) add_row<Weighted, Moments>(acc, static_cast<size_t>(c), scores, weights, r);
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

// Quads: the cells are BlockSums::quads (a pass with moments, without weights).
template <class Entry, bool Grouped, bool Weighted, bool Moments, bool Quads = false>
TAMREL_ALWAYS_INLINE void fine_rows(const UnitInput& in, const NumericCut& cut, const Entry* const table,
                                    std::int64_t begin, std::int64_t end, const double* scores,
                                    const double* weights, BlockSums& out) {
    // a unit alone (few cells) adds its rows into four sets, a grouped unit into one
    constexpr size_t copy_mask = Grouped ? 0 : kUngroupedCopies - 1;
    const Planes acc(out);
    double* const quads = out.quads.data();
    const size_t stride = out.stride;
    // everything the loop reads in locals: the stores to acc cannot change them
    const std::int32_t* const group = in.group;
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
        const std::uint32_t g = Grouped ? std::min(static_cast<std::uint32_t>(group[r]), n_groups) : 0;
        std::int32_t c = table[g * static_cast<std::uint32_t>(kFineCodes + 1) + fine[r]];
        if (c == ambiguous_entry<Entry>()) {
            const double v = num[r];
            const FlatBins& b = groups[g];
            c = v >= b.lo && v <= b.hi ? static_cast<std::int32_t>(b.offset + b.locate(v)) : left_out;
        }
        if (!Grouped && bins) bins[r] = static_cast<std::uint32_t>(c) < n_bins ? c : -1;
        const size_t i = (static_cast<size_t>(r) & copy_mask) * stride + static_cast<size_t>(c);
        if (Quads)
            add_quad(quads + 4 * i, scores[r]);
        else
            add_row<Weighted, Moments>(acc, i, scores, weights, r);
    }
}

#ifdef TAMREL_QUADS
// fine_rows into quads, compiled for AVX (chosen at run time).
template <class Entry, bool Grouped>
__attribute__((target("avx"))) void fine_quads(const UnitInput& in, const NumericCut& cut, const Entry* const table,
                                               std::int64_t begin, std::int64_t end, const double* scores,
                                               BlockSums& out) {
    fine_rows<Entry, Grouped, false, true, true>(in, cut, table, begin, end, scores, nullptr, out);
}
#endif

// fine_rows by the table's width and the unit's grouping.
template <bool Weighted, bool Moments>
void fine_rows_of(const UnitInput& in, const NumericCut& cut, std::int64_t begin, std::int64_t end,
                  const double* scores, const double* weights, BlockSums& out) {
    const bool narrow = !cut.narrow.empty();
    if (in.group && narrow)
        fine_rows<std::uint8_t, true, Weighted, Moments>(in, cut, cut.narrow.data(), begin, end, scores, weights, out);
    else if (in.group)
        fine_rows<std::int16_t, true, Weighted, Moments>(in, cut, cut.table.data(), begin, end, scores, weights, out);
    else if (narrow)
        fine_rows<std::uint8_t, false, Weighted, Moments>(in, cut, cut.narrow.data(), begin, end, scores, weights, out);
    else
        fine_rows<std::int16_t, false, Weighted, Moments>(in, cut, cut.table.data(), begin, end, scores, weights, out);
}

// block_cells and block_add in one loop, for a numeric cut with a fine table: the cell
// from the table, the value read only where the table cannot tell; rows left out add
// to the extra cell, so that the loop does not branch on them.
template <bool Weighted, bool Moments>
void block_add_fine(const UnitInput& in, const NumericCut& cut, std::int64_t begin, std::int64_t end,
                    const double* scores, const double* weights, BlockSums& out) {
#ifdef TAMREL_QUADS
    if (!out.quads.empty()) {
        const bool narrow = !cut.narrow.empty();
        if (in.group && narrow)
            fine_quads<std::uint8_t, true>(in, cut, cut.narrow.data(), begin, end, scores, out);
        else if (in.group)
            fine_quads<std::int16_t, true>(in, cut, cut.table.data(), begin, end, scores, out);
        else if (narrow)
            fine_quads<std::uint8_t, false>(in, cut, cut.narrow.data(), begin, end, scores, out);
        else
            fine_quads<std::int16_t, false>(in, cut, cut.table.data(), begin, end, scores, out);
        return;
    }
#endif
    fine_rows_of<Weighted, Moments>(in, cut, begin, end, scores, weights, out);
}

}  // namespace

namespace {

// Rows are taken in blocks, each block through every unit of the batch in turn, so that the
// shared grouping codes, scores and weights of a block are read from memory once.
constexpr std::int64_t kBlockRows = 4096;

}  // namespace

std::vector<std::vector<RangeSketch>> batch_ranges(const std::vector<UnitInput>& units, std::int64_t n_rows,
                                                   std::int64_t cap) {
    std::vector<std::vector<RangeSketch>> out;
    std::vector<FineRanges> fine;
    std::vector<char> by_codes;  // fine codes and group sizes at hand
    bool shared = !units.empty();  // all grouped on one cut's fine codes
    for (const auto& in : units) {
        by_codes.push_back(in.fine && in.grouping);
        shared = shared && by_codes.back() && in.group && in.fine == units[0].fine;
        out.emplace_back(static_cast<size_t>(in.n_groups), RangeSketch(cap));
        fine.emplace_back(by_codes.back() ? out.back() : std::vector<RangeSketch>());
    }
    std::vector<size_t> small_at(units.size(), 0);
    for (std::int64_t begin = 0; begin < n_rows; begin += kBlockRows) {
        const std::int64_t end = std::min(n_rows, begin + kBlockRows);
        if (shared) {
            shared_cut_ranges(units, fine, begin, end, out, small_at);
            continue;
        }
        for (size_t k = 0; k < units.size(); ++k) {
            if (by_codes[k])
                fine[k].add(units[k], begin, end, out[k]);
            else
                unit_ranges(units[k], begin, end, out[k]);
        }
    }
    for (size_t k = 0; k < units.size(); ++k) {
        if (by_codes[k]) FineRanges::settle_counts(units[k], out[k]);
        for (auto& s : out[k]) s.settle();
    }
    return out;
}

std::vector<std::vector<CellSums>> batch_sums(const std::vector<UnitInput>& units,
                                              const std::vector<const UnitLayout*>& layouts, std::int64_t n_rows,
                                              const double* scores, const double* weights, bool moments) {
    std::vector<std::vector<CellSums>> out;
    std::vector<NumericCut> cuts;
    std::vector<BlockSums> block;
    cuts.reserve(layouts.size());
    for (const UnitLayout* l : layouts) {
        // cells are numbered in int32 in the block loop
        if (l->n_cells() > std::numeric_limits<std::int32_t>::max()) throw std::length_error("too many cells in a scan unit.");
        cuts.push_back(l->numeric ? numeric_cut(*l, units[cuts.size()]) : NumericCut());
        out.emplace_back(static_cast<size_t>(l->n_cells()));
        const bool fine = !cuts.back().table.empty();
        block.emplace_back(static_cast<size_t>(l->n_cells()) + (fine ? 1 : 0),
                           fine && !units[block.size()].group ? kUngroupedCopies : 1,
                           fine && moments && !weights && quads_available());
    }
    std::vector<std::int32_t> cells(static_cast<size_t>(kBlockRows));
    for (std::int64_t begin = 0; begin < n_rows; begin += kBlockRows) {
        const std::int64_t end = std::min(n_rows, begin + kBlockRows);
        for (size_t k = 0; k < units.size(); ++k) {
            BlockSums& acc = block[k];
            if (!cuts[k].table.empty()) {
                if (weights) {
                    moments ? block_add_fine<true, true>(units[k], cuts[k], begin, end, scores, weights, acc)
                            : block_add_fine<true, false>(units[k], cuts[k], begin, end, scores, weights, acc);
                } else {
                    moments ? block_add_fine<false, true>(units[k], cuts[k], begin, end, scores, weights, acc)
                            : block_add_fine<false, false>(units[k], cuts[k], begin, end, scores, weights, acc);
                }
                acc.fold(out[k], weights != nullptr, moments);
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
            if (weights) {
                moments ? block_add<true, true>(cells.data(), begin, end, scores, weights, acc)
                        : block_add<true, false>(cells.data(), begin, end, scores, weights, acc);
            } else {
                moments ? block_add<false, true>(cells.data(), begin, end, scores, weights, acc)
                        : block_add<false, false>(cells.data(), begin, end, scores, weights, acc);
            }
            acc.fold(out[k], weights != nullptr, moments);
        }
    }
    return out;
}

namespace {

double cell_mean(const CellSums& c, bool weighted) { return slice_mean(c.ws, c.w, c.s, c.count, weighted); }

bool weak_cell(const CellSums& c, bool weighted, const WeakTest& weak, double min_samples) {
    return c.count > 0 && min_samples <= static_cast<double>(c.count) && weak(cell_mean(c, weighted));
}

// The histogram slicing of one group, on its cells.
void group_intervals(const UnitLayout& layout, std::int64_t g, const std::vector<CellSums>& sums, bool weighted,
                     const WeakTest& weak, double min_samples, std::vector<UnitRegion>& out) {
    const auto& edges = layout.edges[g];
    if (edges.empty()) return;
    const std::int64_t first = layout.offsets[g], n_bins = layout.offsets[g + 1] - first;
    BinSums bins(n_bins);
    for (std::int64_t b = 0; b < n_bins; ++b) {
        const CellSums& c = sums[first + b];
        bins.count[b] = c.count;
        bins.sum_s[b] = c.s;
        bins.sum_w[b] = c.w;
        bins.sum_ws[b] = c.ws;
    }
    HistogramSlices h;
    h.edges = edges;
    h.lbold = layout.lo[g];
    h.ubold = layout.hi[g];
    score_bins(bins, weighted, weak, h);
    if (h.weak_bins.empty()) return;
    merge_weak_bins(bins, weighted, min_samples, h);
    for (const SliceRule& r : h.regions) {
        // The bins a region covers, as range_sums reads them (a single bin covers all).
        std::int64_t lo = 0, hi = n_bins;
        if (n_bins > 1) {
            lo = std::lower_bound(edges.begin(), edges.end(), r.lb) - edges.begin();
            if (r.ub != h.ubold) hi = std::lower_bound(edges.begin(), edges.end(), r.ub) - edges.begin();
        }
        UnitRegion region;
        region.group = g;
        region.first_cell = first + lo;
        region.last_cell = first + std::min(hi, n_bins);
        region.lb = r.lb;
        region.ub = r.ub;
        out.push_back(region);
    }
}

}  // namespace

std::vector<UnitRegion> unit_regions(const UnitLayout& layout, const std::vector<CellSums>& sums, bool weighted,
                                     const WeakTest& weak, double min_samples) {
    std::vector<UnitRegion> out;
    const std::int64_t n_groups = static_cast<std::int64_t>(layout.offsets.size()) - 1;
    for (std::int64_t g = 0; g < n_groups; ++g) {
        if (layout.numeric) {
            group_intervals(layout, g, sums, weighted, weak, min_samples, out);
            continue;
        }
        for (std::int64_t c = 0; c < layout.n_cat; ++c) {
            const std::int64_t cell = layout.offsets[g] + c;
            if (!weak_cell(sums[cell], weighted, weak, min_samples)) continue;
            UnitRegion region;
            region.kind = RegionKind::category;
            region.group = g;
            region.first_cell = cell;
            region.last_cell = cell + 1;
            region.category = c;
            out.push_back(region);
        }
    }
    if (layout.missing_cell) {
        const std::int64_t cell = layout.offsets.back();
        if (weak_cell(sums[cell], weighted, weak, min_samples)) {
            UnitRegion region;
            region.kind = RegionKind::missing;
            region.first_cell = cell;
            region.last_cell = cell + 1;
            out.push_back(region);
        }
    }
    return out;
}

CellSums region_sums(const UnitRegion& region, const std::vector<CellSums>& sums) {
    CellSums total;
    for (std::int64_t c = region.first_cell; c < region.last_cell; ++c) total.merge(sums[c]);
    return total;
}

}  // namespace tamrel
