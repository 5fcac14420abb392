// Early stopping of a boosting stage on held-out rows: which rounds a stage keeps.
//
// A round improves on the best held-out loss so far when it lowers it by more than
// `tolerance` times that loss (relative, so that one setting serves any scale of the
// target); a stage stops after `patience` rounds in a row without an improvement, or at
// `max_rounds`, and keeps the rounds up to its last improvement. Rounds that lower the loss
// by less than the tolerance are not kept: where the loss creeps down for hundreds of
// rounds, they would cost far more time than they give.
#pragma once

#include <cstdint>
#include <functional>

namespace tamrel::xgb2 {

struct StopRule {
    std::int64_t max_rounds;  // most rounds the stage boosts
    std::int64_t patience;    // rounds in a row without an improvement that end the stage
    double tolerance;         // an improvement lowers the best loss by more than this share of it
};

struct StageRun {
    std::int64_t kept;  // rounds up to the last improvement (0: none improved on the start)
    double best_loss;   // the held-out loss after the kept rounds (start_loss when none is kept)
    std::int64_t run;   // rounds boosted in all
};

// Whether `loss` improves on `best` by the rule (a NaN loss never does; any finite loss
// improves on an infinite best).
bool improves(double loss, double best, double tolerance);

// Whether the rule ends a stage after `run` (its patience or its rounds are spent).
bool stage_done(const StageRun& run, const StopRule& rule);

// Boosts round r = 0, 1, ... by calling boost_round(r), which returns the held-out loss
// after that round, until the rule stops the stage; start_loss is the held-out loss before
// the first round (infinity where there is none to beat).
StageRun boost_until_stop(const std::function<double(std::int64_t)>& boost_round, const StopRule& rule,
                          double start_loss);

}  // namespace tamrel::xgb2
