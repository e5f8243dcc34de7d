#include "quarn_core/distance.hpp"

#include "distance_kernels.hpp"

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

float distance(const float* a, const float* b, std::size_t n, Metric metric) {
  return detail::pair_distance(a, b, n, metric);
}

float distance(std::span<const float> a, std::span<const float> b, Metric metric) {
  return distance(a.data(), b.data(), a.size(), metric);
}

}  // namespace quarn_core::distance
