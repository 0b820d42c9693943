// Bit-for-bit comparison of two solves, for tests that replay the same
// computation another way (a sequence against its twin, a batch against a
// sequential loop).
#pragma once

#include <gtest/gtest.h>

#include "morva/solution.hpp"

namespace morva {

// Everything but the wall-clock time must agree bit for bit.
inline void expect_same_solution(const Solution& actual, const Solution& expected) {
  EXPECT_EQ(actual.status, expected.status);
  EXPECT_EQ(actual.x, expected.x);
  EXPECT_EQ(actual.dual, expected.dual);
  EXPECT_EQ(actual.objective, expected.objective);
  EXPECT_EQ(actual.residuals, expected.residuals);
  EXPECT_EQ(actual.iterations, expected.iterations);
  EXPECT_EQ(actual.final_rho, expected.final_rho);
  EXPECT_EQ(actual.rho_updates, expected.rho_updates);
  EXPECT_EQ(actual.polished, expected.polished);
  EXPECT_EQ(actual.diagnostics, expected.diagnostics);
  EXPECT_EQ(actual.certificate, expected.certificate);
}

}  // namespace morva
