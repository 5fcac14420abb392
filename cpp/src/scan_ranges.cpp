// The scan's ranges pass: per unit and group, the range sketch of the cut's values.
#include <algorithm>
#include <cmath>
#include <limits>

#include "tamrel/fine_codes.hpp"
#include "tamrel/scan.hpp"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace tamrel {

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

// unit_ranges from fine codes (shared_cut_ranges): a row's value is read only when its code
// reaches the group's extreme codes so far (NaN's code is beyond them all) or the group
// still gathers distinct values; every other value lies strictly between the group's
// minimum and maximum. Counts come from the group sizes at the end.
struct FineRanges {
    std::vector<std::int32_t> lo, hi;  // codes of the group's minimum and maximum so far
    std::vector<char> open;

    explicit FineRanges(const std::vector<RangeSketch>& sketches)
        : lo(sketches.size(), kFineCodes), hi(sketches.size(), -1), open(sketches.size()) {
        for (size_t g = 0; g < sketches.size(); ++g) open[g] = sketches[g].cap > 0;
    }

    // The low code as tested: above every code while the group gathers distinct values.
    std::int32_t low(size_t g) const { return open[g] ? kFineCodes + 1 : lo[g]; }

    // Row r of a unit, unless its group is left out or (small_too false) small.
    void visit(const UnitInput& in, std::int64_t r, bool small_too, std::vector<RangeSketch>& out) {
        const auto g = in.group ? static_cast<std::uint64_t>(static_cast<std::int64_t>(in.group[r])) : 0;
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

// The ranges of a block of rows for units that share a numeric cut with fine codes: a row
// whose code lies strictly inside the code interval of every large group of every unit is
// inside them all, and is skipped at once; the others go through each unit; the rows of
// small groups come from their lists (from small_at on, which advances). A unit without
// grouping codes is one large group.
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

// Rows are taken in blocks, each block through every unit of the batch in turn, so that the
// shared codes of a block are read from memory once.
constexpr std::int64_t kBlockRows = 4096;

}  // namespace

std::vector<std::vector<RangeSketch>> batch_ranges(const std::vector<UnitInput>& units, std::int64_t n_rows,
                                                   std::int64_t cap) {
    std::vector<std::vector<RangeSketch>> out;
    std::vector<FineRanges> fine;
    // by fine codes when every unit has them (with its group sizes) on one cut column
    bool by_codes = !units.empty();
    for (const auto& in : units) {
        by_codes = by_codes && in.fine && in.grouping && in.fine == units[0].fine;
        out.emplace_back(static_cast<size_t>(in.n_groups), RangeSketch(cap));
        fine.emplace_back(out.back());
    }
    std::vector<size_t> small_at(units.size(), 0);
    for (std::int64_t begin = 0; begin < n_rows; begin += kBlockRows) {
        const std::int64_t end = std::min(n_rows, begin + kBlockRows);
        if (by_codes) {
            shared_cut_ranges(units, fine, begin, end, out, small_at);
            continue;
        }
        for (size_t k = 0; k < units.size(); ++k) unit_ranges(units[k], begin, end, out[k]);
    }
    for (size_t k = 0; k < units.size(); ++k) {
        if (by_codes) FineRanges::settle_counts(units[k], out[k]);
        for (auto& s : out[k]) s.settle();
    }
    return out;
}

}  // namespace tamrel
