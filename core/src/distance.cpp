#include "quarn_core/distance.hpp"

#include <simsimd/simsimd.h>

namespace quarn_core::distance {

std::string_view metric_name(Metric metric) {
  switch (metric) {
    case Metric::Cosine:
      return "cosine";
    case Metric::Euclidean:
      return "euclidean";
    case Metric::DotProduct:
      return "dot_product";
  }
  return "cosine";
}

std::optional<Metric> metric_from_code(std::uint8_t code) {
  if (code > 2) return std::nullopt;
  return static_cast<Metric>(code);
}

std::optional<Metric> parse_metric(std::string_view name) {
  if (name == "cosine") return Metric::Cosine;
  if (name == "euclidean" || name == "l2") return Metric::Euclidean;
  if (name == "dot" || name == "dot_product") return Metric::DotProduct;
  return std::nullopt;
}

namespace {

// SimSIMD's dispatching entry points cache the chosen kernel in an unsynchronised static on
// their first call. Calling each once while this translation unit initialises makes that
// first call happen before any thread of ours can race on it.
const bool kKernelsPrimed = [] {
  const simsimd_f32_t x[1] = {1.0f};
  simsimd_distance_t out = 0;
  simsimd_cos_f32(x, x, 1, &out);
  simsimd_l2sq_f32(x, x, 1, &out);
  simsimd_dot_f32(x, x, 1, &out);
  return true;
}();

}  // namespace

float distance(const float* a, const float* b, std::size_t n, Metric metric) {
  simsimd_distance_t out = 0;
  switch (metric) {
    case Metric::Cosine:
      simsimd_cos_f32(a, b, n, &out);
      return static_cast<float>(out);
    case Metric::Euclidean:
      simsimd_l2sq_f32(a, b, n, &out);
      return static_cast<float>(out);
    case Metric::DotProduct:
      simsimd_dot_f32(a, b, n, &out);
      return -static_cast<float>(out);
  }
  return 0.0f;
}

float distance(std::span<const float> a, std::span<const float> b, Metric metric) {
  return distance(a.data(), b.data(), a.size(), metric);
}

}  // namespace quarn_core::distance
