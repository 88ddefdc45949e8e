#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "core/normal.hpp"

namespace quorvel {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(Normal, ValuesAtNaNAndInfinities) {
    EXPECT_TRUE(std::isnan(normal_cdf(kNaN)));
    EXPECT_TRUE(std::isnan(normal_cdf(-kNaN)));
    EXPECT_EQ(normal_cdf(-kInf), 0.0);
    EXPECT_EQ(normal_cdf(kInf), 1.0);
    EXPECT_EQ(normal_cdf(0.0), 0.5);
    EXPECT_EQ(normal_cdf(-0.0), 0.5);
    EXPECT_EQ(normal_cdf(40.0), 1.0);
    EXPECT_LT(normal_cdf(-40.0), kProbFloor);
    EXPECT_TRUE(std::isnan(normal_pdf(kNaN)));
    EXPECT_EQ(normal_pdf(kInf), 0.0);
    EXPECT_EQ(normal_pdf(-kInf), 0.0);
}

// Reference values of the standard normal distribution, to 17 digits.
struct Point {
    double x, cdf, pdf;
};
class NormalPoints : public testing::TestWithParam<Point> {};

TEST_P(NormalPoints, MatchReference) {
    const Point p = GetParam();
    // Rounding x / sqrt 2 moves the cdf by about x^2 units in the last place.
    EXPECT_NEAR(normal_cdf(p.x), p.cdf, (2.0 + p.x * p.x) * 2.3e-16 * p.cdf);
    EXPECT_NEAR(normal_pdf(p.x), p.pdf, (2.0 + p.x * p.x) * 2.3e-16 * p.pdf);
    // Symmetry of the density is exact; of the cdf up to rounding.
    EXPECT_EQ(normal_pdf(-p.x), normal_pdf(p.x));
    EXPECT_NEAR(normal_cdf(p.x) + normal_cdf(-p.x), 1.0, 2.3e-16);
}

INSTANTIATE_TEST_SUITE_P(
    Table, NormalPoints,
    testing::Values(Point{0.0, 0.5, 0.39894228040143268},
                    Point{1.0, 0.84134474606854295, 0.24197072451914335},
                    Point{-1.0, 0.15865525393145705, 0.24197072451914335},
                    Point{1.959963984540054, 0.97499999999999999, 0.058445069805035382},
                    Point{-3.0, 0.0013498980316300945, 0.0044318484119380072},
                    Point{-8.0, 6.2209605742717841e-16, 5.0522710835368923e-15},
                    Point{0.5, 0.6914624612740131, 0.35206532676429948}));

TEST(Normal, DensityUsesTheNearestSqrtTwoPi) {
    EXPECT_NE(kSqrt2Pi, std::sqrt(2.0 * 3.141592653589793));
    EXPECT_EQ(normal_pdf(0.0), 1.0 / kSqrt2Pi);
    EXPECT_EQ(normal_pdf(0.0) / 0.5, 0.7978845608028653);
    const Normal shifted{2.0, 3.0};
    EXPECT_EQ(shifted.cdf(2.0), 0.5);
    EXPECT_DOUBLE_EQ(shifted.pdf(-1.0), normal_pdf(-1.0) / 3.0);
}

TEST(Normal, ClipProbability) {
    std::uint64_t bits;
    std::memcpy(&bits, &kProbCeiling, sizeof bits);
    EXPECT_EQ(bits, 0x3FEFFFFFFFFFFFF7u);
    const struct {
        double in, out;
    } cases[] = {{kNaN, kProbFloor},  {-kNaN, kProbFloor},  {0.0, kProbFloor},
                 {-1.0, kProbFloor},  {1e-16, kProbFloor},  {1e-15, 1e-15},
                 {0.3, 0.3},          {1.0, kProbCeiling},  {kInf, kProbCeiling},
                 {-kInf, kProbFloor}, {0.999999999999999, kProbCeiling}};
    for (const auto& c : cases) EXPECT_EQ(clip_probability(c.in), c.out) << c.in;
    EXPECT_EQ(std::log(kProbFloor), -34.538776394910684);
    EXPECT_EQ(std::log(kProbCeiling), -9.992007221626415e-16);
}

}  // namespace
}  // namespace quorvel
