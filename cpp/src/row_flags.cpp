#include "tamrel/row_flags.hpp"

#include <algorithm>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define TAMREL_X86_DISPATCH 1
#include <immintrin.h>
#endif

namespace tamrel {

namespace {

void flag_plain(const std::int32_t* group, const std::uint16_t* fine, std::int64_t begin, std::int64_t end,
                const std::int32_t* low, const std::int32_t* high, std::int64_t n_groups, std::uint64_t* words) {
    const auto n = static_cast<std::uint64_t>(n_groups);
    // a word at a time in a register, so that no row waits on the last one's store
    for (std::int64_t w0 = begin; w0 < end; w0 += 64) {
        std::uint64_t bits = 0;
        for (std::int64_t r = w0; r < std::min(end, w0 + 64); ++r) {
            const auto g = static_cast<std::uint64_t>(static_cast<std::int64_t>(group[r]));
            if (g >= n) continue;
            const std::int32_t f = fine[r];
            bits |= static_cast<std::uint64_t>((f <= low[g]) | (f >= high[g])) << (r - w0);
        }
        words[(w0 - begin) >> 6] = bits;
    }
}

#ifdef TAMREL_X86_DISPATCH
// Up to 16 groups: the group's codes come from two registers by permutes (gathers are slow
// on many processors), eight rows at a time; rows without a group read codes that pass.
constexpr std::int64_t kRegisterGroups = 15;

// The flags of eight rows, by their group's codes from two registers of sixteen.
__attribute__((target("avx2"))) inline std::uint64_t outside8(const std::int32_t* group, const std::uint16_t* fine,
                                                             __m256i last, __m256i seven, __m256i lo0, __m256i lo1,
                                                             __m256i hi0, __m256i hi1) {
    // codes beyond the groups (and -1, as unsigned) read entry n_groups, which passes
    const __m256i g = _mm256_min_epu32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(group)), last);
    const __m256i f = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(fine)));
    const __m256i upper = _mm256_cmpgt_epi32(g, seven);
    const __m256i l = _mm256_blendv_epi8(_mm256_permutevar8x32_epi32(lo0, g), _mm256_permutevar8x32_epi32(lo1, g), upper);
    const __m256i h = _mm256_blendv_epi8(_mm256_permutevar8x32_epi32(hi0, g), _mm256_permutevar8x32_epi32(hi1, g), upper);
    const __m256i inside = _mm256_and_si256(_mm256_cmpgt_epi32(f, l), _mm256_cmpgt_epi32(h, f));
    return static_cast<std::uint64_t>(~_mm256_movemask_ps(_mm256_castsi256_ps(inside)) & 0xFF);
}

__attribute__((target("avx2"))) void flag_avx2(const std::int32_t* group, const std::uint16_t* fine,
                                               std::int64_t begin, std::int64_t end, const std::int32_t* low,
                                               const std::int32_t* high, std::int64_t n_groups,
                                               std::uint64_t* words) {
    alignas(32) std::int32_t lo[16], hi[16];
    for (int g = 0; g < 16; ++g) {
        lo[g] = g < n_groups ? low[g] : -1;
        hi[g] = g < n_groups ? high[g] : 1 << 30;
    }
    const __m256i lo0 = _mm256_load_si256(reinterpret_cast<const __m256i*>(lo));
    const __m256i lo1 = _mm256_load_si256(reinterpret_cast<const __m256i*>(lo + 8));
    const __m256i hi0 = _mm256_load_si256(reinterpret_cast<const __m256i*>(hi));
    const __m256i hi1 = _mm256_load_si256(reinterpret_cast<const __m256i*>(hi + 8));
    const __m256i last = _mm256_set1_epi32(static_cast<int>(n_groups));
    const __m256i seven = _mm256_set1_epi32(7);
    const std::int64_t n_words = (end - begin + 63) / 64;
    std::fill(words, words + n_words, std::uint64_t{0});
    std::int64_t r = begin;
    // whole words built in a register, so that no step waits on the last one's store
    for (; r + 64 <= end; r += 64) {
        std::uint64_t bits = 0;
        for (int k = 0; k < 8; ++k)
            bits |= outside8(group + r + 8 * k, fine + r + 8 * k, last, seven, lo0, lo1, hi0, hi1) << (8 * k);
        words[(r - begin) >> 6] = bits;
    }
    for (; r + 8 <= end; r += 8)
        words[(r - begin) >> 6] |= outside8(group + r, fine + r, last, seven, lo0, lo1, hi0, hi1) << ((r - begin) & 63);
    if (r < end) {
        std::uint64_t tail[1];
        flag_plain(group, fine, r, end, low, high, n_groups, tail);
        words[(r - begin) >> 6] |= tail[0] << ((r - begin) & 63);
    }
}

bool has_avx2() {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}
#endif

}  // namespace

void flag_outside(const std::int32_t* group, const std::uint16_t* fine, std::int64_t begin, std::int64_t end,
                  const std::int32_t* low, const std::int32_t* high, std::int64_t n_groups, std::uint64_t* words) {
#ifdef TAMREL_X86_DISPATCH
    if (n_groups <= kRegisterGroups && has_avx2()) {
        flag_avx2(group, fine, begin, end, low, high, n_groups, words);
        return;
    }
#endif
    flag_plain(group, fine, begin, end, low, high, n_groups, words);
}

}  // namespace tamrel
