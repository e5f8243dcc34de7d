// Metrics and the one pairwise distance every search and construction step uses.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace quarn_core::distance {

// Stored as one byte wherever a metric is persisted; the codes are fixed.
enum class Metric : std::uint8_t { Cosine = 0, Euclidean = 1, DotProduct = 2 };

// "cosine", "euclidean" or "dot_product": the name a collection reports.
std::string_view metric_name(Metric metric);

// The metric for a persisted code, or nothing for a code outside 0..2.
std::optional<Metric> metric_from_code(std::uint8_t code);

// Accepts exactly "cosine", "euclidean", "l2", "dot" and "dot_product" (byte for byte,
// case-sensitive); anything else yields nothing.
std::optional<Metric> parse_metric(std::string_view name);

// Smaller is closer, for every metric:
//   Cosine      1 - a.b / (|a||b|), never below 0; 0 for two zero vectors, 1 when a.b is 0.
//   Euclidean   squared Euclidean distance (no square root anywhere).
//   DotProduct  -(a.b), the inner product rounded to f32 first.
// Both operands have the same length. No allocation, no lock; callable from any thread.
float distance(std::span<const float> a, std::span<const float> b, Metric metric);

// The same on raw pointers, for the hot loops that already know the length.
float distance(const float* a, const float* b, std::size_t n, Metric metric);

}  // namespace quarn_core::distance
