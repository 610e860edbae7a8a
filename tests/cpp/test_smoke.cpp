#include <gtest/gtest.h>
#include "piecewise_polynomials.hpp"
TEST(Smoke, Builds) { EXPECT_EQ(tavo::LegendreBasis(1, 1, 1.0).degree(), 1u); }
