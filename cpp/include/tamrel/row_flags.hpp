// Rows whose fine code lies outside an open interval of codes of their group: the test that
// lets a pass skip most rows, vectorised where the processor allows (chosen at run time).
#pragma once

#include <cstdint>

namespace tamrel {

// Sets bit k of words[k / 64] for each row r = begin + k of [begin, end) whose group code g =
// group[r] is in 0 .. n_groups - 1 and whose fine code is not strictly between low[g] and
// high[g]; other bits are cleared. words holds (end - begin + 63) / 64 entries.
void flag_outside(const std::int32_t* group, const std::uint16_t* fine, std::int64_t begin, std::int64_t end,
                  const std::int32_t* low, const std::int32_t* high, std::int64_t n_groups, std::uint64_t* words);

}  // namespace tamrel
