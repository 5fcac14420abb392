// Compensated (Neumaier) summation: sums over millions of rows stay within a few ulps,
// well inside the agreement we promise with NumPy's pairwise sums.
#pragma once

#include <cmath>

namespace tamrel {

struct CompensatedSum {
    double sum = 0.0;
    double carry = 0.0;

    void add(double v) {
        const double t = sum + v;
        if (std::fabs(sum) >= std::fabs(v)) {
            carry += (sum - t) + v;
        } else {
            carry += (v - t) + sum;
        }
        sum = t;
    }
    void add(const CompensatedSum& other) {
        add(other.sum);
        add(other.carry);
    }
    double value() const { return sum + carry; }
};

}  // namespace tamrel
