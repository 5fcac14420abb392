// Early stopping of a boosting stage on held-out rows.
#include "tamrel/xgb2/early_stop.hpp"

#include <cmath>
#include <stdexcept>

namespace tamrel::xgb2 {

bool improves(double loss, double best, double tolerance) {
    // A NaN loss fails both comparisons, so it never improves.
    if (std::isinf(best)) return loss < best;
    return loss < best - tolerance * std::fabs(best);
}

bool stage_done(const StageRun& run, const StopRule& rule) {
    return run.run >= rule.max_rounds || run.run - run.kept >= rule.patience;
}

StageRun boost_until_stop(const std::function<double(std::int64_t)>& boost_round, const StopRule& rule,
                          double start_loss) {
    if (rule.max_rounds < 1 || rule.patience < 1 || !(rule.tolerance >= 0.0))
        throw std::invalid_argument("early stopping needs max_rounds and patience of at least 1 and a tolerance >= 0");
    StageRun out{0, start_loss, 0};
    for (std::int64_t r = 0; !stage_done(out, rule); ++r) {
        const double loss = boost_round(r);
        out.run = r + 1;
        if (improves(loss, out.best_loss, rule.tolerance)) {
            out.kept = r + 1;
            out.best_loss = loss;
        }
    }
    return out;
}

}  // namespace tamrel::xgb2
