// Rank sums of the rows of many sets in one pass over the rows in score order: the AUC of
// each cell or region and the sums that DeLong's variance needs.
#include <vector>

#include "tamrel/scan.hpp"

namespace tamrel {

namespace {

// What one set has seen so far in the pass: the weight of its positive and negative rows
// scored below the current score, and of those tied with it.
struct Seen {
    double pos = 0.0, neg = 0.0, tied_pos = 0.0, tied_neg = 0.0;
};

// A row's own term: its weight w and the weight x of the other class below it (plus half
// the tied weight).
inline void add_term(RankSums& r, bool positive, double w, double x) {
    if (positive) {
        ++r.n_pos;
        r.w_pos += w;
        r.w2_pos += w * w;
        r.c1 += w * x;
        r.c2 += w * x * x;
    } else {
        ++r.n_neg;
        r.w_neg += w;
        r.w2_neg += w * w;
        r.b1 += w * x;
        r.b2 += w * x * x;
    }
}

}  // namespace

std::vector<RankSums> rank_sums(const std::int64_t* order, std::int64_t n_rows, const double* scores,
                                const std::uint8_t* positive, const double* weights, const std::int32_t* set,
                                std::int64_t n_sets) {
    std::vector<RankSums> out(static_cast<size_t>(n_sets));
    std::vector<Seen> seen(static_cast<size_t>(n_sets));
    auto weight = [&](std::int64_t r) { return weights ? weights[r] : 1.0; };
    for (std::int64_t a = 0; a < n_rows;) {
        std::int64_t b = a + 1;
        while (b < n_rows && scores[order[b]] == scores[order[a]]) ++b;
        if (b == a + 1) {  // no tie: the row against what its set has seen
            const std::int64_t r = order[a];
            const std::int32_t k = set[r];
            if (k >= 0) {
                Seen& s = seen[k];
                const double w = weight(r);
                if (positive[r]) {
                    add_term(out[k], true, w, s.neg);
                    s.pos += w;
                } else {
                    add_term(out[k], false, w, s.pos);
                    s.neg += w;
                }
            }
            a = b;
            continue;
        }
        // a run of tied scores: half credit for the other class tied within the set
        for (std::int64_t i = a; i < b; ++i) {
            const std::int32_t k = set[order[i]];
            if (k < 0) continue;
            (positive[order[i]] ? seen[k].tied_pos : seen[k].tied_neg) += weight(order[i]);
        }
        for (std::int64_t i = a; i < b; ++i) {
            const std::int64_t r = order[i];
            const std::int32_t k = set[r];
            if (k < 0) continue;
            const Seen& s = seen[k];
            const bool pos = positive[r] != 0;
            add_term(out[k], pos, weight(r), pos ? s.neg + 0.5 * s.tied_neg : s.pos + 0.5 * s.tied_pos);
        }
        for (std::int64_t i = a; i < b; ++i) {
            const std::int32_t k = set[order[i]];
            if (k < 0) continue;
            Seen& s = seen[k];
            s.pos += s.tied_pos;
            s.neg += s.tied_neg;
            s.tied_pos = s.tied_neg = 0.0;
        }
        a = b;
    }
    return out;
}

}  // namespace tamrel
