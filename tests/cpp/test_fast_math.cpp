#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/fast_math.hpp"

namespace quorvel {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double erfc_of(double x) {
    double y;
    erfc_batch(&x, &y, 1);
    return y;
}
double log_of(double x) {
    double y;
    log_batch(&x, &y, 1);
    return y;
}

// Distance in units in the last place between two finite doubles of any sign.
std::int64_t ulps_apart(double a, double b) {
    auto key = [](double v) {
        std::int64_t i;
        std::memcpy(&i, &v, sizeof i);
        return i < 0 ? std::numeric_limits<std::int64_t>::min() - i : i;
    };
    const std::int64_t d = key(a) - key(b);
    return d < 0 ? -d : d;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Correctly rounded values (mpmath, 50 digits).
struct Point {
    double x, value;
};

class FastMathErfcPoints : public testing::TestWithParam<Point> {};
TEST_P(FastMathErfcPoints, WithinOneUlpOfCorrectlyRounded) {
    const Point p = GetParam();
    EXPECT_LE(ulps_apart(erfc_of(p.x), p.value), 1) << "x = " << p.x << " got " << erfc_of(p.x);
}
INSTANTIATE_TEST_SUITE_P(
    Table, FastMathErfcPoints,
    testing::Values(Point{1e-10, 0.999999999887162}, Point{-1e-10, 1.000000000112838},
                    Point{0.1, 0.887537083981715}, Point{-0.2, 1.2227025892104784},
                    Point{0.24999999999999997, 0.7236736098317631}, Point{0.25, 0.7236736098317631},
                    Point{-0.25, 1.276326390168237}, Point{0.3, 0.6713732405408726},
                    Point{0.5, 0.4795001221869535}, Point{1.0, 0.15729920705028513},
                    Point{1.5, 0.033894853524689274}, Point{2.0, 0.004677734981047266},
                    Point{3.0, 2.209049699858544e-05}, Point{4.0, 1.541725790028002e-08},
                    Point{-0.75, 1.7111556336535152}, Point{-1.0, 1.8427007929497148},
                    Point{-3.0, 1.9999779095030015}, Point{-5.9, 2.0}, Point{5.0, 1.537459794428035e-12},
                    Point{7.5, 2.776649386030569e-26}, Point{10.0, 2.088487583762545e-45},
                    Point{15.0, 7.212994172451207e-100}, Point{20.0, 5.395865611607901e-176},
                    Point{25.0, 8.300172571196523e-274}, Point{26.5, 2.2109076642637343e-307},
                    Point{26.6, 1.088512588544227e-309}, Point{27.0, 5.23705e-319},
                    Point{27.2, 1e-323}));

class FastMathLogPoints : public testing::TestWithParam<Point> {};
TEST_P(FastMathLogPoints, WithinOneUlpOfCorrectlyRounded) {
    const Point p = GetParam();
    EXPECT_LE(ulps_apart(log_of(p.x), p.value), 1) << "x = " << p.x << " got " << log_of(p.x);
}
INSTANTIATE_TEST_SUITE_P(
    Table, FastMathLogPoints,
    testing::Values(Point{5e-324, -744.4400719213812}, Point{2.2250738585072014e-308, -708.3964185322641},
                    Point{1e-300, -690.7755278982137}, Point{1e-05, -11.512925464970229},
                    Point{0.1, -2.3025850929940455}, Point{0.6855, -0.377606779979768},
                    Point{0.9, -0.10536051565782628}, Point{0.99609375, -0.003913899321136329},
                    Point{0.998046875, -0.0019550348358033506}, Point{0.999, -0.0010005003335835344},
                    Point{0.9999999999999999, -1.1102230246251565e-16},
                    Point{1.0000000000000002, 2.2204460492503128e-16}, Point{1.001, 0.0009995003330834232},
                    Point{1.0078125, 0.007782140442054949}, Point{1.3, 0.26236426446749106},
                    Point{1.5, 0.4054651081081644}, Point{2.0, 0.6931471805599453},
                    Point{10.0, 2.302585092994046}, Point{1e10, 23.025850929940457},
                    Point{1e300, 690.7755278982137}, Point{1.7976931348623157e308, 709.782712893384}));

TEST(FastMath, ErfcExactValues) {
    EXPECT_TRUE(std::isnan(erfc_of(kNaN)));
    EXPECT_TRUE(std::isnan(erfc_of(-kNaN)));
    const Point exact[] = {{kInf, 0.0},   {-kInf, 2.0}, {0.0, 1.0},   {-0.0, 1.0},   {1e-300, 1.0},
                           {-1e-300, 1.0}, {28.0, 0.0}, {1e300, 0.0}, {-6.0, 2.0},   {-27.0, 2.0},
                           {-1e300, 2.0}, {27.3, 0.0},  {5e-324, 1.0}, {-5e-324, 1.0}};
    for (const Point& p : exact) EXPECT_EQ(erfc_of(p.x), p.value) << "x = " << p.x;
}

TEST(FastMath, LogExactValues) {
    EXPECT_TRUE(std::isnan(log_of(kNaN)));
    EXPECT_TRUE(std::isnan(log_of(-1.0)));
    EXPECT_TRUE(std::isnan(log_of(-kInf)));
    EXPECT_TRUE(std::isnan(log_of(-5e-324)));
    EXPECT_EQ(log_of(0.0), -kInf);
    EXPECT_EQ(log_of(-0.0), -kInf);
    EXPECT_EQ(log_of(kInf), kInf);
    EXPECT_TRUE(same_bits(log_of(1.0), 0.0));
    // Values other code relies on bit for bit.
    EXPECT_EQ(log_of(0.5), -0.6931471805599453);
    EXPECT_EQ(log_of(1e-15), -34.538776394910684);
    EXPECT_EQ(log_of(0.999999999999999), -9.992007221626415e-16);
}

// glibc's erfc is within 3 ulp, its log within 1: a sweep through every
// interval of both tables finds any piece that is badly off.
TEST(FastMath, SweepsAgreeWithTheStandardLibrary) {
    std::mt19937_64 gen(7);
    std::vector<double> x, y;
    std::uniform_real_distribution<double> wide(-6.0, 27.0);
    for (int i = 0; i < 200000; ++i) x.push_back(wide(gen));
    y.resize(x.size());
    erfc_batch(x.data(), y.data(), x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (x[i] > 26.5) continue;  // subnormal results: absolute, not relative, error
        ASSERT_LE(ulps_apart(y[i], std::erfc(x[i])), 3) << "erfc(" << x[i] << ")";
    }
    x.clear();
    std::uniform_real_distribution<double> expo(-745.0, 709.0);
    std::uniform_real_distribution<double> near_one(0.6, 1.45);
    for (int i = 0; i < 100000; ++i) x.push_back(std::exp(expo(gen)));
    for (int i = 0; i < 100000; ++i) x.push_back(near_one(gen));
    y.resize(x.size());
    log_batch(x.data(), y.data(), x.size());
    for (std::size_t i = 0; i < x.size(); ++i) ASSERT_LE(ulps_apart(y[i], std::log(x[i])), 1) << "log(" << x[i] << ")";
}

// Error in units in the last place of the exact value, with long double
// erfcl and logl (64-bit significands here) standing in for the exact value.
double ulp_error(double got, long double exact) {
    // An exact value below the smallest subnormal rounds to 0 as a double,
    // whose ilogb is INT_MIN: clamp the exponent before subtracting.
    const int e = exact == 0 ? -1074 : std::max(std::ilogb(static_cast<double>(exact)), -1022) - 52;
    return static_cast<double>(std::fabs(static_cast<long double>(got) - exact) / std::ldexp(1.0L, e));
}

TEST(FastMath, ErrorBelowOneUlp) {
    if (std::numeric_limits<long double>::digits < 64) GTEST_SKIP() << "long double is not wider than double";
    std::mt19937_64 gen(11);
    std::vector<double> x, y;
    std::uniform_real_distribution<double> wide(-6.0, 27.3), small(-0.3, 0.3);
    for (int i = 0; i < 100000; ++i) x.push_back(i % 4 == 0 ? small(gen) : wide(gen));
    y.resize(x.size());
    erfc_batch(x.data(), y.data(), x.size());
    double worst = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) worst = std::max(worst, ulp_error(y[i], std::erfc(static_cast<long double>(x[i]))));
    EXPECT_LT(worst, 1.0) << "erfc";

    x.clear();
    std::uniform_real_distribution<double> expo(-745.0, 709.0), prob(1e-15, 1.0);
    for (int i = 0; i < 100000; ++i) x.push_back(i % 2 ? std::exp(expo(gen)) : prob(gen));
    y.resize(x.size());
    log_batch(x.data(), y.data(), x.size());
    worst = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) worst = std::max(worst, ulp_error(y[i], std::log(static_cast<long double>(x[i]))));
    EXPECT_LT(worst, 1.0) << "log";
}

// erfc is decreasing: no step at the joins of its pieces (every 16th of a
// binade from 2^-6 up), looked at a few ulps either side.
TEST(FastMath, ErfcMonotoneAcrossPieces) {
    for (int b = -6; b < 5; ++b) {
        for (int s = 0; s < 16; ++s) {
            const double edge = std::ldexp(1.0 + s / 16.0, b);
            for (double sign : {1.0, -1.0}) {
                double v = sign * edge;
                for (int k = 0; k < 4; ++k) v = std::nextafter(v, -kInf);
                double prev = erfc_of(v);
                for (int k = 0; k < 8; ++k) {
                    v = std::nextafter(v, kInf);
                    const double cur = erfc_of(v);
                    ASSERT_LE(cur, prev) << "at " << v;
                    prev = cur;
                }
            }
        }
    }
}

// Every variant gives the same bits, for every length (tails) and in place.
TEST(FastMath, VariantsAgreeBitForBit) {
    namespace d = fast_math_detail;
    using Fn = void (*)(const double*, double*, std::size_t);
    struct Set {
        Fn batch, baseline, avx2, avx512, scalar;
        double lo, hi;
    };
    const Set sets[] = {
        {erfc_batch, d::erfc_baseline, d::erfc_avx2, d::erfc_avx512, d::erfc_one_at_a_time, -8.0, 30.0},
        {log_batch, d::log_baseline, d::log_avx2, d::log_avx512, d::log_one_at_a_time, -1.0, 3.0}};
    std::mt19937_64 gen(3);
    for (const Set& s : sets) {
        std::uniform_real_distribution<double> dist(s.lo, s.hi);
        std::vector<double> x;
        for (int i = 0; i < 4000; ++i) x.push_back(i % 3 == 0 ? dist(gen) * 1e-3 : dist(gen));
        for (double v : {0.0, -0.0, kInf, -kInf, kNaN, 5e-324, 1e-310, 1.0, 0.25, -0.25, 28.0})
            x.insert(x.begin() + static_cast<long>(gen() % x.size()), v);
        for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{5},
                              std::size_t{7}, std::size_t{9}, std::size_t{17}, x.size()}) {
            std::vector<double> ref(n), got(n);
            s.scalar(x.data(), ref.data(), n);
            for (Fn f : {s.batch, s.baseline, s.avx2, s.avx512}) {
                f(x.data(), got.data(), n);
                for (std::size_t i = 0; i < n; ++i) ASSERT_TRUE(same_bits(got[i], ref[i])) << "x = " << x[i];
            }
            std::vector<double> inplace(x.begin(), x.begin() + static_cast<long>(n));
            s.batch(inplace.data(), inplace.data(), n);
            for (std::size_t i = 0; i < n; ++i) ASSERT_TRUE(same_bits(inplace[i], ref[i]));
        }
    }
}

// The standard normal distribution with its density not divided by sqrt(2 pi):
// the density is then the exponential itself, e^{u (-0.5 u)}.
constexpr NormalArgs kUnscaled{0.0, 1.0, 1.4142135623730951, 1.0, true};

// Every variant, with the cdf or without, of any length and in place, gives
// the same bits, and its cdf is 0.5 erfc((0 - u) / sqrt 2) with erfc_batch's erfc.
TEST(FastMath, NormalVariantsAgreeBitForBit) {
    namespace d = fast_math_detail;
    std::mt19937_64 gen(4);
    std::uniform_real_distribution<double> dist(-40.0, 40.0);
    std::vector<double> u;
    for (int i = 0; i < 4000; ++i) u.push_back(i % 3 == 0 ? dist(gen) * 1e-3 : dist(gen));
    for (double v : {0.0, -0.0, kInf, -kInf, kNaN, 5e-324, 1e-160, 38.6, 38.7, 38.9, 39.6, 1e300})
        u.insert(u.begin() + static_cast<long>(gen() % u.size()), v);
    const std::size_t all = u.size();
    std::vector<double> cdf_ref(all), pdf_ref(all);
    for (std::size_t i = 0; i < all; ++i) {
        const double e = (0.0 - u[i]) / 1.4142135623730951;
        erfc_batch(&e, &cdf_ref[i], 1);
        cdf_ref[i] = 0.5 * cdf_ref[i];
    }
    d::normal_one_at_a_time(kUnscaled, u.data(), nullptr, pdf_ref.data(), all);
    for (auto f : {normal_batch, d::normal_baseline, d::normal_avx2, d::normal_avx512, d::normal_one_at_a_time}) {
        for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{5}, std::size_t{17}, all}) {
            std::vector<double> c(n), x(u.begin(), u.begin() + static_cast<long>(n)), y(n);
            f(kUnscaled, u.data(), nullptr, y.data(), n);
            for (std::size_t i = 0; i < n; ++i) ASSERT_TRUE(same_bits(y[i], pdf_ref[i])) << "u = " << u[i];
            f(kUnscaled, x.data(), c.data(), x.data(), n);
            for (std::size_t i = 0; i < n; ++i) {
                ASSERT_TRUE(same_bits(c[i], cdf_ref[i])) << "u = " << u[i];
                ASSERT_TRUE(same_bits(x[i], pdf_ref[i])) << "u = " << u[i];
            }
        }
    }
    // A mean and sd other than 0 and 1: the arguments are formed by division.
    const NormalArgs shifted{0.3, 1.7, 1.7 * 1.4142135623730951, 1.7 * 2.5066282746310007, false};
    std::vector<double> c_ref(all), f_ref(all), c(all), f(all);
    d::normal_one_at_a_time(shifted, u.data(), c_ref.data(), f_ref.data(), all);
    for (auto variant : {d::normal_baseline, d::normal_avx2, d::normal_avx512}) {
        variant(shifted, u.data(), c.data(), f.data(), all);
        for (std::size_t i = 0; i < all; ++i)
            ASSERT_TRUE(same_bits(c[i], c_ref[i]) && same_bits(f[i], f_ref[i])) << "u = " << u[i];
    }
}

// The special values, and the error against expl wherever the result is a
// normal number.
TEST(FastMath, DensityExpWithinHalfAnUlp) {
    auto exp_at = [](double u) {
        double y;
        normal_batch(kUnscaled, &u, nullptr, &y, 1);
        return y;
    };
    EXPECT_TRUE(same_bits(exp_at(0.0), 1.0));
    EXPECT_TRUE(same_bits(exp_at(-0.0), 1.0));
    EXPECT_TRUE(same_bits(exp_at(kInf), 0.0));
    EXPECT_TRUE(same_bits(exp_at(-kInf), 0.0));
    EXPECT_TRUE(same_bits(exp_at(1e300), 0.0));
    EXPECT_TRUE(std::isnan(exp_at(kNaN)));
    EXPECT_GT(exp_at(38.6), 0.0);  // e^-745, the smallest subnormal
    EXPECT_EQ(exp_at(38.61), 0.0);
    if (std::numeric_limits<long double>::digits < 64) GTEST_SKIP() << "long double is not wider than double";
    std::mt19937_64 gen(5);
    std::uniform_real_distribution<double> wide(0.0, 37.6), narrow(0.0, 4.0);
    std::vector<double> u;
    for (int i = 0; i < 200000; ++i) u.push_back(i % 2 ? wide(gen) : narrow(gen));
    std::vector<double> y(u.size());
    normal_batch(kUnscaled, u.data(), nullptr, y.data(), u.size());
    double worst = 0.0;
    for (std::size_t i = 0; i < u.size(); ++i) {
        const long double exact = std::exp(static_cast<long double>(u[i] * (-0.5 * u[i])));
        const double ulp = std::ldexp(1.0, std::ilogb(static_cast<double>(exact)) - 52);
        worst = std::max(worst, static_cast<double>(std::fabs(static_cast<long double>(y[i]) - exact) / ulp));
    }
    EXPECT_LT(worst, 0.51);
}

}  // namespace
}  // namespace quorvel
