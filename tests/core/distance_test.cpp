#include "quarn_core/distance.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace quarn_core::distance {
namespace {

TEST(DistanceTest, DegeneratePointsFollowTheConventions) {
  const std::vector<float> zero = {0, 0, 0};
  const std::vector<float> v = {1, 2, 3};
  const std::vector<float> neg = {-1, -2, -3};
  const std::vector<float> ortho = {3, 0, -1};
  EXPECT_NEAR(distance(v, v, Metric::Cosine), 0.0f, 1e-5);
  EXPECT_NEAR(distance(v, neg, Metric::Cosine), 2.0f, 1e-5);
  EXPECT_FLOAT_EQ(distance(v, ortho, Metric::Cosine), 1.0f);
  EXPECT_FLOAT_EQ(distance(zero, zero, Metric::Cosine), 0.0f);
  EXPECT_FLOAT_EQ(distance(zero, v, Metric::Cosine), 1.0f);
  EXPECT_FLOAT_EQ(distance(v, zero, Metric::Cosine), 1.0f);

  const std::vector<float> a = {0, 0}, b = {3, 4};
  EXPECT_FLOAT_EQ(distance(a, b, Metric::Euclidean), 25.0f);
  const std::vector<float> c = {1, 2}, d = {3, 4};
  EXPECT_FLOAT_EQ(distance(c, d, Metric::DotProduct), -11.0f);
}

TEST(DistanceTest, CosineNeverBelowZero) {
  std::mt19937 rng(7);
  std::normal_distribution<float> g;
  for (int i = 0; i < 200; ++i) {
    std::vector<float> x(97);
    for (auto& e : x) e = g(rng);
    EXPECT_GE(distance(x, x, Metric::Cosine), 0.0f);
  }
}

// The SIMD kernels against a plain double-precision loop, at sizes around the vector widths.
TEST(DistanceTest, KernelsAgreeWithReferenceLoop) {
  std::mt19937 rng(42);
  std::uniform_real_distribution<float> u(-1, 1);
  for (std::size_t n : {1u, 3u, 7u, 8u, 15u, 16u, 17u, 96u, 128u, 768u, 1536u}) {
    SCOPED_TRACE(n);
    std::vector<float> a(n), b(n);
    for (auto& e : a) e = u(rng);
    for (auto& e : b) e = u(rng);
    double dot = 0, l2 = 0, na = 0, nb = 0;
    for (std::size_t i = 0; i < n; ++i) {
      dot += double(a[i]) * b[i];
      l2 += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
      na += double(a[i]) * a[i];
      nb += double(b[i]) * b[i];
    }
    const double cos = std::max(0.0, 1 - dot / std::sqrt(na * nb));
    EXPECT_NEAR(distance(a, b, Metric::DotProduct), -dot, 1e-4 * (1 + std::abs(dot)));
    EXPECT_NEAR(distance(a, b, Metric::Euclidean), l2, 1e-4 * (1 + l2));
    EXPECT_NEAR(distance(a, b, Metric::Cosine), cos, 1e-3);
  }
}

TEST(MetricTest, NamesAreStrict) {
  struct Case {
    const char* name;
    std::optional<Metric> metric;
  };
  const Case cases[] = {
      {"cosine", Metric::Cosine},       {"euclidean", Metric::Euclidean},
      {"l2", Metric::Euclidean},        {"dot", Metric::DotProduct},
      {"dot_product", Metric::DotProduct}, {"L2", std::nullopt},
      {"Cosine", std::nullopt},         {"dot-product", std::nullopt},
      {" cosine", std::nullopt},        {"cosine ", std::nullopt},
      {"", std::nullopt},               {"manhattan", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(parse_metric(c.name), c.metric);
  }
}

TEST(MetricTest, CodesAndCanonicalNames) {
  EXPECT_EQ(metric_name(*parse_metric("l2")), "euclidean");
  EXPECT_EQ(metric_name(*parse_metric("dot")), "dot_product");
  EXPECT_EQ(metric_name(Metric::Cosine), "cosine");
  for (std::uint8_t code = 0; code < 3; ++code) {
    EXPECT_EQ(static_cast<std::uint8_t>(*metric_from_code(code)), code);
  }
  EXPECT_FALSE(metric_from_code(3).has_value());
  EXPECT_FALSE(metric_from_code(255).has_value());
}

}  // namespace
}  // namespace quarn_core::distance
