#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <unordered_map>
#include <string>
#include <vector>

#include "core/cluster_keys.hpp"

namespace quorvel {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

std::string fixed4(double v) {
    std::string s = "prefix:";
    append_fixed4(s, v);
    return s.substr(7);
}

struct KeyText {
    double value;
    const char* text;
};
class Fixed4 : public testing::TestWithParam<KeyText> {};

TEST_P(Fixed4, Text) { EXPECT_EQ(fixed4(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Table, Fixed4,
    testing::Values(
        // Exact halves round to the even digit.  Decimal halves are decided
        // by the binary value: 0.00015 and 2.00005 lie slightly below the
        // half, 0.00025 and 1.00015 slightly above.
        KeyText{0.03125, "0.0312"}, KeyText{0.09375, "0.0938"}, KeyText{-0.03125, "-0.0312"},
        KeyText{0.00015, "0.0001"}, KeyText{0.00025, "0.0003"}, KeyText{2.00005, "2.0000"},
        KeyText{1.00015, "1.0002"},
        KeyText{0.5, "0.5000"}, KeyText{-1.5, "-1.5000"}, KeyText{7.0, "7.0000"},
        KeyText{3.0, "3.0000"}, KeyText{12345.678, "12345.6780"},
        KeyText{1e20, "100000000000000000000.0000"}, KeyText{1.00001, "1.0000"},
        KeyText{1.00004, "1.0000"}, KeyText{0.99996, "1.0000"}, KeyText{0.0, "0.0000"},
        KeyText{-0.0, "-0.0000"}, KeyText{0.00001, "0.0000"}, KeyText{-0.00001, "-0.0000"},
        KeyText{5e-324, "0.0000"}, KeyText{std::numeric_limits<double>::quiet_NaN(), "NaN"},
        KeyText{-std::numeric_limits<double>::quiet_NaN(), "NaN"}, KeyText{kInf, "inf"},
        KeyText{-kInf, "-inf"}));

TEST(Fixed4, PayloadNaNAndExtremeMagnitudes) {
    EXPECT_EQ(fixed4(std::nan("0x5")), "NaN");
    const std::string biggest = fixed4(-std::numeric_limits<double>::max());
    ASSERT_EQ(biggest.size(), 1u + 309u + 5u);
    EXPECT_EQ(biggest.substr(0, 8), "-1797693");
    EXPECT_EQ(biggest.substr(biggest.size() - 5), ".0000");
}

Matrix from_rows(std::size_t rows, std::size_t cols, const std::vector<double>& values) {
    Matrix m(rows, cols);
    m.storage().assign(values.begin(), values.end());
    return m;
}

TEST(ClusterKeys, RowsJoinedWithBars) {
    const Matrix g = from_rows(4, 2, {1, 23, 12, 3, -1.5, 0.0, std::nan(""), -kInf});
    EXPECT_EQ(combine_cluster_keys(g),
              (std::vector<std::string>{"1.0000|23.0000", "12.0000|3.0000", "-1.5000|0.0000",
                                        "NaN|-inf"}));
    EXPECT_EQ(combine_cluster_keys(from_rows(2, 1, {2.5, -0.0})),
              (std::vector<std::string>{"2.5000", "-0.0000"}));
    EXPECT_EQ(combine_cluster_keys(Matrix(3, 0)), std::vector<std::string>(3, ""));
    EXPECT_TRUE(combine_cluster_keys(Matrix(0, 2)).empty());
}

const Vector* sum_of(const ClusterSums& sums, const std::string& key) {
    for (const auto& entry : sums)
        if (entry.first == key) return &entry.second;
    return nullptr;
}

// Scores of five observations in two columns; the rows are powers of two so
// that every sum is exact.
const Matrix kScores = from_rows(5, 2, {1, 2, 4, 8, 16, 32, 64, 128, 256, 512});

TEST(ClusterKeys, SumsPerKeyInObservationOrder) {
    const struct {
        const char* name;
        Matrix g;
        std::vector<std::pair<std::string, Vector>> expected;
    } cases[] = {
        {"four decimals merge", from_rows(5, 1, {1.00001, 2, 1.00004, 2, 0.99996}),
         {{"1.0000", {1 + 16 + 256, 2 + 32 + 512}}, {"2.0000", {4 + 64, 8 + 128}}}},
        {"signed zeros differ", from_rows(5, 1, {0.0, -0.0, 0.00001, -0.00001, 0.0}),
         {{"0.0000", {1 + 16 + 256, 2 + 32 + 512}}, {"-0.0000", {4 + 64, 8 + 128}}}},
        {"separator keeps pairs apart", from_rows(5, 2, {1, 23, 12, 3, 1, 23, 12, 3, 1, 23}),
         {{"1.0000|23.0000", {1 + 16 + 256, 2 + 32 + 512}},
          {"12.0000|3.0000", {4 + 64, 8 + 128}}}},
        {"NaN keys match", from_rows(5, 2, {std::nan(""), 1, 0, 1, -std::nan(""), 1, 0, 1, 0, 2}),
         {{"NaN|1.0000", {1 + 16, 2 + 32}}, {"0.0000|1.0000", {4 + 64, 8 + 128}},
          {"0.0000|2.0000", {256, 512}}}},
        {"no columns", Matrix(5, 0), {{"", {1 + 4 + 16 + 64 + 256, 2 + 8 + 32 + 128 + 512}}}},
    };
    for (const auto& c : cases) {
        const ClusterSums sums = sum_scores_by_cluster(combine_cluster_keys(c.g), kScores);
        EXPECT_EQ(sums.size(), c.expected.size()) << c.name;
        for (const auto& [key, total] : c.expected) {
            const Vector* found = sum_of(sums, key);
            ASSERT_NE(found, nullptr) << c.name << " " << key;
            EXPECT_EQ(*found, total) << c.name << " " << key;
        }
    }
}

TEST(ClusterKeys, DistinctKeysGiveOneClusterPerObservation) {
    const ClusterSums sums =
        sum_scores_by_cluster(combine_cluster_keys(from_rows(5, 1, {5, 4, 3, 2, 1})), kScores);
    ASSERT_EQ(sums.size(), 5u);
    EXPECT_EQ(*sum_of(sums, "3.0000"), (Vector{16, 32}));
    // Clusters come in the order of their first observation.
    for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(sums[i].first, fixed4(5.0 - static_cast<double>(i)));
}

// Additions in observation order: 1e16 + 1 + 1 stays 1e16 (each 1 is lost),
// while 1 + 1 + 1e16 would round to 1e16 + 2.
TEST(ClusterKeys, WithinClusterSumFollowsObservationOrder) {
    const Matrix s = from_rows(3, 1, {1e16, 1, 1});
    const ClusterSums sums = sum_scores_by_cluster({"a", "a", "a"}, s);
    EXPECT_EQ((*sum_of(sums, "a"))[0], 1e16);
    const ClusterSums reversed = sum_scores_by_cluster({"a", "a", "a"}, from_rows(3, 1, {1, 1, 1e16}));
    EXPECT_EQ((*sum_of(reversed, "a"))[0], 1e16 + 2);
}

TEST(ClusterKeys, KeyCountMustMatchScoreRows) {
    EXPECT_THROW(sum_scores_by_cluster({"a", "b"}, kScores), InternalError);
    EXPECT_TRUE(sum_scores_by_cluster({}, Matrix(0, 3)).empty());
}

// The grouping forms clusters from numbers instead of texts; they must be
// the same clusters, in the same order, with the same texts, as grouping
// the texts themselves, on values at the edges of the four-decimal
// rounding: next to decimal halves, exact binary halves, zeros of both
// signs, subnormals, the magnitudes where the rounding needs more than 64
// bits and where neighbouring doubles are 2^61 apart, NaNs and infinities.
TEST(ClusterKeys, GroupingByNumbersIsGroupingByTexts) {
    std::mt19937_64 gen(7);
    std::vector<double> values = {0.0, -0.0, 5e-324, -5e-324, 1e-310, 0.00005, -0.00005, 0.03125, 0.09375,
                                  -0.03125, 2.00005, 1.00015, 0.99995, 1e20, 9.5e15, 0x1p52, 0x1p53,
                                  0x1p63, 0x1p112, 0x1p113, -0x1p113, 1e300, kInf, -kInf, std::nan("0x5"),
                                  -std::numeric_limits<double>::quiet_NaN()};
    for (int j = 0; j < 40; ++j) values.push_back((j + 0.5) / 1e4);  // where the rounding shifts by 64 bits and more
    for (double v : std::vector<double>(values)) {
        values.push_back(std::nextafter(v, kInf));
        values.push_back(std::nextafter(v, -kInf));
    }
    std::uniform_int_distribution<int> digits(0, 3000000), exps(-20, 120);
    for (int i = 0; i < 600; ++i) {
        // The doubles next to a decimal half (j + 0.5) / 10^4, which round
        // to j or j + 1 by their exact binary value.
        double v = (digits(gen) + 0.5) / 1e4;
        for (int s = 0; s < 3; ++s) v = std::nextafter(v, -kInf);
        for (int s = 0; s < 7; ++s, v = std::nextafter(v, kInf)) values.insert(values.end(), {v, -v});
        // An exact half, (2j + 1) / 32 = (2j + 1) 312.5 / 10^4, with a
        // value on either side of it.
        const double t = std::ldexp(2 * (digits(gen) % 4096) + 1, -5);
        for (double w : {t, t - 3e-5, t + 3e-5}) values.insert(values.end(), {w, -w});
        const double m = std::ldexp(1.0 + digits(gen) * 1e-7, exps(gen));
        values.insert(values.end(), {m, -m});
    }
    // Each value twice, and in rows of two columns paired with a few others;
    // every fourth row repeats the first column of the row before it (and
    // with two columns, now and then its second too).
    const std::size_t n = 2 * values.size();
    Matrix one(n, 1), two(n, 2);
    for (std::size_t i = 0; i < n; ++i) {
        one(i, 0) = values[((i % 4 == 3 ? i - 1 : i) * 7919) % values.size()];
        two(i, 0) = one(i, 0);
        two(i, 1) = values[(i * 31) % 5];
    }
    for (const Matrix* g : {&one, &two}) {
        std::vector<std::string> texts = combine_cluster_keys(*g);
        std::vector<std::string> order;
        std::unordered_map<std::string, std::size_t> number;
        ClusterGrouping grouping(*g, 1);
        std::vector<std::size_t> got(n);
        for (std::size_t start = 0; start < n; start += 64)
            grouping.clusters_of(start, std::min<std::size_t>(64, n - start), got.data() + start);
        for (std::size_t i = 0; i < n; ++i) {
            const auto found = number.emplace(texts[i], order.size());
            if (found.second) order.push_back(texts[i]);
            ASSERT_EQ(got[i], found.first->second) << "row " << i << ": " << texts[i];
        }
        // Another pass, as a fit's next one, in blocks of another size: the
        // same numbers, the first row now following the last one placed.
        std::vector<std::size_t> again(n);
        for (std::size_t start = 0; start < n; start += 50)
            grouping.clusters_of(start, std::min<std::size_t>(50, n - start), again.data() + start);
        EXPECT_EQ(again, got);
        EXPECT_EQ(grouping.take_texts(), order);
    }
}

}  // namespace
}  // namespace quorvel
